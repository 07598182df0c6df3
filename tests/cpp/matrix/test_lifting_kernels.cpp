// Each vectorised lifting kernel against the portable loop, on lines of
// every length around the registers' widths, near the ends of the 64-bit
// range (where the sums and products wrap) and in both forms of the sum.
#include "matrix/lifting_kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "base/cpu_features.h"

namespace zelk {
namespace {

#if defined(ZELK_HAVE_SIMD_LIFTING)
void expect_agreement(const LiftingKernels& fast) {
    std::mt19937_64 rng(11);
    for (size_t n = 0; n <= 40; ++n) {
        for (int round = 0; round < 40; ++round) {
            const unsigned bits = round % 4 == 0 ? 64 : 20 + static_cast<unsigned>(rng() % 30);
            auto draw = [&] { return static_cast<int64_t>(bits == 64 ? rng() : rng() % (uint64_t{1} << bits)) - (bits == 64 ? 0 : int64_t{1} << (bits - 1)); };
            std::vector<int64_t> a(n), b(n), target(n);
            for (size_t j = 0; j < n; ++j) a[j] = draw(), b[j] = draw(), target[j] = draw();
            const int64_t factor = static_cast<int64_t>(rng() % 131072) - 65536;
            const bool continued = round % 3 == 0;
            for (bool adds : {true, false}) {
                std::vector<int64_t> expected = target, got = target;
                (adds ? detail::LIFTING_BASELINE.add : detail::LIFTING_BASELINE.subtract)(expected.data(), a.data(), b.data(), n, factor, continued);
                (adds ? fast.add : fast.subtract)(got.data(), a.data(), b.data(), n, factor, continued);
                ASSERT_EQ(got, expected) << "n " << n << " factor " << factor << (continued ? " continued" : "");
            }
        }
    }
}

TEST(LiftingKernels, Avx2AgreesWithThePortableLoop) {
    if (!cpu_has(CpuFeature::Avx2)) GTEST_SKIP() << "no AVX2 here, or the baseline kernels are forced";
    expect_agreement(detail::LIFTING_AVX2);
}

TEST(LiftingKernels, Avx512AgreesWithThePortableLoop) {
    if (!cpu_has(CpuFeature::Avx512)) GTEST_SKIP() << "no AVX-512 here, or the baseline kernels are forced";
    expect_agreement(detail::LIFTING_AVX512);
}
#endif

}  // namespace
}  // namespace zelk
