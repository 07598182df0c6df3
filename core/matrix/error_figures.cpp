// Compiled without contracting a product and a sum into one rounding
// (core/CMakeLists.txt): each square is rounded before it is added, as numpy
// rounds it.
#include "matrix/error_figures.h"

#include <cmath>

#include "matrix/pairwise_sum.h"

namespace zelk {

ErrorFigures error_figures(std::span<const double> errors) {
    double largest = 0.0;
    bool nan = false;
    for (double e : errors) {
        nan |= std::isnan(e);
        largest = e > largest ? e : largest;
    }
    if (nan) largest = NAN;
    if (largest == 0.0) return {0.0, 0.0};
    // NaN where the largest is NaN or infinite, as numpy's would be.
    const double squares = pairwise_sum(0, errors.size(), [&](size_t i) {
        const double scaled = errors[i] / largest;
        return scaled * scaled;
    });
    return {largest, squares};
}

}  // namespace zelk
