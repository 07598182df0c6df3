// The range coder and the residual coder: exact round trips of every
// magnitude, adaptation that pays on skewed residuals, and refusal of codes
// no encoder writes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "entropy/range_coder.h"
#include "entropy/residual_coder.h"

namespace zelk {
namespace {

std::vector<uint8_t> encode_all(const std::vector<int64_t>& residuals, unsigned bits) {
    std::vector<uint8_t> out;
    RangeEncoder coder(out);
    ResidualCoder model(bits);
    ResidualStream stream;
    for (int64_t r : residuals) model.encode(coder, stream, r);
    coder.finish();
    return out;
}

std::vector<int64_t> decode_all(const std::vector<uint8_t>& bytes, size_t n, unsigned bits, bool* intact = nullptr) {
    RangeDecoder decoder(bytes);
    ResidualCoder model(bits);
    ResidualStream stream;
    std::vector<int64_t> out;
    for (size_t i = 0; i < n; ++i) out.push_back(model.decode(decoder, stream));
    if (intact) *intact = decoder.ended_cleanly();
    return out;
}

TEST(ResidualCoder, RoundTripsEveryMagnitudeAndReadsNoFurther) {
    std::vector<int64_t> residuals{0, 1, -1, 15, -16, 17, 255, -256, 65535, -65536};
    for (int shift = 16; shift < 63; ++shift) residuals.push_back((int64_t{1} << shift) + shift);
    residuals.push_back(std::numeric_limits<int64_t>::max());
    residuals.push_back(std::numeric_limits<int64_t>::min());
    std::mt19937_64 rng(5);
    for (int i = 0; i < 20000; ++i) residuals.push_back(static_cast<int64_t>(rng()) >> (rng() % 64));
    bool intact = false;
    auto bytes = encode_all(residuals, 64);
    EXPECT_EQ(decode_all(bytes, residuals.size(), 64, &intact), residuals);
    EXPECT_TRUE(intact);
    // The first byte, always 0, is not in the state: a reader checks it.
    bytes[0] ^= 4;
    decode_all(bytes, residuals.size(), 64, &intact);
    EXPECT_FALSE(intact);
}

TEST(ResidualCoder, SmallSkewedResidualsCostLittleAndNeverBelowTheFloor) {
    std::mt19937 rng(3);
    std::geometric_distribution<int> geometric(0.5);
    std::vector<int64_t> residuals(200000);
    for (auto& r : residuals) r = (rng() & 1) ? geometric(rng) : -geometric(rng);
    const auto bytes = encode_all(residuals, 16);
    EXPECT_LT(bytes.size() * 8.0 / residuals.size(), 2.55);  // 2.5 bits of entropy: 2 of magnitude, 0.5 of sign
    const std::vector<int64_t> zeros(1 << 20, 0);
    const auto silent = encode_all(zeros, 16);
    EXPECT_LE(zeros.size(), max_residuals(silent.size()));
    EXPECT_EQ(decode_all(silent, zeros.size(), 16), zeros);
}

TEST(ResidualCoder, RefusesACodeInTheShareNoSymbolOwns) {
    const std::vector<uint8_t> all_ones(64, 0xFF);
    EXPECT_THROW(decode_all(all_ones, 10, 16), std::runtime_error);
}

}  // namespace
}  // namespace zelk
