// Storing and restoring one block. The codec may decline a block either
// because it does not shrink or because of a rare coder state that makes the
// encoder give up part-way through data that would otherwise compress well;
// the two cannot be told apart from outside, so a declined block is probed.
#include "frame/frame_block.h"

#include <algorithm>
#include <optional>
#include <string>

#include "frame/crc32c.h"

namespace zelk {
namespace {

// The codec's form of `data` if it is shorter than `data`.
std::optional<CompressedBlock> shrunk(std::span<const uint8_t> data, const BlockCodec& codec,
                                      ChunkThreads threads, const SampleLayout* layout) {
    auto compressed = codec.compress(data, threads, layout);
    if (compressed && compressed->stored.size() < data.size()) return compressed;
    return std::nullopt;
}

// Whether a fresh encoding of the piece's tail (its last eighth, but at least
// MIN_SPLIT_PIECE bytes) shrinks: a cheap sign that the piece as a whole was
// declined for its coder state rather than for its content.
// Typed data is cut at whole frames of samples.
bool tail_shrinks(std::span<const uint8_t> data, const BlockCodec& codec, ChunkThreads threads,
                  const SampleLayout* layout) {
    const size_t tail = std::max(data.size() / 8, MIN_SPLIT_PIECE);
    const size_t start = data.size() - tail;
    return shrunk(data.subspan(layout ? start - start % layout->frame_bytes() : start), codec, threads, layout)
        .has_value();
}

// A chunk if the codec shrinks the piece. Otherwise, if the piece is long
// enough and its tail shrinks, each half is stored the same way, so that a
// coder state that stops the encoder costs only the raw piece around the
// place where it stopped; else the piece is stored raw. Declined
// incompressible data thus costs one extra eighth of encoding work.
void encode_piece(std::span<const uint8_t> data, const BlockCodec& codec, ChunkThreads threads,
                  const SampleLayout* layout, std::vector<EncodedPiece>& out,
                  std::optional<uint32_t> crc = std::nullopt) {
    const auto size = static_cast<uint32_t>(data.size());
    if (auto compressed = shrunk(data, codec, threads, layout)) {
        const auto stored_size = static_cast<uint32_t>(compressed->stored.size());
        const uint32_t data_crc = crc ? *crc : crc32c(data);
        out.push_back({{compressed->type, size, stored_size, data_crc}, std::move(compressed->stored)});
        return;
    }
    if (data.size() >= 2 * MIN_SPLIT_PIECE && tail_shrinks(data, codec, threads, layout)) {
        const size_t half = layout ? data.size() / 2 - data.size() / 2 % layout->frame_bytes() : data.size() / 2;
        encode_piece(data.first(half), codec, threads, layout, out);
        encode_piece(data.subspan(half), codec, threads, layout, out);
        return;
    }
    out.push_back({{RecordType::Raw, size, size, crc ? *crc : crc32c(data)}, {data.begin(), data.end()}});
}

}  // namespace

std::vector<EncodedPiece> encode_block(std::span<const uint8_t> data, const BlockCodec& codec,
                                       ChunkThreads threads, const SampleLayout* layout, std::optional<uint32_t> crc) {
    std::vector<EncodedPiece> pieces;
    if (!data.empty()) encode_piece(data, codec, threads, layout, pieces, crc);
    return pieces;
}

std::vector<uint8_t> decode_block(StoredBlock block, const BlockCodec& codec) {
    const BlockRecord& record = block.record;
    std::vector<uint8_t> data;
    if (record.type == RecordType::Raw) {
        data = std::move(block.stored);
    } else {
        auto restored = codec.decompress(record.type, block.stored, record.size);
        if (!restored) {
            throw FrameError(block_place(block.index, block.offset) +
                             ": chunk refused: " + restored.error().display());
        }
        data = std::move(restored).value();
    }
    if (data.size() != record.size) {
        throw FrameError(block_place(block.index, block.offset) + ": restored " +
                         std::to_string(data.size()) + " bytes instead of " +
                         std::to_string(record.size));
    }
    if (crc32c(data) != record.crc) {
        throw FrameError(block_place(block.index, block.offset) +
                         ": checksum mismatch, the data is damaged");
    }
    return data;
}

}  // namespace zelk
