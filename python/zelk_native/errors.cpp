// Error mapping: pending errors, InternalFault, and the helpers of errors.h.
#include "errors.h"

#include "base/fault.h"

#include <cstdio>

namespace zelk::py {

namespace {

constexpr const char* INTERNAL_FAULT_NAME = "zelk_runtime.InternalFault";
constexpr const char* INTERNAL_FAULT_DOC =
    "Raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";
constexpr const char* RESUME_FALLBACK = "Unwrapped internal fault from Python code";

// The process-wide cell of the InternalFault type: written once, under the GIL.
PyObject* internal_fault_cell = nullptr;

std::optional<std::string> lossy_utf8_text(PyObject* str);

// The message of a type-mismatch error, built when the error is raised.
std::string type_mismatch_message(PyObject* from_type, const std::string& target) {
    std::string name = "<failed to extract type name>";
    Ref qualname = Ref::steal(PyObject_GetAttrString(from_type, "__qualname__"));
    if (!qualname) {
        (void)PendingError::take();  // discarded (an InternalFault would resume)
    } else if (PyUnicode_Check(qualname.get())) {
        if (auto text = utf8_text(qualname.get())) name = std::move(*text);
    }
    return "'" + name + "' object cannot be converted to '" + target + "'";
}

// The resume path: an InternalFault fetched from the interpreter. Takes over
// the three references.
[[noreturn]] void resume_internal_fault(PyObject* type, PyObject* value, PyObject* traceback) {
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string message = RESUME_FALLBACK;
    if (value) {
        Ref text = Ref::steal(PyObject_Str(value));
        if (text) {
            if (auto utf8 = lossy_utf8_text(text.get())) message = std::move(*utf8);
        } else {
            PyErr_Clear();
        }
    }
    std::fprintf(stderr,
                 "--- zelk_native is resuming an internal fault after fetching an InternalFault "
                 "from Python. ---\n"
                 "Python stack trace below:\n");
    std::fflush(stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    throw Fault(std::move(message));
}

// Wraps the str of `text` in a 1-tuple (the InternalFault's arguments).
Ref one_tuple(Ref item) {
    Ref tuple = Ref::steal(PyTuple_New(1));
    if (!tuple) api_call_failed();
    PyTuple_SetItem(tuple.get(), 0, item.release());  // steals the item
    return tuple;
}

}  // namespace

// ---- PendingError -------------------------------------------------------------

PendingError PendingError::deferred(PyObject* type, std::string message) {
    return PendingError(Deferred{Ref::borrow(type), Message{std::move(message)}});
}

PendingError PendingError::type_mismatch(PyObject* object, std::string_view target) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    return PendingError(Deferred{Ref::borrow(PyExc_TypeError),
                                 TypeMismatch{Ref::borrow(type), std::string(target)}});
}

PendingError PendingError::internal_fault(std::string message) {
    // The type is created only when the error is raised (or its type is asked for).
    return PendingError(Deferred{Ref(), FaultMessage{std::move(message)}});
}

PendingError PendingError::take() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) {
        if (value) Py_DecRef(value);
        if (traceback) Py_DecRef(traceback);
        return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (internal_fault_cell && type == internal_fault_cell) {
        resume_internal_fault(type, value, traceback);
    }
    return PendingError(Taken{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)});
}

PyObject* PendingError::type() const {
    if (const Deferred* d = std::get_if<Deferred>(&state_)) {
        if (std::holds_alternative<FaultMessage>(d->recipe)) return internal_fault_type();
        return d->type.get();
    }
    return std::get<Taken>(state_).type.get();
}

