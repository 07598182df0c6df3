// The tiled transform under the matrix codec: without quantization it
// restores any shape and any range of finite values to within the
// fixed-point resolution of its tile, nothing wraps however large the
// values, and thresholding drops the coefficients up to the threshold and
// keeps the others as they are.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "matrix/wavelet_tiles.h"

namespace zelk {
namespace {

std::vector<double> field(std::uint64_t rows, std::uint64_t cols, double scale, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 0.01);
    std::vector<double> values(rows * cols);
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t c = 0; c < cols; ++c) {
            values[r * cols + c] = scale * (std::sin(r / 7.0) * std::cos(c / 11.0) + noise(random));
        }
    }
    return values;
}

std::vector<double> round_trip(const std::vector<double>& data, const TileGrid& grid) {
    std::vector<std::int32_t> coefficients(grid.coefficient_count());
    const std::vector<TileScale> scales = forward_tiles(data, grid, coefficients);
    std::vector<double> back(data.size());
    inverse_tiles(coefficients, grid, scales, 0.0, back);
    return back;
}

double max_error(const std::vector<double>& a, const std::vector<double>& b) {
    double worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

TEST(WaveletTiles, RestoresEveryShapeAndRangeWithinTheTileResolution) {
    const std::uint64_t shapes[][2] = {{1, 1}, {1, 9}, {9, 1}, {3, 5}, {2, 2}, {64, 64}, {65, 130}, {300, 257}};
    for (const auto& shape : shapes) {
        for (double scale : {1e-12, 1.0, 3e4, 1e300}) {
            const TileGrid grid{shape[0], shape[1], 64};
            const std::vector<double> data = field(shape[0], shape[1], scale, 1);
            const std::vector<double> back = round_trip(data, grid);
            // 2^30 raw units span the largest coefficient; a few units of error are allowed.
            EXPECT_LE(max_error(data, back), scale * 1e-6) << shape[0] << "x" << shape[1] << " at " << scale;
        }
    }
}

TEST(WaveletTiles, NothingWrapsOrSaturates) {
    const TileGrid grid{4, 6, 4};
    const std::vector<double> data = {1e308, -1e308, 1e308, 1e308, -1e308, 0, 5, 5, 5, 5, 5, 5,
                                      -1e-300, 1e-300, 0, 0, 1, -1, 32768, 65536, -40000, 1e9, 2, 3};
    const std::vector<double> back = round_trip(data, grid);
    // Both tiles span about 1e308 each way: a wrapped or saturated value would be off by as much.
    for (std::size_t i = 0; i < data.size(); ++i) EXPECT_LE(std::abs(back[i] - data[i]), 1e308 * 2e-6) << i;
}

TEST(WaveletTiles, ThresholdingDropsCoefficientsUpToTheThresholdAndKeepsTheRest) {
    const TileGrid grid{200, 300, 64};
    const std::vector<double> data = field(200, 300, 5.0, 2);
    std::vector<std::int32_t> coefficients(grid.coefficient_count()), kept(coefficients.size());
    const std::vector<TileScale> scales = forward_tiles(data, grid, coefficients);
    threshold_tiles(coefficients, grid, scales, 0.0, kept);
    EXPECT_EQ(kept, coefficients);  // nothing is at most 0 but zeros
    threshold_tiles(coefficients, grid, scales, 0.05, kept);
    size_t dropped = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        ASSERT_TRUE(kept[i] == coefficients[i] || kept[i] == 0) << i;
        dropped += kept[i] == 0 && coefficients[i] != 0;
    }
    EXPECT_GT(dropped, 0u);
    std::vector<double> back(data.size());
    inverse_tiles(kept, grid, scales, 0.0, back);
    double largest = 0;
    for (std::size_t i = 0; i < data.size(); ++i) largest = std::max(largest, std::abs(back[i] - data[i]));
    EXPECT_GT(largest, 0.0);
    EXPECT_LT(largest, 5.0);  // dropped details, not lost values
}

TEST(WaveletTiles, RefusesWhatDoesNotFit) {
    const std::vector<double> data = field(4, 4, 1.0, 3);
    std::vector<std::int32_t> coefficients(16);
    EXPECT_THROW(forward_tiles(data, TileGrid{4, 5, 4}, coefficients), std::invalid_argument);
    EXPECT_THROW(forward_tiles(std::vector<double>{1.0, NAN}, TileGrid{1, 2, 4}, std::span(coefficients).first(2)),
                 std::invalid_argument);
    const std::vector<TileScale> scales = forward_tiles(data, TileGrid{4, 4, 4}, coefficients);
    std::vector<double> out(16);
    EXPECT_THROW(inverse_tiles(std::span(coefficients).first(15), TileGrid{4, 4, 4}, scales, 0.0, out),
                 std::invalid_argument);
}

}  // namespace
}  // namespace zelk
