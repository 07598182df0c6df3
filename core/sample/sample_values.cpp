#include "sample/sample_values.h"

#include <stdexcept>

#include "base/kept_buffers.h"
#include "base/nearest_integer.h"
#include "entropy/range_coder.h"
#include "entropy/residual_coder.h"
#include "sample/predictors.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

namespace zelk {
namespace {

constexpr double POWERS_OF_TEN[MAX_DECIMALS + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

double as_double(uint64_t bits, bool single) {
    if (single) return std::bit_cast<float>(static_cast<uint32_t>(bits));
    return std::bit_cast<double>(bits);
}

uint64_t float_bits(double value, bool single) {
    if (single) return std::bit_cast<uint32_t>(static_cast<float>(value));
    return std::bit_cast<uint64_t>(value);
}

// The float k / 10^d: one correctly rounded division (and, for float32,
// one rounding to float), the same on every machine. Dividing by 10^0 would
// change nothing, so whole floats are spared it.
uint64_t decimal_bits(int64_t k, unsigned decimals, bool single) {
    if (decimals == 0) return float_bits(static_cast<double>(k), single);
    return float_bits(static_cast<double>(k) / POWERS_OF_TEN[decimals], single);
}

// Whether a float is a whole number below 2^53 in magnitude, other than -0:
// one that decimal_of() finds at d = 0. The integer's float is compared bit
// for bit, so fractions, -0, NaN and (where a host flushes subnormals) tiny
// values all fail. Without branches, for loops over whole blocks.
bool is_whole(uint64_t bits, bool single) {
    const double x = as_double(bits, single);
    const bool small = std::fabs(x) < 0x1p53;
    const auto k = static_cast<int64_t>(small ? x : 0.0);  // converting a larger one would be undefined
    return small & (float_bits(static_cast<double>(k), single) == bits);
}

// k for a float that is k / 10^d exactly at this d, if it is.
std::optional<int64_t> decimal_of(uint64_t bits, unsigned decimals, bool single) {
    if (decimals == 0) {
        if (!is_whole(bits, single)) return std::nullopt;
        return static_cast<int64_t>(as_double(bits, single));
    }
    const double x = as_double(bits, single);
    const double scaled = nearest_integer(x * POWERS_OF_TEN[decimals]);
    if (!(std::fabs(scaled) < 9007199254740992.0)) return std::nullopt;  // 2^53; also NaN and infinity
    const auto k = static_cast<int64_t>(scaled);
    if (decimal_bits(k, decimals, single) != bits) return std::nullopt;
    return k;
}

// The element of the float k / 10^d, if k is within the floats' integers.
std::optional<uint64_t> decimal_element(int64_t k, unsigned decimals, bool single) {
    if (k <= -(int64_t{1} << 53) || k >= (int64_t{1} << 53)) return std::nullopt;
    return decimal_bits(k, decimals, single);
}

uint64_t sign_bit(unsigned width) { return uint64_t{1} << (width - 1); }


// Float bits in the order of the floats they stand for, and back.
uint64_t ordered(uint64_t bits, unsigned width) {
    const uint64_t mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    return (bits & sign_bit(width)) ? ~bits & mask : bits | sign_bit(width);
}
uint64_t unordered(uint64_t key, unsigned width) {
    const uint64_t mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    return (key & sign_bit(width)) ? key & ~sign_bit(width) : ~key & mask;
}

// The values of ordered floats of `width` bits, and of float64s narrowed.
int64_t ordered_value(uint64_t bits, unsigned width) { return wrap(ordered(bits, width) ^ sign_bit(width), width); }
// The float32 bits of a float64's bits, rounded.
uint64_t narrow_bits(uint64_t bits) { return std::bit_cast<uint32_t>(static_cast<float>(std::bit_cast<double>(bits))); }
int64_t narrowed_value(uint64_t bits) { return ordered_value(narrow_bits(bits), 32); }

// Whether every element is whole (is_whole()), in one pass without early
// exits: integer-valued floats, the common case, cost a few instructions each.
bool all_whole(const SampleLayout& layout, std::span<const uint8_t> elements) {
    const bool single = layout.type == ElementType::F32;
    bool whole = true;
    for_each_element(layout, elements.data(), elements.size() / layout.element_size(),
                     [&](size_t, uint64_t bits) { whole &= is_whole(bits, single); });
    return whole;
}

std::optional<unsigned> block_decimals(const SampleLayout& layout, std::span<const uint8_t> elements) {
    const ElementBytes access(layout);
    const bool single = layout.type == ElementType::F32;
    if (all_whole(layout, elements)) return 0;
    const size_t n = elements.size() / access.size();
    unsigned decimals = 0;
    size_t raised_at = 0;  // the elements before it were proven at a smaller d only
    for (size_t i = 0; i < n; ++i) {
        const uint64_t bits = access.load(&elements[i * access.size()]);
        while (!decimal_of(bits, decimals, single)) {
            if (++decimals > MAX_DECIMALS) return std::nullopt;
            raised_at = i;
        }
    }
    for (size_t i = 0; i < raised_at; ++i) {  // a value exact at a smaller d may not be at the block's
        if (!decimal_of(access.load(&elements[i * access.size()]), decimals, single)) return std::nullopt;
    }
    return decimals;
}

uint16_t swap_bytes(uint16_t v) { return __builtin_bswap16(v); }
uint32_t swap_bytes(uint32_t v) { return __builtin_bswap32(v); }
uint64_t swap_bytes(uint64_t v) { return __builtin_bswap64(v); }

template <typename T>
uint64_t load_as(const uint8_t* at, bool big_endian) {
    T value;
    std::memcpy(&value, at, sizeof value);
    if (big_endian != (std::endian::native == std::endian::big)) value = swap_bytes(value);
    return value;
}

// The distinct element values in numeric order, if there are few enough
// against the count for their table to pay.
std::optional<std::vector<uint64_t>> few_values(const SampleLayout& layout, std::span<const uint8_t> elements) {
    const ElementBytes access(layout);
    const size_t n = elements.size() / access.size();
    const size_t limit = std::min(MAX_DICTIONARY, n / 8);
    std::vector<uint64_t> values;
    // In numeric order: a signed type's negative values, its top bit set, first.
    const uint64_t flip = layout.is_signed() ? uint64_t{1} << (8 * access.size() - 1) : 0;
    if (access.size() == 2 && n < (size_t{1} << 12)) {  // fewer elements than a table of every value would take
        std::vector<uint16_t> keys(n);
        for (size_t i = 0; i < n; ++i) keys[i] = static_cast<uint16_t>(load_as<uint16_t>(&elements[2 * i], layout.big_endian) ^ flip);
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        if (keys.size() > limit) return std::nullopt;
        for (uint16_t key : keys) values.push_back(key ^ flip);
        return values;
    }
    if (access.size() <= 2) {  // few enough possible values for a table of them
        std::vector<uint8_t> seen(size_t{1} << (8 * access.size()));
        if (access.size() == 1) {
            for (uint8_t element : elements) seen[element] = 1;
        } else {
            for (size_t i = 0; i < n; ++i) seen[load_as<uint16_t>(&elements[2 * i], layout.big_endian)] = 1;
        }
        for (size_t i = 0; i < seen.size() && values.size() <= limit; ++i) {
            if (seen[i ^ flip]) values.push_back(i ^ flip);
        }
        if (values.size() > limit) return std::nullopt;
        return values;
    }
    ValueRanks seen(layout.bits(), limit + 1);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t bits = access.load(&elements[i * access.size()]);
        if (!seen.add(bits, 0)) continue;
        if (values.size() == limit) return std::nullopt;
        values.push_back(bits);
    }
    const ValueTransform natural(layout);
    std::sort(values.begin(), values.end(),
              [&](uint64_t a, uint64_t b) { return natural.value(a) < natural.value(b); });
    return values;
}

using PaletteEntry = std::array<int64_t, MAX_PALETTE_FRAME_BYTES>;

// The natural values of each frame's channels, from the palette's first
// key (the last channel) to its last.
KeptVector<PaletteEntry> palette_order_values(const SampleLayout& layout, const std::vector<uint64_t>& keys) {
    const ValueTransform natural(layout);
    const ElementBytes access(layout);
    const unsigned channels = layout.channels();
    KeptVector<PaletteEntry> entries(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        std::array<uint8_t, MAX_PALETTE_FRAME_BYTES> frame;
        store_frame_key(keys[i], layout.frame_bytes(), frame.data());
        for (unsigned c = 0; c < channels; ++c) {
            entries[i][c] = natural.value(access.load(&frame[(channels - 1 - c) * access.size()]));
        }
    }
    return entries;
}

// Which of the first three channels of a colour pixel's entry is the
// largest (the first of equals), the palette's first key: a rough hue, so
// that a graphic's ramps of colour keep apart in the palette and close
// indices stay close colours. 0 for other frames. Against entries sorted
// by their values alone (alpha, blue, green, red): scikit-image's logo, a
// photograph tinted green on one side and orange on the other, 11% smaller
// at level 9 (107,118 -> 95,224 bytes; bzip2 -9: 101,059), matplotlib's
// logo 8% at levels 3 and 9; no other raster of our corpus takes a palette.
// Of 20 RGBA images found on a Debian system, 9 came out 0.3 to 7% smaller
// and one 3.5% larger (matplotlib's older logo).
unsigned hue_group(const SampleLayout& layout, const PaletteEntry& entry) {
    const unsigned channels = layout.channels();
    if (!layout.pixels || channels < 3) return 0;
    const int64_t red = entry[channels - 1], green = entry[channels - 2], blue = entry[channels - 3];
    return red >= green && red >= blue ? 0 : green >= blue ? 1 : 2;
}

// The distinct frames of several channels in the palette's order, if there
// are few enough against the count for their table to pay. A window from
// the middle judges first: a photograph's colours fill it at once, a
// graphic's repeat.
std::optional<std::vector<uint64_t>> few_frames(const SampleLayout& layout, std::span<const uint8_t> elements) {
    const size_t frame_bytes = layout.frame_bytes(), n = elements.size() / frame_bytes;
    if (layout.channels() < 2 || frame_bytes > MAX_PALETTE_FRAME_BYTES || n < 64) return std::nullopt;
    const size_t limit = std::min(MAX_DICTIONARY, n / 8);
    auto distinct = [&](size_t first, size_t count, size_t most) -> std::optional<std::vector<uint64_t>> {
        ValueRanks seen(static_cast<unsigned>(8 * frame_bytes), most + 1);
        std::vector<uint64_t> keys;
        for (size_t i = first; i < first + count; ++i) {
            const uint64_t key = frame_key(&elements[i * frame_bytes], frame_bytes);
            if (!seen.add(key, 0)) continue;
            if (keys.size() == most) return std::nullopt;
            keys.push_back(key);
        }
        return keys;
    };
    const size_t window = std::min<size_t>(n, 4096);
    if (!distinct((n - window) / 2, window, window / 4)) return std::nullopt;
    auto keys = distinct(0, n, limit);
    if (!keys) return std::nullopt;
    const KeptVector<PaletteEntry> entries = palette_order_values(layout, *keys);
    // By hue, then values: each colour's hue and values packed into one
    // integer of the same order where they fit (no two colours share their
    // values), else its index with the 64-byte entries compared.
    const unsigned channels = layout.channels();
    std::array<int64_t, MAX_PALETTE_FRAME_BYTES> lowest{}, highest{};
    for (unsigned c = 0; c < channels; ++c) {
        lowest[c] = highest[c] = entries.empty() ? 0 : entries[0][c];
        for (const PaletteEntry& entry : entries) {
            lowest[c] = std::min(lowest[c], entry[c]);
            highest[c] = std::max(highest[c], entry[c]);
        }
    }
    std::array<unsigned, MAX_PALETTE_FRAME_BYTES> widths{};
    unsigned total = 2;  // the hue group's
    for (unsigned c = 0; c < channels; ++c) {
        widths[c] = static_cast<unsigned>(std::bit_width(static_cast<uint64_t>(highest[c]) - static_cast<uint64_t>(lowest[c])));
        total += widths[c];
    }
    KeptVector<std::pair<uint64_t, uint32_t>> order(keys->size());
    for (size_t i = 0; i < keys->size(); ++i) {
        uint64_t packed = hue_group(layout, entries[i]);
        for (unsigned c = 0; total <= 64 && c < channels; ++c) {
            packed = (packed << widths[c]) | (static_cast<uint64_t>(entries[i][c]) - static_cast<uint64_t>(lowest[c]));
        }
        order[i] = {packed, static_cast<uint32_t>(i)};
    }
    if (total <= 64) {
        std::sort(order.begin(), order.end());
    } else {
        std::sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : entries[a.second] < entries[b.second];
        });
    }
    std::vector<uint64_t> sorted(order.size());
    for (size_t i = 0; i < order.size(); ++i) sorted[i] = (*keys)[order[i].second];
    return sorted;
}

