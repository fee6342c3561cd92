// abstract.hpp -- abstract bases and enumerations for bound classes.
#pragma once

#include "capi.hpp"

#include <initializer_list>
#include <utility>

namespace korvell {

// A nanobind class cannot use ABCMeta, so an abstract base carries the
// standard flag itself: `__abstractmethods__` (which sets
// Py_TPFLAGS_IS_ABSTRACT and satisfies inspect.isabstract), placeholder
// functions marked with abc.abstractmethod, an `__init_subclass__` that
// recomputes the flag for every Python subclass, and a tp_new that refuses
// flagged classes with the interpreter's own message.

inline PyObject *abstract_aware_new(PyTypeObject *tp, PyObject *, PyObject *) noexcept {
    try {
        nb::handle cls((PyObject *) tp);
        if (PyType_HasFeature(tp, Py_TPFLAGS_IS_ABSTRACT)) {
            nb::list names = owned<nb::list>(PySequence_List(cls.attr("__abstractmethods__").ptr()));
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
/// must have been bound with a tp_new of `abstract_aware_new`.  Call this
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

} // namespace korvell
