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
    if (PyDict_CheckExact(mapping.ptr()))
        return nb::borrow(korvell::borrowed_or_absent(PyDict_GetItemWithError(mapping.ptr(), name.ptr())));
    if (!korvell::contains(mapping, name))
        return nb::object();
    return mapping[name];
}

nb::object registry_of(nb::handle self) { return data_of(self).registry; }

void set_registry(nb::handle self, nb::handle value) { data_of(self).registry = nb::borrow(value); }

void register_value(nb::handle self, nb::handle name, nb::handle value) {
    nb::object mapping = data_of(self).registry;   // kept while keys compare
    mapping[name] = value;
}

nb::object resolve(nb::handle self, nb::handle name) {
    korvell::RecursionGuard guard(" in Registry.resolve");
    nb::object mapping = data_of(self).registry;
    nb::object value = lookup(mapping, name);
    if (!value.is_valid())
        korvell::raise_error(g_mod.get("NotRegisteredError"), korvell::repr_text(name) + " is not registered");
    return value;
}

nb::object snapshot(nb::handle self) {
    nb::object snapshot_type = nb::module_::import_("korvell.pfnc._internal.registry").attr("MappingSnapshot");
    return snapshot_type(data_of(self).registry);
}

// The protocol operations hand themselves on to the mapping, which may be the
// registry itself: each holds a guard so that such a loop ends in RecursionError.

nb::iterator iterate(nb::handle self) {
    korvell::RecursionGuard guard(" in Registry.__iter__");
    return nb::iter(data_of(self).registry);
}

size_t length(nb::handle self) {
    korvell::RecursionGuard guard(" in Registry.__len__");
    return nb::len(data_of(self).registry);
}

bool has_name(nb::handle self, nb::handle name) {
    korvell::RecursionGuard guard(" in Registry.__contains__");
    nb::object mapping = data_of(self).registry;   // kept while keys compare
    return korvell::contains(mapping, name);
}

nb::str registry_repr(nb::handle self) {
    nb::object cls_name = nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__name__");
    return nb::str("{}({!r})").format(cls_name, data_of(self).registry);
}

void bind_registry(nb::module_ &m) {
    nb::class_<RegistryData> cls(m, "Registry", nb::is_generic(), nb::type_slots(korvell::registry_slots),
                                 nb::sig("class Registry(typing.Generic[K, V])"));
    cls.doc() = "A mapping from names to values that keeps registration order.\n\n"
                "Subscript it (``Registry[str, int]``) to derive a typed registry.";
    cls.def(nb::init<>())
        .def_prop_rw("_registry", &registry_of, &set_registry, nb::arg("value").none(),
                     "The mapping behind every other member.")
        .def("register", &register_value, "name"_a.none(), "value"_a.none(),
             "Store ``value`` under ``name``; a name registered again keeps its place.")
        .def("resolve", &resolve, "name"_a.none(),
             "Return the value registered under ``name``; raise NotRegisteredError if there is none.")
        .def("snapshot", &snapshot, "An independent, immutable copy of the current entries.")
        .def("__iter__", &iterate)
        .def("__len__", &length)
        .def("__contains__", &has_name, "name"_a.none())
        .def("__repr__", &registry_repr);
    cls.attr("__module__") = "korvell.pfnc._internal.registry";
    korvell::use_flat_dealloc(cls);
}

} // namespace

NB_MODULE(_registry, m) {
    g_mod.open(m, "The compiled generic registry base.", {{"korvell.pfnc.exceptions", {"NotRegisteredError"}}});
    bind_registry(m);
}
