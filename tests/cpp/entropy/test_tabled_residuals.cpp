// Residuals coded by rANS over tables made for them: exact round trips of
// every magnitude and of symbols at every frequency, streams that end where
// they should, the bound on residuals per byte, and refusal of damaged
// tables.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "entropy/rans_coder.h"
#include "entropy/tabled_residuals.h"

namespace zelk {
namespace {

// Residuals alternate between `streams` streams, as a block's channels do.
std::vector<uint8_t> encode_all(const std::vector<int64_t>& residuals, unsigned bits, unsigned streams = 1) {
    TabledResidualWriter writer(bits);
    std::vector<ResidualStream> state(streams);
    for (size_t i = 0; i < residuals.size(); ++i) writer.add(state[i % streams], residuals[i]);
    std::vector<uint8_t> out;
    writer.finish(out);
    return out;
}

// The residuals, or an empty vector when the stream does not end cleanly.
std::vector<int64_t> decode_all(const std::vector<uint8_t>& bytes, size_t n, unsigned bits, unsigned streams = 1) {
    auto reader = TabledResidualReader::open(bytes, bits);
    if (!reader) throw std::runtime_error("tables refused");
    std::vector<ResidualStream> state(streams);
    std::vector<int64_t> out;
    for (size_t i = 0; i < n; ++i) out.push_back(reader->next(state[i % streams]));
    return reader->ended_cleanly() ? out : std::vector<int64_t>{};
}

TEST(TabledResiduals, RoundTripEveryMagnitudeAndEndCleanly) {
    std::vector<int64_t> residuals{0, 1, -1, 15, -16, 17, 255, -256, 65535, -65536};
    for (int shift = 16; shift < 63; ++shift) residuals.push_back((int64_t{1} << shift) + shift);
    residuals.push_back(std::numeric_limits<int64_t>::max());
    residuals.push_back(std::numeric_limits<int64_t>::min());
    std::mt19937_64 rng(5);
    for (int i = 0; i < 20000; ++i) residuals.push_back(static_cast<int64_t>(rng()) >> (rng() % 64));
    for (unsigned streams : {1u, 3u}) {
        const auto bytes = encode_all(residuals, 64, streams);
        EXPECT_EQ(decode_all(bytes, residuals.size(), 64, streams), residuals);
        // One residual fewer leaves the stream unfinished; a byte cut off ends it early.
        EXPECT_TRUE(decode_all(bytes, residuals.size() - 1, 64, streams).empty());
        EXPECT_TRUE(decode_all(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1), residuals.size(), 64, streams).empty());
    }
    EXPECT_EQ(decode_all(encode_all({}, 16), 0, 16), std::vector<int64_t>{});
}

TEST(TabledResiduals, SymbolsOfEveryFrequencyRoundTrip) {
    // The encoder divides by a reciprocal: every frequency, at states up to the largest.
    std::mt19937 rng(9);
    for (uint32_t freq = 1; freq < RANS_TOTAL; ++freq) {
        const std::vector<RansEncoder::Symbol> symbols{RansEncoder::symbol(0, freq), RansEncoder::symbol(freq, RANS_TOTAL - freq)};
        const uint32_t cums[2] = {0, freq}, freqs[2] = {freq, RANS_TOTAL - freq};
        std::vector<unsigned> coded(1000);
        for (unsigned& s : coded) s = rng() % 2;
        RansEncoder encoder;
        for (size_t i = coded.size(); i-- > 0;) encoder.encode(symbols[coded[i]]);
        std::vector<uint8_t> out;
        encoder.finish(out);
        RansDecoder decoder(out);
        for (unsigned s : coded) {
            const unsigned got = decoder.slot() < freq ? 0 : 1;
            ASSERT_EQ(got, s) << freq;
            decoder.consume(cums[got], freqs[got]);
        }
        EXPECT_TRUE(decoder.ended_cleanly()) << freq;
    }
}

TEST(TabledResiduals, SkewedResidualsCostLittleAndSilenceStaysWithinTheBound) {
    std::mt19937 rng(3);
    std::geometric_distribution<int> geometric(0.5);
    std::vector<int64_t> residuals(200000);
    for (auto& r : residuals) r = (rng() & 1) ? geometric(rng) : -geometric(rng);
    EXPECT_LT(encode_all(residuals, 16).size() * 8.0 / residuals.size(), 2.52);  // 2.5 bits of entropy
    const std::vector<int64_t> zeros(1 << 21, 0);
    const auto silent = encode_all(zeros, 16);
    EXPECT_LE(zeros.size(), max_tabled_residuals(silent.size()));
    EXPECT_EQ(decode_all(silent, zeros.size(), 16), zeros);
}

TEST(TabledResiduals, TheEstimateFollowsTheCodedSize) {
    // Quiet and loud passages, so several contexts and raw bits count.
    std::mt19937 rng(8);
    std::geometric_distribution<int> quiet(0.3), loud(0.002);
    std::vector<int64_t> residuals(100000);
    for (size_t i = 0; i < residuals.size(); ++i) {
        const int64_t m = (i / 5000) % 2 ? loud(rng) : quiet(rng);
        residuals[i] = (rng() & 1) ? m : -m;
    }
    TabledResidualWriter writer(16);
    ResidualStream stream;
    for (int64_t r : residuals) writer.add(stream, r);
    const double estimate = static_cast<double>(writer.estimated_size());
    const double coded = static_cast<double>(encode_all(residuals, 16).size());
    EXPECT_NEAR(estimate / coded, 1.0, 0.01);
}

TEST(TabledResiduals, RefuseDamagedTables) {
    const std::vector<int64_t> residuals{3, -1, 0, 2, 1, -2, 40, 0};
    const auto bytes = encode_all(residuals, 16);
    EXPECT_TRUE(TabledResidualReader::open(bytes, 16).has_value());
    // No table, no sign frequencies, no stream length.
    EXPECT_FALSE(TabledResidualReader::open(std::vector<uint8_t>(6, 0), 16).has_value());
    // Bit 48 starts the first table's count: one symbol listed whose
    // frequency cannot reach 4096.
    std::vector<uint8_t> short_table(bytes.size(), 0);
    short_table[0] = 1;
    EXPECT_FALSE(TabledResidualReader::open(short_table, 16).has_value());
    // More symbols listed than a 5-bit alphabet has (24).
    std::vector<uint8_t> long_table = bytes;
    long_table[6] = 0xFF;
    EXPECT_FALSE(TabledResidualReader::open(long_table, 5).has_value());
    // A stream longer than the bytes.
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
        const std::vector<uint8_t> head(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut));
        const auto reader = TabledResidualReader::open(head, 16);
        if (reader) {
            EXPECT_TRUE(decode_all(head, residuals.size(), 16).empty()) << cut;
        }
    }
    // A residual in a context with no table: the tables of silence, then a loud stream.
    auto silence = encode_all(std::vector<int64_t>(100, 0), 16);
    auto reader = TabledResidualReader::open(silence, 16);
    ResidualStream loud;
    loud.mean16 = 1 << 12;
    EXPECT_THROW(reader->next(loud), std::runtime_error);
}

}  // namespace
}  // namespace zelk
