// The range coder's cold ends: the four flush bytes and the decoder's start.
// Both read and write whole 32-bit values most significant byte first; a
// payload shorter than four bytes reads as padded with zeros.
#include "ans_coder.h"

namespace zelk {

std::vector<uint8_t> AnsEncoder::finish() && {
    for (int shift = 24; shift >= 0; shift -= 8) {
        output_.push_back(static_cast<uint8_t>(low_ >> shift));
    }
    return std::move(output_);
}

AnsDecoder::AnsDecoder(std::span<const uint8_t> payload) : payload_(payload) {
    for (int i = 0; i < 4; ++i) {
        code_ = (code_ << 8) | next_byte();
    }
}

}  // namespace zelk