// Whether a dictionary of these sorted values would gain nothing: there
// are none, or they fill seven eighths of their range or more, so that
// their ranks predict as they do, and ranks would be at most 4 bits
// narrower than the elements. Narrower values have fewer symbols for the
// coder to learn: a dictionary of few wide values still pays.
bool no_gain(const SampleLayout& layout, const std::vector<uint64_t>& sorted) {
    if (sorted.empty()) return true;
    const ValueTransform natural(layout);
    const auto span = static_cast<uint64_t>(natural.value(sorted.back())) - static_cast<uint64_t>(natural.value(sorted.front()));
    const auto rank_bits = static_cast<unsigned>(std::bit_width(sorted.size())) + 1;
    return span < sorted.size() * 8 / 7 && layout.bits() <= rank_bits + 4;
}

// Whether every float64 is a float32 widened: rounded to float32 and
// widened again (both exact in hardware, widen_float()'s result), it is
// itself. In one pass without early exits.
bool all_narrow(const SampleLayout& layout, std::span<const uint8_t> elements) {
    bool narrow = true;
    for_each_element(layout, elements.data(), elements.size() / 8, [&](size_t, uint64_t bits) {
        const double widened = static_cast<float>(std::bit_cast<double>(bits));
        narrow &= std::bit_cast<uint64_t>(widened) == bits;
    });
    return narrow;
}

}  // namespace

