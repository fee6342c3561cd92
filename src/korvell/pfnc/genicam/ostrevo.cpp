// ostrevo.cpp -- the packing part of a PFNC designation: padding types, the
// registry of padding-type names, and `Packing` with its parse and format.
#include "binding.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------------------
// Plain C++: prefix tests on the UTF-8 form of the designation text.

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

/// Length of the cluster-marker digits after a leading "c", or 0 when the text
/// holds no valid marker (no "c", no digits, or a leading zero).
size_t cluster_digits(std::string_view text) {
    if (text.empty() || text.front() != 'c')
        return 0;
    size_t run = korvell::digit_run(text.substr(1));
    if (run == 0 || text[1] == '0')
        return 0;
    return run;
}

// ---------------------------------------------------------------------------
// Module state.  The enumeration and its members belong to this module and
// never change; imported names and the registry are read from the module on
// every use.

korvell::ModuleRef g_mod;
nb::handle g_padding_type;            // the PaddingType class (kept for the process)
nb::handle g_packed, g_grouped, g_unpacked;
nb::handle g_packed_value, g_grouped_value, g_unpacked_value;
nb::handle g_number;                  // numbers.Number
PyTypeObject *g_registry_type, *g_packing_type;

/// Interned texts: attribute names read on every call and fixed pieces.
struct Interned {
    nb::handle registry, join, value_reject, empty, msb, c, a;
};
Interned g_text;

nb::handle intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw nb::python_error();
    return s;   // kept for the process
}

/// A module attribute read through an interned name.
nb::object module_attr(nb::handle name) {
    PyObject *value = PyObject_GetAttr(g_mod.module().ptr(), name.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

struct PaddingTypeNameRegistry : korvell::RegistryData {};

struct Packing {
    nb::object padding_type_name = nb::str("");
    nb::object lsb = nb::bool_(true);
    nb::object alignment = nb::none();
    nb::object cluster_marker = nb::int_(0);
};

using PackingGC = korvell::ObjectFields<Packing, &Packing::padding_type_name, &Packing::lsb, &Packing::alignment,
                                          &Packing::cluster_marker>;

/// Raise `exc_type(message)` from `cause`; the message is a str object so that
/// any text (lone surrogates included) survives.
[[noreturn]] void raise_from(nb::handle exc_type, nb::handle message, nb::handle cause) {
    korvell::raise_instance(exc_type(message), cause);
}

nb::str concat(nb::handle left, nb::handle right) {
    PyObject *s = PyUnicode_Concat(left.ptr(), right.ptr());
    if (!s)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

nb::str text_form(nb::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr()))
        return nb::borrow<nb::str>(obj);
    return nb::str(obj);
}

// ---------------------------------------------------------------------------
// Registry access.  The exact compiled registry with its own dict is read
// directly; anything else (a subclass, a replaced registry) goes through its
// Python operations so that overrides count.

bool is_plain_registry(nb::handle registry) {
    return Py_TYPE(registry.ptr()) == g_registry_type && nb::inst_ready(registry) &&
           PyDict_CheckExact(nb::inst_ptr<korvell::RegistryData>(registry)->registry.ptr());
}

nb::object resolve_name(nb::handle registry, nb::handle name) {
    if (is_plain_registry(registry)) {
        // kept while keys compare: a key's __eq__ may replace the registry's dict
        nb::object dict = nb::inst_ptr<korvell::RegistryData>(registry)->registry;
        PyObject *value = PyDict_GetItemWithError(dict.ptr(), name.ptr());
        if (value)
            return nb::borrow(value);
        if (PyErr_Occurred())
            throw nb::python_error();
        // a miss: the registry's own resolve raises its NotRegisteredError
    }
    return registry.attr("resolve")(name);
}

/// Calls `visit(name)` for every registered name, in registry order.  The
/// names are collected first: the visitor may run Python code.
template <typename Visit>
void for_each_name(nb::handle registry, std::vector<nb::object> &names, Visit &&visit) {
    names.clear();
    if (is_plain_registry(registry)) {
        PyObject *dict = nb::inst_ptr<korvell::RegistryData>(registry)->registry.ptr();
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value))
            names.push_back(nb::borrow(key));
    } else {
        for (nb::handle name : registry)
            names.push_back(nb::borrow(name));
    }
    for (const nb::object &name : names)
        if (!visit(name))
            return;
}

