#include "native_call.h"

#include <exception>
#include <new>
#include <stdexcept>

#include "binding/ref.h"
#include "frame/frame_format.h"

namespace zelk::python {

PyObject* zelk_error = nullptr;

Failure failure_of(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const Failure& earlier) {  // an object's coder broken by it
        return earlier;
    } catch (const TruncatedFrame& e) {
        return {PyExc_EOFError, e.what()};
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

bool int_argument(PyObject* object, const char* name, bool none_allowed, std::optional<int64_t>& out) {
    if (object == Py_None && none_allowed) {
        out.reset();
        return true;
    }
    if (!PyLong_Check(object) || PyBool_Check(object)) {
        const binding::Ref type_name = binding::Ref::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
        if (type_name) PyErr_Format(PyExc_TypeError, "%s must be an int, not %U", name, type_name.get());
        return false;
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Format(PyExc_OverflowError, "%s is too large (more than 64 bits)", name);
        return false;
    }
    out = value;
    return true;
}

bool coding_options(PyObject* level, PyObject* threads, PyObject* block_size, PyObject* memory_limit,
                    CodingOptions& out) {
    std::optional<int64_t> thread_count;
    if (!int_argument(level, "level", true, out.level) || !int_argument(threads, "threads", false, thread_count) ||
        !int_argument(block_size, "block_size", true, out.block_size) ||
        !int_argument(memory_limit, "memory_limit", true, out.memory_limit)) {
        return false;
    }
    out.threads = *thread_count;
    return true;
}

bool length_limit(PyObject* object, uint64_t& out) {
    std::optional<int64_t> value;
    if (!int_argument(object, "max_length", true, value)) return false;
    out = value && *value >= 0 ? static_cast<uint64_t>(*value) : UINT64_MAX;
    return true;
}

PyObject* raise(const Failure& failure) {
    PyErr_SetString(failure.type, failure.message.c_str());
    return nullptr;
}

}  // namespace zelk::python
