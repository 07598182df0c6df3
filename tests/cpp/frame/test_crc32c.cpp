// CRC-32C against published check values, and the instruction version
// against the table version on lengths and alignments that exercise both
// its 8-byte loop and its byte tail.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string_view>
#include <vector>

#include "frame/crc32c.h"

namespace zelk {
namespace {

std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Crc32c, MatchesPublishedCheckValues) {
    std::vector<uint8_t> zeros(32, 0x00), ones(32, 0xFF), ramp(32);
    std::iota(ramp.begin(), ramp.end(), uint8_t{0});
    for (auto crc : {crc32c, crc32c_table}) {
        EXPECT_EQ(crc(bytes_of("123456789"), 0), 0xE3069283u);
        EXPECT_EQ(crc(zeros, 0), 0x8A9136AAu);  // iSCSI test patterns
        EXPECT_EQ(crc(ones, 0), 0x62A8AB43u);
        EXPECT_EQ(crc(ramp, 0), 0x46DD794Eu);
        EXPECT_EQ(crc({}, 0), 0u);
    }
}

TEST(Crc32c, InstructionAgreesWithTableAtEveryLengthAndAlignment) {
    if (!crc32c_hardware_available()) GTEST_SKIP() << "no CRC32 instruction here (or baseline kernels forced)";
    std::mt19937 random(7);
    std::vector<uint8_t> data(4096 + 16);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    for (size_t start = 0; start < 16; ++start) {
        for (size_t length = 0; length <= 80; ++length) {
            auto piece = std::span<const uint8_t>(data).subspan(start, length);
            ASSERT_EQ(crc32c(piece), crc32c_table(piece)) << start << "+" << length;
        }
        auto long_piece = std::span<const uint8_t>(data).subspan(start, 4096);
        ASSERT_EQ(crc32c(long_piece), crc32c_table(long_piece));
    }
}

TEST(Crc32c, ContinuesFromThePrefixCrc) {
    const auto text = bytes_of("The quick brown fox jumps over the lazy dog, twice over.");
    const uint32_t whole = crc32c(text);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        EXPECT_EQ(crc32c(text.subspan(cut), crc32c(text.first(cut))), whole);
        EXPECT_EQ(crc32c_table(text.subspan(cut), crc32c_table(text.first(cut))), whole);
        EXPECT_EQ(crc32c_combine(crc32c(text.first(cut)), crc32c(text.subspan(cut)), text.size() - cut), whole) << cut;
    }
    // Long second parts: every bit of the length squares the shift.
    std::vector<uint8_t> long_text(300000);
    for (size_t i = 0; i < long_text.size(); ++i) long_text[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{65536}, size_t{299999}}) {
        const auto data = std::span<const uint8_t>(long_text);
        EXPECT_EQ(crc32c_combine(crc32c(data.first(cut)), crc32c(data.subspan(cut)), data.size() - cut), crc32c(data))
            << cut;
    }
}

TEST(Crc32c, DetectsEverySingleBitFlip) {
    std::vector<uint8_t> data(64);
    std::iota(data.begin(), data.end(), uint8_t{100});
    const uint32_t good = crc32c(data);
    for (size_t bit = 0; bit < data.size() * 8; ++bit) {
        data[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_NE(crc32c(data), good) << bit;
        data[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    }
}

}  // namespace
}  // namespace zelk
