// The call boundary: guarded_call, the result builders and the
// body of get_residuals_py.
#include "call_entry.h"

#include "base/fault.h"
#include "binding/module_objects.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <vector>

namespace zelk::py {

namespace {

// Raises InternalFault(message). A fault while doing so cannot be turned into
// an exception any more: the process reports it and aborts.
PyObject* raise_internal_fault(const std::string& message) noexcept {
    try {
        if (PyErr_Occurred()) PyErr_Clear();
        PendingError::internal_fault(message).raise();
    } catch (...) {
        std::fprintf(stderr,
                     "fatal: a fault escaped the call boundary of zelk_native while an internal "
                     "fault was being turned into an exception; aborting\n");
        std::fflush(stderr);
        std::abort();
    }
    return nullptr;
}

// Writes the fault report for a C++ exception that is not a zelk::Fault.
void report_foreign_exception(const std::string& message) noexcept {
    try {
        zelk::fault(message);
    } catch (...) {
    }
}

}  // namespace

PyObject* guarded_call(Body body, const CallArguments& call) noexcept {
    try {
        Expected<Ref> outcome = body(call);
        if (outcome) {
            if (!outcome.value()) zelk::fault("a call body returned no result object");
            return outcome.value().release();
        }
        std::move(outcome.error()).raise();
        return nullptr;
    } catch (const Fault& fault) {
        return raise_internal_fault(fault.message());
    } catch (const std::bad_alloc&) {
        if (PyErr_Occurred()) PyErr_Clear();
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& exception) {
        std::string message;
        try {
            message = exception.what();
        } catch (...) {
            message = "C++ exception";
        }
        report_foreign_exception(message);
        return raise_internal_fault(message);
    } catch (...) {
        report_foreign_exception("unknown C++ exception");
        return raise_internal_fault("unknown C++ exception");
    }
}

// ---- result builders -------------------------------------------------------------

Ref new_bytes(std::span<const std::uint8_t> bytes, std::source_location where) {
    Ref result = Ref::steal(binding::bytes_object(bytes));
    if (!result) api_call_failed(where);
    return result;
}

namespace {

template <typename T, typename Make>
Ref new_list(std::span<const T> values, Make make, std::source_location where) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) api_call_failed(where);
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = make(values[i]);
        if (!item) api_call_failed(where);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals the item
    }
    return list;
}

}  // namespace

Ref new_float_list(std::span<const double> values, std::source_location where) {
    return new_list(values, [](double v) { return PyFloat_FromDouble(v); }, where);
}

Ref new_int8_list(std::span<const std::int8_t> values, std::source_location where) {
    return new_list(values, [](std::int8_t v) { return PyLong_FromLong(static_cast<long>(v)); }, where);
}

// ---- get_residuals_py ----------------------------------------------------------------

Expected<Ref> get_residuals_py_body(const CallArguments& call) {
    auto arguments = convert_codec_arguments(GET_RESIDUALS_SPEC, call.args, call.kwargs);
    if (!arguments) return arguments.take_error();
    // The converted values are validated and dropped; the residuals are
    // always an empty sequence of signed bytes.
    const std::vector<std::int8_t> residuals;
    return new_int8_list(residuals);
}

}  // namespace zelk::py
