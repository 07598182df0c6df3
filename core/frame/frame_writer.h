// Writes a frame: the input is cut into blocks of the chosen size, the blocks
// are stored on a pool of threads, and their records are written in input
// order, so the frame's bytes depend on the input, the codec (its level) and
// the block size, and on the number of threads only in whether it is one
// (frame_encoder.h).
#pragma once

#include <cstdint>
#include <optional>

#include "frame/block_codec.h"
#include "frame/frame_io.h"
#include "frame/levels.h"
#include "sample/sample_layout.h"

namespace zelk {

struct FrameOptions {
    uint32_t block_size = level_settings(DEFAULT_LEVEL).block_size;  // 1 to MAX_LARGE_BLOCK_SIZE
    unsigned threads = 1;  // of the pool that stores blocks; 0: the calling thread stores them
    uint64_t memory_limit = UINT64_MAX;  // bounds the blocks in flight (memory_limit.h)
    bool typed = false;  // sample blocks may follow: frames of version 3
};

struct FrameWriteStats {
    uint64_t input_bytes = 0;
    uint64_t output_bytes = 0;
    uint64_t blocks = 0;         // block records written
    uint64_t chunk_blocks = 0;   // of which stored as zelk chunks
    uint64_t zstd_blocks = 0;    // and as Zstandard fallback chunks
    uint64_t sample_blocks = 0;  // and as sample blocks
};

// What the input is: bytes of no known type; samples of a given layout
// from start to end; or a file whose format may say (typed_files.h), its
// samples then coded as such and the rest as bytes.
struct InputType {
    std::optional<SampleLayout> layout;
    bool detect = false;
};

// Throws std::invalid_argument for a block size out of range or too large
// for the memory limit; what the source, the sink or the codec throw
// passes through.
FrameWriteStats write_frame(ByteSource& input, ByteSink& output, const BlockCodec& codec,
                            const FrameOptions& options, const FrameProgress& progress = {},
                            const InputType& type = {});

}  // namespace zelk