uint64_t widen_float(uint32_t single) {
    const uint64_t sign = uint64_t{single >> 31} << 63;
    const uint32_t exponent = (single >> 23) & 0xFF, mantissa = single & 0x7FFFFF;
    if (exponent == 0xFF) return sign | uint64_t{0x7FF} << 52 | uint64_t{mantissa} << 29;
    if (exponent != 0) return sign | uint64_t{exponent + 896} << 52 | uint64_t{mantissa} << 29;
    if (mantissa == 0) return sign;
    // A subnormal float32 is a normal float64: shift its top bit out.
    const unsigned shift = static_cast<unsigned>(std::countl_zero(mantissa)) - 8;  // to bit 23
    return sign | uint64_t{897 - shift} << 52 | uint64_t{(mantissa << shift) & 0x7FFFFF} << 29;
}

uint64_t ElementBytes::load(const uint8_t* at) const {
    switch (size_) {
        case 1: return at[0];
        case 3: return big_endian_ ? uint64_t{at[0]} << 16 | uint64_t{at[1]} << 8 | at[2]
                                   : uint64_t{at[2]} << 16 | uint64_t{at[1]} << 8 | at[0];
        case 2: return load_as<uint16_t>(at, big_endian_);
        case 4: return load_as<uint32_t>(at, big_endian_);
        default: return load_as<uint64_t>(at, big_endian_);
    }
}