nb::object module_registry() { return module_attr(g_text.registry); }

// ---------------------------------------------------------------------------
// PaddingTypeNameRegistry.

korvell::RegistryData &data_of(nb::handle self) { return korvell::self_of<korvell::RegistryData>(self); }

void register_defaults(nb::handle self) {
    nb::object base_register = g_mod.get("Registry").attr("register");
    nb::dict defaults = korvell::new_dict();
    for (nb::handle member : g_padding_type)
        defaults[member.attr("value")] = member;
    for (auto [name, member] : defaults) {
        data_of(self).default_keys.attr("add")(name);
        base_register(self, name, member);
    }
    nb::str packed_name("Packed");
    data_of(self).default_keys.attr("add")(packed_name);
    base_register(self, packed_name, g_packed);
}

void register_name(nb::handle self, nb::handle name_obj, nb::handle value) {
    nb::str name = korvell::exact_str(name_obj, "name");
    nb::object default_keys = data_of(self).default_keys;   // kept while keys compare
    int is_default = PySequence_Contains(default_keys.ptr(), name.ptr());
    if (is_default < 0)
        throw nb::python_error();
    if (is_default)
        raise_from(g_mod.get("DuplicateRegistrationError"),
                   concat(nb::str("Value already registered: "), nb::repr(name)), nb::handle());
    g_mod.get("Registry").attr("register")(self, name, value);
}

/// A fresh registry of this very class, whatever class the caller is.
nb::object fresh_registry() { return nb::type<PaddingTypeNameRegistry>()(); }

nb::object default_snapshot(nb::handle /* cls */) { return fresh_registry().attr("snapshot")(); }

void restore(nb::handle self, nb::handle snap) {
    nb::object expected = fresh_registry().attr("snapshot")().attr("mapping");
    nb::object mapping = snap.attr("mapping");
    for (nb::handle item : expected.attr("items")()) {
        nb::handle name = item[0], padding = item[1];
        int present = PySequence_Contains(mapping.ptr(), name.ptr());
        if (present < 0)
            throw nb::python_error();
        if (!present || !mapping[name].equal(padding)) {
            nb::str message = concat(concat(nb::str("Snapshot needs to contain default key value mapping "),
                                            text_form(name)),
                                     concat(concat(nb::str(" -> "), nb::str(padding)), nb::str(".")));
            raise_from(PyExc_ValueError, message, nb::handle());
        }
    }
    // Copy the entries before the registry is emptied: a mapping that is the
    // registry's own dict would otherwise be lost with it.
    nb::object entries = nb::handle((PyObject *) &PyDict_Type)(mapping);
    nb::object registry = data_of(self).registry;
    registry.attr("clear")();
    registry.attr("update")(entries);
    data_of(self).default_keys = nb::set(expected);
}

// ---------------------------------------------------------------------------
// Packing construction.

/// An integer argument: ints as they are, other numbers through `int()`,
/// anything else refused with a TypeError naming the parameter.
nb::object integer_argument(nb::handle value, const char *param) {
    if (PyLong_CheckExact(value.ptr()))
        return nb::borrow(value);
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
        PyObject *converted = PyNumber_Long(value.ptr());
        if (!converted)
            throw nb::python_error();
        return nb::steal(converted);
    }
    int is_number = PyObject_IsInstance(value.ptr(), g_number.ptr());
    if (is_number < 0)
        throw nb::python_error();
    if (is_number) {
        PyObject *converted = PyNumber_Long(value.ptr());
        if (converted)
            return nb::steal(converted);
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();   // a number without an integer value (complex)
    } else if (PyIndex_Check(value.ptr())) {
        PyObject *converted = PyNumber_Index(value.ptr());
        if (!converted)
            throw nb::python_error();
        return nb::steal(converted);
    }
    korvell::raise_not_exact(value, param, "int");
}

