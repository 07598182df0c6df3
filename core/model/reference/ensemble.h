// The whole prediction side of the stream codec for one chunk, in its plain
// form: six models in fixed slots (previous byte, order-3 context, LMS, a
// second previous-byte model, match, transformer) blended by one Mixer,
// driven through predict/update per byte and a final finish. The codec runs
// the fast ensemble (model/fast_ensemble.h) instead; the tests drive both
// over the same bytes and hold every prediction equal.
#pragma once

#include <cstdint>
#include <optional>

#include "model/mixer.h"
#include "model/reference/predictors.h"
#include "model/reference/transformer.h"

namespace zelk {

// WeightSet (six signed 16.16 words) and Predictions: model/model_constants.h.
class ModelEnsemble {
public:
    // Allocates about 25 MiB of zero-filled tables; throws std::bad_alloc.
    ModelEnsemble(std::optional<WeightSet> initial, std::optional<WeightSet> anchor);

    uint8_t predict();          // predicted byte for the next position (keeps the six predictions)
    void update(uint8_t byte);  // the true byte of that position
    void finish();              // once, after the last update

    const Mixer& mixer() const { return mixer_; }
    const Predictions& predictions() const { return kept_; }
    uint32_t pending() const { return pending_; }  // bytes since the Mixer last learned

private:
    LastBytePredictor last_;
    ContextPredictor context_;
    LmsPredictor lms_;
    LastBytePredictor second_last_;
    MatchPredictor match_;
    Transformer transformer_;
    Mixer mixer_;
    Predictions kept_{};
    uint32_t pending_ = 0;
    uint8_t last_byte_ = 0;
};

}  // namespace zelk
