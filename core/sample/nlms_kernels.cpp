#include "sample/nlms_kernels.h"

#include <algorithm>

#include "base/cpu_features.h"

namespace zelk {
namespace detail {
namespace {

int64_t adapt_baseline(int32_t* w, const int32_t* x, unsigned n, int32_t step, unsigned shift) {
    const int64_t half = int64_t{1} << (shift - 1);
    int64_t total = 0;
    for (unsigned i = 0; i < n; ++i) {
        const int64_t moved = w[i] + ((int64_t{step} * x[i] + half) >> shift);
        w[i] = static_cast<int32_t>(std::clamp(moved, -NLMS_WEIGHT_LIMIT, NLMS_WEIGHT_LIMIT));
        total += int64_t{w[i]} * x[i + 1];
    }
    return total;
}

}  // namespace

const NlmsKernels NLMS_BASELINE{adapt_baseline};

}  // namespace detail

const NlmsKernels& nlms_kernels() {
#if defined(ZELK_HAVE_AVX2_NLMS)
    static const NlmsKernels& chosen = cpu_has(CpuFeature::Avx2) ? detail::NLMS_AVX2 : detail::NLMS_BASELINE;
    return chosen;
#else
    return detail::NLMS_BASELINE;
#endif
}

}  // namespace zelk
