// The frame over the real chunk codec: blocks stored as chunks round-trip,
// the bytes do not depend on the thread count, a block the coder gives up
// on is split and still mostly compressed, a chunk's length field is
// checked against its block before the decoder may trust it, and damage
// inside a chunk's payload, which the chunk decoder cannot see, is caught.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <utility>
#include <string>

#include "codec/codec.h"
#include "codec/chunk_format.h"
#include "codec/zstd_chunk.h"
#include "frame/block_codec.h"
#include "frame/frame_block.h"
#include "frame/frame_reader.h"
#include "frame/frame_summary.h"
#include "frame/frame_writer.h"
#include "model/reference/ensemble.h"
#include "sample/sample_layout.h"

namespace zelk {
namespace {

using Bytes = std::vector<uint8_t>;

// A slowly varying 8-bit signal with a little noise: what the models predict well.
Bytes signal(size_t n) {
    Bytes data(n);
    uint32_t noise = 12345;
    for (size_t i = 0; i < n; ++i) {
        noise = noise * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(128 + 90 * std::sin(static_cast<double>(i) * 0.003) + ((noise >> 16) & 7));
    }
    return data;
}

Bytes frame_of(const Bytes& data, unsigned threads, uint32_t block_size = 64 << 10) {
    SpanSource source(data);
    VectorSink sink;
    write_frame(source, sink, ChunkBlockCodec{}, FrameOptions{block_size, threads});
    return sink.bytes;
}

class ChunkFrame : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data_ = new Bytes(signal((3 << 16) + 1000));
        frame_ = new Bytes(frame_of(*data_, 2));
    }
    static void TearDownTestSuite() {
        delete data_;
        delete frame_;
    }
    static Bytes* data_;
    static Bytes* frame_;
};
Bytes* ChunkFrame::data_ = nullptr;
Bytes* ChunkFrame::frame_ = nullptr;

TEST_F(ChunkFrame, RoundTripsWithBlocksStoredAsChunks) {
    const Bytes& frame = *frame_;
    EXPECT_LT(frame.size(), data_->size() * 3 / 4);
    EXPECT_EQ(frame[frame_header_size(FRAME_VERSION)], uint8_t(RecordType::Chunk));
    for (unsigned threads : {1u, 3u}) {
        SpanSource source(frame);
        VectorSink sink;
        const FrameReadStats stats = read_frames(source, &sink, ChunkBlockCodec{}, threads);
        EXPECT_EQ(sink.bytes, *data_);
        EXPECT_EQ(stats.blocks, 4u);
    }
}

TEST_F(ChunkFrame, OneThreadWritesTheSameBytes) { EXPECT_EQ(frame_of(*data_, 1), *frame_); }

TEST(ChunkFrameAlone, ALoneBlockEncodedWithASecondThreadIsTheSame) {
    // One block of 300 KB: with two threads its encoder takes the second.
    const Bytes data = signal(300000);
    const Bytes frame = frame_of(data, 2, 1 << 20);
    EXPECT_EQ(frame, frame_of(data, 1, 1 << 20));
    EXPECT_EQ(frame[frame_header_size(FRAME_VERSION)], uint8_t(RecordType::Chunk));
    SpanSource source(frame);
    VectorSink sink;
    read_frames(source, &sink, ChunkBlockCodec{}, 1);
    EXPECT_EQ(sink.bytes, data);
}

TEST(ChunkFrameAlone, ALoneZstandardBlockIsCutIntoTheSameJobsOnAnyNumberOfThreads) {
    // 3 MB of text-like bytes, one block, stored as Zstandard in jobs where
    // more than one thread writes it.
    Bytes data;
    for (uint32_t i = 0; data.size() < 3000000; ++i) {
        const std::string line = "line " + std::to_string(i * 7919 % 100003) + " of a long file\n";
        data.insert(data.end(), line.begin(), line.end());
    }
    const Bytes frame = frame_of(data, 2, 4 << 20);
    EXPECT_EQ(frame[frame_header_size(FRAME_VERSION)], uint8_t(RecordType::ZstdChunk));
    EXPECT_EQ(frame_of(data, 3, 4 << 20), frame);
    for (const Bytes& written : {frame, frame_of(data, 1, 4 << 20)}) {
        SpanSource source(written);
        VectorSink sink;
        read_frames(source, &sink, ChunkBlockCodec{}, 1);
        EXPECT_EQ(sink.bytes, data);
    }
}

