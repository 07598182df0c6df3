// Sample blocks: exact round trips of every element type and byte order at
// every effort, the transforms each kind of data calls for, and refusals of
// damaged or hostile blocks before any decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "sample/sample_block.h"
#include "sample/sample_gaps.h"
#include "sample/sample_values.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;

template <typename T>
Bytes bytes_of(const std::vector<T>& values, bool big_endian = false) {
    Bytes out(values.size() * sizeof(T));
    std::memcpy(out.data(), values.data(), out.size());
    if (big_endian) {
        for (size_t i = 0; i < out.size(); i += sizeof(T)) std::reverse(out.begin() + i, out.begin() + i + sizeof(T));
    }
    return out;
}

// A voice-like 16-bit signal: a few partials, a slow envelope, a little noise.
std::vector<int16_t> speech(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, 8);
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / 16000, envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 3 * t);
        const double s = envelope * (6000 * std::sin(2 * M_PI * 220 * t) + 2500 * std::sin(2 * M_PI * 660 * t + 1));
        v[i] = static_cast<int16_t>(std::lround(s + noise(rng)));
    }
    return v;
}

Bytes round_trip(const Bytes& data, const SampleLayout& layout, SampleEffort effort, size_t* stored = nullptr) {
    const Bytes block = encode_sample_block(data, layout, effort);
    if (stored) *stored = block.size();
    auto back = decode_sample_block(block, static_cast<uint32_t>(data.size()));
    EXPECT_TRUE(back.ok()) << (back.ok() ? "" : back.error().display());
    return back.ok() ? back.value() : Bytes{};
}

TEST(SampleBlock, EveryTypeAndByteOrderRoundTripsAtEveryEffort) {
    const Bytes noise = test::random_bytes(8 * 3 * 1000 + 5, 9);  // a tail that makes no whole frame
    for (uint8_t type = 1; type <= ELEMENT_TYPES; ++type) {
        for (bool big_endian : {false, true}) {
            for (std::vector<uint64_t> trailing : {std::vector<uint64_t>{}, std::vector<uint64_t>{3}}) {
                const SampleLayout layout{static_cast<ElementType>(type), big_endian, trailing};
                for (SampleEffort effort : {SampleEffort::Fast, SampleEffort::Moderate, SampleEffort::Full}) {
                    EXPECT_EQ(round_trip(noise, layout, effort), noise) << element_type_name(layout.type);
                    EXPECT_EQ(round_trip(Bytes{}, layout, effort), Bytes{}) << element_type_name(layout.type);
                }
            }
        }
    }
}

TEST(SampleBlock, SpeechShrinksMoreWithMoreEffort) {
    const Bytes data = bytes_of(speech(200000, 1));
    const SampleLayout layout{ElementType::I16, false, {}};
    size_t fast = 0, moderate = 0, full = 0;
    EXPECT_EQ(round_trip(data, layout, SampleEffort::Fast, &fast), data);
    EXPECT_EQ(round_trip(data, layout, SampleEffort::Moderate, &moderate), data);
    EXPECT_EQ(round_trip(data, layout, SampleEffort::Full, &full), data);
    EXPECT_LT(fast, data.size() / 2);
    EXPECT_LT(moderate, fast);
    EXPECT_LE(full, moderate + moderate / 200);  // chosen on the block's start: about as good or better
}

// A raster whose rows are signals of their own (planar channels) still
// finds the cascades at the moderate effort, which tries rows first.
TEST(SampleBlock, RowsThatAreSignalsStillFindTheCascades) {
    const auto first = speech(50000, 11), second = speech(50000, 12);
    std::vector<int16_t> planar(first);
    planar.insert(planar.end(), second.begin(), second.end());
    const Bytes rows = bytes_of(planar), one = bytes_of(first);
    size_t as_rows = 0, as_signal = 0;
    EXPECT_EQ(round_trip(rows, {ElementType::I16, false, {50000}}, SampleEffort::Moderate, &as_rows), rows);
    EXPECT_EQ(round_trip(one, {ElementType::I16, false, {}}, SampleEffort::Moderate, &as_signal), one);
    EXPECT_LT(as_rows, 2 * as_signal + as_signal / 20);
}

TEST(SampleBlock, FloatsComeBackBitForBit) {
    std::vector<double> special{0.0, -0.0, std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min(),
                                std::bit_cast<double>(uint64_t{0x7FF8DEADBEEF0001}), 1e308, -1.5};
    for (int i = 0; i < 5000; ++i) special.push_back(std::sin(i * 0.01) * 1000 + (i % 7 == 0 ? -0.0 : 0.0));
    for (bool big_endian : {false, true}) {
        const Bytes data = bytes_of(special, big_endian);
        EXPECT_EQ(round_trip(data, {ElementType::F64, big_endian, {}}, SampleEffort::Moderate), data);
        std::vector<float> singles(special.begin(), special.end());
        singles.push_back(std::bit_cast<float>(uint32_t{0xFFC01234}));
        const Bytes single_data = bytes_of(singles, big_endian);
        EXPECT_EQ(round_trip(single_data, {ElementType::F32, big_endian, {}}, SampleEffort::Moderate), single_data);
    }
}

// Integer-valued floats, decimals and few distinct values each shrink far
// below what their bits as ordered integers would.
TEST(SampleBlock, ExactStructureInFloatsIsFoundAndUsed) {
    std::mt19937 rng(4);
    std::vector<double> elevations(60000), prices(60000), levels(60000);
    double walk = 250;
    for (size_t i = 0; i < elevations.size(); ++i) {
        walk += std::uniform_int_distribution<int>(-3, 3)(rng);
        elevations[i] = walk;
        prices[i] = std::round((100 + walk / 10) * 100) / 100;
        levels[i] = 0.0123 * std::uniform_int_distribution<int>(0, 40)(rng);
    }
    const SampleLayout layout{ElementType::F64, false, {}};
    for (const auto* values : {&elevations, &prices, &levels}) {
        const Bytes data = bytes_of(*values);
        size_t stored = 0;
        EXPECT_EQ(round_trip(data, layout, SampleEffort::Moderate, &stored), data);
        EXPECT_LT(stored * 8, data.size()) << "ratio " << double(data.size()) / stored;
    }
    // Exact at fewer decimals is not exact at the block's: 2^50 has no cents in 53 bits.
    const std::vector<double> cents_and_more{std::ldexp(1.0, 50), 0.01, 2.5};
    for (const ValueTransform& transform : exact_transforms(layout, bytes_of(cents_and_more))) {
        EXPECT_NE(transform.kind(), TransformKind::Decimal);
    }
}

