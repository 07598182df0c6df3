// Header writing and reading, and the mapping from weight bytes to the
// model's weight sets. Integers are little-endian; the length field holds the
// input length modulo 2^32 (larger inputs are refused before a header is
// written).
#include "codec/chunk_format.h"

#include <algorithm>

namespace zelk {
namespace {

constexpr std::size_t WORDS_PER_SET = 6;
constexpr std::size_t ANCHOR_BYTES_BEGIN = NEURAL_BLOCK_LEN;
constexpr std::size_t ANCHOR_BYTES_END = ModelWeightBytes::CAPACITY;

WeightSet read_set(ByteView bytes, std::size_t first_word) {
    WeightSet set{};
    for (std::size_t i = 0; i < WORDS_PER_SET; ++i) {
        set[i] = static_cast<int32_t>(load_le<uint32_t>(bytes.data() + 4 * (first_word + i)));
    }
    return set;
}

}  // namespace

void ModelWeightBytes::append(ByteView bytes) {
    const std::size_t n = std::min(bytes.size(), CAPACITY - size_);
    std::copy_n(bytes.begin(), n, bytes_.begin() + static_cast<std::ptrdiff_t>(size_));
    size_ += n;
}

WeightSets weight_sets_from_bytes(ByteView bytes) {
    const std::size_t words = bytes.size() / 4;
    WeightSets sets;
    if (words >= WORDS_PER_SET) sets.initial = read_set(bytes, 0);
    if (words >= 2 * WORDS_PER_SET) sets.anchor = read_set(bytes, WORDS_PER_SET);
    return sets;
}

ModelWeightBytes model_weight_bytes(Side side, CodecMode mode, ByteView neural_block,
                                    std::optional<ByteView> caller_weights) {
    ModelWeightBytes bytes;
    if (mode == CodecMode::Neural) {
        bytes.append(neural_block);
        if (caller_weights && caller_weights->size() >= ANCHOR_BYTES_END) {
            bytes.append(caller_weights->subspan(ANCHOR_BYTES_BEGIN,
                                                 ANCHOR_BYTES_END - ANCHOR_BYTES_BEGIN));
        }
    } else if (side == Side::Decoder && caller_weights) {
        bytes.append(*caller_weights);
    }
    return bytes;
}

CodecMode mode_for_weights(std::optional<ByteView> weights) {
    return weights && !weights->empty() ? CodecMode::Neural : CodecMode::Plain;
}

Result<WrittenHeader> write_header(std::span<uint8_t> out, uint64_t input_length,
                                   std::optional<ByteView> weights) {
    const CodecMode mode = mode_for_weights(weights);
    const std::size_t length = mode == CodecMode::Neural ? NEURAL_HEADER_LEN : PLAIN_HEADER_LEN;
    if (out.size() < length) return buffer_too_small_for_header();

    out[0] = static_cast<uint8_t>(FORMAT_VERSION << 4 | static_cast<unsigned>(mode));
    store_le(&out[1], static_cast<uint32_t>(input_length));
    if (mode == CodecMode::Neural) {
        const std::size_t given = std::min(weights->size(), NEURAL_BLOCK_LEN);
        const auto block = out.subspan(PLAIN_HEADER_LEN, NEURAL_BLOCK_LEN);
        std::copy_n(weights->begin(), given, block.begin());
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(given), block.end(), uint8_t{0});
    }
    return WrittenHeader{mode, length};
}

Result<ChunkView> read_header(ByteView chunk) {
    if (chunk.size() < PLAIN_HEADER_LEN) return chunk_too_short();
    const unsigned version = chunk[0] >> 4;
    const unsigned mode = chunk[0] & 0xF;
    if (version != FORMAT_VERSION) return version_mismatch(version, FORMAT_VERSION);
    if (mode > static_cast<unsigned>(CodecMode::Split)) return unknown_codec_mode(mode);
    const uint32_t length = load_le<uint32_t>(&chunk[1]);

    switch (static_cast<CodecMode>(mode)) {
        case CodecMode::Plain:
            return ChunkView{CodecMode::Plain, length, {}, chunk.subspan(PLAIN_HEADER_LEN)};
        case CodecMode::ZstdFallback:
            return zstd_fallback_chunk();
        case CodecMode::Neural:
            if (chunk.size() < NEURAL_HEADER_LEN) return chunk_too_short_for_neural_header();
            return ChunkView{CodecMode::Neural, length,
                             chunk.subspan(PLAIN_HEADER_LEN, NEURAL_BLOCK_LEN),
                             chunk.subspan(NEURAL_HEADER_LEN)};
        case CodecMode::Split:
            break;
    }
    return split_not_reimplemented();
}

}  // namespace zelk
