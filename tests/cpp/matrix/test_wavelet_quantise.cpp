// The wavelet path's quantisation rounds halves to even and leaves what no
// subband covers; a step's errors are those of the values restored in the
// array's float type, and restoring in place restores alike; subbands
// outside the matrix are refused.
#include "matrix/wavelet_quantise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "matrix/wavelet_subbands.h"

namespace zelk {
namespace {

TEST(WaveletQuantise, RoundsHalvesToEvenWithinEachSubband) {
    const std::vector<int64_t> coefficients{5, 15, -5, -15, 25, 7, int64_t{1} << 60, -(int64_t{1} << 60) - 3};
    std::vector<int64_t> quotients(8, 99);
    const std::vector<WaveletSubband> subbands{{0, 1, 0, 4, 10}, {1, 2, 2, 4, 1}};  // the first row, half the second
    quantise_subbands(coefficients, 2, 4, subbands, quotients);
    // 0.5, 1.5, -0.5, -1.5; then as the float64 each is nearest to.
    EXPECT_EQ(quotients, (std::vector<int64_t>{0, 2, 0, -2, 99, 99, int64_t{1} << 60, -(int64_t{1} << 60)}));
}

TEST(WaveletQuantise, ErrorsAreThoseOfTheValuesRestoredInTheirType) {
    const std::vector<int64_t> quotients{3, -7, 1, 0};
    const std::vector<WaveletSubband> whole{{0, 2, 0, 2, 3}};
    const std::vector<double> values{1.0, -2.0, 0.3, 0.0};
    const double grid = 0.1;
    for (bool as_float32 : {false, true}) {
        std::vector<double> errors(4);
        std::vector<int64_t> room(4, 12345);  // whatever it held
        restored_errors(quotients, 2, 2, 0, whole, grid, as_float32, values, errors, room);
        for (size_t i = 0; i < 4; ++i) {
            double restored = static_cast<double>(quotients[i] * 3) * grid;
            if (as_float32) restored = static_cast<float>(restored);
            EXPECT_EQ(errors[i], std::fabs(restored - values[i])) << i;
        }
    }
}

TEST(WaveletQuantise, RestoringInPlaceGivesWhatRestoringGivesOverAWaveletsOwnSubbands) {
    const size_t rows = 40, cols = 37;
    std::vector<int64_t> quotients(rows * cols);
    for (size_t i = 0; i < quotients.size(); ++i) quotients[i] = static_cast<int64_t>(i * 7919 % 23) - 11;
    std::vector<WaveletSubband> table;
    for (WaveletPlace place : wavelet_subbands(rows, cols, 1)) {
        place.place.multiplier = 3 + static_cast<int64_t>(table.size());
        table.push_back(place.place);
    }
    std::vector<double> expected(rows * cols), restored(rows * cols);
    std::vector<int64_t> room(rows * cols);
    restore_subbands(quotients, rows, cols, 1, table, 0.25, true, expected, room);
    restore_wavelet_in_place(quotients, rows, cols, 1, table, 0.25, true, restored);
    EXPECT_EQ(restored, expected);
    table.pop_back();  // a place no subband covers
    EXPECT_THROW(restore_wavelet_in_place(quotients, rows, cols, 1, table, 0.25, true, restored), std::invalid_argument);
}

TEST(WaveletQuantise, RefusesSubbandsOutsideTheMatrixAndBuffersOfAnotherSize) {
    std::vector<int64_t> coefficients(6), quotients(6);
    EXPECT_THROW(quantise_subbands(coefficients, 2, 3, std::vector<WaveletSubband>{{0, 3, 0, 1, 1}}, quotients),
                 std::invalid_argument);
    EXPECT_THROW(quantise_subbands(coefficients, 2, 3, std::vector<WaveletSubband>{{0, 1, 0, 1, 0}}, quotients),
                 std::invalid_argument);
    EXPECT_THROW(quantise_subbands(coefficients, 3, 3, {}, quotients), std::invalid_argument);
}

}  // namespace
}  // namespace zelk
