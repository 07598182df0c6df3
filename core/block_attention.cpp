// The 31 block distances and their weighted mean. Block j (0..31) starts at
// end - 128 + 4j; block 31 is the query itself and is skipped, block 30 is
// the nearest key. Its value, the byte after it, is end[-124 + 4j].
//
// With every weight at most 43690 and at most 31 of them, the weighted sum of
// bytes stays below 2^29, so 32-bit sums are exact; the rounded mean of bytes
// cannot exceed 255.
#include "block_attention.h"

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelk {
namespace {

constexpr int BLOCKS = 32;  // the 31 keys and the query
constexpr uint32_t MAX_DISTANCE = 4 * 255;

constexpr std::array<uint16_t, MAX_DISTANCE + 1> WEIGHT_BY_DISTANCE = [] {
    std::array<uint16_t, MAX_DISTANCE + 1> w{};
    for (uint32_t d = 0; d <= MAX_DISTANCE; ++d) w[d] = static_cast<uint16_t>(131072u / (d + 2));
    return w;
}();

#if defined(__SSE2__)

void block_distances(const uint8_t* end, uint32_t* d) {
    uint32_t query_word;
    std::memcpy(&query_word, end - 4, 4);
    const __m128i query = _mm_set1_epi32(static_cast<int>(query_word));
    const __m128i first_of_pair = _mm_set_epi32(0, -1, 0, -1);  // bytes 0-3 and 8-11
    const __m128i zero = _mm_setzero_si128();
    for (int v = 0; v < BLOCKS / 4; ++v) {
        const __m128i keys = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - ATTENTION_WINDOW + 16 * v));
        const __m128i diff = _mm_or_si128(_mm_subs_epu8(keys, query), _mm_subs_epu8(query, keys));
        // Each 64-bit lane holds two blocks: sum the first by masking the
        // second away, the second by shifting it down.
        const __m128i first = _mm_sad_epu8(_mm_and_si128(diff, first_of_pair), zero);
        const __m128i second = _mm_sad_epu8(_mm_srli_epi64(diff, 32), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * v), _mm_or_si128(first, _mm_slli_epi64(second, 32)));
    }
}

#else

void block_distances(const uint8_t* end, uint32_t* d) {
    const uint8_t* query = end - 4;
    for (int j = 0; j < BLOCKS; ++j) {
        const uint8_t* key = end - ATTENTION_WINDOW + 4 * j;
        uint32_t sum = 0;
        for (int i = 0; i < 4; ++i) sum += static_cast<uint32_t>(std::abs(int{key[i]} - int{query[i]}));
        d[j] = sum;
    }
}

#endif

}  // namespace

uint8_t attend(const uint8_t* end) {
    uint32_t d[BLOCKS];
    block_distances(end, d);
    const uint8_t* values = end - ATTENTION_WINDOW + 4;  // values[4j] follows block j

    uint32_t exact = 0;  // bit j: block j equals the query
    for (int j = 0; j < BLOCKS - 1; ++j) exact |= uint32_t{d[j] == 0} << j;
    if (exact != 0) return values[4 * (31 - std::countl_zero(exact))];

    uint32_t acc = 0;
    uint32_t total = 0;
    for (int j = 0; j < BLOCKS - 1; ++j) {
        const uint32_t weight = WEIGHT_BY_DISTANCE[d[j]];
        acc += weight * values[4 * j];
        total += weight;
    }
    return static_cast<uint8_t>((acc + total / 2) / total);
}

}  // namespace zelk
