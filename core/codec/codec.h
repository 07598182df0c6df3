// The stream codec's drivers: one byte string in, one self-contained chunk
// out, and back. Every call builds its model afresh and keeps nothing.
//
// Refusals come back as CodecError values. Memory that cannot be had (the
// output buffer, the model's tables, a decoder's output for a large length
// field) surfaces as std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/chunk_format.h"
#include "codec/codec_error.h"

namespace zelk {

// Where the encoder writes its debug line. The Python module prints it on
// standard output; native tools pass a NullDebugSink.
class DebugSink {
public:
    virtual ~DebugSink() = default;
    // `line` is the complete line, its newline included.
    virtual void write_line(std::string_view line) = 0;
};

class NullDebugSink final : public DebugSink {
public:
    void write_line(std::string_view) override {}
};

inline constexpr std::string_view ENCODER_DEBUG_LINE = "DEBUG: Running Optimized Encoder\n";

// Whether the encoder may put a second thread to work on an input of 256 KiB
// or more (when the process may run on more than one core): the chunk is the
// same either way. Callers that already encode several chunks at once keep
// to one, and so does the Python module, which runs on its caller's thread
// alone.
enum class EncoderThreads { One, Two };

// Encodes `data` into `out` and returns the chunk's length (header plus
// payload, at the start of `out`). predictor_id 0, 1 and 2 are accepted and
// give identical chunks.
Result<std::size_t> encode_chunk(ByteView data, uint8_t predictor_id,
                                 std::optional<ByteView> weights, std::span<uint8_t> out,
                                 DebugSink& debug, EncoderThreads threads = EncoderThreads::One);

// encode_chunk into a buffer of its own, sized n + 4096 (+ weight bytes).
Result<std::vector<uint8_t>> compress_chunk(ByteView data, uint8_t predictor_id,
                                            std::optional<ByteView> weights, DebugSink& debug,
                                            EncoderThreads threads = EncoderThreads::One);

// Decodes one chunk; predictor_id is accepted and ignored. Bytes after the
// payload are ignored, and a payload that ends early reads as zero padded.
Result<std::vector<uint8_t>> decode_chunk(ByteView chunk, uint8_t predictor_id,
                                          std::optional<ByteView> weights);

// Decodes exactly `length` bytes from `payload` with a model built from
// `model_weights`. Never fails: a wrong payload gives wrong bytes.
std::vector<uint8_t> decode_payload(ByteView payload, uint32_t length, ByteView model_weights);

}  // namespace zelk
