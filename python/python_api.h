// The one place that includes Python.h. The build (CMake's USE_SABI 3.8)
// defines Py_LIMITED_API; the check below keeps a build without it from
// silently using API that the abi3 wheel may not rely on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x03080000
#error "zelk_native must be built against the limited API of CPython 3.8"
#endif
