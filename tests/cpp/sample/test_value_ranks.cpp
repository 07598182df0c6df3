// Dictionary ranks by element bits: every value found again, duplicates
// refused, in the dense table and in the hashed one (with keys alike in
// their low bits, which a poor hash would pile up), and a dense table over
// a range of small elements.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sample/value_ranks.h"

namespace zelk {
namespace {

TEST(ValueRanks, EveryValueKeepsItsRankAndNoneIsAddedTwice) {
    for (unsigned bits : {8u, 16u, 24u, 64u}) {
        const size_t count = bits == 8 ? 256 : 5000;
        std::vector<uint64_t> values;
        for (uint64_t i = 0; i < count; ++i) {
            values.push_back(bits == 64 ? i << 40 | 0xFFFF : bits == 24 ? i * 3001 % (1 << 24) : i * 13 % (uint64_t{1} << bits));
        }
        ValueRanks ranks(bits, count);
        for (size_t i = 0; i < count; ++i) ASSERT_TRUE(ranks.add(values[i], static_cast<uint32_t>(i))) << bits;
        for (size_t i = 0; i < count; ++i) {
            EXPECT_FALSE(ranks.add(values[i], 0));
            ASSERT_EQ(ranks.rank(values[i]), i) << bits;
        }
    }
}

TEST(ValueRanks, ARangeOfSmallElementsWrapsAndLeavesTheRestWithoutRank) {
    // int16 values -3..4 as bits: 0xFFFD, 0xFFFE, 0xFFFF, 0, 1, ..., 4.
    ValueRanks ranks(16, 8, 0xFFFD, 4);
    for (uint32_t rank = 0; rank < 8; ++rank) ASSERT_TRUE(ranks.add((0xFFFD + rank) & 0xFFFF, rank));
    for (uint32_t rank = 0; rank < 8; ++rank) EXPECT_EQ(ranks.rank((0xFFFD + rank) & 0xFFFF), rank);
    for (uint64_t outside : {5u, 0xFFFCu, 0x8000u}) {
        EXPECT_EQ(ranks.rank(outside), UINT32_MAX);
        EXPECT_FALSE(ranks.add(outside, 9));
    }
}

}  // namespace
}  // namespace zelk