TEST_F(ChunkFrame, DamageInsideAChunkPayloadIsCaughtByTheChecksum) {
    Bytes damaged = *frame_;
    const size_t record = frame_header_size(FRAME_VERSION);
    damaged[record + BLOCK_RECORD_SIZE + 200] ^= 0x04;  // inside the first chunk's payload
    SpanSource source(damaged);
    VectorSink sink;
    try {
        read_frames(source, &sink, ChunkBlockCodec{}, 2);
        FAIL() << "damaged payload accepted";
    } catch (const FrameError& error) {
        EXPECT_NE(std::string(error.what()).find("block 0 at offset 18: checksum mismatch"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_TRUE(sink.bytes.empty());
}

// Data whose first two residuals are -127, which collapses the coder's range
// at once (the encoder then declines the whole input), followed by a signal
// that compresses well.
Bytes collapsing_then_signal(size_t n) {
    ModelEnsemble model(std::nullopt, std::nullopt);
    Bytes data;
    for (int i = 0; i < 2; ++i) {
        data.push_back(static_cast<uint8_t>(model.predict() + 1 - 128));
        model.update(data.back());
    }
    const Bytes rest = signal(n - 2);
    data.insert(data.end(), rest.begin(), rest.end());
    return data;
}

TEST(ChunkBlockSplit, ABlockTheCoderGivesUpOnIsStillCompressed) {
    const Bytes data = collapsing_then_signal(400 << 10);
    NullDebugSink quiet;
    ASSERT_FALSE(compress_chunk(data, 0, std::nullopt, quiet).ok());  // the zelk encoder declines
    const ChunkBlockCodec codec(level_settings(MAX_LEVEL));
    const auto pieces = encode_block(data, codec);
    Bytes restored;
    size_t stored = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        stored += pieces[i].stored.size();
        const Bytes part = decode_block({i, 0, pieces[i].record, pieces[i].stored}, codec);
        restored.insert(restored.end(), part.begin(), part.end());
    }
    EXPECT_EQ(restored, data);
    EXPECT_LT(stored, data.size() * 9 / 10);
}

TEST(ChunkBlockCodec, RefusesAChunkWhoseLengthIsNotTheBlocks) {
    // Decoding the 4 GiB this header claims would take minutes and the
    // memory of a machine; the refusal must come first.
    Bytes chunk = {0xA0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6};
    const auto start = std::chrono::steady_clock::now();
    auto result = ChunkBlockCodec{}.decompress(RecordType::Chunk, chunk, 1000);
    EXPECT_FALSE(result.ok());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    chunk = {0xA2, 0xE8, 0x03, 0x00, 0x00};
    chunk.resize(40);
    EXPECT_FALSE(ChunkBlockCodec{}.decompress(RecordType::Chunk, chunk, 1000).ok());
    EXPECT_FALSE(ChunkBlockCodec{}.decompress(RecordType::Chunk, Bytes{0xA0, 0xE8}, 1000).ok());
}

TEST(ChunkBlockCodec, DeclinesWhatDoesNotShrinkAndStaysSilent) {
    Bytes noise(5000);
    uint32_t x = 1;
    for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ChunkBlockCodec{}.compress(noise, EncoderThreads::One).has_value());
    const Bytes data = signal(5000);
    const auto chunk = ChunkBlockCodec{}.compress(data, EncoderThreads::One);
    EXPECT_TRUE(testing::internal::GetCapturedStdout().empty());
    ASSERT_TRUE(chunk.has_value());
    auto back = ChunkBlockCodec{}.decompress(chunk->type, chunk->stored, 5000);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), data);
}

