#include "sample/predictors.h"

#include <algorithm>
#include <bit>

#include "sample/nlms_kernels.h"
#include "sample/sample_values.h"

namespace zelk {
namespace {

constexpr int64_t INPUT_LIMIT = int64_t{1} << 24;
constexpr unsigned WEIGHT_FRACTION = 16;

}  // namespace

// The presets, measured on speech at 8 and 48 kHz (8 and 16 bits), music
// and an ECG: a large step (mu 1/8 to 1/64) and a last stage of 8 taps
// gain 2 to 12% over small steps and a 2-tap stage; noisy signals (8-bit
// speech) gain from the values themselves, smooth ones from differences.
const CascadeShape& cascade_preset(unsigned preset) {
    static const CascadeShape PRESETS[CASCADE_PRESETS] = {
        {true, {{16, 7}, {2, 5}}},
        {true, {{32, 4}, {8, 3}}},
        {false, {{32, 3}, {8, 3}}},
        {true, {{256, 6}, {32, 4}, {8, 3}}},
        {true, {{256, 5}, {32, 3}, {8, 3}}},
        {false, {{64, 4}, {32, 3}, {8, 3}}},
    };
    return PRESETS[preset];
}

namespace {

int64_t saturate(int64_t value, int64_t limit) { return std::clamp(value, -limit, limit); }

int64_t difference(int64_t a, int64_t b, unsigned width) {
    return wrap(static_cast<uint64_t>(a) - static_cast<uint64_t>(b), width);
}
int64_t sum(int64_t a, int64_t b, unsigned width) {
    return wrap(static_cast<uint64_t>(a) + static_cast<uint64_t>(b), width);
}

}  // namespace

namespace {

template <unsigned Order>
uint64_t polynomial_prediction(uint64_t x1, uint64_t x2, uint64_t x3) {
    if constexpr (Order == 1) return x1;
    if constexpr (Order == 2) return 2 * x1 - x2;
    if constexpr (Order == 3) return 3 * x1 - 3 * x2 + x3;
    return 0;
}

// One order's loop, residuals from values (Restore false) or values from
// residuals (true), `in` and `out` possibly the same.
template <unsigned Order, bool Restore>
void polynomial_run(std::array<int64_t, 3>& past, unsigned width, const int64_t* in, size_t stride, size_t count,
                    int64_t* out) {
    auto x1 = static_cast<uint64_t>(past[0]), x2 = static_cast<uint64_t>(past[1]), x3 = static_cast<uint64_t>(past[2]);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t prediction = polynomial_prediction<Order>(x1, x2, x3);
        const auto given = static_cast<uint64_t>(in[i * stride]);
        const int64_t value = Restore ? wrap(given + prediction, width) : in[i * stride];
        out[i * stride] = Restore ? value : wrap(given - prediction, width);
        x3 = x2;
        x2 = x1;
        x1 = static_cast<uint64_t>(value);
    }
    past = {static_cast<int64_t>(x1), static_cast<int64_t>(x2), static_cast<int64_t>(x3)};
}

template <bool Restore>
void polynomial_runs(unsigned order, std::array<int64_t, 3>& past, unsigned width, const int64_t* in, size_t stride,
                     size_t count, int64_t* out) {
    switch (order) {
        case 0: return polynomial_run<0, Restore>(past, width, in, stride, count, out);
        case 1: return polynomial_run<1, Restore>(past, width, in, stride, count, out);
        case 2: return polynomial_run<2, Restore>(past, width, in, stride, count, out);
        default: return polynomial_run<3, Restore>(past, width, in, stride, count, out);
    }
}

// Values of up to NARROW_WIDTH bits are costed in 32-bit lanes, a stretch
// of NARROW_RUN at a time, in a loop compilers vectorise: a residual wraps
// to the same low bits in 32 as in 64, and 2m + 1 (below 2^24) converts to
// a float exactly, whose exponent is its bit width less one.
constexpr unsigned NARROW_WIDTH = 24;
constexpr size_t NARROW_RUN = 256;

void add_narrow_polynomial_bits(std::array<int64_t, 3>& past, unsigned width, const int64_t* values, size_t stride,
                                size_t count, std::array<uint64_t, 4>& bits) {
    std::array<uint32_t, 3 + NARROW_RUN> x;  // the three values before, oldest first, then the stretch's
    x[0] = static_cast<uint32_t>(past[2]), x[1] = static_cast<uint32_t>(past[1]), x[2] = static_cast<uint32_t>(past[0]);
    const unsigned shift = 32 - width;
    auto cost = [shift](uint32_t value, uint32_t prediction) {
        const int32_t r = static_cast<int32_t>((value - prediction) << shift) >> shift;
        const auto magnitude = static_cast<uint32_t>(r ^ (r >> 31));
        const float odd = static_cast<float>(static_cast<int32_t>(2 * magnitude + 1));
        return (std::bit_cast<uint32_t>(odd) >> 23) - 127;
    };
    for (size_t done = 0; done < count; done += NARROW_RUN) {
        const size_t n = std::min(NARROW_RUN, count - done);
        for (size_t i = 0; i < n; ++i) x[3 + i] = static_cast<uint32_t>(values[(done + i) * stride]);
        uint32_t added0 = 0, added1 = 0, added2 = 0, added3 = 0;  // at most NARROW_RUN * 23 each
        for (size_t i = 0; i < n; ++i) {
            const uint32_t value = x[i + 3], x1 = x[i + 2], x2 = x[i + 1], x3 = x[i];
            added0 += cost(value, 0);
            added1 += cost(value, x1);
            added2 += cost(value, 2 * x1 - x2);
            added3 += cost(value, 3 * x1 - 3 * x2 + x3);
        }
        bits[0] += added0, bits[1] += added1, bits[2] += added2, bits[3] += added3;
        x[0] = x[n], x[1] = x[n + 1], x[2] = x[n + 2];
    }
    past = {static_cast<int32_t>(x[2]), static_cast<int32_t>(x[1]), static_cast<int32_t>(x[0])};
}

// Whether the values and the three before them all lie within +-2^19, so
// that no residual of an order up to 3 (within +-2^22) wraps in
// NARROW_WIDTH bits or in any wider: decimals and counts in 64 bits.
bool narrow_values(const std::array<int64_t, 3>& past, const int64_t* values, size_t stride, size_t count) {
    constexpr int64_t bound = int64_t{1} << 19;
    auto outside = [](int64_t v) { return static_cast<uint64_t>(v) + bound >= uint64_t{2 * bound}; };
    bool any = outside(past[0]) || outside(past[1]) || outside(past[2]);
    for (size_t i = 0; i < count; ++i) any |= outside(values[i * stride]);
    return !any;
}

}  // namespace

