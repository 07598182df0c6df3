// The matrix band encoder on values the fuzzer chooses, restored by the
// decoder: whatever the values (finite ones, of any magnitude), the shape
// (one to three dimensions), the float type and the bound, every value the
// decoder restores must keep the bound, the largest error on every value or
// the RMSE over the band, as the encoder measured them.
//
// Input: a byte of flags (float32, a largest error, a random walk rather
// than raw floats, the fastest level), a byte setting the bound (2^-k of
// the values' range), three bytes of dimensions, then the values.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "frame/block_codec.h"
#include "matrix/matrix_corrections.h"
#include "matrix_blob/band_encoder.h"
#include "matrix_blob/matrix_blob.h"
#include "matrix_blob/matrix_blob_writer.h"
#include "matrix_blob/matrix_decoder.h"

namespace {

using namespace zelk;

constexpr size_t MOST_VALUES = 1 << 14;

template <typename T>
std::vector<double> values_of(const uint8_t* data, size_t size, size_t count, bool walk) {
    std::vector<double> values(count);
    double at = 0;
    for (size_t i = 0; i < count; ++i) {
        if (walk) {
            at += static_cast<int8_t>(i < size ? data[i] : 0) / 16.0;
            values[i] = static_cast<T>(at);
        } else {
            T value{};
            if ((i + 1) * sizeof(T) <= size) std::memcpy(&value, data + i * sizeof(T), sizeof(T));
            values[i] = std::isfinite(value) ? value : T{};
        }
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const bool as_float32 = data[0] & 1, largest_error = data[0] & 2, walk = data[0] & 4, fastest = data[0] & 8;
    const unsigned halvings = data[1] % 48;
    std::vector<size_t> shape;
    for (unsigned i = 0; i < 1 + data[0] / 16 % 3; ++i) shape.push_back(1 + data[2 + i] % 80);
    size_t count = 1;
    for (size_t dimension : shape) count *= dimension;
    if (count > MOST_VALUES) return 0;
    data += 5;
    size -= 5;
    const std::vector<double> values =
        as_float32 ? values_of<float>(data, size, count, walk) : values_of<double>(data, size, count, walk);
    std::vector<uint8_t> elements(count * (as_float32 ? 4 : 8));
    for (size_t i = 0; i < count; ++i) {
        if (as_float32) {
            const auto value = static_cast<float>(values[i]);
            std::memcpy(&elements[4 * i], &value, 4);
        } else {
            std::memcpy(&elements[8 * i], &values[i], 8);
        }
    }
    double low = values[0], high = values[0];
    for (double value : values) {
        low = std::fmin(low, value);
        high = std::fmax(high, value);
    }
    const double range = high - low;
    const double bound = std::isfinite(range) && range > 0 ? std::ldexp(range, -static_cast<int>(halvings)) : 1e-3;

    const EncodedMatrixBand band =
        encode_matrix_band(elements, {shape, as_float32, largest_error, bound, fastest ? std::optional<int64_t>(1) : std::nullopt});
    MatrixHeaderFields header{static_cast<uint8_t>(as_float32 ? 1 : 2), static_cast<uint8_t>(largest_error ? 3 : 1),
                              bound, band.largest, 0.0, range, band.corrections, band.step, shape[0],
                              {shape.begin(), shape.end()}};
    std::vector<uint8_t> blob = write_matrix_header(header);
    blob.insert(blob.end(), band.packed.begin(), band.packed.end());
    const MatrixLayout layout = read_matrix_layout(blob);
    std::vector<uint8_t> restored(elements.size());
    decode_matrix_bands(layout, ChunkBlockCodec(), 1, uint64_t{256} << 20, restored);

    std::vector<double> errors(count);
    for (size_t i = 0; i < count; ++i) {
        double back;
        if (as_float32) {
            float value;
            std::memcpy(&value, &restored[4 * i], 4);
            back = value;
        } else {
            std::memcpy(&back, &restored[8 * i], 8);
        }
        const double given = as_float32 ? static_cast<float>(values[i]) : values[i];
        errors[i] = std::fabs(back - given);
        if (largest_error && !(errors[i] <= bound)) std::abort();
    }
    if (!largest_error && !(overflow_safe_rms(errors) <= bound)) std::abort();
    return 0;
}
