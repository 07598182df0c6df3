// Samples inside files of the formats that say what they hold, found from
// the files' first bytes:
//
//   WAV   RIFF/WAVE with a "fmt " chunk of PCM (8-bit unsigned, 16-, 24-
//         and 32-bit signed) or IEEE float (32 and 64 bits), or the extensible
//         format naming one of those; the "data" chunk is the samples, in
//         frames of all channels
//   .npy  numpy's array files of versions 1 to 3 in C order, of the types
//         sample blocks take and 1 to 4 dimensions
//   PNM   Netpbm's P5 (gray) and P6 (RGB) images of 8 or 16 bits
//   FITS  every image unit, the primary one and IMAGE extensions, of any
//         BITPIX and 1 to 4 axes
//
// What precedes and follows the samples (headers, other chunks) is not
// part of the region.
#pragma once

#include <cstdint>
#include <optional>

#include "base/bytes.h"
#include "sample/sample_layout.h"

namespace zelk {

struct TypedRegion {
    uint64_t offset = 0;
    uint64_t length = UINT64_MAX;  // UINT64_MAX: to the end of the input; 0: no samples
    SampleLayout layout;
    uint64_t next = UINT64_MAX;    // where another part of the file may begin (a FITS file's next unit)
};

// How many first bytes find_samples may need to see a data chunk that
// follows the header chunks of a WAV file.
inline constexpr size_t TYPED_FILE_HEAD = size_t{1} << 16;

// The samples of the file that begins with `head`, or nothing.
std::optional<TypedRegion> find_samples(ByteView head);
// The samples of the part of a file that begins with `head`, at `offset`
// in the file, where a region found before said another part may begin.
std::optional<TypedRegion> find_samples_after(ByteView head, uint64_t offset);

}  // namespace zelk
