// ostrevo.cpp -- the packing part of a PFNC designation: padding types, the
// registry of padding-type names, and `Packing` with its parse and format.
#include "binding.hpp"
#include "designators.hpp"

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------------------
// Plain C++ over the UTF-8 form of the designation text: the four stages of
// the parse and the pieces of the designation.

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

/// A registered padding-type name as the parse sees it.
struct NameView {
    std::string_view text;
    bool is_text = false;   // a name that is no str never begins a designation
    bool packed = false;    // its padding type is PACKED: alignment digits follow it directly
};

/// One reading of the cluster marker: its digits (none for the marker 0) and
/// where the text after it starts.
struct ClusterReading {
    std::string_view digits;
    size_t end = 0;
};

/// Stage 1: the marker 0 with nothing consumed, then the marker after a "c"
/// where it has digits and no leading zero.  Returns how many readings.
size_t read_clusters(std::string_view text, ClusterReading (&out)[2]) {
    out[0] = {};
    if (text.empty() || text.front() != 'c')
        return 1;
    size_t run = korvell::digit_run(text.substr(1));
    if (run == 0 || text[1] == '0')
        return 1;
    out[1] = {text.substr(1, run), 1 + run};
    return 2;
}

/// Whether stage 1a at `at` has to look at the registered names: a "_" that
/// "msb" or "a" does not follow already decides without them.
bool separator_needs_names(std::string_view text, size_t at) {
    if (at >= text.size() || text[at] != '_')
        return false;
    std::string_view after = text.substr(at + 1);
    return !starts_with(after, "msb") && !starts_with(after, "a");
}

/// Stage 1a: where the padding piece starts.  One "_" at `at` is passed over
/// when a registered name, "msb" or "a" follows it.
size_t padding_start(std::string_view text, size_t at, const std::vector<NameView> &names) {
    if (at >= text.size() || text[at] != '_')
        return at;
    std::string_view after = text.substr(at + 1);
    if (starts_with(after, "msb") || starts_with(after, "a"))
        return at + 1;
    for (const NameView &name : names)
        if (name.is_text && !name.text.empty() && starts_with(after, name.text))
            return at + 1;
    return at;
}

/// One (padding name, lsb) reading of stages 2 and 3 with its alignment
/// readings of stage 4: the one without alignment always, and the one with
/// the digits where there are some.
struct PaddingReading {
    size_t name = 0;              // index into the names
    bool lsb = true;
    size_t end = 0;               // where the text after the reading without alignment starts
    std::string_view alignment;   // the alignment digits; empty when there is no aligned reading
    size_t aligned_end = 0;
};

/// Stages 2 to 4 from `at`: the names that begin the text in registry order,
/// lsb before msb; a packed name's digits follow it directly, any other name's
/// follow an "a".
void read_paddings(std::string_view text, size_t at, const std::vector<NameView> &names,
                   std::vector<PaddingReading> &out) {
    out.clear();
    for (size_t i = 0; i < names.size(); ++i) {
        if (!names[i].is_text || !starts_with(text.substr(at), names[i].text))
            continue;
        size_t rest = at + names[i].text.size();
        size_t lsb_ends[2] = {rest, rest + 3};
        size_t lsb_count = starts_with(text.substr(rest), "msb") ? 2 : 1;
        for (size_t j = 0; j < lsb_count; ++j) {
            PaddingReading reading{i, j == 0, lsb_ends[j], {}, 0};
            size_t digits_at = lsb_ends[j];
            bool numeric = names[i].packed;
            if (!numeric && starts_with(text.substr(digits_at), "a")) {
                digits_at += 1;
                numeric = true;
            }
            size_t run = numeric ? korvell::digit_run(text.substr(digits_at)) : 0;
            if (run > 0) {
                reading.alignment = text.substr(digits_at, run);
                reading.aligned_end = digits_at + run;
            }
            out.push_back(reading);
        }
    }
}

/// The three pieces of a designation, from the packing's values as text: the
/// cluster marker ("" for 0), the padding name, and the alignment ("" for none).
struct Pieces {
    std::string cluster, padding, alignment;
};

