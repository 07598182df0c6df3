// Runs library work with the interpreter lock released, so that other
// Python threads go on meanwhile. The work must not touch Python objects.
// What it throws is caught and handed back, for the module to turn into its
// exception once the lock is held again.
#pragma once

#include <exception>

#include "python_api.h"

namespace zelk::binding {

template <typename F>
std::exception_ptr without_lock(F&& work) {
    std::exception_ptr thrown;
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        thrown = std::current_exception();
    }
    PyEval_RestoreThread(state);
    return thrown;
}

}  // namespace zelk::binding
