// Range coder: the frequency table against its defining formula, the known
// byte streams, round trips, padding past the payload's end, and the
// collapse to a zero range in both directions.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/ans_coder.h"

namespace zelk {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode_all(const Bytes& symbols) {
    AnsEncoder encoder;
    for (uint8_t s : symbols) {
        EXPECT_TRUE(encoder.encode(s));
    }
    return std::move(encoder).finish();
}

Bytes decode_all(const Bytes& payload, std::size_t count) {
    AnsDecoder decoder(payload);
    Bytes symbols;
    for (std::size_t i = 0; i < count; ++i) {
        symbols.push_back(decoder.decode());
    }
    return symbols;
}

TEST(ResidualFrequencies, EqualTheDiscreteLaplaceOfScaleTen) {
    double z = 0;
    for (int j = -128; j <= 127; ++j) z += std::exp(-std::abs(j) / 10.0);
    uint32_t start = 0;
    for (int s = 0; s < 256; ++s) {
        const int r = s - 128;
        double f = std::floor(65536.0 * std::exp(-std::abs(r) / 10.0) / z);
        if (f < 1) f = 1;
        if (r == 0) f -= 1;
        ASSERT_EQ(RESIDUAL_FREQUENCIES[s].freq, static_cast<uint32_t>(f)) << "symbol " << s;
        ASSERT_EQ(RESIDUAL_FREQUENCIES[s].start, start) << "symbol " << s;
        start += RESIDUAL_FREQUENCIES[s].freq;
    }
    EXPECT_EQ(start, 65536u);
}

TEST(AnsDecoder, FindsTheLargestSymbolStartingAtOrBelowQ) {
    int s = 0;
    for (uint32_t q = 0; q <= 0xFFFF; ++q) {
        while (s < 255 && RESIDUAL_FREQUENCIES[s + 1].start <= q) ++s;
        ASSERT_EQ(detail::find_symbol(q), s) << "q = " << q;
    }
}

TEST(AnsEncoder, ProducesTheKnownStreams) {
    EXPECT_EQ(encode_all({}), (Bytes{0x00, 0x00, 0x00, 0x00}));
    // low = 31132 * 0xFFFF, no renormalisation byte.
    EXPECT_EQ(encode_all({128}), (Bytes{0x79, 0x9B, 0x86, 0x64}));
    EXPECT_EQ(encode_all({128, 129, 127, 133}), (Bytes{0x80, 0x95, 0x60, 0x50, 0x3A, 0x00}));
}

// Symbol sequences whose coding collapses the range at their last symbol.
// Two residuals of -127 are enough: the first leaves low = 0xFFFF00 and
// range 0xFFFF00, the second makes low 0xFFFFFF with range 0xFF, and the cut
// below 0x1000000 leaves nothing. A run of 255 (the top slice, frequency 1)
// walks into the same corner after 511 symbols. The third is a random mix of
// residual 0 and 255, which collapses after some hundreds of symbols.
std::vector<Bytes> collapsing_sequences() {
    std::vector<Bytes> found = {{1, 1}, Bytes(511, 255)};
    std::mt19937 rng(7);
    AnsEncoder encoder;
    Bytes mix;
    while (mix.size() < 100000) {
        mix.push_back(rng() % 3 == 0 ? 255 : 128);
        if (!encoder.encode(mix.back())) break;
    }
    found.push_back(mix);
    return found;
}

// Uniform symbols, Laplace-distributed residuals, rare symbols of frequency
// 1 among zeros, and long runs of single symbols.
std::vector<Bytes> symbol_sequences() {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> any_symbol(0, 255);
    std::uniform_int_distribution<int> rare_symbol(75, 127);  // sizes of frequency 1
    std::geometric_distribution<int> residual_size(0.1);

    Bytes uniform(20000), laplace(50000), rare(5000);
    for (auto& s : uniform) s = static_cast<uint8_t>(any_symbol(rng));
    for (auto& s : laplace) {
        const int size = std::min(residual_size(rng), 127);
        s = static_cast<uint8_t>(128 + (rng() & 1 ? size : -size));
    }
    for (auto& s : rare) {
        const int size = rare_symbol(rng);
        s = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : (rng() & 1 ? 128 + size : 128 - size));
    }
    std::vector<Bytes> cases = {uniform, laplace, rare};
    // Runs of symbols 1 and 255 collapse the range (tested below).
    for (uint8_t s : {0, 2, 127, 128, 200, 254}) cases.push_back(Bytes(30000, s));
    return cases;
}

TEST(AnsCoder, RoundTripsSymbolSequences) {
    for (const Bytes& symbols : symbol_sequences()) {
        const Bytes payload = encode_all(symbols);
        EXPECT_EQ(decode_all(payload, symbols.size()), symbols)
            << "run of " << symbols.size() << " starting with " << int(symbols[0]);
    }
}

// The coder's steps one byte at a time, as plainly as they can be written:
// the encoder's output and the decoder's symbols must be the same.
struct PlainCoder {
    uint32_t low = 0, range = 0xFFFFFFFF, code = 0;
    bool collapsed = false;

