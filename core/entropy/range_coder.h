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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

inline constexpr uint32_t RANGE_TOP = uint32_t{1} << 24;

class RangeEncoder {
public:
    // Appends the coded bytes to `out`.
    explicit RangeEncoder(std::vector<uint8_t>& out) : out_(out) {}

    // total at most 2^24; 0 < freq and cum + freq <= total.
    void encode(uint32_t cum, uint32_t freq, uint32_t total) { narrow(range_ / total, cum, freq); }
    // The same for a total of 2^bits, bits at most 16.
    void encode_pow2(uint32_t cum, uint32_t freq, unsigned bits) { narrow(range_ >> bits, cum, freq); }
    // The low `count` bits of `value`, count at most 64.
    void encode_bits(uint64_t value, unsigned count) {
        while (count > 0) {
            const unsigned piece = count < 16 ? count : 16;
            count -= piece;
            encode_pow2(static_cast<uint32_t>(value >> count) & ((uint32_t{1} << piece) - 1), 1, piece);
        }
    }
    // Writes out what the state still holds; the coder is done.
    void finish();

private:
    void narrow(uint32_t step, uint32_t cum, uint32_t freq) {
        low_ += uint64_t{step} * cum;
        range_ = step * freq;
        while (range_ < RANGE_TOP) {
            range_ <<= 8;
            shift_low();
        }
    }
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

    // Decoding a symbol out of `total` (out of 2^bits, bits at most 16):
    // the coded point lies at or beyond the cumulative frequency `cum` when
    // reaches(cum); the symbol is the last whose cum it reaches, and is then
    // consumed with consume(). Comparing against multiples of the step
    // spares a division per symbol. A point at or beyond `total` (the
    // interval's slack, which no encoder reaches) means damaged input: the
    // caller refuses it.
    void start(uint32_t total) { step_ = range_ / total; }
    void start_pow2(unsigned bits) { step_ = range_ >> bits; }
    bool reaches(uint32_t cum) const { return cum * step_ <= code_; }  // cum * step_ <= range_: no overflow
    // The cumulative frequency the point reaches: reaches(cum) exactly when cum <= point().
    uint32_t point() const { return code_ / step_; }
    void consume(uint32_t cum, uint32_t freq) {
        code_ -= step_ * cum;
        range_ = step_ * freq;
        while (range_ < RANGE_TOP) {
            range_ <<= 8;
            code_ = (code_ << 8) | next_byte();
        }
    }
    uint64_t decode_bits(unsigned count) {
        uint64_t value = 0;
        while (count > 0) {
            const unsigned piece = count < 16 ? count : 16;
            count -= piece;
            start_pow2(piece);
            const uint32_t bits = std::min(code_ / step_, uint32_t{1} << piece) & ((uint32_t{1} << piece) - 1);
            consume(bits, 1);
            value = (value << piece) | bits;
        }
        return value;
    }

    // Once every symbol is decoded: whether the stream is exactly one an
    // encoder writes. Its first byte is 0 and its last bytes are the low end
    // of the final interval, so the point is back at that end; every byte
    // was read and none beyond (zeros were read instead). Bits the symbols
    // alone would not notice cannot then change.
    bool ended_cleanly() const { return !in_.empty() && in_[0] == 0 && code_ == 0 && position_ == in_.size(); }

private:
    uint8_t next_byte() { return position_ < in_.size() ? in_[position_++] : (++position_, 0); }

    std::span<const uint8_t> in_;
    size_t position_ = 0;
    uint32_t code_ = 0;
    uint32_t range_ = 0xFFFFFFFF;
    uint32_t step_ = 0;  // range / total of the symbol being decoded
};

}  // namespace zelk
