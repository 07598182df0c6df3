#include "base/large_array.h"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zelk {

#if defined(__linux__)

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::size_t MAPPED_FROM = std::size_t{4} << 20;

std::size_t mapped_size(std::size_t bytes) { return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1); }

}  // namespace

// Mapped apart from the heap, so that giving one back returns its pages to
// the system at once (the heap's trimming would keep them), on a 2 MiB
// boundary: the mapping is made a huge page larger and cut to it.
void* take_large_bytes(std::size_t bytes) {
    if (bytes < MAPPED_FROM) return ::operator new(bytes == 0 ? 1 : bytes);
    const std::size_t size = mapped_size(bytes);
    if (size < bytes || size + HUGE_PAGE < size) throw std::bad_alloc();
    void* mapped = mmap(nullptr, size + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~std::uintptr_t{HUGE_PAGE - 1};
    if (aligned > start) munmap(mapped, aligned - start);
    if (const std::size_t after = start + HUGE_PAGE - aligned; after > 0) {
        munmap(reinterpret_cast<void*>(aligned + size), after);
    }
#if defined(MADV_HUGEPAGE)
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // advice: where declined, small pages serve
#endif
    return reinterpret_cast<void*>(aligned);
}

void give_back_large_bytes(void* buffer, std::size_t bytes) noexcept {
    if (buffer == nullptr) return;
    if (bytes < MAPPED_FROM) {
        ::operator delete(buffer);
    } else {
        munmap(buffer, mapped_size(bytes));
    }
}

#else

void* take_large_bytes(std::size_t bytes) { return ::operator new(bytes == 0 ? 1 : bytes); }

void give_back_large_bytes(void* buffer, std::size_t) noexcept { ::operator delete(buffer); }

#endif

}  // namespace zelk
