#include "frame/coding_options.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "codec/zstd_chunk.h"
#include "concurrency/thread_pool.h"
#include "frame/frame_format.h"
#include "frame/memory_limit.h"

namespace zelk {
namespace {

template <typename T>
T within(const char* name, T value, T least, T most) {
    if (value < least || value > most) {
        throw std::invalid_argument(std::string(name) + " must be between " + std::to_string(least) + " and " +
                                    std::to_string(most) + ", not " + std::to_string(value));
    }
    return value;
}

unsigned pool_threads(int64_t asked) {
    const unsigned cores = available_cores();
    const auto threads = static_cast<unsigned>(within<int64_t>("threads", asked, 0, MAX_THREADS));
    const unsigned chosen = threads == 0 ? cores : std::min(threads, cores);
    return chosen == 1 ? 0 : chosen;
}

}  // namespace

CodingSettings resolve_coding_options(const CodingOptions& options) {
    const auto level = static_cast<int>(
        within<int64_t>("level", options.level.value_or(DEFAULT_LEVEL), MIN_LEVEL, MAX_LEVEL));
    CodingSettings settings{level_settings(level), {}};
    if (options.long_window) {
        settings.level.zstd_window_log = static_cast<unsigned>(
            within<int64_t>("long", *options.long_window, MIN_LONG_WINDOW_LOG, MAX_LONG_WINDOW_LOG));
        settings.level.block_size = std::max(settings.level.block_size, uint32_t{1} << settings.level.zstd_window_log);
    }
    settings.frame.block_size = options.block_size
                                    ? static_cast<uint32_t>(within<int64_t>("block_size", *options.block_size, 1,
                                                                            MAX_LARGE_BLOCK_SIZE))
                                    : settings.level.block_size;
    settings.frame.threads = pool_threads(options.threads);
    settings.frame.memory_limit = options.memory_limit
                                      ? static_cast<uint64_t>(within<int64_t>("memory_limit", *options.memory_limit,
                                                                              1, INT64_MAX))
                                      : default_memory_limit();
    return settings;
}

}  // namespace zelk
