// _registry.cpp -- the generic registry base `Registry`, compiled so that the
// compiled registries of the designation modules can derive from it.
#include "binding.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using korvell::RegistryData;

namespace {

korvell::ModuleRef g_mod;

RegistryData &data_of(nb::handle self) { return korvell::self_of<RegistryData>(self); }

/// `_registry[name]`, or a null object when the name is absent.  The caller
/// owns a reference to `mapping`: comparing keys runs Python code that may
/// replace the registry's mapping.
nb::object lookup(nb::handle mapping, nb::handle name) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), name.ptr());
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return nb::borrow(value);
    }
    int found = PySequence_Contains(mapping.ptr(), name.ptr());
    if (found < 0)
        throw nb::python_error();
    if (!found)
        return nb::object();
    return mapping[name];
}

nb::object resolve(nb::handle self, nb::handle name) {
    korvell::RecursionGuard guard(" in Registry.resolve");
    nb::object mapping = data_of(self).registry;
    nb::object value = lookup(mapping, name);
    if (!value.is_valid())
        korvell::raise_error(g_mod.get("NotRegisteredError"),
                             korvell::repr_text(name) + " is not registered");
    return value;
}

} // namespace

NB_MODULE(_registry, m) {
    m.doc() = "The compiled generic registry base.";
    g_mod.bind(m);
    korvell::bind_from(m, "korvell.pfnc.exceptions", "NotRegisteredError");

    nb::class_<RegistryData> cls(m, "Registry", nb::is_generic(), nb::type_slots(korvell::registry_slots),
                                 nb::sig("class Registry(typing.Generic[K, V])"));
    cls.doc() = "A mapping from names to values that keeps registration order.\n\n"
                "Subscript it (``Registry[str, int]``) to derive a typed registry.";
    cls.def(nb::init<>())
        .def_prop_rw(
            "_registry", [](nb::handle self) { return data_of(self).registry; },
            [](nb::handle self, nb::handle value) { data_of(self).registry = nb::borrow(value); },
            nb::arg("value").none(), "The mapping behind every other member.")
        .def(
            "register",
            [](nb::handle self, nb::handle name, nb::handle value) {
                nb::object mapping = data_of(self).registry;   // kept while keys compare
                mapping[name] = value;
            },
            "name"_a.none(), "value"_a.none(),
            "Store ``value`` under ``name``; a name registered again keeps its place.")
        .def("resolve", &resolve, "name"_a.none(),
             "Return the value registered under ``name``; raise NotRegisteredError if there is none.")
        .def(
            "snapshot",
            [](nb::handle self) {
                nb::object snapshot_type =
                    nb::module_::import_("korvell.pfnc._internal.registry").attr("MappingSnapshot");
                return snapshot_type(data_of(self).registry);
            },
            "An independent, immutable copy of the current entries.")
        .def("__iter__",
             [](nb::handle self) {
                 korvell::RecursionGuard guard(" in Registry.__iter__");
                 return nb::iter(data_of(self).registry);
             })
        .def("__len__",
             [](nb::handle self) {
                 korvell::RecursionGuard guard(" in Registry.__len__");
                 return nb::len(data_of(self).registry);
             })
        .def(
            "__contains__",
            [](nb::handle self, nb::handle name) {
                korvell::RecursionGuard guard(" in Registry.__contains__");
                nb::object mapping = data_of(self).registry;   // kept while keys compare
                int found = PySequence_Contains(mapping.ptr(), name.ptr());
                if (found < 0)
                    throw nb::python_error();
                return found == 1;
            },
            "name"_a.none())
        .def("__repr__", [](nb::handle self) {
            nb::object cls_name = nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__name__");
            return nb::str("{}({!r})").format(cls_name, data_of(self).registry);
        });
    cls.attr("__module__") = "korvell.pfnc._internal.registry";
    korvell::use_flat_dealloc(cls);
}
