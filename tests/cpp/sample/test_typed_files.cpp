// Samples found in WAV and .npy headers, and everything else left alone.
#include <gtest/gtest.h>

#include <string>

#include "sample/typed_files.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;

void put(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }
template <typename T>
void put_le(Bytes& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes wave(uint16_t format, uint16_t channels, uint16_t bits, uint32_t fmt_size = 16) {
    Bytes out;
    put(out, "RIFF");
    put_le<uint32_t>(out, 0);
    put(out, "WAVELIST");
    put_le<uint32_t>(out, 3);
    put(out, "abc");
    out.push_back(0);  // the pad byte of an odd chunk
    put(out, "fmt ");
    put_le<uint32_t>(out, fmt_size);
    put_le<uint16_t>(out, format), put_le<uint16_t>(out, channels), put_le<uint32_t>(out, 8000);
    put_le<uint32_t>(out, 0), put_le<uint16_t>(out, 0), put_le<uint16_t>(out, bits);
    if (fmt_size == 40) {
        put_le<uint16_t>(out, 22), put_le<uint16_t>(out, bits), put_le<uint32_t>(out, 3);
        put_le<uint16_t>(out, 3);  // the subformat: IEEE float
        out.resize(out.size() + 14);
    }
    put(out, "data");
    put_le<uint32_t>(out, 1001);
    return out;
}

TEST(TypedFiles, WavDataChunksOfThePcmAndFloatFormats) {
    const auto stereo = find_samples(wave(1, 2, 16));
    ASSERT_TRUE(stereo);
    EXPECT_EQ(stereo->layout, (SampleLayout{ElementType::I16, false, {2}}));
    EXPECT_EQ(stereo->offset, wave(1, 2, 16).size());
    EXPECT_EQ(stereo->length, 1000u);  // whole frames of samples
    EXPECT_EQ(find_samples(wave(1, 1, 8))->layout.type, ElementType::U8);
    EXPECT_EQ(find_samples(wave(3, 1, 64))->layout.type, ElementType::F64);
    EXPECT_EQ(find_samples(wave(0xFFFE, 1, 32, 40))->layout.type, ElementType::F32);
    EXPECT_EQ(find_samples(wave(1, 2, 24))->layout, (SampleLayout{ElementType::I24, false, {2}}));
    EXPECT_FALSE(find_samples(wave(1, 2, 20)));
    EXPECT_FALSE(find_samples(wave(1, 0, 16)));
    Bytes cut = wave(1, 2, 16);
    cut.resize(30);
    EXPECT_FALSE(find_samples(cut));
}

TEST(TypedFiles, NpyArraysInCOrder) {
    auto npy = [](const std::string& header) {
        Bytes out{0x93};
        put(out, "NUMPY");
        out.push_back(1), out.push_back(0);
        put_le<uint16_t>(out, static_cast<uint16_t>(header.size()));
        put(out, header);
        return out;
    };
    const auto matrix = find_samples(npy("{'descr': '>f4', 'fortran_order': False, 'shape': (300, 2), }"));
    ASSERT_TRUE(matrix);
    EXPECT_EQ(matrix->layout, (SampleLayout{ElementType::F32, true, {2}}));
    EXPECT_EQ(matrix->length, 2400u);
    EXPECT_FALSE(find_samples(npy("{'descr': '<i2', 'fortran_order': True, 'shape': (3, 2), }")));
    EXPECT_FALSE(find_samples(npy("{'descr': '<c8', 'fortran_order': False, 'shape': (3,), }")));
    EXPECT_FALSE(find_samples(npy("{'descr': '<i2', 'fortran_order': False, 'shape': (), }")));
    EXPECT_FALSE(find_samples(npy("{'descr': '<i2', 'fortran_order': False, 'shape': (1, 2, 3, 4, 5), }")));
    EXPECT_FALSE(find_samples(test::random_bytes(4096, 1)));
}

TEST(TypedFiles, NetpbmImagesAndFitsPrimaryArrays) {
    Bytes gray;
    put(gray, "P5\n640 480\n255\n");
    const auto image = find_samples(gray);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->offset, gray.size());
    EXPECT_EQ(image->length, 640u * 480);
    EXPECT_EQ(image->layout, (SampleLayout{ElementType::U8, false, {640}}));
    Bytes color;
    put(color, "P6 20 10 65535\n");
    EXPECT_EQ(find_samples(color)->layout, (SampleLayout{ElementType::U16, true, {20, 3}, true}));
    EXPECT_EQ(find_samples(color)->length, 20u * 10 * 3 * 2);
    Bytes bad;
    put(bad, "P5\n640\n");
    EXPECT_FALSE(find_samples(bad));

    auto card = [](Bytes& out, const std::string& text) {
        put(out, text);
        out.resize(out.size() + 80 - text.size(), ' ');
    };
    Bytes fits;
    card(fits, "SIMPLE  =                    T");
    card(fits, "BITPIX  =                  -32 / IEEE single");
    card(fits, "NAXIS   =                    3");
    card(fits, "NAXIS1  =                  128");
    card(fits, "NAXIS2  =                   96");
    card(fits, "NAXIS3  =                   24");
    card(fits, "END");
    fits.resize(2880, ' ');
    const auto cube = find_samples(fits);
    ASSERT_TRUE(cube);
    EXPECT_EQ(cube->offset, 2880u);
    EXPECT_EQ(cube->length, 128u * 96 * 24 * 4);
    EXPECT_EQ(cube->layout, (SampleLayout{ElementType::F32, true, {96, 128}}));
    Bytes odd = fits;
    std::copy_n("BITPIX  =                    7", 30, odd.begin() + 80);
    EXPECT_FALSE(find_samples(odd));
}

}  // namespace
}  // namespace zelk
