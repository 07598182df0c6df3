// A fixed set of worker threads that run submitted tasks in submission
// order. Work is handed back through std::future, so a task's exception
// reaches whoever waits for its result. Destroying the pool drops the tasks
// that have not started (their futures report a broken promise) and waits
// for the running ones. A pool of no threads runs each task on the thread
// that submits it, before submit() returns: what a caller whose input is
// all in memory wants from one thread, with nothing to overlap.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace zelk {

class ThreadPool {
public:
    explicit ThreadPool(unsigned threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned size() const { return static_cast<unsigned>(workers_.size()); }

    template <typename F>
    std::future<std::invoke_result_t<F&>> submit(F work) {
        using R = std::invoke_result_t<F&>;
        // std::function needs a copyable target; the shared task makes it one.
        auto task = std::make_shared<std::packaged_task<R()>>(std::move(work));
        std::future<R> result = task->get_future();
        post([task] { (*task)(); });
        return result;
    }

private:
    void post(std::function<void()> task);
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// The number of processors this process may run on (at least 1).
unsigned available_cores();

}  // namespace zelk
