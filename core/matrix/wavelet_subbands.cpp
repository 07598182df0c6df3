#include "matrix/wavelet_subbands.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "matrix/cdf97_lifting.h"

namespace zelk {
namespace {

__extension__ using Wide = unsigned __int128;

Wide isqrt(Wide n) {
    if (n == 0) return 0;
    const auto high = static_cast<uint64_t>(n >> 64), low = static_cast<uint64_t>(n);
    const unsigned bits = high ? 128 - std::countl_zero(high) : 64 - std::countl_zero(low);
    Wide x = Wide{1} << ((bits + 1) / 2);  // above the root: Newton's steps fall to its floor
    for (;;) {
        const Wide next = (x + n / x) / 2;
        if (next >= x) return x;
        x = next;
    }
}

}  // namespace

unsigned wavelet_levels(uint64_t rows, uint64_t cols) {
    if (std::min(rows, cols) < 32) return 0;
    unsigned levels = 1;
    while (levels < 8 && std::min(rows, cols) >> (levels + 1) >= 16) ++levels;
    return levels;
}

std::vector<WaveletPlace> wavelet_subbands(size_t rows, size_t cols, unsigned levels) {
    std::vector<std::pair<size_t, size_t>> sides{{rows, cols}};
    for (unsigned i = 1; i < levels; ++i) sides.emplace_back((sides.back().first + 1) / 2, (sides.back().second + 1) / 2);
    std::vector<WaveletPlace> out{{{0, (sides.back().first + 1) / 2, 0, (sides.back().second + 1) / 2, 1}, levels, false, false}};
    for (unsigned level = levels; level >= 1; --level) {
        const auto [h, w] = sides[level - 1];
        const size_t hs = (h + 1) / 2, ws = (w + 1) / 2;
        out.push_back({{0, hs, ws, w, 1}, level, false, true});
        out.push_back({{hs, h, 0, ws, 1}, level, true, false});
        out.push_back({{hs, h, ws, w, 1}, level, true, true});
    }
    return out;
}

WaveletNorms::WaveletNorms(unsigned levels) : energies_(levels + 1) {
    const size_t n = size_t{1} << (levels + 4);
    for (unsigned level = 1; level <= levels; ++level) {
        for (int high = 0; high < 2; ++high) {
            std::vector<int64_t> line(n, 0);
            const size_t band = n >> level;
            line[high ? band + band / 2 : band / 2] = int64_t{1} << 24;
            cdf97_inverse(line, n, 1, level);
            Wide sum = 0;
            for (int64_t v : line) {
                const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                sum += Wide{magnitude} * magnitude;
            }
            energies_[level][high] = sum;
        }
    }
}

WaveletNorms::Wide WaveletNorms::product(const WaveletPlace& place) const {
    return energies_.at(place.level)[place.high_rows] * energies_.at(place.level)[place.high_cols];
}

void WaveletNorms::set_multipliers(std::vector<WaveletPlace>& places, uint64_t step) const {
    for (WaveletPlace& place : places) {
        const Wide root = std::max<Wide>(1, isqrt(product(place)));
        const Wide multiplier = (Wide{step} << 32) / root;
        place.place.multiplier = static_cast<int64_t>(std::clamp<Wide>(multiplier, 1, WAVELET_MOST_MULTIPLIER));
    }
}

double WaveletNorms::norm(const WaveletPlace& place) const {
    return std::sqrt(static_cast<double>(product(place))) / 0x1p48;
}

}  // namespace zelk
