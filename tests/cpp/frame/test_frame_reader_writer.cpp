// The frame over stand-in block codecs, fast enough to be exhaustive: round
// trips at the sizes around block boundaries, output independent of thread
// count and read sizes, concatenated frames, every single-bit flip and every
// truncation refused, and blocks the codec cannot shrink stored raw.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "frame/crc32c.h"
#include "frame/frame_block.h"
#include "frame/memory_limit.h"
#include "frame/frame_format.h"
#include "frame/frame_io.h"
#include "frame/frame_reader.h"
#include "frame/frame_writer.h"
#include "frame/stand_in_codecs.h"
#include "test_support.h"

namespace zelk {
namespace {

using Bytes = std::vector<uint8_t>;
using test::InflatingCodec;

constexpr size_t HEADER_SIZE = 18;  // of version 2
constexpr size_t END_SIZE = 25;

FrameHeader header_of(const Bytes& frame) { return decode_frame_header(std::span(frame).first(HEADER_SIZE)); }
using test::RunLengthCodec;
using test::mixed_data;

Bytes write(const Bytes& data, const BlockCodec& codec, uint32_t block_size, unsigned threads = 2,
            size_t read_step = SIZE_MAX) {
    SpanSource source(data, read_step);
    VectorSink sink;
    write_frame(source, sink, codec, FrameOptions{block_size, threads});
    return sink.bytes;
}

Bytes read(const Bytes& frame, const BlockCodec& codec, unsigned threads = 2, size_t step = SIZE_MAX) {
    SpanSource source(frame, step);
    VectorSink sink;
    read_frames(source, &sink, codec, threads);
    return sink.bytes;
}

// Reading `frame` must fail; what was written before the failure must be a
// prefix of `original`. Returns the error message.
std::string read_fails(const Bytes& frame, const Bytes& original, const BlockCodec& codec) {
    SpanSource source(frame);
    VectorSink sink;
    try {
        read_frames(source, &sink, codec, 2);
    } catch (const FrameError& error) {
        EXPECT_LE(sink.bytes.size(), original.size());
        EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), original.begin()));
        return error.what();
    }
    ADD_FAILURE() << "damaged frame was accepted";
    return {};
}

uint32_t le32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

// Offsets of the block records, found from the documented layout alone.
std::vector<size_t> record_offsets(const Bytes& frame) {
    std::vector<size_t> offsets;
    for (size_t at = HEADER_SIZE; frame.at(at) != 0xFF; at += BLOCK_RECORD_SIZE + le32(frame, at + 5)) {
        offsets.push_back(at);
    }
    return offsets;
}

TEST(FrameRoundTrip, RestoresEverySizeAroundBlockBoundaries) {
    const RunLengthCodec codec;
    const uint32_t block = 100;
    for (size_t n : {size_t{0}, size_t{1}, size_t{99}, size_t{100}, size_t{101}, size_t{503}, size_t{5000}}) {
        const Bytes data = mixed_data(n, static_cast<unsigned>(n));
        const Bytes frame = write(data, codec, block, 3, 7);
        EXPECT_EQ(read(frame, codec, 3, 5), data) << n;
        EXPECT_EQ(record_offsets(frame).size(), (n + block - 1) / block) << n;
    }
}

TEST(FrameRoundTrip, EmptyInputIsHeaderAndEndRecordOnly) {
    const RunLengthCodec codec;
    const Bytes frame = write({}, codec, 4096);
    EXPECT_EQ(frame.size(), HEADER_SIZE + END_SIZE);
    EXPECT_TRUE(read(frame, codec).empty());
}

TEST(FrameRoundTrip, IncompressibleDataGrowsOnlyByTheRecords) {
    const RunLengthCodec codec;
    const Bytes data = test::random_bytes(1000, 3);
    const Bytes frame = write(data, codec, 256);
    EXPECT_EQ(frame.size(), HEADER_SIZE + 4 * BLOCK_RECORD_SIZE + data.size() + END_SIZE);
    for (size_t at : record_offsets(frame)) EXPECT_EQ(frame[at], uint8_t(RecordType::Raw));
    EXPECT_EQ(read(frame, codec), data);
}

TEST(FrameRoundTrip, AFrameOfOneBlockStatesItsLengthAsTheBlockSize) {
    // so that a reader sets aside what the block needs, not what was allowed,
    // and the version that such large blocks would need is not written.
    const RunLengthCodec codec;
    const Bytes data = mixed_data(1000, 5);
    const Bytes frame = write(data, codec, MAX_LARGE_BLOCK_SIZE);
    EXPECT_EQ(header_of(frame).block_size, 1000u);
    EXPECT_EQ(header_of(frame).version, FRAME_VERSION);
    EXPECT_EQ(read(frame, codec), data);
    EXPECT_EQ(header_of(write(mixed_data(3000, 5), codec, 2000)).block_size, 2000u);
}

