// zelk.matrix's wavelet path on arbitrary matrices, shapes and depths,
// checked against a plain model of its rules written here independently:
//   - a line of n > 1 values splits into even samples s and odd samples d;
//     four steps each add sign * ((c * t + 2^14) >> 15), the shift flooring,
//     all arithmetic modulo 2^64: d[k] += alpha (s[k] + s[k+1]),
//     s[k] += beta (d[k-1] + d[k]), d[k] += gamma (...), s[k] += delta (...),
//     s continued straight past its end (2 s[-1] - s[-2], a lone s level)
//     and d level past either end; forward, the line becomes s then d;
//   - a level lifts each column, then each row, of its part, the whole
//     matrix first and then ceil(rows / 2) by ceil(cols / 2); the inverse
//     undoes rows, then columns, the deepest level first;
//   - a restore multiplies each quotient by its subband's multiplier,
//     inverts, multiplies by the grid in float64 and rounds to float32 when
//     asked.
// The model's forward must match the library's on values within 2^40 and
// the inverse must restore them; any quotients at all must restore as the
// model restores them.
//
// Input layout: byte 0 = rows (1..24), byte 1 = cols (1..24), byte 2 =
// levels (0..4), byte 3 = flags (bit 0: float32), bytes 4..5 = the grid in
// 4096ths (+1), bytes 6..9 = the split rows and columns of four subbands
// and two multipliers' bytes; then the values, 8 bytes each, wrapping.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "matrix/cdf97_lifting.h"
#include "matrix/wavelet_quantise.h"

namespace {

constexpr int64_t ALPHA = -51974, BETA = -1736, GAMMA = 28931, DELTA = 14533;

// sign * ((c t + 2^14) >> 15), modulo 2^64.
uint64_t step_of(int64_t factor, uint64_t t, int sign) {
    const uint64_t product = static_cast<uint64_t>(factor) * t + (uint64_t{1} << 14);
    const auto step = static_cast<uint64_t>(static_cast<int64_t>(product) >> 15);
    return sign > 0 ? step : 0 - step;
}

void model_line(std::vector<uint64_t>& line, bool inverse) {
    const size_t n = line.size(), evens = (n + 1) / 2, odds = n / 2;
    if (n < 2) return;
    std::vector<uint64_t> s(evens), d(odds);
    for (size_t k = 0; k < evens; ++k) s[k] = inverse ? line[k] : line[2 * k];
    for (size_t k = 0; k < odds; ++k) d[k] = inverse ? line[evens + k] : line[2 * k + 1];
    auto s_after = [&](size_t k) {  // s[k + 1], continued
        if (k + 1 < evens) return s[k + 1];
        return evens > 1 ? 2 * s[k] - s[k - 1] : s[k];
    };
    auto predict = [&](int64_t c, int sign) {
        for (size_t k = 0; k < odds; ++k) d[k] += step_of(c, s[k] + s_after(k), sign);
    };
    auto update = [&](int64_t c, int sign) {
        for (size_t k = 0; k < evens; ++k) {
            const uint64_t before = d[k == 0 ? 0 : std::min(k - 1, odds - 1)], here = d[std::min(k, odds - 1)];
            s[k] += step_of(c, before + here, sign);
        }
    };
    if (!inverse) {
        predict(ALPHA, 1), update(BETA, 1), predict(GAMMA, 1), update(DELTA, 1);
        for (size_t k = 0; k < evens; ++k) line[k] = s[k];
        for (size_t k = 0; k < odds; ++k) line[evens + k] = d[k];
    } else {
        update(DELTA, -1), predict(GAMMA, -1), update(BETA, -1), predict(ALPHA, -1);
        for (size_t k = 0; k < evens; ++k) line[2 * k] = s[k];
        for (size_t k = 0; k < odds; ++k) line[2 * k + 1] = d[k];
    }
}

void model_lines(std::vector<uint64_t>& m, size_t cols, size_t h, size_t w, bool along_columns, bool inverse) {
    for (size_t fixed = 0; fixed < (along_columns ? w : h); ++fixed) {
        std::vector<uint64_t> line(along_columns ? h : w);
        for (size_t k = 0; k < line.size(); ++k) line[k] = along_columns ? m[k * cols + fixed] : m[fixed * cols + k];
        model_line(line, inverse);
        for (size_t k = 0; k < line.size(); ++k) (along_columns ? m[k * cols + fixed] : m[fixed * cols + k]) = line[k];
    }
}

void model_transform(std::vector<uint64_t>& m, size_t rows, size_t cols, unsigned levels, bool inverse) {
    std::vector<std::pair<size_t, size_t>> parts;
    for (size_t h = rows, w = cols, level = 0; level < levels; ++level, h = (h + 1) / 2, w = (w + 1) / 2) {
        parts.emplace_back(h, w);
    }
    if (!inverse) {
        for (const auto& [h, w] : parts) model_lines(m, cols, h, w, true, false), model_lines(m, cols, h, w, false, false);
    } else {
        for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
            model_lines(m, cols, part->first, part->second, false, true);
            model_lines(m, cols, part->first, part->second, true, true);
        }
    }
}

