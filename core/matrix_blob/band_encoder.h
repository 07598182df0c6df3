// One band of a banded matrix blob (docs/matrix-format.md), coded within
// its bound the way trials find smallest.
//
// The grid's step is the bound's: twice a largest error, or 0.98 sqrt(12)
// times an RMSE (uniform rounding errors within +-step/2 have an RMSE of
// step / sqrt(12)). A band of more than 2^14 values is judged on a slab of
// that many from its middle: the exact coding and each path that rounds
// onto the grid (the values themselves; predicted with error feedback by
// interpolation, levelled interpolation, or Lorenzo), each coded at the
// fastest level for a 2-D band below the highest level (its planes still
// predict from the row above) and at the band's level for a volume. The
// smallest codes the band, ties going to the exact coding, then to the
// first of those. Interpolation visits the whole band coarse to fine, so a
// slab tells less of it than of the paths that predict from neighbours
// alone: a path within 5% of an interpolation's on the slab codes the band
// too, and the smaller stays.
//
// Where the slab shrinks 16 times or more, the wavelet (wavelet_step_search.h)
// is tried on a 256 x 256 square from the band's middle beside the path
// chosen. Coding the square in under 0.7 of the path's bytes (for a largest
// error: never), the wavelet alone codes the band; within 1 (for a largest
// error, which grows with the values it is taken over, more for the
// wavelet: 0.6), both do and the smaller stays. A band of fewer values than
// three squares tries both whole.
//
// Whatever codes the band, the values its restoring misses the bound on
// are stored exactly (matrix_corrections.h). A caller may leave paths out
// of the trials; the exact coding is always there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "matrix_blob/matrix_blob.h"

namespace zelk {

inline constexpr uint32_t ALL_MATRIX_PATHS = (uint32_t{1} << MATRIX_PATHS) - 1;

struct MatrixBandGoal {
    std::span<const size_t> shape;  // the band's: one to three dimensions
    bool as_float32;                // its elements are float32, else float64, in the host's order
    bool largest_error;             // the bound is on the largest error, else on the RMSE
    double bound;
    std::optional<int64_t> level;   // of the frames (coding_options.h); none: the default
    uint32_t paths = ALL_MATRIX_PATHS;  // bit p set: MatrixPath p may code the band (its line form with it)
};

struct EncodedMatrixBand {
    std::vector<uint8_t> packed;  // its descriptor and frames (matrix_blob_writer.h)
    double step;                  // 0 for an exact band
    double largest;               // the largest error of a value restored
    double squares;               // the sum of (error / largest)^2
    uint64_t corrections;         // values stored exactly
};

// `elements`: the band's values, finite. Throws std::invalid_argument
// where they are not as many as the shape's.
EncodedMatrixBand encode_matrix_band(ByteView elements, const MatrixBandGoal& goal);

}  // namespace zelk
