// The writer of zelk.matrix's banded blobs, the counterpart of the reader in
// matrix_blob.h (docs/matrix-format.md, version 5): a header, then for each
// band a descriptor and the band's two parts (its values' frames and its
// corrections' frames), fixed fields little-endian, counts and lengths as
// varints, the header and each descriptor sealed by a CRC-32C of its bytes.
// The encoder makes the frames; this lays them out.
#pragma once

#include <cstdint>
#include <vector>

#include "base/bytes.h"
#include "matrix_blob/matrix_blob.h"

namespace zelk {

inline constexpr uint8_t MATRIX_VERSION = 5;

struct MatrixHeaderFields {
    uint8_t dtype;  // 1: float32, 2: float64
    uint8_t bound;  // 1: rmse, 2: psnr, 3: max_error
    double requested, max_error, rmse, value_range;
    uint64_t corrections;
    double largest_step;
    uint64_t units;  // of the coded shape's first dimension in each band
    std::vector<uint64_t> shape;
};

std::vector<uint8_t> write_matrix_header(const MatrixHeaderFields& header);

// A band: path, grid step, corrections and the lengths of the two parts,
// sealed, then the parts.
std::vector<uint8_t> write_matrix_band(MatrixPath path, double step, uint64_t corrections, ByteView values,
                                       ByteView correction_frames);

}  // namespace zelk
