#include "codec_error.h"

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

}  // namespace zelk
