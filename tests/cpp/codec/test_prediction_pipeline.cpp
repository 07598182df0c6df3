// The encoder's prediction pipeline: the worker thread hands over exactly
// the predictions of the byte models it runs, across segment boundaries and
// round the ring, and stops wherever the encoder leaves it.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "codec/prediction_pipeline.h"
#include "model/history.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;
using test::random_bytes;
using test::sine_with_noise;

// Across segment boundaries and once round the ring and beyond.
TEST(PredictionPipeline, HandsOverThePredictionsOfTheByteModels) {
    constexpr uint64_t S = PredictionPipeline::Ring::SEGMENT;
    constexpr uint64_t RING = S * PredictionPipeline::Ring::RING_SEGMENTS;
    for (const Bytes& data : {Bytes{}, random_bytes(5, 19), random_bytes(S - 1, 20, 3), random_bytes(S, 21, 3),
                              random_bytes(S + 1, 22), random_bytes(40000, 25, 4),
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

}  // namespace
}  // namespace zelk
