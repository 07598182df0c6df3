#include "base/cpu_features.h"

#include <cstdlib>
#include <cstring>

namespace zelk {
namespace {

struct Features {
    bool sse42 = false;
    bool avx2 = false;
    bool avx512 = false;
};

Features probe() {
    Features found;
    const char* forced = std::getenv("ZELK_BASELINE_KERNELS");
    if (forced != nullptr && std::strcmp(forced, "1") == 0) return found;
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    found.sse42 = __builtin_cpu_supports("sse4.2");
    found.avx2 = __builtin_cpu_supports("avx2");
    found.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl");
#endif
    return found;
}

}  // namespace

bool cpu_has(CpuFeature feature) {
    static const Features features = probe();
    switch (feature) {
        case CpuFeature::Sse42: return features.sse42;
        case CpuFeature::Avx2: return features.avx2;
        case CpuFeature::Avx512: return features.avx512;
    }
    return false;
}

}  // namespace zelk
