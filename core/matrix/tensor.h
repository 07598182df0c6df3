// Lossy matrix compression on a 16.16 fixed-point format.
//
// Values enter as 64-bit floats and are converted once to signed 32-bit fixed
// point (raw / 65536), so the transform itself is pure integer arithmetic and
// gives the same coefficients on every machine. Every row and then every
// column gets a complete multi-level Haar transform; coefficients whose
// magnitude does not exceed the threshold become 0.0, and the rest convert
// back to floats exactly. Out-of-range values saturate rather than wrap, so a
// large input stays large instead of turning into an unrelated number.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

struct FixedPoint {
    std::int32_t raw = 0;  // the number raw / 65536

    friend auto operator<=>(const FixedPoint&, const FixedPoint&) = default;
};

// round(x * 65536), ties to even and symmetric about zero, saturated to the
// 32-bit range. Faults with "NaN" or "infinite".
FixedPoint to_fixed(double x);

// raw / 65536, exact.
double from_fixed(FixedPoint value);

// |raw| in 32-bit two's complement: raw -2^31 maps to itself.
FixedPoint fixed_abs(FixedPoint value);

// Multi-level Haar transform of values[offset, offset + n) in place. Faults
// when the stretch does not lie inside values.
void haar_transform(std::span<FixedPoint> values, std::uint64_t offset, std::uint64_t n);

class TensorCompressor {
public:
    // Faults with "NaN" or "infinite".
    explicit TensorCompressor(double threshold);

    FixedPoint threshold() const { return threshold_; }

    // data is the matrix in row-major order. Returns no block when data does
    // not hold rows * cols values, otherwise one block of the thresholded
    // coefficients in column-major order. Faults at the first NaN or infinite
    // value.
    std::vector<std::vector<double>> compress(std::span<const double> data, std::uint64_t rows,
                                              std::uint64_t cols) const;

private:
    FixedPoint threshold_;
};

}  // namespace zelk
