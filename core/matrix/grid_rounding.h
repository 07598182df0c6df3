// zelk.matrix's grid path: each value rounded to the nearest multiple of
// the step (q = nearest(v / s), halves to even), restored as q s in float64
// rounded to the array's float type. float64 arithmetic in this order, no
// product and sum rounded once: the errors measured are those of the values
// a decoder restores.
#pragma once

#include <cstdint>
#include <span>

namespace zelk {

// The quotients and each value's absolute error once restored; false,
// with the outputs unspecified, where a value is not finite or its quotient
// reaches 2^62. Throws std::invalid_argument for buffers of other sizes.
bool grid_encode(std::span<const double> values, double step, bool as_float32, std::span<int64_t> quotients,
                 std::span<double> errors);

// The values quotients restore to (damaged ones may overflow to infinity).
void grid_decode(std::span<const int64_t> quotients, double step, bool as_float32, std::span<double> restored);

}  // namespace zelk
