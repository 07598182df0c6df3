// Large scratch buffers that a thread keeps between codings.
//
// An encoder's working arrays (a block's values, its tables of distinct
// values, its coded symbols) are a few hundred KiB for an image of a few
// hundred KiB, and are freed when the block is done. glibc hands large
// freed blocks back to the system, so the next block's arrays come from
// fresh pages that the kernel maps and clears one by one as they are first
// touched: in a virtual machine that was a sixth of level 3's time on a
// 282 KB image. Each thread therefore keeps the large buffers it frees, up
// to KEPT_BYTES in all, and serves later requests from them.
//
// Contracts: take_kept_bytes(n) returns n bytes aligned for any scalar type,
// contents unspecified (it throws std::bad_alloc as operator new does);
// give_back_kept_bytes(p, n) takes back a pointer take_kept_bytes(n) gave
// on the same thread or on another (a thread keeps what it is given, and
// frees what it keeps when it ends). Buffers under KEPT_FROM bytes go
// straight to operator new and delete.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace zelk {

inline constexpr std::size_t KEPT_FROM = std::size_t{64} << 10;
inline constexpr std::size_t KEPT_BYTES = std::size_t{4} << 20;

void* take_kept_bytes(std::size_t bytes);
void give_back_kept_bytes(void* buffer, std::size_t bytes) noexcept;

// An allocator whose large allocations are kept buffers.
template <typename T>
struct KeptAllocator {
    using value_type = T;
    KeptAllocator() = default;
    template <typename U>
    KeptAllocator(const KeptAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(take_kept_bytes(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { give_back_kept_bytes(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const KeptAllocator<U>&) const noexcept { return true; }
};

template <typename T>
using KeptVector = std::vector<T, KeptAllocator<T>>;

// `bytes` of a kept buffer for the scope, uninitialised.
class KeptBytes {
public:
    explicit KeptBytes(std::size_t bytes) : data_(static_cast<unsigned char*>(take_kept_bytes(bytes))), size_(bytes) {}
    ~KeptBytes() { give_back_kept_bytes(data_, size_); }
    KeptBytes(const KeptBytes&) = delete;
    KeptBytes& operator=(const KeptBytes&) = delete;
    unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    unsigned char* data_;
    std::size_t size_;
};

}  // namespace zelk