template <typename T>
void store_as(uint8_t* at, uint64_t bits, bool big_endian) {
    auto value = static_cast<T>(bits);
    if (big_endian != (std::endian::native == std::endian::big)) value = swap_bytes(value);
    std::memcpy(at, &value, sizeof value);
}

void ElementBytes::store(uint8_t* at, uint64_t bits) const {
    // The sizes of the common types whole, as load() reads them.
    if (size_ == 2) return store_as<uint16_t>(at, bits, big_endian_);
    if (size_ == 4) return store_as<uint32_t>(at, bits, big_endian_);
    if (size_ == 8) return store_as<uint64_t>(at, bits, big_endian_);
    if (big_endian_) {
        for (size_t i = size_; i-- > 0; bits >>= 8) at[i] = static_cast<uint8_t>(bits);
    } else {
        for (size_t i = 0; i < size_; ++i, bits >>= 8) at[i] = static_cast<uint8_t>(bits);
    }
}

ValueTransform::ValueTransform(const SampleLayout& layout)
    : layout_(layout), kind_(layout.is_float() ? TransformKind::OrderedFloat : TransformKind::Integers),
      width_(layout.bits()), element_bits_(layout.bits()), signed_(layout.is_signed()) {}

ValueTransform::ValueTransform(const SampleLayout& layout, unsigned decimals)
    : layout_(layout), kind_(TransformKind::Decimal), width_(64), element_bits_(layout.bits()),
      signed_(layout.is_signed()), decimals_(decimals) {}

ValueTransform ValueTransform::narrowed(const SampleLayout& layout) {
    ValueTransform transform(layout);
    transform.kind_ = TransformKind::Narrowed;
    transform.width_ = 32;
    return transform;
}

ValueTransform ValueTransform::narrowed_decimal(const SampleLayout& layout, unsigned decimals) {
    ValueTransform transform(layout, decimals);
    transform.kind_ = TransformKind::NarrowedDecimal;
    return transform;
}

ValueTransform::ValueTransform(const SampleLayout& layout, std::vector<uint64_t> sorted_values)
    : layout_(layout), kind_(TransformKind::Dictionary),
      width_(static_cast<unsigned>(std::bit_width(sorted_values.size())) + 1), element_bits_(layout.bits()),
      signed_(layout.is_signed()), dictionary_(std::move(sorted_values)) {
    ranks_.emplace(element_bits_, dictionary_.size(), dictionary_.empty() ? 0 : dictionary_.front(),
                   dictionary_.empty() ? 0 : dictionary_.back());
    for (uint32_t rank = 0; rank < dictionary_.size(); ++rank) ranks_->add(dictionary_[rank], rank);
}

ValueTransform ValueTransform::palette(const SampleLayout& layout, std::vector<uint64_t> frames) {
    ValueTransform transform(layout);
    transform.kind_ = TransformKind::Palette;
    transform.width_ = static_cast<unsigned>(std::bit_width(frames.size())) + 1;
    transform.dictionary_ = std::move(frames);
    transform.ranks_.emplace(static_cast<unsigned>(8 * layout.frame_bytes()), transform.dictionary_.size());
    for (uint32_t rank = 0; rank < transform.dictionary_.size(); ++rank) {
        transform.ranks_->add(transform.dictionary_[rank], rank);
    }
    return transform;
}

ValueTransform ValueTransform::by_channel(const SampleLayout& layout, std::vector<ValueTransform> parts) {
    ValueTransform transform(layout);
    transform.kind_ = TransformKind::ByChannel;
    transform.width_ = 0;
    for (const ValueTransform& part : parts) transform.width_ = std::max(transform.width_, part.width());
    transform.parts_ = std::move(parts);
    return transform;
}

int64_t ValueTransform::other_value(uint64_t bits) const {
    const unsigned width = element_bits_;
    switch (kind_) {
        case TransformKind::Integers:
            return signed_ ? wrap(bits, width) : wrap(bits ^ sign_bit(width), width);
        case TransformKind::OrderedFloat: return ordered_value(bits, width);
        case TransformKind::Decimal:
            return *decimal_of(bits, decimals_, layout_.type == ElementType::F32);
        case TransformKind::Dictionary:
        case TransformKind::Palette: return ranks_->rank(bits);
        case TransformKind::Narrowed: return narrowed_value(bits);
        case TransformKind::NarrowedDecimal: return *decimal_of(narrow_bits(bits), decimals_, true);
        case TransformKind::ByChannel: break;  // by its channels' (values())
    }
    return 0;
}

