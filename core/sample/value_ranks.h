// Element bits to small integers, a dictionary's ranks: for elements of up
// to 16 bits, in a table indexed by their distance from the first bits of a
// cyclic range (a signed dictionary's values, from its most negative, are
// one range), so that a dictionary of close values needs a small table;
// for wider ones, in a
// power-of-two table of slots at most half full, probed linearly from a
// multiplicative hash of the bits. A lookup per element read, so it must
// cost no more than a load or two.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/kept_buffers.h"

namespace zelk {

class ValueRanks {
public:
    // For elements of `element_bits` bits, `most` values at most; those of
    // up to 16 bits from `first` to `last` (modulo 2^element_bits), by
    // default all of them. Elements outside that range have no rank.
    ValueRanks(unsigned element_bits, size_t most, uint64_t first = 0, uint64_t last = UINT64_MAX)
        : dense_(element_bits <= 16),
          shift_(dense_ ? 0 : 64 - static_cast<unsigned>(std::bit_width(std::bit_ceil(2 * most + 2) - 1))),
          first_(first),
          mask_(dense_ ? (uint64_t{1} << element_bits) - 1 : 0),
          // One slot more, always empty, for elements outside the range.
          ranks_(dense_ ? static_cast<size_t>(((last - first) & mask_) + 2) : std::bit_ceil(2 * most + 2), ABSENT),
          keys_(dense_ ? 0 : ranks_.size()) {}

    // Adds `bits` with `rank` unless it holds them already; whether it added them.
    bool add(uint64_t bits, uint32_t rank) {
        const size_t slot = find(bits);
        if (ranks_[slot] != ABSENT || (dense_ && slot == ranks_.size() - 1)) return false;
        ranks_[slot] = rank;
        if (!dense_) keys_[slot] = bits;
        return true;
    }
    // The rank of bits it holds.
    uint32_t rank(uint64_t bits) const { return ranks_[find(bits)]; }

private:
    static constexpr uint32_t ABSENT = UINT32_MAX;

    size_t find(uint64_t bits) const {
        if (dense_) return static_cast<size_t>(std::min<uint64_t>((bits - first_) & mask_, ranks_.size() - 1));
        const size_t mask = ranks_.size() - 1;
        size_t slot = static_cast<size_t>((bits * 0x9E3779B97F4A7C15u) >> shift_);
        while (ranks_[slot] != ABSENT && keys_[slot] != bits) slot = (slot + 1) & mask;
        return slot;
    }

    bool dense_;
    unsigned shift_;               // the hash's top bits index the table
    uint64_t first_, mask_;        // the dense table's range
    KeptVector<uint32_t> ranks_;  // by slot, ABSENT where empty
    KeptVector<uint64_t> keys_;   // by slot, for wide elements
};

}  // namespace zelk
