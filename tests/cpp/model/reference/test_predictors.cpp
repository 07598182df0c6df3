// The four online predictors: their start state, the worked cases of each
// rule, and the match table's behaviour once a chunk outgrows its ring.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <vector>

#include "model/fixed_math.h"
#include "model/reference/predictors.h"

namespace zelk {
namespace {

template <typename Model>
void feed(Model& m, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) m.update(b);
}

TEST(Predictors, AllYieldZeroAtTheStartOfAChunk) {
    EXPECT_EQ(LastBytePredictor{}.predict(), 0);
    EXPECT_EQ(ContextPredictor{}.predict(), 0);
    EXPECT_EQ(LmsPredictor{}.predict(), 0);
    EXPECT_EQ(MatchPredictor{}.predict(), 0);
}

TEST(ContextPredictor, PredictsTheFollowerOfTheLatestSameThreeBytes) {
    ContextPredictor c;
    feed(c, {1, 2, 3, 10, 3, 2, 1, 20, 1, 2, 3, 30, 1, 2, 3});
    EXPECT_EQ(c.predict(), 30);  // latest of two occurrences of 1,2,3
    c.update(40);
    feed(c, {3, 2, 1});
    EXPECT_EQ(c.predict(), 20);  // the reversed context is a context of its own
    feed(c, {9, 9});
    EXPECT_EQ(c.predict(), 0);  // 1,9,9 never seen
}

TEST(ContextPredictor, ChunkStartActsAsThreeZeroBytes) {
    ContextPredictor c;
    feed(c, {9, 0, 0, 0});
    EXPECT_EQ(c.predict(), 9);
}

TEST(LmsPredictor, WeightStepDividesTowardZero) {
    LmsPredictor lms;
    lms.update(200);  // empty history: nothing to learn
    lms.update(0);    // predicted 0, exact
    EXPECT_EQ(lms.weights(), lms_model::INITIAL_WEIGHTS);
    // The 200 is now two bytes back: s = 3276 * 200 + 32768 = 687968, p = 10.
    EXPECT_EQ(lms.predict(), 10);
    // err = (0 - 10) * 983 = -9830; lag-2 delta = 200 * -9830 / 255 = -7709.8,
    // truncated to -7709 (flooring would give -7710).
    lms.update(0);
    auto expected = lms_model::INITIAL_WEIGHTS;
    expected[1] = 3276 - 7709;
    EXPECT_EQ(lms.weights(), expected);
    EXPECT_EQ(lms.predict(), 10);  // the 200 meets the untouched lag-3 weight now
}

TEST(LmsPredictor, WeightsStayWithinBoundsAndReachThem) {
    std::mt19937 rng(7);
    for (int pattern = 0; pattern < 2; ++pattern) {
        LmsPredictor lms;
        int32_t widest = 0;
        for (int i = 0; i < 20000; ++i) {
            uint8_t b = 0;
            if (pattern == 0) b = static_cast<uint8_t>(rng());
            if (pattern == 1) b = (i % 64 < 3) ? 255 : 0;
            lms.update(b);
            for (int32_t w : lms.weights()) {
                ASSERT_LE(w, lms_model::WEIGHT_BOUND);
                ASSERT_GE(w, -lms_model::WEIGHT_BOUND);
                widest = std::max(widest, std::abs(w));
            }
        }
        EXPECT_EQ(widest, lms_model::WEIGHT_BOUND) << "pattern " << pattern;
    }
}

TEST(MatchPredictor, HashesTheOldestByteIntoTheLowBits) {
    EXPECT_EQ(match_model::hash(1, 0, 0, 0), 0x779B9u);
    EXPECT_EQ(match_model::hash(0, 0, 0, 1), 0u);  // 0xB9000000 keeps no low bits
    EXPECT_EQ(match_model::hash(0, 1, 0, 0), (0x9E3779B9u << 8) & 0xFFFFFu);
}

TEST(MatchPredictor, PredictsThePreviousByteWithoutAMatch) {
    MatchPredictor m;
    feed(m, {5, 6, 7});
    EXPECT_EQ(m.predict(), 0);  // fewer than four bytes
    m.update(8);
    EXPECT_EQ(m.predict(), 8);
    feed(m, {11, 12, 13});
    EXPECT_EQ(m.predict(), 13);
}

TEST(MatchPredictor, FindsTheLatestVerifiedOccurrence) {
    MatchPredictor m;
    feed(m, {0, 1, 2, 3, 4, 50, 1, 2, 3, 4, 60, 9, 1, 2, 3, 4});
    EXPECT_EQ(m.predict(), 60);
}

TEST(MatchPredictor, WindowAtChunkStartReadsAsEmpty) {
    MatchPredictor m;
    feed(m, {10, 20, 30, 40, 99, 1, 2, 10, 20, 30, 40});
    EXPECT_EQ(m.predict(), 40);  // not 99
}

TEST(MatchPredictor, CollidingWindowTakesOverTheEntry) {
    // Find a window that shares the hash of 1,2,3,4.
    const uint32_t target = match_model::hash(1, 2, 3, 4);
    std::vector<uint8_t> other;
    for (uint32_t v = 0; v < (1u << 24) && other.empty(); ++v) {
        const uint8_t a = v & 0xFF, b = (v >> 8) & 0xFF, c = v >> 16;
        if (match_model::hash(a, b, c, 5) == target && !(a == 1 && b == 2 && c == 3)) other = {a, b, c, 5};
    }
    ASSERT_FALSE(other.empty());
    MatchPredictor m;
    feed(m, {7, 1, 2, 3, 4, 99});
    std::vector<uint8_t> rest = other;
    rest.push_back(77);
    feed(m, rest);
    feed(m, {1, 2, 3, 4});
    EXPECT_EQ(m.predict(), 4);  // the entry now names the other window; verification rejects it
}

// 0 1 2 3 4 [1 2 3 4] 99, then filler up to the given length.
MatchPredictor marked_then_filled(uint64_t length, uint8_t filler) {
    MatchPredictor m;
    feed(m, {0, 0, 0, 0, 0, 1, 2, 3, 4, 99});
    for (uint64_t i = 10; i < length; ++i) m.update(filler);
    return m;
}

TEST(MatchPredictor, EntriesOlderThanTheRingNeedTheirBytesStillInPlace) {
    constexpr uint64_t RING = uint64_t{1} << 20;
    // The window 1,2,3,4 sits at position 5, its follower 99 at 9.
    {
        // Within the ring: honoured.
        MatchPredictor m = marked_then_filled(RING - 100, 200);
        feed(m, {1, 2, 3, 4});
        EXPECT_EQ(m.predict(), 99);
    }
    {
        // Past the ring, at a place whose old bytes were overwritten: refused.
        MatchPredictor m = marked_then_filled(RING + 100, 200);
        feed(m, {1, 2, 3, 4});
        EXPECT_EQ(m.predict(), 4);
    }
    {
        // Past the ring, with the same four bytes rewritten at the entry's ring
        // slots (positions 2^20 + 5 .. 2^20 + 8): verified, and the slot four
        // bytes on still holds the follower of the old occurrence.
        MatchPredictor m = marked_then_filled(RING + 5, 200);
        feed(m, {1, 2, 3, 4});
        EXPECT_EQ(m.predict(), 99);
    }
}

}  // namespace
}  // namespace zelk
