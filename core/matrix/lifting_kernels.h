// The one loop of the wavelet's integer lifting (cdf97_lifting.h), with a
// portable kernel and AVX2 and AVX-512 ones where the processor has them:
// each compiles the same loop of 64-bit integer arithmetic for wider
// registers (AVX-512 multiplies 64-bit lanes in one instruction, AVX2 in
// three), so the choice changes speed, never output. Over n places:
//
//   target[j] += Sign * ((factor * sum + 2^14) >> 15), the shift flooring,
//   sum = a[j] + b[j], or 3 a[j] - b[j] where `continued`,
//
// all modulo 2^64; b may be a.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define ZELK_HAVE_SIMD_LIFTING 1
#endif

namespace zelk {

struct LiftingKernels {
    using Step = void (*)(int64_t* target, const int64_t* a, const int64_t* b, size_t n, int64_t factor,
                          bool continued);
    Step add, subtract;
};

// The kernels for this processor, chosen once.
const LiftingKernels& lifting_kernels();

namespace detail {
extern const LiftingKernels LIFTING_BASELINE;
#if defined(ZELK_HAVE_SIMD_LIFTING)
extern const LiftingKernels LIFTING_AVX2, LIFTING_AVX512;
#endif
}  // namespace detail

}  // namespace zelk
