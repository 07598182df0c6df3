// Blends the six model predictions into one byte under learned 16.16 weights.
// The learning step runs only when the ensemble asks (once per 32 bytes): it
// tracks the mean and variance of the bytes shown, decays each weight by its
// model's error, pulls the weights toward optional anchor weights and
// renormalises them, and trains a two-tap trend filter that is blended in
// while the variance is low. While one model keeps coming nearest, its
// prediction is passed through unmixed.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "model/fixed_math.h"
#include "model/model_constants.h"

namespace zelk {

class Mixer {
public:
    static constexpr WeightSet DEFAULT_WEIGHTS{26214, 13107, 6554, 6554, 6554, 6554};

    Mixer(std::optional<WeightSet> initial, std::optional<WeightSet> anchor);

    uint8_t predict(const Predictions& p) const {
        if (run_ > PASS_THROUGH_RUN) return p[best_];
        int32_t s = 0;
        for (std::size_t i = 0; i < p.size(); ++i) s = wrap_add(s, wrap_mul(p[i], w_[i]));
        if (variance_ < TREND_VARIANCE_LIMIT) s = wrap_add(fixed_mul(trend(), 39322), fixed_mul(s, 26214));
        return static_cast<uint8_t>(std::clamp(wrap_add(s, 32768) >> 16, 0, 255));
    }

    // n: bytes since the previous update (1..32); x: the last of them; p: the
    // predictions made for x.
    void update(uint32_t n, uint8_t x, const Predictions& p);

    const WeightSet& weights() const { return w_; }
    std::size_t best() const { return best_; }
    uint64_t run() const { return run_; }
    int32_t mean() const { return mean_; }
    int32_t variance() const { return variance_; }
    const std::array<int32_t, 2>& trend_coefficients() const { return k_; }
    const std::array<int32_t, 2>& trend_history() const { return t_; }

    static constexpr uint64_t PASS_THROUGH_RUN = 32;  // pass through once run exceeds this

private:
    static constexpr int32_t TREND_VARIANCE_LIMIT = 132710400;  // 2025.0 = 45²

    int32_t trend() const { return wrap_add(fixed_mul(k_[0], t_[0]), fixed_mul(k_[1], t_[1])); }
    void learn_statistics(int32_t X);
    uint32_t learning_rate(std::size_t nearest, uint32_t n);
    void learn_weights(uint8_t x, const Predictions& p, uint32_t rate);
    void learn_trend(int32_t X);

    WeightSet w_;
    std::optional<WeightSet> anchor_;
    std::size_t best_ = 0;
    uint64_t run_ = 0;
    int32_t mean_ = 8388608;       // 128.0
    int32_t variance_ = 65536000;  // 1000.0
    std::array<int32_t, 2> k_{65536, 0};
    std::array<int32_t, 2> t_{0, 0};  // latest X, and the one before
    std::array<int32_t, 2> m_{0, 0};
};

}  // namespace zelk
