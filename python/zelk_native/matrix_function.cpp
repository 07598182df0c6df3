// Body of compress_matrix_v1: the threshold is converted first, so that a NaN
// or infinite threshold faults even when the shape would not match; the
// coefficients then travel to Python as one list of floats, or an empty list
// when data and shape disagree.
#include "matrix/tensor.h"

#include "call_entry.h"

namespace zelk::py {

Expected<Ref> compress_matrix_v1_body(const CallArguments& call) {
    auto arguments = convert_matrix_arguments(COMPRESS_MATRIX_SPEC, call.args, call.kwargs);
    if (!arguments) return arguments.take_error();
    const MatrixArguments& a = arguments.value();
    const TensorCompressor compressor(a.threshold);
    const auto blocks = compressor.compress(a.data, a.rows, a.cols);
    return new_float_list(blocks.empty() ? std::span<const double>{} : blocks.front());
}

}  // namespace zelk::py
