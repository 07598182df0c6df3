// The one place that includes Python.h for both extension modules. Each
// module's build sets its own Py_LIMITED_API (zelk_native: 3.8; zelk._zelk:
// 3.11, or none for older interpreters); this kernel uses only what 3.8's
// limited API has, bar held_buffer.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
