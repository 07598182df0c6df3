// What a stream of frames holds, read from its records alone (no block is
// decoded, so checksums are not verified): the blocks of each kind, the
// content's size, and the type of the samples its sample blocks hold.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "frame/frame_io.h"
#include "frame/frame_parser.h"
#include "sample/sample_layout.h"

namespace zelk {

struct FrameSummary {
    uint64_t frames = 0;
    uint64_t content_size = 0;
    uint64_t compressed_size = 0;
    uint64_t raw_blocks = 0, chunk_blocks = 0, zstd_blocks = 0, sample_blocks = 0;
    std::optional<SampleLayout> layout;  // of the first sample block
    bool trailing_data = false;          // zero padding after the last frame
};

// Told of every block as it is read: the frame's index and header, the block.
using BlockVisitor = std::function<void(uint64_t frame, const FrameHeader& header, const StoredBlock& block)>;

// Throws FrameError for a damaged stream.
FrameSummary summarize_frames(ByteSource& input, const BlockVisitor& visit = {});

}  // namespace zelk
