// A float array as a banded matrix blob (docs/matrix-format.md), within a
// bound on the RMSE, the PSNR or the largest error of its values.
//
// The array is coded in the shape matrix_coded_shape() gives, in bands of
// matrix_band_units() leading units, each coded by encode_matrix_band()
// within the bound (a PSNR is an RMSE of the values' range), on a pool of
// threads where more than one is asked for: every band within an RMSE makes
// the whole within it, and the blob is the same for any number of threads.
// The header tells the largest error and the RMSE achieved, the latter
// from each band's sum of squared errors in its own units, scaled by the
// worst band's so that no square overflows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/bytes.h"

namespace zelk {

struct MatrixGoal {
    std::vector<uint64_t> shape;
    bool as_float32;                // the elements are float32, else float64, in the host's order
    uint8_t bound;                  // 1: an RMSE, 2: a PSNR in dB, 3: a largest error
    double requested;               // at least 0
    std::optional<int64_t> level;   // of the frames (coding_options.h)
    int64_t threads = 1;            // as coding_options.h takes them
};

// Throws std::invalid_argument for elements not as many as the shape's, a
// NaN or an infinity among them, or a bound or options out of range.
std::vector<uint8_t> encode_banded_matrix(ByteView elements, const MatrixGoal& goal);

}  // namespace zelk
