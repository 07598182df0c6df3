#include "entropy/rans_coder.h"

namespace zelk {

void RansEncoder::finish(std::vector<uint8_t>& out) const {
    const size_t at = out.size();
    out.resize(at + 4 + 2 * written_);
    store_le(&out[at], state_);
    uint8_t* next = &out[at + 4];
    for (size_t i = written_; i-- > 0; next += 2) store_le(next, words_[i]);
}

}  // namespace zelk
