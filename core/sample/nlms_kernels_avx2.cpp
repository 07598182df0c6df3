// The normalised LMS loop in 256-bit registers. Where the step times every
// input, rounding included, fits 31 bits (most updates: the step shrinks
// as the inputs grow), eight taps at a time in 32-bit lanes; otherwise four
// at a time, the 32-bit weights and inputs widened to 64-bit lanes,
// multiplied exactly (vpmuldq), shifted arithmetically (AVX2 shifts 64-bit
// lanes only logically: the lane is offset by 2^63 first and the offset's
// shift taken off after) and clamped before they are narrowed back. The
// next prediction's products are 64-bit in both. The taps that do not fill
// the lanes go through the portable loop.
#include "sample/nlms_kernels.h"

#if defined(ZELK_HAVE_AVX2_NLMS)

#include <immintrin.h>

#include <algorithm>

namespace zelk::detail {
namespace {

__attribute__((target("avx2"))) inline __m256i widen(const int32_t* at) {
    return _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
}

__attribute__((target("avx2"))) int64_t horizontal_sum(__m256i lanes) {
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
    return _mm_cvtsi128_si64(_mm_add_epi64(half, _mm_unpackhi_epi64(half, half)));
}

// The largest |x[i]| of n values.
__attribute__((target("avx2"))) int64_t largest_magnitude(const int32_t* x, unsigned n) {
    __m256i most = _mm256_setzero_si256();
    unsigned i = 0;
    for (; i + 8 <= n; i += 8) {
        most = _mm256_max_epi32(most, _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i))));
    }
    __m128i half = _mm_max_epi32(_mm256_castsi256_si128(most), _mm256_extracti128_si256(most, 1));
    half = _mm_max_epi32(half, _mm_shuffle_epi32(half, 0x4E));
    half = _mm_max_epi32(half, _mm_shuffle_epi32(half, 0xB1));
    int64_t largest = _mm_cvtsi128_si32(half);
    for (; i < n; ++i) largest = std::max<int64_t>(largest, x[i] < 0 ? -int64_t{x[i]} : x[i]);
    return largest;
}

// Eight taps at a time in 32-bit lanes, for a step whose every product and
// rounding fits 31 bits; the sum's products still in 64 bits.
__attribute__((target("avx2"))) int64_t adapt_narrow(int32_t* w, const int32_t* x, unsigned n, int32_t step,
                                                     unsigned shift, unsigned& done) {
    const __m256i steps = _mm256_set1_epi32(step), half = _mm256_set1_epi32(int32_t{1} << (shift - 1));
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    const __m256i high = _mm256_set1_epi32(static_cast<int32_t>(NLMS_WEIGHT_LIMIT));
    const __m256i low = _mm256_set1_epi32(static_cast<int32_t>(-NLMS_WEIGHT_LIMIT));
    __m256i sums = _mm256_setzero_si256();
    unsigned i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i));
        const __m256i moved = _mm256_sra_epi32(_mm256_add_epi32(_mm256_mullo_epi32(steps, input), half), count);
        __m256i weight = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + i)), moved);
        weight = _mm256_max_epi32(_mm256_min_epi32(weight, high), low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(w + i), weight);
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i + 1));
        sums = _mm256_add_epi64(sums, _mm256_mul_epi32(weight, next));  // the even lanes
        sums = _mm256_add_epi64(sums, _mm256_mul_epi32(_mm256_srli_epi64(weight, 32), _mm256_srli_epi64(next, 32)));
    }
    done = i;
    return horizontal_sum(sums);
}

// Four taps at a time in 64-bit lanes: any step.
__attribute__((target("avx2"))) int64_t adapt_wide(int32_t* w, const int32_t* x, unsigned n, int32_t step,
                                                   unsigned shift, unsigned& done) {
    const __m256i steps = _mm256_set1_epi64x(step);
    const __m256i offset = _mm256_set1_epi64x(static_cast<int64_t>((uint64_t{1} << 63) + (uint64_t{1} << (shift - 1))));
    const __m256i offset_shifted = _mm256_set1_epi64x(static_cast<int64_t>(uint64_t{1} << (63 - shift)));
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    const __m256i high = _mm256_set1_epi64x(NLMS_WEIGHT_LIMIT), low = _mm256_set1_epi64x(-NLMS_WEIGHT_LIMIT);
    const __m256i narrow = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    __m256i sums = _mm256_setzero_si256();
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
        sums = _mm256_add_epi64(sums, _mm256_mul_epi32(weight, widen(x + i + 1)));
    }
    done = i;
    return horizontal_sum(sums);
}

__attribute__((target("avx2"))) int64_t adapt_avx2(int32_t* w, const int32_t* x, unsigned n, int32_t step,
                                                   unsigned shift) {
    const int64_t magnitude = step < 0 ? -int64_t{step} : step;
    const bool narrow = magnitude * largest_magnitude(x, n) + (int64_t{1} << (shift - 1)) < (int64_t{1} << 31);
    unsigned done = 0;
    const int64_t total = narrow ? adapt_narrow(w, x, n, step, shift, done) : adapt_wide(w, x, n, step, shift, done);
    return done < n ? total + NLMS_BASELINE.adapt(w + done, x + done, n - done, step, shift) : total;
}

}  // namespace

const NlmsKernels NLMS_AVX2{adapt_avx2};

}  // namespace zelk::detail

#endif
