// One block of a frame, on its own: turning input bytes into the stored
// pieces the writer records, and a stored piece back into verified bytes.
// These run on the worker threads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame/block_codec.h"
#include "frame/frame_format.h"
#include "frame/frame_parser.h"

namespace zelk {

// A refused piece is bisected only if both halves would be at least this long.
inline constexpr size_t MIN_SPLIT_PIECE = size_t{64} << 10;

struct EncodedPiece {
    BlockRecord record;
    std::vector<uint8_t> stored;
};

// The pieces, in order, that store `data` (at most MAX_LARGE_BLOCK_SIZE bytes):
// one chunk when the codec accepts the whole; otherwise the block is stored
// raw, or, when its tail shows that it does compress, bisected and each half
// stored the same way. Never refused; no piece is stored larger than its
// raw bytes.
// `threads` and `layout` (null for untyped data) are handed to the codec;
// typed data is bisected at whole frames of samples. `crc`, the CRC-32C of
// `data` where the caller has it already, spares computing it again.
std::vector<EncodedPiece> encode_block(std::span<const uint8_t> data, const BlockCodec& codec,
                                       ChunkThreads threads = {}, const SampleLayout* layout = nullptr,
                                       std::optional<uint32_t> crc = std::nullopt);

// The block's uncompressed bytes, checked against its record's length and
// checksum; throws FrameError naming the block and offset otherwise.
std::vector<uint8_t> decode_block(StoredBlock block, const BlockCodec& codec);

}  // namespace zelk
