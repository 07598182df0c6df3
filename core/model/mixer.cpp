// The mixer's learning step (the blend is inline in the header). Every
// quantity is a signed 16.16 word: sums wrap, products go through ⊗,
// comparisons are signed. Wrapped values
// (a variance turned negative, a weight quotient past 2^31) are kept as they
// are, because the decoder must arrive at the very same words.
#include "model/mixer.h"

#include <algorithm>
#include <cstdlib>

#include "model/fixed_math.h"

namespace zelk {
namespace {

constexpr int32_t FAST_VARIANCE_LIMIT = 104857600;   // 1600.0 = 40²
constexpr int32_t TREND_STEP = 3277;                 // 0.05
constexpr int32_t FLOOR = 66;                        // also the anchor pull, ~0.001
constexpr std::array<int32_t, 2> TREND_BOUNDS{124518, 64880};  // ±1.9, ±0.99

uint32_t distance(uint8_t a, uint8_t b) { return static_cast<uint32_t>(std::abs(int32_t{a} - int32_t{b})); }

}  // namespace

Mixer::Mixer(std::optional<WeightSet> initial, std::optional<WeightSet> anchor)
    : w_(initial.value_or(DEFAULT_WEIGHTS)), anchor_(anchor) {}

void Mixer::learn_statistics(int32_t X) {
    const int32_t d1 = wrap_sub(X, mean_);
    mean_ = wrap_add(mean_, fixed_mul(d1, 655));
    const int32_t d2 = wrap_sub(X, mean_);
    variance_ = wrap_add(fixed_mul(variance_, 62259), fixed_mul(fixed_mul(d1, d2), 3277));
}

uint32_t Mixer::learning_rate(std::size_t nearest, uint32_t n) {
    const uint32_t base = variance_ > FAST_VARIANCE_LIMIT ? 3277 : 328;
    if (nearest != best_) {
        best_ = nearest;
        run_ = 0;
        return base;
    }
    run_ += n;
    return run_ > PASS_THROUGH_RUN ? base * 5 / 2 : base;
}

void Mixer::learn_weights(uint8_t x, const Predictions& p, uint32_t rate) {
    for (std::size_t i = 0; i < w_.size(); ++i) {
        const uint32_t cut = (distance(p[i], x) * 257 * rate) >> 16;
        w_[i] = fixed_mul(65536 - static_cast<int32_t>(cut), w_[i]);
    }
    if (anchor_) {
        for (std::size_t i = 0; i < w_.size(); ++i)
            w_[i] = wrap_add(w_[i], fixed_mul(wrap_sub((*anchor_)[i], w_[i]), FLOOR));
    }
    int32_t total = 0;
    for (int32_t& w : w_) {
        w = wrap_add(w, FLOOR);
        total = wrap_add(total, w);
    }
    if (total > 10) {
        for (int32_t& w : w_) w = low32(int64_t{w} * 65536 / total);  // truncates toward zero
    }
}

void Mixer::learn_trend(int32_t X) {
    const int32_t err = wrap_sub(X, trend());
    for (std::size_t j = 0; j < 2; ++j) {
        const int32_t g = fixed_mul(t_[j], err);
        const int32_t step = low32((int64_t{g} * 458752) >> 32);  // g × 7 / 65536, floored
        m_[j] = wrap_add(fixed_mul(m_[j], 58982), fixed_mul(step, TREND_STEP));
        k_[j] = std::clamp(wrap_add(k_[j], m_[j]), -TREND_BOUNDS[j], TREND_BOUNDS[j]);
    }
    t_[1] = t_[0];
    t_[0] = X;
}

void Mixer::update(uint32_t n, uint8_t x, const Predictions& p) {
    const int32_t X = int32_t{x} * 65536;
    learn_statistics(X);

    std::size_t nearest = 0;  // lowest slot wins a tie
    for (std::size_t i = 1; i < p.size(); ++i)
        if (distance(p[i], x) < distance(p[nearest], x)) nearest = i;

    learn_weights(x, p, learning_rate(nearest, n));
    learn_trend(X);
}

}  // namespace zelk
