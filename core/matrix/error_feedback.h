// Prediction with error feedback over an array of up to three dimensions,
// for zelk.matrix: each value is predicted from values already restored, as
// the decoder will have them, and only the prediction's error is rounded
// onto the grid of the bound, so rounding never builds up. Arrays of fewer
// dimensions are taken as three, the missing ones leading, of one value.
//
// Interpolation, for smooth fields, visits values coarse to fine: the first
// value (all indices 0) is predicted as 0; then, for strides h from the
// largest power of two below the longest side down to 1, along each
// dimension in turn (skipping those of h or fewer values), the values whose
// index along it is an odd multiple of h, along the dimensions before it a
// multiple of h and along those after it a multiple of 2h, in row-major
// order. Each is predicted from its neighbours h away along that dimension,
// b before and c after: as (b + c) / 2; as the cubic
// (9 (b + c) - a - d) / 16 where the values a and d 3h away lie inside too;
// and as b where c lies outside. Fitted to the edges, near the ends of a
// line the prediction takes the values there are: the quadratic
// (6 b + 3 c - a) / 8 where d lies outside and a inside, (3 b + 6 c - d) / 8
// where a lies outside and d inside, and past the last value the line
// (3 b - a) / 2 where a lies inside (on a smooth field at a largest error
// of 1e-5 of its range, 35% fewer bytes: a value copied from b misses by
// the slope over h). Levelled, the values of stride h = 2^k are rounded
// onto the grid s / min(1 + k / 6, 3), the first one as h = 1.
//
// Lorenzo visits values in row-major order, each predicted from the seven
// restored before it in its cube, those outside the array taken as 0:
// r(i,j,k-1) + r(i,j-1,k) + r(i-1,j,k) - r(i,j-1,k-1) - r(i-1,j,k-1)
// - r(i-1,j-1,k) + r(i-1,j-1,k-1), summed in that order (W + N - NW on a
// plane, the value before on a line).
//
// With the grid step s, the quotient is q = nearest((v - p) / s), halves to
// even, and the value restored p + q s. A value is taken exactly (q = 0,
// restored as it is) where |q| is not below 2^52, the value restored is not
// finite, or, given a bound, the value restored and rounded to the array's
// float type is further than the bound from the value.
//
// float64 arithmetic in exactly this order, no product and sum rounded
// once: the same values on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zelk {

enum class FeedbackPredictor : uint8_t { Interpolation, Lorenzo, EdgeFittedInterpolation };

struct FeedbackGrid {
    std::span<const size_t> shape;  // one to three dimensions
    double step;                    // the grid step s
    FeedbackPredictor predictor;
    bool levelled;                  // interpolation only
    bool as_float32;                // the array's values are float32
};

// Each value's quotient (in the values' order) and its absolute error once
// restored and rounded to the array's type; returns the flat positions
// taken exactly, in increasing order. Throws std::invalid_argument where a
// buffer's size is not the shape's, or the shape has other than one to
// three dimensions.
std::vector<uint64_t> feedback_encode(std::span<const double> values, const FeedbackGrid& grid,
                                      std::optional<double> bound, std::span<int64_t> quotients,
                                      std::span<double> errors);

// The values restored from their quotients, those at `positions` (flat,
// each within the array) being `exact`, rounded to the array's type.
void feedback_decode(std::span<const int64_t> quotients, const FeedbackGrid& grid, std::span<const uint64_t> positions,
                     std::span<const double> exact, std::span<double> restored);

// The quotients in the order interpolation visits them, as one line, and back.
void to_visit_order(std::span<const int64_t> quotients, std::span<const size_t> shape, std::span<int64_t> line);
void from_visit_order(std::span<const int64_t> line, std::span<const size_t> shape, std::span<int64_t> quotients);

}  // namespace zelk
