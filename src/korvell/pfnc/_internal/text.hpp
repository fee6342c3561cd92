// text.hpp -- str as UTF-8 text for scanning and messages, and back.
#pragma once

#include "capi.hpp"

#include <string>
#include <string_view>

namespace korvell {

// Scanning works on the UTF-8 form of a str.  A str holding lone surrogates
// has no strict UTF-8 form; it is encoded with "surrogatepass" so that such
// text is still scanned (and sliced back) instead of failing.

struct Text {
    nb::handle source;   // the str that was viewed (borrowed from the caller)
    nb::object keep;     // owner of `view` when it is not the str's own buffer
    std::string_view view;
    bool surrogates = false;
};

inline Text view_text(nb::handle str) {
    Text t;
    t.source = str;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (data) {
        t.view = std::string_view(data, (size_t) size);
        return t;
    }
    PyErr_Clear();
    t.keep = owned(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    t.view = std::string_view(PyBytes_AS_STRING(t.keep.ptr()), (size_t) PyBytes_GET_SIZE(t.keep.ptr()));
    t.surrogates = true;
    return t;
}

/// A new str from UTF-8 text (surrogates written by "surrogatepass" come back).
inline nb::str make_str(std::string_view text) {
    return owned<nb::str>(PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), "surrogatepass"));
}

/// The text from byte offset `offset` to the end; the source str itself when
/// nothing was consumed.
inline nb::str rest_of(const Text &t, size_t offset) {
    if (offset == 0)
        return nb::borrow<nb::str>(t.source);
    return make_str(t.view.substr(offset));
}

/// UTF-8 text of a str for messages; lone surrogates are kept ("surrogatepass")
/// so that `make_str` (and so the messages built by `raise_error`) gives the same text back.
inline std::string message_text(nb::handle str) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(str.ptr(), &size))
        return std::string(data, (size_t) size);
    PyErr_Clear();
    nb::object bytes = owned(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()), (size_t) PyBytes_GET_SIZE(bytes.ptr()));
}

/// `repr(obj)` as C++ text.
inline std::string repr_text(nb::handle obj) { return message_text(nb::repr(obj)); }

/// `str(obj)` as C++ text.
inline std::string str_text(nb::handle obj) { return message_text(nb::str(obj)); }

} // namespace korvell
