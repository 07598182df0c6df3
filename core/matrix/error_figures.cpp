// Compiled without contracting a product and a sum into one rounding
// (core/CMakeLists.txt): each square is rounded before it is added, as numpy
// rounds it.
#include "matrix/error_figures.h"

#include <array>
#include <cmath>

#include "matrix/pairwise_sum.h"

namespace zelk {

namespace {

// The largest of `errors` and 0, NaN where one is NaN. Eight running
// maxima, which vector registers hold, rather than one whose every step
// waits on the last: the largest is the same in any order.
double largest_error(std::span<const double> errors) {
    std::array<double, 8> top{};
    std::array<bool, 8> nan{};
    size_t i = 0;
    for (; i + 8 <= errors.size(); i += 8) {
        for (size_t j = 0; j < 8; ++j) {
            const double e = errors[i + j];
            nan[j] |= e != e;
            top[j] = e > top[j] ? e : top[j];
        }
    }
    for (; i < errors.size(); ++i) {
        nan[0] |= errors[i] != errors[i];
        top[0] = errors[i] > top[0] ? errors[i] : top[0];
    }
    double largest = 0.0;
    for (size_t j = 0; j < 8; ++j) {
        if (nan[j]) return NAN;
        largest = top[j] > largest ? top[j] : largest;
    }
    return largest;
}

}  // namespace

ErrorFigures error_figures(std::span<const double> errors) {
    const double largest = largest_error(errors);
    if (largest == 0.0) return {0.0, 0.0};
    // NaN where the largest is NaN or infinite, as numpy's would be.
    const double squares = pairwise_sum(0, errors.size(), [&](size_t i) {
        const double scaled = errors[i] / largest;
        return scaled * scaled;
    });
    return {largest, squares};
}

}  // namespace zelk
