// Module definition and initialisation: PyInit_zelk_native, the
// module definition, the method table and module_add.
#include "call_entry.h"

#include "base/fault.h"

#include <string>

namespace zelk::py {

namespace {

constexpr const char* MODULE_NAME = "zelk_native";
constexpr const char* MODULE_DOC = "ZELK native extension module exported to Python.";
constexpr const char* VERSION = "21.0.0";
constexpr const char* SECOND_INIT_MESSAGE =
    "Native modules compiled for CPython 3.8 or older may only be initialized once per interpreter "
    "process";

// Entry functions: tuple-and-dict calling convention.
template <Body body>
PyObject* entry(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded_call(body, CallArguments{module, args, kwargs});
}

template <Body body>
PyCFunction as_pycfunction() {
    // Through void(*)(): the documented way to store a METH_KEYWORDS function.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<body>));
}

// The method records live for the life of the process, as the function objects do.
PyMethodDef METHODS[] = {
    {"encode_bytes", as_pycfunction<encode_bytes_body>(), METH_VARARGS | METH_KEYWORDS,
     "encode_bytes(data, predictor_id=0, weights=None)\n--\n\n"},
    {"decode_bytes", as_pycfunction<decode_bytes_body>(), METH_VARARGS | METH_KEYWORDS,
     "decode_bytes(data, predictor_id=0, weights=None)\n--\n\n"},
    {"compress_adaptive", as_pycfunction<compress_adaptive_body>(), METH_VARARGS | METH_KEYWORDS,
     "compress_adaptive(data, predictor_id=0, weights=None)\n--\n\n"},
    {"get_residuals_py", as_pycfunction<get_residuals_py_body>(), METH_VARARGS | METH_KEYWORDS,
     "get_residuals_py(_data, _predictor_id=0, _weights=None)\n--\n\n"},
    {"compress_matrix_v1", as_pycfunction<compress_matrix_v1_body>(), METH_VARARGS | METH_KEYWORDS,
     "compress_matrix_v1(data, rows, cols, threshold)\n--\n\n"},
};

PyModuleDef MODULE_DEFINITION = {
    PyModuleDef_HEAD_INIT,
    MODULE_NAME,
    MODULE_DOC,
    0,        // per-module state size
    nullptr,  // method table: the functions are added by the initialiser
    nullptr,  // slots
    nullptr,  // traverse
    nullptr,  // clear
    nullptr,  // free
};

// The process-wide cell: a strong reference to the module, and its once-flag.
// Written once, under the GIL; never emptied.
PyObject* module_cell = nullptr;
bool module_cell_filled = false;

// The error text of a taken error, for fault messages.
std::string describe(PendingError& error) {
    PyObject* value = error.normalized_value();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    std::string text;
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        if (auto utf8 = utf8_text(name.get())) text = *utf8;
    } else if (!name) {
        (void)PendingError::take();
    }
    if (text.empty()) text = "<unknown exception type>";
    return text + ": " + display_object(value);
}

// Adds `name` to the module's __all__ and sets the attribute `name` to `value`.
Status module_add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PendingError error = PendingError::take();
        if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return error;
        all = Ref::steal(PyList_New(0));
        if (!all) api_call_failed();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return PendingError::take();
    } else if (!PyList_Check(all.get())) {
        return PendingError::type_mismatch(all.get(), "PyList");
    }
    if (PyList_Append(all.get(), name) < 0) {
        PendingError error = PendingError::take();
        zelk::fault("could not append __name__ to __all__: " + describe(error));
    }
    if (PyObject_SetAttr(module, name, value) < 0) return PendingError::take();
    return ok_status();
}

Status add_function(PyObject* module, PyMethodDef* method) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return PendingError::take();
    Ref function = Ref::steal(PyCFunction_NewEx(method, module, module_name.get()));
    if (!function) return PendingError::take();
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return PendingError::take();
    if (!PyUnicode_Check(name.get())) return PendingError::type_mismatch(name.get(), "PyString");
    return module_add(module, name.get(), function.get());
}

Status initialise(PyObject* module) {
    for (PyMethodDef& method : METHODS) {
        Status added = add_function(module, &method);
        if (!added) return added;
    }
    Ref name = new_str("__version__");
    Ref version = new_str(VERSION);
    return module_add(module, name.get(), version.get());
}

Expected<Ref> create_module_once(const CallArguments&) {
    // 1. Only once per process.
    if (module_cell_filled) return PendingError::deferred(PyExc_ImportError, SECOND_INIT_MESSAGE);
    // 2. The module object.
    Ref module = Ref::steal(PyModule_Create2(&MODULE_DEFINITION, 3));
    if (!module) return PendingError::take();
    // 3, 4. The attributes; on failure the half-built module is released.
    Status initialised = initialise(module.get());
    if (!initialised) return initialised.take_error();
    // 5. Fill the cell (unless it was filled meanwhile: then keep that module).
    if (!module_cell_filled) {
        module_cell = module.release();
        module_cell_filled = true;
    }
    // 6. A new reference to the module in the cell.
    return Ref::borrow(module_cell);
}

}  // namespace

}  // namespace zelk::py

PyMODINIT_FUNC PyInit_zelk_native(void) {
    return zelk::py::guarded_call(&zelk::py::create_module_once,
                                  zelk::py::CallArguments{nullptr, nullptr, nullptr});
}