TEST(FrameRoundTrip, BlocksPastTheOldLimitMakeFramesOfVersionFour) {
    const RunLengthCodec codec;
    const Bytes data = mixed_data(MAX_BLOCK_SIZE + 2, 9);
    const Bytes frame = write(data, codec, MAX_BLOCK_SIZE + 1);
    EXPECT_EQ(header_of(frame).version, LARGE_BLOCK_FRAME_VERSION);
    EXPECT_EQ(header_of(frame).block_size, MAX_BLOCK_SIZE + 1);
    EXPECT_EQ(read(frame, codec), data);
}

TEST(FrameRoundTrip, FrameBytesDoNotDependOnThreadsOrReadSizes) {
    const RunLengthCodec codec;
    const Bytes data = mixed_data(20000, 11);
    const Bytes one = write(data, codec, 333, 1);
    for (unsigned threads : {2u, 3u, 8u}) EXPECT_EQ(write(data, codec, 333, threads, 97), one);
    for (unsigned threads : {1u, 4u}) EXPECT_EQ(read(one, codec, threads, 13), data);
}

TEST(FrameRoundTrip, ConcatenatedFramesRestoreTheConcatenation) {
    const RunLengthCodec codec;
    const Bytes a = mixed_data(700, 1), b = mixed_data(300, 2);
    Bytes frames = write(a, codec, 128);
    const Bytes second = write(b, codec, 64);
    frames.insert(frames.end(), second.begin(), second.end());
    SpanSource source(frames);
    VectorSink sink;
    const FrameReadStats stats = read_frames(source, &sink, codec, 2);
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(sink.bytes, both);
    EXPECT_EQ(stats.frames, 2u);
    EXPECT_FALSE(stats.trailing_data);
    EXPECT_EQ(stats.input_bytes, frames.size());
}

TEST(FrameRoundTrip, ZeroPaddingAfterTheLastFrameIsReportedNotDecoded) {
    const RunLengthCodec codec;
    const Bytes data = mixed_data(500, 4);
    for (const Bytes& tail : {Bytes{0}, Bytes(3, 0), Bytes(200000, 0)}) {
        Bytes frame = write(data, codec, 128);
        frame.insert(frame.end(), tail.begin(), tail.end());
        SpanSource source(frame, 4096);
        VectorSink sink;
        const FrameReadStats stats = read_frames(source, &sink, codec, 2);
        EXPECT_TRUE(stats.trailing_data);
        EXPECT_EQ(stats.input_bytes, frame.size());
        EXPECT_EQ(sink.bytes, data);
    }
}

// A later frame whose magic was damaged looks like any other bytes after a
// frame: neither may pass for the end of the data.
TEST(FrameRoundTrip, OtherBytesAfterAFrameAreAnError) {
    const RunLengthCodec codec;
    const Bytes data = mixed_data(500, 4);
    Bytes second = write(data, codec, 128);
    second[1] ^= 0x20;
    for (const Bytes& tail : {Bytes{0x89, 'Z', 'L'}, Bytes(100, 0x55), Bytes{0, 0, 7}, second}) {
        Bytes frames = write(data, codec, 128);
        frames.insert(frames.end(), tail.begin(), tail.end());
        EXPECT_NE(read_fails(frames, data, codec).find("after frame 0"), std::string::npos);
    }
}

// The salt of each frame enters every record's check: a record spliced in
// from a frame of other data fails, though its own check is sound.
TEST(FrameRoundTrip, RecordsFromAnotherFrameAreRefused) {
    const RunLengthCodec codec;
    const Bytes a = mixed_data(640, 21), b = mixed_data(640, 22);
    const Bytes frame_a = write(a, codec, 128), frame_b = write(b, codec, 128);
    ASSERT_NE(header_of(frame_a).salt, header_of(frame_b).salt);
    const std::vector<size_t> ra = record_offsets(frame_a), rb = record_offsets(frame_b);
    Bytes spliced(frame_a.begin(), frame_a.begin() + static_cast<std::ptrdiff_t>(ra[2]));
    spliced.insert(spliced.end(), frame_b.begin() + static_cast<std::ptrdiff_t>(rb[2]), frame_b.end());
    EXPECT_NE(read_fails(spliced, a, codec).find("block 2"), std::string::npos);
}

