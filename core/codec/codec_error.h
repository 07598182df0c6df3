// The one error value of the stream codec, and the result type of every
// codec operation: either a value or a CodecError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/expected.h"

namespace zelk {

enum class ErrorKind { InvalidInput, InvalidData, CompressionError, Other };

class CodecError {
public:
    CodecError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    ErrorKind kind() const { return kind_; }
    const std::string& message() const { return message_; }

    // "<Kind>: <message>", the text callers see.
    std::string display() const;

private:
    ErrorKind kind_;
    std::string message_;
};

std::string_view error_kind_name(ErrorKind kind);

// Every refusal of the codec, with its fixed text.
CodecError unsupported_predictor_id(uint8_t predictor_id);
CodecError input_too_large();
CodecError buffer_too_small_for_header();
CodecError expansion_detected();
CodecError chunk_too_short();
CodecError version_mismatch(unsigned chunk_version, unsigned library_version);
CodecError unknown_codec_mode(unsigned mode);  // mode: 0 .. 15
CodecError zstd_fallback_chunk();
CodecError chunk_too_short_for_neural_header();
CodecError split_not_reimplemented();

// What every codec operation returns: its value or the refusal.
template <typename T>
using Result = Expected<T, CodecError>;

}  // namespace zelk
