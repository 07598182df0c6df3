#include "sample/sample_gaps.h"

#include <algorithm>
#include <array>
#include <bit>
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
    bool any_nan = false;  // most blocks have none: one pass without branches tells
    for_each_element(layout, elements.data(), n, [&](size_t, uint64_t bits) { any_nan |= is_nan(bits, layout.bits()); });
    if (!any_nan) return std::nullopt;
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

namespace {

// A run of one channel's frames.
struct ChannelRun {
    uint64_t start, length;
    size_t pattern;  // its element's index among the distinct ones
};

// Numbers in streams of their own, each in the context of the stream's
// number before it, from an alphabet as wide as `most` needs.
class GapNumbers {
public:
    explicit GapNumbers(uint64_t most) : numbers_(static_cast<unsigned>(std::bit_width(most))) {}
    void encode(RangeEncoder& coder, unsigned stream, uint64_t number) {
        place(stream);
        numbers_.encode(coder, streams_[stream], static_cast<int64_t>(number));
        last_[stream] = number;
    }
    // A number; nothing for a negative one, which no encoder writes.
    std::optional<uint64_t> decode(RangeDecoder& decoder, unsigned stream) {
        place(stream);
        const int64_t number = numbers_.decode(decoder, streams_[stream]);
        if (number < 0) return std::nullopt;
        return last_[stream] = static_cast<uint64_t>(number);
    }

private:
    void place(unsigned stream) { streams_[stream].mean16 = std::min<uint64_t>(last_[stream], uint64_t{1} << 56) * 16; }

    ResidualCoder numbers_;
    std::array<ResidualStream, 4> streams_;
    std::array<uint64_t, 4> last_{};
};

enum GapStream : unsigned { COUNT, BETWEEN, LENGTH, PATTERN };

// The runs of elements that channel runs make, in element order: adjacent
// elements of one pattern joined.
std::vector<GapRun> element_runs(std::vector<std::vector<ChannelRun>> channels, const std::vector<uint64_t>& patterns) {
    const size_t count = channels.size();
    std::vector<size_t> next(count, 0);  // each channel's run under way or to come
    std::vector<GapRun> runs;
    auto add = [&runs](uint64_t element, uint64_t bits) {
        if (!runs.empty() && runs.back().start + runs.back().length == element && runs.back().bits == bits) {
            ++runs.back().length;
        } else {
            runs.push_back({element, 1, bits});
        }
    };
    for (;;) {
        // The first frame any channel's runs still hold.
        uint64_t frame = UINT64_MAX;
        for (size_t c = 0; c < count; ++c) {
            if (next[c] < channels[c].size()) frame = std::min(frame, channels[c][next[c]].start);
        }
        if (frame == UINT64_MAX) return runs;
        for (size_t c = 0; c < count; ++c) {
            if (next[c] == channels[c].size()) continue;
            ChannelRun& run = channels[c][next[c]];
            if (run.start != frame) continue;
            add(frame * count + c, patterns[run.pattern]);
            ++run.start;
            if (--run.length == 0) ++next[c];
        }
    }
}

}  // namespace

void write_gaps(const SampleLayout& layout, const std::vector<GapRun>& runs, uint64_t element_count,
                std::vector<uint8_t>& out) {
    const ElementBytes access(layout);
    std::vector<uint64_t> patterns;
    for (const GapRun& run : runs) {
        if (std::find(patterns.begin(), patterns.end(), run.bits) == patterns.end()) patterns.push_back(run.bits);
    }
    const unsigned channel_count = layout.channels();
    std::vector<std::vector<ChannelRun>> channels(channel_count);
    for (const GapRun& run : runs) {
        const size_t pattern = static_cast<size_t>(std::find(patterns.begin(), patterns.end(), run.bits) - patterns.begin());
        for (uint64_t element = run.start; element < run.start + run.length; ++element) {
            std::vector<ChannelRun>& list = channels[element % channel_count];
            const uint64_t frame = element / channel_count;
            if (!list.empty() && list.back().start + list.back().length == frame && list.back().pattern == pattern) {
                ++list.back().length;
            } else {
                list.push_back({frame, 1, pattern});
            }
        }
    }
    uint64_t channel_runs = 0;
    for (const auto& list : channels) channel_runs += list.size();
    write_varint(channel_runs, out);
    if (runs.empty()) return;
    write_varint(patterns.size(), out);
    for (uint64_t bits : patterns) {
        out.resize(out.size() + access.size());
        access.store(&out[out.size() - access.size()], bits);
    }
    std::vector<uint8_t> coded;
    RangeEncoder coder(coded);
    GapNumbers numbers(std::max<uint64_t>(element_count, patterns.size()));
    for (const auto& list : channels) {
        numbers.encode(coder, COUNT, list.size());
        uint64_t end = 0;
        for (const ChannelRun& run : list) {
            numbers.encode(coder, BETWEEN, run.start - end);
            numbers.encode(coder, LENGTH, run.length - 1);
            if (patterns.size() > 1) numbers.encode(coder, PATTERN, run.pattern);
            end = run.start + run.length;
        }
    }
    coder.finish();
    write_varint(coded.size(), out);
    out.insert(out.end(), coded.begin(), coded.end());
}

