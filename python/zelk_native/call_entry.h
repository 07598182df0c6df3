// The road of every call and the internal API that
// the function bodies are written against.
//
// The interpreter calls an entry function (module_init.cpp's method table)
// with (module, args tuple, kwargs dict or NULL). The entry function runs the
// function's body inside guarded_call, which
//   - returns the body's result object,
//   - raises the body's PendingError,
//   - turns a zelk::Fault (zelk::fault(...), core/fault.h) into
//     zelk_runtime.InternalFault with the fault's message,
//   - turns std::bad_alloc into MemoryError, and any other C++ exception into
//     InternalFault with its what() text.
// No C++ exception leaves guarded_call.
//
// A body is a function `Expected<Ref> body(const CallArguments&)`. It
//   1. converts its arguments: convert_codec_arguments /
//      convert_matrix_arguments (arguments.h) with its ArgumentSpec below, and
//      returns the error if that fails;
//   2. calls one operation of the library; a CodecError is returned as
//      `codec_error(error)` (errors.h), raised as OSError with its display text;
//   3. builds the result with new_bytes / new_float_list / new_int8_list
//      (these fault with "Python API call failed" if the interpreter cannot
//      make the object) and returns it.
// Internal faults are raised with zelk::fault("text") anywhere in a body.
// All native values must be owned by locals (RAII), so that every path,
// faults and std::bad_alloc included, releases them.
//
// Example (the shape of encode_bytes' body):
//
//     Expected<Ref> encode_bytes_body(const CallArguments& call) {
//         auto arguments = convert_codec_arguments(ENCODE_BYTES_SPEC, call.args, call.kwargs);
//         if (!arguments) return arguments.take_error();
//         const CodecArguments& a = arguments.value();
//         auto chunk = compress_chunk(a.data.span(), a.predictor_id, ...);
//         if (!chunk) return codec_error(chunk.error());
//         return new_bytes(chunk.value());
//     }
#pragma once

#include "arguments.h"
#include "errors.h"
#include "python_api.h"

#include <cstdint>
#include <source_location>
#include <span>
#include <string_view>

namespace zelk::py {

// What the interpreter passed to an entry function (all borrowed).
struct CallArguments {
    PyObject* module;  // the function's bound self: the module object
    PyObject* args;    // the positional tuple
    PyObject* kwargs;  // the keyword dict, or nullptr
};

using Body = Expected<Ref> (*)(const CallArguments&);

// Runs `body` and hands its outcome to the interpreter: a new reference to the
// result, or NULL with the exception set. Never throws.
PyObject* guarded_call(Body body, const CallArguments& call) noexcept;

// ---- The five ArgumentSpec records -----------------------------------------

inline constexpr std::string_view CODEC_PARAMETERS[] = {"data", "predictor_id", "weights"};
inline constexpr std::string_view RESIDUALS_PARAMETERS[] = {"_data", "_predictor_id", "_weights"};
inline constexpr std::string_view MATRIX_PARAMETERS[] = {"data", "rows", "cols", "threshold"};

inline constexpr ArgumentSpec ENCODE_BYTES_SPEC{"encode_bytes", CODEC_PARAMETERS, 1};
inline constexpr ArgumentSpec DECODE_BYTES_SPEC{"decode_bytes", CODEC_PARAMETERS, 1};
inline constexpr ArgumentSpec COMPRESS_ADAPTIVE_SPEC{"compress_adaptive", CODEC_PARAMETERS, 1};
inline constexpr ArgumentSpec GET_RESIDUALS_SPEC{"get_residuals_py", RESIDUALS_PARAMETERS, 1};
inline constexpr ArgumentSpec COMPRESS_MATRIX_SPEC{"compress_matrix_v1", MATRIX_PARAMETERS, 4};

// ---- The five bodies ----------------------------------------------------------

// codec_functions.cpp
Expected<Ref> encode_bytes_body(const CallArguments& call);
Expected<Ref> compress_adaptive_body(const CallArguments& call);
Expected<Ref> decode_bytes_body(const CallArguments& call);
// matrix_function.cpp
Expected<Ref> compress_matrix_v1_body(const CallArguments& call);
// call_entry.cpp
Expected<Ref> get_residuals_py_body(const CallArguments& call);

// ---- Result builders ----------------------------------------------------------
// Each returns a new reference; if the interpreter fails to make the object,
// the pending exception is printed and the call faults with
// "Python API call failed" (never returns an empty Ref).

// A new bytes object with a copy of `bytes` (binding::bytes_object).
Ref new_bytes(std::span<const std::uint8_t> bytes,
              std::source_location where = std::source_location::current());
// A new list of float objects (PyFloat_FromDouble), in order.
Ref new_float_list(std::span<const double> values,
                   std::source_location where = std::source_location::current());
// A new list of int objects, each value sign-extended (PyLong_FromLong).
Ref new_int8_list(std::span<const std::int8_t> values,
                  std::source_location where = std::source_location::current());

}  // namespace zelk::py
