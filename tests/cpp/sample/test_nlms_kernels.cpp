// The AVX2 loops of the adaptive filters compute the portable ones'
// integers, at every length, in both widths of lanes and at the edges of
// their ranges.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "base/cpu_features.h"
#include "sample/nlms_kernels.h"

namespace zelk {
namespace {

#if defined(ZELK_HAVE_AVX2_NLMS)
TEST(NlmsKernels, Avx2AgreesWithThePortableLoops) {
    if (!cpu_has(CpuFeature::Avx2)) GTEST_SKIP() << "no AVX2 here, or the baseline kernels are forced";
    std::mt19937 rng(7);
    for (unsigned n : {1u, 2u, 3u, 4u, 7u, 8u, 9u, 16u, 31u, 32u, 64u, 256u}) {
        for (int round = 0; round < 300; ++round) {
            // Large inputs and steps take the 64-bit lanes; small ones the
            // 32-bit lanes, up to the edge of what those hold.
            const bool small = round % 2 == 0;
            const int32_t limit = small ? int32_t{1} << 12 : int32_t{1} << 24;
            std::vector<int32_t> w(n), x(n + 1);
            for (unsigned i = 0; i <= n; ++i) {
                if (i < n) {
                    w[i] = static_cast<int32_t>(rng() % (2 * NLMS_WEIGHT_LIMIT + 1)) - static_cast<int32_t>(NLMS_WEIGHT_LIMIT);
                }
                x[i] = round % 5 == 0 ? (rng() & 1 ? limit : -limit) : static_cast<int32_t>(rng() % (2 * limit + 1)) - limit;
            }
            const unsigned shift = 15 + rng() % 10;
            int32_t step = static_cast<int32_t>(rng());
            if (round % 7 == 0) step = rng() & 1 ? INT32_MAX : -INT32_MAX;
            if (small) {
                const int32_t edge = static_cast<int32_t>(((int64_t{1} << 31) - (int64_t{1} << (shift - 1))) / limit);
                step = round % 3 == 0 ? edge - 1 + static_cast<int32_t>(rng() % 3) : static_cast<int32_t>(rng() % (2 * edge)) - edge;
                if (rng() & 1) step = -step;
            }
            std::vector<int32_t> fast = w, portable = w;
            EXPECT_EQ(detail::NLMS_AVX2.adapt(fast.data(), x.data(), n, step, shift),
                      detail::NLMS_BASELINE.adapt(portable.data(), x.data(), n, step, shift));
            ASSERT_EQ(fast, portable) << "n " << n << " step " << step << " shift " << shift;
        }
    }
}
#endif

}  // namespace
}  // namespace zelk
