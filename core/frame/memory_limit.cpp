#include "frame/memory_limit.h"

#include <unistd.h>

#include <algorithm>

namespace zelk {

size_t blocks_in_flight(uint64_t limit, uint32_t block_size, size_t wanted) {
    const uint64_t fitting = limit / block_memory(block_size);
    if (fitting == 0) {
        throw MemoryLimitExceeded("blocks of " + std::to_string(block_size) + " bytes need about " +
                                  describe_bytes(block_memory(block_size)) + " each, more than the memory limit of " +
                                  describe_bytes(limit));
    }
    return static_cast<size_t>(std::clamp<uint64_t>(wanted, 1, fitting));
}

uint64_t default_memory_limit() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 4;
}

std::string describe_bytes(uint64_t bytes) {
    static constexpr const char* UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    int unit = -1;
    while (bytes >= 1024 && unit < 5) {
        bytes >>= 10;
        ++unit;
    }
    return std::to_string(bytes) + " " + UNITS[unit];
}

}  // namespace zelk
