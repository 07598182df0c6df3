// The two keyed tables of the fast ensemble, in two interchangeable forms.
//
// The context table maps a 24-bit context to a byte, the match table a
// 20-bit hash to a 32-bit position, and a key never stored reads as 0. The
// direct form is the whole zero-filled array, indexed by the key. A chunk of
// n bytes stores at most n keys, though, so a short chunk gets an exact map
// instead: open addressing with linear probing over at least 2n slots,
// without deletion, in which a free slot reads as 0. Both forms therefore
// return the same value for every key after the same stores, and a short
// chunk does not pay for touching pages of a 16 MiB array.
//
// slot(key) returns where the key's value lives; the caller reads it for the
// prediction and writes it after the byte. A map claims the slot at once: a
// claimed slot holding 0 reads like a free one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "base/zeroed_table.h"

namespace zelk {

template <unsigned KEY_BITS, typename Value>
class DirectTable {
public:
    explicit DirectTable(std::size_t /*max_keys*/, Pages pages = Pages::OnFirstTouch)
        : table_(std::size_t{1} << KEY_BITS, pages) {}

    Value& slot(uint32_t key) { return table_[key]; }

    // Hints that the values of keys first .. first + count - 1 come next.
    void prefetch(uint32_t first, uint32_t count) const {
        for (uint32_t offset = 0; offset < count * sizeof(Value); offset += 64)
            __builtin_prefetch(reinterpret_cast<const char*>(&table_[first]) + offset);
    }

private:
    ZeroedTable<Value> table_;
};

template <unsigned KEY_BITS, typename Value>
class SmallMap {
public:
    explicit SmallMap(std::size_t max_keys)
        : bits_(static_cast<unsigned>(std::bit_width(max_keys | 8)) + 1),  // over 2 * max_keys slots
          mask_((uint32_t{1} << bits_) - 1),
          slots_(std::size_t{1} << bits_) {}

    Value& slot(uint32_t key) {
        const uint32_t tag = key + 1;
        uint32_t i = (key * 0x9E3779B1u) >> (32 - bits_);
        while (slots_[i].tag != tag && slots_[i].tag != 0) i = (i + 1) & mask_;
        slots_[i].tag = tag;
        return slots_[i].value;
    }

    void prefetch(uint32_t, uint32_t) const {}

private:
    static_assert(KEY_BITS < 32, "key + 1 must not wrap");
    struct Slot {
        uint32_t tag;  // key + 1; 0 marks a free slot
        Value value;
    };

    unsigned bits_;
    uint32_t mask_;
    ZeroedTable<Slot> slots_;
};

}  // namespace zelk