std::optional<uint64_t> ValueTransform::other_bits(int64_t value) const {
    const unsigned width = element_bits_;
    const uint64_t mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    const auto raw = static_cast<uint64_t>(value);
    switch (kind_) {
        case TransformKind::Integers: return (signed_ ? raw : raw ^ sign_bit(width)) & mask;
        case TransformKind::OrderedFloat: return unordered((raw ^ sign_bit(width)) & mask, width);
        case TransformKind::Decimal: return decimal_element(value, decimals_, layout_.type == ElementType::F32);
        case TransformKind::Dictionary:
        case TransformKind::Palette:
            if (value < 0 || static_cast<uint64_t>(value) >= dictionary_.size()) return std::nullopt;
            return dictionary_[static_cast<size_t>(value)];
        case TransformKind::Narrowed:
            return widen_float(static_cast<uint32_t>(unordered((raw ^ sign_bit(32)) & 0xFFFFFFFF, 32)));
        case TransformKind::NarrowedDecimal:
            if (value <= -(int64_t{1} << 53) || value >= (int64_t{1} << 53)) return std::nullopt;
            return widen_float(static_cast<uint32_t>(decimal_bits(value, decimals_, true)));
        case TransformKind::ByChannel: break;  // by its channels' (store())
    }
    return std::nullopt;
}

namespace {

// Integer elements of T stored in this machine's byte order, as values:
// unsigned ones offset by half their range, as value() does.
template <typename T>
void native_integers(const uint8_t* at, size_t count, int64_t* out, bool is_signed) {
    using Signed = std::make_signed_t<T>;
    const T offset = is_signed ? 0 : static_cast<T>(T{1} << (sizeof(T) * 8 - 1));
    for (size_t i = 0; i < count; ++i) {
        T bits;
        std::memcpy(&bits, at + i * sizeof(T), sizeof(T));
        out[i] = static_cast<Signed>(static_cast<T>(bits ^ offset));
    }
}

template <typename T>
void store_native_integers(const int64_t* values, size_t count, uint8_t* at, bool is_signed) {
    const T offset = is_signed ? 0 : static_cast<T>(T{1} << (sizeof(T) * 8 - 1));
    for (size_t i = 0; i < count; ++i) {
        const T bits = static_cast<T>(static_cast<T>(values[i]) ^ offset);
        std::memcpy(at + i * sizeof(T), &bits, sizeof(T));
    }
}

// Each element's value(bits), in one loop for elements in this machine's
// byte order: a conversion chosen once, not once an element.
template <typename Value>
void element_values(const SampleLayout& layout, const uint8_t* at, size_t count, int64_t* out, Value value) {
    for_each_element(layout, at, count, [&](size_t i, uint64_t bits) { out[i] = value(bits); });
}

// Stores the element bits_of(value) gives for each value, in one loop for
// elements in this machine's byte order; false, with those before it
// stored, at a value wider than `width` or one that stands for no element.
template <typename BitsOf>
bool store_elements(const SampleLayout& layout, const int64_t* values, size_t count, uint8_t* at, unsigned width,
                    BitsOf bits_of) {
    auto element = [&](size_t i) -> std::optional<uint64_t> {
        return wrap(static_cast<uint64_t>(values[i]), width) == values[i] ? bits_of(values[i]) : std::nullopt;
    };
    auto native = [&]<typename T>(T) {
        for (size_t i = 0; i < count; ++i) {
            const std::optional<uint64_t> bits = element(i);
            if (!bits) return false;
            const auto stored = static_cast<T>(*bits);
            std::memcpy(at + i * sizeof(T), &stored, sizeof(T));
        }
        return true;
    };
    if (layout.big_endian == (std::endian::native == std::endian::big)) {
        switch (layout.element_size()) {
            case 4: return native(uint32_t{});
            case 8: return native(uint64_t{});
            default: break;
        }
    }
    const ElementBytes access(layout);
    for (size_t i = 0; i < count; ++i) {
        const std::optional<uint64_t> bits = element(i);
        if (!bits) return false;
        access.store(at + i * access.size(), *bits);
    }
    return true;
}

}  // namespace

