// The models' integer helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "model/fixed_math.h"

namespace zelk {
namespace {

TEST(FixedMath, DivideBy255IsExactForEvery32BitValue) {
    // Every product of a byte and an LMS error (below 2^26), then a sample of
    // the rest of the range up to its top.
    for (uint32_t n = 0; n < (1u << 26); ++n) ASSERT_EQ(divide_by_255(n), n / 255) << n;
    std::mt19937 rng(3);
    for (int k = 0; k < 1'000'000; ++k) {
        const uint32_t n = static_cast<uint32_t>(rng());
        ASSERT_EQ(divide_by_255(n), n / 255) << n;
    }
    for (uint32_t n = UINT32_MAX - 100000; n != 0; ++n) ASSERT_EQ(divide_by_255(n), n / 255) << n;
}

}  // namespace
}  // namespace zelk