void add_polynomial_bits(std::array<int64_t, 3>& past, unsigned width, const int64_t* values, size_t stride,
                         size_t count, std::array<uint64_t, 4>& bits) {
    if (width <= NARROW_WIDTH) return add_narrow_polynomial_bits(past, width, values, stride, count, bits);
    if (narrow_values(past, values, stride, count)) {
        return add_narrow_polynomial_bits(past, NARROW_WIDTH, values, stride, count, bits);
    }
    auto x1 = static_cast<uint64_t>(past[0]), x2 = static_cast<uint64_t>(past[1]), x3 = static_cast<uint64_t>(past[2]);
    std::array<uint64_t, 4> added{};  // in registers
    // Without branches, which smooth data mispredicts: wrap() as two shifts
    // (by 0 for 64 bits), and a magnitude's bit width as that of 2m + 1,
    // never 0, less one.
    const unsigned shift = 64 - width;
    auto cost = [shift](uint64_t value, uint64_t prediction) {
        const int64_t r = static_cast<int64_t>((value - prediction) << shift) >> shift;
        const auto m = static_cast<uint64_t>(r ^ (r >> 63));
        return static_cast<uint64_t>(std::bit_width(m << 1 | 1)) - 1;
    };
    for (size_t i = 0; i < count; ++i) {
        const auto value = static_cast<uint64_t>(values[i * stride]);
        added[0] += cost(value, polynomial_prediction<0>(x1, x2, x3));
        added[1] += cost(value, polynomial_prediction<1>(x1, x2, x3));
        added[2] += cost(value, polynomial_prediction<2>(x1, x2, x3));
        added[3] += cost(value, polynomial_prediction<3>(x1, x2, x3));
        x3 = x2;
        x2 = x1;
        x1 = value;
    }
    for (unsigned order = 0; order < 4; ++order) bits[order] += added[order];
    past = {static_cast<int64_t>(x1), static_cast<int64_t>(x2), static_cast<int64_t>(x3)};
}

