// Compression levels of the frame writer. Each block is stored as the
// smallest of its raw bytes, a Zstandard fallback chunk and a zelk chunk
// that the level allows; a level sets Zstandard's level, how hard the zelk
// encoder is tried, and the default block size (Zstandard's higher levels
// find more in larger blocks; the zelk models gain little past 1 MiB).
// A reader holds about two blocks per thread.
#pragma once

#include <cstdint>

#include "codec/any_chunk.h"
#include "sample/sample_block.h"

namespace zelk {

struct LevelSettings : ChunkEffort {
    uint32_t block_size;
    SampleEffort sample;  // for blocks of typed samples
};

inline constexpr int MIN_LEVEL = 1;
inline constexpr int MAX_LEVEL = 9;
inline constexpr int DEFAULT_LEVEL = 3;

// The settings of a level from MIN_LEVEL to MAX_LEVEL; throws
// std::invalid_argument for any other (resolve_coding_options() checks a
// caller's level first).
LevelSettings level_settings(int level);

}  // namespace zelk
