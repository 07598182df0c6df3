// Kept buffers: a large buffer given back serves the next request it fits,
// aligned, and one given back on another thread is taken in there safely.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>

#include "base/kept_buffers.h"

namespace zelk {
namespace {

TEST(KeptBuffers, AFreedLargeBufferServesTheNextRequestItFits) {
    // Sizes the C library maps and unmaps on its own, so that what comes
    // back is kept rather than freed and allocated again.
    constexpr std::size_t SIZE = std::size_t{1} << 20;
    void* first = take_kept_bytes(SIZE + 1000);
    std::memset(first, 1, SIZE + 1000);
    give_back_kept_bytes(first, SIZE + 1000);
    void* again = take_kept_bytes(SIZE);  // smaller: the kept buffer, at its whole capacity
    EXPECT_EQ(again, first);
    // Kept, not unmapped and mapped again as zeros.
    EXPECT_EQ(static_cast<unsigned char*>(again)[0], 1);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(again) % alignof(std::max_align_t), 0u);
    void* larger = take_kept_bytes(2 * SIZE);  // nothing kept fits
    EXPECT_NE(larger, first);
    give_back_kept_bytes(again, SIZE);
    give_back_kept_bytes(larger, 2 * SIZE);
    EXPECT_EQ(take_kept_bytes(SIZE + 1000), first);  // the smallest that fits
    give_back_kept_bytes(first, SIZE + 1000);
}

TEST(KeptBuffers, VectorsAndBuffersCrossThreads) {
    KeptVector<int64_t> values(KEPT_FROM, 7);
    std::thread([&values] {
        KeptVector<int64_t> moved = std::move(values);  // freed on this thread, kept until it ends
        EXPECT_EQ(moved[KEPT_FROM - 1], 7);
        const KeptBytes small(100);
        std::memset(small.data(), 0, small.size());
    }).join();
    KeptVector<int64_t> fresh(KEPT_FROM, 8);
    EXPECT_EQ(fresh.back(), 8);
}

}  // namespace
}  // namespace zelk
