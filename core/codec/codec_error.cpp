// Display form and the codec's refusal texts. The texts are part of the
// module's interface: callers match on them, so they never change.
#include "codec/codec_error.h"

namespace zelk {

std::string_view error_kind_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::InvalidInput: return "InvalidInput";
        case ErrorKind::InvalidData: return "InvalidData";
        case ErrorKind::CompressionError: return "CompressionError";
        case ErrorKind::Other: return "Other";
    }
    return "Other";
}

std::string CodecError::display() const {
    std::string text(error_kind_name(kind_));
    text += ": ";
    text += message_;
    return text;
}

CodecError unsupported_predictor_id(uint8_t predictor_id) {
    return {ErrorKind::InvalidInput, "Unsupported Predictor ID: " + std::to_string(predictor_id)};
}

CodecError input_too_large() { return {ErrorKind::InvalidInput, "Input too large for a chunk"}; }

CodecError buffer_too_small_for_header() { return {ErrorKind::Other, "Buffer too small for header"}; }

CodecError expansion_detected() { return {ErrorKind::CompressionError, "Expansion detected"}; }

CodecError chunk_too_short() { return {ErrorKind::InvalidData, "Chunk too short"}; }

CodecError version_mismatch(unsigned chunk_version, unsigned library_version) {
    return {ErrorKind::InvalidData, "Version Mismatch: File v" + std::to_string(chunk_version) +
                                        " != Library v" + std::to_string(library_version)};
}

CodecError unknown_codec_mode(unsigned mode) {
    static constexpr char HEX_DIGITS[] = "0123456789abcdef";
    std::string message = "Unknown codec mode: 0x";
    message += HEX_DIGITS[mode & 0xF];
    return {ErrorKind::InvalidData, std::move(message)};
}

CodecError zstd_fallback_chunk() {
    return {ErrorKind::CompressionError, "Zstd fallback chunk - handle externally"};
}

CodecError chunk_too_short_for_neural_header() {
    return {ErrorKind::InvalidData, "Chunk too short for Neural Header"};
}

CodecError split_not_reimplemented() { return {ErrorKind::Other, "Split not reimplemented yet"}; }

}  // namespace zelk
