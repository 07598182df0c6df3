// The range coder's fixed model: for every residual symbol s (residual s - 128)
// its cumulative start c[s] and frequency f[s], totalling 2^16.
//
// The frequencies are a discrete Laplace distribution of scale 10 over the
// residual size, floor(65536 * exp(-|r|/10) / Z) raised to at least 1, with
// the residual-0 entry lowered by one to make the total exact. They are part
// of the chunk format, so they are written out here rather than computed: a
// libm that rounds exp() differently must not change a single chunk. The
// table is built at compile time from the 128 frequencies by residual size.
#pragma once

#include <array>
#include <cstdint>

namespace zelk {

struct SymbolRange {
    uint32_t start;  // c[s]: sum of the frequencies of all smaller symbols
    uint32_t freq;   // f[s]
};

inline constexpr uint32_t RESIDUAL_TOTAL_BITS = 16;

namespace detail {

// Frequency of a residual of size |r|, for |r| = 0 .. 127. Residual -128
// (symbol 0) has frequency 1.
inline constexpr std::array<uint32_t, 128> FREQUENCY_BY_SIZE = {
    3273, 2962, 2680, 2425, 2194, 1985, 1796, 1625, 1471, 1331,  //
    1204, 1089, 986,  892,  807,  730,  661,  598,  541,  489,   //
    443,  400,  362,  328,  297,  268,  243,  220,  199,  180,   //
    163,  147,  133,  120,  109,  98,   89,   80,   73,   66,    //
    59,   54,   49,   44,   40,   36,   32,   29,   26,   24,    //
    22,   19,   18,   16,   14,   13,   12,   10,   9,    8,     //
    8,    7,    6,    6,    5,    4,    4,    4,    3,    3,     //
    2,    2,    2,    2,    2,                                   //
    1,    1,    1,    1,    1,    1,    1,    1,    1,    1,     // 75 ..
    1,    1,    1,    1,    1,    1,    1,    1,    1,    1,     //
    1,    1,    1,    1,    1,    1,    1,    1,    1,    1,     //
    1,    1,    1,    1,    1,    1,    1,    1,    1,    1,     //
    1,    1,    1,    1,    1,    1,    1,    1,    1,    1,     //
    1,    1,    1,                                             // .. 127
};

constexpr std::array<SymbolRange, 256> build_residual_frequencies() {
    std::array<SymbolRange, 256> table{};
    uint32_t start = 0;
    for (int s = 0; s < 256; ++s) {
        const int residual = s - 128;
        const int size = residual < 0 ? -residual : residual;
        const uint32_t freq = size == 128 ? 1 : FREQUENCY_BY_SIZE[static_cast<std::size_t>(size)];
        table[static_cast<std::size_t>(s)] = {start, freq};
        start += freq;
    }
    return table;
}

}  // namespace detail

inline constexpr std::array<SymbolRange, 256> RESIDUAL_FREQUENCIES =
    detail::build_residual_frequencies();

static_assert(RESIDUAL_FREQUENCIES[255].start + RESIDUAL_FREQUENCIES[255].freq ==
                  (uint32_t{1} << RESIDUAL_TOTAL_BITS),
              "the frequencies must total 65536");
static_assert(RESIDUAL_FREQUENCIES[128].start == 31132, "residual 0 starts at 31132");
static_assert(RESIDUAL_FREQUENCIES[255].start == 65535, "the last symbol starts at 65535");
static_assert(RESIDUAL_FREQUENCIES[0].freq == 1 && RESIDUAL_FREQUENCIES[128].freq == 3273);

}  // namespace zelk
