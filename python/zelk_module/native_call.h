// What every function and object of zelk._zelk shares: buffer arguments held
// for the length of a call, the library run without the interpreter lock,
// and its failures turned into exceptions once the lock is back:
//
//   input that ends inside a frame (TruncatedFrame)         -> EOFError
//   damaged or foreign input (FrameError, a codec refusal) -> zelk.ZelkError
//   a bad argument the library refuses (std::invalid_argument) -> ValueError
//   memory that cannot be had (std::bad_alloc)               -> MemoryError
//
// Integer arguments are converted here, never wrapped: a value beyond 64
// bits raises OverflowError, and the library judges the rest
// (resolve_coding_options).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "frame/coding_options.h"

namespace zelk::python {

using Bytes = std::vector<uint8_t>;

// zelk.ZelkError, created by the module's init and kept for the process.
extern PyObject* zelk_error;

// A buffer argument (parsed with "y*"), released when the call ends.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    Py_buffer* out() {
        held_ = true;
        return &view_;
    }
    ByteView bytes() const { return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The failure that ended a call, raised once the lock is back.
struct Failure {
    PyObject* type;
    std::string message;
};

// The failure the current exception stands for (called in a catch block).
Failure current_failure();

// Runs `work` (which must not touch Python objects) without the interpreter
// lock; returns the failure it threw.
template <typename F>
std::optional<Failure> without_lock(F&& work) {
    std::optional<Failure> failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        failure = current_failure();
    }
    PyEval_RestoreThread(state);
    return failure;
}

// An int argument (not a bool) as a signed 64-bit value, or nullopt for
// None when `none_allowed`. False with TypeError or OverflowError set.
bool int_argument(PyObject* object, const char* name, bool none_allowed, std::optional<int64_t>& out);

// The coding options as the caller gave them (None: the library's default).
bool coding_options(PyObject* level, PyObject* threads, PyObject* block_size, PyObject* memory_limit,
                    CodingOptions& out);

// A max_length argument: None or a negative int for no limit (UINT64_MAX).
bool length_limit(PyObject* object, uint64_t& out);

// Sets the exception of `failure` and returns null, for `return raise(...)`.
PyObject* raise(const Failure& failure);
PyObject* to_bytes(const Bytes& bytes);

// PyModule_AddObjectRef, which interpreters before 3.10 lack.
int add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace zelk::python
