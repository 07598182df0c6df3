// The figures zelk.matrix judges a coding's errors by: the largest, and the
// sum of the squares of all in units of the largest (so that no square
// overflows beside huge errors), computed as numpy computes
// `errors.max()` and `np.sum(np.square(errors / largest))` for a float64
// array, to the last bit, in one pass and without an array of the squares.
#pragma once

#include <span>

namespace zelk {

struct ErrorFigures {
    double largest;  // 0 for no errors; NaN where one is NaN
    double squares;  // sum of (e / largest)^2: 0 where largest is 0, NaN where it is NaN or infinite
};

ErrorFigures error_figures(std::span<const double> errors);

}  // namespace zelk