// Whole blocks exchanged between frames of the same first block (and so the
// same salt) pass every record's check and are written out; the content's
// checksum catches them at the frame's end (the command then removes its
// output).
TEST(FrameRoundTrip, TheContentChecksumCatchesWhatNoRecordCan) {
    const RunLengthCodec codec;
    Bytes a = mixed_data(640, 21), b = a;
    std::fill(b.begin() + 300, b.begin() + 400, uint8_t{9});
    const Bytes frame_a = write(a, codec, 128), frame_b = write(b, codec, 128);
    ASSERT_EQ(header_of(frame_a).salt, header_of(frame_b).salt);
    const std::vector<size_t> ra = record_offsets(frame_a), rb = record_offsets(frame_b);
    Bytes spliced(frame_a.begin(), frame_a.begin() + static_cast<std::ptrdiff_t>(ra[2]));
    spliced.insert(spliced.end(), frame_b.begin() + static_cast<std::ptrdiff_t>(rb[2]), frame_b.begin() + static_cast<std::ptrdiff_t>(rb[4]));
    spliced.insert(spliced.end(), frame_a.begin() + static_cast<std::ptrdiff_t>(ra[4]), frame_a.end());
    SpanSource source(spliced);
    VectorSink sink;
    try {
        read_frames(source, &sink, codec, 2);
        FAIL() << "spliced frame accepted";
    } catch (const FrameError& error) {
        EXPECT_NE(std::string(error.what()).find("checksum of its content"), std::string::npos) << error.what();
    }
}

// Frames of version 1 (no salt, no content checksum) are still read.
TEST(FrameRoundTrip, ReadsVersionOneFrames) {
    const RunLengthCodec codec;
    const Bytes data = mixed_data(700, 3);
    const FrameHeader v1{1, 0, 256, 0};
    Bytes frame = encode_frame_header(v1);
    uint64_t index = 0;
    for (size_t at = 0; at < data.size(); at += 256, ++index) {
        const std::span<const uint8_t> block = std::span(data).subspan(at, std::min<size_t>(256, data.size() - at));
        const auto record = encode_block_record({RecordType::Raw, uint32_t(block.size()), uint32_t(block.size()), crc32c(block)}, index, v1);
        frame.insert(frame.end(), record.begin(), record.end());
        frame.insert(frame.end(), block.begin(), block.end());
    }
    const Bytes end = encode_end_record({data.size(), index, 0}, v1);
    frame.insert(frame.end(), end.begin(), end.end());
    ASSERT_EQ(frame.size(), 14 + 3 * BLOCK_RECORD_SIZE + data.size() + 21);
    EXPECT_EQ(read(frame, codec), data);
}

TEST(FrameRoundTrip, RefusesInputThatIsNoFrame) {
    const RunLengthCodec codec;
    EXPECT_NE(read_fails({}, {}, codec).find("empty"), std::string::npos);
    EXPECT_NE(read_fails(Bytes{'h', 'e', 'l', 'l', 'o'}, {}, codec).find("not in zelk format"), std::string::npos);
}

class FrameDamage : public ::testing::Test {
protected:
    RunLengthCodec codec;
    Bytes data = mixed_data(640, 21);
    Bytes frame = write(data, codec, 128);
};

TEST_F(FrameDamage, EverySingleBitFlipIsRefused) {
    for (size_t bit = 0; bit < frame.size() * 8; ++bit) {
        Bytes damaged = frame;
        damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        SCOPED_TRACE("bit " + std::to_string(bit));
        read_fails(damaged, data, codec);
    }
}

TEST_F(FrameDamage, EveryTruncationIsRefused) {
    for (size_t length = 0; length < frame.size(); ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        read_fails(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length)), data, codec);
    }
    for (size_t at : record_offsets(frame)) {
        const std::string message = read_fails(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(at)), data, codec);
        EXPECT_NE(message.find("truncated"), std::string::npos) << message;
        EXPECT_NE(message.find("offset " + std::to_string(at)), std::string::npos) << message;
    }
}

TEST_F(FrameDamage, ErrorsNameTheDamagedBlockAndItsOffset) {
    const std::vector<size_t> records = record_offsets(frame);
    ASSERT_GE(records.size(), 4u);
    const size_t at = records[2];
    const std::string place = "block 2 at offset " + std::to_string(at);

    Bytes payload = frame;
    payload[at + BLOCK_RECORD_SIZE] ^= 0x10;
    EXPECT_NE(read_fails(payload, data, codec).find(place), std::string::npos);

    Bytes checksum = frame;
    checksum[at + 9] ^= 0x01;
    EXPECT_NE(read_fails(checksum, data, codec).find(place), std::string::npos);

    // The blocks before the damaged one are restored in full.
    SpanSource source(payload);
    VectorSink sink;
    EXPECT_THROW(read_frames(source, &sink, codec, 4), FrameError);
    EXPECT_EQ(sink.bytes, Bytes(data.begin(), data.begin() + 256));
}

