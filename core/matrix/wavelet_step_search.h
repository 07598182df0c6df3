// The wavelet path's search for its step: the coarsest that keeps a bound.
//
// The values, on a fine grid of the bound over 64, are lifted once
// (cdf97_lifting.h); a step s (in grid units times 2^16) gives every
// subband its multiplier (wavelet_subbands.h). Each step tried is quantised
// and restored in full, as the decoder restores it, and its errors measured:
// the largest, or the RMSE. The first step tried is the coarsest whose
// estimated RMSE keeps the bound, the estimate taken on every k-th row of
// each subband (about 2^16 coefficients, weighted by their subbands' norms
// squared); for a largest error, the middle of its range. The second is that
// of the estimate scaled to agree with the first measure (for a largest
// error, the first step scaled by how far it missed). After that, the step
// whose measure a power of the step through two steps tried puts at 0.998
// of the bound: the coarsest that held and the finest that failed where
// there are both. The search ends within 0.5% of the bound, where the steps
// that hold and fail are within 1% of each other, or after six steps; one
// 2%, else 1%, coarser than the coarsest that held is then tried, as the
// measure is not quite monotonic in the step. Where none held, ever finer
// steps are tried, as far as 0.9^8 of the finest that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zelk {

struct WaveletStep {
    unsigned levels;
    uint64_t step;  // in grid units times 2^16
    double grid;    // the values' grid: the bound over 64
    unsigned pair;  // 0 or 1: which half of the buffers holds the step's quotients and errors
};

// The step for `values` (rows x cols, row-major, held exactly in doubles of
// the array's type) within `bound` on the largest error or else the RMSE.
// `quotients` and `errors` hold two pairs of rows x cols each, which the
// steps tried are coded into: one of them gets the step's quotients and each
// value's error once restored. Nullopt where the band takes no wavelet: too
// narrow, a bound not above 0, or a value of 2^40 grid units or more.
// Throws std::invalid_argument where a buffer is of another size.
std::optional<WaveletStep> search_wavelet_step(std::span<const double> values, size_t rows, size_t cols,
                                               bool as_float32, bool largest_error, double bound,
                                               std::span<int64_t> quotients, std::span<double> errors);

}  // namespace zelk
