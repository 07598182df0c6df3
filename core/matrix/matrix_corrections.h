// The values a lossy coding must store exactly so that its bound holds,
// from every value's error once restored.
//
// For a largest error: those whose error exceeds it. For an RMSE: those
// whose error is not finite, and then, while the errors left miss the
// bound, the largest left: each pass scales the errors by the largest left
// (their squares cannot overflow; beside huge errors the squares of small
// ones vanish from the sum, so each pass takes what it sees and the next
// looks again), sorts their squares from the largest (ties: the later
// position first) and takes as many as bring the sum of squares, summed in
// that order, to the excess over the bound. Sums are numpy's
// (pairwise_sum.h), so the choice is the same to the last bit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

enum class CorrectedBound : uint8_t { LargestError, Rmse };

// The positions, ascending.
std::vector<uint64_t> corrected_positions(std::span<const double> errors, CorrectedBound bound, double limit);

// The RMSE of errors without overflowing their squares: largest *
// sqrt(mean((e / largest)^2)), as numpy computes it; the largest itself
// where it is 0 or not finite.
double overflow_safe_rms(std::span<const double> errors);

}  // namespace zelk
