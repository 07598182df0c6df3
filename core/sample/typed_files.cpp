#include "sample/typed_files.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelk {
namespace {

bool starts_with(ByteView bytes, std::string_view text, size_t at = 0) {
    return bytes.size() >= at + text.size() &&
           std::equal(text.begin(), text.end(), bytes.begin() + at,
                      [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; });
}

std::optional<ElementType> wave_type(uint16_t format, uint16_t bits) {
    if (format == 1 && bits == 8) return ElementType::U8;
    if (format == 1 && bits == 16) return ElementType::I16;
    if (format == 1 && bits == 24) return ElementType::I24;
    if (format == 1 && bits == 32) return ElementType::I32;
    if (format == 3 && bits == 32) return ElementType::F32;
    if (format == 3 && bits == 64) return ElementType::F64;
    return std::nullopt;
}

std::optional<TypedRegion> wave_samples(ByteView head) {
    std::optional<SampleLayout> layout;
    for (size_t at = 12; at + 8 <= head.size();) {
        const uint32_t size = load_le<uint32_t>(&head[at + 4]);
        const size_t body = at + 8;
        if (starts_with(head, "fmt ", at) && size >= 16 && body + 16 <= head.size()) {
            uint16_t format = load_le<uint16_t>(&head[body]);
            const uint16_t channels = load_le<uint16_t>(&head[body + 2]);
            const uint16_t bits = load_le<uint16_t>(&head[body + 14]);
            if (format == 0xFFFE && size >= 26 && body + 26 <= head.size()) format = load_le<uint16_t>(&head[body + 24]);
            const auto type = wave_type(format, bits);
            if (!type || channels == 0 || channels > MAX_CHANNELS) return std::nullopt;
            layout = SampleLayout{*type, false, channels > 1 ? std::vector<uint64_t>{channels} : std::vector<uint64_t>{}};
        } else if (starts_with(head, "data", at)) {
            if (!layout) return std::nullopt;
            return TypedRegion{body, size - size % layout->frame_bytes(), *layout};
        }
        at = body + size + (size & 1);  // chunks are padded to even lengths
    }
    return std::nullopt;
}

// The value of `key` in numpy's header dictionary, up to the next comma at
// depth 0 (a tuple's commas are inside its parentheses).
std::optional<std::string_view> header_value(std::string_view header, std::string_view key) {
    const size_t found = header.find("'" + std::string(key) + "':");
    if (found == std::string_view::npos) return std::nullopt;
    size_t at = found + key.size() + 3, end = at;
    int depth = 0;
    for (; end < header.size() && (depth > 0 || (header[end] != ',' && header[end] != '}')); ++end) {
        depth += header[end] == '(' ? 1 : header[end] == ')' ? -1 : 0;
    }
    while (at < end && header[at] == ' ') ++at;
    return header.substr(at, end - at);
}

std::optional<TypedRegion> npy_samples(ByteView head) {
    if (head.size() < 12 || head[6] < 1 || head[6] > 3) return std::nullopt;
    const bool wide = head[6] >= 2;
    const size_t length = wide ? load_le<uint32_t>(&head[8]) : load_le<uint16_t>(&head[8]);
    const size_t start = (wide ? 12 : 10) + length;
    if (start > head.size()) return std::nullopt;
    const std::string_view header(reinterpret_cast<const char*>(&head[wide ? 12 : 10]), length);
    const auto descr = header_value(header, "descr"), order = header_value(header, "fortran_order"),
               shape = header_value(header, "shape");
    if (!descr || !order || !shape || *order != "False" || descr->size() < 3) return std::nullopt;
    const auto type = parse_numpy_type(descr->substr(1, descr->size() - 2));
    if (!type) return std::nullopt;
    std::vector<uint64_t> dimensions;
    uint64_t value = 0;
    bool digits = false;
    for (char c : *shape) {
        if (c >= '0' && c <= '9') {
            if (value > (uint64_t{1} << 50)) return std::nullopt;
            value = value * 10 + static_cast<uint64_t>(c - '0'), digits = true;
        } else if (digits) {
            dimensions.push_back(value), value = 0, digits = false;
        }
    }
    if (dimensions.empty() || dimensions.size() > MAX_TRAILING_DIMENSIONS + 1) return std::nullopt;
    SampleLayout layout{type->first, type->second, {dimensions.begin() + 1, dimensions.end()}};
    uint64_t bytes = layout.element_size();
    for (uint64_t dimension : dimensions) {
        if (dimension == 0 || bytes > (uint64_t{1} << 56) / dimension) return std::nullopt;
        bytes *= dimension;
    }
    try {
        check_layout(layout);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
    return TypedRegion{start, bytes, layout};
}

// A decimal number at `at`, after blanks; nothing past `limit`.
std::optional<uint64_t> decimal_at(ByteView bytes, size_t& at, size_t end) {
    while (at < end && (bytes[at] == ' ' || bytes[at] == '\t' || bytes[at] == '\n' || bytes[at] == '\r')) ++at;
    uint64_t value = 0;
    const size_t first = at;
    for (; at < end && bytes[at] >= '0' && bytes[at] <= '9' && value < (uint64_t{1} << 40); ++at) {
        value = value * 10 + (bytes[at] - '0');
    }
    if (at == first) return std::nullopt;
    return value;
}

// Netpbm's P5 (gray) and P6 (RGB): width, height and maxval in text, then
// one whitespace, then rows of 8-bit samples, or 16-bit big-endian ones
// when maxval passes 255. Comments in the header are not taken.
std::optional<TypedRegion> pnm_samples(ByteView head) {
    const unsigned channels = head[1] == '6' ? 3 : 1;
    size_t at = 2;
    const size_t end = std::min<size_t>(head.size(), 512);
    const auto width = decimal_at(head, at, end), height = decimal_at(head, at, end), maxval = decimal_at(head, at, end);
    if (!width || !height || !maxval || *width == 0 || *height == 0 || *maxval == 0 || *maxval > 65535 ||
        at >= end || (head[at] != ' ' && head[at] != '\n' && head[at] != '\r' && head[at] != '\t')) {
        return std::nullopt;
    }
    const bool wide = *maxval > 255;
    const ElementType type = wide ? ElementType::U16 : ElementType::U8;
    const SampleLayout layout = channels == 3 ? array_layout(type, wide, {*width, 3}) : SampleLayout{type, wide, {*width}};
    return TypedRegion{at + 1, *width * *height * channels * (wide ? 2 : 1), layout};
}

// The value of a FITS header card ("KEYWORD = value"), in its 80 bytes.
std::optional<int64_t> fits_card(ByteView card, std::string_view keyword) {
    if (!starts_with(card, keyword) || (card.size() > keyword.size() && card[keyword.size()] != ' ') ||
        !starts_with(card, "= ", 8)) {
        return std::nullopt;
    }
    const std::string text(card.begin() + 10, card.begin() + 80);
    try {
        size_t used = 0;
        const int64_t value = std::stoll(text, &used);
        return value;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A FITS header and data unit (the primary one, or an extension after
// it): its data, if it is an image of 1 to 4 axes (stored big-endian, the
// first axis varying fastest), and where the next unit begins. A header is
// 80-byte cards up to END, padded to 2880 bytes, and so is the data, which
// holds |BITPIX| / 8 * GCOUNT * (PCOUNT + NAXIS1 * ... ) bytes.
std::optional<TypedRegion> fits_unit(ByteView head, uint64_t offset) {
    const bool primary = starts_with(head, "SIMPLE  =");
    std::optional<int64_t> bitpix, naxis, pcount, gcount;
    bool image = primary;
    std::vector<uint64_t> axes;
    for (size_t at = 0; at + 80 <= head.size(); at += 80) {
        const ByteView card = head.subspan(at, 80);
        if (starts_with(card, "END ") || (starts_with(card, "END") && card[3] == ' ')) {
            if (!bitpix || !naxis || *naxis < 0 || *naxis > 999 || axes.size() != static_cast<size_t>(std::min<int64_t>(*naxis, 4))) {
                return std::nullopt;
            }
            const int64_t element = *bitpix < 0 ? -*bitpix / 8 : *bitpix / 8;
            const uint64_t extra = static_cast<uint64_t>(std::max<int64_t>(pcount.value_or(0), 0));
            const uint64_t groups = static_cast<uint64_t>(std::max<int64_t>(gcount.value_or(1), 0));
            uint64_t values = *naxis == 0 ? 0 : 1;
            for (uint64_t axis : axes) {
                if (axis != 0 && values > (uint64_t{1} << 50) / axis) return std::nullopt;
                values *= axis;
            }
            if (*naxis > 4 || element == 0 || extra > (uint64_t{1} << 50) || groups > (uint64_t{1} << 20)) return std::nullopt;
            const uint64_t bytes = static_cast<uint64_t>(element) * groups * (extra + values);
            const uint64_t data = offset + (at / 2880 + 1) * 2880;
            TypedRegion unit{data, 0, {}, data + (bytes + 2879) / 2880 * 2880};
            const std::optional<ElementType> type = *bitpix == 8 ? ElementType::U8 : *bitpix == 16 ? ElementType::I16
                : *bitpix == 32 ? ElementType::I32 : *bitpix == 64 ? ElementType::I64
                : *bitpix == -32 ? ElementType::F32 : *bitpix == -64 ? std::optional(ElementType::F64) : std::nullopt;
            if (image && type && values != 0 && extra == 0 && groups == 1) {
                unit.length = bytes;
                unit.layout = SampleLayout{*type, true, {}};
                for (size_t i = axes.size() - 1; i-- > 0;) unit.layout.trailing.push_back(axes[i]);  // C order: NAXIS1 last
            }
            return unit;
        }
        if (at == 0 && !primary) image = starts_with(card, "XTENSION= 'IMAGE");
        if (!bitpix) bitpix = fits_card(card, "BITPIX");
        if (!naxis) naxis = fits_card(card, "NAXIS");
        if (!pcount) pcount = fits_card(card, "PCOUNT");
        if (!gcount) gcount = fits_card(card, "GCOUNT");
        if (naxis && axes.size() < static_cast<size_t>(std::clamp<int64_t>(*naxis, 0, 4))) {
            if (const auto axis = fits_card(card, "NAXIS" + std::to_string(axes.size() + 1)); axis && *axis >= 0) {
                axes.push_back(static_cast<uint64_t>(*axis));
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<TypedRegion> find_samples(ByteView head) {
    if (starts_with(head, "RIFF") && starts_with(head, "WAVE", 8)) return wave_samples(head);
    if (starts_with(head, "\x93NUMPY")) return npy_samples(head);
    if (head.size() > 3 && head[0] == 'P' && (head[1] == '5' || head[1] == '6')) return pnm_samples(head);
    if (starts_with(head, "SIMPLE  =")) return fits_unit(head, 0);
    return std::nullopt;
}

std::optional<TypedRegion> find_samples_after(ByteView head, uint64_t offset) {
    if (starts_with(head, "XTENSION=")) return fits_unit(head, offset);
    return std::nullopt;
}

}  // namespace zelk
