// The sample block: typed samples coded by prediction and an entropy
// coder. Layout of its stored bytes:
//
//   the sample layout (sample_layout.h)
//   the gaps: runs of NaN elements, coded as the number before them (sample_gaps.h)
//   the value transform (sample_values.h): a kind byte and its parameters
//   the channel coding byte: 0 channels apart, 1 mid and side (two
//     channels: side = L - R, mid = R + floor(side / 2)), 2 each channel less
//     the one before it, 3 each channel but the second less the second
//     (three or more channels: G, R - G, B - G for RGB), 4 the first three
//     as 3 and the others apart (four or more: alpha kept out of colour),
//     5 the first three as R - G, floor((R + 2 G + B) / 4), B - G in
//     values one bit wider, the others apart
//   the predictor: 0 polynomial, then one order byte (0 to 3) per channel;
//     1 cascade, then the preset byte; 2 plane (rasters), then the mode
//     byte; 3 raster, then the mode byte, its residuals coded in contexts
//     from the residuals around (predictors.h), flat areas in mode 2 as
//     runs of frames (raster_runs.h)
//   the residual coding byte: 0 range coded (residual_coder.h), one stream
//     of contexts per channel; 1 Rice codes (rice_coder.h) in partitions of
//     256 frames, a 6-bit parameter per channel at each partition's start;
//     2 rANS over tables made for the block (tabled_residuals.h), contexts
//     as for 0; 3 and 4 as 0 and 2, the elements of gaps having none
//   the residuals of every sample, channel by channel within each frame,
//     a raster run's length where it starts
//   the block's last bytes that make no whole frame, as they are
//
// The block's size is its record's: it holds size / frame_bytes frames. A
// reader checks every field before it uses it and refuses, before decoding,
// a block whose residual bytes cannot hold that many residuals.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/bytes.h"
#include "codec/codec_error.h"
#include "sample/sample_layout.h"

namespace zelk {

// How hard the encoder works: fixed polynomials and Rice codes; the short
// cascades; every cascade, each with its choices tried on the block.
enum class SampleEffort { Fast, Moderate, Full };

// How many of a sample block's bytes code its frames from `first` to `end`
// (not included): found where the fastest effort codes them, by partitions
// of Rice codes (those holding the two ends); nothing at other efforts.
struct FramesCost {
    size_t first, end;
    std::optional<size_t> bytes;
};

// The sample block of `data`, whose length need not be a whole number of
// frames, and with `cost`, what some of its frames cost. An (n, c) layout
// may be coded as rows of c values rather than c channels, which the
// block's layout then says. Throws
// std::invalid_argument for a layout check_layout refuses.
std::vector<uint8_t> encode_sample_block(ByteView data, const SampleLayout& layout, SampleEffort effort,
                                         FramesCost* cost = nullptr);

// About the bytes a sample block of `data` takes under one fixed choice:
// its values as they are, channels apart, a raster's predicted by the
// median edge detector and other layouts' by the frame before, the
// residuals' entropy in their streams standing for their coding (their
// tables left out). A quick estimate of what prediction gives, in a few
// tenths of the fastest effort's time; nothing for data with gaps. Throws
// std::invalid_argument as encode_sample_block does.
std::optional<size_t> quick_sample_size(ByteView data, const SampleLayout& layout);

// The `size` bytes a sample block stands for, or why it cannot be decoded.
Result<std::vector<uint8_t>> decode_sample_block(ByteView stored, uint32_t size);

// The layout a sample block begins with.
std::optional<SampleLayout> sample_block_layout(ByteView stored);

}  // namespace zelk
