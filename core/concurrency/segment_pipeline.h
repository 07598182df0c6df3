// A worker thread that computes, a stretch ahead, one item per position of a
// chunk for a consumer that reads them in order (the encoder's predictions
// of the byte-determined models, prediction_pipeline.h).
//
// The threads meet at segments of SEGMENT positions in a ring of
// RING_SEGMENTS segments: the worker publishes each segment it has filled,
// the consumer each one it is done with, and either waits (an atomic wait,
// which sleeps in the kernel) only when it has caught up with the other. The
// release store of `filled_` publishes a segment's items to the consumer's
// acquire load; the consumer's release of `released_` tells the worker which
// ring slots it may overwrite.
//
// `produce(first, end, out)` runs on the worker and fills out[0 .. end -
// first) with the items of positions first .. end - 1, for consecutive
// ranges from position 0. It is moved into the thread, so the state it
// writes at every position lies on the worker's own cache lines, away from
// what the consumer writes at every position. It must not throw.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

namespace zelk {

template <typename Item>
class SegmentPipeline {
public:
    static constexpr uint64_t SEGMENT = 16384;
    static constexpr uint64_t RING_SEGMENTS = 8;

    // Starts the worker over `length` positions. Throws std::system_error if
    // no thread can be started.
    template <typename Produce>
    SegmentPipeline(uint64_t length, Produce&& produce)
        : length_(length),
          ring_(RING_POSITIONS),
          worker_([this, produce = std::forward<Produce>(produce)]() mutable { run(produce); }) {}

    // Stops the worker, wherever it is, and waits for it.
    ~SegmentPipeline() {
        stopping_.store(true, std::memory_order_relaxed);
        released_.fetch_add(1, std::memory_order_release);  // wakes a worker waiting for room
        released_.notify_one();
        worker_.join();
    }
    SegmentPipeline(const SegmentPipeline&) = delete;
    SegmentPipeline& operator=(const SegmentPipeline&) = delete;

    // The item of position i; positions are asked for in order from 0.
    const Item& at(uint64_t i) {
        if (i == next_segment_start_) enter_segment(i / SEGMENT);
        return ring_[i % RING_POSITIONS];
    }

private:
    static constexpr uint64_t RING_POSITIONS = SEGMENT * RING_SEGMENTS;

    void enter_segment(uint64_t segment) {
        // Every segment before this one is done with.
        released_.store(segment, std::memory_order_release);
        released_.notify_one();
        for (uint64_t filled = filled_.load(std::memory_order_acquire); filled <= segment;
             filled = filled_.load(std::memory_order_acquire))
            filled_.wait(filled, std::memory_order_acquire);
        next_segment_start_ += SEGMENT;
    }

    // Waits until the segment's ring slots are free; false when told to stop.
    bool wait_for_room(uint64_t segment) {
        for (;;) {
            if (stopping_.load(std::memory_order_relaxed)) return false;
            const uint64_t released = released_.load(std::memory_order_acquire);
            if (segment < released + RING_SEGMENTS) return true;
            released_.wait(released, std::memory_order_acquire);
        }
    }

    template <typename Produce>
    void run(Produce& produce) {
        for (uint64_t segment = 0; segment * SEGMENT < length_; ++segment) {
            if (!wait_for_room(segment)) return;
            const uint64_t first = segment * SEGMENT;
            produce(first, std::min(length_, first + SEGMENT), ring_.data() + first % RING_POSITIONS);
            filled_.store(segment + 1, std::memory_order_release);
            filled_.notify_one();
        }
    }

    const uint64_t length_;
    std::vector<Item> ring_;
    uint64_t next_segment_start_ = 0;                // the consumer's
    alignas(64) std::atomic<uint64_t> filled_{0};    // segments the worker has published
    alignas(64) std::atomic<uint64_t> released_{0};  // segments the consumer is done with
    std::atomic<bool> stopping_{false};
    alignas(64) std::thread worker_;                 // last: started once the rest exists
};

}  // namespace zelk
