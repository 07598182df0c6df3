#pragma once

#include "native_call.h"

namespace zelk::python {

// compress_frame, decompress_frames, encode_chunk, decode_chunk, chunk_info.
extern PyMethodDef ONE_SHOT_FUNCTIONS[];

}  // namespace zelk::python