// Whole floats are found in one quick pass; one element at the edge of
// that (-0, 2^53, a half, a subnormal) must keep the block exact.
TEST(SampleBlock, WholeFloatsWithOneElementAtTheirEdgeStayExact) {
    std::vector<double> whole(3000);
    for (size_t i = 0; i < whole.size(); ++i) whole[i] = std::round(1000 * std::sin(i * 0.02));
    for (double edge : {-0.0, 0x1p53, 0x1p53 - 1, -(0x1p53 - 1), -0x1p53, 0.5, 1e300,
                        std::numeric_limits<double>::denorm_min()}) {
        std::vector<double> values = whole;
        values[1777] = edge;
        for (bool big_endian : {false, true}) {
            const Bytes data = bytes_of(values, big_endian);
            EXPECT_EQ(round_trip(data, {ElementType::F64, big_endian, {}}, SampleEffort::Fast), data) << edge;
            const Bytes singles = bytes_of(std::vector<float>(values.begin(), values.end()), big_endian);
            EXPECT_EQ(round_trip(singles, {ElementType::F32, big_endian, {}}, SampleEffort::Fast), singles) << edge;
        }
    }
}

// What a run of frames costs, at the fastest effort: the noisy half of a
// signal far more than its quiet half, the two halves together the whole
// block less its header; nothing at the other efforts.
TEST(SampleBlock, FramesCostFollowsWhereTheBytesGo) {
    std::vector<int16_t> signal = speech(40000, 8);
    for (size_t i = 0; i < 20480; ++i) signal[i] = static_cast<int16_t>(signal[i] / 64);
    const Bytes data = bytes_of(signal);
    const SampleLayout layout{ElementType::I16, false, {}};
    FramesCost quiet{0, 20480, {}}, loud{20480, 40000, {}}, all{0, 40000, {}};  // split between partitions
    const size_t block = encode_sample_block(data, layout, SampleEffort::Fast, &quiet).size();
    encode_sample_block(data, layout, SampleEffort::Fast, &loud);
    encode_sample_block(data, layout, SampleEffort::Fast, &all);
    ASSERT_TRUE(quiet.bytes && loud.bytes && all.bytes);
    EXPECT_GT(*loud.bytes, 2 * *quiet.bytes);
    EXPECT_LE(*all.bytes, block);
    EXPECT_GT(*all.bytes + 16, block);
    EXPECT_LE(*all.bytes - (*quiet.bytes + *loud.bytes) + 1, 2u);  // each rounded up to a byte
    FramesCost moderate{0, 40000, {}};
    encode_sample_block(data, layout, SampleEffort::Moderate, &moderate);
    EXPECT_FALSE(moderate.bytes);
}

// A dictionary of 16-bit elements is the same whether found by sorting a
// short block's elements or by a table of every value in a long one:
// signed values in numeric order, across zero, in either byte order.
TEST(SampleBlock, SixteenBitDictionariesAreTheSameFoundEitherWay) {
    std::mt19937 rng(9);
    std::vector<int16_t> values(3000);
    for (int16_t& v : values) v = static_cast<int16_t>(7 * std::uniform_int_distribution<int>(-40, 40)(rng));
    std::vector<int16_t> longer = values;
    while (longer.size() < 20000) longer.insert(longer.end(), values.begin(), values.end());
    for (ElementType type : {ElementType::I16, ElementType::U16}) {
        for (bool big_endian : {false, true}) {
            const SampleLayout layout{type, big_endian, {}};
            auto dictionary = [&](const std::vector<int16_t>& elements) {
                const auto transforms = exact_transforms(layout, bytes_of(elements, big_endian));
                std::vector<uint8_t> written;
                if (transforms.back().kind() == TransformKind::Dictionary) transforms.back().write(written);
                return written;
            };
            const auto few = dictionary(values);
            EXPECT_FALSE(few.empty());
            EXPECT_EQ(few, dictionary(longer));
        }
    }
}

// Values that fill their range have a dictionary only where it narrows
// them: bytes of every value have none, a few hundred 64-bit values one.
TEST(SampleBlock, DenseValuesHaveADictionaryWhereItNarrowsThem) {
    std::vector<uint8_t> bytes(8192);
    std::vector<int64_t> wide(8192);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7), wide[i] = 80 + i * 7 % 300;
    const auto last_kind = [](const SampleLayout& layout, const Bytes& elements) {
        return exact_transforms(layout, elements).back().kind();
    };
    EXPECT_EQ(last_kind({ElementType::U8, false, {}}, bytes), TransformKind::Integers);
    EXPECT_EQ(last_kind({ElementType::I64, false, {}}, bytes_of(wide)), TransformKind::Dictionary);
}

// float32 values held as float64 are coded in 32 bits, each widened back on
// the bits: every float32, subnormals and NaN payloads included.
TEST(SampleBlock, Float32HeldAsFloat64IsNarrowedExactly) {
    for (uint32_t bits : {0u, 0x80000000u, 1u, 0x007FFFFFu, 0x00400001u, 0x3F800000u, 0x7F800000u, 0xFFC01234u}) {
        const double widened = static_cast<double>(std::bit_cast<float>(bits));
        if (!std::isnan(widened)) {
            EXPECT_EQ(widen_float(bits), std::bit_cast<uint64_t>(widened)) << bits;
        }
    }
    EXPECT_EQ(widen_float(0xFFC01234u), uint64_t{0xFFF8024680000000});
    std::vector<double> prices;
    for (int i = 0; i < 20000; ++i) prices.push_back(static_cast<float>(100 + std::sin(i / 50.0) * 10 + i % 3 * 0.013));
    prices[7] = std::numeric_limits<double>::quiet_NaN();
    const Bytes data = bytes_of(prices);
    size_t narrowed = 0;
    EXPECT_EQ(round_trip(data, {ElementType::F64, false, {}}, SampleEffort::Moderate, &narrowed), data);
    prices[9] = 1.0 / 3;  // no float32: the block is coded in 64 bits
    size_t wide = 0;
    EXPECT_EQ(round_trip(bytes_of(prices), {ElementType::F64, false, {}}, SampleEffort::Moderate, &wide), bytes_of(prices));
    EXPECT_LT(narrowed * 3, wide * 2);
}

