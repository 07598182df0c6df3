// Gaps in a float series: NaN elements among numbers, as sensor logs and
// tables of prices leave them. They would break every prediction twice, so
// a block takes them out: the runs of NaN elements are listed in the block
// to be put back, and their elements have no residuals (each decodes as its
// prediction); the encoder's trials see each as a number of its channel
// (held).
//
//   a varint R, the number of runs (0: no gaps, and nothing follows)
//   a varint P, the distinct NaN elements of the runs, then those P
//     elements in the block's element layout
//   a varint L, then L bytes range coding (residual_coder.h) of the runs'
//     numbers, by elements or by channel (GapCoding below)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "sample/sample_layout.h"

namespace zelk {

struct GapRun {
    uint64_t start;   // element index
    uint64_t length;
    uint64_t bits;    // every element of the run
};

// The NaN runs of float `elements`, and in `held` the elements with each
// NaN replaced by its channel's number before it (the channel's first
// number before any, the block's first in a channel of none).
// Nothing, and `held` untouched, where there are no NaNs or no numbers.
std::optional<std::vector<GapRun>> fill_gaps(const SampleLayout& layout, ByteView elements, std::vector<uint8_t>& held);

// How the runs' numbers are coded. By elements: the runs of elements in
// order, each number in a context of the recent ones' mean. By channels:
// each channel's runs of its frames, a channel at a time (its count of
// runs first), each number in a context of the one before it in its
// stream, from an alphabet as wide as the frames' count: a table's columns
// keep their own patterns, and a rare number disturbs none after it.
enum class GapCoding : uint8_t { ByElements, ByChannels };

// Writes the runs of a block of `element_count` elements, coded by channels.
void write_gaps(const SampleLayout& layout, const std::vector<GapRun>& runs, uint64_t element_count,
                std::vector<uint8_t>& out);

// The gaps written at `at` (which it advances past them), their numbers
// not yet decoded: which coding they are in, the block says after them.
struct StoredGaps {
    uint64_t runs = 0;
    std::vector<uint64_t> patterns;  // the runs' distinct elements
    ByteView coded;
};
// Nothing where they do not fit `bytes`, or a block of integers has runs.
std::optional<StoredGaps> read_gaps(const SampleLayout& layout, ByteView bytes, size_t& at);
// Their runs of elements, each within `element_count`; nothing for numbers
// no encoder writes.
std::optional<std::vector<GapRun>> gap_runs(const SampleLayout& layout, const StoredGaps& stored, uint64_t element_count,
                                            GapCoding coding);
// Writes the runs' elements into `data`.
void restore_gaps(const SampleLayout& layout, const std::vector<GapRun>& runs, std::span<uint8_t> data);

// Which elements lie in runs, asked of ranges that never start before the
// last one asked.
class GapMask {
public:
    explicit GapMask(const std::vector<GapRun>& runs) : runs_(runs) {}
    // Sets in_run[i] to whether element first + i lies in a run, for i
    // below count; whether any does.
    bool fill(uint64_t first, size_t count, uint8_t* in_run);
    // Whether `element` lies in a run.
    bool contains(uint64_t element) {
        skip_to(element);
        return next_ < runs_.size() && runs_[next_].start <= element;
    }

private:
    // Past the runs that end at or before `element`.
    void skip_to(uint64_t element) {
        while (next_ < runs_.size() && runs_[next_].start + runs_[next_].length <= element) ++next_;
    }

    const std::vector<GapRun>& runs_;
    size_t next_ = 0;  // the first run that may end after the range last asked
};

}  // namespace zelk
