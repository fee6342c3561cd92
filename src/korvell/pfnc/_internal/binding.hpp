// binding.hpp -- helpers shared by every compiled module of korvell.pfnc:
// exact-type checks, text views, exact digit conversion, module-namespace
// lookups, error raising, logging, abstract bases and the registry layout.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvell {

namespace nb = nanobind;
using namespace nb::literals;

// ---------------------------------------------------------------------------
// Exact-type checks.  Parameters declared as str/list/tuple take exactly that
// type: subclasses and None are refused before the operation does anything.

/// `type(obj).__name__` as C++ text, for messages.
inline std::string class_name_of(nb::handle obj) {
    nb::object name = nb::handle((PyObject *) Py_TYPE(obj.ptr())).attr("__name__");
    return nb::cast<std::string>(nb::str(name));
}

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

// ---------------------------------------------------------------------------
// Instances.  Methods that take `self` (or `other`) as a plain handle must not
// read the C++ object of something that is not an initialised instance: a
// method called on a foreign object, or on one whose __init__ never ran, would
// read memory that is not there.

/// The C++ object of `self`, or TypeError when `self` is no initialised T.
template <typename T>
inline T &self_of(nb::handle self) {
    if (!nb::isinstance<T>(self)) {
        std::string msg = "expected a " + nb::cast<std::string>(nb::type_name(nb::type<T>())) +
                          " object, not " + class_name_of(self);
        throw nb::type_error(msg.c_str());
    }
    if (!nb::inst_ready(self))
        throw nb::type_error((class_name_of(self) + " object is not initialized").c_str());
    return *nb::inst_ptr<T>(self);
}

/// The C++ object of `obj` when it is an initialised T, otherwise null.
template <typename T>
inline T *instance_of(nb::handle obj) {
    return nb::isinstance<T>(obj) && nb::inst_ready(obj) ? nb::inst_ptr<T>(obj) : nullptr;
}

// ---------------------------------------------------------------------------
// Garbage collection for records whose state is Python objects held in the
// members `Fields...`: traverse visits them, clear sets them to None.

template <typename T, nb::object T::*... Fields>
struct ObjectFields {
    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self))
            return 0;
        T *record = nb::inst_ptr<T>(self);
        for (PyObject *field : {(record->*Fields).ptr()...})
            Py_VISIT(field);
        return 0;
    }

    static int clear(PyObject *self) {
        if (nb::inst_ready(self)) {
            T *record = nb::inst_ptr<T>(self);
            ((record->*Fields = nb::none()), ...);
        }
        return 0;
    }

    static inline PyType_Slot slots[] = {
        {Py_tp_traverse, (void *) traverse},
        {Py_tp_clear, (void *) clear},
        {0, nullptr},
    };
};

// ---------------------------------------------------------------------------
// Text.  Scanning works on the UTF-8 form of a str.  A str holding lone
// surrogates has no strict UTF-8 form; it is encoded with "surrogatepass" so
// that such text is still scanned (and sliced back) instead of failing.

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
    PyObject *bytes = PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass");
    if (!bytes)
        throw nb::python_error();
    t.keep = nb::steal(bytes);
    t.view = std::string_view(PyBytes_AS_STRING(bytes), (size_t) PyBytes_GET_SIZE(bytes));
    t.surrogates = true;
    return t;
}

/// A new str from UTF-8 text (surrogates written by "surrogatepass" come back).
inline nb::str make_str(std::string_view text) {
    PyObject *s = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), "surrogatepass");
    if (!s)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

/// The text from byte offset `offset` to the end; the source str itself when
/// nothing was consumed.
inline nb::str rest_of(const Text &t, size_t offset) {
    if (offset == 0)
        return nb::borrow<nb::str>(t.source);
    return make_str(t.view.substr(offset));
}

