// Each vectorised wavelet kernel against the portable loops, on lines of
// every length around the registers' widths: the lifting's step near the
// ends of the 64-bit range (where its sums and products wrap) and in both
// forms of its sum; a rounding's squared error with ties and multipliers
// from 1 to 2^40; integers past 2^53 to values, as doubles and floats.
#include "matrix/wavelet_kernels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "base/cpu_features.h"

namespace zelk {
namespace {

#if defined(ZELK_HAVE_SIMD_WAVELET)
// Doubles compared by their bits: -0.0 against 0.0, or one NaN against
// another, would otherwise hide or invent a difference.
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void expect_agreement(const WaveletKernels& fast) {
    const WaveletKernels& plain = detail::WAVELET_BASELINE;
    std::mt19937_64 rng(11);
    for (size_t n = 0; n <= 40; ++n) {
        for (int round = 0; round < 40; ++round) {
            const unsigned bits = round % 4 == 0 ? 64 : 20 + static_cast<unsigned>(rng() % 30);
            auto draw = [&] {
                return bits == 64 ? static_cast<int64_t>(rng())
                                  : static_cast<int64_t>(rng() % (uint64_t{1} << bits)) - (int64_t{1} << (bits - 1));
            };
            std::vector<int64_t> a(n), b(n), target(n);
            for (size_t j = 0; j < n; ++j) a[j] = draw(), b[j] = draw(), target[j] = draw();
            const int64_t factor = static_cast<int64_t>(rng() % 131072) - 65536;
            const bool continued = round % 3 == 0;
            for (bool adds : {true, false}) {
                std::vector<int64_t> expected = target, got = target;
                (adds ? plain.add : plain.subtract)(expected.data(), a.data(), b.data(), n, factor, continued);
                (adds ? fast.add : fast.subtract)(got.data(), a.data(), b.data(), n, factor, continued);
                ASSERT_EQ(got, expected) << "n " << n << " factor " << factor << (continued ? " continued" : "");
            }

            const double f = round % 5 == 0 ? 1.0 : static_cast<double>(1 + rng() % (uint64_t{1} << (1 + round % 40)));
            std::vector<double> coefficients(n);
            for (size_t j = 0; j < n; ++j) {
                // Every fourth an odd multiple of half the multiplier: a tie to even.
                coefficients[j] = j % 4 == 0 ? (2.0 * static_cast<double>(draw() % 1000) + 1.0) * f / 2
                                             : static_cast<double>(draw() >> (bits == 64 ? 14 : 0));
            }
            std::vector<double> expected(n), got(n);
            plain.missed(coefficients.data(), n, f, 1.75, expected.data());
            fast.missed(coefficients.data(), n, f, 1.75, got.data());
            ASSERT_TRUE(same_bits(got, expected)) << "n " << n << " f " << f;
            for (bool as_float32 : {false, true}) {
                plain.to_values(a.data(), n, 3e-7, as_float32, expected.data());
                fast.to_values(a.data(), n, 3e-7, as_float32, got.data());
                ASSERT_TRUE(same_bits(got, expected)) << "n " << n << (as_float32 ? " as float32" : "");
            }
        }
    }
}

TEST(WaveletKernels, Avx2AgreesWithThePortableLoops) {
    if (!cpu_has(CpuFeature::Avx2)) GTEST_SKIP() << "no AVX2 here, or the baseline kernels are forced";
    expect_agreement(detail::WAVELET_AVX2);
}

TEST(WaveletKernels, Avx512AgreesWithThePortableLoops) {
    if (!cpu_has(CpuFeature::Avx512)) GTEST_SKIP() << "no AVX-512 here, or the baseline kernels are forced";
    expect_agreement(detail::WAVELET_AVX512);
}
#endif

}  // namespace
}  // namespace zelk