void PendingError::raise() && {
    if (Taken* t = std::get_if<Taken>(&state_)) {
        PyErr_Restore(t->type.release(), t->value.release(), t->traceback.release());
        return;
    }
    Deferred& d = std::get<Deferred>(state_);
    Ref value;
    PyObject* type = d.type.get();
    if (const Message* m = std::get_if<Message>(&d.recipe)) {
        value = new_str(m->text);
    } else if (const FaultMessage* f = std::get_if<FaultMessage>(&d.recipe)) {
        type = internal_fault_type();
        value = one_tuple(new_str(f->text));
    } else {
        const TypeMismatch& tm = std::get<TypeMismatch>(d.recipe);
        value = new_str(type_mismatch_message(tm.from_type.get(), tm.target));
    }
    PyErr_SetObject(type, value.get());
}

PyObject* PendingError::normalized_value() {
    if (std::holds_alternative<Deferred>(state_)) {
        // Raise it and fetch it back; it is not taken through take(): a
        // deferred InternalFault made here must not be mistaken for one coming
        // back from Python code.
        std::move(*this).raise();
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        state_ = Taken{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    }
    Taken& t = std::get<Taken>(state_);
    PyObject* type = t.type.release();
    PyObject* value = t.value.release();
    PyObject* traceback = t.traceback.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    t = Taken{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    if (!t.value) zelk::fault("could not normalize an exception");
    return t.value.get();
}

// ---- helpers --------------------------------------------------------------------

PendingError codec_error(const CodecError& error) {
    return PendingError::deferred(PyExc_OSError, error.display());
}

void api_call_failed(std::source_location where) {
    if (PyErr_Occurred()) PyErr_Print();
    zelk::fault("Python API call failed", where);
}

PyObject* internal_fault_type() {
    if (!internal_fault_cell) {
        PyObject* type =
            PyErr_NewExceptionWithDoc(INTERNAL_FAULT_NAME, INTERNAL_FAULT_DOC, PyExc_BaseException, nullptr);
        if (!type) {
            if (PyErr_Occurred()) PyErr_Print();
            zelk::fault("Failed to initialize new exception type.");
        }
        if (!internal_fault_cell) {
            internal_fault_cell = type;
        } else {
            Py_DecRef(type);
        }
    }
    return internal_fault_cell;
}

std::optional<std::string> utf8_text(PyObject* str) {
    Ref encoded = Ref::steal(PyUnicode_AsUTF8String(str));
    if (!encoded) {
        (void)PendingError::take();
        return std::nullopt;
    }
    char* data = PyBytes_AsString(encoded.get());
    Py_ssize_t size = PyBytes_Size(encoded.get());
    if (!data || size < 0) {
        (void)PendingError::take();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// UTF-8 of a str that may hold lone surrogates: each becomes U+FFFD per
// invalid byte, as a lossy UTF-8 decoding of its "surrogatepass" encoding.
std::optional<std::string> lossy_utf8_text(PyObject* str) {
    if (auto text = utf8_text(str)) return text;
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!raw) {
        (void)PendingError::take();
        return std::nullopt;
    }
    Ref replaced = Ref::steal(
        PyUnicode_DecodeUTF8(PyBytes_AsString(raw.get()), PyBytes_Size(raw.get()), "replace"));
    if (!replaced) {
        (void)PendingError::take();
        return std::nullopt;
    }
    return utf8_text(replaced.get());
}

}  // namespace

std::string display_object(PyObject* object) {
    Ref text = Ref::steal(PyObject_Str(object));
    if (text) {
        if (auto utf8 = lossy_utf8_text(text.get())) return std::move(*utf8);
        return "<unprintable object>";
    }
    // Report the failure of str() as unraisable, with the object as context.
    PendingError failure = PendingError::take();
    std::move(failure).raise();
    PyErr_WriteUnraisable(object);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
    if (!name) {
        (void)PendingError::take();
        return "<unprintable object>";
    }
    if (PyUnicode_Check(name.get())) {
        if (auto utf8 = lossy_utf8_text(name.get())) return "<unprintable " + *utf8 + " object>";
    }
    return "<unprintable object>";
}

Ref new_str(std::string_view text, std::source_location where) {
    Ref str = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!str) api_call_failed(where);
    return str;
}

}  // namespace zelk::py
