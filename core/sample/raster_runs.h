// Runs of a raster's frames, for the median edge detector with runs (mode
// 2 of RasterPredictor), after JPEG-LS's run mode: where every channel's W,
// N, NW and NE are equal, the frames from there that equal the one before
// them in every channel, up to the row's end or the block's, are a run,
// and only its length is coded. A run that stops short of that end is
// followed by a frame coded as usual (it differs from the one before it),
// where no run starts.
//
// A run's length is coded as a residual: less the length expected, the
// frames from its start whose frame above equals the one before it (flat
// areas of graphics mostly end where the row above changes), in a stream
// of its own, in context RUN_LENGTH_CONTEXT. A frame that stops a run has
// its residuals coded in context STOPPING_CONTEXT, where they are seldom 0.
// The median edge detector's contexts (multiples of 3) are never these.
#pragma once

#include <algorithm>
#include <cstdint>

#include "sample/predictors.h"

namespace zelk {

// The mean16 values (residual_symbols.h) of those contexts.
inline constexpr uint64_t STOPPING_CONTEXT = 1, RUN_LENGTH_CONTEXT = 2;
// Every run's length and its difference from the one expected lie within
// +-MAX_RASTER_ROW: magnitudes of RUN_LENGTH_BITS bits at most.
inline constexpr unsigned RUN_LENGTH_BITS = 15;

// Where the runs of a raster's frames are, as its encoder and decoder go
// through them frame by frame.
class RasterRuns {
public:
    // Whether a run starts at the next frame, `predictors` being its
    // channels'.
    bool starts(RasterPredictor* const* predictors, unsigned channels) const {
        if (stopped_) return false;
        for (unsigned c = 0; c < channels; ++c) {
            if (!predictors[c]->flat()) return false;
        }
        return true;
    }
    // The length expected of a run that starts at the next frame, of at
    // most `remaining` frames.
    static uint64_t expected_length(RasterPredictor* const* predictors, unsigned channels, uint64_t remaining) {
        for (unsigned c = 0; c < channels; ++c) remaining = predictors[c]->north_equal_to_west(remaining);
        return remaining;
    }
    // A run of `length` of the `remaining` frames from the next one.
    void begin(uint64_t length, uint64_t remaining) {
        left_ = length;
        stopped_ = length < remaining;
    }
    // The frames of the run not yet taken.
    uint64_t left() const { return left_; }
    void take(uint64_t frames) { left_ -= frames; }
    // Whether the next frame, coded as usual, stops a run; then it is coded.
    bool stopping() const { return stopped_; }
    void code_one() { stopped_ = false; }

private:
    uint64_t left_ = 0;
    bool stopped_ = false;  // the run before stopped short: the next frame is coded
};

}  // namespace zelk