/// The stored name for a padding type argument: a member becomes its value,
/// anything falsy becomes the empty name.
nb::object padding_name(nb::handle padding) {
    if (padding.is(g_packed))
        return nb::borrow(g_packed_value);
    if (padding.is(g_grouped))
        return nb::borrow(g_grouped_value);
    if (padding.is(g_unpacked))
        return nb::borrow(g_unpacked_value);
    if (PyUnicode_CheckExact(padding.ptr()) && PyUnicode_GET_LENGTH(padding.ptr()) > 0)
        return nb::borrow(padding);
    nb::object name = nb::borrow(padding);
    int is_member = PyObject_IsInstance(padding.ptr(), g_padding_type.ptr());
    if (is_member < 0)
        throw nb::python_error();
    if (is_member)
        name = padding.attr("value");
    int truthy = PyObject_IsTrue(name.ptr());
    if (truthy < 0)
        throw nb::python_error();
    return truthy ? name : nb::borrow(g_unpacked_value);
}

/// Check that `name` is registered; an unknown name is a rejected value.
void check_name(nb::handle name) {
    nb::object registry = module_registry();
    try {
        resolve_name(registry, name);
    } catch (nb::python_error &e) {
        if (!e.matches(g_mod.get("NotRegisteredError")))
            throw;
        raise_from(g_mod.get("PixelFormatValueReject"),
                   concat(text_form(name), nb::str(" is not a valid padding type name.")), e.value());
    }
}

Packing make_packing(nb::handle padding, nb::object lsb, nb::object alignment, nb::object cluster_marker) {
    nb::object name = padding_name(padding);
    check_name(name);
    return Packing{std::move(name), std::move(lsb), std::move(alignment), std::move(cluster_marker)};
}

void packing_init(nb::pointer_and_handle<Packing> self, nb::handle padding, nb::handle lsb,
                  nb::handle alignment, nb::handle cluster_marker) {
    int truthy = PyObject_IsTrue(lsb.ptr());
    if (truthy < 0)
        throw nb::python_error();
    nb::object lsb_value = nb::bool_(truthy != 0);
    nb::object alignment_value = alignment.is_none() ? nb::none() : integer_argument(alignment, "alignment");
    nb::object cluster_value = integer_argument(cluster_marker, "cluster_marker");
    Packing made = make_packing(padding, std::move(lsb_value), std::move(alignment_value), std::move(cluster_value));
    // The arguments' Python code may have initialised this very object through
    // a nested __init__: its fields are then replaced, not constructed over.
    if (nb::inst_ready(self.h))
        *self.p = std::move(made);
    else
        new (self.p) Packing(std::move(made));
}

/// The padding type of `padding_type_name`, looked up in the registry.  The
/// name is kept while it is looked up: a registry that is no plain dict runs
/// Python code, which may replace the field.
nb::object own_padding_type(nb::handle obj) {
    nb::object name = korvell::self_of<Packing>(obj).padding_type_name;
    return resolve_name(module_registry(), name);
}

/// The resolved padding type of a packing; a subclass's property is honoured.
nb::object padding_type_of(nb::handle obj) {
    if (Py_TYPE(obj.ptr()) == g_packing_type)
        return own_padding_type(obj);
    return obj.attr("padding_type");
}

