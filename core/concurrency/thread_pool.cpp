// Worker threads of ThreadPool: each takes the oldest queued task, runs it
// outside the lock and goes back for the next, until the pool stops.
#include "concurrency/thread_pool.h"

#include <sched.h>

namespace zelk {

ThreadPool::ThreadPool(unsigned threads) {
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { run(); });
}

ThreadPool::~ThreadPool() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
}

void ThreadPool::post(std::function<void()> task) {
    if (workers_.empty()) {
        task();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void ThreadPool::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();  // a packaged_task: its exception goes into the future
    }
}

unsigned available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    unsigned reported = std::thread::hardware_concurrency();
    return reported > 0 ? reported : 1;
}

}  // namespace zelk