// NaN gaps in a series are taken out and put back, payloads and all, and
// cost little: the numbers around them stay one smooth series.
TEST(SampleBlock, NanGapsArePutBackAndCostLittle) {
    const double quiet = std::numeric_limits<double>::quiet_NaN(), odd = std::bit_cast<double>(uint64_t{0xFFF0000000000123});
    std::vector<double> series;
    for (int i = 0; i < 30000; ++i) series.push_back(std::round((50 + 20 * std::sin(i / 300.0)) * 100) / 100);
    std::vector<double> gappy = series;
    for (size_t i = 0; i < gappy.size(); i += 5) gappy[i] = i % 1000 == 0 ? odd : quiet;
    gappy[0] = gappy[1] = quiet;  // before any number
    for (size_t i = 20000; i < 22000; ++i) gappy[i] = quiet;
    size_t smooth = 0, with_gaps = 0;
    const SampleLayout layout{ElementType::F64, false, {}};
    EXPECT_EQ(round_trip(bytes_of(series), layout, SampleEffort::Moderate, &smooth), bytes_of(series));
    // The gaps' elements have no residuals: the gappy series costs about
    // what its numbers alone do, at every effort.
    std::vector<double> numbers;
    std::copy_if(gappy.begin(), gappy.end(), std::back_inserter(numbers), [](double x) { return !std::isnan(x); });
    for (SampleEffort effort : {SampleEffort::Fast, SampleEffort::Moderate, SampleEffort::Full}) {
        size_t alone = 0;
        round_trip(bytes_of(numbers), layout, effort, &alone);
        EXPECT_EQ(round_trip(bytes_of(gappy), layout, effort, &with_gaps), bytes_of(gappy));
        EXPECT_LT(with_gaps, alone + alone / 50 + 64) << "effort " << static_cast<int>(effort);
    }
    const std::vector<double> only_nan(100, quiet);
    EXPECT_EQ(round_trip(bytes_of(only_nan), layout, SampleEffort::Fast), bytes_of(only_nan));

    // Runs are listed column by column: seven of ten columns empty every
    // fourth row, each in its own phase, cost a few bytes however they
    // interleave along the rows (listed along the rows, some 240).
    std::vector<double> wide;
    for (int row = 0; row < 500; ++row) {
        for (int column = 0; column < 10; ++column) wide.push_back(column < 7 && (row + column) % 4 == 2 ? quiet : row + column);
    }
    const SampleLayout ten{ElementType::F64, false, {10}};
    std::vector<uint8_t> held, listed;
    write_gaps(ten, fill_gaps(ten, bytes_of(wide), held).value(), wide.size(), listed);
    EXPECT_LT(listed.size(), 96u);

    // In a table a gap takes its own column's numbers, not a neighbour's,
    // and its zero residuals cost next to nothing at every effort: a walk of
    // prices, and a noisy one a thousand times larger with a third empty.
    std::mt19937 rng(6);
    std::vector<double> table, gappy_table;
    double walk = 100;
    for (size_t i = 0; i < 10000; ++i) {
        walk += (static_cast<int>(rng() % 41) - 20) / 100.0;
        const double price = std::round(walk * 100) / 100, larger = std::round(walk * 1000) + rng() % 60000;
        table.insert(table.end(), {price, larger});
        gappy_table.insert(gappy_table.end(), {price, i % 3 == 0 ? quiet : larger});
    }
    const SampleLayout columns{ElementType::F64, false, {2}};
    for (SampleEffort effort : {SampleEffort::Fast, SampleEffort::Moderate}) {
        EXPECT_EQ(round_trip(bytes_of(table), columns, effort, &smooth), bytes_of(table));
        EXPECT_EQ(round_trip(bytes_of(gappy_table), columns, effort, &with_gaps), bytes_of(gappy_table));
        EXPECT_LT(with_gaps, smooth - smooth / 8) << "effort " << static_cast<int>(effort);
    }
}

// Prices rounded to float32 and widened are not decimals in float64, but
// their float32s are: they cost about what their cents do as integers,
// alone and as a table's column beside arbitrary floats.
TEST(SampleBlock, Float32DecimalsHeldAsFloat64CostWhatTheirCentsDo) {
    std::mt19937 rng(21);
    std::vector<int64_t> cents;
    std::vector<double> prices, table;
    int64_t walk = 33000;
    for (int i = 0; i < 20000; ++i) {
        walk += static_cast<int>(rng() % 41) - 20;
        cents.push_back(walk);
        prices.push_back(static_cast<float>(static_cast<double>(walk) / 100));
        table.insert(table.end(), {prices.back(), std::ldexp(static_cast<double>(rng() >> 11), -30)});
    }
    for (SampleEffort effort : {SampleEffort::Moderate, SampleEffort::Full}) {
        size_t as_prices = 0, as_cents = 0;
        EXPECT_EQ(round_trip(bytes_of(prices), {ElementType::F64, false, {}}, effort, &as_prices), bytes_of(prices));
        round_trip(bytes_of(cents), {ElementType::I64, false, {}}, effort, &as_cents);
        EXPECT_LT(as_prices, as_cents + as_cents / 20) << "effort " << static_cast<int>(effort);
        EXPECT_EQ(round_trip(bytes_of(table), {ElementType::F64, false, {2}}, effort), bytes_of(table));
    }
}