TEST_F(FrameDamage, MovedRepeatedOrDroppedRecordsAreRefused) {
    const std::vector<size_t> r = record_offsets(frame);
    auto record = [&](size_t i) {
        const size_t end = i + 1 < r.size() ? r[i + 1] : frame.size() - END_SIZE;
        return Bytes(frame.begin() + static_cast<std::ptrdiff_t>(r[i]), frame.begin() + static_cast<std::ptrdiff_t>(end));
    };
    auto assemble = [&](std::vector<size_t> order) {
        Bytes out(frame.begin(), frame.begin() + HEADER_SIZE);
        for (size_t i : order) {
            const Bytes part = record(i);
            out.insert(out.end(), part.begin(), part.end());
        }
        out.insert(out.end(), frame.end() - END_SIZE, frame.end());
        return out;
    };
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(read(assemble({0, 1, 2, 3, 4}), codec), data);  // the cut itself is sound
    read_fails(assemble({1, 0, 2, 3, 4}), data, codec);
    read_fails(assemble({0, 1, 1, 2, 3, 4}), data, codec);
    read_fails(assemble({0, 1, 2, 3}), data, codec);
}

TEST_F(FrameDamage, SizesBeyondTheBlockSizeAreRefusedBeforeDecoding) {
    // Records and headers whose checks are right but whose sizes are not.
    const size_t at = record_offsets(frame)[0];
    Bytes oversized = frame;
    const auto record = encode_block_record({RecordType::Raw, 129, 129, 0}, 0, header_of(frame));
    std::copy(record.begin(), record.end(), oversized.begin() + static_cast<std::ptrdiff_t>(at));
    EXPECT_NE(read_fails(oversized, data, codec).find("block size"), std::string::npos);

    Bytes huge_blocks = frame;
    const auto header = encode_frame_header({SAMPLE_FRAME_VERSION, 0, MAX_BLOCK_SIZE + 1, header_of(frame).salt});
    std::copy(header.begin(), header.end(), huge_blocks.begin());
    EXPECT_NE(read_fails(huge_blocks, data, codec).find("block size"), std::string::npos);
    const auto large = encode_frame_header({LARGE_BLOCK_FRAME_VERSION, 0, MAX_LARGE_BLOCK_SIZE + 1, header_of(frame).salt});
    std::copy(large.begin(), large.end(), huge_blocks.begin());
    EXPECT_NE(read_fails(huge_blocks, data, codec).find("block size"), std::string::npos);

    EXPECT_THROW(write(data, codec, 0), std::invalid_argument);
    EXPECT_THROW(write(data, codec, MAX_LARGE_BLOCK_SIZE + 1), std::invalid_argument);
}

TEST_F(FrameDamage, NewerVersionsAndUnknownFlagsAreRefusedByName) {
    Bytes newer = frame;
    const auto v4 = encode_frame_header({NEWEST_FRAME_VERSION + 1, 0, 128, header_of(frame).salt});
    std::copy(v4.begin(), v4.end(), newer.begin());
    EXPECT_NE(read_fails(newer, data, codec).find("version 5, this program reads versions 1 to 4"), std::string::npos);

    Bytes flagged = frame;
    const auto flags = encode_frame_header({FRAME_VERSION, 0x04, 128, header_of(frame).salt});
    std::copy(flags.begin(), flags.end(), flagged.begin());
    EXPECT_NE(read_fails(flagged, data, codec).find("unknown features"), std::string::npos);
}

TEST(FrameRoundTrip, OutputNoShorterThanTheBlockIsStoredRaw) {
    const InflatingCodec codec;
    const Bytes data = mixed_data(3000, 8);
    const Bytes frame = write(data, codec, 1000);
    for (size_t at : record_offsets(frame)) EXPECT_EQ(frame[at], uint8_t(RecordType::Raw));
    EXPECT_EQ(read(frame, codec), data);
}

// A frame whose blocks do not fit the memory limit is refused before any
// block is decoded; one that fits reads with fewer blocks in flight.
TEST(FrameRoundTrip, TheMemoryLimitBoundsTheBlocksInFlight) {
    const RunLengthCodec codec;
    const Bytes data = mixed_data(5000, 6);
    const Bytes frame = write(data, codec, 1024);
    for (uint64_t limit : {block_memory(1024), 3 * block_memory(1024)}) {
        SpanSource source(frame);
        VectorSink sink;
        read_frames(source, &sink, codec, 4, {}, limit);
        EXPECT_EQ(sink.bytes, data);
    }
    SpanSource source(frame);
    VectorSink sink;
    try {
        read_frames(source, &sink, codec, 4, {}, block_memory(1024) - 1);
        FAIL() << "a frame over the memory limit was read";
    } catch (const FrameError& error) {
        EXPECT_NE(std::string(error.what()).find("more than the memory limit"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(sink.bytes.empty());
    SpanSource again(data);
    VectorSink unused;
    EXPECT_THROW(write_frame(again, unused, codec, FrameOptions{1024, 2, block_memory(1024) - 1}), std::invalid_argument);
}

}  // namespace
}  // namespace zelk
