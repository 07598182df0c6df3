// Frame blocks as chunks. The chunk decoder trusts the length in a chunk's
// header and never notices damage, so before a stored chunk is decoded its
// header must name exactly the block's size (which the parser has bounded by
// the frame's block size) and its length must be one a conforming encoder
// can reach for that size; the frame's checksum then catches whatever damage
// the decoder cannot.
#include "frame/block_codec.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "codec/chunk_format.h"
#include "codec/zstd_chunk.h"

namespace zelk {
namespace {

std::optional<std::vector<uint8_t>> zelk_chunk(std::span<const uint8_t> data, EncoderThreads threads) {
    NullDebugSink silent;
    auto chunk = compress_chunk(data, 0, std::nullopt, silent, threads);
    if (chunk) return std::move(chunk).value();
    if (chunk.error().kind() == ErrorKind::CompressionError) return std::nullopt;
    throw std::logic_error("the chunk encoder refused a frame block: " + chunk.error().display());
}

std::vector<uint8_t> zstd_chunk(std::span<const uint8_t> data, int level) {
    auto chunk = encode_zstd_chunk(data, level);
    if (!chunk) throw std::logic_error("Zstandard refused a frame block: " + chunk.error().display());
    return std::move(chunk).value();
}

// Whether the zelk encoder beats Zstandard on samples spread over the block
// (taken at the middles of equal parts), their sizes added up; a sample
// the zelk encoder declines counts as stored raw.
bool zelk_wins_samples(std::span<const uint8_t> data, int zstd_level) {
    constexpr size_t count = ChunkBlockCodec::PROBE_SAMPLES, length = ChunkBlockCodec::PROBE_BYTES;
    size_t zelk_total = 0, zstd_total = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t middle = data.size() * (2 * i + 1) / (2 * count);
        const auto sample = data.subspan(middle - length / 2, length);
        const auto zelk = zelk_chunk(sample, EncoderThreads::One);
        zelk_total += zelk ? zelk->size() : length;
        zstd_total += std::min(zstd_chunk(sample, zstd_level).size(), length);
    }
    return zelk_total < zstd_total;
}

CodecError block_error(const std::string& message) { return {ErrorKind::InvalidData, message}; }

// A chunk's length field must be its block's size, which the parser bounded.
std::optional<CodecError> length_mismatch(uint32_t length, uint32_t size) {
    if (length == size) return std::nullopt;
    return block_error("chunk length " + std::to_string(length) + " differs from the block's size " +
                       std::to_string(size));
}

Result<std::vector<uint8_t>> decode_zelk_block(std::span<const uint8_t> stored, uint32_t size) {
    auto header = read_header(stored);
    if (!header) return header.error();
    if (header.value().mode != CodecMode::Plain) return block_error("frame blocks are stored as Plain chunks only");
    if (auto mismatch = length_mismatch(header.value().length, size)) return *mismatch;
    if (stored.size() < min_plain_chunk_size(size)) {
        return block_error(std::to_string(stored.size()) + " bytes cannot hold a chunk of " + std::to_string(size) +
                           " bytes (no encoder writes fewer than " + std::to_string(min_plain_chunk_size(size)) +
                           ")");
    }
    // A Plain chunk decoded without caller weights: its model takes no weight bytes.
    return decode_payload(header.value().payload, size, {});
}

Result<std::vector<uint8_t>> decode_zstd_block(std::span<const uint8_t> stored, uint32_t size) {
    const Result<uint32_t> length = zstd_chunk_length(stored);
    if (!length) return length.error();
    if (auto mismatch = length_mismatch(length.value(), size)) return *mismatch;
    return decode_zstd_chunk(stored, size);
}

}  // namespace

std::optional<CompressedBlock> ChunkBlockCodec::compress(std::span<const uint8_t> data, EncoderThreads threads) const {
    std::optional<CompressedBlock> best;
    std::vector<uint8_t> zstd = zstd_chunk(data, level_.zstd_level);
    if (zstd.size() < data.size()) best = CompressedBlock{RecordType::ZstdChunk, std::move(zstd)};
    const size_t to_beat = best ? best->stored.size() : data.size();
    if (level_.zelk == ZelkEffort::Never || to_beat <= min_plain_chunk_size(data.size())) return best;
    if (level_.zelk == ZelkEffort::Probe && data.size() >= 2 * PROBE_SAMPLES * PROBE_BYTES &&
        !zelk_wins_samples(data, level_.zstd_level)) {
        return best;
    }
    auto zelk = zelk_chunk(data, threads);
    if (zelk && zelk->size() < to_beat) best = CompressedBlock{RecordType::Chunk, std::move(*zelk)};
    return best;
}

Result<std::vector<uint8_t>> ChunkBlockCodec::decompress(RecordType type, std::span<const uint8_t> stored,
                                                         uint32_t size) const {
    if (type == RecordType::ZstdChunk) return decode_zstd_block(stored, size);
    return decode_zelk_block(stored, size);
}

}  // namespace zelk
