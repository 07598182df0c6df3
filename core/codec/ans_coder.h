// Carry-less byte-oriented range coder with 32-bit state over the fixed
// residual table (residual_frequencies.h).
//
// Each symbol narrows [low, low + range) to its slice of the table. Bytes are
// shifted out most significant first whenever the top byte of the interval is
// settled. When the interval straddles a top-byte boundary but has become
// small (range <= 0xFFFF), the range is cut back to the part below that
// boundary, 0xFFFF - (low & 0xFFFF); the top byte is then settled and the
// interval never crosses 2^32, so no carry ever reaches a byte already written.
//
// Zero range. The cut gives range 0 when the low 16 bits of low are all ones;
// from there the plain renormalisation shifts zeros forever. The encoder
// notices the collapse, stops and reports it (encode() returns false); the
// chunk encoder refuses such an input, so no chunk ever needs that step. The
// decoder, fed a payload no conforming encoder wrote, stops renormalising at
// the collapse, and every later symbol decodes as symbol 0 (residual -128, as
// from an exhausted payload) in constant time without reading input. Chunks
// that never collapse are coded exactly as by the plain steps.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/residual_frequencies.h"

namespace zelk {

namespace detail {

inline constexpr uint32_t SMALL_RANGE = 0xFFFF;

// Narrows [low, low + range) to symbol s.
inline void narrow(uint32_t& low, uint32_t& range, uint8_t s) {
    const SymbolRange& sym = RESIDUAL_FREQUENCIES[s];
    const uint32_t r = range >> RESIDUAL_TOTAL_BITS;
    low += sym.start * r;
    range = sym.freq * r;
}

// Shifts out every settled top byte, handing shift_bytes(low, k) the k of
// them (the top k bytes of low, most significant first) before low and range
// move up by 8k bits. Returns false when the range collapses to zero; low and
// range are then left as the cut made them.
//
// A shift moves low ^ (low + range) up by 8 bits too, so the bytes settled in
// a row are that word's leading zero bytes, and they go in one step rather
// than in a data-dependent loop of single bytes. The word is never 0 while
// the range is not.
template <typename ShiftBytes>
inline bool renormalise(uint32_t& low, uint32_t& range, ShiftBytes&& shift_bytes) {
    for (;;) {
        const auto settled = static_cast<unsigned>(std::countl_zero(low ^ (low + range))) / 8;  // 0..3
        shift_bytes(low, settled);
        low <<= 8 * settled;
        range <<= 8 * settled;
        if (range > SMALL_RANGE) return true;
        range = SMALL_RANGE - (low & SMALL_RANGE);
        if (range == 0) return false;
    }
}

// For every q in 0..0xFFFF, the largest symbol whose cumulative start is at
// most q: the decoder's symbol search as one look-up (64 KiB, built at
// compile time from the frequency table).
inline constexpr std::array<uint8_t, SMALL_RANGE + 1> SYMBOL_OF_QUOTIENT = [] {
    std::array<uint8_t, SMALL_RANGE + 1> table{};
    for (unsigned s = 0; s < RESIDUAL_FREQUENCIES.size(); ++s) {
        const SymbolRange& sym = RESIDUAL_FREQUENCIES[s];
        for (uint32_t q = sym.start; q < sym.start + sym.freq; ++q) table[q] = static_cast<uint8_t>(s);
    }
    return table;
}();

inline uint8_t find_symbol(uint32_t q) { return SYMBOL_OF_QUOTIENT[q]; }

}  // namespace detail

class AnsEncoder {
public:
    AnsEncoder() : output_(4096) {}

    // Codes symbol s. Returns false once the range has collapsed; the encoder
    // then ignores further symbols and its output must not be used.
    bool encode(uint8_t s) {
        if (range_ == 0) return false;
        detail::narrow(low_, range_, s);
        return detail::renormalise(low_, range_, [this](uint32_t low, unsigned count) { put(low, count); });
    }

    bool collapsed() const { return range_ == 0; }

    // Appends the four bytes of low, most significant first, and hands over
    // the whole output.
    std::vector<uint8_t> finish() &&;

private:
    // Stores all four bytes of low and keeps the first `count`: one store
    // whatever the count. The buffer always has four bytes to spare.
    void put(uint32_t low, unsigned count) {
        if (output_.size() - length_ < 4) output_.resize(2 * output_.size());
        uint8_t* at = output_.data() + length_;
        for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(low >> (24 - 8 * i));
        length_ += count;
    }

    uint32_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFF;
    std::vector<uint8_t> output_;
    std::size_t length_ = 0;  // bytes of output_ in use
};

class AnsDecoder {
public:
    // Takes the first four payload bytes (zero-padded) as the code value.
    // The payload must outlive the decoder.
    explicit AnsDecoder(std::span<const uint8_t> payload);

    uint8_t decode() {
        if (range_ == 0) return 0;
        const uint32_t r = range_ >> RESIDUAL_TOTAL_BITS;
        uint32_t q = (code_ - low_) / r;
        if (q > detail::SMALL_RANGE) q = detail::SMALL_RANGE;
        const uint8_t s = detail::find_symbol(q);
        detail::narrow(low_, range_, s);
        detail::renormalise(low_, range_, [this](uint32_t, unsigned count) { shift_in(count); });
        return s;
    }

private:
    // Moves the next `count` (0..4) payload bytes into the code value, past
    // the end reading zeros. Away from the end, one four-byte load whatever
    // the count.
    void shift_in(unsigned count) {
        uint32_t next = 0;
        if (payload_.size() - pos_ >= 4) {
            for (std::size_t i = 0; i < 4; ++i) next = next << 8 | payload_[pos_ + i];
        } else {
            for (std::size_t i = 0; i < 4; ++i) next = next << 8 | (pos_ + i < payload_.size() ? payload_[pos_ + i] : 0);
        }
        code_ = static_cast<uint32_t>((uint64_t{code_} << 32 | next) >> (32 - 8 * count));
        pos_ = std::min(pos_ + count, payload_.size());
    }

    uint32_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFF;
    uint32_t code_ = 0;
    std::span<const uint8_t> payload_;
    std::size_t pos_ = 0;
};

}  // namespace zelk
