// The three models of the ensemble whose predictions depend on the chunk's
// bytes alone, not on anything learned from the predictions: the order-3
// context, the match and the transformer. They read the chunk's bytes as
// far as they are known, `h`, at the position i being predicted; 128 bytes
// before position 0 must read as zeros (History supplies them), which
// reproduces the start of every model's ring. The match ring keeps byte p at
// p mod 2^20 until a later byte takes the slot, so its byte for position p is
// that of the latest position below i congruent to p, which `ring_byte`
// finds in the chunk itself.
//
// For each position: look_up(h, i), then any of the predictions, then
// learn(h, i, b) with the true byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "model/block_attention.h"
#include "model/model_constants.h"
#include "model/model_tables.h"

namespace zelk {

// Tables for chunks up to SMALL_CHUNK bytes, and for longer ones.
struct SmallTables {
    using Context = SmallMap<context_model::TABLE_BITS, uint8_t>;
    using Match = SmallMap<match_model::TABLE_BITS, uint32_t>;
};
struct DirectTables {
    using Context = DirectTable<context_model::TABLE_BITS, uint8_t>;
    using Match = DirectTable<match_model::TABLE_BITS, uint32_t>;
};
inline constexpr std::size_t SMALL_CHUNK = std::size_t{64} << 10;

template <typename Tables>
class ByteModels {
public:
    // `length`: the chunk's length, which bounds the number of keys stored.
    explicit ByteModels(std::size_t length) : context_(length), match_(length) {}
    ByteModels(std::size_t length, Pages pages) : context_(length, pages), match_(length, pages) {}

    void look_up(const uint8_t* h, uint64_t i) {
        const uint8_t* end = h + i;
        context_slot_ = &context_.slot(uint32_t{end[-1]} | uint32_t{end[-2]} << 8 | uint32_t{end[-3]} << 16);
        match_slot_ = i >= 4 ? &match_.slot(match_model::hash(end[-4], end[-3], end[-2], end[-1])) : nullptr;
    }

    uint8_t context() const { return *context_slot_; }

    uint8_t match(const uint8_t* h, uint64_t i) const {
        if (!match_slot_) return 0;
        const uint8_t* end = h + i;
        const uint64_t cand = *match_slot_;
        if (cand == 0 || cand + 4 >= i) return end[-1];
        if (i - 1 - cand < MATCH_RING) {
            // No later byte has taken the ring slots of cand .. cand + 4: the
            // match is read in place, four bytes compared at once.
            uint32_t then, now;
            std::memcpy(&then, h + cand, 4);
            std::memcpy(&now, end - 4, 4);
            return then == now ? h[cand + 4] : end[-1];
        }
        for (int k = 0; k < 4; ++k)
            if (ring_byte(h, i, cand + k) != end[k - 4]) return end[-1];
        return ring_byte(h, i, cand + 4);
    }

    static uint8_t transformer(const uint8_t* h, uint64_t i) { return i < 32 ? 128 : attend(h + i); }

    void learn(const uint8_t* h, uint64_t i, uint8_t b) {
        const uint8_t* end = h + i;
        *context_slot_ = b;
        if (match_slot_) *match_slot_ = static_cast<uint32_t>(i - 4);
        // The tables' entries for position i + 2: all of the context but its
        // newest byte is known, and the match hash ignores the newest byte
        // and the high half of the one before.
        context_.prefetch(uint32_t{b} << 8 | uint32_t{end[-1]} << 16, 256);
        match_.prefetch(match_model::hash(end[-2], end[-1], b, 0), 1);
    }

private:
    static constexpr uint64_t MATCH_RING = uint64_t{1} << match_model::TABLE_BITS;

    // The match ring's byte for position p < i.
    static uint8_t ring_byte(const uint8_t* h, uint64_t i, uint64_t p) {
        return h[p + ((i - 1 - p) & ~(MATCH_RING - 1))];
    }

    typename Tables::Context context_;
    typename Tables::Match match_;
    uint8_t* context_slot_ = nullptr;
    uint32_t* match_slot_ = nullptr;
};

}  // namespace zelk
