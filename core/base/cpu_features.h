// The processor features that select the library's kernels, probed once per
// process. Every kernel has a portable baseline that computes the same
// values, so the choice changes speed, never output.
//
// Setting ZELK_BASELINE_KERNELS=1 in the environment before the first query
// makes every feature read as absent: the whole library then runs on its
// baseline kernels, which is how the tests hold them equal to the fast ones.
#pragma once

namespace zelk {

// Avx512: the foundation, doubleword and quadword, and vector-length
// extensions together.
enum class CpuFeature { Sse42, Avx2, Avx512 };

// Whether `feature` may be used: the processor has it and the baseline
// kernels are not forced.
bool cpu_has(CpuFeature feature);

}  // namespace zelk
