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

}  // namespace

std::optional<TypedRegion> find_samples(ByteView head) {
    if (starts_with(head, "RIFF") && starts_with(head, "WAVE", 8)) return wave_samples(head);
    if (starts_with(head, "\x93NUMPY")) return npy_samples(head);
    return std::nullopt;
}

}  // namespace zelk
