// registry.hpp -- the layout shared by `Registry` and the compiled registries
// derived from it in other modules.
#pragma once

#include "records.hpp"

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

} // namespace korvell