bool packing_eq(nb::handle self, nb::handle other) {
    const Packing &a = korvell::self_of<Packing>(self);
    const Packing *other_packing = korvell::instance_of<Packing>(other);
    if (!other_packing)
        return false;
    if (!padding_type_of(self).equal(padding_type_of(other)))
        return false;
    // Each pair of fields is kept while it compares: a field's __eq__ may
    // replace a field of either packing.
    const Packing &b = *other_packing;
    auto field_equal = [](const nb::object &mine, const nb::object &theirs) {
        nb::object x = mine, y = theirs;
        return x.equal(y);
    };
    return field_equal(a.lsb, b.lsb) && field_equal(a.alignment, b.alignment) &&
           field_equal(a.cluster_marker, b.cluster_marker);
}

// ---------------------------------------------------------------------------
// Packing designation.

nb::object designation(nb::handle self) {
    const Packing &p = korvell::self_of<Packing>(self);
    int lsb = PyObject_IsTrue(p.lsb.ptr());
    if (lsb < 0)
        throw nb::python_error();
    nb::str padding_piece = text_form(p.padding_type_name);
    if (!lsb)
        padding_piece = concat(padding_piece, g_text.msb);

    nb::str cluster_piece = nb::borrow<nb::str>(g_text.empty);
    int cluster = PyObject_IsTrue(p.cluster_marker.ptr());
    if (cluster < 0)
        throw nb::python_error();
    if (cluster)
        cluster_piece = concat(g_text.c, nb::str(p.cluster_marker));

    nb::str alignment_piece = nb::borrow<nb::str>(g_text.empty);
    int aligned = PyObject_IsTrue(p.alignment.ptr());
    if (aligned < 0)
        throw nb::python_error();
    if (aligned) {
        // only here is the name resolved: an unregistered name without an
        // alignment is still written as it stands
        if (padding_type_of(self).is(g_packed))
            padding_piece = concat(padding_piece, nb::str(p.alignment));
        else
            alignment_piece = concat(g_text.a, nb::str(p.alignment));
    }
    nb::object join = module_attr(g_text.join);
    return join(join(cluster_piece, padding_piece), alignment_piece);
}

// ---------------------------------------------------------------------------
// Packing parse.

/// Byte length of `name` when `text` begins with it; -1 when it does not, or
/// when the name is not text (such a name never begins a designation).
long long match_name(nb::handle name, std::string_view text) {
    if (!PyUnicode_Check(name.ptr()))
        return -1;
    korvell::Text n = korvell::view_text(name);
    return starts_with(text, n.view) ? (long long) n.view.size() : -1;
}

/// Whether the text after a separator "_" begins a padding piece.
bool separator_applies(nb::handle registry, std::vector<nb::object> &names, std::string_view after) {
    if (starts_with(after, "msb") || starts_with(after, "a"))
        return true;
    bool found = false;
    for_each_name(registry, names, [&](nb::handle name) {
        found = match_name(name, after) > 0;
        return !found;
    });
    return found;
}

