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
                    PyObject* long_window, CodingOptions& out) {
    std::optional<int64_t> thread_count;
    if (!int_argument(level, "level", true, out.level) || !int_argument(threads, "threads", false, thread_count) ||
        !int_argument(block_size, "block_size", true, out.block_size) ||
        !int_argument(memory_limit, "memory_limit", true, out.memory_limit)) {
        return false;
    }
    out.threads = *thread_count;
    // long: False or None for none, True for the default window, or its log.
    if (long_window == Py_True) out.long_window = DEFAULT_LONG_WINDOW_LOG;
    else if (long_window != Py_False && !int_argument(long_window, "long", true, out.long_window)) return false;
    return true;
}

bool length_limit(PyObject* object, uint64_t& out) {
    std::optional<int64_t> value;
    if (!int_argument(object, "max_length", true, value)) return false;
    out = value && *value >= 0 ? static_cast<uint64_t>(*value) : UINT64_MAX;
    return true;
}

bool sample_layout(PyObject* type_code, PyObject* trailing, std::optional<SampleLayout>& out) {
    if (type_code == Py_None) return true;
    const char* name = PyUnicode_Check(type_code) ? PyUnicode_AsUTF8AndSize(type_code, nullptr) : nullptr;
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "dtype must be a numpy type string");
        return false;
    }
    const auto type = parse_numpy_type(name);
    if (!type) {
        PyErr_Format(PyExc_ValueError, "zelk codes samples of int8 to int64, uint8 to uint64, float32 and float64, "
                                       "not '%s'", name);
        return false;
    }
    std::vector<uint64_t> dimensions;
    const Py_ssize_t count = PyTuple_Check(trailing) ? PyTuple_Size(trailing) : -1;
    if (count < 0 || static_cast<size_t>(count) > MAX_TRAILING_DIMENSIONS) {
        PyErr_Format(PyExc_ValueError, "zelk codes arrays of 1 to %d dimensions", int{MAX_TRAILING_DIMENSIONS} + 1);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::optional<int64_t> dimension;
        if (!int_argument(PyTuple_GetItem(trailing, i), "a dimension", false, dimension)) return false;
        dimensions.push_back(static_cast<uint64_t>(*dimension));
    }
    SampleLayout layout = array_layout(type->first, type->second, std::move(dimensions));
    try {
        check_layout(layout);
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return false;
    }
    out = std::move(layout);
    return true;
}

PyObject* raise(const Failure& failure) {
    PyErr_SetString(failure.type, failure.message.c_str());
    return nullptr;
}

}  // namespace zelk::python
