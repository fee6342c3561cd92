// buffer.hpp -- buffer-protocol arguments held for the length of a call.
#pragma once

#include "errors.hpp"

#include <cstdint>
#include <string>

namespace korvell {

/// The buffer of one argument, released when the holder goes out of scope
/// (also when the call fails half-way through its checks).
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    ~HeldBuffer() {
        if (held_)
            PyBuffer_Release(&view_);
    }

    /// Acquires `obj`'s buffer with `flags`: TypeError "<name> must be
    /// <expected>, not <class>" for an object without the buffer protocol, the
    /// exporter's own error when it refuses the request.
    void acquire(nb::handle obj, const char *name, const char *expected, int flags) {
        if (!PyObject_CheckBuffer(obj.ptr()))
            throw nb::type_error((std::string(name) + " must be " + expected + ", not " + class_name_of(obj)).c_str());
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0)
            throw nb::python_error();
        held_ = true;
    }

    const Py_buffer &view() const { return view_; }
    bool c_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C'); }
    const char *format() const { return view_.format; }
    int ndim() const { return view_.ndim; }
    int64_t dim(int i) const { return int64_t(view_.shape[i]); }
    size_t itemsize() const { return size_t(view_.itemsize); }
    size_t bytes() const { return size_t(view_.len); }
    uint8_t *data() const { return static_cast<uint8_t *>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

/// Whether two held buffers share memory.
inline bool overlap(const HeldBuffer &a, const HeldBuffer &b) {
    const uint8_t *p = a.data(), *q = b.data();
    return a.bytes() && b.bytes() && p < q + b.bytes() && q < p + a.bytes();
}

} // namespace korvell
