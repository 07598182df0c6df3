// Fixed-point conversion, the Haar transform and the matrix compressor.
#include "matrix/tensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/fault.h"

namespace zelk {
namespace {

constexpr std::int32_t RAW_MIN = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t RAW_MAX = std::numeric_limits<std::int32_t>::max();
const double TICK = std::ldexp(1.0, -17);  // half a fixed-point step

std::string fault_text(const std::function<void()>& call) {
    try {
        call();
    } catch (const Fault& f) {
        return f.message();
    }
    return "<no fault>";
}

std::vector<double> compressed(std::vector<double> data, std::uint64_t rows, std::uint64_t cols,
                               double threshold = 0.0) {
    const auto blocks = TensorCompressor(threshold).compress(data, rows, cols);
    return blocks.empty() ? std::vector<double>{} : blocks.at(0);
}

std::vector<std::int32_t> transformed(const std::vector<double>& values) {
    std::vector<FixedPoint> fixed;
    for (double v : values) fixed.push_back(to_fixed(v));
    haar_transform(fixed, 0, fixed.size());
    std::vector<std::int32_t> raws;
    for (FixedPoint f : fixed) raws.push_back(f.raw);
    return raws;
}

TEST(ToFixed, RoundsTiesToEvenSymmetrically) {
    const double max = 32767.9999847412109375;
    const std::vector<std::pair<double, std::int32_t>> cases = {
        {0.0, 0}, {-0.0, 0}, {1.0, 65536}, {-1.0, -65536}, {0.1, 6554},
        {1.0000152587890625, 65537}, {TICK, 0}, {-TICK, 0},
        {std::nextafter(TICK, 1.0), 1}, {-std::nextafter(TICK, 1.0), -1},
        {std::nextafter(TICK, 0.0), 0}, {3 * TICK, 2}, {5 * TICK, 2}, {-3 * TICK, -2},
        {-5 * TICK, -2}, {7 * TICK, 4}, {max, RAW_MAX}, {-32768.0, RAW_MIN},
        {std::numeric_limits<double>::denorm_min(), 0},
        {-std::numeric_limits<double>::denorm_min(), 0},
        {std::nextafter(std::numeric_limits<double>::min(), 0.0), 0},
        {std::numeric_limits<double>::min(), 0},
    };
    for (const auto& [x, raw] : cases) EXPECT_EQ(to_fixed(x).raw, raw) << x;
}

TEST(ToFixed, SaturatesOutsideTheRange) {
    const double top_tie = (2147483648.0 - 0.5) / 65536;  // rounds up to 2^31
    const std::vector<std::pair<double, std::int32_t>> cases = {
        {std::nextafter(top_tie, 0.0), RAW_MAX}, {top_tie, RAW_MAX}, {32768.0, RAW_MAX},
        {40000.0, RAW_MAX}, {65536.0, RAW_MAX}, {98304.5, RAW_MAX}, {std::ldexp(1.0, 36), RAW_MAX},
        {std::ldexp(1.0, 68), RAW_MAX}, {1e300, RAW_MAX},
        {std::numeric_limits<double>::max(), RAW_MAX},
        {-top_tie, RAW_MIN}, {-32768.0 - TICK, RAW_MIN}, {-32768.0 - 2 * TICK, RAW_MIN},
        {-40000.0, RAW_MIN}, {-65536.0, RAW_MIN}, {-1e300, RAW_MIN},
        {std::numeric_limits<double>::lowest(), RAW_MIN},
    };
    for (const auto& [x, raw] : cases) EXPECT_EQ(to_fixed(x).raw, raw) << x;
}

// In range, x * 65536 is an exact double, so the hardware's round-to-nearest
// is an independent oracle.
TEST(ToFixed, AgreesWithExactProductRounding) {
    ASSERT_EQ(std::fegetround(), FE_TONEAREST);
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t exponent = 990 + rng() % 50;
        const std::uint64_t bits = (rng() & 0x800fffffffffffffu) | (exponent << 52);
        const double x = std::bit_cast<double>(bits);
        const double rounded = std::clamp(std::nearbyint(x * 65536), -2147483648.0, 2147483647.0);
        ASSERT_EQ(to_fixed(x).raw, static_cast<std::int32_t>(rounded)) << x;
    }
}

TEST(ToFixed, FaultsOnNanAndInfinity) {
    const double inf = std::numeric_limits<double>::infinity();
    for (std::uint64_t bits : {0x7ff8000000000000u, 0xfff8000000000000u, 0x7ff0000000000001u,
                               0xfff0000000000001u, 0x7fffffffffffffffu}) {
        EXPECT_EQ(fault_text([=] { to_fixed(std::bit_cast<double>(bits)); }), "NaN");
    }
    EXPECT_EQ(fault_text([=] { to_fixed(inf); }), "infinite");
    EXPECT_EQ(fault_text([=] { to_fixed(-inf); }), "infinite");
}

TEST(FromFixed, IsExactAndRoundTrips) {
    EXPECT_EQ(from_fixed({RAW_MIN}), -32768.0);
    EXPECT_EQ(from_fixed({RAW_MAX}), 32767.9999847412109375);
    EXPECT_EQ(from_fixed({-1}), -0.0000152587890625);
    EXPECT_EQ(from_fixed({6554}), 0.100006103515625);
    EXPECT_FALSE(std::signbit(from_fixed({0})));
    std::mt19937 rng(3);
    for (int i = 0; i < 100000; ++i) {
        const auto raw = static_cast<std::int32_t>(rng());
        ASSERT_EQ(to_fixed(from_fixed({raw})).raw, raw);
    }
}

TEST(FixedAbs, WrapsOnlyAtTheMinimum) {
    EXPECT_EQ(fixed_abs({-65536}).raw, 65536);
    EXPECT_EQ(fixed_abs({0}).raw, 0);
    EXPECT_EQ(fixed_abs({RAW_MAX}).raw, RAW_MAX);
    EXPECT_EQ(fixed_abs({-RAW_MAX}).raw, RAW_MAX);
    EXPECT_EQ(fixed_abs({RAW_MIN}).raw, RAW_MIN);
}

TEST(HaarTransform, RunsEveryLevelAndKeepsUnpairedValues) {
    using R = std::vector<std::int32_t>;
    EXPECT_EQ(transformed({1, 2, 3, 4}), (R{327680, -131073, -46341, -46341}));
    EXPECT_EQ(transformed({1, 2, 3, 4, 5, 6, 7, 8}),
              (R{834138, -370729, -131073, -131073, -46341, -46341, -46341, -46341}));
    EXPECT_EQ(transformed({1, 2, 3}), (R{139023, -46341, 196608}));
    EXPECT_EQ(transformed({1, 2, 3, 4, 5}), (R{327680, -131073, -46341, -46341, 327680}));
    EXPECT_EQ(transformed({1, 2, 3, 4, 5, 6, 7}),
              (R{327680, -131073, 509751, -46341, -46341, -46341, 458752}));
    EXPECT_EQ(transformed({5}), (R{327680}));
    EXPECT_EQ(transformed({}), R{});
}

TEST(HaarTransform, ScalingRoundsDownAndSaturatesWithSign) {
    auto raw_pair = [](std::int32_t a, std::int32_t b) {
        std::vector<FixedPoint> v{{a}, {b}};
        haar_transform(v, 0, 2);
        return std::pair{v[0].raw, v[1].raw};
    };
    EXPECT_EQ(raw_pair(0, 92682), std::pair(65536, -65537));
    const std::int32_t big = 30000 * 65536;
    EXPECT_EQ(raw_pair(big, big), std::pair(1518501887, 0));
    EXPECT_EQ(raw_pair(-big, -big), std::pair(-1518501888, 0));
    EXPECT_EQ(raw_pair(-big, big), std::pair(0, -1518501888));
    EXPECT_EQ(raw_pair(RAW_MAX, 0), std::pair(1518501887, 1518501887));
    EXPECT_EQ(raw_pair(RAW_MIN, 0), std::pair(-1518501888, -1518501888));
}

TEST(HaarTransform, TouchesOnlyItsStretch) {
    std::vector<FixedPoint> v{{7}, {65536}, {131072}, {9}};
    haar_transform(v, 1, 2);
    EXPECT_EQ(v, (std::vector<FixedPoint>{{7}, {139023}, {-46341}, {9}}));
    haar_transform(v, 4, 0);
    EXPECT_EQ(fault_text([&] { haar_transform(v, 3, 2); }),
              "haar_transform: segment outside the sequence");
    EXPECT_EQ(fault_text([&] { haar_transform(v, 5, 0); }),
              "haar_transform: segment outside the sequence");
    EXPECT_EQ(fault_text([&] { haar_transform(v, 1, UINT64_MAX); }),
              "haar_transform: segment outside the sequence");
}

TEST(TensorCompressor, TransformsRowsThenColumnsIntoColumnMajorOrder) {
    using V = std::vector<double>;
    EXPECT_EQ(compressed({1, 2, 3, 4}, 2, 2), (V{5.0, -2.0000152587890625, -1.0000152587890625, 0}));
    EXPECT_EQ(compressed({1, 1, 1, 1}, 2, 2), (V{2, 0, 0, 0}));
    EXPECT_EQ(compressed({.1, .2, .3, .4}, 2, 2),
              (V{0.4999847412109375, -0.1999969482421875, -0.100006103515625, 0}));
    EXPECT_EQ(compressed({1, 2, 3, 4, 5, 6}, 2, 3),
              (V{6.0, -3.0000152587890625, -1.0000152587890625, 0.0, 6.3639678955078125,
                 -2.1213226318359375}));
    EXPECT_EQ(compressed({1, 2, 3, 4, 5, 6}, 3, 2),
              (V{5.0, -2.0000152587890625, 7.7781829833984375, -1.0000152587890625, 0.0,
                 -0.7071075439453125}));
    EXPECT_EQ(compressed({1, 2, 3, 4, 5, 6}, 1, 6),
              (V{5.0, -2.0000152587890625, 7.7781829833984375, -0.7071075439453125,
                 -0.7071075439453125, -0.7071075439453125}));
    const V row4{5.0, -2.0000152587890625, -0.7071075439453125, -0.7071075439453125};
    EXPECT_EQ(compressed({1, 2, 3, 4}, 1, 4), row4);
    EXPECT_EQ(compressed({1, 2, 3, 4}, 4, 1), row4);
    EXPECT_EQ(compressed({1, 2, 3}, 1, 3), (V{2.1213226318359375, -0.7071075439453125, 3.0}));
    EXPECT_EQ(compressed({5}, 1, 1), (V{5}));
    EXPECT_EQ(compressed({-30000, -30000}, 1, 2), (V{-23170.5, 0}));
    EXPECT_EQ(compressed({-30000, 30000}, 1, 2), (V{0, -23170.5}));
    EXPECT_EQ(compressed({30000, 30000}, 1, 2), (V{23170.49998474121, 0}));
    EXPECT_EQ(compressed({40000}, 1, 1), (V{32767.99998474121}));
    EXPECT_EQ(compressed({1e300}, 1, 1), (V{32767.99998474121}));
}

TEST(TensorCompressor, ThresholdIsInclusiveOnTheTrueMagnitude) {
    using V = std::vector<double>;
    const V data{1, 2, 3, 4};
    EXPECT_EQ(compressed(data, 2, 2, 1.0000152587890625), (V{5.0, -2.0000152587890625, 0, 0}));
    EXPECT_EQ(compressed(data, 2, 2, 2.0000152587890625), (V{5.0, 0, 0, 0}));
    EXPECT_EQ(compressed(data, 2, 2, -1.0), compressed(data, 2, 2));
    EXPECT_EQ(compressed(data, 2, 2, 65536.0), (V{0, 0, 0, 0}));
    EXPECT_EQ(compressed({-32768.0}, 1, 1, -100.0), (V{-32768.0}));
    EXPECT_EQ(compressed({-32768.0}, 1, 1, 1e300), (V{-32768.0}));
    EXPECT_EQ(compressed({-40000.0}, 1, 1, 32767.0), (V{-32768.0}));
    EXPECT_EQ(TensorCompressor(32768.0).threshold().raw, RAW_MAX);
    for (double v : compressed({-1, -1, -3, 2}, 1, 4, 2.5)) {
        EXPECT_FALSE(std::signbit(v) && v == 0) << "zeroed coefficient must be +0.0";
    }
}

TEST(TensorCompressor, ShapeMismatchGivesNoBlockWithoutLookingAtData) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const TensorCompressor c(0.0);
    EXPECT_TRUE(c.compress(std::vector<double>{1, 2}, 3, 1).empty());
    EXPECT_TRUE(c.compress(std::vector<double>{}, 1, 1).empty());
    EXPECT_TRUE(c.compress(std::vector<double>{nan, 1}, 1, 1).empty());
    // 2^32 * 2^32 wraps to 0 in 64 bits but is not the length 0.
    EXPECT_TRUE(c.compress(std::vector<double>{}, 1ull << 32, 1ull << 32).empty());
    EXPECT_TRUE(c.compress(std::vector<double>{1}, UINT64_MAX, UINT64_MAX).empty());
    for (auto [rows, cols] : {std::pair<std::uint64_t, std::uint64_t>{0, 5}, {5, 0}, {0, UINT64_MAX}}) {
        const auto blocks = c.compress(std::vector<double>{}, rows, cols);
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_TRUE(blocks[0].empty());
    }
}

