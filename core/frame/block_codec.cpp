// Frame blocks as zelk chunks. The chunk decoder trusts the length in a
// chunk's header and never notices damage, so before a stored chunk is
// decoded its header must name exactly the block's size (which the parser
// has bounded by the frame's block size); the frame's checksum then catches
// whatever damage the decoder cannot.
#include "frame/block_codec.h"

#include <stdexcept>
#include <string>

#include "codec/codec.h"

namespace zelk {

std::optional<std::vector<uint8_t>> ChunkBlockCodec::compress(std::span<const uint8_t> data,
                                                              EncoderThreads threads) const {
    NullDebugSink silent;
    auto chunk = compress_chunk(data, 0, std::nullopt, silent, threads);
    if (chunk) return std::move(chunk).value();
    if (chunk.error().kind() == ErrorKind::CompressionError) return std::nullopt;
    throw std::logic_error("the chunk encoder refused a frame block: " + chunk.error().display());
}

Result<std::vector<uint8_t>> ChunkBlockCodec::decompress(std::span<const uint8_t> stored,
                                                         uint32_t size) const {
    auto header = read_header(stored);
    if (!header) return header.error();
    if (header.value().mode != CodecMode::Plain) {
        return CodecError(ErrorKind::InvalidData, "frame blocks are stored as Plain chunks only");
    }
    if (header.value().length != size) {
        return CodecError(ErrorKind::InvalidData,
                          "chunk length " + std::to_string(header.value().length) +
                              " differs from the block's size " + std::to_string(size));
    }
    // A Plain chunk decoded without caller weights: its model takes no weight bytes.
    return decode_payload(header.value().payload, size, {});
}

}  // namespace zelk
