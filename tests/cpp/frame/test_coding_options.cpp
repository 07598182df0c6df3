// The one place the front doors' options are checked and completed.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "concurrency/thread_pool.h"
#include "frame/coding_options.h"
#include "frame/memory_limit.h"

namespace zelk {
namespace {

std::string refusal(const CodingOptions& options) {
    try {
        resolve_coding_options(options);
        return "accepted";
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
}

TEST(CodingOptions, FillsInTheLibrarysDefaults) {
    const CodingSettings settings = resolve_coding_options({});
    EXPECT_EQ(settings.level.zstd_level, level_settings(DEFAULT_LEVEL).zstd_level);
    EXPECT_EQ(settings.frame.block_size, level_settings(DEFAULT_LEVEL).block_size);
    EXPECT_EQ(settings.frame.memory_limit, default_memory_limit());
    EXPECT_EQ(settings.frame.threads, 0u);  // one thread: the caller's own, no pool
    EXPECT_EQ(resolve_coding_options({9, 1, 4096, 5}).frame.block_size, 4096u);
}

TEST(CodingOptions, ThreadsMeanTheSameEverywhere) {
    const unsigned cores = available_cores();
    const unsigned every = cores == 1 ? 0 : cores;
    EXPECT_EQ(resolve_coding_options({{}, 0, {}, {}}).frame.threads, every);
    EXPECT_EQ(resolve_coding_options({{}, MAX_THREADS, {}, {}}).frame.threads, every);
    EXPECT_EQ(resolve_coding_options({{}, 2, {}, {}}).frame.threads, cores >= 2 ? 2u : 0u);
}

TEST(CodingOptions, RefusesValuesOutOfRangeNamingThem) {
    EXPECT_EQ(refusal({0, 1, {}, {}}), "level must be between 1 and 9, not 0");
    EXPECT_EQ(refusal({10, 1, {}, {}}), "level must be between 1 and 9, not 10");
    EXPECT_EQ(refusal({{}, -1, {}, {}}), "threads must be between 0 and 1024, not -1");
    EXPECT_EQ(refusal({{}, 1, 0, {}}), "block_size must be between 1 and 2147483648, not 0");
    EXPECT_EQ(refusal({{}, 1, int64_t{1} << 31 | 1, {}}), "block_size must be between 1 and 2147483648, not 2147483649");
    EXPECT_EQ(refusal({{}, 1, {}, 0}), "memory_limit must be between 1 and 9223372036854775807, not 0");
    EXPECT_EQ(refusal({{}, 1, {}, {}, 9}), "long must be between 10 and 31, not 9");
    EXPECT_EQ(refusal({{}, 1, {}, {}, 32}), "long must be between 10 and 31, not 32");
}

TEST(CodingOptions, LongMatchesTakeBlocksOfTheirWindow) {
    const CodingSettings settings = resolve_coding_options({9, 1, {}, {}, 27});
    EXPECT_EQ(settings.level.zstd_window_log, 27u);
    EXPECT_EQ(settings.frame.block_size, uint32_t{1} << 27);
    EXPECT_EQ(resolve_coding_options({9, 1, {}, {}, 20}).frame.block_size, level_settings(9).block_size);
    EXPECT_EQ(resolve_coding_options({9, 1, 1 << 20, {}, 27}).frame.block_size, 1u << 20);  // as asked
}

TEST(MemoryLimit, NamesSizesInWholeUnits) {
    EXPECT_EQ(describe_bytes(1), "1 byte");
    EXPECT_EQ(describe_bytes(1023), "1023 bytes");
    EXPECT_EQ(describe_bytes(20 << 20), "20 MiB");
    EXPECT_EQ(describe_bytes((uint64_t{3} << 30) + 5), "3 GiB");
    EXPECT_THROW(blocks_in_flight(1, 1, 4), MemoryLimitExceeded);
    EXPECT_EQ(blocks_in_flight(UINT64_MAX, 1, 0), 1u);
    EXPECT_EQ(blocks_in_flight(3 * block_memory(1000), 1000, 8), 3u);
}

}  // namespace
}  // namespace zelk
