// Bodies of encode_bytes, compress_adaptive and decode_bytes (Parts 1.4, 1.5,
// 4.2). The internal API they use is described in call_entry.h.
//
// TEMPORARY: the arguments are converted exactly as specified; the codec
// calls are not built yet, so each body ends in an internal fault.
#include "call_entry.h"

#include <fault.h>

namespace zelk::py {

Expected<Ref> encode_bytes_body(const CallArguments& call) {
    auto arguments = convert_codec_arguments(ENCODE_BYTES_SPEC, call.args, call.kwargs);
    if (!arguments) return arguments.take_error();
    zelk::fault("encode_bytes is not built yet");
}

Expected<Ref> compress_adaptive_body(const CallArguments& call) {
    auto arguments = convert_codec_arguments(COMPRESS_ADAPTIVE_SPEC, call.args, call.kwargs);
    if (!arguments) return arguments.take_error();
    zelk::fault("compress_adaptive is not built yet");
}

Expected<Ref> decode_bytes_body(const CallArguments& call) {
    auto arguments = convert_codec_arguments(DECODE_BYTES_SPEC, call.args, call.kwargs);
    if (!arguments) return arguments.take_error();
    zelk::fault("decode_bytes is not built yet");
}

}  // namespace zelk::py