void Polynomial::residuals(const int64_t* values, size_t stride, size_t count, int64_t* out) {
    polynomial_runs<false>(order_, past_, width_, values, stride, count, out);
}

void Polynomial::restore(int64_t* residuals, size_t stride, size_t count) {
    polynomial_runs<true>(order_, past_, width_, residuals, stride, count, residuals);
}

PlanePredictor::PlanePredictor(unsigned mode, uint64_t row, unsigned width, uint64_t values)
    : mode_(mode), row_(row), width_(width), kept_(static_cast<size_t>(std::max<uint64_t>(std::min(row, values), 1))),
      rows_(2 * kept_, 0) {}

int64_t PlanePredictor::predict() const {
    const int64_t* current = &rows_[current_];
    if (first_row_) return x_ == 0 ? 0 : current[x_ - 1];
    const int64_t* above = &rows_[kept_ - current_];
    const int64_t north = above[x_];
    if (x_ == 0) return north;
    const int64_t west = current[x_ - 1], north_west = above[x_ - 1];
    if (mode_ == 0) return median_edge(west, north, north_west, width_);
    return wrap(static_cast<uint64_t>(west) + static_cast<uint64_t>(north) - static_cast<uint64_t>(north_west), width_);
}

void PlanePredictor::push(int64_t value) {
    rows_[current_ + x_] = value;
    if (++x_ == row_) {
        x_ = 0;
        first_row_ = false;
        current_ = kept_ - current_;
    }
}

template <bool Restore>
void PlanePredictor::run(const int64_t* in, size_t stride, size_t count, int64_t* out) {
    const unsigned width = width_;
    const bool median = mode_ == 0;
    for (size_t i = 0; i < count;) {
        if (first_row_ || x_ == 0) {  // the first row and column: value by value
            const auto prediction = static_cast<uint64_t>(predict());
            const auto given = static_cast<uint64_t>(in[i * stride]);
            const int64_t value = Restore ? wrap(given + prediction, width) : in[i * stride];
            out[i * stride] = Restore ? value : wrap(given - prediction, width);
            push(value);
            ++i;
            continue;
        }
        // The rest of the row, where W, N and NW are all at hand; in locals,
        // as the stores below may alias the members for all the compiler knows.
        int64_t* current = &rows_[current_];
        const int64_t* above = &rows_[kept_ - current_];
        const uint64_t first = x_;
        const size_t stretch = static_cast<size_t>(std::min<uint64_t>(count - i, row_ - first));
        for (size_t j = 0; j < stretch; ++j) {
            const uint64_t x = first + j;
            const int64_t west = current[x - 1], north = above[x], north_west = above[x - 1];
            const auto prediction = static_cast<uint64_t>(
                median ? median_edge(west, north, north_west, width)
                       : wrap(static_cast<uint64_t>(west) + static_cast<uint64_t>(north) - static_cast<uint64_t>(north_west),
                              width));
            const auto given = static_cast<uint64_t>(in[(i + j) * stride]);
            const int64_t value = Restore ? wrap(given + prediction, width) : in[(i + j) * stride];
            out[(i + j) * stride] = Restore ? value : wrap(given - prediction, width);
            current[x] = value;
        }
        i += stretch;
        x_ = first + stretch;
        if (x_ == row_) {
            x_ = 0;
            current_ = kept_ - current_;
        }
    }
}

