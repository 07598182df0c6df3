// The wavelet path's integer lifting: its inverse restores every matrix
// exactly, of any shape and depth (odd sides, single rows and columns), and
// a buffer of the wrong size is refused. Its values against the lifting's
// definition are checked from Python, against a plain numpy transcription.
#include "matrix/cdf97_lifting.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

namespace zelk {
namespace {

TEST(Cdf97Lifting, TheInverseRestoresEveryShapeExactly) {
    std::mt19937_64 rng(7);
    const struct {
        size_t rows, cols;
        unsigned levels;
    } shapes[] = {{64, 64, 4}, {131, 97, 3}, {2, 2, 1}, {3, 5, 2}, {1, 40, 1}, {40, 1, 3}, {1, 1, 1}, {17, 33, 0}};
    for (const auto& shape : shapes) {
        std::vector<int64_t> values(shape.rows * shape.cols);
        for (int64_t& v : values) v = static_cast<int64_t>(rng() % (uint64_t{1} << 41)) - (int64_t{1} << 40);
        std::vector<int64_t> coefficients = values;
        cdf97_forward(coefficients, shape.rows, shape.cols, shape.levels);
        if (shape.rows * shape.cols > 1 && shape.levels > 0) {
            EXPECT_NE(coefficients, values);
        }
        cdf97_inverse(coefficients, shape.rows, shape.cols, shape.levels);
        EXPECT_EQ(coefficients, values) << shape.rows << " x " << shape.cols << ", " << shape.levels << " levels";
    }
}

TEST(Cdf97Lifting, RefusesABufferOfAnotherSize) {
    std::vector<int64_t> values(12);
    EXPECT_THROW(cdf97_forward(values, 3, 5, 1), std::invalid_argument);
    EXPECT_THROW(cdf97_inverse(values, 5, 3, 1), std::invalid_argument);
}

}  // namespace
}  // namespace zelk
