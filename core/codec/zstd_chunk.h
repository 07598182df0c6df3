// The Zstandard fallback chunk: codec mode 1, for data the zelk models do
// not shrink as well as Zstandard does. The chunk format reserves the mode
// and leaves its handling to callers (zelk_native refuses it); the frame and
// the Python package are those callers. Layout:
//
//   offset 0      header byte 0xA1: format version 10, codec mode 1
//   offset 1..4   uncompressed length, unsigned 32-bit little-endian
//   then          exactly one Zstandard frame that records its content size,
//                 equal to the length field, and nothing after it
//
// The decoder checks all of that before it decompresses, into a buffer of
// exactly the stated length, and refuses a length that the frame's blocks
// cannot produce, so its memory follows its input as well as the length
// field, which its caller bounds (max_length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/bytes.h"
#include "codec/codec_error.h"

namespace zelk {

inline constexpr uint8_t ZSTD_CHUNK_HEADER_BYTE = 0xA1;
inline constexpr std::size_t ZSTD_CHUNK_HEADER_LEN = 5;

// How Zstandard codes a chunk.
//   level       1 to 19 are the ones used
//   window_log  long-distance matching over a window of 2^window_log bytes
//               (10 to 31); 0: the level's own window, no long matching
//   workers     0: coded on the calling thread; N: cut into jobs that N of
//               libzstd's workers code at once, each job seeing a whole
//               window of the data before it. The output is the same for
//               every N from 1 up (not for 0), and data shorter than two
//               jobs is coded as for 0.
struct ZstdSettings {
    ZstdSettings(int level, unsigned window_log = 0, unsigned workers = 0)
        : level(level), window_log(window_log), workers(workers) {}
    int level;
    unsigned window_log;
    unsigned workers;
};

inline constexpr unsigned MIN_LONG_WINDOW_LOG = 10;
inline constexpr unsigned MAX_LONG_WINDOW_LOG = 31;

// The chunk of `data` as `settings` say. Refuses data of 4 GiB or more
// ("Input too large for a chunk").
Result<std::vector<uint8_t>> encode_zstd_chunk(ByteView data, ZstdSettings settings);

// The length a fallback chunk states, after checking its header byte and
// size; the Zstandard frame is not looked at.
Result<uint32_t> zstd_chunk_length(ByteView chunk);

// The data of a fallback chunk whose stated length is at most `max_length`.
// Every other fault (a frame that is damaged, truncated, followed by other
// bytes, silent about its content size or stating another one) is refused
// as InvalidData before or while decompressing.
Result<std::vector<uint8_t>> decode_zstd_chunk(ByteView chunk, uint64_t max_length = UINT32_MAX);

}  // namespace zelk