void PlanePredictor::residuals(const int64_t* values, size_t stride, size_t count, int64_t* out) {
    run<false>(values, stride, count, out);
}

void PlanePredictor::restore(int64_t* residuals, size_t stride, size_t count) {
    run<true>(residuals, stride, count, residuals);
}

namespace {

// floor(2^24 / (1 + t)^2): the weight of a prediction whose errors around sum to t (scaled).
const std::array<uint32_t, 256>& blend_weights() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> weights{};
        for (uint32_t t = 0; t < 256; ++t) weights[t] = (uint32_t{1} << 24) / ((1 + t) * (1 + t));
        return weights;
    }();
    return table;
}

__extension__ using Wide = __int128;  // GCC's and Clang's exact 128-bit integers

Wide floor_divide(Wide a, Wide b) {  // b > 0
    const Wide q = a / b;
    return q * b > a ? q - 1 : q;
}

}  // namespace

// Given fewer than three rows of values, the ring's places are the values'
// own: it need hold no more.
RasterPredictor::RasterPredictor(unsigned mode, uint64_t row, unsigned width, uint64_t values)
    : mode_(mode), row_(row), width_(width), values_(std::max<uint64_t>(std::min(3 * row, values), 1)),
      errors_(mode == 1 ? values_.size() * BLENDED : 0), magnitudes_(values_.size()) {
    start_row();
}

void RasterPredictor::start_row() {
    for (uint64_t back = 0; back < 3; ++back) starts_[back] = static_cast<size_t>((y_ + 3 - back) % 3 * row_);
}

int64_t RasterPredictor::predict_elsewhere() {
    blending_ = false;
    uint64_t least = 0;
    if (y_ == 0 || x_ == 0) {
        prediction_ = y_ == 0 ? (x_ == 0 ? 0 : value(0, x_ - 1)) : value(1, 0);
    } else {
        const bool last = x_ + 1 == row_;
        const int64_t w = value(0, x_ - 1), n = value(1, x_), nw = value(1, x_ - 1), ne = last ? n : value(1, x_ + 1);
        if (mode_ != 1) {
            prediction_ = median_edge(w, n, nw, width_);
        } else {
            // In 128 bits: values of up to 64 bits, a few of them summed and doubled.
            const Wide nn = y_ >= 2 ? value(2, x_) : n, nne = y_ >= 2 && !last ? value(2, x_ + 1) : ne;
            const Wide ww = x_ >= 2 ? value(0, x_ - 2) : w, w2 = w, n2 = n, nw2 = nw, ne2 = ne;
            blended_ = {w2 + ne2, 2 * (w2 + n2 - nw2), 2 * nw2, 2 * (n2 + ne2 - nne), 2 * (2 * w2 - ww), 2 * ne2, 2 * w2,
                        2 * (2 * n2 - nn)};
            const uint64_t* e_w = &errors_[at(0, x_ - 1) * BLENDED];
            const uint64_t* e_n = &errors_[at(1, x_) * BLENDED];
            const uint64_t* e_nw = &errors_[at(1, x_ - 1) * BLENDED];
            const uint64_t* e_ne = &errors_[at(1, last ? x_ : x_ + 1) * BLENDED];
            const uint64_t* e_ww = x_ >= 2 ? &errors_[at(0, x_ - 2) * BLENDED] : nullptr;
            const uint64_t* e_nn = y_ >= 2 ? &errors_[at(2, x_) * BLENDED] : nullptr;
            std::array<uint64_t, BLENDED> around{};
            least = UINT64_MAX;
            for (unsigned k = 0; k < BLENDED; ++k) {
                around[k] = 2 * e_w[k] + 2 * e_n[k] + e_nw[k] + e_ne[k] + (e_ww ? e_ww[k] : 0) + (e_nn ? e_nn[k] : 0);
                least = std::min(least, around[k]);
            }
            const unsigned shift = std::max(static_cast<int>(std::bit_width(least)) - 4, 0);
            const std::array<uint32_t, 256>& weights = blend_weights();
            Wide weighted = 0, total = 0;
            for (unsigned k = 0; k < BLENDED; ++k) {
                const Wide weight = weights[std::min<uint64_t>(around[k] >> shift, 255)];
                weighted += weight * blended_[k];
                total += weight;
            }
            const Wide lowest = -(Wide{1} << (width_ - 1)), highest = (Wide{1} << (width_ - 1)) - 1;
            prediction_ = static_cast<int64_t>(std::clamp(floor_divide(weighted + total, 2 * total), lowest, highest));
            blending_ = true;
        }
    }
    // The residuals around: W, N, NW and NE (N in the last column).
    uint64_t around = 0;
    if (x_ > 0) around += 2 * magnitudes_[at(0, x_ - 1)];
    if (y_ > 0) {
        around += 2 * magnitudes_[at(1, x_)] + magnitudes_[at(1, x_ + 1 == row_ ? x_ : x_ + 1)];
        if (x_ > 0) around += magnitudes_[at(1, x_ - 1)];
    }
    context_ = 3 * std::min(around, MOST) + std::min(least, MOST);
    return prediction_;
}

