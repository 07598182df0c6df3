#include "matrix_blob/matrix_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <future>
#include <stdexcept>

#include "concurrency/thread_pool.h"
#include "frame/coding_options.h"
#include "matrix_blob/band_encoder.h"
#include "matrix_blob/matrix_blob.h"
#include "matrix_blob/matrix_blob_writer.h"

namespace zelk {
namespace {

constexpr uint64_t MOST_VALUES = uint64_t{1} << 48;  // as the reader takes them

template <typename T>
double value_at(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The largest and smallest values; throws where one is not finite.
std::pair<double, double> value_range(ByteView elements, bool as_float32) {
    const size_t itemsize = as_float32 ? 4 : 8, count = elements.size() / itemsize;
    double high = 0, low = 0;
    bool finite = true;
    for (size_t i = 0; i < count; ++i) {
        const double value = as_float32 ? value_at<float>(&elements[4 * i]) : value_at<double>(&elements[8 * i]);
        finite &= std::isfinite(value);
        if (i == 0 || value > high) high = value;
        if (i == 0 || value < low) low = value;
    }
    if (!finite) throw std::invalid_argument("the array holds a NaN or an infinity");
    return {high, low};
}

// The RMSE of all values from each band's largest error and sum of squares
// in its units.
double overall_rmse(const std::vector<EncodedMatrixBand>& bands, uint64_t count) {
    double worst = 0;
    for (const EncodedMatrixBand& band : bands) worst = std::max(worst, band.largest);
    if (worst == 0) return 0;
    double sum = 0;
    for (const EncodedMatrixBand& band : bands) {
        if (band.largest > 0) sum += band.squares * std::pow(band.largest / worst, 2.0);
    }
    return worst * std::sqrt(sum / static_cast<double>(count));
}

}  // namespace

std::vector<uint8_t> encode_banded_matrix(ByteView elements, const MatrixGoal& goal) {
    const size_t itemsize = goal.as_float32 ? 4 : 8;
    const std::vector<uint64_t> coded = matrix_coded_shape(goal.shape);
    uint64_t count = 1;
    for (uint64_t dimension : goal.shape) {
        if (__builtin_mul_overflow(count, dimension, &count) || count > MOST_VALUES) {
            throw std::invalid_argument("an array of more than 2^48 values");
        }
    }
    if (elements.size() != count * itemsize) throw std::invalid_argument("the array's values are not as many as its shape's");
    if (goal.bound < 1 || goal.bound > 3 || !(goal.requested >= 0) || !std::isfinite(goal.requested)) {
        throw std::invalid_argument("the bound is an RMSE, a PSNR or a largest error, finite and at least 0");
    }
    CodingOptions options;
    options.level = goal.level;
    options.threads = goal.threads;
    const unsigned threads = resolve_coding_options(options).frame.threads;

    const auto [high, low] = value_range(elements, goal.as_float32);
    const double range = high > low ? high - low : 0.0;
    const double target = goal.bound == 2 ? range / std::pow(10.0, goal.requested / 20) : goal.requested;
    const uint64_t units = matrix_band_units(coded);
    const uint64_t leading = count == 0 ? 0 : coded[0];
    uint64_t unit_values = 1;
    for (size_t i = 1; i < coded.size(); ++i) unit_values *= coded[i];

    std::vector<EncodedMatrixBand> bands;
    {
        const uint64_t band_count = leading / units + (leading % units != 0);
        ThreadPool pool(threads > 1 && band_count > 1 ? static_cast<unsigned>(std::min<uint64_t>(threads, band_count)) : 0);
        std::vector<std::future<EncodedMatrixBand>> done;
        for (uint64_t start = 0; start < leading; start += units) {
            std::vector<size_t> shape(coded.begin(), coded.end());
            shape[0] = std::min(units, leading - start);
            const ByteView part = elements.subspan(start * unit_values * itemsize, shape[0] * unit_values * itemsize);
            done.push_back(pool.submit([&goal, target, part, shape = std::move(shape)] {
                return encode_matrix_band(part, {shape, goal.as_float32, goal.bound == 3, target, goal.level});
            }));
        }
        // Every band finishes before the first failure, in band order, is thrown.
        std::exception_ptr failure;
        for (auto& band : done) {
            try {
                bands.push_back(band.get());
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
    }

    MatrixHeaderFields header{static_cast<uint8_t>(goal.as_float32 ? 1 : 2), goal.bound, goal.requested, 0.0,
                              overall_rmse(bands, count), range, 0, 0.0, units, goal.shape};
    for (const EncodedMatrixBand& band : bands) {
        header.max_error = std::max(header.max_error, band.largest);
        header.corrections += band.corrections;
        header.largest_step = std::max(header.largest_step, band.step);
    }
    std::vector<uint8_t> blob = write_matrix_header(header);
    for (const EncodedMatrixBand& band : bands) blob.insert(blob.end(), band.packed.begin(), band.packed.end());
    return blob;
}

}  // namespace zelk
