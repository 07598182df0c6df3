// Argument parsing and conversion.
#include "arguments.h"

#include "base/fault.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

namespace zelk::py {

namespace {

// ---- messages ---------------------------------------------------------------------

std::string full_name(const ArgumentSpec& argspec) {
    return std::string(argspec.function_name) + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
void push_parameter_list(std::string& message, const std::vector<std::string_view>& names) {
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) {
            if (count > 2) message += ',';
            message += (i == count - 1) ? " and " : " ";
        }
        message += '\'';
        message += names[i];
        message += '\'';
    }
}

PendingError type_error(std::string message) {
    return PendingError::deferred(PyExc_TypeError, std::move(message));
}

PendingError too_many_positional(const ArgumentSpec& argspec, std::size_t given) {
    const char* was = given == 1 ? "was" : "were";
    const std::size_t count = argspec.positional_names.size();
    std::string message = full_name(argspec);
    if (argspec.required_positional_count != count) {
        message += " takes from " + std::to_string(argspec.required_positional_count) + " to " +
                   std::to_string(count) + " positional arguments but " + std::to_string(given) + " " +
                   was + " given";
    } else {
        message += " takes " + std::to_string(count) + " positional arguments but " +
                   std::to_string(given) + " " + was + " given";
    }
    return type_error(std::move(message));
}

PendingError multiple_values(const ArgumentSpec& argspec, std::string_view parameter) {
    return type_error(full_name(argspec) + " got multiple values for argument '" + std::string(parameter) +
                      "'");
}

PendingError missing_arguments(const ArgumentSpec& argspec, const std::vector<std::string_view>& names) {
    std::string message = full_name(argspec) + " missing " + std::to_string(names.size()) +
                          " required positional " + (names.size() == 1 ? "argument" : "arguments") + ": ";
    push_parameter_list(message, names);
    return type_error(std::move(message));
}

// ---- extract_double_sequence fast paths -----------------------------------------------
// Each gives exactly the values of the general path or declines (nullopt)
// without any effect visible to Python, so that the general path can start
// from scratch.

// A list or tuple (exact types) whose items are all exact floats: reading
// them runs no Python code, so the sequence cannot change under us and
// PyFloat_AsDouble cannot fail.
std::optional<std::vector<double>> exact_float_items(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    const bool is_list = type == &PyList_Type;
    if (!is_list && type != &PyTuple_Type) return std::nullopt;
    const Py_ssize_t count = is_list ? PyList_Size(object) : PyTuple_Size(object);
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i);
        if (Py_TYPE(item) != &PyFloat_Type) return std::nullopt;
        values.push_back(PyFloat_AsDouble(item));
    }
    return values;
}

bool str_equals(PyObject* object, std::string_view expected) {
    if (!object || !PyUnicode_Check(object)) return false;
    auto text = utf8_text(object);
    return text && *text == expected;
}

// A NumPy float64 array, one-dimensional and C-contiguous, of the genuine
// numpy.ndarray type (not a subclass, which could override
// __array_interface__): its elements are copied straight from the array's
// storage. The general path would iterate it and read each numpy.float64
// scalar (a float subclass) with PyFloat_AsDouble, which gives the same bits.
//
// Safety: the type is a static (non-heap) type whose metatype is exactly
// `type`, named numpy.ndarray: such a type can only come from a C extension
// module, not from Python code, so the attribute lookups below run NumPy's
// own C getters and no user code. The array is kept alive by the call's
// argument reference, and no Python code runs between reading the data
// pointer and copying the elements, so the storage cannot be freed or
// resized meanwhile.
std::optional<std::vector<double>> numpy_float64_items(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (Py_TYPE(type) != &PyType_Type) return std::nullopt;
    if (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_HEAPTYPE) return std::nullopt;
    {
        Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
        if (!name) return (void)PendingError::take(), std::nullopt;
        if (!str_equals(name.get(), "ndarray")) return std::nullopt;
        Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
        if (!module) return (void)PendingError::take(), std::nullopt;
        if (!str_equals(module.get(), "numpy")) return std::nullopt;
    }
    Ref interface = Ref::steal(PyObject_GetAttrString(object, "__array_interface__"));
    if (!interface) return (void)PendingError::take(), std::nullopt;
    if (!PyDict_Check(interface.get())) return std::nullopt;
    PyObject* dict = interface.get();
    constexpr std::string_view native_float64 = std::endian::native == std::endian::little ? "<f8" : ">f8";
    if (!str_equals(PyDict_GetItemString(dict, "typestr"), native_float64)) return std::nullopt;
    PyObject* strides = PyDict_GetItemString(dict, "strides");
    if (strides != Py_None) return std::nullopt;  // absent, or not C-contiguous
    PyObject* shape = PyDict_GetItemString(dict, "shape");
    if (!shape || !PyTuple_Check(shape) || PyTuple_Size(shape) != 1) return std::nullopt;
    PyObject* length_object = PyTuple_GetItem(shape, 0);
    if (!PyLong_Check(length_object)) return std::nullopt;
    const Py_ssize_t length = PyLong_AsSsize_t(length_object);
    if (length < 0) return (void)PendingError::take(), std::nullopt;
    PyObject* data = PyDict_GetItemString(dict, "data");
    if (!data || !PyTuple_Check(data) || PyTuple_Size(data) != 2) return std::nullopt;
    PyObject* address_object = PyTuple_GetItem(data, 0);
    if (!PyLong_Check(address_object)) return std::nullopt;
    void* address = PyLong_AsVoidPtr(address_object);
    if (!address && PyErr_Occurred()) return (void)PendingError::take(), std::nullopt;
    if (PyDict_GetItemString(dict, "mask") || PyDict_GetItemString(dict, "offset")) return std::nullopt;
    std::vector<double> values(static_cast<std::size_t>(length));
    if (length > 0) {
        if (!address) return std::nullopt;
        std::memcpy(values.data(), address, values.size() * sizeof(double));
    }
    return values;
}