void RasterPredictor::push_elsewhere(int64_t value) {
    const size_t here = at(0, x_);
    values_[here] = value;
    magnitudes_[here] = std::min(residual_magnitude(difference(value, prediction_, width_)), MOST);
    if (mode_ == 1) {
        uint64_t* errors = &errors_[here * BLENDED];
        for (unsigned k = 0; k < BLENDED; ++k) {
            const Wide error = 2 * Wide{value} - blended_[k];
            errors[k] = blending_ ? static_cast<uint64_t>(std::min<Wide>(error < 0 ? -error : error, MOST)) : 0;
        }
    }
    if (++x_ == row_) {
        x_ = 0;
        ++y_;
        start_row();
    }
}

void RasterPredictor::repeat_west(uint64_t count, int64_t* out, size_t stride) {
    int64_t* current = &values_[starts_[0]];
    const int64_t west = current[x_ - 1];
    std::fill_n(&current[x_], count, west);
    std::fill_n(&magnitudes_[starts_[0] + x_], count, 0);
    if (out) {
        for (uint64_t i = 0; i < count; ++i) out[i * stride] = west;
    }
    x_ += count;
    if (x_ == row_) {
        x_ = 0;
        ++y_;
        start_row();
    }
}

void RasterPredictor::residuals(const int64_t* values, size_t stride, size_t count, int64_t* out, uint64_t* contexts) {
    for (size_t i = 0; i < count;) {
        if (inner_median()) {
            const size_t inner = static_cast<size_t>(std::min<uint64_t>(count - i, row_ - 1 - x_));
            inner_median_residuals(&values[i * stride], stride, inner, &out[i * stride], &contexts[i * stride]);
            i += inner;
            continue;
        }
        const int64_t prediction = predict();
        contexts[i * stride] = context_;
        out[i * stride] = difference(values[i * stride], prediction, width_);
        push(values[i * stride]);
        ++i;
    }
}

