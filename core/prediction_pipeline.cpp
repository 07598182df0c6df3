// The worker's loop and the two waits of the prediction pipeline. The
// release store of `filled_` publishes a segment's predictions to the
// encoder's acquire load; the encoder's release of `released_` tells the
// worker which ring slots it may overwrite.
#include "prediction_pipeline.h"

#include <algorithm>

#include "chunk_models.h"

namespace zelk {

PredictionPipeline::PredictionPipeline(ByteView data)
    : data_(data), ring_(RING_POSITIONS), models_(data.size(), Pages::Populated), worker_([this] { run(); }) {}

PredictionPipeline::~PredictionPipeline() {
    stopping_.store(true, std::memory_order_relaxed);
    released_.fetch_add(1, std::memory_order_release);  // wakes a worker waiting for room
    released_.notify_one();
    worker_.join();
}

void PredictionPipeline::enter_segment(uint64_t segment) {
    // Every segment before this one is done with.
    released_.store(segment, std::memory_order_release);
    released_.notify_one();
    for (uint64_t filled = filled_.load(std::memory_order_acquire); filled <= segment;
         filled = filled_.load(std::memory_order_acquire))
        filled_.wait(filled, std::memory_order_acquire);
    next_segment_start_ += SEGMENT;
}

// Waits until the segment's ring slots are free; false when told to stop.
bool PredictionPipeline::wait_for_room(uint64_t segment) {
    for (;;) {
        if (stopping_.load(std::memory_order_relaxed)) return false;
        const uint64_t released = released_.load(std::memory_order_acquire);
        if (segment < released + RING_SEGMENTS) return true;
        released_.wait(released, std::memory_order_acquire);
    }
}

void PredictionPipeline::run() {
    History history(data_.data());
    const uint64_t n = data_.size();
    for (uint64_t segment = 0; segment * SEGMENT < n; ++segment) {
        if (!wait_for_room(segment)) return;
        const uint64_t end = std::min(n, (segment + 1) * SEGMENT);
        for (uint64_t i = segment * SEGMENT; i < end; ++i) {
            const uint8_t* h = history.at(i);
            models_.look_up(h, i);
            ring_[i % RING_POSITIONS] = {models_.context(), models_.match(h, i), models_.transformer(h, i)};
            history.record(i, data_[i]);
            models_.learn(h, i, data_[i]);
        }
        filled_.store(segment + 1, std::memory_order_release);
        filled_.notify_one();
    }
}

}  // namespace zelk
