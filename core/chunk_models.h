// What the chunk encoder and decoder share around the fast ensemble: the
// view of the chunk's bytes that the models read, and the choice of tables
// by the chunk's length.
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
#include <optional>

#include "block_attention.h"
#include "fast_ensemble.h"

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

// Calls run(model) with a fresh FastEnsemble whose tables suit a chunk of
// `length` bytes, and returns what run returns.
template <typename Run>
auto with_chunk_models(std::size_t length, std::optional<WeightSet> initial, std::optional<WeightSet> anchor,
                       Run&& run) {
    if (length <= SMALL_CHUNK) {
        FastEnsemble<ByteModels<SmallTables>> model(initial, anchor, length);
        return run(model);
    }
    FastEnsemble<ByteModels<DirectTables>> model(initial, anchor, length);
    return run(model);
}

}  // namespace zelk
