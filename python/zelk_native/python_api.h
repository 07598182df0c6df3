// The interpreter's API as zelk_native uses it: the binding kernel's, under
// the limited API of CPython 3.8. The build (CMake's USE_SABI 3.8) defines
// Py_LIMITED_API; the check below keeps a build without it from silently
// using API that the abi3 wheel may not rely on.
#pragma once

#include "binding/python_api.h"
#include "binding/ref.h"

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x03080000
#error "zelk_native must be built against the limited API of CPython 3.8"
#endif

namespace zelk::py {
using binding::Ref;
}  // namespace zelk::py
