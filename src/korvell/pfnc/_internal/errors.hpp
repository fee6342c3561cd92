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

/// `obj` when its type is exactly `type`; TypeError naming `expected` otherwise.
inline nb::handle require_exact(nb::handle obj, PyTypeObject *type, const char *param, const char *expected) {
    if (Py_TYPE(obj.ptr()) != type)
        raise_not_exact(obj, param, expected);
    return obj;
}

inline nb::str exact_str(nb::handle obj, const char *param) {
    return nb::borrow<nb::str>(require_exact(obj, &PyUnicode_Type, param, "str"));
}

inline nb::list exact_list(nb::handle obj, const char *param) {
    return nb::borrow<nb::list>(require_exact(obj, &PyList_Type, param, "list"));
}

inline nb::tuple exact_tuple(nb::handle obj, const char *param) {
    return nb::borrow<nb::tuple>(require_exact(obj, &PyTuple_Type, param, "tuple"));
}

inline nb::dict exact_dict(nb::handle obj, const char *param) {
    return nb::borrow<nb::dict>(require_exact(obj, &PyDict_Type, param, "dict"));
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

/// `call()`, a C++ error it raises turned into the Python error nanobind makes
/// of it at the boundary, so that a caller in C++ can match it as one.
template <typename Call>
auto as_python_errors(Call &&call) -> decltype(call()) {
    try {
        return call();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: throw;
        }
        PyErr_SetString(type, e.what());
        throw nb::python_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        throw nb::python_error();
    }
}

} // namespace korvell
