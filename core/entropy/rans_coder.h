// rANS, range asymmetric numeral systems, over a 32-bit state with 16-bit
// words and totals of 2^12: coding a symbol of frequency f at cumulative
// frequency c takes the state x to (x / f) * 2^12 + x mod f + c, and the
// decoder takes it back with the state's low 12 bits, the slot, which lies
// in [c, c + f). The state stays in [2^16, 2^32): before coding, the
// encoder writes out its low 16 bits while it is at least f * 2^20, and the
// decoder reads a word in whenever it falls below 2^16.
//
// The encoder codes symbols last first, so the decoder reads them in order;
// its stream is the final state (4 bytes, least significant first) and then
// the words from the last written to the first. A decoder that took every
// symbol back ends at the encoder's starting state having read every word,
// which a caller checks to tell a whole stream from a damaged one.
//
// Integer arithmetic only, so every machine codes the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "base/kept_buffers.h"

namespace zelk {

inline constexpr unsigned RANS_TOTAL_BITS = 12;
inline constexpr uint32_t RANS_TOTAL = uint32_t{1} << RANS_TOTAL_BITS;
inline constexpr uint32_t RANS_LOW = uint32_t{1} << 16;

class RansEncoder {
public:
    // A symbol's frequency and the exact reciprocal that divides by it.
    struct Symbol {
        uint32_t cum = 0, freq = 1;
        uint64_t reciprocal = uint64_t{1} << RECIPROCAL_BITS;
    };
    // 0 < freq, cum + freq <= RANS_TOTAL.
    static Symbol symbol(uint32_t cum, uint32_t freq) {
        return {cum, freq, ((uint64_t{1} << RECIPROCAL_BITS) + freq - 1) / freq};
    }

    void encode(const Symbol& symbol) {
        // Without a branch, which would be a coin toss: the word is stored
        // every time and kept when the state must shift.
        if (written_ == words_.size()) words_.resize(2 * words_.size() + 1024);
        const bool shifts = state_ >= symbol.freq << (32 - RANS_TOTAL_BITS);
        words_[written_] = static_cast<uint16_t>(state_);
        written_ += shifts;
        state_ = shifts ? state_ >> 16 : state_;
        // x / f as x * ceil(2^44 / f) / 2^44: the excess, below x / 2^44 <
        // 2^-12 <= 1 / f, never reaches the next integer.
        __extension__ using Wide = unsigned __int128;
        const auto quotient = static_cast<uint32_t>(Wide{state_} * symbol.reciprocal >> RECIPROCAL_BITS);
        state_ = (quotient << RANS_TOTAL_BITS) + (state_ - quotient * symbol.freq) + symbol.cum;
    }
    // Appends the stream to `out`; the encoder is done.
    void finish(std::vector<uint8_t>& out) const;

private:
    static constexpr unsigned RECIPROCAL_BITS = 44;

    uint32_t state_ = RANS_LOW;
    KeptVector<uint16_t> words_;  // the first written_ of them
    size_t written_ = 0;
};

class RansDecoder {
public:
    explicit RansDecoder(ByteView in) : in_(in) {
        state_ = next_word();
        position_ += 2;
        state_ |= uint32_t{next_word()} << 16;
        position_ += 2;
    }

    // The slot of the next symbol: the one whose [cum, cum + freq) holds it.
    uint32_t slot() const { return state_ & (RANS_TOTAL - 1); }
    void consume(uint32_t cum, uint32_t freq) {
        state_ = freq * (state_ >> RANS_TOTAL_BITS) + slot() - cum;
        // Without a branch: whether a word is needed is a coin toss.
        const bool refill = state_ < RANS_LOW;
        const uint32_t word = next_word();
        state_ = refill ? state_ << 16 | word : state_;
        position_ += refill ? 2 : 0;
    }
    // Whether the stream ended where its encoder began, every word read.
    bool ended_cleanly() const { return state_ == RANS_LOW && position_ == in_.size(); }

private:
    // The word at position_; past the end of the input, zeros.
    uint16_t next_word() const { return position_ + 2 <= in_.size() ? load_le<uint16_t>(&in_[position_]) : 0; }

    ByteView in_;
    size_t position_ = 0;
    uint32_t state_;
};

}  // namespace zelk
