// What the samples of a block are: the element type and byte order, and the
// shape of the array they come from, all dimensions but the first (which
// follows from the data's length). A C-contiguous (n, c) array with a few
// columns is n samples of c interleaved channels, unless marked as rows;
// an (n, w) array with more columns, one of a few marked as rows (a narrow
// image or grid), and an (n, h, w) one, a raster of rows of w values (of
// slices of h rows); and, marked as pixels, an (n, w, c) array a raster
// whose positions hold c interleaved channels (colour images).
//
// A sample block begins with its layout, written as
//
//   byte 0        element type (1 u8, 2 i8, 3 u16, 4 i16, 5 u32, 6 i32,
//                 7 u64, 8 i64, 9 f32, 10 f64, 11 i24: packed 24-bit PCM),
//                 plus 0x20 for rows (one dimension follows, 2 to
//                 MAX_CHANNELS), plus 0x40 for pixels (two or three
//                 dimensions follow, the last at most MAX_CHANNELS), plus
//                 0x80 when big-endian
//   byte 1        how many dimensions follow (0 to 3)
//   then          each of them as a LEB128 number, at least 1
//
// and a reader refuses any other value before it uses one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

enum class ElementType : uint8_t { U8 = 1, I8, U16, I16, U32, I32, U64, I64, F32, F64, I24 };
inline constexpr uint8_t ELEMENT_TYPES = 11;  // numbered 1 to 11

inline constexpr size_t MAX_TRAILING_DIMENSIONS = 3;
inline constexpr uint64_t MAX_CHANNELS = 64;

struct SampleLayout {
    ElementType type = ElementType::U8;
    bool big_endian = false;
    std::vector<uint64_t> trailing;  // the dimensions after the first
    bool pixels = false;             // the last dimension is each position's channels
    bool rows = false;               // the one dimension, of at most MAX_CHANNELS, is a raster's row

    size_t element_size() const;
    bool is_float() const { return type == ElementType::F32 || type == ElementType::F64; }
    bool is_signed() const;
    unsigned bits() const { return static_cast<unsigned>(element_size() * 8); }
    // Interleaved channels: the one trailing dimension of an (n, c) array
    // of at most MAX_CHANNELS columns, the last of pixels, else 1.
    unsigned channels() const;
    // Bytes of one sample of every channel: blocks are cut at multiples.
    size_t frame_bytes() const { return element_size() * channels(); }
    // Of a raster, the frames of a row, and the rows of a slice (1 for a
    // plane); 0 for a series.
    uint64_t row_frames() const;
    uint64_t slice_rows() const;

    bool operator==(const SampleLayout&) const = default;
};

// The layout of a C-contiguous array of these dimensions after the first:
// pixels where there are two and the last is at most 4 (gray and alpha,
// RGB, RGBA).
SampleLayout array_layout(ElementType type, bool big_endian, std::vector<uint64_t> trailing);

// Throws std::invalid_argument for dimensions of 0 or more than
// MAX_TRAILING_DIMENSIONS of them, a row of more than 2^40 bytes, pixels
// of fewer than two dimensions or more than MAX_CHANNELS channels, or a
// mark of rows on pixels or on anything but one dimension of 2 to
// MAX_CHANNELS (wider rows need no mark).
void check_layout(const SampleLayout& layout);

void write_layout(const SampleLayout& layout, std::vector<uint8_t>& out);
// The layout at the start of `bytes` and its length, or nothing for bytes
// that do not hold a valid one.
std::optional<std::pair<SampleLayout, size_t>> read_layout(std::span<const uint8_t> bytes);

// numpy's names: "int16", "float32".
std::string element_type_name(ElementType type);
// numpy's type string: "<i2", ">f8", "|u1".
std::string type_code(ElementType type, bool big_endian);

// An element type and its byte order (true: big-endian) as numpy names it:
// "<i2", ">f8", "|u1", "f4" (native order), "int16", "float32". Nothing for
// any other name.
std::optional<std::pair<ElementType, bool>> parse_numpy_type(std::string_view name);
// The same as the command names it, in bits: "i16le", "f32be", "u8" (no
// suffix: little-endian).
std::optional<std::pair<ElementType, bool>> parse_command_type(std::string_view name);

// Unsigned LEB128 numbers, as the sample block writes its counts.
void write_varint(uint64_t value, std::vector<uint8_t>& out);
// Advances `at`; nothing for a truncated or overlong number.
std::optional<uint64_t> read_varint(std::span<const uint8_t> bytes, size_t& at);

}  // namespace zelk
