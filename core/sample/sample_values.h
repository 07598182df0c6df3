// Samples as the predictors see them: each element turned into an integer
// of W bits (two's complement, held in an int64_t) by one of the value
// transforms below, and back. All arithmetic on them is modulo 2^W, so any
// prediction gives an exact round trip.
//
//   Integers      integer elements as they are; W is the element's width
//   OrderedFloat  a float's bits as an integer in the float's order (the
//                 sign bit flipped, the others too for negative values); W
//                 is the width, and NaN payloads, -0.0, infinities and
//                 subnormals come back bit for bit
//   Decimal       floats that are all k / 10^d exactly, for integers k and one
//                 d from 0 to 9 (d = 0: integer-valued floats); W = 64
//   Dictionary    elements with few distinct values: each its rank among
//                 them, the values stored in the block; W = the bits of the
//                 number of values, plus one
//   Narrowed      float64 elements that are all float32 values widened: the
//                 float32 as an OrderedFloat; W = 32. Widening is done on
//                 the bits (NaN payloads shifted up, as IEEE 754 widens), so
//                 no machine's conversion enters it
//   Palette       frames of several channels with few distinct frames (a
//                 graphic's colours): each frame one value, its rank among
//                 them in the order of their channels' natural values, the
//                 last channel first; the frames stored in the block; W as
//                 for Dictionary. A value then stands for a whole frame
//   ByChannel     one of the transforms above but Palette for each channel
//                 (a table's columns of prices, counts and ratios); W the
//                 largest of theirs, each channel's values of its own W
//
// The encoder proves a transform exact on the whole block before using it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "sample/sample_layout.h"
#include "sample/value_ranks.h"

namespace zelk {

// Elements of a layout in a byte buffer, read and written as bit patterns.
class ElementBytes {
public:
    ElementBytes(const SampleLayout& layout) : size_(layout.element_size()), big_endian_(layout.big_endian) {}
    uint64_t load(const uint8_t* at) const;
    void store(uint8_t* at, uint64_t bits) const;
    size_t size() const { return size_; }

private:
    size_t size_;
    bool big_endian_;
};

// visit(i, bits) for each of `count` elements from `at` on, in one loop for
// elements in this machine's byte order: a load chosen once, not once an
// element.
template <typename Visit>
inline void for_each_element(const SampleLayout& layout, const uint8_t* at, size_t count, Visit visit) {
    auto native = [&]<typename T>(T) {
        for (size_t i = 0; i < count; ++i) {
            T bits;
            std::memcpy(&bits, at + i * sizeof(T), sizeof(T));
            visit(i, bits);
        }
    };
    if (layout.big_endian == (std::endian::native == std::endian::big)) {
        switch (layout.element_size()) {
            case 1: return native(uint8_t{});
            case 2: return native(uint16_t{});
            case 4: return native(uint32_t{});
            case 8: return native(uint64_t{});
            default: break;
        }
    }
    const ElementBytes access(layout);
    for (size_t i = 0; i < count; ++i) visit(i, access.load(at + i * access.size()));
}

enum class TransformKind : uint8_t {
    Integers = 0, OrderedFloat = 1, Decimal = 2, Dictionary = 3, Narrowed = 4, Palette = 5, ByChannel = 6,
    NarrowedDecimal = 7
};

inline constexpr unsigned MAX_DECIMALS = 9;
inline constexpr size_t MAX_DICTIONARY = 1 << 16;
// A palette's frames are held as integers of their bytes.
inline constexpr size_t MAX_PALETTE_FRAME_BYTES = 8;

// Sign-extends the low `width` bits of `value`.
constexpr int64_t wrap(uint64_t value, unsigned width) {
    return width >= 64 ? static_cast<int64_t>(value)
                       : static_cast<int64_t>(value << (64 - width)) >> (64 - width);
}

class ValueTransform {
public:
    // Integers for integer elements, OrderedFloat for floats.
    explicit ValueTransform(const SampleLayout& layout);
    ValueTransform(const SampleLayout& layout, unsigned decimals);                       // Decimal
    ValueTransform(const SampleLayout& layout, std::vector<uint64_t> sorted_values);     // Dictionary
    static ValueTransform narrowed(const SampleLayout& layout);                          // Narrowed
    // NarrowedDecimal: float64s that are float32s of decimals widened.
    static ValueTransform narrowed_decimal(const SampleLayout& layout, unsigned decimals);
    // Palette: `frames`, each a frame's bytes as frame_key() holds them, in
    // the palette's order.
    static ValueTransform palette(const SampleLayout& layout, std::vector<uint64_t> frames);
    // ByChannel: `parts`, a transform for each channel of `layout`, each
    // made for the layout of one channel of its elements (channel_layout()).
    static ValueTransform by_channel(const SampleLayout& layout, std::vector<ValueTransform> parts);

