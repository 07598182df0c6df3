#include "entropy/rice_coder.h"

#include <bit>

namespace zelk {
unsigned rice_parameter(uint64_t sum, uint64_t count) {
    if (count == 0) return 0;
    const uint64_t mean = sum / count;
    return mean == 0 ? 0 : 64 - static_cast<unsigned>(std::countl_zero(mean));
}

void BitWriter::finish() {
    if (fill_ > 0) out_.push_back(static_cast<uint8_t>(bits_));
    bits_ = 0;
    fill_ = 0;
}

void BitReader::refill() {
    while (fill_ <= 56) {
        const uint64_t byte = position_ < in_.size() ? in_[position_] : 0;
        ++position_;
        bits_ |= byte << fill_;
        fill_ += 8;
    }
}

}  // namespace zelk
