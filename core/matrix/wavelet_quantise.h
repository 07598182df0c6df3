// The wavelet path's quantisation, for the encoder's search of a step: each
// subband's coefficients divided by its multiplier and rounded to the
// nearest integer (halves to even), in float64; and what quotients restore
// to: multiplied back (wrapping modulo 2^64), inverse-lifted
// (cdf97_lifting.h), times the grid's step in float64, rounded to the
// array's float type, with each value's absolute error against the values
// given. The same arithmetic as zelk.matrix's decoder, value for value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zelk {

// Rows [top, bottom) and columns [left, right) of a row-major matrix, and
// their multiplier (at least 1).
struct WaveletSubband {
    size_t top, bottom, left, right;
    int64_t multiplier;
};

// These throw std::invalid_argument for a buffer of another size than the
// matrix's, a subband outside it or a multiplier below 1. Places outside
// every subband are left as they are by quantise_subbands(), and restored
// from a quotient of 0 by restore_subbands().
void quantise_subbands(std::span<const int64_t> coefficients, size_t rows, size_t cols,
                       std::span<const WaveletSubband> subbands, std::span<int64_t> quotients);
// The values as the decoder restores them, each held exactly in a double.
// `integers`, of the matrix's size, is working room: an encoder trying step
// after step passes the same, rather than have fresh pages cleared each time.
void restore_subbands(std::span<const int64_t> quotients, size_t rows, size_t cols, unsigned levels,
                      std::span<const WaveletSubband> subbands, double grid, bool as_float32,
                      std::span<double> restored, std::span<int64_t> integers);
// As restore_subbands(), for subbands that cover the matrix once (a
// wavelet's own): the quotients become the integers in place, a decoder's
// which needs them no more. Throws std::invalid_argument where the
// subbands' sizes do not add up to the matrix's.
void restore_wavelet_in_place(std::span<int64_t> quotients, size_t rows, size_t cols, unsigned levels,
                              std::span<const WaveletSubband> subbands, double grid, bool as_float32,
                              std::span<double> restored);
// Each value's absolute error once restored.
void restored_errors(std::span<const int64_t> quotients, size_t rows, size_t cols, unsigned levels,
                     std::span<const WaveletSubband> subbands, double grid, bool as_float32,
                     std::span<const double> values, std::span<double> errors, std::span<int64_t> integers);

// The encoder's estimate of the squared error that rounding coefficients at
// a step costs: over a sample of coefficients in parts (each part's
// coefficients sharing a multiplier f and a weight w), the sum of
// w (c - nearest(c / f) f)^2, each term in float64 in that order and the
// terms summed pairwise as numpy sums (pairwise_sum.h). Throws
// std::invalid_argument where the parts' counts do not add up to the sample.
double estimated_squared_error(std::span<const double> sample, std::span<const int64_t> counts,
                               std::span<const double> multipliers, std::span<const double> weights);

}  // namespace zelk
