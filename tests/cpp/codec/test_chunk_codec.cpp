// Chunk encoder and decoder end to end: round trips under every weight
// length, the refusals and when the debug line is written, the decoder's
// tolerance of odd payloads, the collapsed coder range, and the limits on
// input and output size; and every chunk against the payload of the plain
// models and the range coder, written by one thread or two.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/ans_coder.h"
#include "codec/codec.h"
#include "model/byte_models.h"
#include "model/reference/ensemble.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;
using test::random_bytes;
using test::sine_with_noise;

class RecordingSink final : public DebugSink {
public:
    void write_line(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

std::optional<ByteView> view_of(const std::optional<Bytes>& bytes) {
    if (!bytes) return std::nullopt;
    return ByteView(*bytes);
}

Result<Bytes> compress(const Bytes& data, const std::optional<Bytes>& weights = std::nullopt,
                       uint8_t predictor_id = 0) {
    NullDebugSink quiet;
    return compress_chunk(data, predictor_id, view_of(weights), quiet);
}

Result<Bytes> decompress(const Bytes& chunk, const std::optional<Bytes>& weights = std::nullopt) {
    return decode_chunk(chunk, 0, view_of(weights));
}

std::string error_text(const Result<Bytes>& r) { return r ? "no error" : r.error().display(); }

// Data the models predict well: a noisy triangle wave, a ramp, a period,
// text and a run.
std::vector<Bytes> compressible_inputs() {
    std::mt19937 rng(99);
    Bytes triangle(6000), ramp(3000), periodic(5000);
    for (std::size_t i = 0; i < triangle.size(); ++i) {
        const std::size_t phase = i % 200;
        triangle[i] = static_cast<uint8_t>(20 + (phase < 100 ? phase : 200 - phase) + rng() % 4);
    }
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i / 3);
    for (std::size_t i = 0; i < periodic.size(); ++i) periodic[i] = "zelk!\x01\xF0"[i % 7];
    std::string text;
    while (text.size() < 8000) text += "the quick brown fox jumps over the lazy dog; ";
    return {triangle, ramp, periodic, Bytes(text.begin(), text.end()), Bytes(700, 0x42)};
}

// n bytes of plausible mixer weights: little-endian words 8000, 9000, ...
Bytes weights_of_length(std::size_t n) {
    Bytes w;
    for (uint32_t word = 8000; w.size() < n; word += 1000) {
        for (int k = 0; k < 4; ++k) w.push_back(static_cast<uint8_t>(word >> (8 * k)));
    }
    w.resize(n);
    return w;
}

TEST(ChunkCodec, RoundTripsUnderEveryWeightLength) {
    for (const Bytes& data : compressible_inputs()) {
        for (const std::size_t w : {0, 10, 24, 47, 48, 60}) {
            SCOPED_TRACE(testing::Message() << data.size() << " bytes, " << w << " weight bytes");
            const std::optional<Bytes> weights =
                w == 0 ? std::nullopt : std::optional<Bytes>(weights_of_length(w));
            const Result<Bytes> chunk = compress(data, weights);
            ASSERT_TRUE(chunk) << chunk.error().display();
            const Bytes& c = chunk.value();
            EXPECT_LT(c.size(), data.size());
            EXPECT_EQ(c[0], w == 0 ? 0xA0 : 0xA2);
            EXPECT_EQ(c[1] | c[2] << 8 | c[3] << 16 | uint32_t{c[4]} << 24, data.size());
            EXPECT_EQ(error_text(decompress(c, weights)), "no error");
            EXPECT_EQ(decompress(c, weights).value(), data);
            // Below 48 weight bytes the chunk carries everything the model needs.
            if (w < 48) {
                EXPECT_EQ(decompress(c).value(), data);
            }
        }
    }
}

TEST(ChunkCodec, PredictorIdsAndEmptyWeightsChangeNothing) {
    const Bytes data = compressible_inputs()[0];
    const Bytes w10 = weights_of_length(10);
    for (const std::optional<Bytes>& weights : {std::optional<Bytes>(), std::optional<Bytes>(w10)}) {
        const Bytes reference = compress(data, weights, 0).value();
        EXPECT_EQ(compress(data, weights, 1).value(), reference);
        EXPECT_EQ(compress(data, weights, 2).value(), reference);
    }
    EXPECT_EQ(compress(data, Bytes{}).value(), compress(data).value());
    const Bytes chunk = compress(data).value();
    EXPECT_EQ(decode_chunk(chunk, 200, std::nullopt).value(), data);
}

TEST(ChunkCodec, WritesTheDebugLineOnlyPastTheFirstChecks) {
    const Bytes data = compressible_inputs()[1];
    RecordingSink sink;
    EXPECT_EQ(compress_chunk(data, 3, std::nullopt, sink).error().display(),
              "InvalidInput: Unsupported Predictor ID: 3");
    EXPECT_TRUE(sink.lines.empty());

    Bytes small(28);
    EXPECT_EQ(encode_chunk(data, 0, ByteView(weights_of_length(1)), small, sink).error().display(),
              "Other: Buffer too small for header");
    EXPECT_EQ(encode_chunk(data, 0, std::nullopt, std::span(small).first(4), sink).error().display(),
              "Other: Buffer too small for header");
    EXPECT_TRUE(sink.lines.empty());

    ASSERT_TRUE(compress_chunk(data, 0, std::nullopt, sink));
    // Refused for expansion after the model ran: the line is already out.
    EXPECT_EQ(compress_chunk(Bytes(9, 0), 0, std::nullopt, sink).error().display(),
              "CompressionError: Expansion detected");
    EXPECT_EQ(sink.lines, (std::vector<std::string>(2, "DEBUG: Running Optimized Encoder\n")));
}

TEST(ChunkCodec, RefusesWhatDoesNotShrink) {
    for (std::size_t n : {0, 1, 9}) {
        EXPECT_EQ(error_text(compress(Bytes(n, 0))), "CompressionError: Expansion detected") << n;
    }
    EXPECT_EQ(error_text(compress(Bytes(33, 0), weights_of_length(5))), "CompressionError: Expansion detected");
    std::mt19937 rng(5);
    Bytes noise(5000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(error_text(compress(noise)), "CompressionError: Expansion detected");

    // A payload that does not fit behind the header is refused even when the
    // chunk would be shorter than the input.
    const Bytes data = compressible_inputs()[4];
    const std::size_t chunk_size = compress(data).value().size();
    Bytes out(chunk_size - 1);
    NullDebugSink quiet;
    EXPECT_EQ(encode_chunk(data, 0, std::nullopt, out, quiet).error().display(),
              "CompressionError: Expansion detected");
    out.resize(chunk_size);
    EXPECT_EQ(encode_chunk(data, 0, std::nullopt, out, quiet).value(), chunk_size);
}

// Input bytes whose residuals against the model are exactly `symbols`.
Bytes input_with_residuals(const Bytes& symbols) {
    ModelEnsemble model(std::nullopt, std::nullopt);
    Bytes data;
    for (uint8_t s : symbols) {
        data.push_back(static_cast<uint8_t>(model.predict() + s - 128));
        model.update(data.back());
    }
    return data;
}

TEST(ChunkCodec, RefusesAnInputThatCollapsesTheCoderRange) {
    // Two residuals of -127 collapse the range; the rest would compress well.
    Bytes symbols(4000, 128);
    EXPECT_TRUE(compress(input_with_residuals(symbols)));
    symbols[0] = symbols[1] = 1;
    RecordingSink sink;
    EXPECT_EQ(compress_chunk(input_with_residuals(symbols), 0, std::nullopt, sink).error().display(),
              "CompressionError: Expansion detected");
    EXPECT_EQ(sink.lines.size(), 1u);
}

TEST(ChunkDecoder, DecodesACollapsedPayloadInBoundedTime) {
    AnsEncoder coder;
    EXPECT_TRUE(coder.encode(1));
    EXPECT_FALSE(coder.encode(1));
    const Bytes payload = std::move(coder).finish();
    Bytes chunk = {0xA0, 0x40, 0x0D, 0x03, 0x00};  // 200,000 bytes
    chunk.insert(chunk.end(), payload.begin(), payload.end());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(decompress(chunk).value().size(), 200'000u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST(ChunkDecoder, DecodesTheStatedLengthWhateverThePayload) {
    EXPECT_EQ(decompress({0xA0, 0, 0, 0, 0}).value(), Bytes{});
    EXPECT_EQ(decompress({0xA0, 0, 0, 0, 0, 1, 2, 3, 4, 5}).value(), Bytes{});
    Bytes neural(29, 0);
    neural[0] = 0xA2;
    neural[1] = 0xE8;
    neural[2] = 0x03;  // 1000 bytes from an empty payload
    EXPECT_EQ(decompress(neural).value().size(), 1000u);

    const Bytes data = compressible_inputs()[0];
    Bytes chunk = compress(data).value();
    Bytes longer = chunk;
    longer.insert(longer.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    EXPECT_EQ(decompress(longer).value(), data);
    // Missing bytes read as zeros: no error, the stated length, other bytes.
    Bytes cut(chunk.begin(), chunk.end() - 7);
    Bytes zero_filled = cut;
    zero_filled.resize(chunk.size(), 0);
    EXPECT_EQ(decompress(cut).value(), decompress(zero_filled).value());
    EXPECT_EQ(decompress(cut).value().size(), data.size());

    // A Plain chunk read with 24+ weight bytes runs another model: wrong bytes, no error.
    const Result<Bytes> other = decompress(chunk, weights_of_length(24));
    ASSERT_TRUE(other);
    EXPECT_EQ(other.value().size(), data.size());
    EXPECT_NE(other.value(), data);
    EXPECT_EQ(decompress(chunk, weights_of_length(23)).value(), data);
}

TEST(ChunkCodec, AnchorWeightsMustBeGivenAgain) {
    const Bytes data = compressible_inputs()[0];
    Bytes w48 = weights_of_length(48);
    const Bytes chunk = compress(data, w48).value();
    Bytes other_anchors = w48;
    other_anchors[30] ^= 0x40;
    // The first 24 caller bytes are not used by a Neural chunk's decoder.
    Bytes other_initials = w48;
    other_initials[3] ^= 0x40;
    EXPECT_EQ(decompress(chunk, other_initials).value(), data);
    EXPECT_NE(decompress(chunk, other_anchors).value(), data);
}

// An input of 2^32 bytes, mapped but never touched.
class HugeInput {
public:
    static constexpr std::size_t SIZE = std::size_t{1} << 32;
    HugeInput() : p_(mmap(nullptr, SIZE, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) {}
    ~HugeInput() {
        if (p_ != MAP_FAILED) munmap(p_, SIZE);
    }
    HugeInput(const HugeInput&) = delete;
    HugeInput& operator=(const HugeInput&) = delete;
    bool ok() const { return p_ != MAP_FAILED; }
    ByteView view() const { return {static_cast<const uint8_t*>(p_), SIZE}; }

private:
    void* p_;
};

TEST(ChunkCodec, RefusesInputsTheLengthFieldCannotHold) {
    const HugeInput input;
    ASSERT_TRUE(input.ok());
    RecordingSink sink;
    EXPECT_EQ(compress_chunk(input.view(), 0, std::nullopt, sink).error().display(),
              "InvalidInput: Input too large for a chunk");
    Bytes out(64);
    EXPECT_EQ(encode_chunk(input.view(), 0, std::nullopt, out, sink).error().display(),
              "InvalidInput: Input too large for a chunk");
    EXPECT_TRUE(sink.lines.empty());
    EXPECT_EQ(out, Bytes(64, 0));
}

// Exits 42 when decoding a chunk with a 4 GiB length field, in a process
// limited to 1 GiB of address space, ends in std::bad_alloc.
[[noreturn]] void decode_unaffordable_length() {
    const rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
    setrlimit(RLIMIT_AS, &limit);
    try {
        (void)decompress({0xA0, 0xFF, 0xFF, 0xFF, 0xFF});
    } catch (const std::bad_alloc&) {
        std::_Exit(42);
    }
    std::_Exit(1);
}

TEST(ChunkDecoderDeathTest, AnUnaffordableLengthFailsWithBadAlloc) {
    if (test::UNDER_SHADOW_MEMORY_SANITIZER) GTEST_SKIP() << "the sanitizer needs more address space than the limit leaves";
    EXPECT_EXIT(decode_unaffordable_length(), testing::ExitedWithCode(42), "");
}

// The payload that the plain ensemble and the range coder give for `data`,
// or nothing where the coder's range collapses.
std::optional<Bytes> plain_payload(const Bytes& data, std::optional<WeightSet> initial,
                                   std::optional<WeightSet> anchor) {
    auto model = std::make_unique<ModelEnsemble>(initial, anchor);
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

// The floor a reader holds chunks to: no input, however predictable, gives
// a chunk below it, and the most predictable come within a few bytes of it.
TEST(ChunkCodec, NoChunkIsShorterThanTheFloor) {
    for (std::size_t n : {std::size_t{60}, std::size_t{1000}, std::size_t{4097}, std::size_t{100000}, std::size_t{1} << 20}) {
        for (const Bytes& data : {Bytes(n, 0), Bytes(n, 7), sine_with_noise(n, 4)}) {
            const Result<Bytes> chunk = compress(data);
            if (!chunk) continue;
            EXPECT_GE(chunk.value().size(), min_plain_chunk_size(n)) << n;
            if (data[0] == data[1]) EXPECT_LT(chunk.value().size(), min_plain_chunk_size(n) + n / 500 + 16) << n;
        }
    }
}

const WeightSet CALLER_INITIAL{20000, 20000, 10000, 5000, 5000, 5000};
const WeightSet CALLER_ANCHOR{30000, 9000, 9000, 9000, 9000, 9000};

// The chunk of `data`, with and without caller weights, is the header and
// the payload of the plain models, and decodes; where the encoder refuses,
// the plain payload does not shrink the input either.
void expect_chunks_of_the_plain_models(const Bytes& data) {
    SCOPED_TRACE(testing::Message() << data.size() << " bytes");
    const Bytes weights = weight_bytes(CALLER_INITIAL, CALLER_ANCHOR);
    NullDebugSink quiet;
    for (bool weighted : {false, true}) {
        SCOPED_TRACE(weighted ? "caller weights" : "default weights");
        const std::optional<ByteView> given = weighted ? std::optional<ByteView>(weights) : std::nullopt;
        const Result<Bytes> chunk = compress_chunk(data, 0, given, quiet);
        const std::optional<Bytes> payload = weighted ? plain_payload(data, CALLER_INITIAL, CALLER_ANCHOR)
                                                      : plain_payload(data, std::nullopt, std::nullopt);
        const std::size_t header = weighted ? NEURAL_HEADER_LEN : PLAIN_HEADER_LEN;
        if (!chunk) {
            EXPECT_TRUE(!payload || header + payload->size() >= data.size());
            continue;
        }
        ASSERT_TRUE(payload);
        EXPECT_EQ(Bytes(chunk.value().begin() + static_cast<std::ptrdiff_t>(header), chunk.value().end()), *payload);
        EXPECT_EQ(decode_chunk(chunk.value(), 0, given).value(), data);
    }
}

TEST(ChunkCodec, ChunksEqualThoseOfThePlainModels) {
    // Both table forms, and a match ring overrun by noise.
    for (const Bytes& data : {sine_with_noise(SMALL_CHUNK, 10), sine_with_noise(SMALL_CHUNK + 1, 11),
                              test::text_noise_text(random_bytes(40000, 5, 4))}) {
        expect_chunks_of_the_plain_models(data);
    }
}

TEST(ChunkCodec, ChunksEqualThoseOfThePlainModelsOnRealText) {
    ZELK_HOST_FILE_OR_SKIP(text, test::HOST_TEXT, 40000);
    expect_chunks_of_the_plain_models(Bytes(text.begin(), text.begin() + std::min<std::ptrdiff_t>(30000, std::ssize(text))));
    expect_chunks_of_the_plain_models(test::text_noise_text(text));
}

// The encoder's second thread works only on inputs of 256 KiB and more.
TEST(ChunkCodec, TwoThreadsWriteTheSameChunksAsOne) {
    const Bytes weights = weight_bytes(CALLER_INITIAL, CALLER_ANCHOR);
    NullDebugSink quiet;
    Bytes text;
    const Bytes words = random_bytes(40000, 26, 4);
    while (text.size() < (std::size_t{600} << 10)) text.insert(text.end(), words.begin(), words.end());
    int compared = 0;
    for (const Bytes& data : {sine_with_noise(std::size_t{256} << 10, 26), text, test::text_noise_text(words)}) {
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
    EXPECT_GE(compared, 4);  // the sine and the repeated text shrink, with and without weights
}

}  // namespace
}  // namespace zelk
