// The model ensemble as the chunk codec runs it: the same six predictions
// and the same Mixer as ModelEnsemble, computed from the chunk's own bytes
// rather than from copies of them in rings.
//
// `Source` gives the three predictions that depend on the bytes alone
// (byte_models.h): ByteModels computes them as it goes, and the encoder's
// prediction pipeline hands over those a worker thread computed ahead. The
// LMS and the Mixer, which learn from their own predictions, run here.
//
// The caller passes `h`, the chunk's bytes as far as they are known, and the
// position i of the byte to predict; 128 bytes before position 0 must read
// as zeros (History supplies them).
//
// Work the Mixer cannot use is skipped: while it passes one model through,
// only that model predicts, except at the bytes it learns from (every 32nd
// and the chunk's last), which need all six. The LMS predicts always, since
// its own update needs its prediction.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "model/byte_models.h"
#include "model/fixed_math.h"
#include "model/mixer.h"

namespace zelk {

template <typename Source>
class FastEnsemble {
public:
    // `source_arguments`: what Source is built from.
    template <typename... SourceArguments>
    FastEnsemble(std::optional<WeightSet> initial, std::optional<WeightSet> anchor,
                 SourceArguments&&... source_arguments)
        : source_(std::forward<SourceArguments>(source_arguments)...), mixer_(initial, anchor) {}

    // The prediction for position i. `last`: i is the chunk's last byte.
    uint8_t predict(const uint8_t* h, uint64_t i, bool last) {
        const uint8_t* end = h + i;
        source_.look_up(h, i);
        lms_prediction_ = lms_predict(end);

        const bool learns_here = pending_ == 31 || last;
        if (mixer_.run() > Mixer::PASS_THROUGH_RUN && !learns_here) {
            switch (mixer_.best()) {
                case 1: return source_.context();
                case 2: return lms_prediction_;
                case 4: return source_.match(h, i);
                case 5: return source_.transformer(h, i);
                default: return end[-1];  // slots 0 and 3
            }
        }
        kept_ = {end[-1], source_.context(), lms_prediction_, end[-1], source_.match(h, i), source_.transformer(h, i)};
        return mixer_.predict(kept_);
    }

    // The true byte b of position i, after predict(h, i, ...).
    void update(const uint8_t* h, uint64_t i, uint8_t b) {
        if (pending_ < 31) {
            ++pending_;
        } else {
            mixer_.update(32, b, kept_);
            pending_ = 0;
        }
        lms_update(h + i, b);
        source_.learn(h, i, b);
        last_byte_ = b;
    }

    void finish() {
        if (pending_ > 0) mixer_.update(pending_, last_byte_, kept_);
    }

    const Mixer& mixer() const { return mixer_; }
    const Predictions& predictions() const { return kept_; }

private:
    uint8_t lms_predict(const uint8_t* end) const {
        int32_t s = 32768;
        for (int t = 0; t < lms_model::TAPS; ++t)
            s = wrap_add(s, wrap_mul(end[-static_cast<int>(lms_model::LAGS[t])], lms_weights_[t]));
        return static_cast<uint8_t>(std::clamp(s >> 16, 0, 255));
    }

    void lms_update(const uint8_t* end, uint8_t b) {
        const int32_t err = (int32_t{b} - int32_t{lms_prediction_}) * lms_model::MU;
        // x * err / 255 truncates toward zero: divide the magnitude and give
        // the quotient err's sign, (q ^ sign) - sign, without a branch.
        const uint32_t sign = uint32_t{0} - uint32_t{err < 0};
        const uint32_t magnitude = (static_cast<uint32_t>(err) ^ sign) - sign;
        for (int t = 0; t < lms_model::TAPS; ++t) {
            const uint32_t step = divide_by_255(end[-static_cast<int>(lms_model::LAGS[t])] * magnitude);
            const auto delta = static_cast<int32_t>((step ^ sign) - sign);
            lms_weights_[t] = std::clamp(lms_weights_[t] + delta, -lms_model::WEIGHT_BOUND, lms_model::WEIGHT_BOUND);
        }
    }

    Source source_;
    std::array<int32_t, lms_model::TAPS> lms_weights_ = lms_model::INITIAL_WEIGHTS;
    Mixer mixer_;
    Predictions kept_{};
    uint32_t pending_ = 0;
    uint8_t last_byte_ = 0;
    uint8_t lms_prediction_ = 0;
};

}  // namespace zelk
