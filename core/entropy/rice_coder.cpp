#include "entropy/rice_coder.h"

#include <bit>

namespace zelk {
unsigned rice_parameter(uint64_t sum, uint64_t count) {
    if (count == 0) return 0;
    const uint64_t mean = sum / count;
    return mean == 0 ? 0 : 64 - static_cast<unsigned>(std::countl_zero(mean));
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
