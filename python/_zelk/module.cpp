// zelk._zelk: the native part of the zelk package. Built against the stable
// ABI of CPython 3.11, the first whose limited API has the buffer protocol,
// and for older interpreters against their own.
// Any object with the buffer protocol is accepted (held, not copied, while
// a call runs) and the interpreter lock is released around all coding.
#include "binding/ref.h"
#include "frame/coding_options.h"
#include "frame/frame_format.h"
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
    zelk::binding::Ref module = zelk::binding::Ref::steal(PyModule_Create(&MODULE));
    if (!module) return nullptr;
    if (!zelk_error) {
        zelk_error = PyErr_NewExceptionWithDoc("zelk.ZelkError", "Damaged or foreign compressed data.",
                                               PyExc_Exception, nullptr);
    }
    PyObject* m = module.get();
    // The bounds the library checks, for the package's documentation and callers.
    if (!zelk_error || zelk::binding::add_module_object(m, "ZelkError", zelk_error) < 0 ||
        PyModule_AddIntConstant(m, "MIN_LEVEL", zelk::MIN_LEVEL) < 0 ||
        PyModule_AddIntConstant(m, "MAX_LEVEL", zelk::MAX_LEVEL) < 0 ||
        PyModule_AddIntConstant(m, "DEFAULT_LEVEL", zelk::DEFAULT_LEVEL) < 0 ||
        PyModule_AddIntConstant(m, "MAX_BLOCK_SIZE", zelk::MAX_BLOCK_SIZE) < 0 ||
        PyModule_AddIntConstant(m, "MAX_THREADS", zelk::MAX_THREADS) < 0 ||
        PyModule_AddStringConstant(m, "VERSION", ZELK_VERSION) < 0 ||
        PyModule_AddFunctions(m, zelk::python::MATRIX_FUNCTIONS) < 0 || zelk::python::add_stream_objects(m) < 0) {
        return nullptr;
    }
    return module.release();
}
