// The transformer's block search: the neutral start, exact blocks, the
// distance-weighted mean and the four-byte alignment of the keys.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "model/reference/transformer.h"

namespace zelk {
namespace {

Transformer fed(const std::vector<uint8_t>& bytes) {
    Transformer t;
    for (uint8_t b : bytes) t.update(b);
    return t;
}

TEST(Transformer, NeutralBeforeThirtyTwoBytes) {
    Transformer t;
    for (int n = 0; n < 32; ++n) {
        EXPECT_EQ(t.predict(), 128) << n;
        t.update(7);
    }
    EXPECT_EQ(t.predict(), 7);  // the block just before the query is exact
}

TEST(Transformer, BlocksBeforeTheChunkReadAsZero) {
    // Query 1,1,1,1; every block is 0,0,0,0 at distance 4 and weighs 21845;
    // only the nearest is followed by a 1: (21845 + 338597) / 677195 = 0.
    std::vector<uint8_t> bytes(32, 0);
    for (int i = 28; i < 32; ++i) bytes[i] = 1;
    EXPECT_EQ(fed(bytes).predict(), 0);
}

TEST(Transformer, PeriodFourDataIsExactFromThirtyTwoOn) {
    std::mt19937 rng(3);
    const uint8_t period[4] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                               static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
    Transformer t;
    for (int n = 0; n < 6000; ++n) {  // past the ring's 4096 bytes
        if (n >= 32) {
            ASSERT_EQ(t.predict(), period[n % 4]) << n;
        }
        t.update(period[n % 4]);
    }
}

TEST(Transformer, NearestExactBlockWins) {
    std::vector<uint8_t> bytes(128, 50);
    auto put = [&](int at, std::vector<uint8_t> v) { std::copy(v.begin(), v.end(), bytes.begin() + at); };
    put(124, {1, 2, 3, 4});       // query
    put(100, {1, 2, 3, 4, 111});  // k = 6
    put(60, {1, 2, 3, 4, 222});   // k = 16
    EXPECT_EQ(fed(bytes).predict(), 111);
}

TEST(Transformer, UnalignedOccurrenceCountsOnlyByDistance) {
    std::vector<uint8_t> bytes(128, 50);
    auto put = [&](int at, std::vector<uint8_t> v) { std::copy(v.begin(), v.end(), bytes.begin() + at); };
    put(124, {1, 2, 3, 4});       // query
    put(117, {1, 2, 3, 4, 200});  // exact, but not on a block boundary
    // Blocks: 4,200,50,50 (d 294, weight 442, value 1); 50,1,2,3 (d 52,
    // weight 2427, value 4); 29 blocks of 50s (d 190, weight 682, value 50).
    // (442 + 9708 + 988900 + 11323) / 22647 = 44.
    EXPECT_EQ(fed(bytes).predict(), 44);
}

}  // namespace
}  // namespace zelk
