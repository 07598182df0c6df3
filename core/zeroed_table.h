// A fixed-size table obtained zero-filled and released with its owner.
//
// The models' tables are large (up to 16 MiB) and mostly sparse in short
// chunks. Large tables are mapped straight from the kernel: fresh anonymous
// pages read as zero, so pages that are never touched cost neither time nor
// memory. calloc cannot promise that across calls: once a large block has
// been freed, glibc raises its mmap threshold and serves the next one from
// the heap, which it must then clear in full. Small tables use calloc.
//
// A table whose pages will nearly all be touched can ask for them at once
// (Pages::Populated): the kernel then clears them in one pass instead of
// taking a fault for each page on its first touch, which costs far more
// where faults are slow (a virtual machine's, for one).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace zelk {

enum class Pages { OnFirstTouch, Populated };

template <typename T>
class ZeroedTable {
    static_assert(std::is_trivial_v<T>, "zero bytes must be a valid T");
    static constexpr std::size_t MAP_THRESHOLD = std::size_t(1) << 20;

public:
    explicit ZeroedTable(std::size_t size, Pages pages = Pages::OnFirstTouch) : bytes_(size * sizeof(T)) {
        if (size > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* p;
        if (mapped()) {
            const int populate = pages == Pages::Populated ? MAP_POPULATE : 0;
            p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0);
            if (p == MAP_FAILED) p = nullptr;
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
