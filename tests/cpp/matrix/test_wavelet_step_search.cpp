// The wavelet's search gives a step whose restored values keep the bound,
// with the quotients and errors of that very step in the pair it names;
// bands no wavelet takes are declined.
#include "matrix/wavelet_step_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <stdexcept>
#include <vector>

#include "matrix/cdf97_lifting.h"
#include "matrix/wavelet_quantise.h"
#include "matrix/wavelet_subbands.h"

namespace zelk {
namespace {

std::vector<double> smooth_field(size_t rows, size_t cols, bool as_float32) {
    std::vector<double> values(rows * cols);
    for (size_t i = 0; i < rows; ++i) {
        for (size_t j = 0; j < cols; ++j) {
            const double y = static_cast<double>(i) / rows, x = static_cast<double>(j) / cols;
            const double value = std::sin(6 * x) * std::cos(4 * y) + 0.5 * std::sin(15 * x * y) + 1e-4 * std::sin(97.0 * i * j);
            values[i * cols + j] = as_float32 ? static_cast<float>(value) : value;
        }
    }
    return values;
}

TEST(WaveletStepSearch, TheStepFoundKeepsTheBoundWithItsOwnQuotientsAndErrors) {
    const size_t rows = 150, cols = 97, size = rows * cols;
    for (bool as_float32 : {false, true}) {
        const std::vector<double> values = smooth_field(rows, cols, as_float32);
        for (bool largest_error : {false, true}) {
            for (double bound : {1e-2, 1e-4}) {
                std::vector<int64_t> quotients(2 * size);
                std::vector<double> errors(2 * size);
                const auto found = search_wavelet_step(values, rows, cols, as_float32, largest_error, bound, quotients,
                                                       errors);
                ASSERT_TRUE(found);
                ASSERT_LE(found->pair, 1u);
                EXPECT_EQ(found->levels, wavelet_levels(rows, cols));
                EXPECT_EQ(found->grid, bound / 64);
                // Quantised and restored again at the step found: the pair named holds exactly that.
                std::vector<WaveletPlace> places = wavelet_subbands(rows, cols, found->levels);
                WaveletNorms(found->levels).set_multipliers(places, found->step);
                std::vector<WaveletSubband> table;
                for (const WaveletPlace& place : places) table.push_back(place.place);
                std::vector<int64_t> coefficients(size), again(size), room(size);
                for (size_t i = 0; i < size; ++i) coefficients[i] = static_cast<int64_t>(std::nearbyint(values[i] / found->grid));
                cdf97_forward(coefficients, rows, cols, found->levels);
                quantise_subbands(coefficients, rows, cols, table, again);
                std::vector<double> restored_errors_again(size);
                restored_errors(again, rows, cols, found->levels, table, found->grid, as_float32, values,
                                restored_errors_again, room);
                const size_t at = found->pair * size;
                EXPECT_EQ(std::vector<int64_t>(quotients.begin() + at, quotients.begin() + at + size), again);
                EXPECT_EQ(std::vector<double>(errors.begin() + at, errors.begin() + at + size), restored_errors_again);
                double largest = 0, squares = 0;
                for (double e : restored_errors_again) {
                    largest = std::max(largest, e);
                    squares += e * e;
                }
                EXPECT_LE(largest_error ? largest : std::sqrt(squares / size), bound);
                EXPECT_GT(largest, 0.0);  // not exact: a step that codes
            }
        }
    }
}

TEST(WaveletStepSearch, DeclinesBandsNoWaveletTakesAndRefusesBuffersOfAnotherSize) {
    std::vector<int64_t> quotients(2 * 31 * 64);
    std::vector<double> errors(2 * 31 * 64), values(31 * 64, 1.0);
    EXPECT_FALSE(search_wavelet_step(values, 31, 64, false, false, 1e-3, quotients, errors));  // too narrow
    values.resize(32 * 64, 1.0);
    quotients.resize(2 * 32 * 64);
    errors.resize(2 * 32 * 64);
    EXPECT_FALSE(search_wavelet_step(values, 32, 64, false, false, 0.0, quotients, errors));
    values[5] = 0x1p40 * (1e-3 / 64);  // 2^40 grid units
    EXPECT_FALSE(search_wavelet_step(values, 32, 64, false, true, 1e-3, quotients, errors));
    EXPECT_THROW(search_wavelet_step(values, 32, 64, false, true, 1e-3, std::span(quotients).first(32 * 64), errors),
                 std::invalid_argument);
}

}  // namespace
}  // namespace zelk
