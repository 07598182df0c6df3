// The predictors of a sample block, each run over one channel's W-bit
// values (sample_values.h), the encoder and the decoder making the same
// prediction from the same past:
//
//   Polynomial  order 0 to 3: 0, x1, 2 x1 - x2, 3 x1 - 3 x2 + x3 (x1 the
//               previous value), modulo 2^W;
//   Cascade     the value or its first difference, then stages of normalised LMS filters,
//               each predicting what the stage before it left over from that
//               stage's own past: a long filter for the spectrum's shape,
//               shorter ones for what changes faster. In fixed point: inputs
//               saturated to 25 bits, weights of 16 fractional bits bounded
//               to +-2^25, the prediction the weighted sum shifted right,
//               and each weight moved by mu * e * x_i / (energy + 1) (the
//               step e / (energy + 1) within 32 bits), energy
//               being the sum of the squared inputs the filter holds. Every
//               product and sum fits 64 bits, so every machine computes the
//               same predictions.
//
// The residual of a value is (value - prediction) modulo 2^W; the decoder
// adds them back modulo 2^W.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/kept_buffers.h"
#include "sample/nlms_kernels.h"
#include "sample/sample_values.h"

namespace zelk {

class Polynomial {
public:
    explicit Polynomial(unsigned order, unsigned width) : order_(order), width_(width) {}
    // The residuals of `count` values, each `stride` apart, into `out` at
    // the same places; and values back from residuals, in place.
    void residuals(const int64_t* values, size_t stride, size_t count, int64_t* out);
    void restore(int64_t* residuals, size_t stride, size_t count);

private:
    unsigned order_;
    unsigned width_;
    std::array<int64_t, 3> past_{};
};

// What each polynomial order's residuals of `count` values `stride` apart
// would cost: adds to bits[order] the bits of their magnitudes (bit_width
// of r, or of ~r for a negative r), all four orders in one pass. `past`
// holds the three values before them, as a Polynomial does, and moves on.
void add_polynomial_bits(std::array<int64_t, 3>& past, unsigned width, const int64_t* values, size_t stride,
                         size_t count, std::array<uint64_t, 4>& bits);

// LOCO-I's median edge detector: the smaller of W and N where NW is at
// least both, the larger where NW is at most both, else wrap(W + N - NW)
// in `width` bits; picked by masks, as photographs mispredict branches.
inline int64_t median_edge(int64_t west, int64_t north, int64_t north_west, unsigned width) {
    const auto w = static_cast<uint64_t>(west), n = static_cast<uint64_t>(north);
    const uint64_t west_lower = 0 - static_cast<uint64_t>(west < north);  // std::min and max were branches
    const auto low = static_cast<int64_t>((w & west_lower) | (n & ~west_lower));
    const auto high = static_cast<int64_t>((n & west_lower) | (w & ~west_lower));
    const int64_t plane = wrap(w + n - static_cast<uint64_t>(north_west), width);
    const uint64_t to_low = 0 - static_cast<uint64_t>(north_west >= high);
    const uint64_t to_high = (0 - static_cast<uint64_t>(north_west <= low)) & ~to_low;
    return static_cast<int64_t>((static_cast<uint64_t>(low) & to_low) | (static_cast<uint64_t>(high) & to_high) |
                                (static_cast<uint64_t>(plane) & ~(to_low | to_high)));
}

// A raster's values predicted from their neighbours in the row before: W
// the value before, N the one above, NW above W. Mode 0 is LOCO-I's median
// edge detector (the smaller of W and N where NW is at least both, the
// larger where NW is at most both, else W + N - NW); mode 1 the plane
// through them, W + N - NW (modulo 2^W). The first row takes W, the first
// column N. It keeps the last row: rows are at most MAX_PLANE_ROW values.
inline constexpr uint64_t MAX_PLANE_ROW = uint64_t{1} << 20;
inline constexpr unsigned PLANE_MODES = 2;

class PlanePredictor {
public:
    // `values`: the most it will be given, which bounds what it keeps.
    PlanePredictor(unsigned mode, uint64_t row, unsigned width, uint64_t values);
    // The residuals of `count` values `stride` apart into `out` at the same
    // places; and values back from residuals, in place. Below the first row
    // they go a row's stretch at a time.
    void residuals(const int64_t* values, size_t stride, size_t count, int64_t* out);
    void restore(int64_t* residuals, size_t stride, size_t count);

private:
    int64_t predict() const;  // of the next value, which push() then takes
    void push(int64_t value);
    template <bool Restore>
    void run(const int64_t* in, size_t stride, size_t count, int64_t* out);

