// Signed residuals coded by their magnitude m = |r| with adaptive
// frequencies chosen by context:
//
//   m < 16        the symbol m;
//   m >= 16       with e = floor(log2 m): the symbol 16 + 4 (e - 4) + the two
//                 bits of m below its top bit, and the e - 2 bits below
//                 those sent raw;
//   m != 0        the sign, coded with an adaptive probability chosen by the
//                 sign of the residual before it (signals that drift make
//                 their signs lopsided).
//
// Each context has its own frequencies: they start at 1, a symbol coded
// gains 24, and all are halved (rounding up) once their total passes 2^16.
// The context is the half-octave of an exponentially weighted mean of the
// magnitudes coded before on the same stream (a channel), so quiet and loud
// passages learn apart. Every symbol is coded out of its context's total
// plus a 256th more that no symbol owns: a symbol then costs at least
// log2(257/256) bits, which bounds how many residuals a stream of a given
// length can hold (max_residuals) and lets a reader refuse a claim beyond
// that before decoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "entropy/range_coder.h"

namespace zelk {

// How many residuals a coded stream of `bytes` bytes can hold at most.
constexpr uint64_t max_residuals(uint64_t bytes) { return bytes * 1422; }

// The state one stream of residuals adapts.
struct ResidualStream {
    uint64_t mean16 = 0;     // about 16 times the recent mean magnitude
    unsigned last_sign = 0;  // of the last residual: 0 zero, 1 negative, 2 positive
};

class ResidualCoder {
public:
    static constexpr unsigned CONTEXTS = 48;

    // `magnitude_bits`: every magnitude coded is below 2^magnitude_bits
    // (at most 64); it sets the alphabet.
    explicit ResidualCoder(unsigned magnitude_bits);

    void encode(RangeEncoder& coder, ResidualStream& stream, int64_t residual);
    // Throws std::runtime_error for a code no encoder writes.
    int64_t decode(RangeDecoder& decoder, ResidualStream& stream);

    unsigned alphabet() const { return alphabet_; }

private:
    struct Context {
        std::vector<uint32_t> freq;
        uint32_t total = 0;
    };
    Context& context_of(const ResidualStream& stream);
    void update(Context& context, unsigned symbol);
    static void adapt(ResidualStream& stream, uint64_t magnitude);
    static void adapt_sign(uint32_t& odds, bool negative);

    unsigned alphabet_;
    std::array<Context, CONTEXTS> contexts_;
    // The odds of a negative sign in 4096ths, by the last residual's sign
    // and whether this one's magnitude is below 4.
    std::array<uint32_t, 6> sign_odds_{2048, 2048, 2048, 2048, 2048, 2048};
};

}  // namespace zelk