nb::list from_designation(nb::handle text_obj) {
    nb::str full = korvell::exact_str(text_obj, "full_designation");
    korvell::Text text = korvell::view_text(full);
    std::string_view view = text.view;
    nb::object registry = module_registry();

    // Stage 1: cluster marker.
    std::vector<std::pair<nb::object, size_t>> clusters;
    clusters.emplace_back(nb::int_(0), 0);
    if (size_t run = cluster_digits(view))
        clusters.emplace_back(korvell::int_from_digits(view.substr(1, run)), 1 + run);

    nb::list result = korvell::new_list();
    std::vector<nb::object> names;
    std::vector<std::pair<nb::object, size_t>> paddings;
    // a rest shared by several candidates is built once
    std::vector<std::pair<size_t, nb::object>> rests;
    auto rest_at = [&](size_t offset) -> nb::object {
        for (auto &[at, s] : rests)
            if (at == offset)
                return s;
        nb::object s = korvell::rest_of(text, offset);
        rests.emplace_back(offset, s);
        return s;
    };

    for (auto &[cluster, cluster_end] : clusters) {
        size_t rest = cluster_end;
        // Stage 1a: one separator directly before the padding piece.
        if (rest < view.size() && view[rest] == '_' && separator_applies(registry, names, view.substr(rest + 1)))
            rest += 1;

        // Stage 2: every registered name, in registry order, resolved whether it
        // matches or not.
        paddings.clear();
        for_each_name(registry, names, [&](nb::handle name) {
            nb::object padding = resolve_name(registry, name);
            long long length = match_name(name, view.substr(rest));
            if (length >= 0)
                paddings.emplace_back(std::move(padding), rest + (size_t) length);
            return true;
        });

        for (auto &[padding, rest2] : paddings) {
            // Stage 3: msb.
            std::pair<bool, size_t> lsbs[2] = {{true, rest2}, {false, 0}};
            size_t lsb_count = 1;
            if (starts_with(view.substr(rest2), "msb"))
                lsbs[lsb_count++] = {false, rest2 + 3};
            bool packed = padding.is(g_packed);

            for (size_t i = 0; i < lsb_count; ++i) {
                auto [lsb, rest3] = lsbs[i];
                // Stage 4: alignment, directly after a packed name, else after "a".
                std::pair<nb::object, size_t> alignments[2] = {{nb::none(), rest3}, {nb::object(), 0}};
                size_t alignment_count = 1;
                size_t digits_at = rest3;
                bool numeric = packed;
                if (!packed && starts_with(view.substr(rest3), "a")) {
                    digits_at = rest3 + 1;
                    numeric = true;
                }
                if (numeric) {
                    size_t run = korvell::digit_run(view.substr(digits_at));
                    if (run > 0)
                        alignments[alignment_count++] = {korvell::int_from_digits(view.substr(digits_at, run)),
                                                         digits_at + run};
                }

                for (size_t j = 0; j < alignment_count; ++j) {
                    nb::object packing;
                    try {
                        packing = nb::cast(make_packing(padding, nb::bool_(lsb), alignments[j].first, cluster));
                    } catch (nb::python_error &e) {
                        if (!e.matches(module_attr(g_text.value_reject)))
                            throw;
                        nb::object err = nb::borrow(e.value());
                        korvell::log_debug(g_mod, [&] {
                            korvell::Text message = korvell::view_text(nb::str(err));
                            return "Value rejected " + std::string(message.view);
                        });
                        continue;
                    }
                    result.append(nb::make_tuple(packing, rest_at(alignments[j].second)));
                }
            }
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// Binding.

constexpr const char *PACKING_DOC =
    "Represents the packing configuration for pixel formats.\n\n"
    "A padding-type name (resolved through PADDING_TYPE_NAME_REGISTRY on every use),\n"
    "whether the least significant bit is used (false is written \"msb\"), an optional\n"
    "alignment and an optional cluster marker (0 when there is none).";

void bind_registry(nb::module_ &m) {
    nb::object str_type = nb::module_::import_("builtins").attr("str");
    nb::object base = m.attr("Registry")[nb::make_tuple(str_type, g_padding_type)];
    nb::class_<PaddingTypeNameRegistry> cls(m, "PaddingTypeNameRegistry", base,
                                            nb::type_slots(korvell::registry_slots));
    cls.doc() = "Registry for padding type names with immutable defaults.";
    cls.def(
           "__init__",
           [](nb::pointer_and_handle<PaddingTypeNameRegistry> self) {
               new (self.p) PaddingTypeNameRegistry();
               self.p->default_keys = korvell::new_set();
               // the defaults go through the object, so a subclass may add its own
               nb::inst_mark_ready(self.h);
               try {
                   self.h.attr("_register_defaults")();
               } catch (...) {
                   nb::inst_destruct(self.h);
                   throw;
               }
           },
           nb::sig("def __init__(self) -> None"))
        .def_prop_rw(
            "_default_keys", [](nb::handle self) { return data_of(self).default_keys; },
            [](nb::handle self, nb::handle value) { data_of(self).default_keys = nb::borrow(value); },
            nb::arg("value").none(), nb::for_getter(nb::sig("def _default_keys(self) -> set[str]")),
            nb::for_setter(nb::sig("def _default_keys(self, value: set[str], /) -> None")),
            "The default names; they can never be registered again.")
        .def("_register_defaults", &register_defaults,
             "Register the default names: the value of each PaddingType member, then \"Packed\".")
        .def("register", &register_name, "name"_a.none(), "value"_a.none(),
             nb::sig("def register(self, name: str, value: PaddingType) -> None"),
             "Register ``name`` for ``value``; a default name raises DuplicateRegistrationError.")
        .def("restore", &restore, "snap"_a.none(),
             nb::sig("def restore(self, snap: korvell.pfnc._internal.registry.MappingSnapshot[str, PaddingType]) "
                     "-> None"),
             "Replace every entry by the snapshot's.\n\n"
             "The snapshot must map every default name to its default padding type;\n"
             "otherwise ValueError is raised and the registry is left unchanged.");
    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");
    cls.attr("default_snapshot") = classmethod(
        nb::cpp_function(&default_snapshot, nb::name("default_snapshot"), "cls"_a,
                         "A snapshot that holds only the default names."));
    korvell::use_flat_dealloc(cls);
}

void bind_packing(nb::module_ &m) {
    nb::class_<Packing> cls(m, "Packing", nb::type_slots(PackingGC::slots));
    cls.doc() = PACKING_DOC;
    cls.def("__init__", &packing_init, "padding_type"_a.none() = nb::none(), "lsb"_a.none() = true,
            "alignment"_a.none() = nb::none(), "cluster_marker"_a.none() = 0,
            nb::sig("def __init__(self, padding_type: PaddingType | str | None = None, lsb: object = True, "
                    "alignment: int | None = None, cluster_marker: int = 0) -> None"))
        .def_prop_rw(
            "padding_type_name", [](const Packing &p) { return p.padding_type_name; },
            [](Packing &p, nb::handle v) { p.padding_type_name = nb::borrow(v); }, nb::arg("value").none(),
            nb::for_getter(nb::sig("def padding_type_name(self) -> str")),
            nb::for_setter(nb::sig("def padding_type_name(self, value: str, /) -> None")),
            "The padding-type name the packing was built with (\"\" when unpacked).")
        .def_prop_rw(
            "lsb", [](const Packing &p) { return p.lsb; }, [](Packing &p, nb::handle v) { p.lsb = nb::borrow(v); },
            nb::arg("value").none(), nb::for_getter(nb::sig("def lsb(self) -> bool")),
            nb::for_setter(nb::sig("def lsb(self, value: bool, /) -> None")),
            "Whether the least significant bit is used; false is written \"msb\".")
        .def_prop_rw(
            "alignment", [](const Packing &p) { return p.alignment; },
            [](Packing &p, nb::handle v) { p.alignment = nb::borrow(v); }, nb::arg("value").none(),
            nb::for_getter(nb::sig("def alignment(self) -> int | None")),
            nb::for_setter(nb::sig("def alignment(self, value: int | None, /) -> None")),
            "The alignment, or None.")
        .def_prop_rw(
            "cluster_marker", [](const Packing &p) { return p.cluster_marker; },
            [](Packing &p, nb::handle v) { p.cluster_marker = nb::borrow(v); }, nb::arg("value").none(),
            nb::for_getter(nb::sig("def cluster_marker(self) -> int")),
            nb::for_setter(nb::sig("def cluster_marker(self, value: int, /) -> None")),
            "The cluster marker; 0 when there is none.")
        .def_prop_ro(
            "padding_type",
            &own_padding_type,
            nb::sig("def padding_type(self) -> PaddingType"),
            "The padding type of ``padding_type_name``, looked up in the registry on every read.")
        .def("__eq__", &packing_eq, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("designation", &designation, nb::sig("def designation(self) -> str"),
             "The designation text: cluster marker, padding name, \"msb\" and alignment\n"
             "(\"c3p32\", \"pmsb32\", \"ga16\").")
        .def_static("from_designation", &from_designation, "full_designation"_a.none(),
                    nb::sig("def from_designation(full_designation: str) -> list[tuple[Packing, str]]"),
                    "Every reading of a packing at the front of ``full_designation``.\n\n"
                    "Returns (packing, remaining text) pairs: without a cluster marker before\n"
                    "with one, the registered names in registry order, lsb before msb, no\n"
                    "alignment before a read one. Never empty: the unpacked reading that\n"
                    "consumes nothing is always among them.")
        .def(
            "__getstate__",
            [](const Packing &p) { return nb::make_tuple(p.padding_type_name, p.lsb, p.alignment, p.cluster_marker); },
            nb::sig("def __getstate__(self) -> tuple[str, bool, int | None, int]"))
        .def(
            "__setstate__",
            [](Packing &p, nb::tuple state) {
                if (nb::len(state) != 4)
                    throw nb::value_error("Packing state must hold 4 fields");
                new (&p) Packing{state[0], state[1], state[2], state[3]};
            },
            nb::sig("def __setstate__(self, state: tuple[str, bool, int | None, int], /) -> None"));
    cls.attr("__hash__") = nb::none();
    korvell::use_flat_dealloc(cls);
}

} // namespace

NB_MODULE(ostrevo, m) {
    m.doc() = "Packing: padding types, the registry of padding-type names and the packing part\n"
              "of a PFNC pixel-format designation.";
    g_mod.bind(m);
    g_text = {intern("PADDING_TYPE_NAME_REGISTRY"), intern("join_designators"), intern("PixelFormatValueReject"),
              intern(""), intern("msb"), intern("c"), intern("a")};
    korvell::bind_from(m, "enum", "Enum");
    korvell::bind_from(m, "logging", "getLogger");
    korvell::bind_from(m, "korvell.pfnc.exceptions", "PixelFormatValueReject");
    korvell::bind_from(m, "korvell.pfnc.exceptions", "DuplicateRegistrationError");
    korvell::bind_from(m, "korvell.pfnc.exceptions", "NotRegisteredError");
    korvell::bind_from(m, "korvell.pfnc._internal.registry", "MappingSnapshot");
    korvell::bind_from(m, "korvell.pfnc._internal.registry", "Registry");
    korvell::bind_from(m, "korvell.pfnc._internal.utils", "join_designators");
    m.attr("logger") = m.attr("getLogger")("korvell.pfnc.genicam.ostrevo");
    g_number = nb::object(nb::module_::import_("numbers").attr("Number")).release();

    nb::object padding_type = korvell::make_enum(m, "PaddingType", {{"PACKED", "p"}, {"GROUPED", "g"}, {"UNPACKED", ""}},
                                                 "Enumeration of padding types for pixel formats.");
    g_padding_type = padding_type.inc_ref();
    g_packed = nb::object(padding_type.attr("PACKED")).release();
    g_grouped = nb::object(padding_type.attr("GROUPED")).release();
    g_unpacked = nb::object(padding_type.attr("UNPACKED")).release();
    g_packed_value = nb::object(g_packed.attr("value")).release();
    g_grouped_value = nb::object(g_grouped.attr("value")).release();
    g_unpacked_value = nb::object(g_unpacked.attr("value")).release();

    bind_registry(m);
    g_registry_type = (PyTypeObject *) nb::type<PaddingTypeNameRegistry>().ptr();
    m.attr("PADDING_TYPE_NAME_REGISTRY") = nb::type<PaddingTypeNameRegistry>()();
    bind_packing(m);
    g_packing_type = (PyTypeObject *) nb::type<Packing>().ptr();
}
