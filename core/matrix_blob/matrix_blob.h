// Compressed matrices, the blobs zelk.matrix writes (docs/matrix-format.md),
// as the command lists and tests them: their header and bands read and
// checked, and every frame they nest decoded.
//
// Versions 2 to 5 (which differ in how values are predicted, which is not
// done here, in the paths a band may take, and from version 5 on in counts
// and lengths written as varints): a header sealed by CRC-32C, then bands
// of whole leading units, each a descriptor sealed by CRC-32C followed by
// two zelk frames (the band's integers or values, and its corrections); a
// wavelet band's values begin with a head sealed by CRC-32C, and it may
// have no corrections' frame. Version 1: a header, bands of Haar tiles, and
// a CRC-32 (zlib's) of all of it at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "frame/block_codec.h"

namespace zelk {

inline constexpr std::array<uint8_t, 4> MATRIX_MAGIC = {0x89, 'Z', 'L', 'M'};

// Whether `start` (the first bytes of an input) begins as a matrix blob.
bool starts_matrix_blob(ByteView start);

// LevelledLine and WaveletLine: levelled, and a wavelet, with every quotient
// (a wavelet's of its details) stored rather than the gaps between the
// non-zero ones and those.
enum class MatrixPath : uint8_t {
    Grid = 0, Interpolated = 1, Exact = 2, Wavelet = 3, Levelled = 4, Lorenzo = 5, LevelledLine = 6, WaveletLine = 7
};
inline constexpr size_t MATRIX_PATHS = 8;

// A wavelet band's head (its levels and step, sealed by a CRC-32C) and the
// frames after it, checked: the head's CRC, the levels a band of rows x
// cols takes, a step in [1, 2^60). Throws FrameError naming offset `at`.
struct WaveletHead {
    unsigned levels;
    uint64_t step;
    ByteView frames;
};
WaveletHead read_wavelet_head(ByteView values, uint64_t rows, uint64_t cols, size_t at);

struct MatrixSummary {
    uint8_t version = 0;
    const char* dtype = "";  // "float32" or "float64"
    std::vector<uint64_t> shape;
    const char* bound = "";  // "threshold", "rmse", "psnr" or "max_error"
    double requested = 0, max_error = 0, rmse = 0;
    double value_range = 0, largest_step = 0;  // versions 2 on: max - min, a band's largest grid step
    uint64_t corrections = 0;
    uint64_t bands = 0;
    std::array<uint64_t, MATRIX_PATHS> paths{};  // versions 2 to 5: bands by MatrixPath
    uint64_t values() const;
    size_t itemsize() const;       // of a value: 4 or 8
    uint64_t value_bytes() const;  // of the array restored
};

// The blob's header and, in versions 2 to 5, every band's descriptor, each
// checked by its CRC-32C (version 1: the whole blob by its CRC-32); no
// frame is decoded. Throws FrameError naming the offset of what is
// damaged, truncated or unknown.
MatrixSummary summarize_matrix_blob(ByteView blob);

// A band of a blob of version 2 to 5, and where its stored parts lie in the blob.
struct MatrixBand {
    MatrixPath path;
    double step;
    uint64_t corrections;
    uint64_t units;  // of the coded shape's first dimension
    size_t at;       // of its descriptor
    ByteView values, correction_frames;
};

struct MatrixLayout {
    MatrixSummary summary;
    std::vector<uint64_t> coded_shape;  // what the values are coded in: the last three dimensions, or a series
    std::vector<MatrixBand> bands;
};

// The shape a blob's values are coded in: the last three dimensions at most
// (those before folded into the first), a series where a row or slice would
// hold more than 2^22 values.
std::vector<uint64_t> matrix_coded_shape(const std::vector<uint64_t>& shape);
// Leading units of the coded shape in each band: about 2^20 values, one unit at least.
uint64_t matrix_band_units(const std::vector<uint64_t>& coded_shape);

// A blob's header and bands (versions 2 to 5), each checked by its CRC-32C, their
// claims by the blob's size (a shape it cannot hold is refused before
// anything is made for it); no frame is decoded. Throws FrameError.
MatrixLayout read_matrix_layout(ByteView blob);

// As summarize_matrix_blob(), and then, in versions 2 to 5, decodes
// every frame and checks that it holds exactly the bytes its band's shape
// implies.
MatrixSummary verify_matrix_blob(ByteView blob, const BlockCodec& codec, unsigned threads, uint64_t memory_limit);

}  // namespace zelk
