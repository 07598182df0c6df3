#include "frame/levels.h"

#include <algorithm>
#include <array>

namespace zelk {
namespace {

constexpr uint32_t MiB = uint32_t{1} << 20;

constexpr std::array<LevelSettings, MAX_LEVEL> LEVELS{{
    {1, ZelkEffort::Never, 1 * MiB},
    {2, ZelkEffort::Probe, 1 * MiB},
    {3, ZelkEffort::Probe, 1 * MiB},   // the default
    {5, ZelkEffort::Probe, 1 * MiB},
    {7, ZelkEffort::Probe, 2 * MiB},
    {9, ZelkEffort::Always, 2 * MiB},
    {12, ZelkEffort::Always, 4 * MiB},
    {16, ZelkEffort::Always, 8 * MiB},
    {19, ZelkEffort::Always, 16 * MiB},
}};

}  // namespace

LevelSettings level_settings(int level) { return LEVELS[std::clamp(level, MIN_LEVEL, MAX_LEVEL) - 1]; }

}  // namespace zelk
