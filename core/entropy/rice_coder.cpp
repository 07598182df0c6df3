#include "entropy/rice_coder.h"

#include <algorithm>
#include <bit>

#include "base/bytes.h"

namespace zelk {
unsigned rice_parameter(uint64_t sum, uint64_t count) {
    if (count == 0) return 0;
    const uint64_t mean = sum / count;
    return mean == 0 ? 0 : 64 - static_cast<unsigned>(std::countl_zero(mean));
}

void BitWriter::put_rice_frames(std::span<const uint64_t> numbers, std::span<const unsigned> parameters,
                                unsigned width) {
    // Room for the longest codes (every number escaped) and the eight bytes
    // stored ahead, so that no store below is checked.
    const size_t room = size_ + numbers.size() * ((RICE_ESCAPE + 64 + 7) / 8) + 8;
    if (out_.size() < room) out_.resize(std::max({room, out_.capacity(), 2 * out_.size()}));
    uint8_t* at = out_.data() + size_;
    uint64_t bits = bits_;
    unsigned fill = fill_;
    // Eight bytes are stored every time and the whole ones kept, without a
    // branch, leaving fewer than 8 bits: two codes of up to 28 bits then fit
    // before the next store.
    auto flush = [&] {
        store_le(at, bits);
        at += fill >> 3;
        bits >>= fill & 56;
        fill &= 7;
    };
    auto low = [](uint64_t value, unsigned count) { return count == 0 ? 0 : value & (~uint64_t{0} >> (64 - count)); };
    auto put = [&](uint64_t value, unsigned count) {  // count at most 64
        if (count > 32) {
            bits |= (value & UINT32_MAX) << fill;
            fill += 32;
            flush();
            count -= 32;
            value >>= 32;
        }
        bits |= low(value, count) << fill;
        fill += count;
        flush();
    };
    // The code of `value` with parameter k, if it is one of at most 28
    // bits, and its length; else 0.
    auto short_code = [](uint64_t value, unsigned k, uint64_t& code) -> unsigned {
        const uint64_t quotient = k >= 28 ? RICE_ESCAPE : value >> k;
        if (quotient >= RICE_ESCAPE || quotient + 1 + k > 28) return 0;
        const auto ones = static_cast<unsigned>(quotient);
        code = ((uint64_t{1} << ones) - 1) | (value & ((uint64_t{1} << k) - 1)) << (ones + 1);
        return ones + 1 + k;
    };
    auto put_long = [&](uint64_t value, unsigned k) {
        const uint64_t quotient = k >= 64 ? RICE_ESCAPE : value >> k;
        if (quotient >= RICE_ESCAPE) {
            put((uint64_t{1} << RICE_ESCAPE) - 1, RICE_ESCAPE);
            put(value, width);
            return;
        }
        put((uint64_t{1} << quotient) - 1, static_cast<unsigned>(quotient) + 1);
        put(value, k);
    };
    flush();  // what put() left, fewer than 32 bits
    const size_t channels = parameters.size();
    size_t c = 0;
    auto next_parameter = [&] {
        const unsigned k = parameters[c];
        c = c + 1 == channels ? 0 : c + 1;
        return k;
    };
    for (size_t i = 0; i < numbers.size();) {
        uint64_t code = 0;
        unsigned k = next_parameter();
        unsigned length = short_code(numbers[i], k, code);
        if (length == 0) {
            put_long(numbers[i++], k);
            continue;
        }
        bits |= code << fill;
        fill += length;
        ++i;
        if (i < numbers.size() && (length = short_code(numbers[i], parameters[c], code)) != 0) {
            next_parameter();
            bits |= code << fill;
            fill += length;
            ++i;
        }
        flush();
    }
    size_ = static_cast<size_t>(at - out_.data());
    bits_ = bits;
    fill_ = fill;
}

void BitWriter::finish() {
    write_bytes((fill_ + 7) / 8);
    out_.resize(size_);
    bits_ = 0;
    fill_ = 0;
}

void BitReader::refill() {
    if (position_ + 8 <= in_.size()) {
        // Eight bytes at once; the bits of those not taken sit above fill_
        // exactly where the next refill puts them again.
        uint64_t word = 0;
        for (unsigned i = 0; i < 8; ++i) word |= uint64_t{in_[position_ + i]} << (8 * i);
        bits_ |= word << fill_;
        const unsigned taken = (63 - fill_) / 8;
        position_ += taken;
        fill_ += 8 * taken;
        return;
    }
    while (fill_ <= 56) {
        const uint64_t byte = position_ < in_.size() ? in_[position_] : 0;
        ++position_;
        bits_ |= byte << fill_;
        fill_ += 8;
    }
}

}  // namespace zelk
