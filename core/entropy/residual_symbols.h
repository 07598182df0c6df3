// How a signed residual r becomes symbols, shared by the residual coders:
//
//   m = |r| < 16   the symbol m;
//   m >= 16        with e = floor(log2 m): the symbol 16 + 4 (e - 4) + the
//                  two bits of m below its top bit, and the e - 2 bits below
//                  those sent raw;
//   m != 0         its sign, coded in one of six contexts: the sign of the
//                  stream's residual before it (zero, negative, positive)
//                  and whether the symbol is below 4.
//
// A symbol's context is the half-octave of an exponentially weighted mean
// of the magnitudes before it on the same stream (a channel), so quiet and
// loud passages are coded apart.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

namespace zelk {

inline constexpr unsigned RESIDUAL_CONTEXTS = 48;
inline constexpr unsigned SIGN_CONTEXTS = 6;
inline constexpr unsigned DIRECT_SYMBOLS = 16;  // magnitudes below this are symbols of their own

// The alphabet of magnitudes below 2^magnitude_bits (at most 64): at most 256 symbols.
constexpr unsigned residual_alphabet(unsigned magnitude_bits) {
    return DIRECT_SYMBOLS + 4 * (std::clamp(magnitude_bits, 5u, 64u) - 4);
}

inline unsigned symbol_of(uint64_t magnitude) {
    if (magnitude < DIRECT_SYMBOLS) return static_cast<unsigned>(magnitude);
    const unsigned e = 63 - static_cast<unsigned>(std::countl_zero(magnitude));
    return DIRECT_SYMBOLS + 4 * (e - 4) + static_cast<unsigned>((magnitude >> (e - 2)) & 3);
}

// How many low bits of the magnitude a symbol leaves to be sent raw.
constexpr unsigned raw_bits_of(unsigned symbol) {
    return symbol < DIRECT_SYMBOLS ? 0 : (symbol - DIRECT_SYMBOLS) / 4 + 2;
}

// The magnitude of a symbol with its raw bits.
constexpr uint64_t magnitude_of(unsigned symbol, uint64_t raw) {
    if (symbol < DIRECT_SYMBOLS) return symbol;
    return (uint64_t{4} | ((symbol - DIRECT_SYMBOLS) & 3)) << raw_bits_of(symbol) | raw;
}

// Every symbol's raw bits and its magnitude with raw bits of 0, for a
// decoder to look up rather than branch on (whether a symbol is below 16
// is a coin toss on noisy data): magnitude_of(s, raw) is magnitude | raw.
struct SymbolShape {
    uint64_t magnitude;
    unsigned raw_bits;
};
inline constexpr std::array<SymbolShape, 256> SYMBOL_SHAPES = [] {
    std::array<SymbolShape, 256> shapes{};
    for (unsigned s = 0; s < shapes.size(); ++s) shapes[s] = {magnitude_of(s, 0), raw_bits_of(s)};
    return shapes;
}();

// The state one stream of residuals adapts.
struct ResidualStream {
    uint64_t mean16 = 0;     // about 16 times the recent mean magnitude
    unsigned last_sign = 0;  // of the last residual: 0 zero, 1 negative, 2 positive

    unsigned context() const { return context_of(mean16); }
    static unsigned context_of(uint64_t mean16) {
        if (mean16 < 2) return static_cast<unsigned>(mean16);
        const unsigned e = 63 - static_cast<unsigned>(std::countl_zero(mean16));
        return std::min(2 * e + static_cast<unsigned>((mean16 >> (e - 1)) & 1), RESIDUAL_CONTEXTS - 1);
    }
    unsigned sign_context(unsigned symbol) const { return last_sign * 2 + (symbol < 4); }
    void adapt(uint64_t magnitude, bool negative) {
        adapt_sign(magnitude, negative);
        mean16 += std::min<uint64_t>(magnitude, uint64_t{1} << 56) - (mean16 >> 4);
    }
    // adapt() for a stream whose mean is set before every residual (a raster's, from its neighbours).
    void adapt_sign(uint64_t magnitude, bool negative) { last_sign = magnitude == 0 ? 0 : negative ? 1 : 2; }
};

}  // namespace zelk
