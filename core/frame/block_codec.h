// How the frame stores one block compressed: an interface, so that the
// frame's logic (raw fallback, splitting, checks, parallel order) can be
// exercised with simple stand-ins, and its one real implementation, which
// stores each compressed block as one zelk chunk.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/codec.h"
#include "codec/codec_error.h"

namespace zelk {

class BlockCodec {
public:
    virtual ~BlockCodec() = default;

    // The compressed form of `data`, strictly shorter than it, or nothing if
    // the codec declines (the block is then stored otherwise). Must be safe
    // to call from several threads at once. `threads`: whether it may use a
    // second thread of its own, which the writer allows for a block that has
    // the machine to itself.
    virtual std::optional<std::vector<uint8_t>> compress(std::span<const uint8_t> data,
                                                         EncoderThreads threads) const = 0;

    // Restores a block of `size` bytes from its compressed form, or says why
    // it cannot. Must never produce more than `size` bytes' worth of work or
    // memory, whatever `stored` holds.
    virtual Result<std::vector<uint8_t>> decompress(std::span<const uint8_t> stored,
                                                    uint32_t size) const = 0;
};

// Blocks as zelk chunks: mode Plain, predictor 0, no weights, the encoder's
// debug line sent nowhere.
class ChunkBlockCodec final : public BlockCodec {
public:
    std::optional<std::vector<uint8_t>> compress(std::span<const uint8_t> data,
                                                 EncoderThreads threads) const override;
    Result<std::vector<uint8_t>> decompress(std::span<const uint8_t> stored,
                                            uint32_t size) const override;
};

}  // namespace zelk
