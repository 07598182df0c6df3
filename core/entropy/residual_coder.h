// Residuals coded with adaptive frequencies by a range coder, as
// residual_symbols.h makes them symbols. Each context has its own
// frequencies: they start at 1, a symbol coded gains 24, and all are halved
// (rounding up) once their total passes 2^16. A sign is coded with an
// adaptive probability in its context (signals that drift make their signs
// lopsided). Every symbol is coded out of its context's total plus a 256th
// more that no symbol owns: a symbol then costs at least log2(257/256)
// bits, which bounds how many residuals a stream of a given length can hold
// (max_residuals) and lets a reader refuse a claim beyond that before
// decoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "entropy/range_coder.h"
#include "entropy/residual_symbols.h"

namespace zelk {

// How many residuals a coded stream of `bytes` bytes can hold at most.
constexpr uint64_t max_residuals(uint64_t bytes) { return bytes * 1422; }

class ResidualCoder {
public:
    // `magnitude_bits`: every magnitude coded is below 2^magnitude_bits
    // (at most 64); it sets the alphabet.
    explicit ResidualCoder(unsigned magnitude_bits);
    // Its contexts point into its tables, which a move keeps where they
    // are and a copy would not.
    ResidualCoder(const ResidualCoder&) = delete;
    ResidualCoder& operator=(const ResidualCoder&) = delete;
    ResidualCoder(ResidualCoder&&) noexcept = default;
    ResidualCoder& operator=(ResidualCoder&&) noexcept = default;

    void encode(RangeEncoder& coder, ResidualStream& stream, int64_t residual);
    // Throws std::runtime_error for a code no encoder writes.
    int64_t decode(RangeDecoder& decoder, ResidualStream& stream);

    unsigned alphabet() const { return alphabet_; }

private:
    // Each symbol's frequency, and the sums of each GROUP of them, which
    // find a symbol's cumulative frequency in a few steps however far along
    // the alphabet it lies.
    static constexpr unsigned GROUP = 16;
    struct Context {
        uint32_t* freq;    // the alphabet's
        uint32_t* groups;  // group_count_
        uint32_t total = 0;
    };
    uint32_t cumulative(const Context& context, unsigned symbol) const;
    void update(Context& context, unsigned symbol);
    static void adapt_sign(uint32_t& odds, bool negative);

    unsigned alphabet_, group_count_;
    // Every context's frequencies and then their groups' sums, in one
    // allocation: small blocks make a coder each, and use few contexts.
    std::vector<uint32_t> counts_;
    std::array<Context, RESIDUAL_CONTEXTS> contexts_;
    // The odds of a negative sign in 4096ths, by the last residual's sign
    // and whether this one's magnitude is below 4.
    std::array<uint32_t, SIGN_CONTEXTS> sign_odds_{2048, 2048, 2048, 2048, 2048, 2048};
};

}  // namespace zelk
