// registry.hpp -- the layout shared by `Registry` and the compiled registries
// derived from it in other modules.
#pragma once

#include "records.hpp"

#include <string>

namespace korvell {

// `Registry` is bound in korvell.pfnc._internal._registry; the compiled
// registries of other modules derive from it and must start with the same
// layout (nanobind does no pointer adjustment between them).
struct RegistryData {
    nb::object registry = new_dict();       // `_registry`: name -> value, in registration order
    nb::object default_keys = nb::none();   // `_default_keys` of registries with fixed defaults
};

using RegistryFields = ObjectFields<RegistryData, &RegistryData::registry, &RegistryData::default_keys>;

inline PyType_Slot *const registry_slots = RegistryFields::slots;

/// The `Registry` class, imported (and so loaded) before a derived class is bound.
inline nb::object registry_base() {
    return nb::module_::import_("korvell.pfnc._internal.registry").attr("Registry");
}

inline nb::object default_keys_of(nb::handle self) { return self_of<RegistryData>(self).default_keys; }

inline void set_default_keys(nb::handle self, nb::handle value) {
    self_of<RegistryData>(self).default_keys = nb::borrow(value);
}

/// Binds what every registry with fixed defaults shares: the `_default_keys`
/// field, `_register_defaults()`, `restore(snap)` taking a snapshot of names
/// to `value_type`, and the classmethod `default_snapshot(cls)`.
template <typename Class, typename RegisterDefaults, typename Restore, typename DefaultSnapshot>
void def_defaults_registry(Class &cls, const char *value_type, const char *keys_doc,
                           RegisterDefaults register_defaults, const char *register_defaults_doc, Restore restore,
                           const char *restore_doc, DefaultSnapshot default_snapshot, const char *snapshot_doc) {
    def_field(cls, "_default_keys", &default_keys_of, &set_default_keys, "set[str]", keys_doc);
    cls.def("_register_defaults", register_defaults, register_defaults_doc);
    std::string restore_sig = std::string("def restore(self, snap: korvell.pfnc._internal.registry.MappingSnapshot[str, ") +
                              value_type + "]) -> None";
    cls.def("restore", restore, nb::arg("snap").none(), nb::sig(restore_sig.c_str()), restore_doc);
    cls.attr("default_snapshot") = nb::module_::import_("builtins").attr("classmethod")(nb::cpp_function(
        default_snapshot, nb::scope(cls), nb::name("default_snapshot"), nb::arg("cls"), snapshot_doc));
    use_flat_dealloc(cls);
}

} // namespace korvell
