// What the chunk encoder and decoder share around the fast ensemble: the
// choice of tables by the chunk's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "model/fast_ensemble.h"
#include "model/history.h"

namespace zelk {

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