// A block with gaps as encoders before gaps without residuals wrote it
// (their runs listed by elements, each gap's element a residual of its
// own) still reads: a table of cents beside quarters, a leading gap in the
// first column, every fourth row empty in the second.
TEST(SampleBlock, GapsOfEarlierBlocksStillRead) {
    const Bytes earlier{
        0x0a, 0x01, 0x02, 0x07, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0x7f, 0x10, 0x00, 0x00,
        0x03, 0xb0, 0x61, 0x7b, 0x01, 0x21, 0x8b, 0x4f, 0x1c, 0x7f, 0xf9, 0xad, 0x54, 0x00, 0x02, 0x02,
        0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x2b, 0xe1, 0x70, 0x12, 0x6a, 0x29, 0xee, 0xdd, 0x38, 0x26,
        0x6f, 0xea, 0xd5, 0x15, 0x29, 0x1a, 0xe8, 0xce, 0xf8, 0x83, 0xce, 0x6d, 0x1e, 0x85, 0x73, 0x4d,
        0x25, 0xdc, 0xcb, 0xf2, 0x42, 0xcc, 0xfd, 0x67, 0x98, 0xfc, 0x67, 0xe4, 0xed, 0x28, 0xad, 0xed,
        0xd1, 0xa7, 0x5c, 0x44, 0x09, 0x51, 0xb3, 0x60};
    std::vector<double> table;
    for (int i = 0; i < 24; ++i) {
        table.push_back(i < 2 ? std::nan("") : (2000 + i * 37 % 300) / 100.0);
        table.push_back(i % 4 == 1 ? std::nan("") : 100 + i * 0.25);
    }
    EXPECT_EQ(decode_sample_block(earlier, static_cast<uint32_t>(8 * table.size())).value(), bytes_of(table));
}

// A table's columns each take the transform that suits them (prices in
// cents, whole counts, a few levels, arbitrary floats with -0.0), costing
// about what each column would alone; a reader refuses a transform by
// channel for one channel, and a palette for a channel.
TEST(SampleBlock, ColumnsOfATableEachTakeTheirOwnTransform) {
    std::mt19937 rng(17);
    const size_t rows = 12000;
    std::vector<std::vector<double>> columns(4);
    double walk = 250;
    for (size_t i = 0; i < rows; ++i) {
        walk += (static_cast<int>(rng() % 41) - 20) / 100.0;
        columns[0].push_back(std::round(walk * 100) / 100);
        columns[1].push_back(static_cast<double>(rng() % 90000 + 1000));
        columns[2].push_back(0.25 * static_cast<double>(rng() % 5));
        columns[3].push_back(i % 97 == 0 ? -0.0 : std::sin(static_cast<double>(i) / 50) / 3);
    }
    std::vector<double> table;
    for (size_t i = 0; i < rows; ++i) for (const auto& column : columns) table.push_back(column[i]);
    const SampleLayout layout{ElementType::F64, false, {4}};
    for (SampleEffort effort : {SampleEffort::Fast, SampleEffort::Moderate, SampleEffort::Full}) {
        EXPECT_EQ(round_trip(bytes_of(table), layout, effort), bytes_of(table));
    }
    Bytes block = encode_sample_block(bytes_of(table), layout, SampleEffort::Moderate);
    ASSERT_EQ(block[4], static_cast<uint8_t>(TransformKind::ByChannel));  // after a layout of 3 bytes and no gaps
    size_t apart = 0;
    for (const auto& column : columns) {
        size_t alone = 0;
        round_trip(bytes_of(column), {ElementType::F64, false, {}}, SampleEffort::Moderate, &alone);
        apart += alone;
    }
    EXPECT_LT(block.size(), apart + apart / 20);

    auto refusal = [](const Bytes& stored, size_t size) {
        const auto result = decode_sample_block(stored, static_cast<uint32_t>(size));
        return result.ok() ? std::string("accepted") : result.error().display();
    };
    block[5] = static_cast<uint8_t>(TransformKind::Palette);  // the first column's transform
    EXPECT_NE(refusal(block, table.size() * 8).find("value transform"), std::string::npos);
    Bytes column = encode_sample_block(bytes_of(columns[1]), {ElementType::F64, false, {}}, SampleEffort::Moderate);
    column[3] = static_cast<uint8_t>(TransformKind::ByChannel);  // after a layout of 2 bytes and no gaps
    EXPECT_NE(refusal(column, rows * 8).find("value transform"), std::string::npos);
}

// A raster is predicted from the row above as well: a surface rough along
// its rows and smooth across them shrinks far more than as one long
// series, and comes back exactly.
// Rows of `row` values, the first random, each of the others the one above
// give or take at most `spread`: rough along the rows, smooth across them.
std::vector<int16_t> rough_surface(size_t rows, size_t row, unsigned spread, uint32_t seed) {
    std::vector<int16_t> surface(rows * row);
    std::mt19937 rng(seed);
    for (size_t x = 0; x < row; ++x) surface[x] = static_cast<int16_t>(rng() % 2000);
    for (size_t i = row; i < surface.size(); ++i) {
        surface[i] = static_cast<int16_t>(surface[i - row] + int(rng() % (2 * spread + 1)) - int(spread));
    }
    return surface;
}

TEST(SampleBlock, RastersArePredictedFromTheRowAbove) {
    const size_t rows = 200, row = 300;
    const std::vector<int16_t> surface = rough_surface(rows, row, 1, 8);
    size_t raster = 0, series = 0;
    EXPECT_EQ(round_trip(bytes_of(surface), {ElementType::I16, false, {row}}, SampleEffort::Moderate, &raster),
              bytes_of(surface));
    EXPECT_EQ(round_trip(bytes_of(surface), {ElementType::I16, false, {}}, SampleEffort::Moderate, &series),
              bytes_of(surface));
    EXPECT_LT(raster * 5, series * 4);

    // Colour pixels: each channel a plane of its own.
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < surface.size(); ++i) {
        for (int c = 0; c < 3; ++c) rgb.push_back(static_cast<uint8_t>(surface[i] / 8 + 40 * c));
    }
    const SampleLayout pixels = array_layout(ElementType::U8, false, {row, 3});
    ASSERT_TRUE(pixels.pixels);
    EXPECT_EQ(pixels.channels(), 3u);
    EXPECT_EQ(round_trip(rgb, pixels, SampleEffort::Moderate, &raster), rgb);
    size_t planes = 0;  // the same picture as planes of their own: colour coding gains on it
    std::vector<uint8_t> apart;
    for (int c = 0; c < 3; ++c) {
        for (size_t i = 0; i < surface.size(); ++i) apart.push_back(rgb[3 * i + c]);
    }
    round_trip(apart, {ElementType::U8, false, {row}}, SampleEffort::Moderate, &planes);
    EXPECT_LT(raster * 10, planes * 9);
    EXPECT_EQ(round_trip(rgb, {ElementType::U8, false, {}}, SampleEffort::Moderate, &series), rgb);
    EXPECT_LT(raster * 2, series);
}

