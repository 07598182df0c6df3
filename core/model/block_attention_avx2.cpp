// The block attention in 256-bit AVX2 registers, for CPUs that have it (the
// caller checks at run time): eight block distances per register, their
// weights from one single-precision division per eight blocks (shorter than
// a gather from the table, and exact), and the products and sums formed lane
// by lane. The integers are those of the baseline kernel, so the
// prediction never depends on which kernel ran.
#include "model/block_attention.h"

#if defined(ZELK_HAVE_AVX2_KERNEL)

#include <immintrin.h>

#include <bit>
#include <cstring>

namespace zelk::detail {

namespace {

// The distances of the eight blocks starting at `keys` from the query: byte
// differences, then pairs, then pairs of pairs (sums of at most 1020).
__attribute__((target("avx2"))) inline __m256i distances_of_eight(__m256i keys, __m256i query) {
    const __m256i diff = _mm256_or_si256(_mm256_subs_epu8(keys, query), _mm256_subs_epu8(query, keys));
    return _mm256_madd_epi16(_mm256_maddubs_epi16(diff, _mm256_set1_epi8(1)), _mm256_set1_epi16(1));
}

__attribute__((target("avx2"))) inline uint32_t zero_lanes(__m256i distance) {
    return static_cast<uint32_t>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(distance, _mm256_setzero_si256()))));
}

// 131072 / (d + 2) in single precision, truncated: exact, since a quotient
// 131072 / m that is no integer lies at least 1 / m below the next integer,
// while rounding moves it by at most 2^-7 / m (half an ulp of a value below
// 2^17 / m).
__attribute__((target("avx2"))) inline __m256i weights_of(__m256i distance) {
    const __m256 divisor = _mm256_cvtepi32_ps(_mm256_add_epi32(distance, _mm256_set1_epi32(2)));
    return _mm256_cvttps_epi32(_mm256_div_ps(_mm256_set1_ps(131072.0f), divisor));
}

}  // namespace

// Every vector stays in a register: an array of them would be spilled and
// reloaded across two stores, which stalls the load.
__attribute__((target("avx2"))) uint8_t attend_avx2(const uint8_t* end) {
    uint32_t query_word;
    std::memcpy(&query_word, end - 4, 4);
    const __m256i query = _mm256_set1_epi32(static_cast<int>(query_word));
    const uint8_t* first = end - ATTENTION_WINDOW;
    const __m256i keys0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
    const __m256i keys1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 32));
    const __m256i keys2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 64));
    const __m256i keys3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 96));
    const __m256i d0 = distances_of_eight(keys0, query);
    const __m256i d1 = distances_of_eight(keys1, query);
    const __m256i d2 = distances_of_eight(keys2, query);
    const __m256i d3 = distances_of_eight(keys3, query);
    const uint32_t exact = (zero_lanes(d0) | zero_lanes(d1) << 8 | zero_lanes(d2) << 16 | zero_lanes(d3) << 24) &
                           ~(uint32_t{1} << 31);  // block 31 is the query
    const uint8_t* values = first + 4;  // values[4j] follows block j
    if (exact != 0) return values[4 * (31 - std::countl_zero(exact))];

    // The followers of blocks 0..23 are the first bytes of blocks 1..24; the
    // last ones end at the query's first byte, so they are taken from the
    // last blocks moved down one lane, and the query's lane is weighed 0.
    const __m256i low_byte = _mm256_set1_epi32(0xFF);
    const __m256i v0 = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values)), low_byte);
    const __m256i v1 = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + 32)), low_byte);
    const __m256i v2 = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + 64)), low_byte);
    const __m256i v3 =
        _mm256_and_si256(_mm256_permutevar8x32_epi32(keys3, _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7)), low_byte);
    const __m256i w0 = weights_of(d0);
    const __m256i w1 = weights_of(d1);
    const __m256i w2 = weights_of(d2);
    const __m256i w3 = _mm256_blend_epi32(weights_of(d3), _mm256_setzero_si256(), 0x80);

    const __m256i acc = _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(w0, v0), _mm256_mullo_epi32(w1, v1)),
                                         _mm256_add_epi32(_mm256_mullo_epi32(w2, v2), _mm256_mullo_epi32(w3, v3)));
    const __m256i total = _mm256_add_epi32(_mm256_add_epi32(w0, w1), _mm256_add_epi32(w2, w3));
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
