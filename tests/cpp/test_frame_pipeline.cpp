// The thread pool and the ordered pipeline under the frame: results in push
// order whatever the order work finishes in, the bound on work in flight,
// work actually running in parallel, and failures surfacing in their turn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "frame_pipeline.h"
#include "thread_pool.h"

namespace zelk {
namespace {

using namespace std::chrono_literals;

TEST(OrderedPipeline, ConsumesInPushOrderWhateverFinishesFirst) {
    ThreadPool pool(4);
    std::vector<int> seen;
    OrderedPipeline<int> pipeline(pool, 8, [&](int&& v) { seen.push_back(v); });
    std::mt19937 random(1);
    for (int i = 0; i < 200; ++i) {
        const auto pause = std::chrono::microseconds(random() % 500);
        pipeline.push([i, pause] {
            std::this_thread::sleep_for(pause);
            return i;
        });
    }
    pipeline.finish();
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
}

TEST(OrderedPipeline, NeverHoldsMoreThanItsBound) {
    ThreadPool pool(3);
    std::atomic<int> started{0}, consumed{0}, worst{0};
    const int bound = 5;
    OrderedPipeline<int> pipeline(pool, bound, [&](int&&) { ++consumed; });
    for (int i = 0; i < 100; ++i) {
        pipeline.push([&] {
            const int outstanding = ++started - consumed;
            int seen = worst;
            while (outstanding > seen && !worst.compare_exchange_weak(seen, outstanding)) {
            }
            std::this_thread::sleep_for(100us);
            return 0;
        });
        EXPECT_LE(pipeline.in_flight(), size_t{bound});
    }
    pipeline.finish();
    EXPECT_EQ(consumed, 100);
    EXPECT_LE(worst, bound);
}

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

TEST(OrderedPipeline, FailureSurfacesAfterTheResultsBeforeIt) {
    ThreadPool pool(2);
    std::vector<int> seen;
    OrderedPipeline<int> pipeline(pool, 4, [&](int&& v) { seen.push_back(v); });
    auto run = [&] {
        for (int i = 0; i < 20; ++i) {
            pipeline.push([i] {
                if (i == 6) throw std::runtime_error("block 6 failed");
                return i;
            });
        }
        pipeline.finish();
    };
    EXPECT_THROW(run(), std::runtime_error);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5}));
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

TEST(ThreadPool, CountsAtLeastOneCore) { EXPECT_GE(available_cores(), 1u); }

}  // namespace
}  // namespace zelk
