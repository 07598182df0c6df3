// A fixed-size table obtained zero-filled from the allocator and released with
// its owner. The models' tables are large (up to 16 MiB) and mostly sparse in
// short chunks; calloc hands out fresh zero pages for such sizes, so pages that
// are never touched cost neither time nor memory, unlike a memset of the whole.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace zelk {

template <typename T>
class ZeroedTable {
    static_assert(std::is_trivial_v<T>, "zero bytes must be a valid T");

public:
    explicit ZeroedTable(std::size_t size)
        : data_(static_cast<T*>(std::calloc(size, sizeof(T)))) {
        if (!data_) throw std::bad_alloc();
    }

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T[], Free> data_;
};

}  // namespace zelk