/// Byte length of the UTF-8 sequence that starts with `lead`.
inline size_t utf8_width(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead >> 5) == 0x6) return 2;
    if ((lead >> 4) == 0xE) return 3;
    return 4;
}

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

// nanobind's default constructors of these (`nb::list()`, or a `nb::list` declared
// without a value) do not check the allocation: a failed one leaves a null object
// that the next append or store dereferences.  Empty containers are made here.
inline nb::list new_list() { return owned<nb::list>(PyList_New(0)); }
inline nb::dict new_dict() { return owned<nb::dict>(PyDict_New()); }
inline nb::set new_set() { return owned<nb::set>(PySet_New(nullptr)); }

// ---------------------------------------------------------------------------
// Digits.  A digit run is made of the ASCII characters 0-9 only; any other
// character, Unicode digits included, ends it.

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
    PyObject *value = PyLong_FromString(buf.c_str(), nullptr, 10);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

/// Decimal text of an int (the interpreter's `str`, so its digit limit holds).
inline std::string int_text(nb::handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow)
            return std::to_string(v);
    }
    PyObject *s = PyObject_Str(value.ptr());
    if (!s)
        throw nb::python_error();
    nb::str text = nb::steal<nb::str>(s);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);   // may build the UTF-8 form
    if (!data)
        throw nb::python_error();
    return std::string(data, (size_t) size);
}

// ---------------------------------------------------------------------------
// Module namespace.  The names a module binds at import (error types, helper
// functions, its logger, its registry) are read back from the module on every
// use, so that replacing one of them (monkeypatch) takes effect.

class ModuleRef {
public:
    void bind(nb::module_ &m) {
        mod_ = m.ptr();
        Py_INCREF(mod_);   // kept for the process
#ifndef KORVELL_LEAK_WARNINGS
        // Objects that live until interpreter shutdown (module-level registries,
        // values a caller keeps in a global) are not leaks worth a report at exit.
        nb::set_leak_warnings(false);
#endif
    }
    nb::handle module() const { return mod_; }

    /// The module attribute `name` (a string literal), read now.
    nb::object get(const char *name) const {
        PyObject *value = PyObject_GetAttr(mod_, key(name));
        if (!value)
            throw nb::python_error();
        return nb::steal(value);
    }

private:
    /// The interned str of a name, made once per literal (looked up by address).
    PyObject *key(const char *name) const {
        for (const auto &entry : keys_)
            if (entry.first == name)
                return entry.second;
        PyObject *interned = PyUnicode_InternFromString(name);
        if (!interned)
            throw nb::python_error();
        keys_.emplace_back(name, interned);   // kept for the process, like the module
        return interned;
    }

    PyObject *mod_ = nullptr;
    mutable std::vector<std::pair<const char *, PyObject *>> keys_;
};

/// `from <module> import <name>` bound into `m` as an attribute.
inline void bind_from(nb::module_ &m, const char *module, const char *name) {
    m.attr(name) = nb::module_::import_(module).attr(name);
}

// ---------------------------------------------------------------------------
// Errors.

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

/// Raise `exc_type(message)` from the exception `cause` (`raise ... from cause`).
[[noreturn]] inline void raise_error_from(nb::handle exc_type, const std::string &message,
                                          nb::handle cause) {
    raise_instance(exc_type(make_str(message)), cause);
}

/// UTF-8 text of a str for messages; lone surrogates are kept ("surrogatepass")
/// so that `make_str` (and so the messages built by `raise_error`) gives the same text back.
inline std::string message_text(nb::handle str) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(str.ptr(), &size))
        return std::string(data, (size_t) size);
    PyErr_Clear();
    PyObject *bytes = PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass");
    if (!bytes)
        throw nb::python_error();
    nb::object keep = nb::steal(bytes);
    return std::string(PyBytes_AS_STRING(bytes), (size_t) PyBytes_GET_SIZE(bytes));
}

/// `repr(obj)` as C++ text.
inline std::string repr_text(nb::handle obj) {
    return message_text(nb::repr(obj));
}

