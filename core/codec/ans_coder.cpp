// The range coder's cold ends: the four flush bytes and the decoder's start.
// Both read and write whole 32-bit values most significant byte first; a
// payload shorter than four bytes reads as padded with zeros.
#include "codec/ans_coder.h"

namespace zelk {

std::vector<uint8_t> AnsEncoder::finish() && {
    put(low_, 4);
    output_.resize(length_);
    return std::move(output_);
}

AnsDecoder::AnsDecoder(std::span<const uint8_t> payload) : payload_(payload) {
    shift_in(4);
}

}  // namespace zelk
