#include "frame/levels.h"

#include <array>
#include <stdexcept>
#include <string>

namespace zelk {
namespace {

constexpr uint32_t MiB = uint32_t{1} << 20;

// Blocks start afresh, so a block several times Zstandard's window (512 KiB
// at level 1, 2 MiB at 3, 8 MiB at 19) loses little against a whole file;
// 1 MiB blocks cost level 3 0.6% to 7.6% on real files.
constexpr std::array<LevelSettings, MAX_LEVEL> LEVELS{{
    {{1, ZelkEffort::Never}, 4 * MiB, SampleEffort::Fast},
    {{2, ZelkEffort::Probe}, 8 * MiB, SampleEffort::Fast},
    {{3, ZelkEffort::Probe}, 8 * MiB, SampleEffort::Moderate},  // the default
    {{5, ZelkEffort::Probe}, 8 * MiB, SampleEffort::Moderate},
    {{7, ZelkEffort::Probe}, 8 * MiB, SampleEffort::Moderate},
    {{9, ZelkEffort::Always}, 16 * MiB, SampleEffort::Full},
    {{12, ZelkEffort::Always}, 16 * MiB, SampleEffort::Full},
    {{16, ZelkEffort::Always}, 16 * MiB, SampleEffort::Full},
    {{19, ZelkEffort::Always}, 16 * MiB, SampleEffort::Full},
}};

}  // namespace

LevelSettings level_settings(int level) {
    if (level < MIN_LEVEL || level > MAX_LEVEL) throw std::invalid_argument("no level " + std::to_string(level));
    return LEVELS[static_cast<size_t>(level - MIN_LEVEL)];
}

}  // namespace zelk