// A chunk below the floor for its block's size is refused before decoding,
// so that no block decodes to more than about twice its stored size.
TEST(ChunkBlockCodec, RefusesAChunkBelowTheFloorForItsSize) {
    const Bytes data(100000, 7);
    NullDebugSink quiet;
    const Bytes chunk = compress_chunk(data, 0, std::nullopt, quiet).value();
    ASSERT_TRUE(ChunkBlockCodec{}.decompress(RecordType::Chunk, chunk, 100000).ok());
    const Bytes cut(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(min_plain_chunk_size(100000)) - 1);
    const auto refused = ChunkBlockCodec{}.decompress(RecordType::Chunk, cut, 100000);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().display().find("cannot hold 100000 bytes of data"), std::string::npos);
}

// A record of one kind holding a chunk of the other is damage, not an encoder's refusal.
TEST(ChunkBlockCodec, RefusesARecordHoldingAChunkOfTheOtherKind) {
    const Bytes data = signal(5000);
    const Bytes zstd = encode_zstd_chunk(data, 3).value();
    NullDebugSink quiet;
    const Bytes zelk = compress_chunk(data, 0, std::nullopt, quiet).value();
    for (const auto& [type, stored] : {std::pair{RecordType::Chunk, &zstd}, std::pair{RecordType::ZstdChunk, &zelk}}) {
        const auto refused = ChunkBlockCodec{}.decompress(type, *stored, 5000);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidData);
        EXPECT_NE(refused.error().display().find("holds a chunk of another mode"), std::string::npos);
    }
}

