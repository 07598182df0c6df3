// What a caller may ask of the frame coders, and the one function that
// checks it and fills in the library's defaults. The front doors (the
// command, the Python package) hand over the values as given, so the
// ranges, the defaults and the messages exist here alone:
//
//   level         MIN_LEVEL to MAX_LEVEL; default DEFAULT_LEVEL
//   threads       0: every core this process may run on; 1: the calling
//                 thread alone, no pool; N: at most N, never more than the
//                 cores (more threads than cores gain nothing and cost a
//                 block's memory each); at most MAX_THREADS
//   block_size    1 to MAX_LARGE_BLOCK_SIZE bytes (past MAX_BLOCK_SIZE,
//                 frames of version 4); default the level's, or with long
//                 matching 2^long_window if that is larger
//   memory_limit  bytes for the blocks in flight, when writing and when
//                 reading (memory_limit.h); default default_memory_limit()
//   long_window   long-distance matching over 2^long_window bytes,
//                 MIN_LONG_WINDOW_LOG to MAX_LONG_WINDOW_LOG (zstd_chunk.h);
//                 DEFAULT_LONG_WINDOW_LOG where a front door asks for it
//                 without a size; none by default
#pragma once

#include <cstdint>
#include <optional>

#include "frame/frame_writer.h"
#include "frame/levels.h"

namespace zelk {

inline constexpr int64_t MAX_THREADS = 1024;
inline constexpr int64_t DEFAULT_LONG_WINDOW_LOG = 27;  // 128 MiB, as zstd --long

// Signed, so that a front door passes a caller's negative value on to be
// refused here with the others.
struct CodingOptions {
    std::optional<int64_t> level;
    int64_t threads = 1;
    std::optional<int64_t> block_size;
    std::optional<int64_t> memory_limit;
    std::optional<int64_t> long_window;
};

struct CodingSettings {
    LevelSettings level;
    FrameOptions frame;  // its threads: the pool's, 0 when the calling thread codes
};

// Throws std::invalid_argument naming the option, its range and the value.
CodingSettings resolve_coding_options(const CodingOptions& options);

}  // namespace zelk
