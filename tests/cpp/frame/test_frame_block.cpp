// Storing one block: a block the codec accepts is one chunk, an
// incompressible one is stored raw after one short probe, and one the codec
// declines part-way is split so that only the piece around the trouble
// stays raw.
#include <gtest/gtest.h>

#include <vector>

#include "frame/frame_block.h"
#include "frame/stand_in_codecs.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;
using test::RunLengthCodec;

size_t total_size(const std::vector<EncodedPiece>& pieces) {
    size_t n = 0;
    for (const auto& p : pieces) n += p.record.size;
    return n;
}

Bytes restore(const std::vector<EncodedPiece>& pieces, const BlockCodec& codec) {
    Bytes out;
    for (const auto& p : pieces) {
        const Bytes part = decode_block({0, 0, p.record, p.stored}, codec);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(FrameBlockSplit, AcceptedBlockIsOneChunk) {
    const RunLengthCodec codec;
    const Bytes data(1 << 20, 7);
    const auto pieces = encode_block(data, codec);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].record.type, RecordType::Chunk);
    EXPECT_EQ(codec.offered, data.size());
}

TEST(FrameBlockSplit, IncompressibleBlockIsStoredRawAfterOneShortProbe) {
    const RunLengthCodec codec;
    const Bytes data = test::random_bytes(1 << 20, 5);
    const auto pieces = encode_block(data, codec);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].record.type, RecordType::Raw);
    EXPECT_EQ(pieces[0].stored, data);
    EXPECT_EQ(codec.offered, data.size() + data.size() / 8);

    const RunLengthCodec small_codec;
    encode_block(test::random_bytes(2 * MIN_SPLIT_PIECE - 1, 6), small_codec);
    EXPECT_EQ(small_codec.offered, 2 * MIN_SPLIT_PIECE - 1);  // too short to split: no probe
}

TEST(FrameBlockSplit, BlockDeclinedPartWayIsSplitIntoChunks) {
    const RunLengthCodec codec(16 << 10);
    Bytes data(1 << 20, 3);
    data[900000] = 0xEE;
    const auto pieces = encode_block(data, codec);
    EXPECT_GT(pieces.size(), 1u);
    size_t raw = 0;
    for (const auto& p : pieces) {
        EXPECT_LE(p.stored.size(), p.record.size);
        if (p.record.type == RecordType::Raw) raw += p.record.size;
    }
    // Only the piece around the poisoned byte, 128 KiB here, stays raw.
    EXPECT_LE(raw, 2 * MIN_SPLIT_PIECE);
    EXPECT_EQ(total_size(pieces), data.size());
    EXPECT_EQ(restore(pieces, codec), data);
    EXPECT_LT(codec.offered, 4 * data.size());
}

}  // namespace
}  // namespace zelk