    unsigned mode_;
    uint64_t row_;
    unsigned width_;
    size_t kept_;                // values a row keeps: the row's, or fewer if it is given fewer
    KeptVector<int64_t> rows_;   // the row predicted and the one above, kept_ values each
    size_t current_ = 0;         // where the row predicted starts in rows_
    uint64_t x_ = 0;             // the column predicted
    bool first_row_ = true;
};

// A raster's values predicted from their neighbours, with the context the
// residual coder takes for each (its mean16: residual_coder.h) made from
// the residuals around it. W is the value before, N the one above, NW and
// NE above W and above the next, WW, NN and NNE two before, two above and
// above NE; in the last column NE is N, in the second row NN is N and NNE
// is NE (NE also in the last column), in the second column WW is W. The
// first row takes W, the first column N, the first value 0.
//
// Mode 0 is LOCO-I's median edge detector. Mode 1 blends, in half units,
// the eight predictions W + NE, 2(W + N - NW), 2 NW, 2(N + NE - NNE),
// 2(2 W - WW), 2 NE, 2 W and 2(2 N - NN), each weighted by how well it did
// around: every value keeps, for each, its error E = |2 x - P| (0 in the
// first row and column), and s = 2 E_W + 2 E_N + E_NW + E_NE + E_WW + E_NN
// (0 for a place outside the raster). With m the least s and h = max(0,
// bits(m) - 4), a prediction's weight is floor(2^24 / (1 + min(s >> h,
// 255))^2); the prediction floor((sum w P + sum w) / (2 sum w)), kept
// within the W-bit range. The context is 3 (2|r_W| + 2|r_N| + |r_NW| +
// |r_NE|) + m (m = 0 for mode 0 and in the first row and column), r the
// residuals around, 0 outside.
//
// Mode 2 is the median edge detector with runs of frames (raster_runs.h)
// taking what it would leave in flat areas: a value in a run is W, its
// residual's magnitude 0 for the contexts around.
//
// The blend is computed in 128 bits; errors and residuals enter sums
// saturated to 2^56. Rows of at most MAX_RASTER_ROW values: the predictor
// keeps three rows of values and errors.
inline constexpr uint64_t MAX_RASTER_ROW = uint64_t{1} << 14;
inline constexpr unsigned RASTER_MODES = 3;
inline constexpr unsigned RASTER_BLEND = 1, RASTER_MEDIAN_RUNS = 2;

class RasterPredictor {
public:
    // `values`: the most it will be given, which bounds what it keeps.
    RasterPredictor(unsigned mode, uint64_t row, unsigned width, uint64_t values);
    // The prediction of the next value; context() is then its residual's.
    int64_t predict() {
        if (!inner_median()) return predict_elsewhere();
        prediction_ = median_edge(values_[starts_[0] + x_ - 1], values_[starts_[1] + x_], values_[starts_[1] + x_ - 1],
                                  width_);
        context_ = inner_median_context(magnitudes_[starts_[0] + x_ - 1], &magnitudes_[starts_[1]], x_);
        return prediction_;
    }
    uint64_t context() const { return context_; }
    // The value predicted, whose residual was wrap(value - prediction).
    void push(int64_t value) {
        if (!inner_median()) return push_elsewhere(value);
        const size_t here = starts_[0] + x_++;
        values_[here] = value;
        const int64_t residual = wrap(static_cast<uint64_t>(value) - static_cast<uint64_t>(prediction_), width_);
        magnitudes_[here] = std::min(residual_magnitude(residual), MOST);
    }
    // predict() and push() of `count` values `stride` apart: their
    // residuals and contexts into `out` and `contexts` at the same places.
    // The median edge detector goes a row's inner stretch at a time.
    void residuals(const int64_t* values, size_t stride, size_t count, int64_t* out, uint64_t* contexts);
    // How many of the next values lie in the row's inner stretch under
    // the median edge detector (neither its first column nor its last,
    // below the first row); 0 where the next one does not.
    uint64_t inner_median_values() const { return inner_median() ? row_ - 1 - x_ : 0; }
    // Whether the next value's W, N, NW and NE are equal (NE being N in the
    // last column), below the first row and past the first column.
    bool flat() const {
        if (y_ == 0 || x_ == 0) return false;
        const int64_t north = value(1, x_);
        return value(0, x_ - 1) == north && value(1, x_ - 1) == north && (x_ + 1 == row_ || value(1, x_ + 1) == north);
    }
    // Whether the value `ahead` places after the next one in its row, W
    // being `west`, would be flat() (an encoder's look ahead).
    bool flat_ahead(uint64_t ahead, int64_t west) const {
        const uint64_t x = x_ + ahead;
        if (y_ == 0 || x == 0) return false;
        return value(1, x - 1) == west && value(1, x) == west && (x + 1 == row_ || value(1, x + 1) == west);
    }
    // The values from the next one to the row's end.
    uint64_t row_left() const { return row_ - x_; }
    // How many values from above the next one on, at most `most` (at most
    // row_left()), equal W.
    uint64_t north_equal_to_west(uint64_t most) const {
        const int64_t* above = &values_[at(1, x_)];
        const int64_t west = value(0, x_ - 1);
        uint64_t count = 0;
        // Eight at a time while all are equal (no exit inside: the compiler
        // vectorises it; a flat area's runs are long), then one at a time.
        for (; count + 8 <= most; count += 8) {
            uint64_t differ = 0;
            for (unsigned i = 0; i < 8; ++i) differ |= static_cast<uint64_t>(above[count + i] ^ west);
            if (differ != 0) break;
        }
        while (count < most && above[count] == west) ++count;
        return count;
    }
    // Takes the next `count` values (at most row_left(), past the first
    // column) as W, each with a residual's magnitude of 0; writes them to
    // `out`, `stride` apart, unless it is null.
    void repeat_west(uint64_t count, int64_t* out, size_t stride);
    // Restores `count` such values (at most inner_median_values()) of each
    // of `channels` interleaved channels, one predictor each, at the same
    // place, into `out`: every value from the residual `next(channel,
    // context)` gives for its context, as predict(), context() and push()
    // would one at a time, with the rows' places taken once. With
    // `UntilFlat` it stops before the first frame whose channels are all
    // flat(), where a run may start. Returns how many frames it restored.
    template <bool UntilFlat = false, typename Next>
    static size_t restore_inner_medians(RasterPredictor* const* predictors, unsigned channels, size_t count,
                                        int64_t* out, Next&& next);

private:
    __extension__ using Wide = __int128;
    static constexpr unsigned BLENDED = 8;
    static constexpr uint64_t MOST = uint64_t{1} << 56;  // errors and residuals saturate here
    size_t at(uint64_t row_back, uint64_t column) const { return starts_[row_back] + column; }
    // Most places under the median edge detector (modes 0 and 2): no border, no blend.
    bool inner_median() const { return mode_ != 1 && y_ > 0 && x_ > 0 && x_ + 1 < row_; }
    int64_t predict_elsewhere();
    void push_elsewhere(int64_t value);
    static uint64_t residual_magnitude(int64_t r) {
        return r < 0 ? 0 - static_cast<uint64_t>(r) : static_cast<uint64_t>(r);
    }
    // An inner place's context, from the residuals' magnitudes of its row and the row above.
    static uint64_t inner_median_context(uint64_t west_magnitude, const uint64_t* magnitudes_above, uint64_t x) {
        const uint64_t around =
            2 * west_magnitude + 2 * magnitudes_above[x] + magnitudes_above[x + 1] + magnitudes_above[x - 1];
        return 3 * std::min(around, MOST);
    }
    void start_row();
    // The median edge detector's residuals of `count` values in the row's
    // inner columns (neither its first nor its last), below the first row.
    void inner_median_residuals(const int64_t* values, size_t stride, size_t count, int64_t* out, uint64_t* contexts);
    int64_t value(uint64_t row_back, uint64_t column) const { return values_[at(row_back, column)]; }

