// The ordered pipeline under the frame writer and reader: blocks are worked
// on in parallel, but their results are consumed strictly in the order the
// blocks were pushed, and no more than `max_in_flight` results (running,
// queued or finished but not yet consumed) exist at once, which bounds the
// memory a frame of any length needs.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <utility>

#include "concurrency/thread_pool.h"

namespace zelk {

template <typename R>
class OrderedPipeline {
public:
    OrderedPipeline(ThreadPool& pool, size_t max_in_flight, std::function<void(R&&)> consume)
        : pool_(pool), max_in_flight_(max_in_flight > 0 ? max_in_flight : 1),
          consume_(std::move(consume)) {}

    // Queues `work` after consuming the oldest result if the pipeline is full.
    // A work item's exception is thrown here or in finish(), when its turn to
    // be consumed comes; the results before it have been consumed by then.
    template <typename F>
    void push(F work) {
        if (in_flight_.size() >= max_in_flight_) consume_oldest();
        in_flight_.push_back(pool_.submit(std::move(work)));
    }

    // Consumes every outstanding result, in order.
    void finish() {
        while (!in_flight_.empty()) consume_oldest();
    }

    size_t in_flight() const { return in_flight_.size(); }

    // A new bound for the pushes to come (at least 1).
    void set_max_in_flight(size_t max_in_flight) { max_in_flight_ = max_in_flight > 0 ? max_in_flight : 1; }

    // Waits for the oldest result and consumes it (there must be one).
    void consume_oldest() {
        std::future<R> oldest = std::move(in_flight_.front());
        in_flight_.pop_front();
        consume_(oldest.get());
    }

private:

    ThreadPool& pool_;
    size_t max_in_flight_;
    std::function<void(R&&)> consume_;
    std::deque<std::future<R>> in_flight_;
};

}  // namespace zelk