std::vector<int64_t> as_signed(const std::vector<uint64_t>& m) { return {m.begin(), m.end()}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 10) return 0;
    const size_t rows = data[0] % 24 + 1, cols = data[1] % 24 + 1;
    const unsigned levels = data[2] % 5;
    const bool as_float32 = (data[3] & 1) != 0;
    const double grid = (data[4] | data[5] << 8) / 4096.0 + 1.0 / 4096;
    std::vector<uint64_t> raw(rows * cols, 0);
    for (size_t i = 0; i < raw.size() && 10 + 8 * i + 8 <= size; ++i) std::memcpy(&raw[i], data + 10 + 8 * i, 8);

    // Values within 2^40: the model's coefficients, and back exactly.
    std::vector<uint64_t> model(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) model[i] = static_cast<uint64_t>(static_cast<int64_t>(raw[i]) >> 24);
    const std::vector<int64_t> values = as_signed(model);
    std::vector<int64_t> coefficients = values;
    zelk::cdf97_forward(coefficients, rows, cols, levels);
    model_transform(model, rows, cols, levels, false);
    if (coefficients != as_signed(model)) std::abort();
    zelk::cdf97_inverse(coefficients, rows, cols, levels);
    if (coefficients != values) std::abort();

    // Any quotients, in four subbands: restored as the model restores them.
    const size_t split_rows = data[6] % (rows + 1), split_cols = data[7] % (cols + 1);
    const int64_t low = data[8] + 1, high = int64_t{data[9]} << 30 | 1;
    const std::vector<zelk::WaveletSubband> subbands{{0, split_rows, 0, split_cols, low},
                                                     {0, split_rows, split_cols, cols, high},
                                                     {split_rows, rows, 0, split_cols, high},
                                                     {split_rows, rows, split_cols, cols, low}};
    std::vector<uint64_t> integers(raw.size());
    for (const auto& band : subbands) {
        for (size_t i = band.top; i < band.bottom; ++i) {
            for (size_t j = band.left; j < band.right; ++j) {
                integers[i * cols + j] = raw[i * cols + j] * static_cast<uint64_t>(band.multiplier);
            }
        }
    }
    model_transform(integers, rows, cols, levels, true);
    std::vector<double> restored(raw.size());
    std::vector<int64_t> room(raw.size(), 7);  // working room holding anything
    zelk::restore_subbands(as_signed(raw), rows, cols, levels, subbands, grid, as_float32, restored, room);
    for (size_t i = 0; i < raw.size(); ++i) {
        double expected = static_cast<double>(static_cast<int64_t>(integers[i])) * grid;
        if (as_float32) expected = static_cast<double>(static_cast<float>(expected));
        if (std::memcmp(&expected, &restored[i], sizeof expected) != 0) std::abort();
    }
    return 0;
}
