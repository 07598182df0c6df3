// Error mapping: the pending error that carries a
// failure to the call boundary, the InternalFault type, and the helpers that
// turn each kind of failure into one.
//
// Three kinds of failure end a call:
//   1. a codec refusal (zelk::CodecError)   -> codec_error(e): deferred OSError
//      with e.display() as its text;
//   2. an argument or interpreter error      -> a PendingError (deferred, or
//      taken from the interpreter with PendingError::take());
//   3. an internal fault                     -> zelk::fault("message") from
//      core/fault.h: writes the fault report to stderr and throws zelk::Fault,
//      which only guarded_call (call_entry.h) catches and raises as
//      zelk_runtime.InternalFault(message).
//
// Rules for code running inside a call body:
//   * Never leave a Python exception set when returning normally or with a
//     PendingError: after a failed API call either take it
//     (PendingError::take()) or, for calls that must not fail, call
//     api_call_failed(), which prints it and faults.
//   * Never raise into the interpreter yourself; return the PendingError and
//     let guarded_call raise it.
#pragma once

#include "python_api.h"

#include "base/expected.h"
#include "codec/codec_error.h"

#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace zelk::py {

// An exception not yet handed to the interpreter. Move-only.
//
// Forms:
//   deferred - an exception type and a recipe for its value (a message text;
//              a 1-tuple of the text for InternalFault; or, for a
//              type-mismatch error, the argument's type and the target name,
//              formatted only when the error is raised). The exception object
//              is created only when the error is raised.
//   taken    - type, value and traceback fetched from the interpreter.
class [[nodiscard]] PendingError {
public:
    // Deferred error of `type` (a borrowed exception type such as
    // PyExc_TypeError) whose value is the str `message` (UTF-8).
    static PendingError deferred(PyObject* type, std::string message);
    // Deferred TypeError "'{type.__qualname__}' object cannot be converted to '{target}'".
    static PendingError type_mismatch(PyObject* object, std::string_view target);
    // Deferred zelk_runtime.InternalFault(message).
    static PendingError internal_fault(std::string message);

    // Takes the interpreter's pending exception (PyErr_Fetch). If none is
    // pending: the deferred SystemError "attempted to fetch exception but none
    // was set". If it is an InternalFault coming back from Python code: writes
    // the resume header and the traceback to stderr and throws zelk::Fault with
    // the exception's str() (the internal fault goes on; never returns then).
    static PendingError take();

    PendingError(PendingError&&) noexcept = default;
    PendingError& operator=(PendingError&&) noexcept = default;

    // The exception type (borrowed).
    PyObject* type() const;

    // Creates the exception object if needed and returns it (borrowed); the
    // error is in taken form afterwards. Faults if the value cannot be made.
    PyObject* normalized_value();

    // Hands the error to the interpreter as its pending exception. Only
    // guarded_call and the module's init function do this.
    void raise() &&;

private:
    struct Message {
        std::string text;
    };
    struct FaultMessage {
        std::string text;
    };
    struct TypeMismatch {
        Ref from_type;
        std::string target;
    };
    struct Taken {
        Ref type, value, traceback;
    };
    struct Deferred {
        Ref type;
        std::variant<Message, FaultMessage, TypeMismatch> recipe;
    };

    explicit PendingError(Deferred d) : state_(std::move(d)) {}
    explicit PendingError(Taken t) : state_(std::move(t)) {}

    std::variant<Deferred, Taken> state_;
};

// Either a value or a PendingError: what argument conversions and call bodies
// return. The library's result type, carrying a Python exception.
template <typename T>
using Expected = zelk::Expected<T, PendingError>;

// Success without a value, for steps such as parse_call_arguments.
struct Done {};
using Status = Expected<Done>;
inline Status ok_status() { return Done{}; }

// A codec refusal as the deferred OSError (PyExc_OSError, the same object as
// PyExc_IOError) carrying error.display(), e.g. "InvalidData: Chunk too short".
PendingError codec_error(const CodecError& error);

// For interpreter calls that must not fail (creating a bytes, str, int,
// float, list or tuple object): prints the pending exception with its
// traceback (PyErr_Print, which clears it) and faults with
// "Python API call failed".
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

// The zelk_runtime.InternalFault type (borrowed), created on first need.
// Faults if it cannot be created.
PyObject* internal_fault_type();

// str(object) as UTF-8 (lossy: unencodable characters become U+FFFD); if
// str() fails, that failure is reported with PyErr_WriteUnraisable and the
// text is "<unprintable {type.__name__} object>" or "<unprintable object>".
// Leaves no exception set.
std::string display_object(PyObject* object);

// The UTF-8 text of a str object, or nullopt (no exception left set) if it
// cannot be encoded.
std::optional<std::string> utf8_text(PyObject* str);

// A new str object from UTF-8 text; a failure goes to api_call_failed().
Ref new_str(std::string_view text, std::source_location where = std::source_location::current());

}  // namespace zelk::py
