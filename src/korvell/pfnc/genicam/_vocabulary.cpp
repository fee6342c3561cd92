// _vocabulary.cpp -- `StateWatch`: whether the namespaces, classes and
// registries that a reading of a name depends on are unchanged since recorded.
#include "binding.hpp"

#include <cstdint>
#include <cstring>
#include <typeinfo>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------------------
// Dict changes.  Up to 3.11 every dict carries a version that changes with
// each mutation; from 3.12 on that field is deprecated, and a dict watcher
// counts the mutations of the watched dicts instead.  From 3.13 an attribute
// stored on an instance whose values live inline reaches no watcher, even
// once its __dict__ exists: instance dicts (frozen records, enumeration
// members) are then watched only for changes made through the dict itself.
// Up to 3.11 this is the version reading the module-attribute caches use.

#if PY_VERSION_HEX >= 0x030C0000
int g_watcher = -1;
uint64_t g_changes = 0;   // mutations of any watched dict, ever

int count_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++g_changes;
    return 0;
}

void start_watching() { g_watcher = korvell::checked(PyDict_AddWatcher(count_change)); }

void watch_dict(PyObject *dict) { korvell::checked(PyDict_Watch(g_watcher, dict)); }

uint64_t changes() { return g_changes; }
uint64_t dict_version(PyObject *) { return 0; }
#else
void start_watching() {}
void watch_dict(PyObject *) {}
uint64_t changes() { return 0; }
using korvell::dict_version;
#endif

struct StateWatch {
    nb::object held = nb::none();   // a list of every watched object: keeps the pointers below valid
    std::vector<PyObject *> dicts;
    std::vector<uint64_t> versions;
    std::vector<std::pair<PyObject *, PyObject *>> registries;   // registry, its mapping when recorded
    std::vector<std::pair<PyObject *, PyObject *>> classes;      // class, its subclass dict when recorded
    uint64_t changes_at = 0;
    bool recorded = false;
};

using StateWatchGC = korvell::ObjectFields<StateWatch, &StateWatch::held>;

void forget(StateWatch &w) {
    w.recorded = false;
    w.dicts.clear();
    w.versions.clear();
    w.registries.clear();
    w.classes.clear();
    w.held = nb::none();
}

void add_dict(StateWatch &w, nb::list &held, PyObject *dict) {
    korvell::append(held, dict);
    watch_dict(dict);
    w.dicts.push_back(dict);
    w.versions.push_back(dict_version(dict));
}

/// The mapping behind a registry: every registry derives from the compiled
/// base, whose instances all hold the same record.
PyObject *mapping_of(PyObject *registry) { return nb::inst_ptr<korvell::RegistryData>(registry)->registry.ptr(); }

bool is_registry_base(nb::handle base) {
    return PyType_Check(base.ptr()) && nb::type_check(base) &&
           std::strcmp(nb::type_info(base).name(), typeid(korvell::RegistryData).name()) == 0;
}

