#pragma once

#include "native_call.h"

namespace zelk::python {

// Adds the types FrameEncoder and FrameDecoder to the module.
int add_stream_objects(PyObject* module);

}  // namespace zelk::python
