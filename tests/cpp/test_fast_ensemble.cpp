// The codec's fast models against the plain ones: the block attention
// against the Transformer at every position, both table forms of the fast
// ensemble against ModelEnsemble at every byte (predictions and the Mixer's
// state after finish), and whole chunks against the payload the plain
// ensemble and the range coder give, on random, real and generated data,
// with default, caller and extreme weights; and the encoder's prediction
// pipeline against the models it runs on its worker thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ans_coder.h"
#include "block_attention.h"
#include "chunk_models.h"
#include "codec.h"
#include "ensemble.h"
#include "fast_ensemble.h"
#include "prediction_pipeline.h"
#include "transformer.h"

namespace zelk {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(std::size_t n, uint32_t seed, uint32_t alphabet = 256) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng() % alphabet);
    return v;
}

Bytes file_bytes(const std::string& path, std::size_t limit) {
    std::ifstream f(path, std::ios::binary);
    Bytes data{std::istreambuf_iterator<char>(f), {}};
    if (data.size() > limit) data.resize(limit);
    return data;
}

Bytes sine_with_noise(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(128 + 90 * std::sin(static_cast<double>(i) / 37.0) + rng() % 7);
    return v;
}

// Text, then a megabyte of noise that overwrites much of the match ring and
// table, then the text again: old match entries now name ring slots that
// hold other bytes, and others still hold what they held.
Bytes text_noise_text() {
    Bytes text = file_bytes("/usr/share/common-licenses/GPL-3", 40000);
    if (text.empty()) text = random_bytes(40000, 5, 4);
    Bytes data = text;
    const Bytes noise = random_bytes((std::size_t{1} << 20) + 123, 6);
    data.insert(data.end(), noise.begin(), noise.end());
    data.insert(data.end(), text.begin(), text.end());
    return data;
}

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

// Every kernel this CPU can run, and the dispatching entry.
std::vector<uint8_t> kernel_predictions(const uint8_t* end) {
    std::vector<uint8_t> p{attend(end), detail::attend_baseline(end)};
#if defined(ZELK_HAVE_AVX2_KERNEL)
    if (detail::cpu_has_avx2()) p.push_back(detail::attend_avx2(end));
#endif
    return p;
}

TEST(BlockAttention, EqualsTheTransformerAtEveryPosition) {
    // Few distinct bytes give exact blocks and small distances, all bytes
    // give the whole range of distances.
    for (const Bytes& data : {random_bytes(20000, 1), random_bytes(20000, 2, 3), random_bytes(5000, 3, 2),
                              sine_with_noise(20000, 4), Bytes(300, 200)}) {
        Transformer plain;
        History history(data.data());
        for (uint64_t i = 0; i < data.size(); ++i) {
            if (i >= 32) {
                const uint8_t expected = plain.predict();
                for (uint8_t p : kernel_predictions(history.at(i) + i)) ASSERT_EQ(p, expected) << "position " << i;
            }
            history.record(i, data[i]);
            plain.update(data[i]);
        }
    }
}

#if defined(__SSE2__)
TEST(BlockAttention, Sse2DistancesEqualTheBlockByBlockOnes) {
    const Bytes data = random_bytes(60000, 12, 7);
    const Bytes wide = random_bytes(60000, 13);
    for (const Bytes* bytes : {&data, &wide}) {
        for (std::size_t i = ATTENTION_WINDOW; i <= bytes->size(); ++i) {
            uint32_t simd[detail::BLOCKS], plain[detail::BLOCKS];
            const uint8_t* end = bytes->data() + i;
            ASSERT_EQ(detail::block_distances_sse2(end, simd), detail::block_distances_portable(end, plain)) << i;
            ASSERT_TRUE(std::equal(simd, simd + detail::BLOCKS, plain)) << i;
        }
    }
}
#endif

