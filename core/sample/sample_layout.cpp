#include "sample/sample_layout.h"

#include <bit>
#include <stdexcept>

namespace zelk {

size_t SampleLayout::element_size() const {
    switch (type) {
        case ElementType::U8:
        case ElementType::I8: return 1;
        case ElementType::U16:
        case ElementType::I16: return 2;
        case ElementType::U32:
        case ElementType::I32:
        case ElementType::F32: return 4;
        case ElementType::U64:
        case ElementType::I64:
        case ElementType::F64: return 8;
        case ElementType::I24: return 3;
    }
    return 1;
}

bool SampleLayout::is_signed() const {
    return type == ElementType::I8 || type == ElementType::I16 || type == ElementType::I24 || type == ElementType::I32 ||
           type == ElementType::I64;
}

unsigned SampleLayout::channels() const {
    if (pixels) return static_cast<unsigned>(trailing.back());
    if (trailing.size() == 1 && trailing[0] <= MAX_CHANNELS && !rows) return static_cast<unsigned>(trailing[0]);
    return 1;
}

uint64_t SampleLayout::row_frames() const {
    if (pixels) return trailing[trailing.size() - 2];
    return channels() == 1 && !trailing.empty() ? trailing.back() : 0;
}

uint64_t SampleLayout::slice_rows() const {
    const size_t planes = pixels ? 3 : 2;  // trailing dimensions of a raster of slices
    return row_frames() != 0 && trailing.size() == planes ? trailing[0] : 1;
}

SampleLayout array_layout(ElementType type, bool big_endian, std::vector<uint64_t> trailing) {
    const bool pixels = trailing.size() == 2 && trailing[1] <= 4;
    return SampleLayout{type, big_endian, std::move(trailing), pixels};
}

void check_layout(const SampleLayout& layout) {
    if (layout.trailing.size() > MAX_TRAILING_DIMENSIONS) {
        throw std::invalid_argument("a sample layout has at most " + std::to_string(MAX_TRAILING_DIMENSIONS + 1) +
                                    " dimensions");
    }
    uint64_t row = layout.element_size();
    for (uint64_t dimension : layout.trailing) {
        if (dimension == 0 || dimension > (uint64_t{1} << 40) / row) {
            throw std::invalid_argument("a sample layout's dimensions are at least 1 and a row at most 2^40 bytes");
        }
        row *= dimension;
    }
    if (layout.pixels && (layout.trailing.size() < 2 || layout.trailing.back() > MAX_CHANNELS)) {
        throw std::invalid_argument("pixels have two or three dimensions after the first, the last at most " +
                                    std::to_string(MAX_CHANNELS));
    }
    if (layout.rows && (layout.pixels || layout.trailing.size() != 1 || layout.trailing[0] < 2 ||
                        layout.trailing[0] > MAX_CHANNELS)) {
        throw std::invalid_argument("rows marked as such have one dimension after the first, of 2 to " +
                                    std::to_string(MAX_CHANNELS));
    }
}

void write_layout(const SampleLayout& layout, std::vector<uint8_t>& out) {
    out.push_back(static_cast<uint8_t>(static_cast<uint8_t>(layout.type) | (layout.rows ? 0x20 : 0) |
                                       (layout.pixels ? 0x40 : 0) | (layout.big_endian ? 0x80 : 0)));
    out.push_back(static_cast<uint8_t>(layout.trailing.size()));
    for (uint64_t dimension : layout.trailing) write_varint(dimension, out);
}

std::optional<std::pair<SampleLayout, size_t>> read_layout(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2) return std::nullopt;
    const uint8_t type = bytes[0] & 0x1F;
    if (type < 1 || type > ELEMENT_TYPES) {
        return std::nullopt;
    }
    SampleLayout layout{static_cast<ElementType>(type), (bytes[0] & 0x80) != 0, {}, (bytes[0] & 0x40) != 0,
                        (bytes[0] & 0x20) != 0};
    if (bytes[1] > MAX_TRAILING_DIMENSIONS) return std::nullopt;
    size_t at = 2;
    for (unsigned i = 0; i < bytes[1]; ++i) {
        const auto dimension = read_varint(bytes, at);
        if (!dimension) return std::nullopt;
        layout.trailing.push_back(*dimension);
    }
    try {
        check_layout(layout);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
    return std::pair{layout, at};
}

std::string element_type_name(ElementType type) {
    static constexpr const char* NAMES[] = {"uint8", "int8",  "uint16",  "int16",   "uint32", "int32",
                                            "uint64", "int64", "float32", "float64", "int24"};
    return NAMES[static_cast<uint8_t>(type) - 1];
}

std::string type_code(ElementType type, bool big_endian) {
    static constexpr const char* CODES[] = {"u1", "i1", "u2", "i2", "u4", "i4", "u8", "i8", "f4", "f8", "i3"};
    const std::string code = CODES[static_cast<uint8_t>(type) - 1];
    if (code[1] == '1') return "|" + code;
    return (big_endian ? ">" : "<") + code;
}

namespace {

std::optional<ElementType> type_of(char kind, uint64_t bytes) {
    for (uint8_t t = 1; t <= ELEMENT_TYPES; ++t) {
        const SampleLayout probe{static_cast<ElementType>(t), false, {}};
        const char probe_kind = probe.is_float() ? 'f' : probe.is_signed() ? 'i' : 'u';
        if (probe_kind == kind && probe.element_size() == bytes) return probe.type;
    }
    return std::nullopt;
}

std::optional<uint64_t> number_of(std::string_view digits) {
    if (digits.empty() || digits.size() > 2) return std::nullopt;
    uint64_t number = 0;
    for (char digit : digits) {
        if (digit < '0' || digit > '9') return std::nullopt;
        number = number * 10 + static_cast<uint64_t>(digit - '0');
    }
    return number;
}

}  // namespace

std::optional<std::pair<ElementType, bool>> parse_numpy_type(std::string_view name) {
    constexpr bool native_big = std::endian::native == std::endian::big;
    for (uint8_t t = 1; t <= ELEMENT_TYPES; ++t) {
        if (name == element_type_name(static_cast<ElementType>(t))) return std::pair{static_cast<ElementType>(t), native_big};
    }
    bool big = native_big;
    if (!name.empty() && std::string_view("<>=|!").find(name[0]) != std::string_view::npos) {
        if (name[0] == '<') big = false;
        if (name[0] == '>' || name[0] == '!') big = true;
        name.remove_prefix(1);
    }
    const auto bytes = name.empty() ? std::nullopt : number_of(name.substr(1));
    const auto type = bytes ? type_of(name[0], *bytes) : std::nullopt;
    if (!type) return std::nullopt;
    return std::pair{*type, big};
}

std::optional<std::pair<ElementType, bool>> parse_command_type(std::string_view name) {
    bool big = false;
    if (name.ends_with("le") || name.ends_with("be")) {
        big = name.ends_with("be");
        name.remove_suffix(2);
    }
    const auto bits = name.empty() ? std::nullopt : number_of(name.substr(1));
    const auto type = bits && *bits % 8 == 0 ? type_of(name[0], *bits / 8) : std::nullopt;
    if (!type) return std::nullopt;
    return std::pair{*type, big};
}

void write_varint(uint64_t value, std::vector<uint8_t>& out) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

std::optional<uint64_t> read_varint(std::span<const uint8_t> bytes, size_t& at) {
    uint64_t value = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        if (at >= bytes.size()) return std::nullopt;
        const uint8_t byte = bytes[at++];
        if (shift == 63 && byte > 1) return std::nullopt;
        value |= uint64_t{byte & 0x7Fu} << shift;
        if (!(byte & 0x80)) return value;
    }
    return std::nullopt;
}

}  // namespace zelk
