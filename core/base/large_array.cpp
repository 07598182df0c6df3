#include "base/large_array.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zelk {
namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::size_t ADVISED_FROM = std::size_t{4} << 20;

}  // namespace

void* take_large_bytes(std::size_t bytes) {
    if (bytes < ADVISED_FROM) return ::operator new(bytes == 0 ? 1 : bytes);
    const std::size_t rounded = (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    if (rounded < bytes) throw std::bad_alloc();
    void* buffer = nullptr;
    if (posix_memalign(&buffer, HUGE_PAGE, rounded) != 0) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(buffer, rounded, MADV_HUGEPAGE);  // advice: where the kernel declines it, small pages serve
#endif
    return buffer;
}

void give_back_large_bytes(void* buffer, std::size_t bytes) noexcept {
    if (buffer == nullptr) return;
    if (bytes < ADVISED_FROM) {
        ::operator delete(buffer);
    } else {
        std::free(buffer);
    }
}

}  // namespace zelk
