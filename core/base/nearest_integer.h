// x rounded to the nearest integer, halves to even, as nearbyint() in the
// default rounding mode, without a call to the library: below 2^52 adding
// and taking away 2^52 leaves the rounded value; above, x is whole. NaN and
// infinities stay as they are. Exact only where sums are not reassociated
// (no fast-math anywhere).
#pragma once

#include <cmath>

namespace zelk {

inline double nearest_integer(double x) {
    const double magnitude = std::fabs(x);
    return magnitude < 0x1p52 ? std::copysign((magnitude + 0x1p52) - 0x1p52, x) : x;
}

}  // namespace zelk
