// The four small online predictors of the model ensemble. Each proposes the
// next byte of a chunk from the bytes seen so far (`predict`, which never
// changes state) and then learns the true byte (`update`). They start empty
// for every chunk and compute with integers only, so the encoder and the
// decoder, running the same calls over the same bytes, agree bit for bit.
#pragma once

#include <array>
#include <cstdint>

#include "base/zeroed_table.h"
#include "model/model_constants.h"

namespace zelk {

// Predicts a repeat of the previous byte.
class LastBytePredictor {
public:
    uint8_t predict() const { return last_; }
    void update(uint8_t b) { last_ = b; }

private:
    uint8_t last_ = 0;
};

// Order-3 context model: the byte that followed the latest earlier occurrence
// of the three preceding bytes. The chunk starts as if three 0 bytes preceded
// it.
class ContextPredictor {
public:
    static constexpr uint32_t TABLE_SIZE = 1u << context_model::TABLE_BITS;

    ContextPredictor();
    uint8_t predict() const;
    void update(uint8_t b);

private:
    uint32_t index() const;

    ZeroedTable<uint8_t> table_;
    uint8_t c0_ = 0;  // most recent byte
    uint8_t c1_ = 0;
    uint8_t c2_ = 0;
};

// Seven-tap adaptive linear predictor over lags 1, 2, 3, 4, 8, 16 and 32,
// with 16.16 weights learned by a sign-aware LMS step.
class LmsPredictor {
public:
    uint8_t predict() const;
    void update(uint8_t b);

    const std::array<int32_t, lms_model::TAPS>& weights() const { return weights_; }

private:
    uint8_t lagged(int tap) const;

    std::array<uint8_t, 64> history_{};
    uint32_t pos_ = 0;  // slot of the next byte
    std::array<int32_t, lms_model::TAPS> weights_ = lms_model::INITIAL_WEIGHTS;
};

// Hashes the last four bytes to the latest earlier position of the same four
// bytes and predicts the byte that followed them there. A match is honoured
// only after its bytes are verified in the ring, which guards against hash
// collisions and against entries whose bytes the ring has since overwritten.
class MatchPredictor {
public:
    MatchPredictor();
    uint8_t predict() const;
    void update(uint8_t b);


private:
    uint8_t at(uint64_t position) const { return ring_[position & match_model::TABLE_MASK]; }

    ZeroedTable<uint64_t> positions_;  // window start, 0 = empty
    ZeroedTable<uint8_t> ring_;        // byte n at n mod 2^20
    uint64_t count_ = 0;
};

}  // namespace zelk
