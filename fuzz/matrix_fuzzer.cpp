// The matrix compressor on arbitrary doubles and shapes, checked against a
// plain model of the rules written here independently:
//   - conversion: round(x * 65536) ties to even, saturated to 32 bits
//     (computed with the FPU: scaling by 2^16 is exact for every finite x);
//   - each level pairs (a, b) into S(a + b), S(a - b) with
//     S(v) = floor(v * 46341 / 2^16), saturated to +-1518501887/-1518501888
//     when v leaves the 32-bit range; an unpaired last value is kept;
//   - rows first, then columns; |v| <= threshold (true magnitude) gives +0.0;
//   - a shape that does not match the data gives no block; the first NaN or
//     infinity faults with its name.
//
// Input layout: byte 0 = rows (0..15), byte 1 = cols (0..15), byte 2 = flags
// (bit 0: raw 8-byte doubles, else values from signed 16-bit samples; bit 1:
// shape drawn independently of the data length), 8 bytes of threshold, data.
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/fault.h"
#include "matrix/tensor.h"

namespace {

int32_t reference_to_fixed(double x) {
    const double scaled = std::nearbyint(x * 65536.0);  // round half to even
    if (scaled >= 2147483647.0) return INT32_MAX;
    if (scaled <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(scaled);
}

int32_t reference_scale(int64_t v) {
    if (v > INT32_MAX) return 1518501887;
    if (v < INT32_MIN) return -1518501888;
    const int64_t product = v * 46341;
    return static_cast<int32_t>(product >= 0 ? product / 65536 : -((-product + 65535) / 65536));
}

void reference_haar(std::vector<int32_t>& x) {
    for (std::size_t len = x.size(); len >= 2; len /= 2) {
        std::vector<int32_t> next(x.begin(), x.begin() + len);
        const std::size_t half = len / 2;
        for (std::size_t i = 0; i < half; ++i) {
            const int64_t a = x[2 * i], b = x[2 * i + 1];
            next[i] = reference_scale(a + b);
            next[half + i] = reference_scale(a - b);
        }
        std::copy(next.begin(), next.end(), x.begin());
        if (len < 4) break;
    }
}

std::vector<double> reference_compress(const std::vector<double>& data, std::size_t rows,
                                       std::size_t cols, int32_t threshold) {
    std::vector<std::vector<int32_t>> m(rows, std::vector<int32_t>(cols));
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) m[r][c] = reference_to_fixed(data[r * cols + c]);
    for (auto& row : m) reference_haar(row);
    std::vector<double> out;
    for (std::size_t c = 0; c < cols; ++c) {
        std::vector<int32_t> column(rows);
        for (std::size_t r = 0; r < rows; ++r) column[r] = m[r][c];
        reference_haar(column);
        for (int32_t v : column)
            out.push_back(std::llabs(int64_t(v)) <= int64_t(threshold) ? 0.0 : v / 65536.0);
    }
    return out;
}

std::string first_bad_value(const std::vector<double>& values) {
    for (double v : values) {
        if (std::isnan(v)) return "NaN";
        if (std::isinf(v)) return "infinite";
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    if (size < 11) return 0;
    std::size_t rows = bytes[0] % 16, cols = bytes[1] % 16;
    const uint8_t flags = bytes[2];
    double threshold;
    std::memcpy(&threshold, bytes + 3, 8);
    bytes += 11, size -= 11;

    std::vector<double> data;
    if (flags & 1) {
        for (; size >= 8; bytes += 8, size -= 8) {
            double v;
            std::memcpy(&v, bytes, 8);
            data.push_back(v);
        }
    } else {
        for (; size >= 2; bytes += 2, size -= 2)
            data.push_back(int16_t(bytes[0] | bytes[1] << 8) / 64.0);
    }
    if (!(flags & 2) && cols) rows = data.size() / cols, data.resize(rows * cols);

    std::string expected_fault = first_bad_value({threshold});
    const bool shape_ok = data.size() == rows * cols;
    if (expected_fault.empty() && shape_ok) expected_fault = first_bad_value(data);

    try {
        const zelk::TensorCompressor compressor(threshold);
        const auto blocks = compressor.compress(data, rows, cols);
        if (!expected_fault.empty()) std::abort();
        if (!shape_ok) {
            if (!blocks.empty()) std::abort();
            return 0;
        }
        const auto expected = reference_compress(data, rows, cols, reference_to_fixed(threshold));
        if (blocks.size() != 1 || blocks[0].size() != expected.size()) std::abort();
        for (std::size_t i = 0; i < expected.size(); ++i)
            if (std::memcmp(&blocks[0][i], &expected[i], sizeof(double)) != 0) std::abort();
    } catch (const zelk::Fault& f) {
        if (f.message() != expected_fault) std::abort();
    }
    return 0;
}
