// zelk._zelk: the native part of the zelk package. Built against the stable
// ABI of CPython 3.11, the first whose limited API has the buffer protocol,
// and for older interpreters against their own.
// Any object with the buffer protocol is accepted (held, not copied, while
// a call runs) and the interpreter lock is released around all coding.
#include "frame/frame_format.h"
#include "frame/coding_options.h"
#include "matrix_functions.h"
#include "native_call.h"
#include "one_shot.h"
#include "stream_objects.h"

namespace {

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "zelk._zelk", "The native part of the zelk package.", -1,
                      zelk::python::ONE_SHOT_FUNCTIONS, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__zelk() {
    using zelk::python::zelk_error;
    PyObject* module = PyModule_Create(&MODULE);
    if (!module) return nullptr;
    if (!zelk_error) {
        zelk_error = PyErr_NewExceptionWithDoc("zelk.ZelkError", "Damaged or foreign compressed data.",
                                               PyExc_Exception, nullptr);
    }
    if (!zelk_error || zelk::python::add_to_module(module, "ZelkError", zelk_error) < 0 ||
        PyModule_AddIntConstant(module, "MIN_LEVEL", zelk::MIN_LEVEL) < 0 ||
        PyModule_AddIntConstant(module, "MAX_LEVEL", zelk::MAX_LEVEL) < 0 ||
        PyModule_AddIntConstant(module, "DEFAULT_LEVEL", zelk::DEFAULT_LEVEL) < 0 ||
        PyModule_AddIntConstant(module, "MAX_BLOCK_SIZE", zelk::MAX_BLOCK_SIZE) < 0 ||
        PyModule_AddIntConstant(module, "MAX_THREADS", zelk::MAX_THREADS) < 0 ||
        PyModule_AddFunctions(module, zelk::python::MATRIX_FUNCTIONS) < 0 ||
        zelk::python::add_stream_objects(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
