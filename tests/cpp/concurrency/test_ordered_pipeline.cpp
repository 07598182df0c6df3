// The ordered pipeline under the frame: results in push order whatever the
// order work finishes in, the bound on work in flight, and failures
// surfacing in their turn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "concurrency/ordered_pipeline.h"
#include "concurrency/thread_pool.h"

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

}  // namespace
}  // namespace zelk
