// The view of a chunk's bytes that the fast models read.
//
// The models look up to 128 bytes back and must see zeros before the chunk's
// start. The first 128 positions are therefore read from a copy of the
// chunk's first bytes behind 128 zeros; from position 128 on, from the
// chunk's bytes themselves (the input when encoding, the output so far when
// decoding).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "model/block_attention.h"

namespace zelk {

class History {
public:
    // `bytes`: where position p of the chunk is, once it is known.
    explicit History(const uint8_t* bytes) : bytes_(bytes) {}

    // The bytes as seen when predicting position i.
    const uint8_t* at(uint64_t i) const { return i < PADDED ? padded_.data() + PADDED : bytes_; }

    // Called with every byte, in order.
    void record(uint64_t i, uint8_t b) {
        if (i < PADDED) padded_[PADDED + i] = b;
    }

private:
    static constexpr std::size_t PADDED = ATTENTION_WINDOW;
    std::array<uint8_t, 2 * PADDED> padded_{};
    const uint8_t* bytes_;
};

}  // namespace zelk