// Each block as the smaller of the two chunks: text to Zstandard, an 8-bit
// signal to the zelk models; at level 1 the zelk encoder is never tried.
TEST(ChunkBlockCodec, StoresEachBlockAsTheSmallerChunk) {
    Bytes text;
    for (int i = 0; text.size() < 200000; ++i) {
        const std::string line = "line " + std::to_string(i % 97) + ": the quick brown fox jumps over the lazy dog\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    const Bytes wave = signal(200000);
    const ChunkBlockCodec codec;
    EXPECT_EQ(codec.compress(text, EncoderThreads::One)->type, RecordType::ZstdChunk);
    EXPECT_EQ(codec.compress(wave, EncoderThreads::One)->type, RecordType::Chunk);
    EXPECT_EQ(ChunkBlockCodec(level_settings(1)).compress(wave, EncoderThreads::One)->type, RecordType::ZstdChunk);
    for (const Bytes* data : {&std::as_const(text), &wave}) {
        const auto block = codec.compress(*data, EncoderThreads::One);
        EXPECT_EQ(codec.decompress(block->type, block->stored, uint32_t(data->size())).value(), *data);
    }
}

// Blocks of a raster end at whole rows, so no block predicts from another's.
TEST(ChunkBlockCodec, RasterBlocksHoldWholeRows) {
    const Bytes image = signal(3000 * 70);
    SpanSource source(image);
    VectorSink sink;
    const LevelSettings level = level_settings(1);
    write_frame(source, sink, ChunkBlockCodec(level), FrameOptions{64 << 10, 1, UINT64_MAX, true}, {},
                InputType{array_layout(ElementType::U8, false, {1000, 3}), false});
    std::vector<uint32_t> sizes;
    SpanSource frame(sink.bytes);
    summarize_frames(frame, [&](uint64_t, const FrameHeader&, const StoredBlock& block) {
        sizes.push_back(block.record.size);
    });
    ASSERT_EQ(sizes.size(), 4u);
    for (uint32_t size : sizes) EXPECT_EQ(size % 3000, 0u) << size;
}

// Typed samples are stored as a sample block unless Zstandard codes them
// shorter, at the fastest levels too, where Zstandard is first tried on a
// window of the block.
TEST(ChunkBlockCodec, StoresTypedSamplesAsTheShorterOfSampleBlockAndZstandard) {
    const SampleLayout int16{ElementType::I16, false, {}};
    Bytes tone, loop;
    uint32_t noise = 1;
    for (int i = 0; i < 200000; ++i) {
        noise = noise * 1103515245u + 12345u;
        const auto value = static_cast<int16_t>(8000 * std::sin(i * 0.01) + ((noise >> 16) & 63));
        tone.push_back(static_cast<uint8_t>(value)), tone.push_back(static_cast<uint8_t>(value >> 8));
    }
    while (loop.size() < tone.size()) loop.insert(loop.end(), tone.begin(), tone.begin() + 3000);  // a sample loop
    // Blocks of four judging windows and more, shorter ones, and ones that level 1 judges on a window of a
    // few KiB.
    for (const size_t size : {tone.size(), size_t{120000}, size_t{40000}}) {
        const Bytes tone_part(tone.begin(), tone.begin() + static_cast<ptrdiff_t>(size));
        const Bytes loop_part(loop.begin(), loop.begin() + static_cast<ptrdiff_t>(size));
        for (int level : {1, 3}) {
            const ChunkBlockCodec codec(level_settings(level));
            EXPECT_EQ(codec.compress(tone_part, EncoderThreads::One, &int16)->type, RecordType::Sample) << level;
            const auto looped = codec.compress(loop_part, EncoderThreads::One, &int16);
            EXPECT_EQ(looped->type, RecordType::ZstdChunk) << level << " " << size;
            EXPECT_EQ(codec.decompress(looped->type, looped->stored, uint32_t(size)).value(), loop_part);
        }
    }
    // Beyond the fastest effort a block of fewer than four windows is not
    // judged on a part of it, which would miss repeats longer than the part.
    Bytes thrice(tone.begin(), tone.begin() + 40000);
    for (int i = 0; i < 2; ++i) thrice.insert(thrice.end(), tone.begin(), tone.begin() + 40000);
    EXPECT_EQ(ChunkBlockCodec(level_settings(3)).compress(thrice, EncoderThreads::One, &int16)->type, RecordType::ZstdChunk);
}

// A block of one repeated frame (a fill, a constant field) is Zstandard's
// at every level, a few dozen bytes, unless it is small enough that the
// sample block is tried too and codes it shorter; either way it comes back.
TEST(ChunkBlockCodec, StoresARepeatedFrameAsZstandardUnlessTheSmallSampleBlockIsShorter) {
    const SampleLayout pixels = array_layout(ElementType::U16, false, {256, 3});
    Bytes field;
    while (field.size() < 256 * 256 * 6) field.insert(field.end(), {0x34, 0x12, 0, 0, 0xff, 0xff});
    const SampleLayout int64{ElementType::I64, false, {}};
    Bytes small;
    while (small.size() < 128 * 8) small.insert(small.end(), {1, 0, 0, 0, 0, 0, 0, 0});
    for (int level : {1, 3, 9}) {
        const ChunkBlockCodec codec(level_settings(level));
        const auto stored = codec.compress(field, EncoderThreads::One, &pixels);
        EXPECT_EQ(stored->type, RecordType::ZstdChunk) << level;
        EXPECT_LT(stored->stored.size(), 64u) << level;
        EXPECT_EQ(codec.decompress(stored->type, stored->stored, uint32_t(field.size())).value(), field);
        const auto tried = codec.compress(small, EncoderThreads::One, &int64);
        const size_t zstd = encode_zstd_chunk(small, std::min(level_settings(level).zstd_level, 3)).value().size();
        EXPECT_LE(tried->stored.size(), zstd) << level;
        EXPECT_EQ(codec.decompress(tried->type, tried->stored, uint32_t(small.size())).value(), small);
    }
    // A last frame cut short repeats the first frame's start.
    Bytes cut(field.begin(), field.end() - 2);
    const auto stored = ChunkBlockCodec(level_settings(3)).compress(cut, EncoderThreads::One, &pixels);
    EXPECT_EQ(ChunkBlockCodec(level_settings(3)).decompress(stored->type, stored->stored, uint32_t(cut.size())).value(), cut);
}

}  // namespace
}  // namespace zelk
