// The layout of a band's CDF 9/7 wavelet (cdf97_lifting.h) and what rounds
// each of its subbands: how many levels a band of rows x cols takes, where
// every subband lies (the coarsest first, then each level's three details,
// coarse to fine), and each subband's multiplier for a step. A multiplier
// is the step over the subband's synthesis norm: the root of the product of
// the two axes' energies, each the sum of squares of a line restored from a
// coefficient of 2^24 in the middle of its band (the line 2^(levels + 4)
// long). The multipliers are integers alone, so every machine restores the
// same values; the norms as doubles weigh the encoder's estimates only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "matrix/wavelet_quantise.h"

namespace zelk {

inline constexpr uint64_t WAVELET_MOST_MULTIPLIER = uint64_t{1} << 40;

struct WaveletPlace {
    WaveletSubband place;  // its multiplier 1 until set_wavelet_multipliers()
    unsigned level;
    bool high_rows, high_cols;
};

// 0 where a band takes no wavelet: either side below 32. Else levels go on
// while the coarsest band is at least 16 wide, at most 8 of them.
unsigned wavelet_levels(uint64_t rows, uint64_t cols);

std::vector<WaveletPlace> wavelet_subbands(size_t rows, size_t cols, unsigned levels);

class WaveletNorms {
public:
    explicit WaveletNorms(unsigned levels);
    // Each subband's multiplier for rounding errors of about step / 2^16
    // grid units: (step * 2^32) / floor(norm * 2^48), within 1 and
    // WAVELET_MOST_MULTIPLIER.
    void set_multipliers(std::vector<WaveletPlace>& places, uint64_t step) const;
    // The subband's synthesis norm, sqrt of the energies' product (rounded
    // to a double) over 2^48.
    double norm(const WaveletPlace& place) const;

private:
    __extension__ using Wide = unsigned __int128;
    Wide product(const WaveletPlace& place) const;
    std::vector<std::array<Wide, 2>> energies_;  // by level, then low or high pass
};

}  // namespace zelk
