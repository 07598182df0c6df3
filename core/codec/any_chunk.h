// Chunks of every mode for callers that hold single chunks (the Python
// package's chunk functions, the frame's blocks): the smallest chunk of some
// data, a chunk's mode and length, and its data, within limits that keep a
// decoder's work and memory in proportion to its input.
//
//   mode 0 (Plain) and 2 (Neural): the zelk models, as codec.h encodes and
//          decodes them; a chunk shorter than the floor of the format
//          (min_plain_chunk_size) is refused before decoding, since no
//          encoder writes one and its decoding would run for its stated
//          length whatever it holds;
//   mode 1 (ZstdFallback): one Zstandard frame (zstd_chunk.h), whose blocks
//          must be able to produce the stated length.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/bytes.h"
#include "codec/chunk_format.h"
#include "codec/codec.h"
#include "codec/codec_error.h"

namespace zelk {

// How hard the zelk models are tried against Zstandard.
enum class ZelkEffort {
    Never,   // Zstandard only
    Probe,   // the zelk encoder on samples first; the whole data only if it beats Zstandard there
    Always,  // the zelk encoder wherever it could store the data smaller
};

struct ChunkEffort {
    int zstd_level;  // 1 to 19
    ZelkEffort zelk;
    unsigned zstd_window_log = 0;  // long-distance matching (ZstdSettings), 0: none
};

// The threads a chunk's encoders may use: the zelk encoder a second one
// (its output is the same), Zstandard workers in jobs (zstd_chunk.h: the
// output differs between 0 and any other number, not between those).
struct ChunkThreads {
    ChunkThreads(EncoderThreads zelk = EncoderThreads::One, unsigned zstd_workers = 0)
        : zelk(zelk), zstd_workers(zstd_workers) {}
    EncoderThreads zelk;
    unsigned zstd_workers;
};

// The samples a probe compresses both ways: PROBE_SAMPLES pieces of
// PROBE_BYTES each, spread evenly over the data. Data shorter than twice
// the whole is not probed.
inline constexpr size_t PROBE_SAMPLES = 4;
inline constexpr size_t PROBE_BYTES = size_t{16} << 10;

struct ChosenChunk {
    CodecMode mode;  // Plain or ZstdFallback
    std::vector<uint8_t> bytes;
};

// The smaller of the Zstandard chunk of `data` and, where `effort` allows
// and Zstandard's is longer than the shortest zelk chunk could be, the zelk
// chunk (mode Plain, the encoder's debug line sent nowhere). Never refuses
// data under 4 GiB: Zstandard stores what nothing shrinks, a few bytes longer.
// Throws std::invalid_argument for 4 GiB or more.
ChosenChunk encode_smallest_chunk(ByteView data, ChunkEffort effort, ChunkThreads threads);

struct ChunkInfo {
    CodecMode mode;
    uint32_t length;  // of the data
};

// The mode and length a chunk's header states, for a chunk of a mode this
// library decodes (0, 1 or 2) that is long enough for its header.
Result<ChunkInfo> read_chunk_info(ByteView chunk);

// The data of a chunk of any mode. `weights` are the caller's, as
// zelk_native.decode_bytes takes them (mode 2 needs its anchor weights).
// Refused as InvalidData before any decoding: a stated length above
// `max_length`, a zelk chunk below the format's floor, a Zstandard chunk
// whose frame cannot produce its length.
Result<std::vector<uint8_t>> decode_any_chunk(ByteView chunk, std::optional<ByteView> weights,
                                              uint64_t max_length = UINT32_MAX);

}  // namespace zelk
