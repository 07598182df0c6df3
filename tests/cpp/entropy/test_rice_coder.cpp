// Rice codes: exact round trips at every parameter, escapes included, and
// a reader that says when it ran past its bytes.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "entropy/rice_coder.h"

namespace zelk {
namespace {

TEST(RiceCoder, RoundTripsEveryParameterAndEscape) {
    // Frames of two channels, with parameters k and 62 - k, a few bits
    // between batches so that every batch starts at another bit.
    std::mt19937_64 rng(3);
    std::vector<std::vector<uint64_t>> batches;
    std::vector<uint8_t> bytes;
    BitWriter writer(bytes);
    for (unsigned k = 0; k < 63; ++k) {
        std::vector<uint64_t> numbers{~uint64_t{0}, 0, 0, ~uint64_t{0}};
        for (int i = 0; i < 40; ++i) numbers.push_back(rng() >> (rng() % 64));
        const std::array<unsigned, 2> parameters{k, 62 - k};
        writer.put_rice_frames(numbers, parameters, 64);
        writer.put(k, 6);
        batches.push_back(std::move(numbers));
    }
    writer.finish();
    BitReader reader(bytes);
    for (unsigned k = 0; k < 63; ++k) {
        for (size_t i = 0; i < batches[k].size(); ++i) {
            ASSERT_EQ(reader.get_rice(i % 2 ? 62 - k : k, 64), batches[k][i]) << k << " " << i;
        }
        ASSERT_EQ(reader.get(6), k);
    }
    EXPECT_FALSE(reader.overrun());
    reader.get(9);
    EXPECT_TRUE(reader.overrun());
}

TEST(RiceCoder, EscapesHoldTheStreamsWidth) {
    std::vector<uint8_t> bytes;
    BitWriter writer(bytes);
    const std::vector<uint64_t> numbers{0xffff, 3, 0x8001};
    writer.put_rice_frames(numbers, std::array<unsigned, 1>{0}, 16);
    writer.finish();
    EXPECT_EQ(bytes.size(), (24 + 16 + 4 + 24 + 16 + 7) / 8);
    BitReader reader(bytes);
    for (uint64_t number : numbers) EXPECT_EQ(reader.get_rice(0, 16), number);
}

TEST(RiceCoder, TheParameterFollowsTheMean) {
    EXPECT_EQ(rice_parameter(0, 100), 0u);
    EXPECT_EQ(rice_parameter(100, 100), 1u);
    EXPECT_EQ(rice_parameter(1000 * 100, 100), 10u);
    EXPECT_EQ(max_rice_numbers(10), 80u);
}

}  // namespace
}  // namespace zelk
