// digits.hpp -- ASCII digit runs read and written as exact Python ints.
#pragma once

#include "capi.hpp"

#include <string>
#include <string_view>

namespace korvell {

// A digit run is made of the ASCII characters 0-9 only; any other character,
// Unicode digits included, ends it.

inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

/// Number of ASCII digits at the front of `s`.
inline size_t digit_run(std::string_view s) {
    size_t n = 0;
    while (n < s.size() && is_ascii_digit(s[n]))
        ++n;
    return n;
}

/// The exact Python int written by the ASCII digits `digits` (leading zeros
/// allowed).  Long runs go through the interpreter's own conversion, so the
/// integer-string limit applies and is checked before any quadratic work.
inline nb::object int_from_digits(std::string_view digits) {
    if (digits.size() <= 18) {
        long long value = 0;
        for (char c : digits)
            value = value * 10 + (c - '0');
        return owned(PyLong_FromLongLong(value));
    }
    std::string buf(digits);
    return owned(PyLong_FromString(buf.c_str(), nullptr, 10));
}

/// Decimal text of an int (the interpreter's `str`, so its digit limit holds).
inline std::string int_text(nb::handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow)
            return std::to_string(v);
    }
    nb::object text = owned(PyObject_Str(value.ptr()));
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);   // may build the UTF-8 form
    if (!data)
        throw nb::python_error();
    return std::string(data, (size_t) size);
}

} // namespace korvell
