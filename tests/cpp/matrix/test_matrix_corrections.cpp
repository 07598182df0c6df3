// The values stored exactly: those past a largest error; for an RMSE, the
// errors that are not finite and the largest until the rest keep it, tiny
// ones beside huge ones included.
#include "matrix/matrix_corrections.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace zelk {
namespace {

double rms_without(std::vector<double> errors, const std::vector<uint64_t>& positions) {
    for (uint64_t p : positions) errors[p] = 0;
    return overflow_safe_rms(errors);
}

TEST(MatrixCorrections, TakeWhatTheBoundNeedsAndNoMore) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> errors{0.5, 2.0, inf, 1.0, 0.25, 2.0};
    EXPECT_EQ(corrected_positions(errors, CorrectedBound::LargestError, 1.0), (std::vector<uint64_t>{1, 2, 5}));
    // Without the infinite error, the RMSE is 1.25: one of the two errors of 2 brings it to 0.94;
    // of equal errors the later goes first.
    EXPECT_EQ(corrected_positions(errors, CorrectedBound::Rmse, 1.0), (std::vector<uint64_t>{2, 5}));
    EXPECT_TRUE(corrected_positions(errors, CorrectedBound::Rmse, 1.3).size() == 1);
}

TEST(MatrixCorrections, SmallErrorsBesideHugeOnesAreNotLost) {
    // Values of +-float32 max restored 2.5e30 away, and others 1 away: once the
    // huge ones are taken, the errors of 1 still miss an RMSE of 1e-3.
    std::vector<double> errors;
    for (int i = 0; i < 4; ++i) errors.insert(errors.end(), {2.5e30, 2.5e30, 0.0, 1.0});
    const std::vector<uint64_t> positions = corrected_positions(errors, CorrectedBound::Rmse, 1e-3);
    EXPECT_LE(rms_without(errors, positions), 1e-3);
    EXPECT_EQ(positions.size(), 12u);
    EXPECT_DOUBLE_EQ(overflow_safe_rms(std::vector<double>{3e300, 4e300}), std::sqrt(12.5) * 1e300);  // no square overflows
}

}  // namespace
}  // namespace zelk
