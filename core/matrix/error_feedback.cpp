// Compiled without contracting a product and a sum into one rounding
// (core/CMakeLists.txt): the encoder's values restored must be the
// decoder's, on every machine.
#include "matrix/error_feedback.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>

#include "base/nearest_integer.h"

namespace zelk {
namespace {

constexpr double MOST_QUOTIENT = 0x1p52;

// The shape as three dimensions, the missing ones leading, of one value:
// they add no visit and change no order.
struct Dims {
    std::array<size_t, 3> n{1, 1, 1}, stride{};
    size_t count = 1;
};

Dims dims_of(std::span<const size_t> shape) {
    if (shape.empty() || shape.size() > 3) {
        throw std::invalid_argument("a prediction over " + std::to_string(shape.size()) + " dimensions");
    }
    Dims dims;
    std::copy(shape.begin(), shape.end(), dims.n.begin() + static_cast<ptrdiff_t>(3 - shape.size()));
    for (size_t n : dims.n) {
        if (n != 0 && dims.count > std::numeric_limits<size_t>::max() / sizeof(double) / n) {
            throw std::invalid_argument("a prediction over more values than any buffer holds");
        }
        dims.count *= n;
    }
    dims.stride = {dims.n[1] * dims.n[2], dims.n[2], 1};
    return dims;
}

void check_size(size_t size, const Dims& dims, const char* what) {
    if (size != dims.count) {
        throw std::invalid_argument(std::string(what) + " of " + std::to_string(size) + " values, not " +
                                    std::to_string(dims.count));
    }
}

// `visit(h, axis)` for each set of values predicted together, in order.
template <typename Visit>
void for_each_visit(const Dims& dims, Visit visit) {
    const size_t longest = *std::max_element(dims.n.begin(), dims.n.end());
    for (size_t h = longest > 1 ? std::bit_ceil(longest) / 2 : 0; h >= 1; h /= 2) {
        for (unsigned axis = 0; axis < 3; ++axis) {
            if (h < dims.n[axis]) visit(h, axis);
        }
    }
}

// `value(flat, t)` for each value of a visit in row-major order, t its
// index along the axis.
template <typename Value>
void for_each_target(const Dims& dims, size_t h, unsigned axis, Value value) {
    std::array<size_t, 3> start{}, step{};
    for (unsigned a = 0; a < 3; ++a) start[a] = a == axis ? h : 0, step[a] = a < axis ? h : 2 * h;
    for (size_t i0 = start[0]; i0 < dims.n[0]; i0 += step[0]) {
        for (size_t i1 = start[1]; i1 < dims.n[1]; i1 += step[1]) {
            const size_t row = i0 * dims.stride[0] + i1 * dims.stride[1];
            const size_t t_outer = axis == 0 ? i0 : i1;
            for (size_t i2 = start[2]; i2 < dims.n[2]; i2 += step[2]) value(row + i2, axis == 2 ? i2 : t_outer);
        }
    }
}

// `place(flat, at)` for every value, `at` its place in the order
// interpolation visits them.
template <typename Place>
void in_visit_order(const Dims& dims, Place place) {
    if (dims.count == 0) return;
    size_t at = 0;
    place(size_t{0}, at++);
    for_each_visit(dims, [&](size_t h, unsigned axis) {
        for_each_target(dims, h, axis, [&](size_t flat, size_t) { place(flat, at++); });
    });
}

// The prediction of the value at `flat`, index t along a line of n values
// whose neighbours h away lie `offset` apart in `restored`; `fitted` to the
// line's edges or not.
double predicted(const double* restored, size_t flat, size_t t, size_t h, size_t n, size_t offset, bool fitted) {
    const double before = restored[flat - offset];
    const bool first = t >= 3 * h;  // the value a, 3h before, lies inside
    if (t + h >= n) return fitted && first ? (3.0 * before - restored[flat - 3 * offset]) / 2.0 : before;
    const double after = restored[flat + offset];
    const bool last = t + 3 * h < n;  // the value d, 3h after, lies inside
    if (first && last) return (9.0 * (before + after) - restored[flat - 3 * offset] - restored[flat + 3 * offset]) / 16.0;
    if (fitted && first) return (6.0 * before + 3.0 * after - restored[flat - 3 * offset]) / 8.0;
    if (fitted && last) return (3.0 * before + 6.0 * after - restored[flat + 3 * offset]) / 8.0;
    return (before + after) / 2.0;
}

double step_at(const FeedbackGrid& grid, size_t h) {
    if (!grid.levelled) return grid.step;
    return grid.step / std::min(1.0 + static_cast<double>(std::bit_width(h) - 1) / 6.0, 3.0);
}

double as_stored(double value, bool as_float32) {
    return as_float32 ? static_cast<double>(static_cast<float>(value)) : value;
}

// `code(flat, prediction, step)` for every value in the order interpolation
// visits them, the first one's prediction 0.
template <typename Code>
void interpolate(const Dims& dims, const FeedbackGrid& grid, const double* restored, Code code) {
    const bool fitted = grid.predictor == FeedbackPredictor::EdgeFittedInterpolation;
    code(size_t{0}, 0.0, step_at(grid, 1));
    for_each_visit(dims, [&](size_t h, unsigned axis) {
        const double step = step_at(grid, h);
        const size_t n = dims.n[axis], offset = h * dims.stride[axis];
        for_each_target(dims, h, axis, [&](size_t flat, size_t t) {
            code(flat, predicted(restored, flat, t, h, n, offset, fitted), step);
        });
    });
}

// `code(flat, prediction, step)` for every value in row-major order, each
// predicted by Lorenzo's seven neighbours before it.
template <typename Code>
void lorenzo(const Dims& dims, const FeedbackGrid& grid, const double* restored, Code code) {
    const size_t plane = dims.stride[0], row = dims.stride[1];
    for (size_t i0 = 0; i0 < dims.n[0]; ++i0) {
        for (size_t i1 = 0; i1 < dims.n[1]; ++i1) {
            for (size_t i2 = 0; i2 < dims.n[2]; ++i2) {
                const size_t flat = i0 * plane + i1 * row + i2;
                const bool w = i2 > 0, n = i1 > 0, u = i0 > 0;
                auto at = [&](bool inside, size_t back) { return inside ? restored[flat - back] : 0.0; };
                code(flat,
                     at(w, 1) + at(n, row) + at(u, plane) - at(n && w, row + 1) - at(u && w, plane + 1) -
                         at(u && n, plane + row) + at(u && n && w, plane + row + 1),
                     grid.step);
            }
        }
    }
}

template <typename Code>
void for_each_value(const Dims& dims, const FeedbackGrid& grid, const double* restored, Code code) {
    if (dims.count == 0) return;
    if (grid.predictor == FeedbackPredictor::Lorenzo) lorenzo(dims, grid, restored, code);
    else interpolate(dims, grid, restored, code);
}

}  // namespace

std::vector<uint64_t> feedback_encode(std::span<const double> values, const FeedbackGrid& grid,
                                      std::optional<double> bound, std::span<int64_t> quotients,
                                      std::span<double> errors) {
    const Dims dims = dims_of(grid.shape);
    check_size(values.size(), dims, "values");
    check_size(quotients.size(), dims, "quotients");
    check_size(errors.size(), dims, "errors");
    std::vector<uint64_t> exact;
    // The values restored, which predictions read, are held in `errors` until the errors replace them.
    const std::span<double> restored = errors;
    for_each_value(dims, grid, restored.data(), [&](size_t flat, double prediction, double step) {
        const double wanted = values[flat];
        double quotient = nearest_integer((wanted - prediction) / step);
        double guess = prediction + quotient * step;
        if (!(std::fabs(quotient) < MOST_QUOTIENT) || !std::isfinite(guess) ||
            (bound && !(std::fabs(as_stored(guess, grid.as_float32) - wanted) <= *bound))) {
            quotient = 0, guess = wanted;
            exact.push_back(flat);
        }
        quotients[flat] = static_cast<int64_t>(quotient);
        restored[flat] = guess;
    });
    for (size_t i = 0; i < dims.count; ++i) errors[i] = std::fabs(as_stored(restored[i], grid.as_float32) - values[i]);
    std::sort(exact.begin(), exact.end());
    return exact;
}

void feedback_decode(std::span<const int64_t> quotients, const FeedbackGrid& grid, std::span<const uint64_t> positions,
                     std::span<const double> exact, std::span<double> restored) {
    const Dims dims = dims_of(grid.shape);
    check_size(quotients.size(), dims, "quotients");
    check_size(restored.size(), dims, "restored values");
    if (positions.size() != exact.size()) throw std::invalid_argument("exact values not one for each position");
    // The exact values by place (the last given for a place), looked up where a place is taken.
    std::vector<std::pair<uint64_t, double>> given(positions.size());
    std::vector<uint8_t> taken(dims.count, 0);
    for (size_t i = 0; i < positions.size(); ++i) {
        if (positions[i] >= dims.count) throw std::invalid_argument("an exact value outside the array");
        given[i] = {positions[i], exact[i]}, taken[positions[i]] = 1;
    }
    std::stable_sort(given.begin(), given.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    auto given_at = [&](size_t flat) {
        const auto after = std::upper_bound(given.begin(), given.end(), flat,
                                            [](size_t place, const auto& entry) { return place < entry.first; });
        return std::prev(after)->second;
    };
    // Predictions read the values restored before rounding to the array's type.
    std::vector<double> held;
    double* values = restored.data();
    if (grid.as_float32) held.resize(dims.count), values = held.data();
    for_each_value(dims, grid, values, [&](size_t flat, double prediction, double step) {
        values[flat] = taken[flat] ? given_at(flat) : prediction + static_cast<double>(quotients[flat]) * step;
    });
    if (grid.as_float32) {
        for (size_t i = 0; i < dims.count; ++i) restored[i] = as_stored(values[i], true);
    }
}

void to_visit_order(std::span<const int64_t> quotients, std::span<const size_t> shape, std::span<int64_t> line) {
    const Dims dims = dims_of(shape);
    check_size(quotients.size(), dims, "quotients");
    check_size(line.size(), dims, "a line");
    in_visit_order(dims, [&](size_t flat, size_t at) { line[at] = quotients[flat]; });
}

void from_visit_order(std::span<const int64_t> line, std::span<const size_t> shape, std::span<int64_t> quotients) {
    const Dims dims = dims_of(shape);
    check_size(quotients.size(), dims, "quotients");
    check_size(line.size(), dims, "a line");
    in_visit_order(dims, [&](size_t flat, size_t at) { quotients[flat] = line[at]; });
}

}  // namespace zelk
