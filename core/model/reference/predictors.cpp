// The context, LMS and match predictors. The LMS step divides with truncation
// toward zero and the match lookup reduces every position modulo the ring, so
// that both sides of the codec, whatever the chunk length, compute the same
// values.
#include "model/reference/predictors.h"

#include <algorithm>

#include "model/fixed_math.h"

namespace zelk {

ContextPredictor::ContextPredictor() : table_(TABLE_SIZE) {}

uint32_t ContextPredictor::index() const {
    return uint32_t{c0_} | uint32_t{c1_} << 8 | uint32_t{c2_} << 16;
}

uint8_t ContextPredictor::predict() const { return table_[index()]; }

void ContextPredictor::update(uint8_t b) {
    table_[index()] = b;
    c2_ = c1_;
    c1_ = c0_;
    c0_ = b;
}

uint8_t LmsPredictor::lagged(int tap) const { return history_[(pos_ - lms_model::LAGS[tap]) & 63]; }

uint8_t LmsPredictor::predict() const {
    int32_t s = 32768;
    for (int i = 0; i < lms_model::TAPS; ++i) s = wrap_add(s, wrap_mul(lagged(i), weights_[i]));
    return static_cast<uint8_t>(std::clamp(s >> 16, 0, 255));
}

void LmsPredictor::update(uint8_t b) {
    const int32_t err = (int32_t{b} - int32_t{predict()}) * lms_model::MU;
    for (int i = 0; i < lms_model::TAPS; ++i) {
        const int32_t delta = int32_t{lagged(i)} * err / 255;  // truncates toward zero
        weights_[i] = std::clamp(weights_[i] + delta, -lms_model::WEIGHT_BOUND, lms_model::WEIGHT_BOUND);
    }
    history_[pos_] = b;
    pos_ = (pos_ + 1) & 63;
}

MatchPredictor::MatchPredictor() : positions_(match_model::TABLE_MASK + 1), ring_(match_model::TABLE_MASK + 1) {}

uint8_t MatchPredictor::predict() const {
    if (count_ < 4) return 0;
    const uint8_t w0 = at(count_ - 4), w1 = at(count_ - 3), w2 = at(count_ - 2), w3 = at(count_ - 1);
    const uint64_t cand = positions_[match_model::hash(w0, w1, w2, w3)];
    if (cand == 0 || cand + 4 >= count_) return w3;
    if (at(cand) != w0 || at(cand + 1) != w1 || at(cand + 2) != w2 || at(cand + 3) != w3) return w3;
    return at(cand + 4);
}

void MatchPredictor::update(uint8_t b) {
    ring_[count_ & match_model::TABLE_MASK] = b;
    ++count_;
    if (count_ > 4) {
        const uint64_t n = count_ - 1;
        positions_[match_model::hash(at(n - 4), at(n - 3), at(n - 2), at(n - 1))] = n - 4;
    }
}

}  // namespace zelk
