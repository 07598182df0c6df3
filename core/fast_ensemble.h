// The model ensemble as the chunk codec runs it: the same six predictions
// and the same Mixer as ModelEnsemble, computed from the chunk's own bytes
// rather than from copies of them in rings.
//
// The caller passes `h`, the chunk's bytes as far as they are known, and the
// position i of the byte to predict; 128 bytes before position 0 must read
// as zeros (History supplies them). That reproduces every ring's start: the
// previous bytes, the context, the LMS taps and the transformer's early
// blocks all read 0 before the chunk. The match ring keeps byte p at
// p mod 2^20 until a later byte takes the slot, so its byte for position p is
// that of the latest position below i congruent to p, which `ring_byte`
// finds in the chunk itself.
//
// Work the Mixer cannot use is skipped: while it passes one model through,
// only that model predicts, except at the bytes it learns from (every 32nd
// and the chunk's last), which need all six. The LMS predicts always, since
// its own update needs its prediction.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "block_attention.h"
#include "fixed_math.h"
#include "mixer.h"
#include "model_tables.h"
#include "predictors.h"

namespace zelk {

// Tables for chunks up to SMALL_CHUNK bytes, and for longer ones.
struct SmallTables {
    using Context = SmallMap<24, uint8_t>;
    using Match = SmallMap<MatchPredictor::TABLE_BITS, uint32_t>;
};
struct DirectTables {
    using Context = DirectTable<24, uint8_t>;
    using Match = DirectTable<MatchPredictor::TABLE_BITS, uint32_t>;
};
inline constexpr std::size_t SMALL_CHUNK = std::size_t{64} << 10;

template <typename Tables>
class FastEnsemble {
public:
    // `length`: the chunk's length, which bounds the number of keys stored.
    FastEnsemble(std::size_t length, std::optional<WeightSet> initial, std::optional<WeightSet> anchor)
        : context_(length), match_(length), mixer_(initial, anchor) {}

    // The prediction for position i. `last`: i is the chunk's last byte.
    uint8_t predict(const uint8_t* h, uint64_t i, bool last) {
        const uint8_t* end = h + i;
        context_slot_ = &context_.slot(uint32_t{end[-1]} | uint32_t{end[-2]} << 8 | uint32_t{end[-3]} << 16);
        match_slot_ = i >= 4 ? &match_.slot(MatchPredictor::hash(end[-4], end[-3], end[-2], end[-1])) : nullptr;
        lms_prediction_ = lms_predict(end);

        const bool learns_here = pending_ == 31 || last;
        if (mixer_.run() > Mixer::PASS_THROUGH_RUN && !learns_here) {
            switch (mixer_.best()) {
                case 1: return *context_slot_;
                case 2: return lms_prediction_;
                case 4: return match_predict(h, i);
                case 5: return transformer_predict(end, i);
                default: return end[-1];  // slots 0 and 3
            }
        }
        kept_ = {end[-1], *context_slot_, lms_prediction_, end[-1], match_predict(h, i), transformer_predict(end, i)};
        return mixer_.predict(kept_);
    }

    // The true byte b of position i, after predict(h, i, ...).
    void update(const uint8_t* h, uint64_t i, uint8_t b) {
        if (pending_ < 31) {
            ++pending_;
        } else {
            mixer_.update(32, b, kept_);
            pending_ = 0;
        }
        const uint8_t* end = h + i;
        *context_slot_ = b;
        lms_update(end, b);
        if (match_slot_) *match_slot_ = static_cast<uint32_t>(i - 4);
        last_byte_ = b;
        // The tables' entries for position i + 2: all of the context but its
        // newest byte is known, and the match hash ignores the newest byte
        // and the high half of the one before.
        context_.prefetch(uint32_t{b} << 8 | uint32_t{end[-1]} << 16, 256);
        match_.prefetch(MatchPredictor::hash(end[-2], end[-1], b, 0), 1);
    }

    void finish() {
        if (pending_ > 0) mixer_.update(pending_, last_byte_, kept_);
    }

    const Mixer& mixer() const { return mixer_; }
    const Predictions& predictions() const { return kept_; }

private:
    static constexpr uint64_t MATCH_RING = uint64_t{1} << MatchPredictor::TABLE_BITS;

    uint8_t lms_predict(const uint8_t* end) const {
        int32_t s = 32768;
        for (int t = 0; t < LmsPredictor::TAPS; ++t)
            s = wrap_add(s, wrap_mul(end[-static_cast<int>(LmsPredictor::LAGS[t])], lms_weights_[t]));
        return static_cast<uint8_t>(std::clamp(s >> 16, 0, 255));
    }

    void lms_update(const uint8_t* end, uint8_t b) {
        const int32_t err = (int32_t{b} - int32_t{lms_prediction_}) * LmsPredictor::MU;
        // x * err / 255 truncates toward zero: divide the magnitude and give
        // the quotient err's sign, (q ^ sign) - sign, without a branch.
        const uint32_t sign = uint32_t{0} - uint32_t{err < 0};
        const uint32_t magnitude = (static_cast<uint32_t>(err) ^ sign) - sign;
        for (int t = 0; t < LmsPredictor::TAPS; ++t) {
            const uint32_t step = divide_by_255(end[-static_cast<int>(LmsPredictor::LAGS[t])] * magnitude);
            const auto delta = static_cast<int32_t>((step ^ sign) - sign);
            lms_weights_[t] = std::clamp(lms_weights_[t] + delta, -LmsPredictor::WEIGHT_BOUND, LmsPredictor::WEIGHT_BOUND);
        }
    }

    // The match ring's byte for position p < i.
    static uint8_t ring_byte(const uint8_t* h, uint64_t i, uint64_t p) {
        return h[p + ((i - 1 - p) & ~(MATCH_RING - 1))];
    }

    uint8_t match_predict(const uint8_t* h, uint64_t i) const {
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

    static uint8_t transformer_predict(const uint8_t* end, uint64_t i) { return i < 32 ? 128 : attend(end); }

    typename Tables::Context context_;
    typename Tables::Match match_;
    std::array<int32_t, LmsPredictor::TAPS> lms_weights_ = LmsPredictor::INITIAL_WEIGHTS;
    Mixer mixer_;
    Predictions kept_{};
    uint32_t pending_ = 0;
    uint8_t last_byte_ = 0;
    uint8_t* context_slot_ = nullptr;
    uint32_t* match_slot_ = nullptr;
    uint8_t lms_prediction_ = 0;
};

}  // namespace zelk
