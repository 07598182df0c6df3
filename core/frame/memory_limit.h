// The memory a reader or writer spends on blocks, and its limit. Each block
// in flight holds its stored bytes and its data, and while it is coded the
// zelk models' tables (about 22 MiB for a block past 64 KiB); the reader and
// the writer keep at most as many blocks in flight as the limit allows, and
// refuse a frame whose blocks are too large for even one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zelk {

inline constexpr uint64_t CODING_MEMORY = uint64_t{24} << 20;

constexpr uint64_t block_memory(uint32_t block_size) { return 2 * uint64_t{block_size} + CODING_MEMORY; }

// Not even one block of a frame fits the memory limit. The writer's caller
// asked for what cannot be had (an invalid argument); the reader names the
// frame and reports it as a FrameError.
class MemoryLimitExceeded : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// How many blocks of `block_size` may be in flight at once within `limit`:
// `wanted`, or fewer if the limit says so, and at least one. Throws
// MemoryLimitExceeded when not even one fits.
size_t blocks_in_flight(uint64_t limit, uint32_t block_size, size_t wanted);

// A quarter of the machine's physical memory, as xz's default for several
// threads; no limit where the machine does not say. Readers and writers
// use it when their caller sets no limit.
uint64_t default_memory_limit();

// A byte count for messages: "512 bytes", "20 KiB", "3 MiB", "2 GiB"
// (whole units, rounded down).
std::string describe_bytes(uint64_t bytes);

}  // namespace zelk
