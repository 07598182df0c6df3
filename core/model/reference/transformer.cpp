// The transformer's prediction: fewer than 32 bytes give the neutral 128;
// otherwise an exact block match or the distance-weighted mean of the blocks'
// followers, rounded to nearest with halves up. Weights are 131072 / (d + 2),
// between 128 and 43690, so the mean's denominator is never zero.
#include "model/reference/transformer.h"

#include <algorithm>
#include <cstdlib>

namespace zelk {

Transformer::Transformer() : history_(RING_SIZE) {}

uint8_t Transformer::predict() const {
    const uint64_t n = count_;
    if (n < 32) return 128;
    uint64_t acc = 0;
    uint64_t total = 0;
    for (uint64_t k = 1; k <= BLOCKS; ++k) {
        const uint64_t c = n - 4 - 4 * k;
        uint32_t d = 0;  // 0..1020
        for (uint64_t i = 0; i < 4; ++i)
            d += static_cast<uint32_t>(std::abs(int{at(c + i)} - int{at(n - 4 + i)}));
        const uint8_t value = at(c + 4);
        if (d == 0) return value;
        const uint32_t weight = 131072u / (d + 2);
        acc += uint64_t{weight} * value;
        total += weight;
    }
    return static_cast<uint8_t>(std::min<uint64_t>((acc + total / 2) / total, 255));
}

void Transformer::update(uint8_t b) {
    history_[count_ % RING_SIZE] = b;
    ++count_;
}

}  // namespace zelk
