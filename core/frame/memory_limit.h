// The memory a reader or writer spends on blocks, and its limit. Each block
// in flight holds its stored bytes and its data, and while it is coded the
// zelk models' tables (about 22 MiB for a block past 64 KiB); the reader and
// the writer keep at most as many blocks in flight as the limit allows, and
// refuse a frame whose blocks are too large for even one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelk {

inline constexpr uint64_t CODING_MEMORY = uint64_t{24} << 20;

constexpr uint64_t block_memory(uint32_t block_size) { return 2 * uint64_t{block_size} + CODING_MEMORY; }

// How many blocks of `block_size` fit in `limit` at once (0: not even one).
constexpr size_t blocks_within(uint64_t limit, uint32_t block_size) {
    return static_cast<size_t>(limit / block_memory(block_size));
}

// A quarter of the machine's physical memory, as xz's default for several
// threads; no limit where the machine does not say.
uint64_t default_memory_limit();

}  // namespace zelk