/// Record the present state of `dicts` (each watched for any change),
/// `classes` (their own dicts), `families` (their own dicts and their lists of
/// subclasses) and `registries` (which mapping each holds, and that mapping).
/// False, and nothing recorded, when a registry holds no plain dict: such a
/// mapping cannot be watched.
bool record(StateWatch &w, nb::list dicts, nb::list classes, nb::list families, nb::list registries,
            nb::handle registry_base) {
    forget(w);
    if (!is_registry_base(registry_base))
        throw nb::type_error("registry_base must be the compiled Registry class");
    nb::list held = korvell::new_list();
    for (nb::handle d : dicts) {
        if (!PyDict_CheckExact(d.ptr()))
            throw nb::type_error("dicts must hold dicts");
        add_dict(w, held, d.ptr());
    }
    for (nb::list group : {classes, families}) {
        bool family = group.is(families);
        for (nb::handle c : group) {
            if (!PyType_Check(c.ptr()))
                throw nb::type_error("classes and families must hold classes");
            auto *type = (PyTypeObject *) c.ptr();
            // A class of the interpreter itself cannot be changed from Python.
            if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE))
                continue;
            korvell::append(held, c);
            add_dict(w, held, type->tp_dict);
            if (!family)
                continue;
            PyObject *subclasses = (PyObject *) type->tp_subclasses;   // null until the first subclass
            if (subclasses)
                add_dict(w, held, subclasses);
            w.classes.emplace_back(c.ptr(), subclasses);
        }
    }
    for (nb::handle r : registries) {
        if (!korvell::checked(PyObject_IsInstance(r.ptr(), registry_base.ptr())))
            throw nb::type_error("registries must hold registries");
        if (!nb::inst_ready(r) || !PyDict_CheckExact(mapping_of(r.ptr()))) {
            forget(w);
            return false;
        }
        korvell::append(held, r);
        add_dict(w, held, mapping_of(r.ptr()));
        w.registries.emplace_back(r.ptr(), mapping_of(r.ptr()));
    }
    w.held = std::move(held);
    w.changes_at = changes();
    w.recorded = true;
    return true;
}

/// Whether nothing recorded has changed since: no watched dict mutated, every
/// registry still holds its mapping, every class its list of subclasses.
bool unchanged(const StateWatch &w) {
    if (!w.recorded || !PyList_CheckExact(w.held.ptr()) || changes() != w.changes_at)
        return false;
#if PY_VERSION_HEX < 0x030C0000
    for (size_t i = 0; i < w.dicts.size(); ++i)
        if (dict_version(w.dicts[i]) != w.versions[i])
            return false;
#endif
    for (const auto &[registry, mapping] : w.registries)
        if (mapping_of(registry) != mapping)
            return false;
    for (const auto &[cls, subclasses] : w.classes)
        if ((PyObject *) ((PyTypeObject *) cls)->tp_subclasses != subclasses)
            return false;
    return true;
}

/// Whether `current` (a dict, or a class for its own dict) holds exactly the
/// keys of the dict `captured`, each bound to the very same object.
bool same_entries(nb::handle current, nb::handle captured) {
    PyObject *dict = current.ptr();
    if (PyType_Check(dict))
        dict = ((PyTypeObject *) dict)->tp_dict;
    if (!dict || !PyDict_CheckExact(dict) || !PyDict_CheckExact(captured.ptr()))
        throw nb::type_error("same_entries compares a dict or a class with a dict");
    if (PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(captured.ptr()))
        return false;
    nb::object keep = nb::borrow(dict);   // a key's __eq__ may run Python code
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(captured.ptr(), &pos, &key, &value))
        if (korvell::borrowed_or_absent(PyDict_GetItemWithError(dict, key)).ptr() != value)
            return false;
    return true;
}

// ---------------------------------------------------------------------------
// Binding.

void bind_state_watch(nb::module_ &m) {
    nb::class_<StateWatch> cls(m, "StateWatch", nb::type_slots(StateWatchGC::slots));
    cls.doc() = "Whether watched namespaces, classes and registries are unchanged since recorded.";
    cls.def(nb::init<>())
        .def("record", &record, "dicts"_a, "classes"_a, "families"_a, "registries"_a, "registry_base"_a,
             "Record the present state; False (nothing recorded) when a registry holds no plain dict.")
        .def("unchanged", &unchanged, "Whether nothing recorded has changed since ``record``.")
        .def("forget", &forget, "Drop the record: ``unchanged`` is False until the next ``record``.");
}

} // namespace

NB_MODULE(_vocabulary, m) {
    m.doc() = "Change detection for the state a reading of a name depends on.";
    start_watching();
    bind_state_watch(m);
    m.def("same_entries", &same_entries, "current"_a, "captured"_a,
          "Whether ``current`` (a dict, or a class for its own dict) holds exactly the\n"
          "keys of ``captured``, each bound to the very same object.");
}
