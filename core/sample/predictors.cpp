#include "sample/predictors.h"

#include <algorithm>

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

int64_t Polynomial::predict() const {
    const uint64_t x1 = static_cast<uint64_t>(past_[0]), x2 = static_cast<uint64_t>(past_[1]),
                   x3 = static_cast<uint64_t>(past_[2]);
    switch (order_) {
        case 0: return 0;
        case 1: return past_[0];
        case 2: return wrap(2 * x1 - x2, width_);
        default: return wrap(3 * x1 - 3 * x2 + x3, width_);
    }
}

void Polynomial::push(int64_t value) {
    past_[2] = past_[1];
    past_[1] = past_[0];
    past_[0] = value;
}

namespace {

// One order's loop, residuals from values (Restore false) or values from
// residuals (true), `in` and `out` possibly the same.
template <unsigned Order, bool Restore>
void polynomial_run(std::array<int64_t, 3>& past, unsigned width, const int64_t* in, size_t stride, size_t count,
                    int64_t* out) {
    auto x1 = static_cast<uint64_t>(past[0]), x2 = static_cast<uint64_t>(past[1]), x3 = static_cast<uint64_t>(past[2]);
    for (size_t i = 0; i < count; ++i) {
        uint64_t prediction = 0;
        if constexpr (Order == 1) prediction = x1;
        if constexpr (Order == 2) prediction = 2 * x1 - x2;
        if constexpr (Order == 3) prediction = 3 * x1 - 3 * x2 + x3;
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

}  // namespace

void Polynomial::residuals(const int64_t* values, size_t stride, size_t count, int64_t* out) {
    polynomial_runs<false>(order_, past_, width_, values, stride, count, out);
}

void Polynomial::restore(int64_t* residuals, size_t stride, size_t count) {
    polynomial_runs<true>(order_, past_, width_, residuals, stride, count, residuals);
}

PlanePredictor::PlanePredictor(unsigned mode, uint64_t row, unsigned width)
    : mode_(mode), row_(row), width_(width), past_(static_cast<size_t>(row) + 1, 0) {}

int64_t PlanePredictor::predict() const {
    if (count_ == 0) return 0;
    if (count_ < row_) return back(1);
    const int64_t north = back(row_);
    if (count_ % row_ == 0) return north;
    const int64_t west = back(1), north_west = back(row_ + 1);
    if (mode_ == 0) {
        if (north_west >= std::max(west, north)) return std::min(west, north);
        if (north_west <= std::min(west, north)) return std::max(west, north);
    }
    return wrap(static_cast<uint64_t>(west) + static_cast<uint64_t>(north) - static_cast<uint64_t>(north_west), width_);
}

void PlanePredictor::push(int64_t value) { past_[count_++ % past_.size()] = value; }

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
