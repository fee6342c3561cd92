// module.hpp -- a compiled module's own namespace, read when the code runs.
//
// What a module may cache at import: only objects of the interpreter or the
// standard library that cannot be replaced through this package's module
// namespaces (interned names, builtin types, numbers.Number, a marker object,
// the module object itself), and the classes the module binds itself.  Every
// name the module binds into its namespace from elsewhere -- error types,
// helper functions, its logger, its registries, classes of other modules --
// is read back from the namespace on every use (`ModuleRef::get`), so that
// replacing it (monkeypatch.setattr, delattr, an edit of `module.__dict__`)
// takes effect on the next call.
#pragma once

#include "capi.hpp"

#include <structmember.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace korvell {

// The reads are served from a cache while the module's dict is unchanged,
// which the dict's version tag proves (every change of a dict gives it a new,
// never reused tag); where the interpreter has no such tag, every read is a
// lookup.  The module must be exactly a module object: a module whose class
// was replaced may resolve names through its own descriptors.
#if PY_VERSION_HEX < 0x030E0000
#define KORVELL_DICT_VERSION 1

/// The dict's version tag: a new, never reused value after every change.
inline uint64_t dict_version(PyObject *dict) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return ((PyDictObject *) dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
#endif

/// `from <module> import <names...>`, each bound into `m` as an attribute.
inline void bind_from(nb::module_ &m, const char *module, std::initializer_list<const char *> names) {
    nb::module_ source = nb::module_::import_(module);
    for (const char *name : names)
        m.attr(name) = source.attr(name);
}

struct Import {
    const char *module;
    std::initializer_list<const char *> names;
};

/// Every `from <module> import <names...>` of `imports`, in order.
inline void bind_imports(nb::module_ &m, std::initializer_list<Import> imports) {
    for (const Import &entry : imports)
        bind_from(m, entry.module, entry.names);
}

class ModuleRef {
public:
    /// The opening of a module's initialisation: its docstring, this
    /// reference to its namespace, and the names it imports, in order.
    void open(nb::module_ &m, const char *doc, std::initializer_list<Import> imports = {}) {
        m.doc() = doc;
        bind(m);
        bind_imports(m, imports);
    }

    void bind(nb::module_ &m) {
        mod_ = m.ptr();
        Py_INCREF(mod_);   // kept for the process
        dict_ = PyModule_GetDict(mod_);
#ifndef KORVELL_LEAK_WARNINGS
        // Objects that live until interpreter shutdown (module-level registries,
        // values a caller keeps in a global) are not leaks worth a report at exit.
        nb::set_leak_warnings(false);
#endif
    }
    nb::handle module() const { return mod_; }

    /// The module attribute `name` (a string literal), read now.
    nb::object get(const char *name) const { return get_key(interned(name)); }
    nb::object get(const Name &name) const { return get_key(name.ptr()); }

    /// Remember the object now bound to `name` as the module's own, for
    /// `is_original`.  Called once the namespace is filled at import.
    void keep_original(const Name &name) {
        nb::object value = get(name);
        for (auto &entry : originals_)
            if (entry.first == name.ptr()) {
                Py_SETREF(entry.second, value.release().ptr());
                return;
            }
        if (originals_.empty())
            release_at_exit([this] { release_originals(); });
        originals_.emplace_back(name.ptr(), value.release().ptr());   // kept until exit
    }

    /// Let go of the objects kept by `keep_original`; `is_original` is false
    /// for every name afterwards.
    void release_originals() {
        for (auto &entry : originals_)
            Py_CLEAR(entry.second);
        originals_.clear();
    }

    /// Whether the module attribute `name` is still the object bound at
    /// import (by identity), so that calling its C++ implementation directly
    /// is what calling the attribute would do.  A missing attribute is not.
    bool is_original(const Name &name) const {
        PyObject *original = nullptr;
        for (const auto &entry : originals_)
            if (entry.first == name.ptr())
                original = entry.second;
        if (!original)
            return false;
        if (PyObject *value = cached(name.ptr()))
            return value == original;
        PyObject *value = PyObject_GetAttr(mod_, name.ptr());
        if (!value) {
            PyErr_Clear();
            return false;
        }
        Py_DECREF(value);
        return value == original;
    }

private:
    struct Entry {
        PyObject *key;     // interned, process lifetime
        PyObject *value;   // borrowed from the dict, valid while its version holds
    };

    /// The value of `key` from the cache, filled from the dict on a miss;
    /// null (without an error) where only a full attribute read can tell.
    PyObject *cached(PyObject *key) const {
#ifdef KORVELL_DICT_VERSION
        if (Py_TYPE(mod_) != &PyModule_Type)
            return nullptr;
        uint64_t version = dict_version(dict_);
        if (version != version_) {
            entries_.clear();
            version_ = version;
        }
        for (const Entry &entry : entries_)
            if (entry.key == key)
                return entry.value;
        // A name the module type itself defines (a dunder such as __dict__)
        // may be a descriptor that wins over the dict: always read in full.
        if (PyObject_HasAttr((PyObject *) &PyModule_Type, key))
            return nullptr;
        PyObject *value = PyDict_GetItemWithError(dict_, key);
        if (!value) {
            PyErr_Clear();
            return nullptr;
        }
        // A colliding key of another type may run Python code that changes
        // the dict while it is compared: such a reading is not kept.
        if (dict_version(dict_) != version)
            return nullptr;
        entries_.push_back({key, value});
        return value;
#else
        (void) key;
        return nullptr;
#endif
    }

    nb::object get_key(PyObject *key) const {
        if (PyObject *value = cached(key))
            return nb::borrow(value);
        return owned(PyObject_GetAttr(mod_, key));
    }

    PyObject *mod_ = nullptr;
    PyObject *dict_ = nullptr;
    mutable uint64_t version_ = 0;
    mutable std::vector<Entry> entries_;
    std::vector<std::pair<PyObject *, PyObject *>> originals_;
};

// ---------------------------------------------------------------------------
// Classes of other modules a fast path relies on: they are guarded, never
// trusted as they were at import.

/// Whether a class still resolves the named attributes to the objects it had
/// when the guard was set.  The interpreter renews a class's version tag
/// whenever the class or one of its bases changes, so the lookups are redone
/// only after a change (and on every call once no tags are left to give).
class ClassGuard {
public:
    void capture(nb::handle cls, std::initializer_list<const char *> names) {
        type_ = (PyTypeObject *) cls.inc_ref().ptr();   // kept until `release`
        for (const char *name : names) {
            PyObject *key = interned(name);
            PyObject *value = _PyType_Lookup(type_, key);
            Py_XINCREF(value);   // kept until `release`, so that no new object takes its address
            attrs_.emplace_back(key, value);
        }
        version_ = type_->tp_version_tag;
    }

    PyTypeObject *type() const { return type_; }

    bool holds() {
        if (!type_)
            return false;
        if (version_ != 0 && type_->tp_version_tag == version_)
            return true;
        for (const auto &[key, original] : attrs_)
            if (_PyType_Lookup(type_, key) != original)
                return false;
        version_ = type_->tp_version_tag;   // given again by the lookups above
        return true;
    }

    /// `obj` is exactly of the class, and the class is unchanged.
    bool exact(nb::handle obj) { return Py_TYPE(obj.ptr()) == type_ && holds(); }

    /// Lets go of the class and its attributes (at interpreter exit, see
    /// `release_at_exit`); the guard never holds again.
    void release() {
        for (const auto &[key, value] : attrs_)
            Py_XDECREF(value);
        attrs_.clear();
        PyObject *type = (PyObject *) type_;
        type_ = nullptr;
        version_ = 0;
        Py_XDECREF(type);
    }

private:
    PyTypeObject *type_ = nullptr;
    std::vector<std::pair<PyObject *, PyObject *>> attrs_;
    unsigned int version_ = 0;
};

/// Byte offset of the `__slots__` entry `name` of `cls`.
inline Py_ssize_t slot_offset(nb::handle cls, const char *name) {
    nb::object descr = cls.attr("__dict__")[name];
    if (Py_TYPE(descr.ptr()) != &PyMemberDescr_Type)
        throw nb::type_error((std::string(name) + " is no slot").c_str());
    return ((PyMemberDescrObject *) descr.ptr())->d_member->offset;
}

/// The value in a slot, null while unset.
inline PyObject *slot_value(nb::handle obj, Py_ssize_t offset) {
    return *(PyObject **) ((char *) obj.ptr() + offset);
}

} // namespace korvell
