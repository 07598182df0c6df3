// The 31 block distances and their weighted mean. Block j (0..31) starts at
// end - 128 + 4j; block 31 is the query itself and is skipped, block 30 is
// the nearest key. Its value, the byte after it, is end[-124 + 4j].
//
// With every weight at most 43690 and at most 31 of them, the weighted sum of
// bytes stays below 2^29, so 32-bit sums are exact; the rounded mean of bytes
// cannot exceed 255. The SSE2 distances are used wherever the target has
// SSE2 (every x86-64); the block-by-block ones elsewhere, and the tests hold
// the two equal.
#include "model/block_attention.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/cpu_features.h"

namespace zelk {
namespace detail {

uint32_t block_distances_portable(const uint8_t* end, uint32_t* d) {
    const uint8_t* query = end - 4;
    uint32_t exact = 0;
    for (int j = 0; j < BLOCKS; ++j) {
        const uint8_t* key = end - ATTENTION_WINDOW + 4 * j;
        uint32_t sum = 0;
        for (int i = 0; i < 4; ++i) sum += static_cast<uint32_t>(std::abs(int{key[i]} - int{query[i]}));
        d[j] = sum;
        exact |= uint32_t{sum == 0} << j;
    }
    return exact;
}

#if defined(__SSE2__)

uint32_t block_distances_sse2(const uint8_t* end, uint32_t* d) {
    uint32_t query_word;
    std::memcpy(&query_word, end - 4, 4);
    const __m128i query = _mm_set1_epi32(static_cast<int>(query_word));
    const __m128i first_of_pair = _mm_set_epi32(0, -1, 0, -1);  // bytes 0-3 and 8-11
    const __m128i zero = _mm_setzero_si128();
    uint32_t exact = 0;
    for (int v = 0; v < BLOCKS / 4; ++v) {
        const __m128i keys = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - ATTENTION_WINDOW + 16 * v));
        const __m128i diff = _mm_or_si128(_mm_subs_epu8(keys, query), _mm_subs_epu8(query, keys));
        // Each 64-bit lane holds two blocks: sum the first by masking the
        // second away, the second by shifting it down.
        const __m128i first = _mm_sad_epu8(_mm_and_si128(diff, first_of_pair), zero);
        const __m128i second = _mm_sad_epu8(_mm_srli_epi64(diff, 32), zero);
        const __m128i four = _mm_or_si128(first, _mm_slli_epi64(second, 32));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * v), four);
        exact |= static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(four, zero)))) << (4 * v);
    }
    return exact;
}

#endif

namespace {

#if defined(__SSE2__)
constexpr auto block_distances = block_distances_sse2;
#else
constexpr auto block_distances = block_distances_portable;
#endif

}  // namespace

uint8_t attend_baseline(const uint8_t* end) {
    uint32_t d[BLOCKS];
    const uint32_t exact = block_distances(end, d) & ~(uint32_t{1} << 31);  // block 31 is the query
    const uint8_t* values = end - ATTENTION_WINDOW + 4;  // values[4j] follows block j
    if (exact != 0) return values[4 * (31 - std::countl_zero(exact))];

    // The weighted sum of bytes in the low half, the sum of weights in the
    // high half: one multiply-add per block, and no carry between the halves.
    uint64_t sums = 0;
    for (int j = 0; j < BLOCKS - 1; ++j) sums += uint64_t{WEIGHT_BY_DISTANCE[d[j]]} * (uint64_t{1} << 32 | values[4 * j]);
    const auto acc = static_cast<uint32_t>(sums);
    const auto total = static_cast<uint32_t>(sums >> 32);
    return static_cast<uint8_t>((acc + total / 2) / total);
}

}  // namespace detail

uint8_t attend(const uint8_t* end) {
#if defined(ZELK_HAVE_AVX2_KERNEL)
    static const auto kernel = cpu_has(CpuFeature::Avx2) ? detail::attend_avx2 : detail::attend_baseline;
    return kernel(end);
#else
    return detail::attend_baseline(end);
#endif
}

}  // namespace zelk
