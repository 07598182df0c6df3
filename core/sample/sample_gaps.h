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
//   a varint L, then L bytes range coding (residual_coder.h) for each run:
//     the elements between the previous run's end (or the block's start)
//     and this run, the run's length less 1 and, when P > 1, the index of
//     its element, each in a stream of its own
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

void write_gaps(const SampleLayout& layout, const std::vector<GapRun>& runs, std::vector<uint8_t>& out);
// The runs written at `at`, each within `element_count` elements; nothing
// for any other bytes.
std::optional<std::vector<GapRun>> read_gaps(const SampleLayout& layout, ByteView bytes, size_t& at,
                                             uint64_t element_count);
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

private:
    const std::vector<GapRun>& runs_;
    size_t next_ = 0;  // the first run that may end after the range last asked
};

}  // namespace zelk
