// _subclasses.cpp -- `all_implementations`: the concrete classes derived from a
// base, walked in C++ because the parse factories ask for them on every call.
#include "binding.hpp"

#include <unordered_set>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

korvell::ModuleRef g_mod;
nb::handle g_abcmeta;        // abc.ABCMeta, kept for the process
nb::handle g_isabstract;     // inspect.isabstract, kept for the process
nb::handle g_subclasses;     // type.__subclasses__, kept for the process

/// Whether `cls` is still abstract, as inspect.isabstract says.  The flag
/// decides for every class but an ABCMeta class that is still being created,
/// which only inspect.isabstract itself can judge.
bool is_abstract(PyTypeObject *cls) {
    if (PyType_HasFeature(cls, Py_TPFLAGS_IS_ABSTRACT))
        return true;
    // An ABCMeta class is one whose metaclass derives from ABCMeta.
    if (!PyType_IsSubtype(Py_TYPE((PyObject *) cls), (PyTypeObject *) g_abcmeta.ptr()))
        return false;
    return nb::bool_(g_isabstract(nb::handle((PyObject *) cls))).operator bool();
}

nb::list subclasses_of(nb::handle cls) {
    PyObject *subs = PyObject_CallOneArg(g_subclasses.ptr(), cls.ptr());
    if (!subs)
        throw nb::python_error();
    if (!PyList_CheckExact(subs)) {
        Py_DECREF(subs);
        throw nb::type_error("__subclasses__() must return a list");
    }
    return nb::steal<nb::list>(subs);
}

nb::list all_implementations(nb::handle base) {
    if (!PyType_Check(base.ptr()))
        korvell::raise_not_exact(base, "base", "a class");
    nb::list found = korvell::new_list();
    std::unordered_set<PyObject *> seen{base.ptr()};
    // Pre-order, depth first: children are pushed in reverse so that the first
    // created is visited first.
    std::vector<nb::object> stack;
    auto push_children = [&](nb::handle cls) {
        nb::list subs = subclasses_of(cls);
        for (Py_ssize_t i = PyList_GET_SIZE(subs.ptr()); i-- > 0;)
            stack.push_back(nb::borrow(PyList_GET_ITEM(subs.ptr(), i)));
    };
    push_children(base);
    while (!stack.empty()) {
        nb::object cls = std::move(stack.back());
        stack.pop_back();
        if (!seen.insert(cls.ptr()).second)
            continue;
        if (!is_abstract((PyTypeObject *) cls.ptr()))
            found.append(cls);
        push_children(cls);
    }
    return found;
}

} // namespace

NB_MODULE(_subclasses, m) {
    m.doc() = "The walk over a class's implementations.";
    g_mod.bind(m);
    g_abcmeta = nb::object(nb::module_::import_("abc").attr("ABCMeta")).release();
    g_isabstract = nb::object(nb::module_::import_("inspect").attr("isabstract")).release();
    g_subclasses = nb::object(nb::handle((PyObject *) &PyType_Type).attr("__subclasses__")).release();
    m.def("all_implementations", &all_implementations, "base"_a,
          nb::sig("def all_implementations(base: type[T]) -> list[type[T]]"),
          "Every concrete class derived from ``base``: depth first in creation order\n"
          "(pre-order over ``__subclasses__()``), each once, ``base`` itself never, and\n"
          "classes that are still abstract (``inspect.isabstract``) left out.");
}