void ValueTransform::values(const uint8_t* at, size_t count, int64_t* out) const {
    if (kind_ == TransformKind::Integers && layout_.big_endian == (std::endian::native == std::endian::big)) {
        switch (layout_.element_size()) {
            case 1: return native_integers<uint8_t>(at, count, out, signed_);
            case 2: return native_integers<uint16_t>(at, count, out, signed_);
            case 4: return native_integers<uint32_t>(at, count, out, signed_);
            case 8: return native_integers<uint64_t>(at, count, out, signed_);
            default: break;
        }
    }
    if (kind_ == TransformKind::Palette) {
        const size_t bytes = layout_.frame_bytes();
        for (size_t i = 0; i < count; ++i) out[i] = ranks_->rank(frame_key(at + i * bytes, bytes));
        return;
    }
    switch (kind_) {
        case TransformKind::OrderedFloat:
            return element_values(layout_, at, count, out, [width = element_bits_](uint64_t bits) { return ordered_value(bits, width); });
        case TransformKind::Narrowed: return element_values(layout_, at, count, out, narrowed_value);
        case TransformKind::Dictionary:
            return element_values(layout_, at, count, out, [&ranks = *ranks_](uint64_t bits) -> int64_t { return ranks.rank(bits); });
        case TransformKind::Decimal: {  // proven: every element is k / 10^d
            const bool single = layout_.type == ElementType::F32;
            if (decimals_ == 0) {
                return element_values(layout_, at, count, out,
                                      [single](uint64_t bits) { return static_cast<int64_t>(as_double(bits, single)); });
            }
            return element_values(layout_, at, count, out,
                                  [this, single](uint64_t bits) { return *decimal_of(bits, decimals_, single); });
        }
        default: break;
    }
    const ElementBytes access(layout_);
    if (kind_ == TransformKind::ByChannel) {  // from a frame's start
        for (size_t i = 0; i < count; ++i) out[i] = parts_[i % parts_.size()].value(access.load(at + i * access.size()));
        return;
    }
    for (size_t i = 0; i < count; ++i) out[i] = value(access.load(at + i * access.size()));
}

bool ValueTransform::store(const int64_t* values, size_t count, uint8_t* at) const {
    if (kind_ == TransformKind::Integers && layout_.big_endian == (std::endian::native == std::endian::big)) {
        switch (layout_.element_size()) {
            case 1: store_native_integers<uint8_t>(values, count, at, signed_); return true;
            case 2: store_native_integers<uint16_t>(values, count, at, signed_); return true;
            case 4: store_native_integers<uint32_t>(values, count, at, signed_); return true;
            case 8: store_native_integers<uint64_t>(values, count, at, signed_); return true;
            default: break;
        }
    }
    if (kind_ == TransformKind::Palette) {
        const size_t bytes = layout_.frame_bytes();
        for (size_t i = 0; i < count; ++i) {
            if (values[i] < 0 || static_cast<uint64_t>(values[i]) >= dictionary_.size()) return false;
            store_frame_key(dictionary_[static_cast<size_t>(values[i])], bytes, at + i * bytes);
        }
        return true;
    }
    if (kind_ == TransformKind::Decimal && decimals_ == 0) {
        const bool single = layout_.type == ElementType::F32;
        return store_elements(layout_, values, count, at, width_,
                              [single](int64_t value) { return decimal_element(value, 0, single); });
    }
    if (kind_ != TransformKind::ByChannel) {
        return store_elements(layout_, values, count, at, width_, [this](int64_t value) { return other_bits(value); });
    }
    const ElementBytes access(layout_);
    for (size_t i = 0; i < count; ++i) {  // from a frame's start, each channel's element by its channel's transform
        // A channel's value beyond its own width stands for no element.
        const ValueTransform& part = parts_[i % parts_.size()];
        const auto element =
            wrap(static_cast<uint64_t>(values[i]), part.width_) == values[i] ? part.bits(values[i]) : std::nullopt;
        if (!element) return false;
        access.store(at + i * access.size(), *element);
    }
    return true;
}

std::vector<uint8_t> ValueTransform::code_table(unsigned order) const {
    const ValueTransform natural(layout_);
    std::vector<uint8_t> coded;
    RangeEncoder coder(coded);
    ResidualCoder residuals(natural.width());
    ResidualStream stream;
    Polynomial polynomial(order, natural.width());
    for (uint64_t bits : dictionary_) {
        const int64_t value = natural.value(bits);
        int64_t residual = 0;
        polynomial.residuals(&value, 1, 1, &residual);
        residuals.encode(coder, stream, residual);
    }
    coder.finish();
    return coded;
}

// A palette's frames column by column, from its first key (the last
// channel) on: each channel's natural values predicted by the one before in
// the palette (the first key's rise by little), a stream of residuals each,
// one range coding.
std::vector<uint8_t> ValueTransform::code_palette() const {
    std::vector<uint8_t> coded;
    RangeEncoder coder(coded);
    const unsigned channels = layout_.channels();
    ResidualCoder residuals(layout_.bits());
    const KeptVector<PaletteEntry> entries = palette_order_values(layout_, dictionary_);
    for (unsigned c = 0; c < channels; ++c) {
        ResidualStream stream;
        Polynomial polynomial(1, layout_.bits());
        for (const auto& entry : entries) {
            const int64_t value = entry[c];
            int64_t residual = 0;
            polynomial.residuals(&value, 1, 1, &residual);
            residuals.encode(coder, stream, residual);
        }
    }
    coder.finish();
    return coded;
}

