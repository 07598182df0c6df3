#include "codec/any_chunk.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "codec/zstd_chunk.h"

namespace zelk {
namespace {

CodecError refused(const std::string& message) { return {ErrorKind::InvalidData, message}; }

std::optional<std::vector<uint8_t>> zelk_chunk(ByteView data, EncoderThreads threads) {
    NullDebugSink silent;
    auto chunk = compress_chunk(data, 0, std::nullopt, silent, threads);
    if (chunk) return std::move(chunk).value();
    if (chunk.error().kind() == ErrorKind::CompressionError) return std::nullopt;
    throw std::logic_error("the chunk encoder refused data: " + chunk.error().display());
}

std::vector<uint8_t> zstd_chunk(ByteView data, ZstdSettings settings) {
    auto chunk = encode_zstd_chunk(data, settings);
    if (chunk) return std::move(chunk).value();
    throw std::logic_error("Zstandard refused data: " + chunk.error().display());
}

// Whether the zelk encoder beats Zstandard on samples spread over the data
// (taken at the middles of equal parts), their sizes added up; a sample the
// zelk encoder declines counts as stored raw.
bool zelk_wins_samples(ByteView data, int zstd_level) {
    size_t zelk_total = 0, zstd_total = 0;
    for (size_t i = 0; i < PROBE_SAMPLES; ++i) {
        const size_t middle = data.size() * (2 * i + 1) / (2 * PROBE_SAMPLES);
        const auto sample = data.subspan(middle - PROBE_BYTES / 2, PROBE_BYTES);
        const auto zelk = zelk_chunk(sample, EncoderThreads::One);
        zelk_total += zelk ? zelk->size() : PROBE_BYTES;
        zstd_total += std::min(zstd_chunk(sample, zstd_level).size(), PROBE_BYTES);
    }
    return zelk_total < zstd_total;
}

bool zelk_worth_trying(ByteView data, ChunkEffort effort, size_t to_beat) {
    if (effort.zelk == ZelkEffort::Never || to_beat <= min_plain_chunk_size(data.size())) return false;
    if (effort.zelk == ZelkEffort::Probe && data.size() >= 2 * PROBE_SAMPLES * PROBE_BYTES) {
        return zelk_wins_samples(data, effort.zstd_level);
    }
    return true;
}

Result<std::vector<uint8_t>> decode_zelk(ByteView chunk, std::optional<ByteView> weights, uint64_t max_length) {
    const Result<ChunkView> header = read_header(chunk);
    if (!header) return header.error();
    const ChunkView& view = header.value();
    if (view.length > max_length) {
        return refused("the chunk states " + std::to_string(view.length) + " bytes, more than max_length (" +
                       std::to_string(max_length) + ")");
    }
    const uint64_t floor = min_plain_chunk_size(view.length) - PLAIN_HEADER_LEN;
    if (view.payload.size() < floor) {
        return refused("a chunk whose payload has " + std::to_string(view.payload.size()) + " bytes cannot hold " +
                       std::to_string(view.length) + " bytes of data (no encoder writes fewer than " +
                       std::to_string(floor) + ")");
    }
    return decode_chunk(chunk, 0, weights);
}

}  // namespace

ChosenChunk encode_smallest_chunk(ByteView data, ChunkEffort effort, ChunkThreads threads) {
    if (data.size() > UINT32_MAX) throw std::invalid_argument("a chunk holds less than 4 GiB");
    const ZstdSettings zstd(effort.zstd_level, effort.zstd_window_log, threads.zstd_workers);
    ChosenChunk best{CodecMode::ZstdFallback, zstd_chunk(data, zstd)};
    if (zelk_worth_trying(data, effort, best.bytes.size())) {
        auto zelk = zelk_chunk(data, threads.zelk);
        if (zelk && zelk->size() < best.bytes.size()) best = {CodecMode::Plain, std::move(*zelk)};
    }
    return best;
}

Result<ChunkInfo> read_chunk_info(ByteView chunk) {
    if (chunk.size() < PLAIN_HEADER_LEN) return chunk_too_short();
    if (chunk[0] == ZSTD_CHUNK_HEADER_BYTE) return ChunkInfo{CodecMode::ZstdFallback, load_le<uint32_t>(&chunk[1])};
    const Result<ChunkView> header = read_header(chunk);
    if (!header) return header.error();
    return ChunkInfo{header.value().mode, header.value().length};
}

Result<std::vector<uint8_t>> decode_any_chunk(ByteView chunk, std::optional<ByteView> weights, uint64_t max_length) {
    if (!chunk.empty() && chunk[0] == ZSTD_CHUNK_HEADER_BYTE) return decode_zstd_chunk(chunk, max_length);
    return decode_zelk(chunk, weights, max_length);
}

}  // namespace zelk