    unsigned mode_;
    uint64_t row_;
    unsigned width_;
    KeptVector<int64_t> values_;          // three rows, the current one included (fewer if it is given fewer)
    KeptVector<uint64_t> errors_;         // BLENDED per value, three rows
    KeptVector<uint64_t> magnitudes_;     // of the residuals, three rows
    std::array<Wide, BLENDED> blended_{};
    bool blending_ = false;
    uint64_t y_ = 0, x_ = 0;              // the place predicted
    std::array<size_t, 3> starts_{};      // where the rows y_, y_ - 1 and y_ - 2 start in the rings
    int64_t prediction_ = 0;
    uint64_t context_ = 0;
};

template <bool UntilFlat, typename Next>
size_t RasterPredictor::restore_inner_medians(RasterPredictor* const* predictors, unsigned channels, size_t count,
                                              int64_t* out, Next&& next) {
    struct Rows {
        int64_t* current;
        const int64_t* above;
        uint64_t* magnitudes;
        const uint64_t* magnitudes_above;
    };
    std::array<Rows, 64> rows;  // at most a layout's channels
    for (unsigned c = 0; c < channels; ++c) {
        RasterPredictor& p = *predictors[c];
        rows[c] = {&p.values_[p.starts_[0]], &p.values_[p.starts_[1]], &p.magnitudes_[p.starts_[0]],
                   &p.magnitudes_[p.starts_[1]]};
    }
    const unsigned width = predictors[0]->width_;
    const uint64_t first = predictors[0]->x_;
    // Each channel's west value and magnitude are carried in locals (registers, where the channels are few
    // and known here), not read back from the row just written: there every residual waited on a store.
    auto restore = [&]<unsigned Channels>() -> size_t {
        const unsigned n = Channels ? Channels : channels;
        std::array<int64_t, Channels ? Channels : 64> west;
        std::array<uint64_t, Channels ? Channels : 64> west_magnitude;
        for (unsigned c = 0; c < n; ++c) {
            west[c] = rows[c].current[first - 1];
            west_magnitude[c] = rows[c].magnitudes[first - 1];
        }
        for (size_t i = 0; i < count; ++i) {
            const uint64_t x = first + i;
            if constexpr (UntilFlat) {  // flat(): W, NW and NE equal N (an inner place has an NE)
                bool flat = true;
                for (unsigned c = 0; c < n; ++c) {
                    const int64_t* above = rows[c].above;
                    flat &= west[c] == above[x] && above[x - 1] == above[x] && above[x + 1] == above[x];
                }
                if (flat) return i;
            }
            for (unsigned c = 0; c < n; ++c) {
                const Rows& row = rows[c];
                const int64_t prediction = median_edge(west[c], row.above[x], row.above[x - 1], width);
                const int64_t residual = next(c, inner_median_context(west_magnitude[c], row.magnitudes_above, x));
                const int64_t value = wrap(static_cast<uint64_t>(residual) + static_cast<uint64_t>(prediction), width);
                row.current[x] = west[c] = value;
                const int64_t coded = wrap(static_cast<uint64_t>(value) - static_cast<uint64_t>(prediction), width);
                row.magnitudes[x] = west_magnitude[c] = std::min(residual_magnitude(coded), MOST);
                out[i * n + c] = value;
            }
        }
        return count;
    };
    size_t restored;
    if (channels == 1) restored = restore.template operator()<1>();
    else if (channels == 3) restored = restore.template operator()<3>();
    else if (channels == 4) restored = restore.template operator()<4>();
    else restored = restore.template operator()<0>();
    for (unsigned c = 0; c < channels; ++c) predictors[c]->x_ = first + restored;
    return restored;
}

struct StageShape {
    unsigned taps;
    unsigned mu_shift;  // mu = 2^-mu_shift
};

class NlmsStage {
public:
    explicit NlmsStage(StageShape shape);
    // The prediction of the stage's next input.
    int64_t predict() const { return prediction_; }
    // The stage's input and the error of its prediction: the weights move,
    // and the next prediction is made.
    void update(int64_t input, int64_t error);

private:
    unsigned taps_;
    unsigned mu_shift_;
    std::vector<int32_t> weights_;
    std::vector<int32_t> window_;  // the inputs, oldest first, in a buffer that slides
    size_t start_ = 0;             // where the window begins in window_
    int64_t energy_ = 0;
    int64_t prediction_ = 0;
    const NlmsKernels& kernels_;
};

// The cascades a block may name, by number: whether the first stage sees
// the first difference of the values (smooth signals) or the values
// themselves (noisy ones), and the stages' shapes.
struct CascadeShape {
    bool difference;
    std::vector<StageShape> stages;
};
inline constexpr unsigned CASCADE_PRESETS = 6;
const CascadeShape& cascade_preset(unsigned preset);

class Cascade {
public:
    Cascade(const CascadeShape& shape, unsigned width);
    // The prediction of the next value; then exactly one of encode (given
    // the value, returns its residual) or decode (given the residual,
    // returns the value), in turn with predict().
    int64_t residual_of(int64_t value);
    int64_t value_of(int64_t residual);

private:
    unsigned width_;
    bool difference_;
    int64_t previous_ = 0;
    std::vector<NlmsStage> stages_;
    std::vector<int64_t> predictions_;
};

}  // namespace zelk
