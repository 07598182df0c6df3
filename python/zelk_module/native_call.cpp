#include "native_call.h"

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>

#include "frame/frame_format.h"

namespace zelk::python {

PyObject* zelk_error = nullptr;

Failure current_failure() {
    try {
        throw;
    } catch (const Failure& earlier) {  // an object's coder broken by it
        return earlier;
    } catch (const FrameError& e) {
        return {zelk_error, e.what()};
    } catch (const std::invalid_argument& e) {
        return {PyExc_ValueError, e.what()};
    } catch (const std::bad_alloc&) {
        return {PyExc_MemoryError, "out of memory"};
    } catch (const std::exception& e) {
        return {PyExc_RuntimeError, e.what()};
    } catch (...) {
        return {PyExc_RuntimeError, "unknown failure in the library"};
    }
}

PyObject* raise(const Failure& failure) {
    PyErr_SetString(failure.type, failure.message.c_str());
    return nullptr;
}

PyObject* to_bytes(const Bytes& bytes) {
    PyObject* object = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes.size()));
    if (!object) return nullptr;
    // The new object is this thread's alone: a long copy into it need not
    // keep other threads waiting for the lock.
    char* target = PyBytes_AsString(object);
    if (bytes.size() < (size_t{1} << 16)) {
        std::copy(bytes.begin(), bytes.end(), target);
    } else {
        Py_BEGIN_ALLOW_THREADS
        std::copy(bytes.begin(), bytes.end(), target);
        Py_END_ALLOW_THREADS
    }
    return object;
}

int add_to_module(PyObject* module, const char* name, PyObject* value) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {  // which takes the reference only on success
        Py_DECREF(value);
        return -1;
    }
    return 0;
}

}  // namespace zelk::python
