// A buffer argument held for the length of a call, released when it ends.
// For modules built with the buffer protocol (the limited API from 3.11, or
// the full API).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "python_api.h"

namespace zelk::binding {

class HeldBuffer {
public:
    HeldBuffer() = default;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    // For PyArg_ParseTuple's "y*", which fills it.
    Py_buffer* out() {
        held_ = true;
        return &view_;
    }
    // Holds `object`'s bytes; false with the exception set.
    bool hold(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }

    std::span<const uint8_t> bytes() const {
        return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace zelk::binding
