// The Mixer's blend and learning step, checked against values worked out by
// hand from its fixed-point rules, including the places where they wrap.
#include <gtest/gtest.h>

#include <cstdint>

#include "model/mixer.h"

namespace zelk {
namespace {

constexpr Predictions all(uint8_t v) { return {v, v, v, v, v, v}; }

Mixer fresh() { return Mixer(std::nullopt, std::nullopt); }

TEST(Mixer, BlendsWithDefaultWeights) {
    // s = 100 * 65537 = 6553700; trend 0; 6553700 ⊗ 26214 = 2621439; +32768 >> 16 = 40.
    EXPECT_EQ(fresh().predict(all(100)), 40);
    // 128 * 6554 = 838912; ⊗ 26214 = 335559; +32768 >> 16 = 5.
    EXPECT_EQ(fresh().predict({0, 0, 0, 0, 0, 128}), 5);
}

TEST(Mixer, FirstExactUpdateWithDefaultWeights) {
    Mixer m = fresh();
    m.update(32, 100, all(100));
    // Every weight + 66, total 65933, each scaled by 65536 / 65933 and truncated.
    EXPECT_EQ(m.weights(), (WeightSet{26121, 13093, 6580, 6580, 6580, 6580}));
    EXPECT_EQ(m.mean(), 8370268);  // 8388608 + (-28 * 65536) ⊗ 655
    // 65536000 ⊗ 62259 + (d1 ⊗ d2) ⊗ 3277 = 62259000 + 2543490
    EXPECT_EQ(m.variance(), 64802490);
    EXPECT_EQ(m.trend_history(), (std::array<int32_t, 2>{6553600, 0}));
    EXPECT_EQ(m.trend_coefficients(), (std::array<int32_t, 2>{65536, 0}));  // t was 0: no step
    EXPECT_EQ(m.best(), 0u);
    EXPECT_EQ(m.run(), 32u);
}

TEST(Mixer, ZeroWeightsPredictZeroThenGetTheFloor) {
    Mixer m(WeightSet{}, std::nullopt);
    EXPECT_EQ(m.predict(all(200)), 0);
    m.update(32, 50, all(50));
    EXPECT_EQ(m.weights(), (WeightSet{10922, 10922, 10922, 10922, 10922, 10922}));  // 66 * 65536 / 396
}

TEST(Mixer, NonPositiveTotalSkipsNormalisation) {
    Mixer m(WeightSet{-1000, -1000, -1000, -1000, -1000, -1000}, std::nullopt);
    m.update(32, 50, all(50));
    EXPECT_EQ(m.weights(), (WeightSet{-934, -934, -934, -934, -934, -934}));
}

TEST(Mixer, FloorAddWraps) {
    Mixer m(WeightSet{INT32_MAX, 0, 0, 0, 0, 0}, std::nullopt);
    m.update(32, 50, all(50));
    // INT32_MAX + 66 wraps negative, so the total is too and nothing is scaled.
    EXPECT_EQ(m.weights(), (WeightSet{INT32_MIN + 65, 66, 66, 66, 66, 66}));
}

TEST(Mixer, NormalisationTruncatesTowardZeroAndKeepsLow32Bits) {
    {
        Mixer m(WeightSet{100000, -1000, 0, 0, 0, 0}, std::nullopt);
        m.update(32, 50, all(50));
        // total 99396; -934 * 65536 / 99396 = -615.8 -> -615 (not -616).
        EXPECT_EQ(m.weights(), (WeightSet{65977, -615, 43, 43, 43, 43}));
    }
    {
        Mixer m(WeightSet{400000, -400385, 0, 0, 0, 0}, std::nullopt);
        m.update(32, 50, all(50));
        // total 11: 400066 * 65536 / 11 = 2383520488, past INT32_MAX, read as
        // 2383520488 - 2^32; -400319 * 65536 / 11 likewise wraps positive.
        EXPECT_EQ(m.weights(), (WeightSet{-1911446808, 1909939480, 393216, 393216, 393216, 393216}));
    }
}

TEST(Mixer, WeightsDecayByErrorAndRunRaisesTheRate) {
    Mixer m = fresh();
    const Predictions p{100, 0, 100, 100, 100, 100};
    // Low variance: base rate 328; run 32 keeps it. cut = 100 * 257 * 328 >> 16
    // = 128; 65408 ⊗ 13107 = 13081; then floor and scaling by 65536 / 65907.
    m.update(32, 100, p);
    EXPECT_EQ(m.weights(), (WeightSet{26132, 13072, 6582, 6582, 6582, 6582}));
    // Run 64: rate 328 * 5 / 2 = 820, cut 321.
    m.update(32, 100, p);
    EXPECT_EQ(m.weights(), (WeightSet{26067, 13008, 6614, 6614, 6614, 6614}));
    EXPECT_EQ(m.run(), 64u);
}

TEST(Mixer, AnchorPullsBeforeTheFloor) {
    {
        Mixer m(std::nullopt, WeightSet{65536, 65536, 65536, 65536, 65536, 65536});
        m.update(32, 100, all(100));
        // 26214 + (39322 ⊗ 66) = 26253, ...; then + 66 and scaling.
        EXPECT_EQ(m.weights(), (WeightSet{26031, 13080, 6606, 6606, 6606, 6606}));
    }
    {
        // All-zero anchors still pull: 26214 + (-26214 ⊗ 66) = 26214 - 27.
        Mixer m(std::nullopt, WeightSet{});
        m.update(32, 100, all(100));
        EXPECT_EQ(m.weights(), (WeightSet{26122, 13093, 6580, 6580, 6580, 6580}));
    }
}

TEST(Mixer, NearestModelTiesGoToTheLowestSlot) {
    Mixer m = fresh();
    m.update(32, 50, {60, 40, 53, 47, 90, 10});  // slots 2 and 3 both 3 away
    EXPECT_EQ(m.best(), 2u);
    EXPECT_EQ(m.run(), 0u);  // a new nearest model starts its run afresh
    m.update(32, 50, {50, 70, 50, 50, 50, 50});
    EXPECT_EQ(m.best(), 0u);
    m.update(32, 50, {50, 70, 50, 50, 50, 50});
    EXPECT_EQ(m.best(), 0u);  // slot 3 always ties slot 0 and never wins
    EXPECT_EQ(m.run(), 32u);
}

TEST(Mixer, PassesTheWinnerThroughOnceItsRunExceeds32) {
    Mixer m = fresh();
    const Predictions odd{77, 0, 0, 0, 0, 0};
    m.update(32, 100, all(100));  // run 32: still mixing
    const uint8_t mixed = m.predict(odd);
    EXPECT_NE(mixed, 77);
    m.update(1, 100, all(100));  // run 33
    EXPECT_EQ(m.predict(odd), 77);
    m.update(32, 100, {99, 100, 100, 100, 100, 100});  // slot 1 now nearest
    EXPECT_EQ(m.best(), 1u);
    EXPECT_NE(m.predict(odd), 0);  // back to mixing at once, not passing slot 1's 0
}

TEST(Mixer, TrendFilterSteps) {
    // First update x=100 sets t0; the second sees err = X - k0 ⊗ t0.
    // x=110: g0 = 6553600 ⊗ 655360 = 65536000, step 7000, m0 = 7000 ⊗ 3277 = 350.
    // x=90: step -7000, m0 = -7000 ⊗ 3277 = -351 (floored).
    for (auto [x, k0] : {std::pair<uint8_t, int32_t>{110, 65886}, {90, 65185}}) {
        Mixer m = fresh();
        m.update(32, 100, all(100));
        m.update(32, x, all(x));
        EXPECT_EQ(m.trend_coefficients(), (std::array<int32_t, 2>{k0, 0})) << int{x};
        EXPECT_EQ(m.trend_history(), (std::array<int32_t, 2>{int32_t{x} * 65536, 6553600}));
    }
}

TEST(Mixer, TrendIsBlendedWhileVarianceIsLow) {
    Mixer m = fresh();
    m.update(32, 100, all(100));
    // trend = 65536 ⊗ 6553600; 6553600 ⊗ 39322 = 3932200; +32768 >> 16 = 60.
    EXPECT_EQ(m.predict(all(0)), 60);

    Mixer noisy = fresh();
    for (int i = 0; i < 200; ++i) noisy.update(32, (i % 2) ? 255 : 0, all(0));
    ASSERT_GE(noisy.variance(), 132710400);
    EXPECT_EQ(noisy.predict(all(0)), 0);  // no trend above 2025.0
}

TEST(Mixer, VarianceWrapsForBytesFarFromTheMean) {
    Mixer m = fresh();
    for (int i = 0; i < 300; ++i) m.update(32, 0, all(0));  // mean drifts toward 0
    ASSERT_LT(m.mean(), 8 * 65536);
    ASSERT_GE(m.variance(), 0);
    // Deviations near 250 bytes each: d1 ⊗ d2 passes 2^31 and turns negative.
    m.update(32, 255, all(255));
    EXPECT_LT(m.variance(), 0);
}

TEST(Mixer, TrendCoefficientsStayClamped) {
    Mixer m = fresh();
    bool k0_reached = false;
    bool k1_reached = false;
    for (int i = 0; i < 5000; ++i) {
        const uint8_t x = static_cast<uint8_t>((i * 37) % 256 < 128 ? i % 256 : 255 - i % 256);
        m.update(32, x, all(x));
        const auto& k = m.trend_coefficients();
        ASSERT_LE(std::abs(k[0]), 124518);
        ASSERT_LE(std::abs(k[1]), 64880);
        k0_reached |= std::abs(k[0]) == 124518;
        k1_reached |= std::abs(k[1]) == 64880;
    }
    EXPECT_TRUE(k0_reached || k1_reached);
}

}  // namespace
}  // namespace zelk
