// The transformer's prediction computed straight from the chunk's bytes: the
// query is the four bytes before `end`, the keys the 31 four-byte blocks
// before it, and the caller guarantees that the 128 bytes before `end` are
// readable (positions before the chunk's start supplied as zeros). The block
// distances are taken 16 bytes at a time with SSE2 where the target has it,
// and the weight 131072 / (d + 2) comes from a table; both give exactly the
// integers of the block-by-block search.
#pragma once

#include <array>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define ZELK_HAVE_AVX2_KERNEL 1
#endif

namespace zelk {

inline constexpr int ATTENTION_WINDOW = 128;  // bytes read before `end`

// Valid once the chunk holds 32 bytes; below that the prediction is 128.
// Runs the AVX2 kernel where the CPU has it, else the baseline one.
uint8_t attend(const uint8_t* end);

namespace detail {

inline constexpr int BLOCKS = 32;  // the 31 keys and the query
inline constexpr uint32_t MAX_DISTANCE = 4 * 255;

inline constexpr std::array<uint32_t, MAX_DISTANCE + 1> WEIGHT_BY_DISTANCE = [] {
    std::array<uint32_t, MAX_DISTANCE + 1> w{};
    for (uint32_t d = 0; d <= MAX_DISTANCE; ++d) w[d] = 131072u / (d + 2);
    return w;
}();

// The kernels: SSE2 or block-by-block distances with a scalar weighted mean,
// and the AVX2 kernel (callable only where the CPU has AVX2).
uint8_t attend_baseline(const uint8_t* end);
#if defined(ZELK_HAVE_AVX2_KERNEL)
uint8_t attend_avx2(const uint8_t* end);
#endif

// Fill d[0..31] with the distance of each block from the query and return
// the mask of the blocks at distance 0, block by block or with SSE2.
uint32_t block_distances_portable(const uint8_t* end, uint32_t* d);
#if defined(__SSE2__)
uint32_t block_distances_sse2(const uint8_t* end, uint32_t* d);
#endif

}  // namespace detail

}  // namespace zelk
