// Drives the six models and the Mixer on the 32-byte learning cadence: the
// Mixer learns from every 32nd byte and its predictions only, and once more in
// finish from the chunk's last byte when the length is not a multiple of 32.
#include "model/reference/ensemble.h"

namespace zelk {

ModelEnsemble::ModelEnsemble(std::optional<WeightSet> initial, std::optional<WeightSet> anchor)
    : mixer_(initial, anchor) {}

uint8_t ModelEnsemble::predict() {
    kept_ = {last_.predict(),        context_.predict(), lms_.predict(),
             second_last_.predict(), match_.predict(),   transformer_.predict()};
    return mixer_.predict(kept_);
}

void ModelEnsemble::update(uint8_t byte) {
    if (pending_ < 31) {
        ++pending_;
    } else {
        mixer_.update(32, byte, kept_);
        pending_ = 0;
    }
    last_.update(byte);
    context_.update(byte);
    lms_.update(byte);
    second_last_.update(byte);
    match_.update(byte);
    transformer_.update(byte);
    last_byte_ = byte;
}

void ModelEnsemble::finish() {
    if (pending_ > 0) mixer_.update(pending_, last_byte_, kept_);
}

}  // namespace zelk
