// Fixed-point conversion, the Haar transform and the compressor.
//
// to_fixed reads the float's bit pattern instead of multiplying by 65536:
// a floating-point product would overflow for huge inputs, and converting an
// out-of-range float to an integer is undefined. Working from exponent and
// significand gives the exactly rounded product with integer operations only.
//
// The transform keeps every intermediate in 64 bits and saturates each sum
// and difference to the 32-bit range before scaling it by 1/sqrt(2), so an
// overflow lands on the nearest representable scaled value with its sign.
#include "matrix/tensor.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>

#include "base/fault.h"

namespace zelk {
namespace {

constexpr std::int64_t RAW_MIN = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t RAW_MAX = std::numeric_limits<std::int32_t>::max();

// 1/sqrt(2) in 16.16.
constexpr std::int64_t SCALE = 46341;

// Side length of the square tiles the transposition copies, small enough
// that a tile's source and destination lines stay in cache together.
constexpr std::size_t TILE = 64;

// floor(clamp(v) * SCALE / 65536); the product fits easily in 64 bits and
// the arithmetic shift rounds towards negative infinity.
std::int32_t scaled(std::int64_t v) {
    return static_cast<std::int32_t>((std::clamp(v, RAW_MIN, RAW_MAX) * SCALE) >> 16);
}

// One segment; scratch is reused across segments to spare an allocation per
// row or column, and is zeroed afresh for each.
void transform_segment(FixedPoint* x, std::size_t n, std::vector<FixedPoint>& scratch) {
    if (n < 2) return;
    scratch.assign(n, FixedPoint{});
    for (std::size_t length = n;; length /= 2) {
        const std::size_t half = length / 2;
        for (std::size_t i = 0; i < half; ++i) {
            const std::int64_t a = x[2 * i].raw;
            const std::int64_t b = x[2 * i + 1].raw;
            scratch[i].raw = scaled(a + b);
            scratch[half + i].raw = scaled(a - b);
        }
        // An unpaired last value carries over to the next level untouched.
        if (length % 2 != 0) scratch[length - 1] = x[length - 1];
        std::copy_n(scratch.begin(), length, x);
        if (length < 4) return;
    }
}

// Transforms each of the `segments` consecutive stretches of `length` values.
void transform_segments(std::vector<FixedPoint>& values, std::size_t segments,
                        std::size_t length) {
    if (length < 2) return;
    std::vector<FixedPoint> scratch;
    scratch.reserve(length);
    for (std::size_t s = 0; s < segments; ++s) {
        transform_segment(values.data() + s * length, length, scratch);
    }
}

// Row-major rows x cols to column-major, tile by tile.
std::vector<FixedPoint> transpose(const std::vector<FixedPoint>& m, std::size_t rows,
                                  std::size_t cols) {
    std::vector<FixedPoint> t(m.size());
    for (std::size_t r0 = 0; r0 < rows; r0 += TILE) {
        const std::size_t r1 = std::min(rows, r0 + TILE);
        for (std::size_t c0 = 0; c0 < cols; c0 += TILE) {
            const std::size_t c1 = std::min(cols, c0 + TILE);
            for (std::size_t r = r0; r < r1; ++r) {
                for (std::size_t c = c0; c < c1; ++c) t[c * rows + r] = m[r * cols + c];
            }
        }
    }
    return t;
}

}  // namespace

FixedPoint to_fixed(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const bool negative = (bits >> 63) != 0;
    const unsigned exponent = static_cast<unsigned>(bits >> 52) & 0x7ffu;
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (exponent == 0x7ff) fault(fraction != 0 ? "NaN" : "infinite");

    // |x| = m * 2^(exponent - 1075), so |x| * 65536 = m * 2^(exponent - 1059).
    // Below exponent 1006 (|x| < 2^-17, subnormals and zero included) that
    // rounds to 0; from exponent 1038 on (|x| >= 32768) it is at least 2^31.
    // In between it is m shifted right by 22 to 53 bits and rounded.
    std::uint64_t magnitude = 0;
    if (exponent >= 1038) {
        magnitude = std::uint64_t{1} << 31;
    } else if (exponent >= 1006) {
        const std::uint64_t m = (std::uint64_t{1} << 52) | fraction;
        const unsigned k = 1059 - exponent;
        const std::uint64_t half = std::uint64_t{1} << (k - 1);
        const std::uint64_t rest = m & ((std::uint64_t{1} << k) - 1);
        magnitude = m >> k;
        if (rest > half || (rest == half && (magnitude & 1) != 0)) ++magnitude;
    }
    // magnitude <= 2^31 here: -2^31 is exact, +2^31 saturates.
    const auto value = static_cast<std::int64_t>(magnitude);
    return FixedPoint{static_cast<std::int32_t>(negative ? -value : std::min(value, RAW_MAX))};
}

double from_fixed(FixedPoint value) { return static_cast<double>(value.raw) / 65536.0; }

FixedPoint fixed_abs(FixedPoint value) {
    if (value.raw >= 0) return value;
    return FixedPoint{static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(value.raw))};
}

void haar_transform(std::span<FixedPoint> values, std::uint64_t offset, std::uint64_t n) {
    if (offset > values.size() || n > values.size() - offset) {
        fault("haar_transform: segment outside the sequence");
    }
    std::vector<FixedPoint> scratch;
    transform_segment(values.data() + offset, n, scratch);
}

TensorCompressor::TensorCompressor(double threshold) : threshold_(to_fixed(threshold)) {}

std::vector<std::vector<double>> TensorCompressor::compress(std::span<const double> data,
                                                            std::uint64_t rows,
                                                            std::uint64_t cols) const {
    // A product beyond 64 bits cannot be the length of any data.
    if (cols != 0 && rows > std::numeric_limits<std::uint64_t>::max() / cols) return {};
    if (rows * cols != data.size()) return {};
    // With no values one side may still be huge: nothing to walk through.
    if (data.empty()) return {std::vector<double>{}};

    std::vector<FixedPoint> transposed;
    {
        // In order, so that the first NaN or infinity decides the fault.
        std::vector<FixedPoint> fixed;
        fixed.reserve(data.size());
        for (const double x : data) fixed.push_back(to_fixed(x));
        transform_segments(fixed, rows, cols);
        transposed = transpose(fixed, rows, cols);
    }
    transform_segments(transposed, cols, rows);

    // The magnitude is compared as an unsigned 32-bit number, which is the
    // true one also for raw -2^31 (where fixed_abs stays negative).
    std::vector<double> block(transposed.size());
    std::transform(transposed.begin(), transposed.end(), block.begin(), [this](FixedPoint v) {
        const std::int64_t magnitude = static_cast<std::uint32_t>(fixed_abs(v).raw);
        return magnitude <= threshold_.raw ? 0.0 : from_fixed(v);
    });
    std::vector<std::vector<double>> blocks;
    blocks.push_back(std::move(block));
    return blocks;
}

}  // namespace zelk
