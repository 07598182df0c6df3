// The thread pool: tasks really run at the same time, and destruction drops
// work not yet started instead of waiting for it.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "concurrency/thread_pool.h"

namespace zelk {
namespace {

using namespace std::chrono_literals;

TEST(ThreadPool, RunsTasksAtTheSameTime) {
    // Each task waits for the other to start; run one after the other they
    // would both give up.
    ThreadPool pool(2);
    std::mutex mutex;
    std::condition_variable both;
    int arrived = 0;
    auto meet = [&] {
        std::unique_lock lock(mutex);
        ++arrived;
        both.notify_all();
        return both.wait_for(lock, 5s, [&] { return arrived == 2; });
    };
    auto a = pool.submit(meet);
    auto b = pool.submit(meet);
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
}

TEST(ThreadPool, APoolOfNoThreadsRunsEachTaskAsItIsSubmitted) {
    ThreadPool pool(0);
    EXPECT_EQ(pool.size(), 0u);
    auto ran_on = pool.submit([] { return std::this_thread::get_id(); });
    EXPECT_EQ(ran_on.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(ran_on.get(), std::this_thread::get_id());
    auto failed = pool.submit([]() -> int { throw std::runtime_error("kept for the waiter"); });
    EXPECT_THROW(failed.get(), std::runtime_error);
}

TEST(ThreadPool, DestructionDropsQueuedWorkWithoutWaitingForIt) {
    std::future<int> queued;
    std::atomic<bool> release{false};
    // Frees the running task only once the pool is (most likely) being
    // destroyed, so the queued task cannot have started.
    std::jthread releaser;
    {
        ThreadPool pool(1);
        auto running = pool.submit([&] {
            while (!release) std::this_thread::sleep_for(1ms);
            return 1;
        });
        queued = pool.submit([] { return 2; });
        releaser = std::jthread([&] {
            std::this_thread::sleep_for(100ms);
            release = true;
        });
    }
    EXPECT_THROW(queued.get(), std::future_error);
}

// The processors this thread may run on, not those the machine has: a
// thread pinned to one core counts one.
TEST(ThreadPool, CountsTheCoresTheAffinityMaskAllows) {
    unsigned counted = 0;
    std::thread pinned([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        counted = available_cores();
    });
    pinned.join();
    EXPECT_EQ(counted, 1u);
}

}  // namespace
}  // namespace zelk
