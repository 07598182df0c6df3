// The fast ensemble against the plain one: both table forms against
// ModelEnsemble at every byte (predictions and the Mixer's state after
// finish), on random, real and generated data, with default, caller and
// extreme weights.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/fast_ensemble.h"
#include "model/history.h"
#include "model/reference/ensemble.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;
using test::random_bytes;
using test::sine_with_noise;

struct Weights {
    std::string name;
    std::optional<WeightSet> initial;
    std::optional<WeightSet> anchor;
};

std::vector<Weights> weight_cases() {
    constexpr int32_t MAX = INT32_MAX;
    return {
        {"default", std::nullopt, std::nullopt},
        {"caller", WeightSet{20000, 20000, 10000, 5000, 5000, 5000}, WeightSet{30000, 9000, 9000, 9000, 9000, 9000}},
        {"all 0x7fffffff", WeightSet{MAX, MAX, MAX, MAX, MAX, MAX}, std::nullopt},
        {"mixed extremes", WeightSet{INT32_MIN, MAX, 2, -1, INT32_MIN, 7},
         WeightSet{MAX, INT32_MIN, MAX, INT32_MIN, 0, 1}},
        {"zero", WeightSet{0, 0, 0, 0, 0, 0}, std::nullopt},
    };
}

void expect_same_mixer(const Mixer& a, const Mixer& b) {
    EXPECT_EQ(a.weights(), b.weights());
    EXPECT_EQ(a.mean(), b.mean());
    EXPECT_EQ(a.variance(), b.variance());
    EXPECT_EQ(a.best(), b.best());
    EXPECT_EQ(a.run(), b.run());
    EXPECT_EQ(a.trend_coefficients(), b.trend_coefficients());
    EXPECT_EQ(a.trend_history(), b.trend_history());
}

// Drives a FastEnsemble and a ModelEnsemble over `data` and checks every
// prediction, and the six kept predictions wherever the fast one keeps them.
template <typename Tables>
void expect_same_as_plain(const Bytes& data, const Weights& w) {
    SCOPED_TRACE(w.name);
    auto plain = std::make_unique<ModelEnsemble>(w.initial, w.anchor);
    auto fast = std::make_unique<FastEnsemble<ByteModels<Tables>>>(w.initial, w.anchor, data.size());
    History history(data.data());
    for (uint64_t i = 0; i < data.size(); ++i) {
        const uint8_t* h = history.at(i);
        const bool last = i + 1 == data.size();
        ASSERT_EQ(fast->predict(h, i, last), plain->predict()) << "byte " << i;
        if (i % 32 == 31 || last) {
            ASSERT_EQ(fast->predictions(), plain->predictions()) << "byte " << i;
        }
        history.record(i, data[i]);
        fast->update(h, i, data[i]);
        plain->update(data[i]);
    }
    fast->finish();
    plain->finish();
    expect_same_mixer(fast->mixer(), plain->mixer());
}

template <typename Tables>
void expect_same_as_plain_under_every_weight(const Bytes& data) {
    for (const Weights& w : weight_cases()) expect_same_as_plain<Tables>(data, w);
}

TEST(FastEnsemble, SmallTablesMatchThePlainEnsemble) {
    expect_same_as_plain_under_every_weight<SmallTables>(random_bytes(30000, 7));
    expect_same_as_plain_under_every_weight<SmallTables>(sine_with_noise(40000, 8));
    for (std::size_t n : {0, 1, 3, 4, 5, 31, 32, 33, 127, 128, 129, 200})
        expect_same_as_plain<SmallTables>(random_bytes(n, static_cast<uint32_t>(n), 5), weight_cases()[0]);
}

TEST(FastEnsemble, SmallTablesMatchThePlainEnsembleOnRealFiles) {
    ZELK_HOST_FILE_OR_SKIP(binary, test::HOST_BINARY, 60000);
    ZELK_HOST_FILE_OR_SKIP(text, test::HOST_TEXT, 60000);
    expect_same_as_plain_under_every_weight<SmallTables>(binary);
    expect_same_as_plain_under_every_weight<SmallTables>(text);
}

TEST(FastEnsemble, DirectTablesMatchThePlainEnsemble) {
    expect_same_as_plain_under_every_weight<DirectTables>(Bytes(5000, 42));
    expect_same_as_plain<DirectTables>(sine_with_noise(100000, 9), weight_cases()[1]);
}

TEST(FastEnsemble, DirectTablesMatchThePlainEnsembleOnARealFile) {
    ZELK_HOST_FILE_OR_SKIP(binary, test::HOST_BINARY, 100000);
    expect_same_as_plain_under_every_weight<DirectTables>(binary);
}

TEST(FastEnsemble, MatchesThePlainEnsemblePastTheMatchRing) {
    ZELK_HOST_FILE_OR_SKIP(text, test::HOST_TEXT, 40000);
    const Bytes data = test::text_noise_text(text);
    expect_same_as_plain<DirectTables>(data, weight_cases()[0]);
    expect_same_as_plain<SmallTables>(data, weight_cases()[3]);
}

}  // namespace
}  // namespace zelk
