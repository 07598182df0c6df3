// The decoder of zelk.matrix's banded blobs (versions 2 to 5,
// docs/matrix-format.md): each band's frames decoded straight into the
// array or into working room, its integers restored by its path (the grid,
// prediction with error feedback, the CDF 9/7 wavelet, or the values as
// they are), and its corrections written over them. Bands restore on
// several threads at once, to the same values. Every value restored is
// what the format's arithmetic gives on every machine.
#pragma once

#include <cstdint>
#include <span>

#include "frame/block_codec.h"
#include "matrix_blob/matrix_blob.h"

namespace zelk {

// Restores the values of a blob whose layout read_matrix_layout() read
// into `out`: the array of its coded shape, in the host's byte order, of
// exactly layout.summary.value_bytes() bytes. `threads`: bands restored at
// once (1: on the calling thread); `memory_limit`: that of reading each
// frame (memory_limit.h). Throws FrameError naming the offset of a band
// whose frames or numbers are damaged (what it wrote to `out` is then
// unspecified), std::invalid_argument for an `out` of another size.
void decode_matrix_bands(const MatrixLayout& layout, const BlockCodec& codec, unsigned threads,
                         uint64_t memory_limit, std::span<uint8_t> out);

}  // namespace zelk
