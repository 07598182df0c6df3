// Compiled without contracting a product and a sum into one rounding
// (core/CMakeLists.txt): an error must be that of the value restored.
#include "matrix/grid_rounding.h"

#include <cmath>
#include <stdexcept>

#include "base/nearest_integer.h"

namespace zelk {
namespace {

constexpr double MOST_QUOTIENT = 0x1p62;

double restored_value(int64_t quotient, double step, bool as_float32) {
    const double value = static_cast<double>(quotient) * step;
    return as_float32 ? static_cast<double>(static_cast<float>(value)) : value;
}

}  // namespace

bool grid_encode(std::span<const double> values, double step, bool as_float32, std::span<int64_t> quotients,
                 std::span<double> errors) {
    if (quotients.size() != values.size() || errors.size() != values.size()) {
        throw std::invalid_argument("quotients and errors must be one for each value");
    }
    bool fits = true;
    for (size_t i = 0; i < values.size(); ++i) {
        const double quotient = nearest_integer(values[i] / step);
        fits &= std::fabs(quotient) < MOST_QUOTIENT;  // false for NaN too
        quotients[i] = fits ? static_cast<int64_t>(quotient) : 0;
        errors[i] = std::fabs(restored_value(quotients[i], step, as_float32) - values[i]);
    }
    return fits;
}

void grid_decode(std::span<const int64_t> quotients, double step, bool as_float32, std::span<double> restored) {
    if (restored.size() != quotients.size()) throw std::invalid_argument("restored values must be one for each quotient");
    for (size_t i = 0; i < quotients.size(); ++i) restored[i] = restored_value(quotients[i], step, as_float32);
}

}  // namespace zelk
