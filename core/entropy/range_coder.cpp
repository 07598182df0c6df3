#include "entropy/range_coder.h"

namespace zelk {
namespace {
constexpr uint32_t TOP = uint32_t{1} << 24;
}

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

void RangeEncoder::encode(uint32_t cum, uint32_t freq, uint32_t total) {
    const uint32_t step = range_ / total;
    low_ += uint64_t{step} * cum;
    range_ = step * freq;
    while (range_ < TOP) {
        range_ <<= 8;
        shift_low();
    }
}

void RangeEncoder::encode_bits(uint64_t value, unsigned count) {
    while (count > 0) {
        const unsigned piece = count < 16 ? count : 16;
        count -= piece;
        encode(static_cast<uint32_t>(value >> count) & ((uint32_t{1} << piece) - 1), 1, uint32_t{1} << piece);
    }
}

void RangeEncoder::finish() {
    for (int i = 0; i < 5; ++i) shift_low();
}

RangeDecoder::RangeDecoder(std::span<const uint8_t> in) : in_(in) {
    for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | next_byte();
}

void RangeDecoder::normalize() {
    while (range_ < TOP) {
        range_ <<= 8;
        code_ = (code_ << 8) | next_byte();
    }
}

uint32_t RangeDecoder::target(uint32_t total) {
    step_ = range_ / total;
    const uint32_t value = code_ / step_;
    return value < total ? value : total;
}

void RangeDecoder::consume(uint32_t cum, uint32_t freq) {
    code_ -= step_ * cum;
    range_ = step_ * freq;
    normalize();
}

uint64_t RangeDecoder::decode_bits(unsigned count) {
    uint64_t value = 0;
    while (count > 0) {
        const unsigned piece = count < 16 ? count : 16;
        count -= piece;
        const uint32_t total = uint32_t{1} << piece;
        const uint32_t bits = target(total) & (total - 1);
        consume(bits, 1);
        value = (value << piece) | bits;
    }
    return value;
}

}  // namespace zelk