/// `str(obj)` as C++ text.
inline std::string str_text(nb::handle obj) {
    return message_text(nb::str(obj));
}

// ---------------------------------------------------------------------------
// Logging.  Each record is one ready-made text argument; the text is only
// built when the logger would handle the level.

constexpr int LOG_DEBUG = 10;
constexpr int LOG_ERROR = 40;

template <typename MakeText>
inline void log_debug(const ModuleRef &mod, MakeText &&make_text) {
    nb::object logger = mod.get("logger");
    if (!nb::bool_(logger.attr("isEnabledFor")(LOG_DEBUG)))
        return;
    logger.attr("debug")(make_str(make_text()));
}

// ---------------------------------------------------------------------------
// Abstract bases.  A nanobind class cannot use ABCMeta, so an abstract base
// carries the standard flag itself: `__abstractmethods__` (which sets
// Py_TPFLAGS_IS_ABSTRACT and satisfies inspect.isabstract), placeholder
// functions marked with abc.abstractmethod, an `__init_subclass__` that
// recomputes the flag for every Python subclass, and a tp_new that refuses
// flagged classes with the interpreter's own message.

inline PyObject *abstract_aware_new(PyTypeObject *tp, PyObject *, PyObject *) noexcept {
    try {
        nb::handle cls((PyObject *) tp);
        if (PyType_HasFeature(tp, Py_TPFLAGS_IS_ABSTRACT)) {
            PyObject *listed = PySequence_List(cls.attr("__abstractmethods__").ptr());
            if (!listed)
                throw nb::python_error();
            nb::list names = nb::steal<nb::list>(listed);
            names.sort();
            size_t count = nb::len(names);
#if PY_VERSION_HEX >= 0x030C0000
            nb::str joined = nb::borrow<nb::str>(nb::str("', '").attr("join")(names));
            PyErr_Format(PyExc_TypeError,
                         "Can't instantiate abstract class %U without an implementation "
                         "for abstract method%s '%U'",
                         cls.attr("__name__").ptr(), count > 1 ? "s" : "", joined.ptr());
#else
            nb::str joined = nb::borrow<nb::str>(nb::str(", ").attr("join")(names));
            PyErr_Format(PyExc_TypeError,
                         "Can't instantiate abstract class %U with abstract method%s %U",
                         cls.attr("__name__").ptr(), count > 1 ? "s" : "", joined.ptr());
#endif
            return nullptr;
        }
        return nb::inst_alloc(cls).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

inline PyType_Slot abstract_base_slots[] = {
    {Py_tp_new, (void *) abstract_aware_new},
    {0, nullptr},
};

inline void abstract_init_subclass(nb::handle cls, nb::kwargs kwargs) {
    if (nb::len(kwargs) != 0)
        throw nb::type_error("__init_subclass__() takes no keyword arguments");
    nb::setattr(cls, "__abstractmethods__", owned<nb::frozenset>(PyFrozenSet_New(nullptr)));
    nb::module_::import_("abc").attr("update_abstractmethods")(cls);
}

enum class MethodKind { method, static_method, class_method };

/// Make the bound class `cls` abstract over `methods` (name, kind).  The class
/// must have been bound with `nb::type_slots(abstract_base_slots)`.  Call this
/// after the module's own C++ implementations of `cls` are bound: nanobind
/// refuses to bind a method over an inherited placeholder of the same name.
inline void make_abstract(nb::handle cls,
                          std::initializer_list<std::pair<const char *, MethodKind>> methods) {
    nb::object placeholder = nb::module_::import_("korvell.pfnc._internal._abc").attr("placeholder");
    nb::list names = new_list();
    for (const auto &[name, kind] : methods) {
        const char *k = kind == MethodKind::method          ? "method"
                        : kind == MethodKind::static_method ? "staticmethod"
                                                            : "classmethod";
        nb::setattr(cls, name, placeholder(cls, name, k));
        names.append(name);
    }
    nb::setattr(cls, "__abstractmethods__", nb::frozenset(names));
    nb::setattr(cls, "__init_subclass__",
                nb::module_::import_("builtins").attr("classmethod")(
                    nb::cpp_function(&abstract_init_subclass, "cls"_a, "kwargs"_a)));
}

// ---------------------------------------------------------------------------
// Enumerations: a real enum.Enum built through the functional API.

inline nb::object make_enum(nb::module_ &m, const char *name,
                            std::initializer_list<std::pair<const char *, const char *>> members,
                            const char *doc) {
    nb::list items = new_list();
    for (const auto &[member, value] : members)
        items.append(nb::make_tuple(member, value));
    nb::object cls = nb::module_::import_("enum").attr("Enum")(
        name, items, "module"_a = m.attr("__name__"), "qualname"_a = name);
    cls.attr("__doc__") = doc;
    m.attr(name) = cls;
    return cls;
}

// ---------------------------------------------------------------------------
// Registry layout.  `Registry` is bound in korvell.pfnc._internal._registry;
// the compiled registries of other modules derive from it and must start with
// the same layout (nanobind does no pointer adjustment between them).

struct RegistryData {
    nb::object registry = new_dict();       // `_registry`: name -> value, in registration order
    nb::object default_keys = nb::none();   // `_default_keys` of registries with fixed defaults
};

inline int registry_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    RegistryData *r = nb::inst_ptr<RegistryData>(self);
    Py_VISIT(r->registry.ptr());
    Py_VISIT(r->default_keys.ptr());
    return 0;
}

inline int registry_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        RegistryData *r = nb::inst_ptr<RegistryData>(self);
        r->registry = nb::none();   // no allocation in a slot that must not fail
        r->default_keys = nb::none();
    }
    return 0;
}

