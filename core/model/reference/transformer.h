// A single attention-like step over the recent history. The last four bytes
// are the query; the 31 four-byte blocks before them, stepping back four bytes
// at a time, are the keys, and the byte after each block is its value. An
// exact key wins outright (the nearest one); otherwise the values are averaged
// with weights inversely proportional to each key's distance from the query.
#pragma once

#include <cstdint>

#include "base/zeroed_table.h"

namespace zelk {

class Transformer {
public:
    static constexpr uint64_t RING_SIZE = 4096;
    static constexpr uint64_t BLOCKS = 31;

    Transformer();
    uint8_t predict() const;
    void update(uint8_t b);

private:
    // Positions before the chunk's start wrap to slots not yet written (0).
    uint8_t at(uint64_t position) const { return history_[position % RING_SIZE]; }

    ZeroedTable<uint8_t> history_;  // byte n at n mod 4096
    uint64_t count_ = 0;
};

}  // namespace zelk
