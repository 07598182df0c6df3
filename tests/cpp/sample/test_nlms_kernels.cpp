// The AVX2 loops of the adaptive filters compute the portable ones'
// integers, at every length and at the edges of their ranges.
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
    const int32_t limit = int32_t{1} << 24;
    for (unsigned n : {1u, 2u, 3u, 4u, 7u, 8u, 16u, 31u, 32u, 64u, 256u}) {
        for (int round = 0; round < 200; ++round) {
            std::vector<int32_t> w(n), x(n);
            for (unsigned i = 0; i < n; ++i) {
                w[i] = static_cast<int32_t>(rng() % (2 * NLMS_WEIGHT_LIMIT + 1)) - static_cast<int32_t>(NLMS_WEIGHT_LIMIT);
                x[i] = round % 5 == 0 ? (rng() & 1 ? limit : -limit) : static_cast<int32_t>(rng() % (2 * limit + 1)) - limit;
            }
            const int32_t step = round % 7 == 0 ? (rng() & 1 ? INT32_MAX : -INT32_MAX) : static_cast<int32_t>(rng());
            const unsigned shift = 15 + rng() % 10;
            EXPECT_EQ(detail::NLMS_AVX2.dot(w.data(), x.data(), n), detail::NLMS_BASELINE.dot(w.data(), x.data(), n));
            std::vector<int32_t> fast = w, portable = w;
            detail::NLMS_AVX2.update(fast.data(), x.data(), n, step, shift);
            detail::NLMS_BASELINE.update(portable.data(), x.data(), n, step, shift);
            ASSERT_EQ(fast, portable) << "n " << n << " step " << step << " shift " << shift;
        }
    }
}
#endif

}  // namespace
}  // namespace zelk