void ValueTransform::write(std::vector<uint8_t>& out) const {
    out.push_back(static_cast<uint8_t>(kind_));
    for (const ValueTransform& part : parts_) part.write(out);
    if (kind_ == TransformKind::Decimal || kind_ == TransformKind::NarrowedDecimal) out.push_back(static_cast<uint8_t>(decimals_));
    if (kind_ == TransformKind::Dictionary) {
        // The values in order, their natural values predicted by the
        // polynomial of order 1 or 2 that codes them shorter (sorted values
        // differ by little, and quantised ones by about one step), range
        // coded.
        if (written_table_.empty()) {
            std::vector<uint8_t> shorter;
            uint8_t order = 1;
            for (uint8_t candidate : {uint8_t{1}, uint8_t{2}}) {
                std::vector<uint8_t> coded = code_table(candidate);
                if (shorter.empty() || coded.size() < shorter.size()) shorter = std::move(coded), order = candidate;
            }
            write_varint(dictionary_.size(), written_table_);
            written_table_.push_back(order);
            write_varint(shorter.size(), written_table_);
            written_table_.insert(written_table_.end(), shorter.begin(), shorter.end());
        }
        out.insert(out.end(), written_table_.begin(), written_table_.end());
    }
    if (kind_ == TransformKind::Palette) {
        if (written_table_.empty()) {
            const std::vector<uint8_t> coded = code_palette();
            write_varint(dictionary_.size(), written_table_);
            write_varint(coded.size(), written_table_);
            written_table_.insert(written_table_.end(), coded.begin(), coded.end());
        }
        out.insert(out.end(), written_table_.begin(), written_table_.end());
    }
}

