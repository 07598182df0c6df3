// A range coder over 32-bit ranges with carry propagation (the byte-wise
// scheme of the LZMA coder): the encoder keeps the low end of the interval
// in 64 bits and a 32-bit range; coding a symbol of frequency `freq` at
// cumulative frequency `cum` out of `total` narrows the range to
// (range / total) * freq; whenever the range falls below 2^24 a byte is
// shifted out, a carry out of the low end rippling into the bytes held back.
// Bits sent raw narrow it by halves, up to 16 at a time.
//
// Integer arithmetic only, so every machine codes the same bytes. The first
// byte written is always 0 and the decoder reads 5 bytes to start; past the
// end of its input the decoder reads zeros, and tells how far it went so a
// caller can refuse a stream that ran out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

class RangeEncoder {
public:
    // Appends the coded bytes to `out`.
    explicit RangeEncoder(std::vector<uint8_t>& out) : out_(out) {}

    // total at most 2^24; 0 < freq and cum + freq <= total.
    void encode(uint32_t cum, uint32_t freq, uint32_t total);
    // The low `count` bits of `value`, count at most 64.
    void encode_bits(uint64_t value, unsigned count);
    // Writes out what the state still holds; the coder is done.
    void finish();

private:
    void shift_low();

    std::vector<uint8_t>& out_;
    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFF;
    uint8_t cache_ = 0;
    uint64_t pending_ = 1;  // bytes held back: the cache and the 0xFF bytes after it
};

class RangeDecoder {
public:
    explicit RangeDecoder(std::span<const uint8_t> in);

    // The value in [0, total) that selects the next symbol: a symbol whose
    // cumulative range holds it is then consumed with consume(). A value of
    // `total` or more (the interval's slack, which no encoder reaches) means
    // damaged input: the caller refuses it.
    uint32_t target(uint32_t total);
    void consume(uint32_t cum, uint32_t freq);
    uint64_t decode_bits(unsigned count);

    // Bytes read beyond the end of the input (zeros were read instead).
    size_t overrun() const { return position_ > in_.size() ? position_ - in_.size() : 0; }

private:
    uint8_t next_byte() { return position_ < in_.size() ? in_[position_++] : (++position_, 0); }
    void normalize();

    std::span<const uint8_t> in_;
    size_t position_ = 0;
    uint32_t code_ = 0;
    uint32_t range_ = 0xFFFFFFFF;
    uint32_t step_ = 0;  // range / total of the last target()
};

}  // namespace zelk
