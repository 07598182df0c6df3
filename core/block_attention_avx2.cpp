// The block attention in 256-bit AVX2 registers, for CPUs that have it (the
// caller checks at run time): eight block distances per register, the
// weights fetched by one gather per eight blocks, and the products and sums
// formed lane by lane. The integers are those of the baseline kernel, so the
// prediction never depends on which kernel ran.
#include "block_attention.h"

#if defined(ZELK_HAVE_AVX2_KERNEL)

#include <immintrin.h>

#include <bit>
#include <cstring>

namespace zelk::detail {

__attribute__((target("avx2"))) uint8_t attend_avx2(const uint8_t* end) {
    uint32_t query_word;
    std::memcpy(&query_word, end - 4, 4);
    const __m256i query = _mm256_set1_epi32(static_cast<int>(query_word));
    const __m256i ones8 = _mm256_set1_epi8(1);
    const __m256i ones16 = _mm256_set1_epi16(1);
    const __m256i zero = _mm256_setzero_si256();

    __m256i keys[4];
    __m256i distance[4];
    uint32_t exact = 0;
    for (int v = 0; v < 4; ++v) {
        keys[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(end - ATTENTION_WINDOW + 32 * v));
        const __m256i diff = _mm256_or_si256(_mm256_subs_epu8(keys[v], query), _mm256_subs_epu8(query, keys[v]));
        // Byte pairs, then pairs of pairs: the four-byte sums (at most 1020).
        distance[v] = _mm256_madd_epi16(_mm256_maddubs_epi16(diff, ones8), ones16);
        exact |= static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(distance[v], zero))))
                 << (8 * v);
    }
    exact &= ~(uint32_t{1} << 31);  // block 31 is the query
    const uint8_t* values = end - ATTENTION_WINDOW + 4;
    if (exact != 0) return values[4 * (31 - std::countl_zero(exact))];

    const __m256i low_byte = _mm256_set1_epi32(0xFF);
    __m256i acc = zero;
    __m256i total = zero;
    for (int v = 0; v < 4; ++v) {
        __m256i weight = _mm256_i32gather_epi32(reinterpret_cast<const int*>(WEIGHT_BY_DISTANCE.data()), distance[v], 4);
        __m256i value;
        if (v < 3) {
            value = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + 32 * v));
        } else {
            // The last values end at the query's first byte: take them from
            // the last blocks moved down one lane, and drop the query's lane.
            value = _mm256_permutevar8x32_epi32(keys[3], _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7));
            weight = _mm256_blend_epi32(weight, zero, 0x80);
        }
        acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(weight, _mm256_and_si256(value, low_byte)));
        total = _mm256_add_epi32(total, weight);
    }
    // Sum the eight lanes of both.
    const __m256i pairs = _mm256_hadd_epi32(acc, total);  // per 128-bit half: a01 a23 t01 t23
    const __m128i halves = _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
    const __m128i sums = _mm_hadd_epi32(halves, halves);  // acc, total, acc, total
    const auto a = static_cast<uint32_t>(_mm_cvtsi128_si32(sums));
    const auto t = static_cast<uint32_t>(_mm_extract_epi32(sums, 1));
    return static_cast<uint8_t>((a + t / 2) / t);
}

}  // namespace zelk::detail

#endif