std::optional<ValueTransform> ValueTransform::read_palette(const SampleLayout& layout, std::span<const uint8_t> bytes,
                                                           size_t& at) {
    const unsigned channels = layout.channels();
    const auto count = read_varint(bytes, at);
    const auto length = read_varint(bytes, at);
    if (channels < 2 || layout.frame_bytes() > MAX_PALETTE_FRAME_BYTES || !count || !length || *count == 0 ||
        *count > MAX_DICTIONARY || *length > bytes.size() - at || *count * channels > max_residuals(*length)) {
        return std::nullopt;
    }
    RangeDecoder decoder(bytes.subspan(at, static_cast<size_t>(*length)));
    at += static_cast<size_t>(*length);
    const ValueTransform natural(layout);
    const ElementBytes access(layout);
    ResidualCoder residuals(layout.bits());
    std::vector<uint8_t> frames(static_cast<size_t>(*count) * layout.frame_bytes());
    try {
        for (unsigned c = 0; c < channels; ++c) {
            ResidualStream stream;
            Polynomial polynomial(1, layout.bits());
            const size_t offset = (channels - 1 - c) * access.size();
            for (size_t i = 0; i < *count; ++i) {
                int64_t value = residuals.decode(decoder, stream);
                polynomial.restore(&value, 1, 1);
                access.store(&frames[i * layout.frame_bytes() + offset], *natural.bits(value));
            }
        }
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
    if (!decoder.ended_cleanly()) return std::nullopt;
    std::vector<uint64_t> keys(static_cast<size_t>(*count));
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = frame_key(&frames[i * layout.frame_bytes()], layout.frame_bytes());
    return palette(layout, std::move(keys));
}

std::optional<ValueTransform> ValueTransform::read(const SampleLayout& layout, std::span<const uint8_t> bytes,
                                                   size_t& at) {
    if (at >= bytes.size()) return std::nullopt;
    const auto kind = static_cast<TransformKind>(bytes[at++]);
    switch (kind) {
        case TransformKind::Integers:
        case TransformKind::OrderedFloat: {
            const ValueTransform natural(layout);
            if (natural.kind() != kind) return std::nullopt;
            return natural;
        }
        case TransformKind::Decimal:
            if (!layout.is_float() || at >= bytes.size() || bytes[at] > MAX_DECIMALS) return std::nullopt;
            return ValueTransform(layout, unsigned{bytes[at++]});
        case TransformKind::Narrowed:
            if (layout.type != ElementType::F64) return std::nullopt;
            return narrowed(layout);
        case TransformKind::NarrowedDecimal:
            if (layout.type != ElementType::F64 || at >= bytes.size() || bytes[at] > MAX_DECIMALS) return std::nullopt;
            return narrowed_decimal(layout, unsigned{bytes[at++]});
        case TransformKind::Dictionary: {
            const auto count = read_varint(bytes, at);
            const unsigned order = at < bytes.size() ? bytes[at++] : 0;
            const auto length = read_varint(bytes, at);
            if (!count || !length || *count == 0 || *count > MAX_DICTIONARY || (order != 1 && order != 2) ||
                *length > bytes.size() - at || *count > max_residuals(*length)) {
                return std::nullopt;
            }
            const ValueTransform natural(layout);
            RangeDecoder decoder(bytes.subspan(at, static_cast<size_t>(*length)));
            at += static_cast<size_t>(*length);
            ResidualCoder residuals(natural.width());
            ResidualStream stream;
            std::vector<uint64_t> values;
            Polynomial polynomial(order, natural.width());
            try {
                for (uint64_t i = 0; i < *count; ++i) {
                    int64_t value = residuals.decode(decoder, stream);
                    polynomial.restore(&value, 1, 1);
                    values.push_back(*natural.bits(value));
                }
            } catch (const std::runtime_error&) {
                return std::nullopt;
            }
            if (!decoder.ended_cleanly()) return std::nullopt;
            return ValueTransform(layout, std::move(values));
        }
        case TransformKind::Palette: return read_palette(layout, bytes, at);
        case TransformKind::ByChannel: {
            if (layout.channels() < 2) return std::nullopt;  // and so no part is one
            std::vector<ValueTransform> parts;
            for (unsigned c = 0; c < layout.channels(); ++c) {
                auto part = read(channel_layout(layout), bytes, at);
                if (!part) return std::nullopt;
                parts.push_back(std::move(*part));
            }
            return by_channel(layout, std::move(parts));
        }
    }
    return std::nullopt;
}

SampleLayout channel_layout(const SampleLayout& layout) { return SampleLayout{layout.type, layout.big_endian, {}}; }

namespace {

// The elements of a channel its transform is chosen on, from its middle.
constexpr size_t CHANNEL_TRIAL = size_t{1} << 13;

// The bits of coding one channel's `elements` through `transform`, roughly:
// its values' residuals' magnitudes under their cheapest polynomial order
// on the trial elements, scaled to them all, and the transform's own bytes.
uint64_t channel_cost(const ValueTransform& transform, std::span<const uint8_t> elements, size_t element_size) {
    const size_t n = elements.size() / element_size, trial = std::min(n, CHANNEL_TRIAL);
    std::vector<int64_t> values(trial);
    transform.values(&elements[(n - trial) / 2 * element_size], trial, values.data());
    std::array<int64_t, 3> past{};
    std::array<uint64_t, 4> bits{};
    add_polynomial_bits(past, transform.width(), values.data(), 1, trial, bits);
    std::vector<uint8_t> written;
    transform.write(written);
    return *std::min_element(bits.begin(), bits.end()) * n / trial + 8 * written.size();
}

// Each channel's cheapest transform, unless every channel chooses one the
// whole block has too: the same kind, with the same decimals (a dictionary
// of each channel's own values is not the block's).
std::optional<ValueTransform> channel_transforms(const SampleLayout& layout, std::span<const uint8_t> elements) {
    const unsigned channels = layout.channels();
    const size_t size = layout.element_size(), n = elements.size() / layout.frame_bytes();
    if (n == 0) return std::nullopt;
    std::vector<uint8_t> channel(n * size);
    std::vector<ValueTransform> parts;
    for (unsigned c = 0; c < channels; ++c) {
        for (size_t i = 0; i < n; ++i) std::memcpy(&channel[i * size], &elements[(i * channels + c) * size], size);
        std::vector<ValueTransform> found = exact_transforms(channel_layout(layout), channel);
        size_t cheapest = 0;
        uint64_t least = UINT64_MAX;
        for (size_t t = 0; found.size() > 1 && t < found.size(); ++t) {
            if (const uint64_t cost = channel_cost(found[t], channel, size); cost < least) least = cost, cheapest = t;
        }
        parts.push_back(std::move(found[cheapest]));
    }
    const bool alike = std::all_of(parts.begin(), parts.end(), [&](const ValueTransform& part) {
        return part.kind() == parts[0].kind() && part.decimals() == parts[0].decimals();
    });
    if (alike && parts[0].kind() != TransformKind::Dictionary) return std::nullopt;
    return ValueTransform::by_channel(layout, std::move(parts));
}

}  // namespace

std::vector<ValueTransform> exact_transforms(const SampleLayout& layout, std::span<const uint8_t> elements) {
    // float64s that are all float32s widened are narrowed instead of
    // ordered: as ordered float64s their residuals would be the narrowed
    // ones' times 2^29, give or take the sign, 29 bits more a value.
    const bool narrow = layout.type == ElementType::F64 && all_narrow(layout, elements);
    std::vector<ValueTransform> found{narrow ? ValueTransform::narrowed(layout) : ValueTransform(layout)};
    if (layout.is_float()) {
        if (const auto decimals = block_decimals(layout, elements)) found.emplace_back(layout, *decimals);
    }
    // Decimals rounded to float32 and widened (a table's float32 prices
    // beside float64 columns) are not decimals in float64.
    if (narrow && found.size() == 1) {
        const SampleLayout single{ElementType::F32, false, {}};
        const ElementBytes access(layout), single_access(single);
        const size_t n = elements.size() / 8;
        std::vector<uint8_t> singles(4 * n);
        for (size_t i = 0; i < n; ++i) single_access.store(&singles[4 * i], narrow_bits(access.load(&elements[8 * i])));
        if (const auto decimals = block_decimals(single, singles)) {
            found.push_back(ValueTransform::narrowed_decimal(layout, *decimals));
        }
    }
    if (auto values = few_values(layout, elements); values && !no_gain(layout, *values)) {
        found.emplace_back(layout, std::move(*values));
    }
    // A table's columns of floats (not a picture's colours, nor integers:
    // on stereo sound the search took a third of the fastest effort's time).
    if (layout.channels() > 1 && !layout.pixels && layout.is_float()) {
        if (auto parts = channel_transforms(layout, elements)) found.push_back(std::move(*parts));
    }
    if (auto frames = few_frames(layout, elements)) found.push_back(ValueTransform::palette(layout, std::move(*frames)));
    return found;
}

}  // namespace zelk