// The general path, steps 1 to 4 (not remapped).
Expected<std::vector<double>> extract_double_sequence_general(PyObject* object) {
    if (PyUnicode_Check(object)) return type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) return PendingError::type_mismatch(object, "Sequence");
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        (void)PendingError::take();
        hint = 0;
    }
    std::vector<double> values;
    // The size is only a hint: a sequence may claim any length.
    values.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), std::size_t{1} << 20));
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return PendingError::take();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) return PendingError::take();
        values.push_back(value);
    }
    if (PyErr_Occurred()) return PendingError::take();
    return values;
}

}  // namespace

// ---- parse_call_arguments ---------------------------------------------------------

Status parse_call_arguments(const ArgumentSpec& argspec, PyObject* args, PyObject* kwargs, Slots slots) {
    if (slots.size() != argspec.slot_count()) zelk::fault("parameter slot count does not match the ArgumentSpec");
    const std::size_t positional = argspec.positional_names.size();
    const std::size_t given = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;

    // 1. Slots from the tuple.
    for (std::size_t i = 0; i < std::min(given, positional); ++i) {
        slots[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }
    // 2. Too many positional arguments.
    if (given > positional) return too_many_positional(argspec, given);

    // 3. Keywords, in the dict's own order.
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::optional<std::string> text;
            if (PyUnicode_Check(key)) text = utf8_text(key);
            bool recognised = false;
            if (text) {
                for (std::size_t i = 0; i < positional; ++i) {
                    if (argspec.positional_names[i] == *text) {
                        if (slots[i]) return multiple_values(argspec, argspec.positional_names[i]);
                        slots[i] = Ref::borrow(value);
                        recognised = true;
                        break;
                    }
                }
            }
            // Unrecognised.
            if (!recognised) {
                return type_error(full_name(argspec) + " got an unexpected keyword argument '" +
                                  display_object(key) + "'");
            }
        }
    }

    // 4. Missing required parameters.
    const std::size_t required = argspec.required_positional_count;
    if (given < required) {
        std::vector<std::string_view> missing;
        for (std::size_t i = 0; i < required; ++i) {
            if (!slots[i]) missing.push_back(argspec.positional_names[i]);
        }
        if (!missing.empty()) return missing_arguments(argspec, missing);
    }
    return ok_status();
}

// ---- converters ---------------------------------------------------------------------

PendingError remap_argument_error(std::string_view parameter, PendingError error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* value = error.normalized_value();
    std::string message = "argument '" + std::string(parameter) + "': " + display_object(value);
    Ref cause = Ref::steal(PyException_GetCause(value));
    PendingError remapped = PendingError::deferred(PyExc_TypeError, std::move(message));
    PyException_SetCause(remapped.normalized_value(), cause.release());  // steals the cause
    return remapped;
}

