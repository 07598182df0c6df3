// A thread's kept buffers: at most KEPT_SLOTS of them, each prefixed by a
// header that records its capacity, so that a request is served by the
// smallest kept buffer it fits and a buffer given back is kept at its full
// capacity. Given back a buffer that does not fit under KEPT_BYTES beside
// those kept, the thread lets go of smaller kept ones first, never of
// larger ones: the large buffers are the ones whose pages cost most to map
// again.
#include "base/kept_buffers.h"

#include <algorithm>
#include <array>
#include <new>

namespace zelk {
namespace {

constexpr std::size_t KEPT_SLOTS = 16;
// The header before each large buffer: its capacity, padded to keep the
// buffer aligned for any scalar type.
constexpr std::size_t HEADER = alignof(std::max_align_t);

struct KeptPool {
    std::array<unsigned char*, KEPT_SLOTS> buffers{};  // each at its header
    std::size_t count = 0, bytes = 0;
    bool ended = false;

    KeptPool() = default;
    KeptPool(const KeptPool&) = delete;
    KeptPool& operator=(const KeptPool&) = delete;
    ~KeptPool() {
        for (std::size_t i = 0; i < count; ++i) ::operator delete(buffers[i]);
        count = bytes = 0;
        ended = true;  // buffers given back later, by other objects ending with the thread, are freed
    }
    static std::size_t& capacity(unsigned char* header) { return *reinterpret_cast<std::size_t*>(header); }

    unsigned char* take(std::size_t wanted) {
        std::size_t best = count;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t have = capacity(buffers[i]);
            if (have >= wanted && (best == count || have < capacity(buffers[best]))) best = i;
        }
        if (best == count) return nullptr;
        unsigned char* header = buffers[best];
        bytes -= capacity(header);
        buffers[best] = buffers[--count];
        return header;
    }
    // Keeps `header`'s buffer if it fits, letting go of smaller ones to make room.
    bool keep(unsigned char* header) {
        const std::size_t size = capacity(header);
        if (ended || size > KEPT_BYTES) return false;
        while (count == KEPT_SLOTS || bytes + size > KEPT_BYTES) {
            const auto smallest = std::min_element(buffers.begin(), buffers.begin() + count,
                                                   [](unsigned char* a, unsigned char* b) { return capacity(a) < capacity(b); });
            if (capacity(*smallest) >= size) return false;
            bytes -= capacity(*smallest);
            ::operator delete(*smallest);
            *smallest = buffers[--count];
        }
        buffers[count++] = header;
        bytes += size;
        return true;
    }
};

thread_local KeptPool kept_pool;

}  // namespace

void* take_kept_bytes(std::size_t bytes) {
    if (bytes < KEPT_FROM) return ::operator new(bytes);
    unsigned char* header = kept_pool.take(bytes);
    if (header == nullptr) {
        if (bytes > static_cast<std::size_t>(-1) - HEADER) throw std::bad_alloc();
        header = static_cast<unsigned char*>(::operator new(HEADER + bytes));
        KeptPool::capacity(header) = bytes;
    }
    return header + HEADER;
}

void give_back_kept_bytes(void* buffer, std::size_t bytes) noexcept {
    if (bytes < KEPT_FROM) {
        ::operator delete(buffer);
        return;
    }
    unsigned char* header = static_cast<unsigned char*>(buffer) - HEADER;
    if (!kept_pool.keep(header)) ::operator delete(header);
}

}  // namespace zelk