TEST(TensorCompressor, FaultsOnTheFirstBadValue) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(fault_text([=] { TensorCompressor{nan}; }), "NaN");
    EXPECT_EQ(fault_text([=] { TensorCompressor{-inf}; }), "infinite");
    EXPECT_EQ(fault_text([=] { compressed({1, inf, nan, 2}, 2, 2); }), "infinite");
    EXPECT_EQ(fault_text([=] { compressed({1, 2, nan, -inf}, 2, 2); }), "NaN");
}

// Rows and columns of awkward lengths against the transform applied one row
// and one column at a time, with straightforward indexing.
TEST(TensorCompressor, MatchesSeparateRowAndColumnTransforms) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> value(-40000.0, 40000.0);
    for (auto [rows, cols] : {std::pair<std::size_t, std::size_t>{70, 130}, {129, 65}, {1, 200},
                              {200, 1}, {3, 5}}) {
        std::vector<double> data(rows * cols);
        for (double& d : data) d = value(rng);
        std::vector<FixedPoint> m;
        for (double d : data) m.push_back(to_fixed(d));
        for (std::size_t r = 0; r < rows; ++r) haar_transform(m, r * cols, cols);
        std::vector<double> expected(rows * cols);
        for (std::size_t c = 0; c < cols; ++c) {
            std::vector<FixedPoint> column;
            for (std::size_t r = 0; r < rows; ++r) column.push_back(m[r * cols + c]);
            haar_transform(column, 0, rows);
            for (std::size_t r = 0; r < rows; ++r) {
                const bool small = std::abs(std::int64_t{column[r].raw}) <= 1000 * 65536;
                expected[c * rows + r] = small ? 0.0 : from_fixed(column[r]);
            }
        }
        EXPECT_EQ(compressed(data, rows, cols, 1000.0), expected) << rows << "x" << cols;
    }
}

}  // namespace
}  // namespace zelk
