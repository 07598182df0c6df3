// Columns are lifted a strip at a time, each step over the strip's rows;
// rows one at a time, their even and odd samples apart in scratch. Every
// step is one loop over contiguous values (wavelet_kernels.h).
#include "matrix/cdf97_lifting.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "matrix/wavelet_kernels.h"

namespace zelk {
namespace {

constexpr int64_t ALPHA = -51974, BETA = -1736, GAMMA = 28931, DELTA = 14533;  // round(c * 2^15)

// A part of a row-major matrix: `rows` rows of `cols` values, `stride` apart.
struct Part {
    int64_t* at;
    size_t rows, cols, stride;
    int64_t* row(size_t i) const { return at + i * stride; }
};

// target[j] += sign * round(factor * (a[j] + b[j])) over a row; b may be a.
// `continued`: the sum is instead 3 a[j] - b[j], a line continued straight
// past its last even sample (wavelet_kernels.h).
template <int Sign>
void add_rounded(int64_t* target, const int64_t* a, const int64_t* b, size_t cols, int64_t factor, bool continued) {
    const WaveletKernels& kernels = wavelet_kernels();
    (Sign > 0 ? kernels.add : kernels.subtract)(target, a, b, cols, factor, continued);
}

// The four steps on a part's columns, its rows interleaved (even rows the
// s samples, odd rows the d samples): forward (Sign +1) or undone (-1).
template <int Sign>
void predict(const Part& p, int64_t factor) {  // d[n] += f (s[n] + s[n+1])
    const size_t evens = (p.rows + 1) / 2, odds = p.rows / 2;
    for (size_t n = 0; n < odds; ++n) {
        int64_t* d = p.row(2 * n + 1);
        if (n + 1 < evens) add_rounded<Sign>(d, p.row(2 * n), p.row(2 * n + 2), p.cols, factor, false);
        else if (evens > 1) add_rounded<Sign>(d, p.row(2 * n), p.row(2 * n - 2), p.cols, factor, true);
        else add_rounded<Sign>(d, p.row(0), p.row(0), p.cols, factor, false);
    }
}

template <int Sign>
void update(const Part& p, int64_t factor) {  // s[n] += f (d[n-1] + d[n])
    const size_t evens = (p.rows + 1) / 2, odds = p.rows / 2;
    for (size_t n = 0; n < evens; ++n) {
        const int64_t* before = p.row(2 * std::min(n == 0 ? 0 : n - 1, odds - 1) + 1);
        const int64_t* after = p.row(2 * std::min(n, odds - 1) + 1);
        add_rounded<Sign>(p.row(2 * n), before, after, p.cols, factor, false);
    }
}

// The four steps through `predict(factor)` and `update(factor)`: forward
// (Sign +1), or undone in the reverse order (-1).
template <int Sign, typename Predict, typename Update>
void four_steps(Predict predict, Update update) {
    if constexpr (Sign > 0) {
        predict(ALPHA), update(BETA), predict(GAMMA), update(DELTA);
    } else {
        update(DELTA), predict(GAMMA), update(BETA), predict(ALPHA);
    }
}

// Moves rows between interleaved order and bands (evens first), through
// `scratch` for the odd rows.
void to_bands(const Part& p, std::vector<int64_t>& scratch) {
    const size_t evens = (p.rows + 1) / 2, odds = p.rows / 2;
    scratch.resize(odds * p.cols);
    for (size_t n = 0; n < odds; ++n) std::copy_n(p.row(2 * n + 1), p.cols, &scratch[n * p.cols]);
    for (size_t n = 1; n < evens; ++n) std::copy_n(p.row(2 * n), p.cols, p.row(n));
    for (size_t n = 0; n < odds; ++n) std::copy_n(&scratch[n * p.cols], p.cols, p.row(evens + n));
}

void to_interleaved(const Part& p, std::vector<int64_t>& scratch) {
    const size_t evens = (p.rows + 1) / 2, odds = p.rows / 2;
    scratch.resize(odds * p.cols);
    for (size_t n = 0; n < odds; ++n) std::copy_n(p.row(evens + n), p.cols, &scratch[n * p.cols]);
    for (size_t n = evens; n-- > 1;) std::copy_n(p.row(n), p.cols, p.row(2 * n));
    for (size_t n = 0; n < odds; ++n) std::copy_n(&scratch[n * p.cols], p.cols, p.row(2 * n + 1));
}

// Parts are lifted a strip of columns at a time, of about STRIP_VALUES
// values, which stays in cache through the four steps.
constexpr size_t STRIP_VALUES = size_t{1} << 18;

template <typename Lift>
void by_strips(const Part& p, Lift lift) {
    const size_t width = std::min(p.cols, std::max<size_t>(8, STRIP_VALUES / p.rows));
    for (size_t j = 0; j < p.cols; j += width) lift(Part{p.at + j, p.rows, std::min(width, p.cols - j), p.stride});
}

void lift_columns(const Part& p, std::vector<int64_t>& scratch) {
    if (p.rows < 2) return;
    by_strips(p, [&](const Part& strip) {
        four_steps<1>([&](int64_t f) { predict<1>(strip, f); }, [&](int64_t f) { update<1>(strip, f); });
        to_bands(strip, scratch);
    });
}

void unlift_columns(const Part& p, std::vector<int64_t>& scratch) {
    if (p.rows < 2) return;
    by_strips(p, [&](const Part& strip) {
        to_interleaved(strip, scratch);
        four_steps<-1>([&](int64_t f) { predict<-1>(strip, f); }, [&](int64_t f) { update<-1>(strip, f); });
    });
}

// The four steps on one line held as its even samples s (`evens` of them)
// and its odd ones d, apart: forward (Sign +1) or undone (-1).
template <int Sign>
void predict_line(const int64_t* s, size_t evens, int64_t* d, size_t odds, int64_t factor) {
    const size_t inner = std::min(odds, evens - 1);  // those with an even sample after
    add_rounded<Sign>(d, s, s + 1, inner, factor, false);
    if (inner < odds) {
        if (evens > 1) add_rounded<Sign>(d + inner, s + inner, s + inner - 1, 1, factor, true);
        else add_rounded<Sign>(d, s, s, 1, factor, false);
    }
}

template <int Sign>
void update_line(int64_t* s, size_t evens, const int64_t* d, size_t odds, int64_t factor) {
    add_rounded<Sign>(s, d, d, 1, factor, false);
    add_rounded<Sign>(s + 1, d, d + 1, odds - 1, factor, false);
    if (evens > odds) add_rounded<Sign>(s + odds, d + odds - 1, d + odds - 1, 1, factor, false);
}

// Lifts (Sign +1) or unlifts (-1) each of the part's rows through `line`:
// a row's even samples, then its odd ones.
template <int Sign>
void lift_rows(const Part& p, std::vector<int64_t>& line) {
    if (p.cols < 2) return;
    const size_t evens = (p.cols + 1) / 2, odds = p.cols / 2;
    line.resize(p.cols);
    int64_t *s = line.data(), *d = line.data() + evens;
    for (size_t i = 0; i < p.rows; ++i) {
        int64_t* row = p.row(i);
        if constexpr (Sign > 0) {  // deinterleaved into the line, then in bands as it leaves it
            for (size_t n = 0; n < odds; ++n) s[n] = row[2 * n], d[n] = row[2 * n + 1];
            if (evens > odds) s[odds] = row[2 * odds];
        } else {
            std::copy_n(row, p.cols, line.data());
        }
        four_steps<Sign>([&](int64_t f) { predict_line<Sign>(s, evens, d, odds, f); },
                         [&](int64_t f) { update_line<Sign>(s, evens, d, odds, f); });
        if constexpr (Sign > 0) {
            std::copy_n(line.data(), p.cols, row);
        } else {
            for (size_t n = 0; n < odds; ++n) row[2 * n] = s[n], row[2 * n + 1] = d[n];
            if (evens > odds) row[2 * odds] = s[odds];
        }
    }
}

// Each level's part, the whole matrix first.
std::vector<Part> level_parts(std::span<int64_t> values, size_t rows, size_t cols, unsigned levels) {
    if (values.size() != rows * cols) {
        throw std::invalid_argument("a wavelet over " + std::to_string(values.size()) + " values, not " +
                                    std::to_string(rows) + " x " + std::to_string(cols));
    }
    std::vector<Part> parts;
    const size_t stride = cols;
    for (unsigned level = 0; level < levels; ++level) {
        parts.push_back({values.data(), rows, cols, stride});
        rows = (rows + 1) / 2, cols = (cols + 1) / 2;
    }
    return parts;
}

}  // namespace

void cdf97_forward(std::span<int64_t> values, size_t rows, size_t cols, unsigned levels) {
    std::vector<int64_t> scratch;
    for (const Part& part : level_parts(values, rows, cols, levels)) {
        lift_columns(part, scratch);
        lift_rows<1>(part, scratch);
    }
}

void cdf97_inverse(std::span<int64_t> values, size_t rows, size_t cols, unsigned levels) {
    std::vector<int64_t> scratch;
    const std::vector<Part> parts = level_parts(values, rows, cols, levels);
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        lift_rows<-1>(*part, scratch);
        unlift_columns(*part, scratch);
    }
}

}  // namespace zelk