TEST(BlockAttention, ExtremeDistancesAndExactBlocks) {
    // Query 255s against blocks of 0s (distance 1020, weight 128), and one
    // exact block at each key position in turn.
    Bytes window(ATTENTION_WINDOW, 0);
    for (int k = 0; k < 4; ++k) window[ATTENTION_WINDOW - 1 - k] = 255;
    // One 255 among 31 values, all of weight 128: (128 * 255 + 1984) / 3968.
    for (uint8_t p : kernel_predictions(window.data() + ATTENTION_WINDOW)) EXPECT_EQ(p, 8);
    for (int j = 0; j < 31; ++j) {
        Bytes w = window;
        for (int k = 0; k < 4; ++k) w[static_cast<std::size_t>(4 * j + k)] = 255;
        if (j < 30) w[static_cast<std::size_t>(4 * j + 4)] = static_cast<uint8_t>(j + 1);  // its value; block 30's is the query's first byte
        Transformer plain;
        for (uint8_t b : w) plain.update(b);
        for (uint8_t p : kernel_predictions(w.data() + ATTENTION_WINDOW)) EXPECT_EQ(p, plain.predict()) << "exact block " << j;
    }
}

TEST(FastEnsemble, SmallTablesMatchThePlainEnsemble) {
    expect_same_as_plain_under_every_weight<SmallTables>(random_bytes(30000, 7));
    expect_same_as_plain_under_every_weight<SmallTables>(file_bytes("/usr/bin/ls", 60000));
    expect_same_as_plain_under_every_weight<SmallTables>(file_bytes("/usr/share/common-licenses/GPL-3", 60000));
    expect_same_as_plain_under_every_weight<SmallTables>(sine_with_noise(40000, 8));
    for (std::size_t n : {0, 1, 3, 4, 5, 31, 32, 33, 127, 128, 129, 200})
        expect_same_as_plain<SmallTables>(random_bytes(n, static_cast<uint32_t>(n), 5), weight_cases()[0]);
}

TEST(FastEnsemble, DirectTablesMatchThePlainEnsemble) {
    expect_same_as_plain_under_every_weight<DirectTables>(file_bytes("/usr/bin/ls", 100000));
    expect_same_as_plain_under_every_weight<DirectTables>(Bytes(5000, 42));
    expect_same_as_plain<DirectTables>(sine_with_noise(100000, 9), weight_cases()[1]);
}

TEST(FastEnsemble, MatchesThePlainEnsemblePastTheMatchRing) {
    const Bytes data = text_noise_text();
    expect_same_as_plain<DirectTables>(data, weight_cases()[0]);
    expect_same_as_plain<SmallTables>(data, weight_cases()[3]);
}

// The payload that the plain ensemble and the range coder give for `data`,
// or nothing where the coder's range collapses.
std::optional<Bytes> plain_payload(const Bytes& data, const Weights& w) {
    auto model = std::make_unique<ModelEnsemble>(w.initial, w.anchor);
    AnsEncoder coder;
    for (uint8_t b : data) {
        if (!coder.encode(static_cast<uint8_t>(b - model->predict() + 128))) return std::nullopt;
        model->update(b);
    }
    return std::move(coder).finish();
}

Bytes weight_bytes(const WeightSet& initial, const WeightSet& anchor) {
    Bytes bytes;
    for (const WeightSet* set : {&initial, &anchor})
        for (int32_t word : *set)
            for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(word) >> shift));
    return bytes;
}

TEST(ChunkCodec, ChunksEqualThoseOfThePlainModels) {
    const WeightSet initial{20000, 20000, 10000, 5000, 5000, 5000};
    const WeightSet anchor{30000, 9000, 9000, 9000, 9000, 9000};
    const Bytes weights = weight_bytes(initial, anchor);
    NullDebugSink quiet;
    for (const Bytes& data : {sine_with_noise(SMALL_CHUNK, 10), sine_with_noise(SMALL_CHUNK + 1, 11),
                              file_bytes("/usr/share/common-licenses/GPL-3", 30000), text_noise_text()}) {
        SCOPED_TRACE(testing::Message() << data.size() << " bytes");
        for (bool weighted : {false, true}) {
            const Weights w = weighted ? Weights{"caller", initial, anchor} : Weights{"default", {}, {}};
            const std::optional<ByteView> given = weighted ? std::optional<ByteView>(weights) : std::nullopt;
            const Result<Bytes> chunk = compress_chunk(data, 0, given, quiet);
            const std::optional<Bytes> payload = plain_payload(data, w);
            const std::size_t header = weighted ? NEURAL_HEADER_LEN : PLAIN_HEADER_LEN;
            if (!chunk) {
                // Refused: then the plain payload does not shrink the input either.
                EXPECT_TRUE(!payload || header + payload->size() >= data.size()) << w.name;
                continue;
            }
            ASSERT_TRUE(payload) << w.name;
            EXPECT_EQ(Bytes(chunk.value().begin() + static_cast<std::ptrdiff_t>(header), chunk.value().end()), *payload)
                << w.name;
            EXPECT_EQ(decode_chunk(chunk.value(), 0, given).value(), data) << w.name;
        }
    }
}