// The quick estimate follows what prediction gives: a raster's from the
// row above, a series' from the frame before; none for data with gaps.
TEST(SampleBlock, QuickSizeEstimatesWhatPredictionGives) {
    const size_t row = 300;
    const std::vector<int16_t> surface = rough_surface(100, row, 2, 3);
    const SampleLayout raster{ElementType::I16, false, {row}}, series{ElementType::I16, false, {}};
    for (const SampleLayout& layout : {raster, series}) {
        const size_t coded = encode_sample_block(bytes_of(surface), layout, SampleEffort::Moderate).size();
        const size_t quick = quick_sample_size(bytes_of(surface), layout).value();
        EXPECT_GT(quick * 10, coded * 8);
        EXPECT_LT(quick * 10, coded * 13);
    }
    EXPECT_LT(quick_sample_size(bytes_of(surface), raster).value() * 3, quick_sample_size(bytes_of(surface), series).value());
    const std::vector<double> gappy{1.0, std::nan(""), 2.0, 3.0};
    EXPECT_FALSE(quick_sample_size(bytes_of(gappy), {ElementType::F64, false, {}}).has_value());
}

// Colour whose channels differ by more than half their range (saturated
// reds and blues): the reversible colour transform, in values one bit
// wider, is chosen and comes back exactly at every width it allows, 32-bit
// extremes included; a reader refuses it for values too wide.
TEST(SampleBlock, ColourTransformRoundTripsAtEveryWidthItTakes) {
    const size_t rows = 60, row = 80;
    std::mt19937 rng(8);
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> wide;
    for (size_t y = 0; y < rows; ++y) {
        for (size_t x = 0; x < row; ++x) {
            const int shade = static_cast<int>((x + y) % 64 + rng() % 12);  // shared by the channels
            const bool red = (x / 20 + y / 15) % 2 == 0;
            for (int v : {red ? 240 - shade : shade, 100 + shade, red ? shade : 240 - shade}) {
                v += static_cast<int>(rng() % 4);
                bytes.push_back(static_cast<uint8_t>(v));
                wide.push_back(static_cast<uint32_t>(v) * 16843009u);  // the byte in every byte: extremes of 32 bits
            }
        }
    }
    const SampleLayout pixels = array_layout(ElementType::U8, false, {row, 3});
    for (SampleEffort effort : {SampleEffort::Fast, SampleEffort::Moderate, SampleEffort::Full}) {
        EXPECT_EQ(round_trip(bytes, pixels, effort), bytes);
        for (ElementType type : {ElementType::U32, ElementType::I32}) {
            EXPECT_EQ(round_trip(bytes_of(wide), array_layout(type, false, {row, 3}), effort), bytes_of(wide));
        }
    }
    const Bytes block = encode_sample_block(bytes, pixels, SampleEffort::Full);
    EXPECT_EQ(block[6], 5);  // the channel coding, after a layout of 5 bytes, no gaps and integers

    std::vector<uint64_t> deep;
    for (uint8_t v : bytes) deep.push_back(uint64_t{v} << 40 | rng());
    Bytes refused = encode_sample_block(bytes_of(deep), array_layout(ElementType::U64, false, {row, 3}), SampleEffort::Moderate);
    ASSERT_EQ(refused[5], 0);  // integers, after a layout of 4 bytes and no gaps
    refused[6] = 5;
    const auto read = decode_sample_block(refused, static_cast<uint32_t>(deep.size() * 8));
    ASSERT_FALSE(read.ok());
    EXPECT_NE(read.error().display().find("channel coding"), std::string::npos);
}

// Colour planes that follow one another and an alpha plane of its own: the
// colour is coded less green while alpha stays apart, and a reader refuses
// that coding for fewer than four channels.
TEST(SampleBlock, AlphaStaysApartFromTheColourItsPlanesShare) {
    const size_t rows = 120, row = 160;
    std::mt19937 rng(21);
    std::vector<uint8_t> rgba, rgb, alpha;
    for (size_t y = 0; y < rows; ++y) {
        for (size_t x = 0; x < row; ++x) {
            const uint8_t green = static_cast<uint8_t>((x * 3 + y * 2) / 4 + rng() % 24);
            const uint8_t a = ((x / 9 + y / 13) % 3 == 0) ? 0 : static_cast<uint8_t>(255 - rng() % 40);
            for (uint8_t v : {uint8_t(green + 10), green, uint8_t(green - 5)}) rgba.push_back(v), rgb.push_back(v);
            rgba.push_back(a), alpha.push_back(a);
        }
    }
    size_t both = 0, colour = 0, apart = 0;
    EXPECT_EQ(round_trip(rgba, array_layout(ElementType::U8, false, {row, 4}), SampleEffort::Moderate, &both), rgba);
    round_trip(rgb, array_layout(ElementType::U8, false, {row, 3}), SampleEffort::Moderate, &colour);
    round_trip(alpha, {ElementType::U8, false, {row}}, SampleEffort::Moderate, &apart);
    EXPECT_LT(both * 10, (colour + apart) * 11);

    for (uint8_t& v : rgb) v = static_cast<uint8_t>(rng());  // too many colours for a palette
    Bytes block = encode_sample_block(rgb, array_layout(ElementType::U8, false, {row, 3}), SampleEffort::Moderate);
    ASSERT_EQ(block[6], 0);  // integers, after a layout of 5 bytes and no gaps
    block[7] = 4;            // the channel coding
    const auto refused = decode_sample_block(block, static_cast<uint32_t>(rgb.size()));
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().display().find("channel coding"), std::string::npos);
}

