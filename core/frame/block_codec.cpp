// Frame blocks as chunks. The chunk decoder trusts the length in a chunk's
// header and never notices damage, so before a stored chunk is decoded its
// header must name exactly the block's size (which the parser has bounded by
// the frame's block size) and its length must be one a conforming encoder
// can reach for that size; the frame's checksum then catches whatever damage
// the decoder cannot.
#include "frame/block_codec.h"

#include <string>

#include "codec/any_chunk.h"
#include "sample/sample_block.h"

namespace zelk {

std::optional<CompressedBlock> ChunkBlockCodec::compress(std::span<const uint8_t> data, EncoderThreads threads,
                                                         const SampleLayout* layout) const {
    const bool typed = layout && data.size() >= layout->frame_bytes();
    const ChunkEffort effort{level_.zstd_level, typed ? ZelkEffort::Never : level_.zelk};
    ChosenChunk chunk = encode_smallest_chunk(data, effort, threads);
    std::optional<CompressedBlock> best;
    if (chunk.bytes.size() < data.size()) {
        const RecordType type = chunk.mode == CodecMode::Plain ? RecordType::Chunk : RecordType::ZstdChunk;
        best = CompressedBlock{type, std::move(chunk.bytes)};
    }
    if (typed) {
        std::vector<uint8_t> sample = encode_sample_block(data, *layout, level_.sample);
        if (sample.size() < (best ? best->stored.size() : data.size())) {
            best = CompressedBlock{RecordType::Sample, std::move(sample)};
        }
    }
    return best;
}

Result<std::vector<uint8_t>> ChunkBlockCodec::decompress(RecordType type, std::span<const uint8_t> stored,
                                                         uint32_t size) const {
    if (type == RecordType::Sample) return decode_sample_block(stored, size);
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
