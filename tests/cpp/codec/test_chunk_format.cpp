// Chunk header: the bytes written, every refusal of a bad header with its
// exact text and in its order, and the weight bytes each side's model gets.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/chunk_format.h"

namespace zelk {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes counting_bytes(std::size_t n, uint8_t first = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

std::string refusal_of(const Bytes& chunk) {
    const Result<ChunkView> r = read_header(chunk);
    return r ? "accepted" : r.error().display();
}

TEST(ReadHeader, RefusesBadHeadersInOrder) {
    EXPECT_EQ(refusal_of({}), "InvalidData: Chunk too short");
    EXPECT_EQ(refusal_of({0xA0, 0, 0, 0}), "InvalidData: Chunk too short");
    // The version is tested before the mode, even when the mode is valid.
    EXPECT_EQ(refusal_of({0x00, 0, 0, 0, 0}), "InvalidData: Version Mismatch: File v0 != Library v10");
    EXPECT_EQ(refusal_of({0xB0, 0, 0, 0, 0}), "InvalidData: Version Mismatch: File v11 != Library v10");
    EXPECT_EQ(refusal_of({0xF7, 0, 0, 0, 0}), "InvalidData: Version Mismatch: File v15 != Library v10");
    EXPECT_EQ(refusal_of({0xA4, 0, 0, 0, 0}), "InvalidData: Unknown codec mode: 0x4");
    EXPECT_EQ(refusal_of({0xAA, 0, 0, 0, 0}), "InvalidData: Unknown codec mode: 0xa");
    EXPECT_EQ(refusal_of({0xAF, 0, 0, 0, 0}), "InvalidData: Unknown codec mode: 0xf");
    EXPECT_EQ(refusal_of({0xA1, 0, 0, 0, 0}), "CompressionError: Zstd fallback chunk - handle externally");
    EXPECT_EQ(refusal_of({0xA3, 0xFF, 0xFF, 0xFF, 0xFF}), "Other: Split not reimplemented yet");
    Bytes neural(28, 0);
    neural[0] = 0xA2;
    EXPECT_EQ(refusal_of(neural), "InvalidData: Chunk too short for Neural Header");
    neural.push_back(0);
    EXPECT_EQ(refusal_of(neural), "accepted");
}

TEST(ReadHeader, SplitsPlainAndNeuralChunks) {
    const Bytes plain = {0xA0, 0x2C, 0x01, 0x00, 0x00, 7, 8};
    const ChunkView p = read_header(plain).value();
    EXPECT_EQ(p.mode, CodecMode::Plain);
    EXPECT_EQ(p.length, 300u);
    EXPECT_TRUE(p.neural_block.empty());
    EXPECT_EQ(Bytes(p.payload.begin(), p.payload.end()), (Bytes{7, 8}));

    Bytes neural = {0xA2, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes block = counting_bytes(24);
    neural.insert(neural.end(), block.begin(), block.end());
    neural.push_back(0x55);
    const ChunkView n = read_header(neural).value();
    EXPECT_EQ(n.mode, CodecMode::Neural);
    EXPECT_EQ(n.length, 0xFFFFFFFFu);
    EXPECT_EQ(Bytes(n.neural_block.begin(), n.neural_block.end()), block);
    EXPECT_EQ(Bytes(n.payload.begin(), n.payload.end()), (Bytes{0x55}));
}

TEST(WriteHeader, WritesThePlainAndNeuralHeaders) {
    const Bytes w8 = {0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00};
    Bytes out(64, 0xEE);
    const WrittenHeader neural = write_header(out, 300, ByteView(w8)).value();
    EXPECT_EQ(neural.mode, CodecMode::Neural);
    EXPECT_EQ(neural.length, 29u);
    Bytes expected = {0xA2, 0x2C, 0x01, 0x00, 0x00};
    expected.insert(expected.end(), w8.begin(), w8.end());
    expected.resize(29, 0x00);
    expected.resize(64, 0xEE);  // nothing written past the header
    EXPECT_EQ(out, expected);

    out.assign(64, 0xEE);
    const Bytes empty;
    for (const auto& weights : {std::optional<ByteView>(), std::optional<ByteView>(ByteView(empty))}) {
        const WrittenHeader plain = write_header(out, 300, weights).value();
        EXPECT_EQ(plain.mode, CodecMode::Plain);
        EXPECT_EQ(plain.length, 5u);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0xA0, 0x2C, 0x01, 0x00, 0x00, 0xEE}));
    }