std::optional<StoredGaps> read_gaps(const SampleLayout& layout, ByteView bytes, size_t& at) {
    const ElementBytes access(layout);
    StoredGaps stored;
    const auto count = read_varint(bytes, at);
    if (!count || (*count > 0 && !layout.is_float())) return std::nullopt;
    stored.runs = *count;
    if (*count == 0) return stored;
    const auto pattern_count = read_varint(bytes, at);
    if (!pattern_count || *pattern_count == 0 || *pattern_count > *count ||
        *pattern_count > (bytes.size() - at) / access.size()) {
        return std::nullopt;
    }
    for (uint64_t p = 0; p < *pattern_count; ++p, at += access.size()) stored.patterns.push_back(access.load(&bytes[at]));
    const auto length = read_varint(bytes, at);
    if (!length || *length > bytes.size() - at || *count > max_residuals(*length)) return std::nullopt;
    stored.coded = bytes.subspan(at, static_cast<size_t>(*length));
    at += static_cast<size_t>(*length);
    return stored;
}

std::optional<std::vector<GapRun>> gap_runs(const SampleLayout& layout, const StoredGaps& stored, uint64_t element_count,
                                            GapCoding coding) {
    std::vector<GapRun> runs;
    if (stored.runs == 0) return runs;
    if (stored.runs > element_count) return std::nullopt;
    const std::vector<uint64_t>& patterns = stored.patterns;
    RangeDecoder decoder(stored.coded);
    try {
        if (coding == GapCoding::ByElements) {
            ResidualCoder numbers(64);
            ResidualStream gap_stream, length_stream, pattern_stream;
            uint64_t end = 0;
            for (uint64_t r = 0; r < stored.runs; ++r) {
                const auto gap = static_cast<uint64_t>(numbers.decode(decoder, gap_stream));
                const auto run = static_cast<uint64_t>(numbers.decode(decoder, length_stream)) + 1;
                const auto index = patterns.size() > 1 ? static_cast<uint64_t>(numbers.decode(decoder, pattern_stream)) : 0;
                if (gap > element_count - end || run == 0 || run > element_count - end - gap || index >= patterns.size()) {
                    return std::nullopt;
                }
                runs.push_back({end + gap, run, patterns[static_cast<size_t>(index)]});
                end += gap + run;
            }
        } else {
            const unsigned channel_count = layout.channels();
            const uint64_t frames = element_count / channel_count;
            GapNumbers numbers(std::max<uint64_t>(element_count, patterns.size()));
            std::vector<std::vector<ChannelRun>> channels(channel_count);
            uint64_t left = stored.runs;
            for (auto& list : channels) {
                const auto count = numbers.decode(decoder, COUNT);
                if (!count || *count > left) return std::nullopt;
                left -= *count;
                uint64_t end = 0;
                for (uint64_t r = 0; r < *count; ++r) {
                    const auto gap = numbers.decode(decoder, BETWEEN), length = numbers.decode(decoder, LENGTH);
                    const auto index = patterns.size() > 1 ? numbers.decode(decoder, PATTERN) : std::optional<uint64_t>(0);
                    if (!gap || !length || !index || *gap > frames - end || *length >= frames - end - *gap ||
                        *index >= patterns.size()) {
                        return std::nullopt;
                    }
                    list.push_back({end + *gap, *length + 1, static_cast<size_t>(*index)});
                    end += *gap + *length + 1;
                }
            }
            if (left != 0) return std::nullopt;
            runs = element_runs(std::move(channels), patterns);
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
    skip_to(first);
    bool any = false;
    for (size_t r = next_; r < runs_.size() && runs_[r].start < first + count; ++r) {
        const uint64_t from = std::max(runs_[r].start, first), to = std::min(runs_[r].start + runs_[r].length, first + count);
        std::fill(in_run + (from - first), in_run + (to - first), uint8_t{1});
        any = true;
    }
    return any;
}

}  // namespace zelk
