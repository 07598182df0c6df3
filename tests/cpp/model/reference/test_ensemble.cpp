// The model ensemble: its first prediction, the Mixer's 32-byte learning
// cadence (checked against a Mixer driven by hand), the pass-through of a
// winning model, and the agreement of an encoding and a decoding ensemble.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "model/reference/ensemble.h"

namespace zelk {
namespace {

void expect_same_state(const Mixer& a, const Mixer& b, const std::string& where) {
    EXPECT_EQ(a.weights(), b.weights()) << where;
    EXPECT_EQ(a.mean(), b.mean()) << where;
    EXPECT_EQ(a.variance(), b.variance()) << where;
    EXPECT_EQ(a.best(), b.best()) << where;
    EXPECT_EQ(a.run(), b.run()) << where;
    EXPECT_EQ(a.trend_coefficients(), b.trend_coefficients()) << where;
    EXPECT_EQ(a.trend_history(), b.trend_history()) << where;
}

std::vector<uint8_t> random_bytes(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

TEST(ModelEnsemble, FirstPredictionOfAChunk) {
    ModelEnsemble e(std::nullopt, std::nullopt);
    EXPECT_EQ(e.predict(), 5);
    EXPECT_EQ(e.predictions(), (Predictions{0, 0, 0, 0, 0, 128}));
}

TEST(ModelEnsemble, MixerLearnsFromEvery32ndByteAndInFinish) {
    for (std::size_t length : {0, 1, 5, 31, 32, 33, 64, 65, 100}) {
        const auto data = random_bytes(length, static_cast<uint32_t>(length));
        ModelEnsemble e(std::nullopt, std::nullopt);
        Mixer shadow(std::nullopt, std::nullopt);
        for (std::size_t i = 0; i < length; ++i) {
            e.predict();
            const Predictions kept = e.predictions();
            e.update(data[i]);
            if ((i + 1) % 32 == 0) shadow.update(32, data[i], kept);
            EXPECT_EQ(e.pending(), (i + 1) % 32);
            expect_same_state(e.mixer(), shadow, "length " + std::to_string(length) + " byte " + std::to_string(i));
        }
        e.finish();
        if (length % 32 != 0) shadow.update(length % 32, data[length - 1], e.predictions());
        expect_same_state(e.mixer(), shadow, "finish of length " + std::to_string(length));
    }
}

TEST(ModelEnsemble, ConstantInputPassesThePreviousByteFromByte65) {
    ModelEnsemble e(std::nullopt, std::nullopt);
    for (int i = 0; i < 300; ++i) {
        const uint8_t p = e.predict();
        if (i >= 64) {
            EXPECT_EQ(p, 9) << i;
            EXPECT_GT(e.mixer().run(), 32u) << i;
        } else {
            EXPECT_LE(e.mixer().run(), 32u) << i;
        }
        e.update(9);
    }
    EXPECT_EQ(e.mixer().best(), 0u);
}

// Codes `data` as residuals with one ensemble and restores it with another,
// stepping the two alternately, and checks both predict alike at every byte.
void expect_encoder_and_decoder_agree(const std::vector<uint8_t>& data, std::optional<WeightSet> initial,
                                      std::optional<WeightSet> anchor) {
    {
        // Leave freed, dirty memory behind for the next allocations to pick up.
        ModelEnsemble dirty(WeightSet{1, 2, 3, 4, 5, 6}, std::nullopt);
        for (uint8_t b : random_bytes(5000, 99)) {
            dirty.predict();
            dirty.update(b);
        }
    }
    auto encoder = std::make_unique<ModelEnsemble>(initial, anchor);
    auto decoder = std::make_unique<ModelEnsemble>(initial, anchor);
    for (std::size_t i = 0; i < data.size(); ++i) {
        const uint8_t residual = static_cast<uint8_t>(data[i] - encoder->predict() + 128);
        encoder->update(data[i]);
        const uint8_t restored = static_cast<uint8_t>(decoder->predict() + residual - 128);
        ASSERT_EQ(restored, data[i]) << "byte " << i;
        decoder->update(restored);
    }
    encoder->finish();
    decoder->finish();
    expect_same_state(encoder->mixer(), decoder->mixer(), "after finish");
}

TEST(ModelEnsemble, EncoderAndDecoderAgreeOnRandomData) {
    expect_encoder_and_decoder_agree(random_bytes(100000, 1), std::nullopt, std::nullopt);
}

TEST(ModelEnsemble, EncoderAndDecoderAgreeOnARealFile) {
    std::ifstream f("/usr/bin/ls", std::ios::binary);
    if (!f) GTEST_SKIP() << "/usr/bin/ls not readable";
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(f), {}};
    expect_encoder_and_decoder_agree(data, std::nullopt, WeightSet{20000, 20000, 10000, 5000, 5000, 5000});
}

TEST(ModelEnsemble, EncoderAndDecoderAgreeWhenTheMixerWraps) {
    // Extreme weights drive the blend, the weight sums and the normalisation
    // through their wraps.
    const auto data = random_bytes(50000, 2);
    expect_encoder_and_decoder_agree(data, WeightSet{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX},
                                     std::nullopt);
    expect_encoder_and_decoder_agree(data, WeightSet{INT32_MIN, INT32_MAX, 2, -1, INT32_MIN, 7},
                                     WeightSet{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, 0, 1});
}

}  // namespace
}  // namespace zelk
