// Bodies of encode_bytes, compress_adaptive and decode_bytes: the codec
// driven over views of the argument bytes objects' own storage (no copy of
// the input), one copy of the result into the new bytes object, and a
// CodecError raised as OSError with its display text. encode_bytes and
// compress_adaptive are one operation; only the name in argument messages
// differs.
#include "call_entry.h"
#include "stdout_sink.h"

#include "codec/codec.h"

#include <optional>
#include <span>

namespace zelk::py {
namespace {

Expected<Ref> encode_body(const ArgumentSpec& argspec, const CallArguments& call) {
    auto arguments = convert_codec_arguments(argspec, call.args, call.kwargs);
    if (!arguments) return arguments.take_error();
    const CodecArguments& a = arguments.value();
    StdoutSink stdout_sink;
    const auto chunk = compress_chunk(a.data, a.predictor_id, a.weights, stdout_sink);
    if (!chunk) return codec_error(chunk.error());
    return new_bytes(chunk.value());
}

}  // namespace

Expected<Ref> encode_bytes_body(const CallArguments& call) { return encode_body(ENCODE_BYTES_SPEC, call); }

Expected<Ref> compress_adaptive_body(const CallArguments& call) {
    return encode_body(COMPRESS_ADAPTIVE_SPEC, call);
}

Expected<Ref> decode_bytes_body(const CallArguments& call) {
    auto arguments = convert_codec_arguments(DECODE_BYTES_SPEC, call.args, call.kwargs);
    if (!arguments) return arguments.take_error();
    const CodecArguments& a = arguments.value();
    const auto bytes = decode_chunk(a.data, a.predictor_id, a.weights);
    if (!bytes) return codec_error(bytes.error());
    return new_bytes(bytes.value());
}

}  // namespace zelk::py
