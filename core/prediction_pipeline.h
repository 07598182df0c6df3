// The encoder's second thread. An encoder knows its whole input in advance,
// and the context, match and transformer predictions depend on the bytes
// alone, so a worker thread computes them a stretch ahead while the encoder
// runs the learned models (LMS and Mixer) and the range coder. The worker
// runs the same ByteModels as the one-thread codec over the same bytes in
// the same order, so every prediction, and therefore every chunk, is the
// same whichever way it was encoded.
//
// The threads meet at segments of SEGMENT positions in a ring of
// RING_SEGMENTS segments: the worker publishes each segment it has filled,
// the encoder each one it is done with, and either waits (an atomic wait,
// which sleeps in the kernel) only when it has caught up with the other.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "byte_models.h"
#include "chunk_format.h"

namespace zelk {

struct BytePredictions {
    uint8_t context;
    uint8_t match;
    uint8_t transformer;
};

class PredictionPipeline {
public:
    // Starts the worker over `data`, which must outlive the pipeline. Throws
    // std::system_error if no thread can be started.
    explicit PredictionPipeline(ByteView data);
    // Stops the worker, wherever it is, and waits for it.
    ~PredictionPipeline();
    PredictionPipeline(const PredictionPipeline&) = delete;
    PredictionPipeline& operator=(const PredictionPipeline&) = delete;

    // The predictions for position i; positions are asked for in order.
    const BytePredictions& at(uint64_t i) {
        if (i == next_segment_start_) enter_segment(i / SEGMENT);
        return ring_[i % RING_POSITIONS];
    }

    static constexpr uint64_t SEGMENT = 16384;
    static constexpr uint64_t RING_SEGMENTS = 8;

private:
    static constexpr uint64_t RING_POSITIONS = SEGMENT * RING_SEGMENTS;

    void enter_segment(uint64_t segment);
    bool wait_for_room(uint64_t segment);
    void run();

    // What each thread writes sits on cache lines of its own: the worker's
    // table slots, written at every byte, would otherwise keep taking away
    // the line of what the encoder reads at every byte.
    ByteView data_;
    std::vector<BytePredictions> ring_;
    uint64_t next_segment_start_ = 0;  // the encoder's
    alignas(64) std::atomic<uint64_t> filled_{0};    // segments the worker has published
    alignas(64) std::atomic<uint64_t> released_{0};  // segments the encoder is done with
    std::atomic<bool> stopping_{false};
    alignas(64) ByteModels<DirectTables> models_;  // the worker's
    std::thread worker_;  // last: started once the rest exists
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