inline PyType_Slot registry_slots[] = {
    {Py_tp_traverse, (void *) registry_traverse},
    {Py_tp_clear, (void *) registry_clear},
    {0, nullptr},
};

/// The `Registry` class, imported (and so loaded) before a derived class is bound.
inline nb::object registry_base() {
    return nb::module_::import_("korvell.pfnc._internal.registry").attr("Registry");
}

// ---------------------------------------------------------------------------
// Deallocation of long chains.  An instance whose field holds the next
// instance directly (`a.sizes = b`, `b.sizes = c`, ...) is freed from inside
// the deallocation of the one before it, so a long enough chain overflows the
// C stack.  `flat_dealloc` runs the binding's own deallocation inside the
// interpreter's trashcan, which defers deep deallocations as it does for
// lists and dicts.

inline destructor bound_dealloc = nullptr;   // the binding's own (one per extension)

inline void flat_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, flat_dealloc)
    bound_dealloc(self);
    Py_TRASHCAN_END
}

/// Free the instances of the bound class `cls` through `flat_dealloc`; only a
/// collected class (one bound with tp_traverse) can use the trashcan.
inline void use_flat_dealloc(nb::handle cls) {
    PyTypeObject *tp = (PyTypeObject *) cls.ptr();
    if (!PyType_HasFeature(tp, Py_TPFLAGS_HAVE_GC) || tp->tp_dealloc == flat_dealloc)
        return;
    if (bound_dealloc && bound_dealloc != tp->tp_dealloc)
        return;   // not the deallocation the others use: leave it as it is
    bound_dealloc = tp->tp_dealloc;
    tp->tp_dealloc = flat_dealloc;
}

// ---------------------------------------------------------------------------
// Delegation.  An operation that hands itself on to a field (`len` of a Size
// is `len` of its list) recurses without end when the field is the object
// itself, and no Python frame is there to stop it: each such operation holds
// a guard, so that the interpreter's recursion limit ends it with
// RecursionError instead of a C stack overflow.

class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where))
            throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

} // namespace korvell
