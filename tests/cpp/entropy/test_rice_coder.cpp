// Rice codes: exact round trips at every parameter, escapes included, and
// a reader that says when it ran past its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "entropy/rice_coder.h"

namespace zelk {
namespace {

TEST(RiceCoder, RoundTripsEveryParameterAndEscape) {
    // Batches of two channels, with parameters k and 62 - k, and of one
    // with a parameter below 28, whose codes are short enough to be packed
    // in pairs; 1 to 31 bits before each batch so that every batch starts
    // at another bit, with up to 31 of them not yet stored.
    std::mt19937_64 rng(3);
    struct Batch {
        std::vector<uint64_t> numbers;
        std::vector<unsigned> parameters;
    };
    std::vector<Batch> batches;
    std::vector<uint8_t> bytes;
    BitWriter writer(bytes);
    for (unsigned k = 0; k < 63; ++k) {
        for (const std::vector<unsigned>& parameters : {std::vector<unsigned>{k, 62 - k}, std::vector<unsigned>{k % 28}}) {
            std::vector<uint64_t> numbers{~uint64_t{0}, 0, 0, ~uint64_t{0}};
            const unsigned least_shift = parameters.size() == 1 ? 64 - k % 28 - 6 : 0;
            for (int i = 0; i < 40; ++i) numbers.push_back(rng() >> std::max<unsigned>(least_shift, rng() % 64));
            std::rotate(numbers.begin(), numbers.begin() + 4, numbers.end());  // short codes first
            writer.put(k, 6 + k % 26);
            writer.put_rice_frames(numbers, parameters, 64);
            batches.push_back({std::move(numbers), parameters});
        }
    }
    writer.finish();
    BitReader reader(bytes);
    for (size_t b = 0; b < batches.size(); ++b) {
        const unsigned k = static_cast<unsigned>(b / 2);
        ASSERT_EQ(reader.get(6 + k % 26), k);
        const Batch& batch = batches[b];
        for (size_t i = 0; i < batch.numbers.size(); ++i) {
            ASSERT_EQ(reader.get_rice(batch.parameters[i % batch.parameters.size()], 64), batch.numbers[i]) << b << " " << i;
        }
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
