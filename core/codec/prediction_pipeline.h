// The encoder's second thread. An encoder knows its whole input in advance,
// and the context, match and transformer predictions depend on the bytes
// alone, so a worker thread computes them a stretch ahead while the encoder
// runs the learned models (LMS and Mixer) and the range coder. The worker
// runs the same ByteModels as the one-thread codec over the same bytes in
// the same order, so every prediction, and therefore every chunk, is the
// same whichever way it was encoded.
#pragma once

#include <cstdint>

#include "codec/chunk_format.h"
#include "concurrency/segment_pipeline.h"
#include "model/byte_models.h"

namespace zelk {

struct BytePredictions {
    uint8_t context;
    uint8_t match;
    uint8_t transformer;
};

class PredictionPipeline {
public:
    using Ring = SegmentPipeline<BytePredictions>;

    // Starts the worker over `data`, which must outlive the pipeline. Throws
    // std::system_error if no thread can be started. The worker's tables are
    // populated at once: a long input touches nearly all of their pages.
    explicit PredictionPipeline(ByteView data);

    // The predictions for position i; positions are asked for in order.
    const BytePredictions& at(uint64_t i) { return ring_.at(i); }

private:
    Ring ring_;
};

// A FastEnsemble source that reads the pipeline's predictions.
class PipelinedPredictions {
public:
    explicit PipelinedPredictions(PredictionPipeline& pipeline) : pipeline_(pipeline) {}

    void look_up(const uint8_t*, uint64_t i) { row_ = &pipeline_.at(i); }
    uint8_t context() const { return row_->context; }
    uint8_t match(const uint8_t*, uint64_t) const { return row_->match; }
    uint8_t transformer(const uint8_t*, uint64_t) const { return row_->transformer; }
    void learn(const uint8_t*, uint64_t, uint8_t) {}

private:
    PredictionPipeline& pipeline_;
    const BytePredictions* row_ = nullptr;
};

}  // namespace zelk
