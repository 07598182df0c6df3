// Rice codes: exact round trips at every parameter, escapes included, and
// a reader that says when it ran past its bytes.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "entropy/rice_coder.h"

namespace zelk {
namespace {

TEST(RiceCoder, RoundTripsEveryParameterAndEscape) {
    std::mt19937_64 rng(3);
    std::vector<std::pair<uint64_t, unsigned>> numbers;  // (value, k)
    for (unsigned k = 0; k < 63; ++k) {
        for (int i = 0; i < 40; ++i) numbers.push_back({rng() >> (rng() % 64), k});
        numbers.push_back({~uint64_t{0}, k});
        numbers.push_back({0, k});
    }
    std::vector<uint8_t> bytes;
    BitWriter writer(bytes);
    for (const auto& [value, k] : numbers) writer.put_rice(value, k, 64);
    writer.put(5, 3);
    writer.finish();
    BitReader reader(bytes);
    for (const auto& [value, k] : numbers) ASSERT_EQ(reader.get_rice(k, 64), value) << k;
    EXPECT_EQ(reader.get(3), 5u);
    EXPECT_FALSE(reader.overrun());
    reader.get(9);
    EXPECT_TRUE(reader.overrun());
}

TEST(RiceCoder, TheParameterFollowsTheMean) {
    EXPECT_EQ(rice_parameter(0, 100), 0u);
    EXPECT_EQ(rice_parameter(100, 100), 1u);
    EXPECT_EQ(rice_parameter(1000 * 100, 100), 10u);
    EXPECT_EQ(max_rice_numbers(10), 80u);
}

}  // namespace
}  // namespace zelk
