// Argument parsing and conversion.
//
// A call body sorts its arguments into parameter slots with
// parse_call_arguments and converts each slot with one extract_* converter.
// Every converter returns the native value or a PendingError that has
// already gone through remap_argument_error with the parameter's name, so a
// body just returns the error:
//
//     auto rows = extract_uint64(slots[1].get(), "rows");
//     if (!rows) return rows.take_error();
//
// The converters may run Python code (__index__, __float__, a sequence's
// iterator); an InternalFault raised there resumes as a zelk::Fault.
//
// Most bodies do not call these directly but use the per-function argument
// bundles below (convert_codec_arguments, convert_matrix_arguments).
#pragma once

#include "base/bytes.h"
#include "errors.h"
#include "python_api.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zelk::py {

// One static record per function.
struct ArgumentSpec {
    std::string_view function_name;
    std::span<const std::string_view> positional_names;  // all may be passed by keyword
    std::size_t required_positional_count;

    std::size_t slot_count() const { return positional_names.size(); }
};

// Parameter slots: one per parameter,
// each empty (the parameter takes its default) or a strong reference to the
// argument object. The call's tuple and dict hold the arguments too, but not
// reliably: Python code run by a conversion (an __index__, a __float__) can
// reach a `f(**kw)` call's keyword dict through gc.get_referrers and replace
// its entries, which would free an argument still to be converted, or one
// whose storage a byte view points into. The slots keep every argument alive
// for as long as they live.
using Slots = std::span<Ref>;

// Sorts (args, kwargs) into `slots` (which must have argspec.slot_count()
// entries, all empty). Fails with the TypeErrors of argument parsing.
Status parse_call_arguments(const ArgumentSpec& argspec, PyObject* args, PyObject* kwargs, Slots slots);

// The converters. extract_bytes gives a view of a bytes object's own storage
// (no copy), valid while the argument object lives, that is for the whole call. `parameter` names the parameter in remapped TypeErrors.
Expected<ByteView> extract_bytes(PyObject* object, std::string_view parameter);
Expected<std::uint8_t> extract_uint8(PyObject* object, std::string_view parameter);
Expected<std::uint64_t> extract_uint64(PyObject* object, std::string_view parameter);
Expected<double> extract_double(PyObject* object, std::string_view parameter);
Expected<std::vector<double>> extract_double_sequence(PyObject* object, std::string_view parameter);

// The remapping step every conversion failure of a parameter goes through:
// an error whose type is exactly TypeError becomes TypeError
// "argument '{parameter}': {str(error)}" carrying the original's __cause__;
// any other error is returned unchanged.
PendingError remap_argument_error(std::string_view parameter, PendingError error);

// ---- Per-function argument bundles ----------------------------------------

// encode_bytes, compress_adaptive, decode_bytes, get_residuals_py:
// (data, predictor_id=0, weights=None), converted in that order.
struct CodecArguments {
    std::array<Ref, 3> slots;  // the argument objects, alive as long as the views into them
    ByteView data;
    std::uint8_t predictor_id = 0;    // 0 when not supplied
    std::optional<ByteView> weights;  // nullopt: empty slot or None; b"" is a view of length 0
};
Expected<CodecArguments> convert_codec_arguments(const ArgumentSpec& argspec, PyObject* args,
                                                 PyObject* kwargs);

// compress_matrix_v1(data, rows, cols, threshold), converted in that order.
struct MatrixArguments {
    std::vector<double> data;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    double threshold = 0.0;
};
Expected<MatrixArguments> convert_matrix_arguments(const ArgumentSpec& argspec, PyObject* args,
                                                   PyObject* kwargs);

}  // namespace zelk::py
