// The transform under the matrix codec: a matrix cut into tiles, each
// shifted and scaled by a power of two into the 16.16 fixed-point range so
// that no coefficient can wrap or saturate, transformed by the library's
// multi-level 2-D Haar transform (every row, then every column), its
// coefficients quantized, and the exact inverse of all of it.
//
// Layout: tile (i, j) covers rows [i*T, min(rows, (i+1)*T)) and columns
// [j*T, min(cols, (j+1)*T)) for the tile side T. A tile side longer than one
// is padded to an even length by repeating its last row or column, since the
// transform's first level would drop an unpaired last value. Each tile's
// coefficients are stored column-major (as the column pass leaves them),
// tiles one after another in row-major order.
//
// Scaling: a tile's values x become (x - offset) * 2^exponent, with offset
// the middle of the tile's range and the exponent the largest for which
// every coefficient stays below 2^30 in raw units: each of the L levels of
// the two passes multiplies a magnitude by at most 2 * 46341 / 65536.
//
// Quantization with step s (in the data's units, 0: none): a coefficient c
// whose magnitude does not exceed the threshold becomes 0, any other
// round(c / s') with s' the step in the tile's raw units; it is restored as
// round(q * s'). The inverse undoes the transform level by level in 64-bit
// integers, undoing the floor of the forward transform's scaled sums on
// average, so a decoder on any machine restores the same values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

struct TileGrid {
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::uint32_t tile = 256;  // side of a tile, at least 2

    std::uint64_t tile_rows() const { return (rows + tile - 1) / tile; }
    std::uint64_t tile_cols() const { return (cols + tile - 1) / tile; }
    // The coefficients of every tile together (padded sides).
    std::uint64_t coefficient_count() const;
};

struct TileScale {
    double offset = 0.0;
    std::int32_t exponent = 0;  // fixed value = (x - offset) * 2^exponent
};

// Writes the coefficients of a rows x cols matrix of finite values
// (row-major) and returns the scale chosen for each tile. Throws
// std::invalid_argument when the data's length is not rows * cols, the
// output's not grid.coefficient_count(), or a value is not finite.
std::vector<TileScale> forward_tiles(std::span<const double> data, const TileGrid& grid,
                                     std::span<std::int32_t> coefficients);

// Writes the coefficients whose magnitude exceeds `threshold` (in the
// data's units) as they are, and 0 for the others: the thresholding that
// zelk.matrix's first format writes (a step of 0).
void threshold_tiles(std::span<const std::int32_t> coefficients, const TileGrid& grid,
                     std::span<const TileScale> scales, double threshold, std::span<std::int32_t> kept);

// Writes the matrix (row-major) restored from quantized coefficients. Throws
// std::invalid_argument when the sizes do not fit the grid.
void inverse_tiles(std::span<const std::int32_t> quantized, const TileGrid& grid, std::span<const TileScale> scales,
                   double step, std::span<double> out);

}  // namespace zelk
