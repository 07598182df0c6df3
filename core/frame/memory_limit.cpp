#include "frame/memory_limit.h"

#include <unistd.h>

namespace zelk {

uint64_t default_memory_limit() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 4;
}

}  // namespace zelk