    TransformKind kind() const { return kind_; }
    unsigned width() const { return width_; }
    unsigned decimals() const { return decimals_; }
    // The values a frame becomes, and the bytes each stands for.
    unsigned channels() const { return kind_ == TransformKind::Palette ? 1 : layout_.channels(); }
    size_t value_bytes() const { return kind_ == TransformKind::Palette ? layout_.frame_bytes() : layout_.element_size(); }
    // The element with these bits as a W-bit value (which must exist for a
    // transform proven on the data). Not for ByChannel, whose values()
    // and store() give each channel's element its channel's transform.
    int64_t value(uint64_t bits) const {
        if (kind_ != TransformKind::Integers) return other_value(bits);
        return wrap(signed_ ? bits : bits ^ (uint64_t{1} << (element_bits_ - 1)), element_bits_);
    }
    // The bits of the element a W-bit value stands for; nothing for a value
    // no element of the block has (a dictionary rank out of range).
    std::optional<uint64_t> bits(int64_t value) const {
        if (kind_ != TransformKind::Integers) return other_bits(value);
        const uint64_t raw = static_cast<uint64_t>(value) ^ (signed_ ? 0 : uint64_t{1} << (element_bits_ - 1));
        return element_bits_ == 64 ? raw : raw & ((uint64_t{1} << element_bits_) - 1);
    }

    // The `count` values of the elements (or palette frames) stored from `at` on, into `out`.
    void values(const uint8_t* at, size_t count, int64_t* out) const;
    // Stores the elements (or frames) of `count` values from `at` on; false,
    // with those before it stored, at a value none stands for.
    bool store(const int64_t* values, size_t count, uint8_t* at) const;

    void write(std::vector<uint8_t>& out) const;
    // Reads the transform written at `at` for `layout`, or nothing.
    static std::optional<ValueTransform> read(const SampleLayout& layout, std::span<const uint8_t> bytes, size_t& at);

private:
    int64_t other_value(uint64_t bits) const;
    std::vector<uint8_t> code_table(unsigned order) const;
    std::vector<uint8_t> code_palette() const;
    static std::optional<ValueTransform> read_palette(const SampleLayout& layout, std::span<const uint8_t> bytes, size_t& at);
    std::optional<uint64_t> other_bits(int64_t value) const;

    SampleLayout layout_;
    TransformKind kind_;
    unsigned width_;
    unsigned element_bits_;
    bool signed_;
    unsigned decimals_ = 0;
    std::vector<uint64_t> dictionary_;  // a dictionary's elements' bits, or a palette's frames
    std::optional<ValueRanks> ranks_;   // of the dictionary's entries
    std::vector<ValueTransform> parts_; // ByChannel's, a channel each
    // The dictionary as written, coded once however often it is written.
    mutable std::vector<uint8_t> written_table_;
};

// A frame's bytes (at most MAX_PALETTE_FRAME_BYTES) as one integer, the
// first byte lowest, and back. Inline, with the common widths one load or
// store: a palette's blocks take them once a frame.
inline uint64_t frame_key(const uint8_t* frame, size_t bytes) {
    switch (bytes) {
        case 2: return load_le<uint16_t>(frame);
        case 4: return load_le<uint32_t>(frame);
        case 8: return load_le<uint64_t>(frame);
        default: break;
    }
    uint64_t key = 0;
    for (size_t i = bytes; i-- > 0;) key = key << 8 | frame[i];
    return key;
}
inline void store_frame_key(uint64_t key, size_t bytes, uint8_t* frame) {
    switch (bytes) {
        case 2: return store_le(frame, static_cast<uint16_t>(key));
        case 4: return store_le(frame, static_cast<uint32_t>(key));
        case 8: return store_le(frame, key);
        default: break;
    }
    for (size_t i = 0; i < bytes; ++i, key >>= 8) frame[i] = static_cast<uint8_t>(key);
}

// The float64 bits of the float32 with bits `single`, widened exactly.
uint64_t widen_float(uint32_t single);

// The layout of one channel of `layout`'s elements.
SampleLayout channel_layout(const SampleLayout& layout);

// The transforms proven exact on `elements` (n elements of `layout`), the
// layout's own first (float64s that are all float32s widened: narrowed
// instead), a palette last; at most one of each kind. Where
// columns of floats would choose differently (cheapest on frames from the
// block's middle), a ByChannel of their choices as well.
std::vector<ValueTransform> exact_transforms(const SampleLayout& layout, std::span<const uint8_t> elements);

}  // namespace zelk
