// One loop, compiled three times: for the baseline, and under AVX2's and
// AVX-512's target attributes, where the compiler vectorises it for wider
// registers (on a 1024 x 1024 matrix, six levels, the inverse took 4.2 ms
// as baseline code, 2.3 with AVX2, 1.6 with AVX-512). Written without a
// signed shift or product, so that it vectorises: the floor of the shift as
// a logical shift with the sign's bits put back.
#include "matrix/lifting_kernels.h"

#include "base/cpu_features.h"

namespace zelk {
namespace detail {
namespace {

constexpr unsigned SHIFT = 15;
constexpr uint64_t HALF = uint64_t{1} << (SHIFT - 1);

template <int Sign>
[[gnu::always_inline]] inline void step(int64_t* target, const int64_t* a, const int64_t* b, size_t n,
                                        int64_t factor, bool continued) {
    const auto f = static_cast<uint64_t>(factor);
    const uint64_t times_a = continued ? 3 : 1, minus_b = continued ? ~uint64_t{0} : 1;  // 3a - b, or a + b
    for (size_t j = 0; j < n; ++j) {
        const uint64_t sum = times_a * static_cast<uint64_t>(a[j]) + minus_b * static_cast<uint64_t>(b[j]);
        const uint64_t product = f * sum + HALF;
        const uint64_t rounded = product >> SHIFT | (0 - (product >> 63)) << (64 - SHIFT);
        const auto t = static_cast<uint64_t>(target[j]);
        target[j] = static_cast<int64_t>(Sign > 0 ? t + rounded : t - rounded);
    }
}

void add_baseline(int64_t* t, const int64_t* a, const int64_t* b, size_t n, int64_t f, bool c) { step<1>(t, a, b, n, f, c); }
void subtract_baseline(int64_t* t, const int64_t* a, const int64_t* b, size_t n, int64_t f, bool c) { step<-1>(t, a, b, n, f, c); }

#if defined(ZELK_HAVE_SIMD_LIFTING)
__attribute__((target("avx2"))) void add_avx2(int64_t* t, const int64_t* a, const int64_t* b, size_t n, int64_t f, bool c) {
    step<1>(t, a, b, n, f, c);
}
__attribute__((target("avx2"))) void subtract_avx2(int64_t* t, const int64_t* a, const int64_t* b, size_t n, int64_t f, bool c) {
    step<-1>(t, a, b, n, f, c);
}
#define ZELK_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl")))
ZELK_AVX512 void add_avx512(int64_t* t, const int64_t* a, const int64_t* b, size_t n, int64_t f, bool c) {
    step<1>(t, a, b, n, f, c);
}
ZELK_AVX512 void subtract_avx512(int64_t* t, const int64_t* a, const int64_t* b, size_t n, int64_t f, bool c) {
    step<-1>(t, a, b, n, f, c);
}
#undef ZELK_AVX512
#endif

}  // namespace

const LiftingKernels LIFTING_BASELINE{add_baseline, subtract_baseline};
#if defined(ZELK_HAVE_SIMD_LIFTING)
const LiftingKernels LIFTING_AVX2{add_avx2, subtract_avx2};
const LiftingKernels LIFTING_AVX512{add_avx512, subtract_avx512};
#endif

}  // namespace detail

const LiftingKernels& lifting_kernels() {
#if defined(ZELK_HAVE_SIMD_LIFTING)
    static const LiftingKernels& chosen = cpu_has(CpuFeature::Avx512) ? detail::LIFTING_AVX512
                                          : cpu_has(CpuFeature::Avx2)  ? detail::LIFTING_AVX2
                                                                       : detail::LIFTING_BASELINE;
    return chosen;
#else
    return detail::LIFTING_BASELINE;
#endif
}

}  // namespace zelk