Pieces packing_pieces(std::string_view name, bool lsb, std::string_view cluster, std::string_view alignment,
                      bool packed) {
    Pieces pieces;
    if (!cluster.empty())
        pieces.cluster.append("c").append(cluster);
    pieces.padding.append(name);
    if (!lsb)
        pieces.padding.append("msb");
    if (!alignment.empty())
        (packed ? pieces.padding : pieces.alignment.append("a")).append(alignment);
    return pieces;
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
nb::handle g_packing_cls;             // the Packing class, for candidates made in place

// Attribute names read on every call, and the fixed pieces of a designation.
const korvell::Name s_registry{"PADDING_TYPE_NAME_REGISTRY"}, s_join{"join_designators"},
    s_value_reject{"PixelFormatValueReject"}, s_not_registered{"NotRegisteredError"}, s_registry_base{"Registry"},
    s_resolve{"resolve"};
const korvell::Name s_empty{""}, s_msb{"msb"}, s_c{"c"}, s_a{"a"};

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
    korvell::raise_instance(korvell::call(exc_type, message), cause);
}

nb::str concat(nb::handle left, nb::handle right) {
    return korvell::owned<nb::str>(PyUnicode_Concat(left.ptr(), right.ptr()));
}

using korvell::truth;

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
        if (nb::handle value = korvell::borrowed_or_absent(PyDict_GetItemWithError(dict.ptr(), name.ptr())))
            return nb::borrow(value);
        // a miss: the registry's own resolve raises its NotRegisteredError
    }
    return korvell::call_method(registry, s_resolve, name);
}

/// Every registered name, in registry order, collected before any is used:
/// what uses them may run Python code.
void registered_names(nb::handle registry, std::vector<nb::object> &names) {
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
}

/// The plain registry's names as the stages see them, with the member each
/// stands for.  The names are held, so their UTF-8 forms stay valid whatever
/// happens to the dict meanwhile; where dicts carry a version, a reading is
/// reused while its dict is the same and unchanged.
struct PlainNames {
    std::vector<NameView> names;
    std::vector<PyObject *> members;
    std::vector<PyObject *> keys;   // strong references
    PyObject *dict = nullptr;       // compared only, never read
    uint64_t version = 0;

    PlainNames() = default;
    PlainNames(const PlainNames &) = delete;
    PlainNames &operator=(const PlainNames &) = delete;
    ~PlainNames() {
        // the module's own reading outlives the interpreter: it is not released then
        if (Py_IsInitialized())
            release();
    }
    void release() {
        for (PyObject *key : keys)
            Py_DECREF(key);
        keys.clear();
        names.clear();
        members.clear();
        dict = nullptr;
    }
};

/// The names of the exact compiled registry read straight from its dict, with
/// the member each is registered for, when a parse over them cannot run
/// Python code or fail: every name is a str with a UTF-8 form, every value a
/// PaddingType member, and each such member's own name is registered (so that
/// each candidate's construction passes its check).  False for anything else.
bool plain_names(nb::handle registry, PlainNames &plain) {
    if (!is_plain_registry(registry))
        return false;
    PyObject *dict = nb::inst_ptr<korvell::RegistryData>(registry)->registry.ptr();
#ifdef KORVELL_DICT_VERSION
    uint64_t version = korvell::dict_version(dict);
    if (plain.dict == dict && plain.version == version)
        return true;   // the same dict, unchanged since its names were read
#endif
    plain.release();
    std::vector<NameView> &names = plain.names;
    std::vector<PyObject *> &members = plain.members;
    bool used[3] = {false, false, false};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        int member = value == g_packed.ptr() ? 0 : value == g_grouped.ptr() ? 1 : value == g_unpacked.ptr() ? 2 : -1;
        if (member < 0 || !PyUnicode_CheckExact(key))
            return false;
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(key, &size);
        if (!data) {
            PyErr_Clear();   // lone surrogates: the general path reads such names
            return false;
        }
        used[member] = true;
        names.push_back({std::string_view(data, (size_t) size), true, member == 0});
        members.push_back(value);
        plain.keys.push_back(Py_NewRef(key));
    }
    // Every key is an exact str now, so these lookups compare without Python code.
    nb::handle member_names[3] = {g_packed_value, g_grouped_value, g_unpacked_value};
    for (int i = 0; i < 3; ++i)
        if (used[i] && !korvell::borrowed_or_absent(PyDict_GetItemWithError(dict, member_names[i].ptr())))
            return false;
#ifdef KORVELL_DICT_VERSION
    plain.dict = dict;
    plain.version = version;
#endif
    return true;
}