// A graphic of few colours: each pixel its colour's rank among them, coded
// in rows, exact at every effort; frames of every width a palette holds
// come back too, and a palette where a frame is one value is refused.
TEST(SampleBlock, FewColoursAreCodedAsRanksInAPalette) {
    const size_t rows = 90, row = 120;
    std::mt19937 rng(5);
    std::vector<std::array<uint8_t, 4>> colours(14);
    for (auto& colour : colours) for (uint8_t& v : colour) v = static_cast<uint8_t>(rng());
    Bytes graphic(rows * row * 4);
    for (size_t y = 0; y < rows; ++y) {
        for (size_t x = 0; x < row; ++x) {
            const auto& colour = colours[(x / 17 + y / 11 * 3 + (x * y) % 29 / 27) % colours.size()];
            std::copy(colour.begin(), colour.end(), &graphic[(y * row + x) * 4]);
        }
    }
    const SampleLayout pixels = array_layout(ElementType::U8, false, {row, 4});
    for (SampleEffort effort : {SampleEffort::Fast, SampleEffort::Moderate, SampleEffort::Full}) {
        EXPECT_EQ(round_trip(graphic, pixels, effort), graphic);
    }
    Bytes block = encode_sample_block(graphic, pixels, SampleEffort::Moderate);
    EXPECT_EQ(block[5], static_cast<uint8_t>(TransformKind::Palette));  // after a layout of 4 bytes and no gaps

    // Frames of 2, 6 and 8 bytes, as pairs of bytes, 16-bit colour and pairs
    // of floats (NaN and -0.0 among them), with and without rows.
    std::vector<uint16_t> deep;
    std::vector<float> pairs;
    for (size_t i = 0; i < rows * row; ++i) {
        const auto& colour = colours[i / 50 % colours.size()];
        for (unsigned c = 0; c < 3; ++c) deep.push_back(static_cast<uint16_t>(colour[c] * 257 + c));
        pairs.push_back(i % 7 == 0 ? NAN : colour[0] / 8.0f);
        pairs.push_back(colour[1] % 3 == 0 ? -0.0f : colour[1] / 4.0f);
    }
    for (const auto& [data, layout] : {std::pair{Bytes(graphic.begin(), graphic.begin() + rows * row * 2), SampleLayout{ElementType::U8, false, {2}}},
                                       std::pair{bytes_of(deep), array_layout(ElementType::U16, false, {row, 3})},
                                       std::pair{bytes_of(deep), SampleLayout{ElementType::U16, false, {3}}},
                                       std::pair{bytes_of(pairs, true), SampleLayout{ElementType::F32, true, {2}}}}) {
        EXPECT_EQ(round_trip(data, layout, SampleEffort::Full), data) << element_type_name(layout.type);
    }

    const SampleLayout gray = array_layout(ElementType::U8, false, {row});
    block = encode_sample_block(Bytes(graphic.begin(), graphic.begin() + rows * row), gray, SampleEffort::Moderate);
    block[4] = static_cast<uint8_t>(TransformKind::Palette);  // the transform, after a layout of 3 bytes and no gaps
    const auto refused = decode_sample_block(block, static_cast<uint32_t>(rows * row));
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().display().find("value transform"), std::string::npos);
}

// Flat areas of a graphic are coded as runs of frames: rows wider than the
// coder's runs of frames, a last row cut short, runs stopped by a stray
// pixel, by an edge, by the row's end and the block's; gray and RGBA, at
// both efforts that choose rasters. Damage in the runs' bytes is refused
// or decodes to something of the right size, never more.
TEST(SampleBlock, FlatAreasOfRastersAreCodedAsRuns) {
    const size_t rows = 60, row = 600, tail = 37;
    std::mt19937 rng(21);
    Bytes gray(rows * row + tail);
    for (size_t i = 0; i < gray.size(); ++i) {  // discs on a ground, stray pixels
        const int y = static_cast<int>(i / row), x = static_cast<int>(i % row);
        uint8_t v = 200;
        for (int disc = 0; disc < 5; ++disc) {
            const int dx = x - 60 - 120 * disc, dy = y - 10 - 9 * disc;
            if (dx * dx + dy * dy < 700 + 300 * disc) v = static_cast<uint8_t>(40 * disc + 7);
        }
        gray[i] = rng() % 1999 == 0 ? static_cast<uint8_t>(rng()) : v;
    }
    const SampleLayout layout = array_layout(ElementType::U8, false, {row});
    for (SampleEffort effort : {SampleEffort::Moderate, SampleEffort::Full}) {
        const Bytes block = encode_sample_block(gray, layout, effort);
        std::vector<uint8_t> lead;
        write_layout(layout, lead);
        write_gaps(layout, {}, gray.size(), lead);
        size_t at = lead.size();
        ASSERT_TRUE(ValueTransform::read(layout, block, at));
        EXPECT_EQ(block[at + 1], 3);  // the raster predictor, after the channel coding
        EXPECT_EQ(block[at + 2], 2);  // with runs
        EXPECT_EQ(decode_sample_block(block, static_cast<uint32_t>(gray.size())).value(), gray);
        for (size_t place = at + 4; place < block.size(); place += 7) {
            Bytes damaged = block;
            damaged[place] ^= 0x5A;
            const auto back = decode_sample_block(damaged, static_cast<uint32_t>(gray.size()));
            if (back.ok()) {
                EXPECT_EQ(back.value().size(), gray.size());
            }
        }
    }
    Bytes rgba;
    for (uint8_t v : gray) {
        for (int c = 0; c < 4; ++c) rgba.push_back(static_cast<uint8_t>(c == 3 ? (v > 128 ? 255 : 0) : v + 40 * c));
    }
    for (SampleEffort effort : {SampleEffort::Moderate, SampleEffort::Full}) {
        EXPECT_EQ(round_trip(rgba, array_layout(ElementType::U8, false, {row, 4}), effort), rgba);
    }
}

