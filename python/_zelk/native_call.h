// What every function and object of zelk._zelk shares beyond the binding
// kernel: the library's failures turned into exceptions once the lock is
// back, and the conversion of integer arguments.
//
//   input that ends inside a frame (TruncatedFrame)           -> EOFError
//   damaged or foreign input (FrameError, a codec refusal)   -> zelk.ZelkError
//   a bad argument the library refuses (std::invalid_argument) -> ValueError
//   memory that cannot be had (std::bad_alloc)                -> MemoryError
//
// Integer arguments are converted here, never wrapped: a value beyond 64
// bits raises OverflowError, and the library judges the rest
// (resolve_coding_options).
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "binding/held_buffer.h"
#include "binding/module_objects.h"
#include "binding/python_api.h"
#include "binding/without_lock.h"
#include "frame/coding_options.h"
#include "sample/sample_layout.h"

namespace zelk::python {

using Bytes = std::vector<uint8_t>;
using binding::HeldBuffer;

// zelk.ZelkError, created by the module's init and kept for the process.
extern PyObject* zelk_error;

// The failure that ended a call, raised once the lock is back.
struct Failure {
    PyObject* type;
    std::string message;
};

// The failure an exception of the library stands for.
Failure failure_of(std::exception_ptr thrown);

// Runs `work` without the interpreter lock; returns the failure it threw.
template <typename F>
std::optional<Failure> without_lock(F&& work) {
    if (std::exception_ptr thrown = binding::without_lock(std::forward<F>(work))) return failure_of(thrown);
    return std::nullopt;
}

// Sets the exception of `failure` and returns null, for `return raise(...)`.
PyObject* raise(const Failure& failure);
inline PyObject* to_bytes(const Bytes& bytes) { return binding::bytes_object(bytes); }

// An int argument (not a bool) as a signed 64-bit value, or nullopt for
// None when `none_allowed`. False with TypeError or OverflowError set.
bool int_argument(PyObject* object, const char* name, bool none_allowed, std::optional<int64_t>& out);

// The coding options as the caller gave them (None: the library's default;
// long: also False, or True for the library's default window).
bool coding_options(PyObject* level, PyObject* threads, PyObject* block_size, PyObject* memory_limit,
                    PyObject* long_window, CodingOptions& out);

// A max_length argument: None or a negative int for no limit (UINT64_MAX).
bool length_limit(PyObject* object, uint64_t& out);

// The samples' type: a numpy type string ("<i2") or None for bytes of no
// known type, and the array's dimensions after the first (a tuple of ints).
bool sample_layout(PyObject* type_code, PyObject* trailing, std::optional<SampleLayout>& out);

}  // namespace zelk::python
