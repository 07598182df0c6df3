// The wavelet path's hot loops, with a portable kernel and AVX2 and
// AVX-512 ones where the processor has them: each compiles the same loop
// for wider registers (AVX-512 multiplies 64-bit lanes and converts them to
// and from doubles in one instruction, AVX2 does neither), so the choice
// changes speed, never output. Every double operation is one IEEE
// operation in the written order: no product and sum rounded once, nothing
// reassociated.
//
//   add, subtract: over n places, the lifting's step (cdf97_lifting.h)
//     target[j] += Sign * ((factor * sum + 2^14) >> 15), the shift
//     flooring, sum = a[j] + b[j], or 3 a[j] - b[j] where `continued`,
//     all modulo 2^64; b may be a.
//   missed: terms[j] = m * m * weight, m = c - nearest(c / f) * f for
//     c = coefficients[j] (nearest_integer.h): a rounding's squared error.
//   to_values: out[j] = integers[j] * grid in doubles, rounded to float
//     and back where `as_float32`.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define ZELK_HAVE_SIMD_WAVELET 1
#endif

namespace zelk {

struct WaveletKernels {
    using Step = void (*)(int64_t* target, const int64_t* a, const int64_t* b, size_t n, int64_t factor,
                          bool continued);
    Step add, subtract;
    void (*missed)(const double* coefficients, size_t n, double f, double weight, double* terms);
    void (*to_values)(const int64_t* integers, size_t n, double grid, bool as_float32, double* out);
};

// The kernels for this processor, chosen once.
const WaveletKernels& wavelet_kernels();

namespace detail {
extern const WaveletKernels WAVELET_BASELINE;
#if defined(ZELK_HAVE_SIMD_WAVELET)
extern const WaveletKernels WAVELET_AVX2, WAVELET_AVX512;
#endif
}  // namespace detail

}  // namespace zelk
