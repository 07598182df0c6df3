// Owned references to Python objects.
//
// Reference counts are changed only through the exported functions
// Py_IncRef / Py_DecRef (never the Py_INCREF macros), which every limited
// API has. They are called with the interpreter lock held.
#pragma once

#include "python_api.h"

#include <utility>

namespace zelk::binding {

// A strong reference, released (Py_DecRef) when the Ref is destroyed.
// Move-only. An empty Ref holds NULL.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (as returned by most API calls); NULL gives an empty Ref.
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_IncRef(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset() {
        if (PyObject* object = std::exchange(object_, nullptr)) Py_DecRef(object);
    }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace zelk::binding
