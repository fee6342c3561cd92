// errors.hpp -- exact-type parameter checks and raising the package's errors.
#pragma once

#include "text.hpp"

#include <nanobind/stl/string.h>

#include <string>

namespace korvell {

/// `type(obj).__name__` as C++ text, for messages.
inline std::string class_name_of(nb::handle obj) {
    nb::object name = nb::handle((PyObject *) Py_TYPE(obj.ptr())).attr("__name__");
    return nb::cast<std::string>(nb::str(name));
}

// Parameters declared as str/list/tuple take exactly that type: subclasses
// and None are refused before the operation does anything.

[[noreturn]] inline void raise_not_exact(nb::handle obj, const char *param, const char *expected) {
    std::string msg = std::string(param) + " must be " + expected + ", not " + class_name_of(obj);
    throw nb::type_error(msg.c_str());
}

inline nb::str exact_str(nb::handle obj, const char *param) {
    if (!PyUnicode_CheckExact(obj.ptr()))
        raise_not_exact(obj, param, "str");
    return nb::borrow<nb::str>(obj);
}

inline nb::list exact_list(nb::handle obj, const char *param) {
    if (!PyList_CheckExact(obj.ptr()))
        raise_not_exact(obj, param, "list");
    return nb::borrow<nb::list>(obj);
}

inline nb::tuple exact_tuple(nb::handle obj, const char *param) {
    if (!PyTuple_CheckExact(obj.ptr()))
        raise_not_exact(obj, param, "tuple");
    return nb::borrow<nb::tuple>(obj);
}

inline nb::dict exact_dict(nb::handle obj, const char *param) {
    if (!PyDict_CheckExact(obj.ptr()))
        raise_not_exact(obj, param, "dict");
    return nb::borrow<nb::dict>(obj);
}

/// `raise err`, optionally `from cause`.  `err` comes from calling an error
/// type read from a module namespace, which may have been replaced by any
/// callable: an exception instance is raised as it is (its cause set only
/// then), anything else is the interpreter's TypeError (raised while `cause`
/// is being handled).
[[noreturn]] inline void raise_instance(nb::handle err, nb::handle cause = nb::handle()) {
    if (!PyExceptionInstance_Check(err.ptr())) {
        nb::object type_error = nb::handle(PyExc_TypeError)("exceptions must derive from BaseException");
        if (cause.is_valid())
            PyException_SetContext(type_error.ptr(), cause.inc_ref().ptr());
        PyErr_SetObject(PyExc_TypeError, type_error.ptr());
        throw nb::python_error();
    }
    if (cause.is_valid()) {
        PyException_SetCause(err.ptr(), cause.inc_ref().ptr());
        PyException_SetContext(err.ptr(), cause.inc_ref().ptr());
    }
    PyErr_SetObject((PyObject *) Py_TYPE(err.ptr()), err.ptr());
    throw nb::python_error();
}

/// Raise `exc_type(message)`.
[[noreturn]] inline void raise_error(nb::handle exc_type, const std::string &message) {
    raise_instance(exc_type(make_str(message)));
}

/// Take the raised exception, normalised and with its traceback attached,
/// clearing the error indicator.
inline nb::object fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return nb::steal(value);
#endif
}

/// Raise the exception instance `exc` again, as it was fetched.
[[noreturn]] inline void reraise(nb::object exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release().ptr());
#else
    PyObject *value = exc.release().ptr();
    PyObject *type = (PyObject *) Py_TYPE(value);
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
    throw nb::python_error();
}

} // namespace korvell
