// Rice codes, for residuals wanted fast rather than smallest: a number u
// with parameter k is its quotient q = u >> k in unary (q one bits, then a
// zero bit) and its k low bits; a quotient of ESCAPE or more is ESCAPE one
// bits and then u in full, in as many bits as the stream's width. Bits are
// packed from the least significant bit of each byte up, and every number
// costs at least one bit, which bounds how many a stream of a given length
// holds.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

inline constexpr unsigned RICE_ESCAPE = 24;

// How many numbers a stream of `bytes` bytes can hold at most.
constexpr uint64_t max_rice_numbers(uint64_t bytes) { return bytes * 8; }

// The parameter that codes numbers of this sum over `count` shortest, about:
// the bits of their mean.
unsigned rice_parameter(uint64_t sum, uint64_t count);

class BitWriter {
public:
    // Appends to `out`, which holds its bytes once finish() returns.
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out), start_(out.size()), size_(out.size()) {}
    // The low `count` bits of `value`, count at most 32.
    void put(uint64_t value, unsigned count) {
        bits_ |= (count == 0 ? 0 : value & (~uint64_t{0} >> (64 - count))) << fill_;
        fill_ += count;
        if (fill_ >= 32) {
            write_bytes(4);
            bits_ >>= 32;
            fill_ -= 32;
        }
    }
    void put_wide(uint64_t value, unsigned count) {  // up to 64 bits
        if (count > 32) {
            put(value, 32);
            put(value >> 32, count - 32);
        } else {
            put(value, count);
        }
    }
    // The Rice code of each number, numbers[i] with parameters[i % P] for
    // P parameters, escapes in `width` bits.
    void put_rice_frames(std::span<const uint64_t> numbers, std::span<const unsigned> parameters, unsigned width);
    // Writes out the last bits, zero padded to a byte.
    void finish();
    // How many bits it has written since it was made.
    uint64_t bits_written() const { return 8 * uint64_t{size_ - start_} + fill_; }

private:
    // The low `count` bytes of bits_ (count at most 4), least significant
    // first; all four are written, those beyond `count` overwritten later.
    void write_bytes(unsigned count) {
        if (out_.size() < size_ + 4) out_.resize(std::max(out_.capacity(), 2 * out_.size() + 256));
        uint8_t* at = &out_[size_];
        at[0] = static_cast<uint8_t>(bits_);
        at[1] = static_cast<uint8_t>(bits_ >> 8);
        at[2] = static_cast<uint8_t>(bits_ >> 16);
        at[3] = static_cast<uint8_t>(bits_ >> 24);
        size_ += count;
    }

    std::vector<uint8_t>& out_;
    size_t start_;  // of out_'s bytes, those it found
    size_t size_;   // of out_'s bytes, those written
    uint64_t bits_ = 0;
    unsigned fill_ = 0;
};

class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> in) : in_(in) {}
    uint64_t get(unsigned count) {  // at most 56
        if (fill_ < count) refill();
        const uint64_t value = bits_ & ((uint64_t{1} << count) - 1);  // no branch for count 0
        skip(count);
        return value;
    }
    uint64_t get_wide(unsigned count) {
        if (count <= 32) return get(count);
        const uint64_t low = get(32);
        return low | get(count - 32) << 32;
    }
    uint64_t get_rice(unsigned k, unsigned width) {
        if (fill_ < RICE_ESCAPE + 1) refill();
        const auto ones = static_cast<unsigned>(std::countr_one(bits_));
        if (ones >= RICE_ESCAPE) {
            skip(RICE_ESCAPE);
            return get_wide(width);
        }
        skip(ones + 1);
        return uint64_t{ones} << k | get_wide(k);
    }
    // Whether more bits were read than the input holds (zeros were read
    // instead).
    bool overrun() const { return consumed_ > uint64_t{in_.size()} * 8; }
    // The bytes the bits read so far take, the last one's padding included.
    uint64_t bytes_read() const { return (consumed_ + 7) / 8; }

private:
    void refill();
    void skip(unsigned count) {
        bits_ >>= count;
        fill_ -= count;
        consumed_ += count;
    }

    std::span<const uint8_t> in_;
    size_t position_ = 0;  // bytes taken into bits_
    uint64_t bits_ = 0;
    unsigned fill_ = 0;
    uint64_t consumed_ = 0;
};

}  // namespace zelk
