// Frame blocks as chunks. The chunk decoder trusts the length in a chunk's
// header and never notices damage, so before a stored chunk is decoded its
// header must name exactly the block's size (which the parser has bounded by
// the frame's block size) and its length must be one a conforming encoder
// can reach for that size; the frame's checksum then catches whatever damage
// the decoder cannot.
#include "frame/block_codec.h"

#include <string>

#include "codec/any_chunk.h"

namespace zelk {

std::optional<CompressedBlock> ChunkBlockCodec::compress(std::span<const uint8_t> data, EncoderThreads threads) const {
    ChosenChunk chunk = encode_smallest_chunk(data, level_, threads);
    if (chunk.bytes.size() >= data.size()) return std::nullopt;
    const RecordType type = chunk.mode == CodecMode::Plain ? RecordType::Chunk : RecordType::ZstdChunk;
    return CompressedBlock{type, std::move(chunk.bytes)};
}

Result<std::vector<uint8_t>> ChunkBlockCodec::decompress(RecordType type, std::span<const uint8_t> stored,
                                                         uint32_t size) const {
    const Result<ChunkInfo> info = read_chunk_info(stored);
    if (!info) return info.error();
    const CodecMode expected = type == RecordType::ZstdChunk ? CodecMode::ZstdFallback : CodecMode::Plain;
    if (info.value().mode != expected) {
        return CodecError(ErrorKind::InvalidData, std::string("a ") + record_type_name(type) +
                                                      " block holds a chunk of another mode");
    }
    if (info.value().length != size) {
        return CodecError(ErrorKind::InvalidData, "chunk length " + std::to_string(info.value().length) +
                                                      " differs from the block's size " + std::to_string(size));
    }
    return decode_any_chunk(stored, std::nullopt, size);
}

}  // namespace zelk
