// Objects both modules make: bytes results and module attributes.
#pragma once

#include <cstdint>
#include <span>

#include "python_api.h"

namespace zelk::binding {

// A new bytes object holding a copy of `bytes`, or null with the exception
// set. A long copy runs without the interpreter lock: the new object is
// this thread's alone until it is returned.
PyObject* bytes_object(std::span<const uint8_t> bytes);

// Sets the module attribute `name` to a new reference to `value`
// (PyModule_AddObjectRef, which interpreters before 3.10 lack); -1 with the
// exception set on failure.
int add_module_object(PyObject* module, const char* name, PyObject* value);

}  // namespace zelk::binding