Expected<ByteView> extract_bytes(PyObject* object, std::string_view parameter) {
    if (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS) {
        char* data = PyBytes_AsString(object);
        const Py_ssize_t size = PyBytes_Size(object);
        if (!data || size < 0) api_call_failed();
        return ByteView{reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
    }
    return remap_argument_error(parameter, PendingError::type_mismatch(object, "PyBytes"));
}

namespace {

// extract_uint8 / extract_uint64 steps 1 and 2: read an int (or the result of
// __index__) with `read`; `invalid` is the value that may signal an error.
template <typename T, typename Read>
Expected<T> read_integer(PyObject* object, Read read, T invalid) {
    T value;
    if (PyLong_Check(object)) {
        value = read(object);
    } else {
        Ref index = Ref::steal(PyNumber_Index(object));
        if (!index) return PendingError::take();
        value = read(index.get());
    }
    if (value == invalid && PyErr_Occurred()) return PendingError::take();
    return value;
}

}  // namespace

Expected<std::uint8_t> extract_uint8(PyObject* object, std::string_view parameter) {
    Expected<long> value = read_integer<long>(object, [](PyObject* o) { return PyLong_AsLong(o); }, -1L);
    if (!value) return remap_argument_error(parameter, value.take_error());
    if (value.value() < 0 || value.value() > 255) {
        return remap_argument_error(parameter, PendingError::deferred(PyExc_OverflowError,
                                                                      "out of range integral type "
                                                                      "conversion attempted"));
    }
    return static_cast<std::uint8_t>(value.value());
}

Expected<std::uint64_t> extract_uint64(PyObject* object, std::string_view parameter) {
    Expected<unsigned long long> value = read_integer<unsigned long long>(
        object, [](PyObject* o) { return PyLong_AsUnsignedLongLong(o); }, ~0ULL);
    if (!value) return remap_argument_error(parameter, value.take_error());
    return static_cast<std::uint64_t>(value.value());
}

Expected<double> extract_double(PyObject* object, std::string_view parameter) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return remap_argument_error(parameter, PendingError::take());
    return value;
}

Expected<std::vector<double>> extract_double_sequence(PyObject* object, std::string_view parameter) {
    if (auto values = exact_float_items(object)) return std::move(*values);
    if (auto values = numpy_float64_items(object)) return std::move(*values);
    auto values = extract_double_sequence_general(object);
    if (!values) return remap_argument_error(parameter, values.take_error());
    return values;
}

// ---- per-function bundles -------------------------------------------------------------

Expected<CodecArguments> convert_codec_arguments(const ArgumentSpec& argspec, PyObject* args,
                                                 PyObject* kwargs) {
    if (argspec.positional_names.size() != 3) {
        zelk::fault("convert_codec_arguments needs a (data, predictor_id, weights) argspec");
    }
    CodecArguments converted;
    std::array<Ref, 3>& slots = converted.slots;
    Status parsed = parse_call_arguments(argspec, args, kwargs, slots);
    if (!parsed) return parsed.take_error();

    auto data = extract_bytes(slots[0].get(), argspec.positional_names[0]);
    if (!data) return data.take_error();
    converted.data = data.value();
    if (slots[1]) {
        auto predictor_id = extract_uint8(slots[1].get(), argspec.positional_names[1]);
        if (!predictor_id) return predictor_id.take_error();
        converted.predictor_id = predictor_id.value();
    }
    if (slots[2] && slots[2].get() != Py_None) {
        auto weights = extract_bytes(slots[2].get(), argspec.positional_names[2]);
        if (!weights) return weights.take_error();
        converted.weights = weights.value();
    }
    return converted;
}

Expected<MatrixArguments> convert_matrix_arguments(const ArgumentSpec& argspec, PyObject* args,
                                                   PyObject* kwargs) {
    if (argspec.positional_names.size() != 4) {
        zelk::fault("convert_matrix_arguments needs a (data, rows, cols, threshold) argspec");
    }
    std::array<Ref, 4> slots;
    Status parsed = parse_call_arguments(argspec, args, kwargs, slots);
    if (!parsed) return parsed.take_error();

    MatrixArguments converted;
    auto data = extract_double_sequence(slots[0].get(), argspec.positional_names[0]);
    if (!data) return data.take_error();
    converted.data = std::move(data).value();
    auto rows = extract_uint64(slots[1].get(), argspec.positional_names[1]);
    if (!rows) return rows.take_error();
    converted.rows = rows.value();
    auto cols = extract_uint64(slots[2].get(), argspec.positional_names[2]);
    if (!cols) return cols.take_error();
    converted.cols = cols.value();
    auto threshold = extract_double(slots[3].get(), argspec.positional_names[3]);
    if (!threshold) return threshold.take_error();
    converted.threshold = threshold.value();
    return converted;
}

}  // namespace zelk::py