namespace {

// The median edge detector over a row's inner stretch in 32-bit lanes, a
// piece at a time, for values of at most NARROW_MEDIAN_WIDTH bits: their
// sums and residuals' contexts stay far within the lanes, and the loops
// have no branch and no iteration waiting on another, so the compiler
// vectorises them. Gives what the 64-bit loop gives.
constexpr unsigned NARROW_MEDIAN_WIDTH = 16;
constexpr size_t NARROW_PIECE = 256;

int32_t wrap_narrow(int32_t value, unsigned width) {
    const unsigned shift = 32 - width;
    return static_cast<int32_t>(static_cast<uint32_t>(value) << shift) >> shift;
}

void narrow_median_residuals(const int64_t* values, size_t stride, size_t count, int64_t* out, uint64_t* contexts,
                             int64_t* current, const int64_t* above, uint64_t* magnitudes,
                             const uint64_t* magnitudes_above, uint64_t first, unsigned width) {
    std::array<int32_t, NARROW_PIECE + 1> row, mags;             // from the value before the piece
    std::array<int32_t, NARROW_PIECE + 2> over, mags_over;       // from above the value before to above the one after
    std::array<int32_t, NARROW_PIECE> residuals;
    for (size_t done = 0; done < count; done += NARROW_PIECE) {
        const size_t n = std::min(NARROW_PIECE, count - done);
        const uint64_t x = first + done;
        row[0] = static_cast<int32_t>(current[x - 1]);
        mags[0] = static_cast<int32_t>(magnitudes[x - 1]);
        for (size_t i = 0; i < n; ++i) row[i + 1] = static_cast<int32_t>(values[(done + i) * stride]);
        for (size_t i = 0; i < n + 2; ++i) {
            over[i] = static_cast<int32_t>(above[x - 1 + i]);
            mags_over[i] = static_cast<int32_t>(magnitudes_above[x - 1 + i]);
        }
        for (size_t i = 0; i < n; ++i) {
            const int32_t west = row[i], north = over[i + 1], north_west = over[i];
            const int32_t low = std::min(west, north), high = std::max(west, north);
            const int32_t plane = wrap_narrow(west + north - north_west, width);
            const int32_t prediction = north_west >= high ? low : north_west <= low ? high : plane;
            const int32_t residual = wrap_narrow(row[i + 1] - prediction, width);
            residuals[i] = residual;
            mags[i + 1] = residual < 0 ? -residual : residual;
        }
        for (size_t i = 0; i < n; ++i) {
            out[(done + i) * stride] = residuals[i];
            contexts[(done + i) * stride] =
                static_cast<uint64_t>(3 * (2 * mags[i] + 2 * mags_over[i + 1] + mags_over[i + 2] + mags_over[i]));
            current[x + i] = row[i + 1];
            magnitudes[x + i] = static_cast<uint64_t>(mags[i + 1]);
        }
    }
}

// Whether wider values in a stretch are small enough for the 32-bit lanes:
// those of the stretch and the row above it within 2^14 and their residuals'
// magnitudes within 2^15, so that no sum wraps at any width and the lanes
// compute what the 64-bit loop does (integers, images and grids of small
// values held in 32 or 64 bits).
bool fits_narrow_lanes(const int64_t* values, size_t stride, size_t count, const int64_t* current,
                       const int64_t* above, const uint64_t* magnitudes, const uint64_t* magnitudes_above,
                       uint64_t first) {
    constexpr int64_t MOST_VALUE = int64_t{1} << 14;
    constexpr uint64_t MOST_MAGNITUDE = uint64_t{1} << 15;
    auto small = [](int64_t v) { return v > -MOST_VALUE && v < MOST_VALUE; };
    bool fits = small(current[first - 1]) && magnitudes[first - 1] < MOST_MAGNITUDE;
    for (size_t i = 0; i < count; ++i) fits &= small(values[i * stride]);
    for (size_t i = 0; i < count + 2; ++i) {
        fits &= small(above[first - 1 + i]) && magnitudes_above[first - 1 + i] < MOST_MAGNITUDE;
    }
    return fits;
}

}  // namespace

