// The numbers that define the model ensemble, shared by the fast models the
// codec runs and the plain reference models the tests hold them equal to.
// They are part of the chunk format: changing one changes every chunk.
#pragma once

#include <array>
#include <cstdint>

namespace zelk {

using WeightSet = std::array<int32_t, 6>;     // six signed 16.16 fixed-point words
using Predictions = std::array<uint8_t, 6>;  // one byte per model slot

// Order-3 context model: a table of 2^24 bytes keyed by the three previous bytes.
namespace context_model {
inline constexpr unsigned TABLE_BITS = 24;
}

// Seven-tap adaptive linear predictor with 16.16 weights and a sign-aware LMS step.
namespace lms_model {
inline constexpr int TAPS = 7;
inline constexpr std::array<uint32_t, TAPS> LAGS{1, 2, 3, 4, 8, 16, 32};
inline constexpr std::array<int32_t, TAPS> INITIAL_WEIGHTS{0, 3276, 3276, 3276, 3276, 6553, 13107};
inline constexpr int32_t MU = 983;
inline constexpr int32_t WEIGHT_BOUND = 327680;  // 5.0
}  // namespace lms_model

// Match model: a hash of the last four bytes to the latest position they occurred at.
namespace match_model {
inline constexpr uint32_t TABLE_BITS = 20;
inline constexpr uint64_t TABLE_MASK = (uint64_t{1} << TABLE_BITS) - 1;

// Only a, b and the low half of c reach the 20 bits kept.
constexpr uint32_t hash(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint32_t word = uint32_t{a} | uint32_t{b} << 8 | uint32_t{c} << 16 | uint32_t{d} << 24;
    return (word * 0x9E3779B9u) & static_cast<uint32_t>(TABLE_MASK);
}
}  // namespace match_model

}  // namespace zelk
