// Prediction with error feedback at the edges of what it takes: empty
// arrays of every rank code and restore nothing (and touch nothing), a
// restore refuses an exact value outside its array, and shapes of no or
// more than three dimensions are refused. Its arithmetic is held to its
// definition by the Python suite.
#include "matrix/error_feedback.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace zelk {
namespace {

TEST(ErrorFeedback, EmptyArraysCodeAndRestoreNothing) {
    for (const std::vector<size_t>& shape : {std::vector<size_t>{0}, {3, 0}, {0, 4, 5}}) {
        for (FeedbackPredictor predictor : {FeedbackPredictor::Interpolation, FeedbackPredictor::Lorenzo,
                                            FeedbackPredictor::EdgeFittedInterpolation}) {
            const FeedbackGrid grid{shape, 0.1, predictor, true, false};
            std::vector<int64_t> quotients;
            std::vector<double> errors, restored;
            EXPECT_TRUE(feedback_encode({}, grid, 0.05, quotients, errors).empty());
            feedback_decode(quotients, grid, {}, {}, restored);
            std::vector<int64_t> line;
            to_visit_order(quotients, shape, line);
        }
    }
}

TEST(ErrorFeedback, RefusesWhatDoesNotFitItsShape) {
    const std::vector<size_t> shape{2, 3};
    const FeedbackGrid grid{shape, 0.1, FeedbackPredictor::Lorenzo, false, false};
    std::vector<int64_t> quotients(6, 1);
    std::vector<double> restored(6);
    const std::vector<uint64_t> outside{6};
    const std::vector<double> exact{1.0};
    EXPECT_THROW(feedback_decode(quotients, grid, outside, exact, restored), std::invalid_argument);
    std::vector<double> short_out(5);
    EXPECT_THROW(feedback_decode(quotients, grid, {}, {}, short_out), std::invalid_argument);
    const std::vector<size_t> four{1, 1, 2, 3};
    EXPECT_THROW(feedback_decode(quotients, {four, 0.1, FeedbackPredictor::Lorenzo, false, false}, {}, {}, restored),
                 std::invalid_argument);
    EXPECT_THROW(feedback_decode(quotients, {{}, 0.1, FeedbackPredictor::Lorenzo, false, false}, {}, {}, restored),
                 std::invalid_argument);
}

}  // namespace
}  // namespace zelk
