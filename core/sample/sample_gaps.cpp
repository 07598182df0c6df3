#include "sample/sample_gaps.h"

#include <algorithm>
#include <stdexcept>

#include "entropy/range_coder.h"
#include "entropy/residual_coder.h"
#include "sample/sample_values.h"

namespace zelk {
namespace {

bool is_nan(uint64_t bits, unsigned width) {
    const uint64_t exponent = width == 32 ? 0x7F800000u : uint64_t{0x7FF} << 52;
    const uint64_t mantissa = width == 32 ? 0x7FFFFFu : (uint64_t{1} << 52) - 1;
    return (bits & exponent) == exponent && (bits & mantissa) != 0;
}

}  // namespace

std::optional<std::vector<GapRun>> fill_gaps(const SampleLayout& layout, ByteView elements, std::vector<uint8_t>& held) {
    if (!layout.is_float()) return std::nullopt;
    const ElementBytes access(layout);
    const size_t n = elements.size() / access.size();
    // Each NaN element becomes its channel's number before it, so that the
    // channel's prediction runs on through the gap; before the channel's
    // first number, that number (the block's first, in a channel of none).
    const unsigned channels = layout.channels();
    std::vector<std::optional<uint64_t>> fills(channels);  // each channel's first number, then the one before
    std::vector<GapRun> runs;
    std::optional<uint64_t> first_number;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t bits = access.load(&elements[i * access.size()]);
        if (!is_nan(bits, layout.bits())) {
            if (!first_number) first_number = bits;
            if (!fills[i % channels]) fills[i % channels] = bits;
        } else if (!runs.empty() && runs.back().start + runs.back().length == i && runs.back().bits == bits) {
            ++runs.back().length;
        } else {
            runs.push_back({i, 1, bits});
        }
    }
    if (runs.empty() || !first_number) return std::nullopt;
    held.assign(elements.begin(), elements.end());
    for (size_t i = 0; i < n; ++i) {
        std::optional<uint64_t>& fill = fills[i % channels];
        const uint64_t bits = access.load(&elements[i * access.size()]);
        if (!is_nan(bits, layout.bits())) fill = bits;
        else access.store(&held[i * access.size()], fill.value_or(*first_number));
    }
    return runs;
}

void write_gaps(const SampleLayout& layout, const std::vector<GapRun>& runs, std::vector<uint8_t>& out) {
    const ElementBytes access(layout);
    std::vector<uint64_t> patterns;
    for (const GapRun& run : runs) {
        if (std::find(patterns.begin(), patterns.end(), run.bits) == patterns.end()) patterns.push_back(run.bits);
    }
    write_varint(runs.size(), out);
    if (runs.empty()) return;
    write_varint(patterns.size(), out);
    for (uint64_t bits : patterns) {
        out.resize(out.size() + access.size());
        access.store(&out[out.size() - access.size()], bits);
    }
    std::vector<uint8_t> coded;
    RangeEncoder coder(coded);
    ResidualCoder numbers(64);
    ResidualStream gap_stream, length_stream, pattern_stream;
    uint64_t end = 0;
    for (const GapRun& run : runs) {
        numbers.encode(coder, gap_stream, static_cast<int64_t>(run.start - end));
        numbers.encode(coder, length_stream, static_cast<int64_t>(run.length - 1));
        if (patterns.size() > 1) {
            const auto index = std::find(patterns.begin(), patterns.end(), run.bits) - patterns.begin();
            numbers.encode(coder, pattern_stream, index);
        }
        end = run.start + run.length;
    }
    coder.finish();
    write_varint(coded.size(), out);
    out.insert(out.end(), coded.begin(), coded.end());
}

std::optional<std::vector<GapRun>> read_gaps(const SampleLayout& layout, ByteView bytes, size_t& at,
                                             uint64_t element_count) {
    const ElementBytes access(layout);
    const auto count = read_varint(bytes, at);
    if (!count || (*count > 0 && !layout.is_float()) || *count > element_count) return std::nullopt;
    std::vector<GapRun> runs;
    if (*count == 0) return runs;
    const auto pattern_count = read_varint(bytes, at);
    if (!pattern_count || *pattern_count == 0 || *pattern_count > *count ||
        *pattern_count > (bytes.size() - at) / access.size()) {
        return std::nullopt;
    }
    std::vector<uint64_t> patterns;
    for (uint64_t p = 0; p < *pattern_count; ++p, at += access.size()) patterns.push_back(access.load(&bytes[at]));
    const auto length = read_varint(bytes, at);
    if (!length || *length > bytes.size() - at || *count > max_residuals(*length)) return std::nullopt;
    RangeDecoder decoder(bytes.subspan(at, static_cast<size_t>(*length)));
    at += static_cast<size_t>(*length);
    ResidualCoder numbers(64);
    ResidualStream gap_stream, length_stream, pattern_stream;
    uint64_t end = 0;
    try {
        for (uint64_t r = 0; r < *count; ++r) {
            const auto gap = static_cast<uint64_t>(numbers.decode(decoder, gap_stream));
            const auto run = static_cast<uint64_t>(numbers.decode(decoder, length_stream)) + 1;
            const auto index = patterns.size() > 1 ? static_cast<uint64_t>(numbers.decode(decoder, pattern_stream)) : 0;
            if (gap > element_count - end || run == 0 || run > element_count - end - gap || index >= patterns.size()) {
                return std::nullopt;
            }
            runs.push_back({end + gap, run, patterns[static_cast<size_t>(index)]});
            end += gap + run;
        }
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
    if (!decoder.ended_cleanly()) return std::nullopt;
    return runs;
}

void restore_gaps(const SampleLayout& layout, const std::vector<GapRun>& runs, std::span<uint8_t> data) {
    const ElementBytes access(layout);
    for (const GapRun& run : runs) {
        for (uint64_t i = run.start; i < run.start + run.length; ++i) access.store(&data[i * access.size()], run.bits);
    }
}

bool GapMask::fill(uint64_t first, size_t count, uint8_t* in_run) {
    std::fill_n(in_run, count, uint8_t{0});
    while (next_ < runs_.size() && runs_[next_].start + runs_[next_].length <= first) ++next_;
    bool any = false;
    for (size_t r = next_; r < runs_.size() && runs_[r].start < first + count; ++r) {
        const uint64_t from = std::max(runs_[r].start, first), to = std::min(runs_[r].start + runs_[r].length, first + count);
        std::fill(in_run + (from - first), in_run + (to - first), uint8_t{1});
        any = true;
    }
    return any;
}

}  // namespace zelk
