// The loop of a normalised LMS stage (predictors.h), with a portable kernel
// and an AVX2 one where the processor has it; both compute the same
// integers, so the choice changes speed, never output. In one pass over
// the n taps it moves each weight by its input and returns the next
// prediction's sum, the window one input further on:
//
//   w[i] = clamp(w[i] + ((step x[i] + 2^(shift-1)) >> shift), -2^25, 2^25)
//   (the product in 64 bits, the shift arithmetic), then
//   the sum of the new w[i] x[i + 1] over the n taps, in 64 bits
//
// w holds n 32-bit values and x n + 1; x values are within +-2^24, step
// within 32 bits, shift from 1 to 62.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define ZELK_HAVE_AVX2_NLMS 1
#endif

namespace zelk {

inline constexpr int64_t NLMS_WEIGHT_LIMIT = int64_t{1} << 25;

struct NlmsKernels {
    int64_t (*adapt)(int32_t* w, const int32_t* x, unsigned n, int32_t step, unsigned shift);
};

// The kernels for this processor, chosen once.
const NlmsKernels& nlms_kernels();

namespace detail {
extern const NlmsKernels NLMS_BASELINE;
#if defined(ZELK_HAVE_AVX2_NLMS)
extern const NlmsKernels NLMS_AVX2;
#endif
}  // namespace detail

}  // namespace zelk
