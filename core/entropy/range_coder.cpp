#include "entropy/range_coder.h"

namespace zelk {

void RangeEncoder::shift_low() {
    if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
        const auto carry = static_cast<uint8_t>(low_ >> 32);
        out_.push_back(static_cast<uint8_t>(cache_ + carry));
        for (; pending_ > 1; --pending_) out_.push_back(static_cast<uint8_t>(0xFF + carry));
        pending_ = 0;
        cache_ = static_cast<uint8_t>(low_ >> 24);
    }
    ++pending_;
    low_ = (low_ & 0x00FFFFFF) << 8;
}

void RangeEncoder::finish() {
    for (int i = 0; i < 5; ++i) shift_low();
}

RangeDecoder::RangeDecoder(std::span<const uint8_t> in) : in_(in) {
    for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | next_byte();
}

}  // namespace zelk
