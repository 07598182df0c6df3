// What every function and object of zelk._zelk shares: buffer arguments held
// for the length of a call, the library run without the interpreter lock,
// and its failures turned into exceptions once the lock is back:
//
//   damaged or foreign input (FrameError, a codec refusal) -> zelk.ZelkError
//   a bad argument the library refuses (std::invalid_argument) -> ValueError
//   memory that cannot be had (std::bad_alloc)               -> MemoryError
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"

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

// Sets the exception of `failure` and returns null, for `return raise(...)`.
PyObject* raise(const Failure& failure);
PyObject* to_bytes(const Bytes& bytes);

// PyModule_AddObjectRef, which interpreters before 3.10 lack.
int add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace zelk::python