    // Only the first 24 weight bytes are stored; the length is taken modulo 2^32.
    const Bytes w60 = counting_bytes(60);
    ASSERT_TRUE(write_header(out, (uint64_t{1} << 32) + 0x01020304, ByteView(w60)));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), (Bytes{0xA2, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(Bytes(out.begin() + 5, out.begin() + 29), counting_bytes(24));
    EXPECT_EQ(out[29], 0xEE);
}

TEST(WriteHeader, RefusesABufferTooSmallWithoutWriting) {
    const Bytes w1 = {9};
    Bytes out(28, 0xEE);
    EXPECT_EQ(write_header(std::span(out).first(4), 10, std::nullopt).error().display(),
              "Other: Buffer too small for header");
    EXPECT_EQ(write_header(out, 10, ByteView(w1)).error().display(), "Other: Buffer too small for header");
    EXPECT_EQ(out, Bytes(28, 0xEE));
    EXPECT_TRUE(write_header(std::span(out).first(5), 10, std::nullopt));
    out.push_back(0);
    EXPECT_TRUE(write_header(out, 10, ByteView(w1)));
}

// Weight words built from w bytes of a known pattern: word i is
// 0x10000 * (i + 1) - i, with word 1 negative to check the sign.
Bytes weight_bytes(std::size_t n) {
    Bytes b;
    for (std::size_t i = 0; b.size() < n; ++i) {
        uint32_t word = 0x10000u * static_cast<uint32_t>(i + 1) - static_cast<uint32_t>(i);
        if (i == 1) word = 0xFFFF0000u;
        for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(word >> (8 * k)));
    }
    b.resize(n);
    return b;
}

WeightSet expected_set(std::size_t first_word) {
    WeightSet set{};
    for (std::size_t i = 0; i < 6; ++i) {
        const std::size_t w = first_word + i;
        set[i] = w == 1 ? -65536 : static_cast<int32_t>(0x10000 * (w + 1) - w);
    }
    return set;
}

TEST(WeightSets, TakeWholeWordsTwelveSixOrNone) {
    struct Case {
        std::size_t bytes;
        bool initial, anchor;
    };
    for (const Case c : {Case{0, false, false}, Case{10, false, false}, Case{23, false, false},
                         Case{24, true, false}, Case{47, true, false}, Case{48, true, true},
                         Case{60, true, true}}) {
        SCOPED_TRACE(c.bytes);
        const Bytes bytes = weight_bytes(c.bytes);
        const WeightSets sets = weight_sets_from_bytes(bytes);
        ASSERT_EQ(sets.initial.has_value(), c.initial);
        ASSERT_EQ(sets.anchor.has_value(), c.anchor);
        if (c.initial) {
            EXPECT_EQ(*sets.initial, expected_set(0));
        }
        if (c.anchor) {
            EXPECT_EQ(*sets.anchor, expected_set(6));
        }
    }
}

Bytes model_bytes(Side side, std::size_t caller_bytes, CodecMode mode, const Bytes& block) {
    const Bytes caller = weight_bytes(caller_bytes);
    const ModelWeightBytes m = model_weight_bytes(side, mode, block, ByteView(caller));
    return Bytes(m.view().begin(), m.view().end());
}

TEST(ModelWeightBytes, FollowTheModeAndTheSide) {
    const Bytes block = counting_bytes(24, 0x80);  // differs from the caller's first 24 bytes
    const Bytes caller60 = weight_bytes(60);
    const Bytes anchors(caller60.begin() + 24, caller60.begin() + 48);
    Bytes block_and_anchors = block;
    block_and_anchors.insert(block_and_anchors.end(), anchors.begin(), anchors.end());

    for (const Side side : {Side::Encoder, Side::Decoder}) {
        SCOPED_TRACE(side == Side::Encoder ? "encoder" : "decoder");
        // Neural: the stored block, then the caller's bytes 24..47 when it has all of them.
        for (const std::size_t w : {0, 10, 24, 47}) EXPECT_EQ(model_bytes(side, w, CodecMode::Neural, block), block);
        for (const std::size_t w : {48, 60}) {
            EXPECT_EQ(model_bytes(side, w, CodecMode::Neural, block), block_and_anchors);
        }
        const ModelWeightBytes none = model_weight_bytes(side, CodecMode::Neural, block, std::nullopt);
        EXPECT_EQ(Bytes(none.view().begin(), none.view().end()), block);
    }
    // Plain: the encoder's model has no weights; the decoder's takes the caller's.
    EXPECT_TRUE(model_bytes(Side::Encoder, 60, CodecMode::Plain, {}).empty());
    for (const std::size_t w : {0, 10, 24, 47}) {
        EXPECT_EQ(model_bytes(Side::Decoder, w, CodecMode::Plain, {}), weight_bytes(w));
    }
    EXPECT_EQ(model_bytes(Side::Decoder, 60, CodecMode::Plain, {}), weight_bytes(48));  // words 12+ unused
}

}  // namespace
}  // namespace zelk
