// How the frame stores one block compressed: an interface, so that the
// frame's logic (raw fallback, splitting, checks, parallel order) can be
// exercised with simple stand-ins, and its one real implementation, which
// stores each compressed block as a zelk chunk or a Zstandard fallback chunk,
// whichever is smaller at the level chosen.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/any_chunk.h"
#include "codec/codec.h"
#include "codec/codec_error.h"
#include "frame/frame_format.h"
#include "frame/levels.h"
#include "sample/sample_layout.h"

namespace zelk {

struct CompressedBlock {
    RecordType type;  // the kind of the stored bytes: Chunk or ZstdChunk
    std::vector<uint8_t> stored;
};

class BlockCodec {
public:
    virtual ~BlockCodec() = default;

    // The compressed form of `data`, strictly shorter than it, or nothing if
    // the codec declines (the block is then stored otherwise). Must be safe
    // to call from several threads at once. `threads`: the threads of its
    // own it may use, which the writer allows a block that has the machine
    // to itself. `layout`: the type of the samples `data` holds, null for
    // bytes of no known type.
    virtual std::optional<CompressedBlock> compress(std::span<const uint8_t> data, ChunkThreads threads,
                                                    const SampleLayout* layout = nullptr) const = 0;

    // Restores a block of `size` bytes from the stored bytes of a record of
    // `type`, or says why it cannot. Must never produce more than `size`
    // bytes' worth of work or memory, whatever `stored` holds.
    virtual Result<std::vector<uint8_t>> decompress(RecordType type, std::span<const uint8_t> stored,
                                                    uint32_t size) const = 0;

    // Whether compress() may store a block of no known type as samples,
    // which frames of version 3 alone may hold.
    virtual bool probes_samples() const { return false; }
};

// Blocks as the smallest chunk at the level chosen (any_chunk.h): a zelk
// chunk of mode Plain or a Zstandard fallback chunk; typed blocks as the
// smaller of a sample block at the level's effort and the Zstandard chunk,
// the sample block not tried beyond the fastest effort where Zstandard codes
// the block's middle window in a third of the bytes.
// At the levels that try every cascade, a block of no known type of 256 KiB
// or more is probed as 8-bit, 16-bit (one and two channels) and float32
// samples on a window, and coded as the type that codes the window smallest
// if that beats Zstandard there by a tenth. The block is declined when nothing is shorter than the block.
class ChunkBlockCodec final : public BlockCodec {
public:
    explicit ChunkBlockCodec(LevelSettings level = level_settings(DEFAULT_LEVEL)) : level_(level) {}

    std::optional<CompressedBlock> compress(std::span<const uint8_t> data, ChunkThreads threads,
                                            const SampleLayout* layout = nullptr) const override;
    Result<std::vector<uint8_t>> decompress(RecordType type, std::span<const uint8_t> stored,
                                            uint32_t size) const override;
    bool probes_samples() const override { return level_.sample == SampleEffort::Full; }

private:
    LevelSettings level_;
};

}  // namespace zelk
