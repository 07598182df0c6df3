// The Zstandard fallback chunk: its layout, round trips, and every way a
// damaged or foreign chunk is refused before its frame is decompressed.
#include <gtest/gtest.h>

#include <zstd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "codec/zstd_chunk.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;

std::string refusal(const Bytes& chunk, uint64_t max_length = UINT32_MAX) {
    const auto result = decode_zstd_chunk(chunk, max_length);
    return result ? "accepted" : result.error().display();
}

Bytes with_frame(uint32_t stated, const Bytes& frame) {
    Bytes chunk(ZSTD_CHUNK_HEADER_LEN + frame.size());
    chunk[0] = ZSTD_CHUNK_HEADER_BYTE;
    store_le(&chunk[1], stated);
    std::copy(frame.begin(), frame.end(), chunk.begin() + ZSTD_CHUNK_HEADER_LEN);
    return chunk;
}

TEST(ZstdChunk, RoundTripsAtEveryLevelAndSize) {
    for (const Bytes& data : {Bytes{}, Bytes{7}, test::sine_with_noise(100000, 1), test::random_bytes(3000, 2)}) {
        for (int level : {1, 3, 19}) {
            const auto chunk = encode_zstd_chunk(data, level);
            ASSERT_TRUE(chunk.ok());
            EXPECT_EQ(chunk.value()[0], 0xA1);
            EXPECT_EQ(load_le<uint32_t>(&chunk.value()[1]), data.size());
            EXPECT_EQ(zstd_chunk_length(chunk.value()).value(), data.size());
            const auto back = decode_zstd_chunk(chunk.value());
            ASSERT_TRUE(back.ok()) << back.error().display();
            EXPECT_EQ(back.value(), data);
        }
    }
}

TEST(ZstdChunk, AThreadsKeptContextsCarryNothingFromOneCallToTheNext) {
    const Bytes data = test::sine_with_noise(50000, 6);
    Bytes fresh;  // from a thread that has coded nothing yet
    std::thread([&] { fresh = encode_zstd_chunk(data, 3).value(); }).join();
    // Long matching in a short window first (a context small enough to
    // be kept), then a failed decode: the next calls code and decode as a
    // new context would.
    ASSERT_TRUE(encode_zstd_chunk(data, ZstdSettings(3, 10)).ok());
    EXPECT_FALSE(decode_zstd_chunk(with_frame(5, Bytes{0x28, 0xB5, 0x2F, 0xFD})).ok());
    EXPECT_EQ(encode_zstd_chunk(data, 3).value(), fresh);
    EXPECT_EQ(decode_zstd_chunk(fresh).value(), data);
}

TEST(ZstdChunk, JobsWriteTheSameChunkOnAnyNumberOfWorkers) {
    Bytes data = test::sine_with_noise(3 << 20, 4);
    const auto one = encode_zstd_chunk(data, ZstdSettings(3, 0, 1)).value();
    EXPECT_NE(one, encode_zstd_chunk(data, 3).value());  // it was cut into jobs
    for (unsigned workers : {2u, 3u}) EXPECT_EQ(encode_zstd_chunk(data, ZstdSettings(3, 0, workers)).value(), one);
    EXPECT_EQ(decode_zstd_chunk(one).value(), data);
    data.resize(1 << 20);  // shorter than two jobs: as on the calling thread
    EXPECT_EQ(encode_zstd_chunk(data, ZstdSettings(3, 0, 2)).value(), encode_zstd_chunk(data, 3).value());
}

TEST(ZstdChunk, LongMatchingFindsRepeatsBeyondTheLevelsWindow) {
    // Noise repeated 12 MiB on: level 1 looks back 512 KiB, a window of
    // 2^24 bytes finds the whole repeat.
    Bytes data = test::random_bytes(12 << 20, 8);
    data.insert(data.end(), data.begin(), data.begin() + (1 << 20));
    const size_t plain = encode_zstd_chunk(data, 1).value().size();
    const Bytes chunk = encode_zstd_chunk(data, ZstdSettings(1, 24)).value();
    EXPECT_GT(plain, data.size() - 1000);
    EXPECT_LT(chunk.size(), (12u << 20) + (64u << 10));
    EXPECT_EQ(decode_zstd_chunk(chunk).value(), data);
}

TEST(ZstdChunk, RefusesWhatIsNotExactlyOneFrameOfTheStatedLength) {
    const Bytes data = test::sine_with_noise(5000, 3);
    const Bytes chunk = encode_zstd_chunk(data, 3).value();
    const Bytes frame(chunk.begin() + 5, chunk.end());
    EXPECT_EQ(refusal({0xA1, 1, 0}), "InvalidData: Chunk too short");
    EXPECT_NE(refusal(Bytes{0xA0, 0x88, 0x13, 0, 0, 1}).find("header byte"), std::string::npos);
    EXPECT_NE(refusal(with_frame(5001, frame)).find("its header states 5001"), std::string::npos);
    EXPECT_NE(refusal(chunk, 4999).find("more than the 4999 allowed"), std::string::npos);
    Bytes followed = chunk;
    followed.push_back(0);
    EXPECT_NE(refusal(followed).find("bytes follow its frame"), std::string::npos);
    EXPECT_NE(refusal(Bytes(chunk.begin(), chunk.end() - 1)).find("no whole frame"), std::string::npos);

    // A frame that does not record its content size.
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    Bytes silent(ZSTD_compressBound(data.size()));
    ZSTD_outBuffer out{silent.data(), silent.size(), 0};
    ZSTD_inBuffer in{data.data(), data.size(), 0};
    ASSERT_EQ(ZSTD_compressStream2(context, &out, &in, ZSTD_e_end), 0u);
    ZSTD_freeCCtx(context);
    silent.resize(out.pos);
    EXPECT_NE(refusal(with_frame(5000, silent)).find("does not state its content size"), std::string::npos);

    // Damage inside the frame is Zstandard's to find.
    Bytes damaged = chunk;
    damaged[damaged.size() / 2] ^= 0xFF;
    EXPECT_FALSE(decode_zstd_chunk(damaged).ok() && decode_zstd_chunk(damaged).value() == data);
}

// A frame whose header states more than its blocks can produce is refused
// before a buffer of the stated length is reserved: a raw block of 100
// bytes under a header stating 4 GiB - 1.
TEST(ZstdChunk, RefusesALengthItsBlocksCannotProduce) {
    Bytes frame(12 + 100, 'x');
    store_le(&frame[0], uint32_t{0xFD2FB528});  // the magic
    frame[4] = 0xA0;                            // single segment, a 4-byte content size
    store_le(&frame[5], uint32_t{UINT32_MAX});
    const uint32_t raw_block = 100 << 3 | 1;    // the last block, raw, 100 bytes
    frame[9] = uint8_t(raw_block), frame[10] = uint8_t(raw_block >> 8), frame[11] = uint8_t(raw_block >> 16);
    EXPECT_NE(refusal(with_frame(UINT32_MAX, frame)).find("more than its frame's blocks can hold"), std::string::npos);
    store_le(&frame[5], uint32_t{100});  // the same frame stating its true size
    EXPECT_EQ(refusal(with_frame(100, frame)), "accepted");
}

}  // namespace
}  // namespace zelk
