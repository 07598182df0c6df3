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
    // Room for the longest codes (every number escaped) and the four bytes
    // stored ahead, so that no store below is checked.
    const size_t room = size_ + numbers.size() * ((RICE_ESCAPE + 64 + 7) / 8) + 4;
    if (out_.size() < room) out_.resize(std::max({room, out_.capacity(), 2 * out_.size()}));
    uint8_t* at = out_.data() + size_;
    uint64_t bits = bits_;
    unsigned fill = fill_;
    // Four bytes are stored every time and kept when full, without a
    // branch: when that happens is a coin toss.
    auto put_short = [&](uint64_t value, unsigned count) {  // count at most 32, value below 2^count
        bits |= value << fill;
        fill += count;
        store_le(at, static_cast<uint32_t>(bits));
        const unsigned full = fill >> 5;  // fill is below 64
        at += 4 * full;
        bits >>= 32 * full;
        fill -= 32 * full;
    };
    auto low = [](uint64_t value, unsigned count) { return count == 0 ? 0 : value & (~uint64_t{0} >> (64 - count)); };
    auto put_long = [&](uint64_t value, unsigned count) {  // count at most 64
        if (count > 32) {
            put_short(value & UINT32_MAX, 32);
            count -= 32;
            value >>= 32;
        }
        put_short(low(value, count), count);
    };
    const size_t channels = parameters.size();
    for (size_t i = 0; i < numbers.size(); i += channels) {
        for (size_t c = 0; c < channels; ++c) {
            const uint64_t value = numbers[i + c];
            const unsigned k = parameters[c];
            const uint64_t quotient = k >= 64 ? RICE_ESCAPE : value >> k;
            if (quotient >= RICE_ESCAPE) {
                put_short((uint64_t{1} << RICE_ESCAPE) - 1, RICE_ESCAPE);
                put_long(value, width);
                continue;
            }
            const auto ones = static_cast<unsigned>(quotient);
            if (ones + 1 + k <= 32) {
                put_short(((uint64_t{1} << ones) - 1) | low(value, k) << (ones + 1), ones + 1 + k);
            } else {
                put_short((uint64_t{1} << ones) - 1, ones + 1);
                put_long(value, k);
            }
        }
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
