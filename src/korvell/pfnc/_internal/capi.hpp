// capi.hpp -- the C API in single expressions: owned results that raise on
// null, checked status codes, interned names, process-lifetime references.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace korvell {

namespace nb = nanobind;
using namespace nb::literals;

// ---------------------------------------------------------------------------
// New references.  Every call that makes an object can fail (out of memory at
// least): its result is taken through `owned`, which turns a null result into
// the raised Python error instead of an object that would be used as if it
// were there.

template <typename T = nb::object>
inline T owned(PyObject *made) {
    if (!made)
        throw nb::python_error();
    return nb::steal<T>(made);
}

/// A C-API status (-1 with an error set on failure) as a value, raising on failure.
inline int checked(int status) {
    if (status < 0)
        throw nb::python_error();
    return status;
}

/// A borrowed result that is null either for "absent" or for an error
/// (PyDict_GetItemWithError and its kind): an empty handle for absent.
inline nb::handle borrowed_or_absent(PyObject *found) {
    if (!found && PyErr_Occurred())
        throw nb::python_error();
    return found;
}

// nanobind's default constructors of these (`nb::list()`, or a `nb::list` declared
// without a value) do not check the allocation: a failed one leaves a null object
// that the next append or store dereferences.  Empty containers are made here.
inline nb::list new_list() { return owned<nb::list>(PyList_New(0)); }
inline nb::dict new_dict() { return owned<nb::dict>(PyDict_New()); }
inline nb::set new_set() { return owned<nb::set>(PySet_New(nullptr)); }

/// `(a, b)` for two handles, borrowed into the new tuple.
inline nb::tuple pair(nb::handle a, nb::handle b) { return owned<nb::tuple>(PyTuple_Pack(2, a.ptr(), b.ptr())); }

inline void append(nb::handle list, nb::handle item) { checked(PyList_Append(list.ptr(), item.ptr())); }

// ---------------------------------------------------------------------------
// Truth and comparisons with the interpreter's rules (no identity shortcut
// where the operator has none).

inline bool truth(nb::handle obj) { return checked(PyObject_IsTrue(obj.ptr())) == 1; }

inline bool compare(nb::handle a, nb::handle b, int op) {
    return checked(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)) == 1;
}

/// `a == b` as `==` gives it (an object is not assumed equal to itself).
inline bool equal(nb::handle a, nb::handle b) { return truth(owned(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }

inline bool contains(nb::handle container, nb::handle item) {
    return checked(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

// ---------------------------------------------------------------------------
// Interned names.  One process-lifetime table per extension, keyed by the
// address of the literal: a name is interned the first time it is used and
// never released (it must outlive every module state that points at it).

inline PyObject *interned(const char *literal) {
    static std::vector<std::pair<const char *, PyObject *>> table;
    for (const auto &entry : table)
        if (entry.first == literal)
            return entry.second;
    PyObject *name = PyUnicode_InternFromString(literal);
    if (!name)
        throw nb::python_error();
    table.emplace_back(literal, name);
    return name;
}

/// A name declared once (`static Name s_decode{"decode"};`) and interned on
/// its first use, so declaring it costs nothing at import and a hot path pays
/// one pointer test.
class Name {
public:
    constexpr explicit Name(const char *literal) : literal_(literal) {}
    PyObject *ptr() const {
        if (!obj_)
            obj_ = interned(literal_);
        return obj_;
    }
    operator nb::handle() const { return ptr(); }
    const char *c_str() const { return literal_; }

private:
    const char *literal_;
    mutable PyObject *obj_ = nullptr;
};

// ---------------------------------------------------------------------------
// Attribute reads and calls that own their result.

inline nb::object getattr(nb::handle obj, const Name &name) { return owned(PyObject_GetAttr(obj.ptr(), name.ptr())); }

/// `obj.name(args...)` through the vectorcall protocol (no bound method made).
template <typename... Args>
inline nb::object call_method(nb::handle obj, const Name &name, Args... args) {
    PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    return owned(PyObject_VectorcallMethod(name.ptr(), argv, sizeof...(Args) + 1, nullptr));
}

/// `fn(args...)` with positional arguments only.
template <typename... Args>
inline nb::object call(nb::handle fn, Args... args) {
    PyObject *argv[] = {nullptr, nb::handle(args).ptr()...};
    return owned(PyObject_Vectorcall(fn.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---------------------------------------------------------------------------
// Process-lifetime references: objects of the interpreter or the standard
// library a module keeps from its import on (numbers.Number, a marker
// object).  They are never released: a module's globals are torn down after
// the interpreter, when a decrement would touch freed memory.

class Kept {
public:
    void set(nb::object obj) { ptr_ = obj.release().ptr(); }
    /// Let go of the object (the reference is null afterwards).
    void drop() { Py_CLEAR(ptr_); }
    nb::handle get() const { return ptr_; }
    PyObject *ptr() const { return ptr_; }
    operator nb::handle() const { return ptr_; }

private:
    PyObject *ptr_ = nullptr;
};

/// Run `release` when the interpreter exits, through an atexit hook (which
/// runs before the modules are torn down).  For references a module keeps to
/// its own bound classes and functions, to compare identities with: kept past
/// that point they would outlive their module and count as leaked; after it,
/// every comparison with them fails and the general route is taken.
template <typename Release>
void release_at_exit(Release &&release) {
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(std::forward<Release>(release)));
}

} // namespace korvell
