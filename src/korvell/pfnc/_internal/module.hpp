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

namespace korvell {

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
    nb::object get(const char *name) const { return owned(PyObject_GetAttr(mod_, interned(name))); }
    nb::object get(const Name &name) const { return owned(PyObject_GetAttr(mod_, name.ptr())); }

private:
    PyObject *mod_ = nullptr;
};

/// `from <module> import <name>` bound into `m` as an attribute.
inline void bind_from(nb::module_ &m, const char *module, const char *name) {
    m.attr(name) = nb::module_::import_(module).attr(name);
}

} // namespace korvell
