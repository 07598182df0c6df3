// Body of compress_matrix_v1 (Parts 3.2, 4.2). The internal API it uses is
// described in call_entry.h.
//
// TEMPORARY: the arguments are converted exactly as specified; the matrix
// compressor is not built yet, so the body ends in an internal fault.
#include "call_entry.h"

#include <fault.h>

namespace zelk::py {

Expected<Ref> compress_matrix_v1_body(const CallArguments& call) {
    auto arguments = convert_matrix_arguments(COMPRESS_MATRIX_SPEC, call.args, call.kwargs);
    if (!arguments) return arguments.take_error();
    zelk::fault("compress_matrix_v1 is not built yet");
}

}  // namespace zelk::py
