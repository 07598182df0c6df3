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
    // A symbol as the encoder's step takes it: x becomes
    // x + bias + q * (2^12 - f), which is (x / f) * 2^12 + x mod f + c with
    // q = x / f, the high half of x * ceil(2^64 / f): that is exact, since
    // x * (ceil(2^64 / f) * f - 2^64) < 2^32 * f <= 2^44 stays below 2^64.
    // Where f is 1 the reciprocal, 2^64, does not fit: 2^64 - 1 gives
    // q = x - 1, which a bias of c + 2^12 - 1 makes up for. One multiply
    // fewer in the chain from state to state than dividing by shifting
    // 2^44 / f.
    struct Symbol {
        uint32_t bias = RANS_TOTAL - 1, complement = RANS_TOTAL - 1, freq = 1;  // frequency 1 at 0
        uint64_t reciprocal = ~uint64_t{0};
    };
    // 0 < freq, cum + freq <= RANS_TOTAL.
    static Symbol symbol(uint32_t cum, uint32_t freq) {
        if (freq == 1) return {cum + RANS_TOTAL - 1, RANS_TOTAL - 1, 1, ~uint64_t{0}};
        return {cum, RANS_TOTAL - freq, freq, ~uint64_t{0} / freq + 1};
    }

    void encode(const Symbol& symbol) {
        // Without a branch, which would be a coin toss: the word is stored
        // every time and kept when the state must shift.
        if (written_ == words_.size()) words_.resize(2 * words_.size() + 1024);
        const bool shifts = state_ >= symbol.freq << (32 - RANS_TOTAL_BITS);
        words_[written_] = static_cast<uint16_t>(state_);
        written_ += shifts;
        state_ = shifts ? state_ >> 16 : state_;
        __extension__ using Wide = unsigned __int128;
        const auto quotient = static_cast<uint32_t>(Wide{state_} * symbol.reciprocal >> 64);
        state_ += symbol.bias + quotient * symbol.complement;
    }
    // Appends the stream to `out`; the encoder is done.
    void finish(std::vector<uint8_t>& out) const;

private:
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
