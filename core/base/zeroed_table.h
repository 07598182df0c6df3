// A fixed-size table obtained zero-filled and released with its owner.
//
// The models' tables are large (up to 16 MiB) and mostly sparse in short
// chunks. Large tables are mapped straight from the kernel: fresh anonymous
// pages read as zero, so pages that are never touched cost nothing. calloc
// cannot promise that across calls: once a large block has been freed, glibc
// raises its mmap threshold and serves the next one from the heap, which it
// must then clear in full. Small tables use calloc.
//
// A mapped table starts at a 2 MiB boundary and asks for transparent huge
// pages (where the system grants them on request): the context and match
// models read their tables at random, and with 4 KiB pages nearly every read
// of a long chunk needs a page walk, and every first touch of a page a fault,
// which is slow in a virtual machine. A huge page takes one fault per 2 MiB,
// at the price of clearing the whole 2 MiB around the first byte touched.
// A table whose pages will nearly all be touched can also ask for all of
// them at once (Pages::Populated).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace zelk {

enum class Pages { OnFirstTouch, Populated };

// `bytes` (a multiple of 4 KiB) of zero pages at a 2 MiB boundary, or null.
inline void* map_zeroed_pages(std::size_t bytes, Pages pages) {
    constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
    if (bytes > std::numeric_limits<std::size_t>::max() - HUGE_PAGE) return nullptr;
    const std::size_t padded = bytes + HUGE_PAGE;
    void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto first = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (first + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::size_t head = start - first;
    if (head > 0) munmap(raw, head);
    munmap(reinterpret_cast<void*>(start + bytes), padded - head - bytes);
    void* table = reinterpret_cast<void*>(start);
    // Both are requests the kernel may decline (huge pages off, a kernel
    // older than 5.14): the table is then the same, only slower to fill.
    madvise(table, bytes, MADV_HUGEPAGE);
    if (pages == Pages::Populated) madvise(table, bytes, MADV_POPULATE_WRITE);
    return table;
}

template <typename T>
class ZeroedTable {
    static_assert(std::is_trivial_v<T>, "zero bytes must be a valid T");
    static constexpr std::size_t MAP_THRESHOLD = std::size_t(1) << 20;
    static constexpr std::size_t PAGE = 4096;

public:
    explicit ZeroedTable(std::size_t size, Pages pages = Pages::OnFirstTouch) : bytes_(size * sizeof(T)) {
        if (size > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* p;
        if (mapped()) {
            if (bytes_ > std::numeric_limits<std::size_t>::max() - PAGE) throw std::bad_alloc();
            bytes_ = (bytes_ + PAGE - 1) & ~(PAGE - 1);
            p = map_zeroed_pages(bytes_, pages);
        } else {
            p = std::calloc(size ? size : 1, sizeof(T));
        }
        if (!p) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
    }

    ZeroedTable(ZeroedTable&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    ZeroedTable& operator=(ZeroedTable&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ZeroedTable(const ZeroedTable&) = delete;
    ZeroedTable& operator=(const ZeroedTable&) = delete;

    ~ZeroedTable() {
        if (!data_) return;
        if (mapped())
            munmap(data_, bytes_);
        else
            std::free(data_);
    }

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    bool mapped() const { return bytes_ >= MAP_THRESHOLD; }

    T* data_ = nullptr;
    std::size_t bytes_;
};

}  // namespace zelk