nb::object module_registry() { return g_mod.get(s_registry); }

// ---------------------------------------------------------------------------
// PaddingTypeNameRegistry.

korvell::RegistryData &data_of(nb::handle self) { return korvell::self_of<korvell::RegistryData>(self); }

void register_defaults(nb::handle self) {
    nb::object base_register = g_mod.get(s_registry_base).attr("register");
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
    if (korvell::contains(default_keys, name))
        raise_from(g_mod.get("DuplicateRegistrationError"),
                   concat(nb::str("Value already registered: "), nb::repr(name)), nb::handle());
    g_mod.get(s_registry_base).attr("register")(self, name, value);
}

void registry_init(nb::pointer_and_handle<PaddingTypeNameRegistry> self) {
    PaddingTypeNameRegistry made;
    made.default_keys = korvell::new_set();
    // the defaults go through the object, so a subclass may add its own
    korvell::construct_then(self, std::move(made), [&] { self.h.attr("_register_defaults")(); });
}

/// A fresh registry of this very class, whatever class the caller is.
nb::object fresh_registry() { return nb::type<PaddingTypeNameRegistry>()(); }

nb::object default_snapshot(nb::handle /* cls */) { return fresh_registry().attr("snapshot")(); }

void restore(nb::handle self, nb::handle snap) {
    nb::object expected = fresh_registry().attr("snapshot")().attr("mapping");
    nb::object mapping = snap.attr("mapping");
    for (nb::handle item : expected.attr("items")()) {
        nb::handle name = item[0], padding = item[1];
        if (!korvell::contains(mapping, name) || !mapping[name].equal(padding)) {
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
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))
        return korvell::owned(PyNumber_Long(value.ptr()));
    if (korvell::checked(PyObject_IsInstance(value.ptr(), g_number.ptr()))) {
        PyObject *converted = PyNumber_Long(value.ptr());
        if (converted)
            return nb::steal(converted);
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();   // a number without an integer value (complex)
    } else if (PyIndex_Check(value.ptr())) {
        return korvell::owned(PyNumber_Index(value.ptr()));
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
    if (korvell::checked(PyObject_IsInstance(padding.ptr(), g_padding_type.ptr())))
        name = padding.attr("value");
    return truth(name) ? name : nb::borrow(g_unpacked_value);
}

/// Check that `name` is registered; an unknown name is a rejected value.
void check_name(nb::handle name) {
    nb::object registry = module_registry();
    try {
        resolve_name(registry, name);
    } catch (nb::python_error &e) {
        if (!e.matches(g_mod.get(s_not_registered)))
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
    nb::object lsb_value = nb::bool_(truth(lsb));
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

/// The record behind `self`; the exact class is recognised without a lookup
/// in nanobind's type map.
const Packing &packing_of(nb::handle self) {
    if (Py_TYPE(self.ptr()) == g_packing_type && nb::inst_ready(self))
        return *nb::inst_ptr<Packing>(self);
    return korvell::self_of<Packing>(self);
}

// ---------------------------------------------------------------------------
// Packing designation.  A packing whose fields hold what a construction gives
// (a str name, a bool, an int or None, an int) is written from plain values;
// any other field values are taken through the interpreter's truth and `str`
// in the order the pieces are built.

/// The pieces of a plain packing, or false when the general path has to write
/// it: a subclass, other field types, or an alignment to be written while the
/// registry is not the plain compiled one.  Nothing observable happens before
/// the answer is known.
bool plain_pieces(nb::handle self, const Packing &p, Pieces &pieces) {
    if (Py_TYPE(self.ptr()) != g_packing_type)
        return false;   // a subclass may tell its padding type its own way
    PyObject *name = p.padding_type_name.ptr(), *alignment = p.alignment.ptr(), *cluster = p.cluster_marker.ptr();
    if (!PyUnicode_CheckExact(name) || !PyBool_Check(p.lsb.ptr()) || !PyLong_CheckExact(cluster) ||
        (alignment != Py_None && !PyLong_CheckExact(alignment)))
        return false;
    bool aligned = alignment != Py_None && truth(alignment);
    bool packed = false;
    if (aligned) {
        nb::object registry = module_registry();
        if (!is_plain_registry(registry))
            return false;
        nb::object dict = nb::inst_ptr<korvell::RegistryData>(registry)->registry;
        nb::handle padding = korvell::borrowed_or_absent(PyDict_GetItemWithError(dict.ptr(), name));
        if (!padding)
            return false;   // the general path raises the registry's own error
        packed = padding.is(g_packed);
    }
    korvell::Text name_text = korvell::view_text(name);
    std::string cluster_text = truth(cluster) ? korvell::int_text(cluster) : std::string();
    std::string alignment_text = aligned ? korvell::int_text(alignment) : std::string();
    pieces = packing_pieces(name_text.view, p.lsb.ptr() == Py_True, cluster_text, alignment_text, packed);
    return true;
}

/// The pieces of any packing, each field taken through the interpreter.
std::array<nb::str, 3> general_pieces(nb::handle self, const Packing &p) {
    bool lsb = truth(p.lsb);
    nb::str padding_piece = text_form(p.padding_type_name);
    if (!lsb)
        padding_piece = concat(padding_piece, s_msb);

    nb::str cluster_piece = nb::borrow<nb::str>(s_empty);
    if (truth(p.cluster_marker))
        cluster_piece = concat(s_c, nb::str(p.cluster_marker));

    nb::str alignment_piece = nb::borrow<nb::str>(s_empty);
    if (truth(p.alignment)) {
        // only here is the name resolved: an unregistered name without an
        // alignment is still written as it stands
        if (padding_type_of(self).is(g_packed))
            padding_piece = concat(padding_piece, nb::str(p.alignment));
        else
            alignment_piece = concat(s_a, nb::str(p.alignment));
    }
    return {cluster_piece, padding_piece, alignment_piece};
}

/// The package's own join is applied in C++ while the module's
/// `join_designators` is still the compiled function it bound at import; a
/// replaced one is called.
nb::object designation(nb::handle self) {
    const Packing &p = packing_of(self);
    Pieces pieces;
    if (plain_pieces(self, p, pieces)) {
        if (g_mod.is_original(s_join)) {
            std::string &text = pieces.cluster;
            korvell::append_piece(text, pieces.padding);
            korvell::append_piece(text, pieces.alignment);
            return korvell::make_str(text);
        }
        nb::object join = g_mod.get(s_join);
        return join(join(korvell::make_str(pieces.cluster), korvell::make_str(pieces.padding)),
                    korvell::make_str(pieces.alignment));
    }
    auto [cluster, padding, alignment] = general_pieces(self, p);
    nb::object join = g_mod.get(s_join);
    return join(join(cluster, padding), alignment);
}

// ---------------------------------------------------------------------------
// Packing parse.  The Python inputs are taken first (the registry's names and
// what they resolve to), the stages run over the text's UTF-8 form, then the
// candidates are built.  With the plain registry nothing of this runs Python
// code, so its names are taken once; otherwise they are taken afresh for each
// cluster reading, in the order the stages ask for them, since constructing
// and logging the candidates of one reading may change the registry.

/// The text after each offset, made once per offset.
class Rests {
public:
    using Made = std::vector<std::pair<size_t, nb::object>>;
    Rests(const korvell::Text &text, Made &made) : text_(text), made_(made) {}
    nb::handle at(size_t offset) {
        for (auto &[at, rest] : made_)
            if (at == offset)
                return rest;
        made_.emplace_back(offset, korvell::rest_of(text_, offset));
        return made_.back().second;
    }

private:
    const korvell::Text &text_;
    Made &made_;
};

/// Working storage of a parse, kept between calls so that a parse of the
/// plain registry allocates nothing of its own.  A parse that begins while
/// another is under way (from a finalizer a collection runs, say) gets fresh
/// storage of its own.
struct Scratch {
    PlainNames plain;
    std::vector<PaddingReading> readings;
    Rests::Made rests;
};

Scratch g_scratch;
bool g_scratch_busy = false;

class ScratchLease {
public:
    ScratchLease() : shared_(!g_scratch_busy) { g_scratch_busy = true; }
    ~ScratchLease() {
        if (!shared_)
            return;
        g_scratch.rests.clear();   // the texts are not kept beyond the parse
        g_scratch_busy = false;
    }
    Scratch &get() { return shared_ ? g_scratch : own_; }
    ScratchLease(const ScratchLease &) = delete;
    ScratchLease &operator=(const ScratchLease &) = delete;

private:
    bool shared_;
    Scratch own_;
};

void append_candidate(nb::handle result, nb::handle packing, nb::handle rest) {
    korvell::append(result, korvell::pair(packing, rest));
}

nb::object alignment_value(const PaddingReading &reading) {
    return reading.alignment.empty() ? nb::none() : korvell::int_from_digits(reading.alignment);
}

/// A Packing instance holding `made`.
nb::object packing_object(Packing &&made) {
    return korvell::new_instance<Packing>(g_packing_cls, std::move(made));
}

/// A new Packing from values that need no conversion or check, its fields
/// constructed in place (a plain parse makes several per call).
nb::object new_packing(nb::handle name, bool lsb, nb::handle alignment, nb::handle cluster) {
    return korvell::new_instance<Packing>(
        g_packing_cls,
        Packing{nb::borrow(name), nb::borrow(lsb ? Py_True : Py_False), nb::borrow(alignment), nb::borrow(cluster)});
}

/// The candidates of the plain registry's readings: each member stands for
/// its own name, which is registered, so every construction passes.
void build_plain(nb::handle result, Rests &rests, const std::vector<PaddingReading> &readings,
                 const std::vector<PyObject *> &members, nb::handle cluster) {
    for (const PaddingReading &reading : readings) {
        PyObject *member = members[reading.name];
        nb::handle name = member == g_packed.ptr()    ? g_packed_value
                          : member == g_grouped.ptr() ? g_grouped_value
                                                      : g_unpacked_value;
        nb::object alignment = alignment_value(reading);
        append_candidate(result, new_packing(name, reading.lsb, Py_None, cluster), rests.at(reading.end));
        if (!reading.alignment.empty())
            append_candidate(result, new_packing(name, reading.lsb, alignment, cluster), rests.at(reading.aligned_end));
    }
}

/// Constructs one candidate through the general construction; a rejected
/// value is logged and leaves the candidate out.
void append_constructed(nb::handle result, nb::handle padding, bool lsb, nb::handle alignment, nb::handle cluster,
                        nb::handle rest) {
    nb::object packing;
    try {
        packing = packing_object(make_packing(padding, nb::bool_(lsb), nb::borrow(alignment), nb::borrow(cluster)));
    } catch (nb::python_error &e) {
        if (!korvell::log_value_reject(g_mod, e))
            throw;
        return;
    }
    append_candidate(result, packing, rest);
}

/// Names as the stages see them; `texts` keeps their UTF-8 forms.
void view_names(const std::vector<nb::object> &names, std::vector<korvell::Text> &texts, std::vector<NameView> &views) {
    texts.clear();
    views.clear();
    for (const nb::object &name : names) {
        bool is_text = PyUnicode_Check(name.ptr());
        texts.push_back(is_text ? korvell::view_text(name) : korvell::Text{});
        views.push_back({texts.back().view, is_text, false});
    }
}

/// One cluster reading through the registry's own operations: the names for
/// the separator test where the text needs them, the names again each
/// resolved in turn, the stages, then each candidate constructed and checked.
void parse_general(nb::handle result, Rests &rests, std::string_view view, nb::handle registry,
                   const ClusterReading &reading, nb::handle cluster) {
    std::vector<nb::object> names;
    std::vector<korvell::Text> texts;
    std::vector<NameView> views;
    if (separator_needs_names(view, reading.end)) {
        registered_names(registry, names);
        view_names(names, texts, views);
    }
    size_t at = padding_start(view, reading.end, views);

    registered_names(registry, names);
    std::vector<nb::object> paddings;
    for (const nb::object &name : names)
        paddings.push_back(resolve_name(registry, name));
    view_names(names, texts, views);
    for (size_t i = 0; i < views.size(); ++i)
        views[i].packed = paddings[i].is(g_packed);

    std::vector<PaddingReading> readings;
    read_paddings(view, at, views, readings);
    for (const PaddingReading &r : readings) {
        nb::object alignment = alignment_value(r);
        append_constructed(result, paddings[r.name], r.lsb, Py_None, cluster, rests.at(r.end));
        if (!r.alignment.empty())
            append_constructed(result, paddings[r.name], r.lsb, alignment, cluster, rests.at(r.aligned_end));
    }
}

nb::list from_designation(nb::handle text_obj) {
    nb::str full = korvell::exact_str(text_obj, "full_designation");
    korvell::Text text = korvell::view_text(full);
    nb::object registry = module_registry();

    ClusterReading clusters[2];
    size_t cluster_count = read_clusters(text.view, clusters);
    nb::object cluster_values[2] = {nb::int_(0), nb::object()};
    if (cluster_count == 2)
        cluster_values[1] = korvell::int_from_digits(clusters[1].digits);

    nb::list result = korvell::new_list();
    ScratchLease lease;
    Scratch &scratch = lease.get();
    Rests rests(text, scratch.rests);
    if (plain_names(registry, scratch.plain)) {
        const PlainNames &plain = scratch.plain;
        for (size_t c = 0; c < cluster_count; ++c) {
            size_t at = padding_start(text.view, clusters[c].end, plain.names);
            read_paddings(text.view, at, plain.names, scratch.readings);
            build_plain(result, rests, scratch.readings, plain.members, cluster_values[c]);
        }
        return result;
    }
    for (size_t c = 0; c < cluster_count; ++c)
        parse_general(result, rests, text.view, registry, clusters[c], cluster_values[c]);
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
    cls.def("__init__", &registry_init, nb::sig("def __init__(self) -> None"));
    cls.def("register", &register_name, "name"_a.none(), "value"_a.none(),
             nb::sig("def register(self, name: str, value: PaddingType) -> None"),
             "Register ``name`` for ``value``; a default name raises DuplicateRegistrationError.");
    korvell::def_defaults_registry(cls, "PaddingType", "The default names; they can never be registered again.",
                                   &register_defaults,
                                   "Register the default names: the value of each PaddingType member, then \"Packed\".",
                                   &restore,
                                   "Replace every entry by the snapshot's.\n\n"
                                   "The snapshot must map every default name to its default padding type;\n"
                                   "otherwise ValueError is raised and the registry is left unchanged.",
                                   &default_snapshot, "A snapshot that holds only the default names.");
}

void bind_packing(nb::module_ &m) {
    nb::class_<Packing> cls(m, "Packing", nb::type_slots(PackingGC::slots));
    cls.doc() = PACKING_DOC;
    cls.def("__init__", &packing_init, "padding_type"_a.none() = nb::none(), "lsb"_a.none() = true,
            "alignment"_a.none() = nb::none(), "cluster_marker"_a.none() = 0,
            nb::sig("def __init__(self, padding_type: PaddingType | str | None = None, lsb: object = True, "
                    "alignment: int | None = None, cluster_marker: int = 0) -> None"));
    korvell::def_field<&Packing::padding_type_name>(
        cls, "padding_type_name", "str", "The padding-type name the packing was built with (\"\" when unpacked).");
    korvell::def_field<&Packing::lsb>(cls, "lsb", "bool",
                                      "Whether the least significant bit is used; false is written \"msb\".");
    korvell::def_field<&Packing::alignment>(cls, "alignment", "int | None", "The alignment, or None.");
    korvell::def_field<&Packing::cluster_marker>(cls, "cluster_marker", "int",
                                                 "The cluster marker; 0 when there is none.");
    cls.def_prop_ro(
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
                    "consumes nothing is always among them.");
    korvell::def_field_state<&Packing::padding_type_name, &Packing::lsb, &Packing::alignment,
                             &Packing::cluster_marker>(cls, "tuple[str, bool, int | None, int]");
    cls.attr("__hash__") = nb::none();
    korvell::use_flat_dealloc(cls);
}

} // namespace

NB_MODULE(ostrevo, m) {
    g_mod.open(m,
               "Packing: padding types, the registry of padding-type names and the packing part\n"
               "of a PFNC pixel-format designation.",
               {
        {"enum", {"Enum"}},
        {"logging", {"getLogger"}},
        {"korvell.pfnc.exceptions", {"PixelFormatValueReject", "DuplicateRegistrationError", "NotRegisteredError"}},
        {"korvell.pfnc._internal.registry", {"MappingSnapshot", "Registry"}},
        {"korvell.pfnc._internal.utils", {"join_designators"}},
    });
    // Joined in C++ only while the module still holds the compiled function.
    nb::object compiled_join = nb::module_::import_("korvell.pfnc._internal._subclasses").attr("join_designators");
    if (m.attr("join_designators").is(compiled_join))
        g_mod.keep_original(s_join);
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
    g_packing_cls = nb::type<Packing>();
    g_packing_type = (PyTypeObject *) g_packing_cls.ptr();
}
