// Reads a stream of one or more frames (as concatenating compressed files
// makes) and writes out the data, decoding blocks on a pool of threads.
// Every block is checked against its length and checksum before any of it
// is written, so the output is always a correct prefix of the original data:
// all of it on success, the part before the first damaged block otherwise.
#pragma once

#include <cstdint>

#include "frame/block_codec.h"
#include "frame/frame_io.h"

namespace zelk {

struct FrameReadStats {
    uint64_t frames = 0;
    uint64_t blocks = 0;
    uint64_t input_bytes = 0;   // compressed bytes consumed
    uint64_t output_bytes = 0;  // data bytes restored
    bool trailing_data = false; // something other than a frame followed the last frame
};

// `output` may be null to check the input without writing anything.
// `threads`: of the pool that decodes blocks; 0: the calling thread does.
// Throws FrameError for damaged or truncated input, and for a frame whose
// blocks need more memory than `memory_limit` (memory_limit.h).
FrameReadStats read_frames(ByteSource& input, ByteSink* output, const BlockCodec& codec,
                           unsigned threads, const FrameProgress& progress = {},
                           uint64_t memory_limit = UINT64_MAX);

}  // namespace zelk