// Across segment boundaries and once round the ring and beyond.
TEST(PredictionPipeline, HandsOverThePredictionsOfTheByteModels) {
    constexpr uint64_t S = PredictionPipeline::Ring::SEGMENT;
    constexpr uint64_t RING = S * PredictionPipeline::Ring::RING_SEGMENTS;
    for (const Bytes& data : {Bytes{}, random_bytes(5, 19), random_bytes(S - 1, 20, 3), random_bytes(S, 21, 3),
                              random_bytes(S + 1, 22), file_bytes("/usr/share/common-licenses/GPL-3", 40000),
                              sine_with_noise(RING + 3 * S + 5, 23)}) {
        SCOPED_TRACE(testing::Message() << data.size() << " bytes");
        PredictionPipeline pipeline(data);
        auto models = std::make_unique<ByteModels<SmallTables>>(data.size());
        History history(data.data());
        for (uint64_t i = 0; i < data.size(); ++i) {
            const uint8_t* h = history.at(i);
            models->look_up(h, i);
            const BytePredictions& got = pipeline.at(i);
            ASSERT_EQ(got.context, models->context()) << "byte " << i;
            ASSERT_EQ(got.match, models->match(h, i)) << "byte " << i;
            ASSERT_EQ(got.transformer, models->transformer(h, i)) << "byte " << i;
            history.record(i, data[i]);
            models->learn(h, i, data[i]);
        }
    }
}

TEST(PredictionPipeline, StopsWhereverTheEncoderLeavesIt) {
    // Destroyed at once, and with the worker a ring ahead (waiting for room)
    // or in the middle of a segment: each must end without a hang.
    const Bytes data = random_bytes(std::size_t{3} << 20, 24, 4);
    for (uint64_t read : {uint64_t{0}, uint64_t{1}, PredictionPipeline::Ring::SEGMENT + 7, uint64_t{1} << 20}) {
        PredictionPipeline pipeline(data);
        for (uint64_t i = 0; i < read; ++i) pipeline.at(i);
    }
}

TEST(ChunkCodec, TwoThreadsWriteTheSameChunksAsOne) {
    const WeightSet initial{20000, 20000, 10000, 5000, 5000, 5000};
    const WeightSet anchor{30000, 9000, 9000, 9000, 9000, 9000};
    const Bytes weights = weight_bytes(initial, anchor);
    NullDebugSink quiet;
    Bytes text;
    while (text.size() < (std::size_t{600} << 10)) {
        const Bytes licence = file_bytes("/usr/share/common-licenses/GPL-3", 40000);
        text.insert(text.end(), licence.begin(), licence.end());
        if (licence.empty()) text = sine_with_noise(std::size_t{600} << 10, 25);
    }
    int compared = 0;
    for (const Bytes& data : {sine_with_noise(std::size_t{256} << 10, 26), text, text_noise_text()}) {
        SCOPED_TRACE(testing::Message() << data.size() << " bytes");
        for (const std::optional<ByteView> given : {std::optional<ByteView>{}, std::optional<ByteView>(weights)}) {
            const Result<Bytes> one = compress_chunk(data, 0, given, quiet, EncoderThreads::One);
            const Result<Bytes> two = compress_chunk(data, 0, given, quiet, EncoderThreads::Two);
            ASSERT_EQ(bool(one), bool(two));
            if (!one) continue;
            EXPECT_EQ(one.value(), two.value());
            EXPECT_EQ(decode_chunk(two.value(), 0, given).value(), data);
            ++compared;
        }
    }
    EXPECT_GE(compared, 4);  // the sine and the text shrink, with and without weights
}

}  // namespace
}  // namespace zelk
