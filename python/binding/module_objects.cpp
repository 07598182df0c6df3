#include "module_objects.h"

#include <algorithm>

namespace zelk::binding {

PyObject* bytes_object(std::span<const uint8_t> bytes) {
    PyObject* object = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes.size()));
    if (!object) return nullptr;
    char* target = PyBytes_AsString(object);
    if (bytes.size() < (size_t{1} << 16)) {
        std::copy(bytes.begin(), bytes.end(), target);
    } else {
        PyThreadState* state = PyEval_SaveThread();
        std::copy(bytes.begin(), bytes.end(), target);
        PyEval_RestoreThread(state);
    }
    return object;
}

int add_module_object(PyObject* module, const char* name, PyObject* value) {
    Py_IncRef(value);
    if (PyModule_AddObject(module, name, value) < 0) {  // which takes the reference only on success
        Py_DecRef(value);
        return -1;
    }
    return 0;
}

}  // namespace zelk::binding
