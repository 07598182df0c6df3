// One block of a frame, on its own: turning input bytes into the stored
// pieces the writer records, and a stored piece back into verified bytes.
// These run on the worker threads.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "frame_format.h"

namespace zelk {

// A refused piece is bisected only if both halves would be at least this long.
inline constexpr size_t MIN_SPLIT_PIECE = size_t{64} << 10;

struct EncodedPiece {
    BlockRecord record;
    std::vector<uint8_t> stored;
};

// The pieces, in order, that store `data` (at most MAX_BLOCK_SIZE bytes):
// one chunk when the codec accepts the whole; otherwise the block is stored
// raw, or, when its tail shows that it does compress, bisected and each half
// stored the same way. Never refused; no piece is stored larger than its
// raw bytes.
// `threads` is handed to the codec.
std::vector<EncodedPiece> encode_block(std::span<const uint8_t> data, const BlockCodec& codec,
                                       EncoderThreads threads = EncoderThreads::One);

// A block read from a frame, with where it was found for error messages.
struct StoredBlock {
    uint64_t index = 0;   // position of its record in the frame
    uint64_t offset = 0;  // byte offset of its record in the compressed input
    BlockRecord record;
    std::vector<uint8_t> stored;
};

// The block's uncompressed bytes, checked against its record's length and
// checksum; throws FrameError naming the block and offset otherwise.
std::vector<uint8_t> decode_block(StoredBlock block, const BlockCodec& codec);

// "block N at offset X", the place named in error messages.
std::string block_place(uint64_t index, uint64_t offset);

}  // namespace zelk