// The raster predictors' arithmetic at the edges of the widths they take:
// 32- and 64-bit values at their extremes, random, and in smooth ramps, in
// rows of one to a few hundred values.
TEST(SampleBlock, RasterPredictionIsExactAtEveryWidthAndRow) {
    std::mt19937 rng(12);
    for (size_t row : {1u, 2u, 3u, 17u, 300u}) {
        std::vector<int32_t> extremes, ramp;
        for (size_t i = 0; i < 40 * row; ++i) {
            extremes.push_back(rng() % 3 == 0 ? INT32_MIN : rng() % 3 == 0 ? INT32_MAX : static_cast<int32_t>(rng()));
            ramp.push_back(static_cast<int32_t>(i % row * 1000 + i / row * 77 + rng() % 9) - (1 << 30));
        }
        for (const auto* values : {&extremes, &ramp}) {
            EXPECT_EQ(round_trip(bytes_of(*values), {ElementType::I32, false, {row}}, SampleEffort::Full),
                      bytes_of(*values)) << row;
        }
        std::vector<int64_t> wide;  // 64-bit values, whose blend needs 128 bits
        for (int32_t v : extremes) wide.push_back(int64_t{v} << 32 | (rng() & 1 ? INT64_MIN : 0));
        EXPECT_EQ(round_trip(bytes_of(wide), {ElementType::I64, false, {row}}, SampleEffort::Full), bytes_of(wide)) << row;
        std::vector<uint8_t> rgba;
        for (size_t i = 0; i < 4 * 30 * row; ++i) rgba.push_back(static_cast<uint8_t>(i % 7 == 0 ? rng() : i / 4 % row));
        EXPECT_EQ(round_trip(rgba, array_layout(ElementType::U8, false, {row, 4}), SampleEffort::Full), rgba) << row;
    }
}

TEST(SampleLayout, PixelsAreMarkedInTheLayoutAndChecked) {
    EXPECT_TRUE(array_layout(ElementType::U16, true, {640, 4}).pixels);
    EXPECT_FALSE(array_layout(ElementType::U16, true, {640, 5}).pixels);  // a volume of 5 columns
    EXPECT_FALSE(array_layout(ElementType::U16, true, {480, 640, 3}).pixels);
    const SampleLayout rgb = array_layout(ElementType::U16, true, {640, 3});
    EXPECT_EQ(rgb.row_frames(), 640u);
    EXPECT_EQ((SampleLayout{ElementType::I16, false, {30, 640}}).slice_rows(), 30u);
    Bytes written;
    write_layout(rgb, written);
    EXPECT_EQ(written[0], 0xC3);
    EXPECT_EQ(read_layout(written)->first, rgb);
    written = {0x43, 1, 3};  // pixels of one dimension
    EXPECT_FALSE(read_layout(written));
}

TEST(SampleLayout, RowsAreMarkedInTheLayoutAndChecked) {
    SampleLayout rows{ElementType::U16, true, {64}};
    rows.rows = true;
    EXPECT_EQ(rows.channels(), 1u);
    EXPECT_EQ(rows.row_frames(), 64u);
    Bytes written;
    write_layout(rows, written);
    EXPECT_EQ(written[0], 0xA3);
    EXPECT_EQ(read_layout(written)->first, rows);
    for (const Bytes& refused : {Bytes{0x23, 1, 1}, Bytes{0x23, 1, 65}, Bytes{0x23, 0}, Bytes{0x23, 2, 8, 8},
                                 Bytes{0x63, 2, 8, 3}}) {  // rows of 1 or 65, no dimension, two, pixels too
        EXPECT_FALSE(read_layout(refused)) << int(refused[1]);
    }
}

TEST(SampleBlock, NarrowRastersAreCodedAsRowsAndTablesAsChannels) {
    // A 48-column tile of a smooth image with noise; 16 columns of
    // independent walks (sensors' series).
    std::mt19937 rng(21);
    std::vector<uint8_t> tile;
    for (int y = 0; y < 96; ++y) {
        for (int x = 0; x < 48; ++x) tile.push_back(static_cast<uint8_t>(100 + 60 * std::sin(x / 9.0 + y / 13.0) + rng() % 5));
    }
    std::vector<int32_t> walks(16 * 4000);
    for (size_t i = 16; i < walks.size(); ++i) walks[i] = walks[i - 16] + static_cast<int32_t>(rng() % 41) - 20;
    const SampleLayout tile_layout{ElementType::U8, false, {48}}, walk_layout{ElementType::I32, false, {16}};
    for (SampleEffort effort : {SampleEffort::Fast, SampleEffort::Moderate, SampleEffort::Full}) {
        const Bytes tile_block = encode_sample_block(tile, tile_layout, effort);
        EXPECT_EQ(sample_block_layout(tile_block)->rows, effort != SampleEffort::Fast);
        EXPECT_EQ(round_trip(tile, tile_layout, effort), tile);
        const Bytes ragged(tile.begin(), tile.end() - 20);  // its last row cut short
        EXPECT_EQ(round_trip(ragged, tile_layout, effort), ragged);
        EXPECT_FALSE(sample_block_layout(encode_sample_block(bytes_of(walks), walk_layout, effort))->rows);
    }
}

TEST(SampleBlock, StereoAndManyChannelsRoundTrip) {
    const auto left = speech(30000, 2), right = speech(30000, 3);
    std::vector<int16_t> stereo, six;
    for (size_t i = 0; i < left.size(); ++i) {
        stereo.push_back(left[i]), stereo.push_back(static_cast<int16_t>(left[i] / 2 + right[i] / 2));
        for (int c = 0; c < 6; ++c) six.push_back(static_cast<int16_t>(left[i] / (c + 1)));
    }
    for (SampleEffort effort : {SampleEffort::Fast, SampleEffort::Full}) {
        EXPECT_EQ(round_trip(bytes_of(stereo), {ElementType::I16, false, {2}}, effort), bytes_of(stereo));
        EXPECT_EQ(round_trip(bytes_of(six), {ElementType::I16, false, {6}}, effort), bytes_of(six));
    }
}

uint64_t fnv1a(const Bytes& bytes) {
    uint64_t hash = 14695981039346656037u;
    for (uint8_t b : bytes) hash = (hash ^ b) * 1099511628211u;
    return hash;
}

