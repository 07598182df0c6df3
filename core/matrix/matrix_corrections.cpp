#include "matrix/matrix_corrections.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "matrix/error_figures.h"
#include "matrix/pairwise_sum.h"

namespace zelk {

double overflow_safe_rms(std::span<const double> errors) {
    const ErrorFigures figures = error_figures(errors);
    if (figures.largest == 0 || !std::isfinite(figures.largest)) return figures.largest;
    return figures.largest * std::sqrt(figures.squares / static_cast<double>(errors.size()));
}

std::vector<uint64_t> corrected_positions(std::span<const double> errors, CorrectedBound bound, double limit) {
    std::vector<uint64_t> positions;
    if (bound == CorrectedBound::LargestError) {
        for (size_t i = 0; i < errors.size(); ++i) {
            if (errors[i] > limit) positions.push_back(i);
        }
        return positions;
    }
    bool finite = true;
    for (double e : errors) finite &= std::isfinite(e);
    if (finite && !(overflow_safe_rms(errors) > limit)) return positions;  // the common case: nothing to take
    std::vector<double> remaining(errors.begin(), errors.end());
    for (size_t i = 0; i < errors.size(); ++i) {
        if (!std::isfinite(errors[i])) {
            positions.push_back(i);
            remaining[i] = 0.0;
        }
    }
    std::vector<double> squared;
    std::vector<uint64_t> order;
    while (overflow_safe_rms(remaining) > limit) {
        squared.resize(errors.size());
        order.resize(errors.size());
        const double largest = *std::max_element(remaining.begin(), remaining.end());
        for (size_t i = 0; i < remaining.size(); ++i) {
            const double scaled = remaining[i] / largest;
            squared[i] = scaled * scaled;
        }
        const double sum = pairwise_sum(0, squared.size(), [&](size_t i) { return squared[i]; });
        const double excess = sum - std::pow(limit / largest, 2.0) * static_cast<double>(errors.size());
        std::iota(order.begin(), order.end(), uint64_t{0});
        std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
            return squared[a] != squared[b] ? squared[a] > squared[b] : a > b;
        });
        // As many as the first whose running sum reaches the excess, and it.
        double running = 0;
        size_t needed = 0;
        while (needed < order.size()) {
            running += squared[order[needed++]];
            if (running >= excess) break;
        }
        for (size_t k = 0; k < needed; ++k) {
            positions.push_back(order[k]);
            remaining[order[k]] = 0.0;
        }
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}

}  // namespace zelk
