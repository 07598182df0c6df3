// Compiled without contracting a product and a sum into one rounding
// (core/CMakeLists.txt), so that an error measured here is the error of the
// value the decoder restores, and without reassociating sums (no fast-math
// anywhere), which nearest_integer() relies on.
#include "matrix/wavelet_quantise.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/nearest_integer.h"
#include "matrix/cdf97_lifting.h"
#include "matrix/pairwise_sum.h"
#include "matrix/wavelet_kernels.h"

namespace zelk {
namespace {

void check(size_t size, size_t rows, size_t cols, std::span<const WaveletSubband> subbands, const char* what) {
    if (size != rows * cols) {
        throw std::invalid_argument(std::string(what) + " of " + std::to_string(size) + " values, not " +
                                    std::to_string(rows) + " x " + std::to_string(cols));
    }
    for (const WaveletSubband& band : subbands) {
        if (band.top > band.bottom || band.bottom > rows || band.left > band.right || band.right > cols ||
            band.multiplier < 1) {
            throw std::invalid_argument("a subband outside its matrix, or without a multiplier");
        }
    }
}

}  // namespace

double estimated_squared_error(std::span<const double> sample, std::span<const int64_t> counts,
                               std::span<const double> multipliers, std::span<const double> weights) {
    if (counts.size() != multipliers.size() || counts.size() != weights.size()) {
        throw std::invalid_argument("a count, a multiplier and a weight for each part");
    }
    std::vector<double> terms(sample.size());
    size_t at = 0;
    for (size_t part = 0; part < counts.size(); ++part) {
        if (counts[part] < 0 || static_cast<uint64_t>(counts[part]) > sample.size() - at) {
            throw std::invalid_argument("parts of more coefficients than the sample holds");
        }
        const auto count = static_cast<size_t>(counts[part]);
        wavelet_kernels().missed(&sample[at], count, multipliers[part], weights[part], &terms[at]);
        at += count;
    }
    if (at != sample.size()) throw std::invalid_argument("parts of fewer coefficients than the sample holds");
    return pairwise_sum(0, terms.size(), [&terms](size_t i) { return terms[i]; });
}

void quantise_subbands(std::span<const int64_t> coefficients, size_t rows, size_t cols,
                       std::span<const WaveletSubband> subbands, std::span<int64_t> quotients) {
    check(coefficients.size(), rows, cols, subbands, "coefficients");
    check(quotients.size(), rows, cols, subbands, "quotients");
    for (const WaveletSubband& band : subbands) {
        const auto multiplier = static_cast<double>(band.multiplier);
        for (size_t i = band.top; i < band.bottom; ++i) {
            for (size_t j = band.left; j < band.right; ++j) {
                const double quotient = nearest_integer(static_cast<double>(coefficients[i * cols + j]) / multiplier);
                // Only a coefficient within 2^10 of 2^63 over a multiplier of 1 rounds past int64.
                quotients[i * cols + j] = quotient >= 0x1p63 ? INT64_MAX : static_cast<int64_t>(quotient);
            }
        }
    }
}

namespace {

// Each quotient times its subband's multiplier (wrapping), in `integers`.
void multiply(std::span<const int64_t> quotients, size_t cols, std::span<const WaveletSubband> subbands,
              std::span<int64_t> integers) {
    for (const WaveletSubband& band : subbands) {
        const auto multiplier = static_cast<uint64_t>(band.multiplier);
        for (size_t i = band.top; i < band.bottom; ++i) {
            for (size_t j = band.left; j < band.right; ++j) {
                integers[i * cols + j] = static_cast<int64_t>(static_cast<uint64_t>(quotients[i * cols + j]) * multiplier);
            }
        }
    }
}

}  // namespace

void restore_subbands(std::span<const int64_t> quotients, size_t rows, size_t cols, unsigned levels,
                      std::span<const WaveletSubband> subbands, double grid, bool as_float32,
                      std::span<double> restored, std::span<int64_t> integers) {
    check(quotients.size(), rows, cols, subbands, "quotients");
    check(restored.size(), rows, cols, subbands, "restored values");
    check(integers.size(), rows, cols, subbands, "working room");
    std::fill(integers.begin(), integers.end(), 0);
    multiply(quotients, cols, subbands, integers);
    cdf97_inverse(integers, rows, cols, levels);
    wavelet_kernels().to_values(integers.data(), integers.size(), grid, as_float32, restored.data());
}

void restore_wavelet_in_place(std::span<int64_t> quotients, size_t rows, size_t cols, unsigned levels,
                              std::span<const WaveletSubband> subbands, double grid, bool as_float32,
                              std::span<double> restored) {
    check(quotients.size(), rows, cols, subbands, "quotients");
    check(restored.size(), rows, cols, subbands, "restored values");
    size_t covered = 0;
    for (const WaveletSubband& band : subbands) covered += (band.bottom - band.top) * (band.right - band.left);
    if (covered != quotients.size()) throw std::invalid_argument("the subbands do not cover the matrix once");
    multiply(quotients, cols, subbands, quotients);
    cdf97_inverse(quotients, rows, cols, levels);
    wavelet_kernels().to_values(quotients.data(), quotients.size(), grid, as_float32, restored.data());
}

void restored_errors(std::span<const int64_t> quotients, size_t rows, size_t cols, unsigned levels,
                     std::span<const WaveletSubband> subbands, double grid, bool as_float32,
                     std::span<const double> values, std::span<double> errors, std::span<int64_t> integers) {
    check(values.size(), rows, cols, subbands, "values");
    restore_subbands(quotients, rows, cols, levels, subbands, grid, as_float32, errors, integers);
    for (size_t i = 0; i < errors.size(); ++i) errors[i] = std::fabs(errors[i] - values[i]);
}

}  // namespace zelk