// A block's bytes are a stored format: the same input codes to the same
// bytes on every machine, and a later version codes it otherwise only by a
// decision recorded here. Inputs come from integer arithmetic alone, so no
// library's maths enters them.
TEST(SampleBlock, StoredBytesStayTheSame) {
    uint64_t state = 1;
    auto noise = [&state](int range) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<int>((state >> 33) % static_cast<uint64_t>(2 * range + 1)) - range;
    };
    // A resonance driven by noise (in 1/4096ths), two channels apart by a little.
    std::vector<int16_t> stereo;
    int64_t y1 = 0, y2 = 0;
    for (int i = 0; i < 30000; ++i) {
        const int64_t y = (7800 * y1 - 3900 * y2) / 4096 + noise(300);
        y2 = y1, y1 = std::clamp<int64_t>(y, -30000, 30000);
        stereo.push_back(static_cast<int16_t>(y1));
        stereo.push_back(static_cast<int16_t>(y1 / 2 + noise(40)));
    }
    std::vector<float> floats;  // cents as float32, a few NaNs (their elements have no residuals)
    for (int i = 0; i < 20000; ++i) {
        floats.push_back(i % 777 == 5 ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(stereo[2 * i]) / 100);
    }
    std::vector<uint16_t> raster;  // a 160-wide ramp with noise
    for (int i = 0; i < 160 * 120; ++i) raster.push_back(static_cast<uint16_t>(i % 160 * 7 + i / 160 * 5 + noise(3) + 100));
    std::vector<int16_t> mono;  // long enough for tables at the moderate effort
    for (int i = 0; i < 70000; ++i) mono.push_back(static_cast<int16_t>(stereo[2 * (i % 30000)] / 3 + noise(50)));

    const struct {
        Bytes data;
        SampleLayout layout;
        std::array<uint64_t, 3> hash;  // at the fast, moderate and full efforts
    } cases[] = {
        {bytes_of(stereo), {ElementType::I16, false, {2}}, {0x5c6d161f82b3a3a6, 0x469797ea43afcf07, 0xbea4ea1dd636a4f0}},
        {bytes_of(floats), {ElementType::F32, false, {}}, {0x04469686a373a90a, 0x9c949eb741a721da, 0xf2f480d43f732b9c}},
        {bytes_of(raster, true), {ElementType::U16, true, {160}}, {0xe14c6a622c244d47, 0x32bdd8f910d07709, 0x0dd724adcb24385c}},
        {bytes_of(mono), {ElementType::I16, false, {}}, {0xae91f7ea22a61cb4, 0xc490fa0136a783b4, 0x159e04562d134f24}},
    };
    for (const auto& c : cases) {
        for (int effort = 0; effort < 3; ++effort) {
            const auto stored = encode_sample_block(c.data, c.layout, static_cast<SampleEffort>(effort));
            EXPECT_EQ(fnv1a(stored), c.hash[effort])
                << element_type_name(c.layout.type) << " effort " << effort << std::hex << ": 0x" << fnv1a(stored);
            EXPECT_EQ(decode_sample_block(stored, static_cast<uint32_t>(c.data.size())).value(), c.data);
        }
    }
}

TEST(SampleBlock, RefusesDamageAndClaimsBeyondItsBytesBeforeDecoding) {
    const Bytes data = bytes_of(speech(20000, 5));
    const Bytes block = encode_sample_block(data, {ElementType::I16, false, {}}, SampleEffort::Moderate);
    auto refusal = [](const Bytes& stored, uint32_t size) {
        const auto result = decode_sample_block(stored, size);
        return result.ok() ? std::string("accepted") : result.error().display();
    };
    EXPECT_NE(refusal(Bytes{0x0C, 0}, 2).find("layout"), std::string::npos);
    EXPECT_NE(refusal(Bytes{0x04, 4, 1, 1, 1, 1}, 2).find("layout"), std::string::npos);
    Bytes unknown = block;
    unknown[3] = 7;  // the transform's kind, after the layout and the gaps
    EXPECT_NE(refusal(unknown, 40000).find("transform"), std::string::npos);
    EXPECT_NE(refusal(block, 2'000'000'000).find("cannot hold"), std::string::npos);
    Bytes gaps = block;
    gaps[2] = 1;  // a run of NaN in a block of integers
    EXPECT_NE(refusal(gaps, 40000).find("gaps"), std::string::npos);
    for (size_t cut : {size_t{3}, size_t{6}, block.size() / 2}) {
        EXPECT_NE(refusal(Bytes(block.begin(), block.begin() + cut), 40000), "accepted") << cut;
    }
    // Gaps without residuals need channels coded apart.
    std::mt19937_64 rng(4);
    std::vector<double> table(4000);
    for (size_t i = 0; i < table.size(); ++i) table[i] = i % 7 == 3 ? std::nan("") : std::ldexp(double(rng() >> 11), -40);
    const SampleLayout columns{ElementType::F64, false, {2}};
    const Bytes gappy = bytes_of(table);
    Bytes mixed = encode_sample_block(gappy, columns, SampleEffort::Moderate);
    std::vector<uint8_t> lead, held;
    write_layout(columns, lead);
    write_gaps(columns, fill_gaps(columns, gappy, held).value(), table.size(), lead);
    ASSERT_EQ(mixed[lead.size()], 1);      // ordered floats
    ASSERT_EQ(mixed[lead.size() + 1], 0);  // channels apart
    mixed[lead.size() + 1] = 1;            // mid and side
    EXPECT_NE(refusal(mixed, static_cast<uint32_t>(gappy.size())).find("apart"), std::string::npos);
    // A block long enough to store tables for its residuals.
    const Bytes long_data = bytes_of(speech(70000, 5));
    const Bytes tabled = encode_sample_block(long_data, {ElementType::I16, false, {}}, SampleEffort::Moderate);
    EXPECT_NE(refusal(tabled, 2'000'000'000).find("cannot hold"), std::string::npos);
    for (size_t cut : {size_t{12}, tabled.size() / 2, tabled.size() - 1}) {
        EXPECT_NE(refusal(Bytes(tabled.begin(), tabled.begin() + cut), 140000), "accepted") << cut;
    }
}

}  // namespace
}  // namespace zelk
