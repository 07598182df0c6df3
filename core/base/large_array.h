// Working arrays of many MiB (a band's coefficients, quotients, errors),
// uninitialised. Those of 4 MiB and more are mapped on their own as the
// models' tables are (zeroed_table.h: at a 2 MiB boundary, on transparent
// huge pages where the system grants them, as numpy asks for its arrays):
// the kernel then maps and clears one 2 MiB page where it would fault on 512
// small ones, a tenth of a smooth 1024 x 1024 field's wavelet search.
// Unmapped when given back, their pages return to the system at once.
//
// Contracts: LargeArray<T>(n) holds n values of a trivial type T, contents
// unspecified; it throws std::bad_alloc where the memory is not there.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

namespace zelk {

void* take_large_bytes(std::size_t bytes);
void give_back_large_bytes(void* buffer, std::size_t bytes) noexcept;

template <typename T>
class LargeArray {
    static_assert(std::is_trivial_v<T>);

public:
    explicit LargeArray(std::size_t size)
        : data_(static_cast<T*>(take_large_bytes(checked_bytes(size)))), size_(size) {}
    ~LargeArray() { give_back_large_bytes(data_, size_ * sizeof(T)); }
    LargeArray(LargeArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    LargeArray& operator=(LargeArray&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }

    T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) const { return data_[i]; }
    std::span<T> span() const { return {data_, size_}; }

private:
    static std::size_t checked_bytes(std::size_t size) {
        if (size > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return size * sizeof(T);
    }

    T* data_;
    std::size_t size_;
};

}  // namespace zelk