void RasterPredictor::inner_median_residuals(const int64_t* values, size_t stride, size_t count, int64_t* out,
                                             uint64_t* contexts) {
    // In locals: the stores below may alias the members for all the compiler knows.
    int64_t* current = &values_[starts_[0]];
    const int64_t* above = &values_[starts_[1]];
    uint64_t* magnitudes = &magnitudes_[starts_[0]];
    const uint64_t* magnitudes_above = &magnitudes_[starts_[1]];
    const unsigned width = width_;
    const uint64_t first = x_;
    if (width <= NARROW_MEDIAN_WIDTH ||
        fits_narrow_lanes(values, stride, count, current, above, magnitudes, magnitudes_above, first)) {
        // Wider values that fit never wrap: no wrap in the lanes either.
        narrow_median_residuals(values, stride, count, out, contexts, current, above, magnitudes, magnitudes_above,
                                first, std::min(width, 32u));
        x_ = first + count;
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint64_t x = first + i;
        const int64_t value = values[i * stride];
        const int64_t residual = difference(value, median_edge(current[x - 1], above[x], above[x - 1], width), width);
        contexts[i * stride] = inner_median_context(magnitudes[x - 1], magnitudes_above, x);
        out[i * stride] = residual;
        current[x] = value;
        magnitudes[x] = std::min(residual_magnitude(residual), MOST);
    }
    x_ = first + count;
}

NlmsStage::NlmsStage(StageShape shape)
    : taps_(shape.taps), mu_shift_(shape.mu_shift), weights_(shape.taps, 0), window_(4 * size_t{shape.taps}, 0),
      kernels_(nlms_kernels()) {}

void NlmsStage::update(int64_t input, int64_t error) {
    // Step in units of 2^-30 per unit of input, then per weight in 2^-16;
    // within 32 bits, which only the quietest passages reach. Rounded to
    // nearest: flooring would pull every weight down a little at each
    // update, and the filter would drift even where it should rest.
    const int64_t step = (saturate(error, INPUT_LIMIT) << 30) / (energy_ + 1);
    const auto newest = static_cast<int32_t>(saturate(input, INPUT_LIMIT));
    if (start_ + taps_ == window_.size()) {  // slide the window back to the buffer's start
        std::copy(window_.end() - taps_, window_.end(), window_.begin());
        start_ = 0;
    }
    const int32_t* x = &window_[start_];
    window_[start_ + taps_] = newest;
    energy_ += int64_t{newest} * newest - int64_t{x[0]} * x[0];
    prediction_ = kernels_.adapt(weights_.data(), x, taps_, static_cast<int32_t>(saturate(step, INT32_MAX)),
                                 14 + mu_shift_) >> WEIGHT_FRACTION;
    ++start_;
}

Cascade::Cascade(const CascadeShape& shape, unsigned width) : width_(width), difference_(shape.difference) {
    for (const StageShape& stage : shape.stages) stages_.emplace_back(stage);
    predictions_.resize(stages_.size());
}

int64_t Cascade::residual_of(int64_t value) {
    int64_t input = difference_ ? difference(value, previous_, width_) : value;
    previous_ = value;
    for (NlmsStage& stage : stages_) {
        const int64_t error = difference(input, saturate(stage.predict(), INPUT_LIMIT), width_);
        stage.update(input, error);
        input = error;
    }
    return input;
}

int64_t Cascade::value_of(int64_t residual) {
    for (size_t j = 0; j < stages_.size(); ++j) predictions_[j] = saturate(stages_[j].predict(), INPUT_LIMIT);
    int64_t error = residual;
    for (size_t j = stages_.size(); j-- > 0;) {
        const int64_t input = sum(error, predictions_[j], width_);
        stages_[j].update(input, error);
        error = input;
    }
    const int64_t value = difference_ ? sum(error, previous_, width_) : error;
    previous_ = value;
    return value;
}

}  // namespace zelk