    template <typename Shift>
    void step(uint8_t s, Shift&& shift) {
        const uint32_t r = range >> RESIDUAL_TOTAL_BITS;
        low += RESIDUAL_FREQUENCIES[s].start * r;
        range = RESIDUAL_FREQUENCIES[s].freq * r;
        for (;;) {
            if ((low ^ (low + range)) >= (1u << 24)) {
                if (range > 0xFFFF) return;
                range = 0xFFFF - (low & 0xFFFF);
                if (range == 0) {
                    collapsed = true;
                    return;
                }
            }
            shift(static_cast<uint8_t>(low >> 24));
            low <<= 8;
            range <<= 8;
        }
    }
};

Bytes plain_encode(const Bytes& symbols) {
    PlainCoder c;
    Bytes out;
    for (uint8_t s : symbols) {
        if (c.collapsed) break;
        c.step(s, [&](uint8_t byte) { out.push_back(byte); });
    }
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(c.low >> shift));
    return out;
}

Bytes plain_decode(const Bytes& payload, std::size_t count) {
    PlainCoder c;
    std::size_t pos = 0;
    auto next = [&]() -> uint32_t { return pos < payload.size() ? payload[pos++] : 0; };
    for (int i = 0; i < 4; ++i) c.code = c.code << 8 | next();
    Bytes symbols;
    while (symbols.size() < count && !c.collapsed) {
        const uint32_t q = std::min<uint32_t>((c.code - c.low) / (c.range >> RESIDUAL_TOTAL_BITS), 0xFFFF);
        uint8_t s = 0;
        while (s < 255 && RESIDUAL_FREQUENCIES[s + 1].start <= q) ++s;
        symbols.push_back(s);
        c.step(s, [&](uint8_t) { c.code = c.code << 8 | next(); });
    }
    symbols.resize(count, 0);
    return symbols;
}

TEST(AnsCoder, MatchesTheByteAtATimeCoder) {
    std::mt19937 rng(99);
    std::vector<Bytes> cases = symbol_sequences();
    for (const Bytes& symbols : collapsing_sequences()) cases.push_back(symbols);
    for (const Bytes& symbols : cases) {
        SCOPED_TRACE(testing::Message() << symbols.size() << " symbols from " << int(symbols[0]));
        AnsEncoder encoder;
        for (uint8_t s : symbols) encoder.encode(s);
        const Bytes payload = std::move(encoder).finish();
        EXPECT_EQ(payload, plain_encode(symbols));
        // Also through payloads cut short and garbled, which the decoder
        // must follow just the same.
        Bytes garbled = payload;
        for (auto& byte : garbled) byte = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : byte);
        const Bytes cut(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(payload.size() / 3));
        for (const Bytes& p : {payload, garbled, cut})
            ASSERT_EQ(decode_all(p, symbols.size() + 100), plain_decode(p, symbols.size() + 100));
    }
}

TEST(AnsCoder, CompressesRunsOfTheZeroResidual) {
    // Symbol 128 costs about 4.3 bits; anything near 8 bits means a broken
    // renormalisation.
    EXPECT_LT(encode_all(Bytes(80000, 128)).size(), 80000u * 5 / 8);
}

TEST(AnsDecoder, ReadsAMissingPayloadAsZeros) {
    const Bytes zeros(3000, 0);
    for (const Bytes& payload : {Bytes{}, Bytes{0, 0}, zeros}) {
        EXPECT_EQ(decode_all(payload, 2000), Bytes(2000, 0));
    }
    // A cut stream decodes as if the zeros were there.
    Bytes symbols;
    for (int i = 0; i < 3000; ++i) symbols.push_back(static_cast<uint8_t>(120 + i % 17));
    const Bytes payload = encode_all(symbols);
    const Bytes cut(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(payload.size() / 2));
    Bytes padded = cut;
    padded.resize(payload.size() + 16, 0);
    EXPECT_EQ(decode_all(cut, symbols.size()), decode_all(padded, symbols.size()));
}

TEST(AnsCoder, ZeroRangeStopsTheEncoderAndNeverHangsTheDecoder) {
    for (const Bytes& symbols : collapsing_sequences()) {
        SCOPED_TRACE(testing::Message() << symbols.size() << " symbols");
        AnsEncoder encoder;
        for (std::size_t i = 0; i + 1 < symbols.size(); ++i) ASSERT_TRUE(encoder.encode(symbols[i]));
        EXPECT_FALSE(encoder.collapsed());
        EXPECT_FALSE(encoder.encode(symbols.back()));
        EXPECT_TRUE(encoder.collapsed());
        EXPECT_FALSE(encoder.encode(128));  // stays stopped, returns at once
        const Bytes payload = std::move(encoder).finish();

        // The decoder follows the encoder into the collapse, then yields
        // symbol 0 for every further request without reading anything.
        const std::size_t extra = 2'000'000;
        const auto started = std::chrono::steady_clock::now();
        const Bytes decoded = decode_all(payload, symbols.size() + extra);
        const auto elapsed = std::chrono::steady_clock::now() - started;
        const auto split = decoded.begin() + static_cast<std::ptrdiff_t>(symbols.size());
        EXPECT_EQ(Bytes(decoded.begin(), split), symbols);
        EXPECT_EQ(Bytes(split, decoded.end()), Bytes(extra, 0));
        EXPECT_LT(elapsed, std::chrono::seconds(5));
    }
}

}  // namespace
}  // namespace zelk
