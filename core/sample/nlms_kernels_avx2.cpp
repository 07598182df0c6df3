// The normalised LMS loops four taps at a time in 256-bit registers: the
// 32-bit weights and inputs widened to 64-bit lanes, multiplied exactly
// (vpmuldq), and, for the update, shifted arithmetically (AVX2 shifts 64-bit
// lanes only logically: the lane is offset by 2^63 first and the offset's
// shift taken off after) and clamped before they are narrowed back. The
// taps that do not fill four lanes go through the portable loop.
#include "sample/nlms_kernels.h"

#if defined(ZELK_HAVE_AVX2_NLMS)

#include <immintrin.h>

namespace zelk::detail {
namespace {

__attribute__((target("avx2"))) inline __m256i widen(const int32_t* at) {
    return _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
}

__attribute__((target("avx2"))) int64_t dot_avx2(const int32_t* w, const int32_t* x, unsigned n) {
    __m256i sums = _mm256_setzero_si256();
    unsigned i = 0;
    for (; i + 4 <= n; i += 4) sums = _mm256_add_epi64(sums, _mm256_mul_epi32(widen(w + i), widen(x + i)));
    alignas(32) int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    int64_t total = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    for (; i < n; ++i) total += int64_t{w[i]} * x[i];
    return total;
}

__attribute__((target("avx2"))) void update_avx2(int32_t* w, const int32_t* x, unsigned n, int32_t step,
                                                 unsigned shift) {
    const __m256i steps = _mm256_set1_epi64x(step);
    const __m256i offset = _mm256_set1_epi64x(static_cast<int64_t>((uint64_t{1} << 63) + (uint64_t{1} << (shift - 1))));
    const __m256i offset_shifted = _mm256_set1_epi64x(static_cast<int64_t>(uint64_t{1} << (63 - shift)));
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    const __m256i high = _mm256_set1_epi64x(NLMS_WEIGHT_LIMIT), low = _mm256_set1_epi64x(-NLMS_WEIGHT_LIMIT);
    const __m256i narrow = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    unsigned i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256i product = _mm256_mul_epi32(steps, widen(x + i));
        // (product + 2^(shift-1)) >> shift, arithmetically.
        const __m256i moved = _mm256_sub_epi64(_mm256_srl_epi64(_mm256_add_epi64(product, offset), count), offset_shifted);
        __m256i weight = _mm256_add_epi64(widen(w + i), moved);
        weight = _mm256_blendv_epi8(weight, high, _mm256_cmpgt_epi64(weight, high));
        weight = _mm256_blendv_epi8(weight, low, _mm256_cmpgt_epi64(low, weight));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w + i),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(weight, narrow)));
    }
    if (i < n) NLMS_BASELINE.update(w + i, x + i, n - i, step, shift);
}

}  // namespace

const NlmsKernels NLMS_AVX2{dot_avx2, update_avx2};

}  // namespace zelk::detail

#endif
