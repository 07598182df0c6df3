#include "matrix/wavelet_tiles.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "matrix/tensor.h"

namespace zelk {
namespace {

constexpr double TWO_K = 92682.0 / 65536.0;  // what a level's scaled sum multiplies a magnitude by, at most
constexpr double RAW_LIMIT = 1073741824.0;    // 2^30: the coefficients' bound, far from the 2^31 of a wrap

std::size_t padded(std::uint64_t side) { return static_cast<std::size_t>(side > 1 ? side + (side & 1) : side); }

// The number of levels the transform runs on a segment of length n.
int levels(std::size_t n) {
    int count = 0;
    for (std::size_t length = n; length >= 2; length /= 2) {
        ++count;
        if (length < 4) break;
    }
    return count;
}

struct Tile {
    std::uint64_t row0, col0;
    std::size_t rows, cols;                // inside the matrix
    std::size_t padded_rows, padded_cols;  // of its coefficients
    std::uint64_t start;                   // index of its first coefficient
    std::size_t index;                     // in row-major order of tiles
};

template <typename F>
void for_each_tile(const TileGrid& grid, F&& visit) {
    std::uint64_t start = 0;
    std::size_t index = 0;
    for (std::uint64_t row0 = 0; row0 < grid.rows; row0 += grid.tile) {
        const auto rows = static_cast<std::size_t>(std::min<std::uint64_t>(grid.tile, grid.rows - row0));
        for (std::uint64_t col0 = 0; col0 < grid.cols; col0 += grid.tile) {
            const auto cols = static_cast<std::size_t>(std::min<std::uint64_t>(grid.tile, grid.cols - col0));
            const Tile tile{row0, col0, rows, cols, padded(rows), padded(cols), start, index++};
            visit(tile);
            start += tile.padded_rows * tile.padded_cols;
        }
    }
}

void check_grid(const TileGrid& grid) {
    if (grid.tile < 2) throw std::invalid_argument("the tile side must be at least 2");
}

// Coefficients in and out of one count, the grid's, with a scale per tile.
void check_sizes(std::size_t in, std::size_t out, const TileGrid& grid, std::span<const TileScale> scales) {
    check_grid(grid);
    if (in != grid.coefficient_count() || out != in || scales.size() != grid.tile_rows() * grid.tile_cols()) {
        throw std::invalid_argument("the coefficients do not fit the matrix's shape");
    }
}

TileScale choose_scale(std::span<const double> data, const TileGrid& grid, const Tile& tile) {
    double low = INFINITY, high = -INFINITY;
    for (std::size_t r = 0; r < tile.rows; ++r) {
        const double* row = &data[(tile.row0 + r) * grid.cols + tile.col0];
        for (std::size_t c = 0; c < tile.cols; ++c) {
            if (!std::isfinite(row[c])) throw std::invalid_argument("the matrix holds a NaN or an infinity");
            low = std::min(low, row[c]);
            high = std::max(high, row[c]);
        }
    }
    // Halves first: the range of values near the largest doubles overflows.
    const double offset = low / 2 + high / 2, deviation = std::max(high - offset, offset - low);
    if (!(deviation > 0)) return {offset, 0};
    const double growth = std::pow(TWO_K, levels(tile.padded_rows) + levels(tile.padded_cols));
    // Scaled before the growth is applied: the deviation of values near the largest doubles times it would overflow.
    auto fits = [&](int exponent) { return std::ldexp(deviation, exponent + 16) * growth <= RAW_LIMIT; };
    int exponent = static_cast<int>(std::floor(std::log2(RAW_LIMIT / growth) - 16 - std::log2(deviation)));
    while (!fits(exponent)) --exponent;
    while (fits(exponent + 1)) ++exponent;
    return {offset, exponent};
}

// A tile's step in raw units: never below one raw unit, so that a quantized
// value fits 32 bits. Computed the same way by the encoder and decoder.
double raw_step(double step, const TileScale& scale) { return std::max(1.0, std::ldexp(step, scale.exponent + 16)); }

std::int64_t restored(std::int32_t q, double step, double step_raw) {
    return step == 0 ? q : std::llround(q * step_raw);
}

// floor(num / den + 1/2) for den > 0.
std::int64_t round_div(std::int64_t num, std::int64_t den) {
    const std::int64_t n = 2 * num + den, d = 2 * den;
    return n / d - ((n % d != 0 && n < 0) ? 1 : 0);
}

// Undoes haar_transform on x[0, n): the levels in reverse order. A level's
// scaled sum and difference s and d were floored from k(a + b) and k(a - b),
// k = 46341 / 65536, so a + b is about (s + 1/2) / k and a - b (d + 1/2) / k.
void inverse_haar(std::int64_t* x, std::size_t n, std::vector<std::int64_t>& scratch) {
    std::size_t lengths[64];
    int count = 0;
    for (std::size_t length = n; length >= 2; length /= 2) {
        lengths[count++] = length;
        if (length < 4) break;
    }
    scratch.resize(n);
    while (count > 0) {
        const std::size_t length = lengths[--count], half = length / 2;
        std::copy(x, x + length, scratch.begin());
        for (std::size_t i = 0; i < half; ++i) {
            const std::int64_t s = scratch[i], d = scratch[half + i];
            x[2 * i] = round_div((s + d + 1) * 65536, 92682);
            x[2 * i + 1] = round_div((s - d) * 65536, 92682);
        }
        if (length % 2 == 1) x[length - 1] = scratch[length - 1];
    }
}

}  // namespace

std::uint64_t TileGrid::coefficient_count() const {
    std::uint64_t rows_total = 0, cols_total = 0;
    for (std::uint64_t r = 0; r < rows; r += tile) rows_total += padded(std::min<std::uint64_t>(tile, rows - r));
    for (std::uint64_t c = 0; c < cols; c += tile) cols_total += padded(std::min<std::uint64_t>(tile, cols - c));
    return rows_total * cols_total;
}

std::vector<TileScale> forward_tiles(std::span<const double> data, const TileGrid& grid,
                                     std::span<std::int32_t> coefficients) {
    check_grid(grid);
    if ((grid.cols != 0 && grid.rows > data.size() / grid.cols) || grid.rows * grid.cols != data.size() ||
        coefficients.size() != grid.coefficient_count()) {
        throw std::invalid_argument("the shape does not fit the data");
    }
    std::vector<TileScale> scales(grid.tile_rows() * grid.tile_cols());
    std::vector<FixedPoint> fixed, transposed;
    for_each_tile(grid, [&](const Tile& tile) {
        const TileScale scale = choose_scale(data, grid, tile);
        scales[tile.index] = scale;
        const std::size_t pr = tile.padded_rows, pc = tile.padded_cols;
        fixed.resize(pr * pc);
        for (std::size_t r = 0; r < pr; ++r) {
            const double* row = &data[(tile.row0 + std::min(r, tile.rows - 1)) * grid.cols + tile.col0];
            for (std::size_t c = 0; c < pc; ++c) {
                fixed[r * pc + c] = to_fixed(std::ldexp(row[std::min(c, tile.cols - 1)] - scale.offset, scale.exponent));
            }
        }
        for (std::size_t r = 0; r < pr; ++r) haar_transform(fixed, r * pc, pc);
        transposed.resize(pr * pc);
        for (std::size_t r = 0; r < pr; ++r) {
            for (std::size_t c = 0; c < pc; ++c) transposed[c * pr + r] = fixed[r * pc + c];
        }
        for (std::size_t c = 0; c < pc; ++c) haar_transform(transposed, c * pr, pr);
        std::transform(transposed.begin(), transposed.end(), coefficients.begin() + static_cast<std::ptrdiff_t>(tile.start),
                       [](FixedPoint v) { return v.raw; });
    });
    return scales;
}

void threshold_tiles(std::span<const std::int32_t> coefficients, const TileGrid& grid,
                     std::span<const TileScale> scales, double threshold, std::span<std::int32_t> kept) {
    check_sizes(coefficients.size(), kept.size(), grid, scales);
    for_each_tile(grid, [&](const Tile& tile) {
        const double limit = std::ldexp(threshold, scales[tile.index].exponent + 16);
        const std::size_t end = tile.start + tile.padded_rows * tile.padded_cols;
        for (std::size_t i = tile.start; i < end; ++i) {
            kept[i] = std::abs(static_cast<double>(coefficients[i])) > limit ? coefficients[i] : 0;
        }
    });
}

void inverse_tiles(std::span<const std::int32_t> quantized, const TileGrid& grid, std::span<const TileScale> scales,
                   double step, std::span<double> out) {
    check_sizes(quantized.size(), grid.coefficient_count(), grid, scales);
    if (out.size() != grid.rows * grid.cols) throw std::invalid_argument("the output does not fit the matrix's shape");
    std::vector<std::int64_t> columns, rows, scratch;
    for_each_tile(grid, [&](const Tile& tile) {
        const TileScale& scale = scales[tile.index];
        const double step_raw = raw_step(step, scale);
        const std::size_t pr = tile.padded_rows, pc = tile.padded_cols;
        columns.resize(pr * pc);
        for (std::size_t i = 0; i < pr * pc; ++i) columns[i] = restored(quantized[tile.start + i], step, step_raw);
        for (std::size_t c = 0; c < pc; ++c) inverse_haar(&columns[c * pr], pr, scratch);
        rows.resize(pr * pc);
        for (std::size_t c = 0; c < pc; ++c) {
            for (std::size_t r = 0; r < pr; ++r) rows[r * pc + c] = columns[c * pr + r];
        }
        for (std::size_t r = 0; r < pr; ++r) inverse_haar(&rows[r * pc], pc, scratch);
        for (std::size_t r = 0; r < tile.rows; ++r) {
            double* out_row = &out[(tile.row0 + r) * grid.cols + tile.col0];
            for (std::size_t c = 0; c < tile.cols; ++c) {
                out_row[c] = std::ldexp(static_cast<double>(rows[r * pc + c]), -(scale.exponent + 16)) + scale.offset;
            }
        }
    });
}

}  // namespace zelk
