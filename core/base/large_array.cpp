#include "base/large_array.h"

#include <new>

#include "base/zeroed_table.h"

namespace zelk {
namespace {

constexpr std::size_t PAGE = 4096;
constexpr std::size_t MAPPED_FROM = std::size_t{4} << 20;

std::size_t mapped_size(std::size_t bytes) { return (bytes + PAGE - 1) & ~(PAGE - 1); }

}  // namespace

// Mapped apart from the heap (zeroed_table.h's pages), so that giving one
// back returns its pages to the system at once; the heap's trimming would
// keep them.
void* take_large_bytes(std::size_t bytes) {
    if (bytes < MAPPED_FROM) return ::operator new(bytes == 0 ? 1 : bytes);
    if (mapped_size(bytes) < bytes) throw std::bad_alloc();
    void* buffer = map_zeroed_pages(mapped_size(bytes), Pages::OnFirstTouch);
    if (buffer == nullptr) throw std::bad_alloc();
    return buffer;
}

void give_back_large_bytes(void* buffer, std::size_t bytes) noexcept {
    if (buffer == nullptr) return;
    if (bytes < MAPPED_FROM) {
        ::operator delete(buffer);
    } else {
        munmap(buffer, mapped_size(bytes));
    }
}

}  // namespace zelk
