// Chunks of every mode through one door: the smallest chunk chosen, its mode
// and length read back, and the refusals that keep a hostile chunk's
// decoding in proportion to its size.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "codec/any_chunk.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;

std::string refusal(const Bytes& chunk, std::optional<ByteView> weights = std::nullopt,
                    uint64_t max_length = UINT32_MAX) {
    const auto result = decode_any_chunk(chunk, weights, max_length);
    return result ? "accepted" : result.error().display();
}

TEST(AnyChunk, ChoosesTheSmallerChunkAndReadsItBack) {
    const Bytes wave = test::sine_with_noise(200000, 1), noise = test::random_bytes(3000, 2);
    Bytes text;
    for (int i = 0; text.size() < 100000; ++i) text.push_back(static_cast<uint8_t>("the lazy dog "[i % 13]));
    const ChunkEffort always{3, ZelkEffort::Always}, never{1, ZelkEffort::Never};
    using Case = std::tuple<const Bytes*, ChunkEffort, CodecMode>;
    for (const auto& [data, effort, mode] : {Case{&wave, always, CodecMode::Plain},
                                             Case{&wave, never, CodecMode::ZstdFallback},
                                             Case{&text, always, CodecMode::ZstdFallback},
                                             Case{&noise, always, CodecMode::ZstdFallback}}) {
        const ChosenChunk chunk = encode_smallest_chunk(*data, effort, EncoderThreads::One);
        EXPECT_EQ(chunk.mode, mode);
        const ChunkInfo info = read_chunk_info(chunk.bytes).value();
        EXPECT_EQ(info.mode, mode);
        EXPECT_EQ(info.length, data->size());
        EXPECT_EQ(decode_any_chunk(chunk.bytes, std::nullopt).value(), *data);
    }
}

// A zelk chunk of either mode is refused below the shortest a conforming
// encoder writes for its length, and above max_length, before decoding.
TEST(AnyChunk, RefusesZelkChunksBelowTheFloorOrAboveTheLimit) {
    const Bytes data(100000, 7);
    const Bytes weights(48, 1);
    NullDebugSink quiet;
    for (const std::optional<ByteView> given : {std::optional<ByteView>(), std::optional<ByteView>(weights)}) {
        const Bytes chunk = compress_chunk(data, 0, given, quiet).value();
        EXPECT_EQ(refusal(chunk, given), "accepted");
        EXPECT_NE(refusal(chunk, given, 99999).find("more than max_length (99999)"), std::string::npos);
        const size_t header = given ? NEURAL_HEADER_LEN : PLAIN_HEADER_LEN;
        const Bytes cut(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(header + 54000 - 1));
        EXPECT_NE(refusal(cut, given).find("cannot hold 100000 bytes"), std::string::npos);
    }
    // Nine bytes stating 4 GiB - 1, which would otherwise decode for minutes.
    EXPECT_NE(refusal(Bytes{0xA0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}).find("cannot hold"), std::string::npos);
}

TEST(AnyChunk, ReadsOnlyTheModesItDecodes) {
    EXPECT_FALSE(read_chunk_info(Bytes{0xA0, 1, 0}).ok());
    EXPECT_FALSE(read_chunk_info(Bytes{0xA3, 1, 0, 0, 0, 9}).ok());
    EXPECT_FALSE(read_chunk_info(Bytes{0x90, 1, 0, 0, 0, 9}).ok());
    EXPECT_EQ(read_chunk_info(Bytes{0xA1, 9, 0, 0, 0}).value().length, 9u);
}

}  // namespace
}  // namespace zelk
