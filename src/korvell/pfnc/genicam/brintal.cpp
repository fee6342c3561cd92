// brintal.cpp -- data types of a PFNC designation: the default data types, the
// registry of single-character designators, and the per-channel data-type part.
#include "binding.hpp"

#include <new>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------------------
// Plain C++: which designator readings a parse yields, from the channel count
// and the number of designators read before the first unregistered one (the
// unsigned reading needs only a positive channel count).

struct Readings {
    bool per_channel;   // one designator per channel
    bool shared;        // the one designator read, for every channel
};

/// The two exclude each other: the first with one designator needs one
/// channel, the second more than one.
constexpr Readings readings_for(Py_ssize_t channels, Py_ssize_t decoded) {
    return {decoded == channels, decoded == 1 && channels > 1};
}

// ---------------------------------------------------------------------------
// Objects fixed at import.  The enumeration, its members and their values are
// this module's own and never change; they are kept (with a reference of their
// own) so that the hot paths need no attribute lookups.  The names bound from
// other modules (Registry among them), the logger and DATA_TYPE_REGISTRY are
// read from the module on every use instead.

korvell::ModuleRef g_mod;

korvell::Kept g_default_data_type;                // the DefaultDataType class
korvell::Kept g_unsigned, g_signed, g_float;      // its members
nb::handle g_text_empty, g_text_s, g_text_f, g_text_u;   // "", "s", "f", "u" (interned)
const korvell::Name kFromDesignation{"from_designation"}, kResolve{"resolve"};

// The function bound as CompoundDataTypes.from_designation: while the class
// attribute is still this object, the factory calls the parse directly.
korvell::Kept g_compound_parse;

bool is_member(nb::handle obj) { return (PyObject *) Py_TYPE(obj.ptr()) == g_default_data_type.ptr(); }

/// The value of a DefaultDataType member (borrowed).
nb::handle member_value(nb::handle member) {
    if (member.is(g_unsigned))
        return g_text_empty;
    if (member.is(g_signed))
        return g_text_s;
    return g_text_f;
}

/// `a != b` with the interpreter's rules (no identity shortcut).
bool not_equal(nb::handle a, nb::handle b) {
    return korvell::truth(korvell::owned(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

using korvell::append;
using korvell::contains;
using korvell::pair;
using korvell::truth;

bool is_error(const nb::python_error &e, const char *type_name) {
    return e.matches(g_mod.get(type_name));
}

// ---------------------------------------------------------------------------
// Data types.

bool is_data_type(nb::handle obj) {
    if (is_member(obj) || PyUnicode_Check(obj.ptr()))
        return true;
    return korvell::checked(PyObject_IsInstance(obj.ptr(), g_default_data_type.ptr())) == 1;
}

/// The designator text of one data type; a string stands for itself and None
/// comes back unchanged.
nb::object datatype_name(nb::handle data_type, nb::handle multiple_designators) {
    if (PyUnicode_Check(data_type.ptr()) || data_type.is_none())
        return nb::borrow(data_type);
    if (!is_data_type(data_type))
        korvell::raise_not_exact(data_type, "data_type", "DefaultDataType, str or None");
    if (truth(multiple_designators) && data_type.is(g_unsigned))
        return nb::borrow(g_text_u);
    if (is_member(data_type))
        return nb::borrow(member_value(data_type));
    return data_type.attr("value");   // an object that only claims to be a member
}

// ---------------------------------------------------------------------------
// DataTypeRegistry: designators to data types, with four fixed defaults.

struct DataTypeRegistry : korvell::RegistryData {};

/// Methods take `self` typed, so nanobind refuses other objects and instances
/// whose __init__ never ran; the registry read from the module is checked here.
using RegistrySelf = nb::pointer_and_handle<DataTypeRegistry>;

korvell::RegistryData &registry_of(nb::handle self) {
    if (!nb::inst_ready(self))
        throw nb::type_error((korvell::class_name_of(self) + " object is not initialized").c_str());
    return *nb::inst_ptr<korvell::RegistryData>(self);
}

bool is_exact_registry(nb::handle self) { return korvell::exact_type(self, korvell::bound_type<DataTypeRegistry>); }

// The registry's `_registry` and `_default_keys` are held by an owned
// reference while they are searched or changed: comparing keys runs Python
// code, which may replace either field and drop the field's own reference.

void add_default_key(nb::handle self, nb::handle name) {
    nb::object keys = registry_of(self).default_keys;
    if (PySet_CheckExact(keys.ptr())) {
        korvell::checked(PySet_Add(keys.ptr(), name.ptr()));
        return;
    }
    keys.attr("add")(name);
}

/// Each designator is recorded as a default before the base registers it, so
/// that a validation during that registration already accepts it.
void register_defaults(nb::handle self) {
    nb::object base_register = g_mod.get("Registry").attr("register");
    const nb::handle defaults[][2] = {
        {g_text_empty, g_unsigned}, {g_text_s, g_signed}, {g_text_f, g_float}, {g_text_u, g_unsigned}};
    for (const auto &entry : defaults) {
        add_default_key(self, entry[0]);
        base_register(self, entry[0], entry[1]);
    }
}

void call_register_defaults(nb::handle self) {
    if (is_exact_registry(self))
        register_defaults(self);
    else
        self.attr("_register_defaults")();
}

void validate_name(nb::handle self, nb::handle name_obj) {
    nb::str name = korvell::exact_str(name_obj, "name");
    nb::object default_keys = registry_of(self).default_keys;
    if (contains(default_keys, name))
        return;
    if (PyUnicode_GET_LENGTH(name.ptr()) == 1)
        return;
    korvell::raise_error(PyExc_ValueError, "Custom data types are only allowed to contain one letter.");
}

void call_validate(nb::handle self, nb::handle name, nb::handle value) {
    if (is_exact_registry(self))
        validate_name(self, name);
    else
        self.attr("_validate")(name, value);
}

void register_custom(nb::handle self, nb::handle name_obj, nb::handle value) {
    nb::str name = korvell::exact_str(name_obj, "name");
    if (value.is_none())
        value = name;
    nb::object default_keys = registry_of(self).default_keys;
    if (contains(default_keys, name))
        korvell::raise_error(g_mod.get("DuplicateRegistrationError"),
                             "Value already registered: " + korvell::repr_text(name));
    call_validate(self, name, value);
    g_mod.get("Registry").attr("register")(self, name, value);
}

/// `_registry.get(name)`: the registered value, or None.
nb::object registry_get(nb::handle mapping, nb::handle name) {
    if (PyDict_CheckExact(mapping.ptr())) {
        nb::handle value = korvell::borrowed_or_absent(PyDict_GetItemWithError(mapping.ptr(), name.ptr()));
        return value.is_valid() ? nb::borrow(value) : nb::none();
    }
    return mapping.attr("get")(name);
}

/// The default designators in the order in which they were registered, then
/// any that the registry lacks, so that the first wrong one reported is the
/// same on every run.
std::vector<nb::object> defaults_in_order(nb::handle mapping, nb::handle default_keys) {
    std::vector<nb::object> ordered;
    for (nb::handle key : mapping)
        if (contains(default_keys, key))
            ordered.push_back(nb::borrow(key));
    for (nb::handle key : default_keys)
        if (!contains(mapping, key))
            ordered.push_back(nb::borrow(key));
    return ordered;
}

void restore(nb::handle self, nb::handle snap) {
    // The entries are copied while they are validated: the copy is what gets
    // compared and written, so a mapping that changes under us (the registry's
    // own `_registry`, say) or cannot be written back fails before any change.
    nb::object items = snap.attr("mapping").attr("items")();
    nb::dict mapping = korvell::new_dict();
    for (nb::handle item : items) {
        nb::object key = item[0], value = item[1];
        call_validate(self, key, value);
        mapping[key] = value;
    }

    korvell::RegistryData &r = registry_of(self);
    nb::object registry = r.registry, default_keys = r.default_keys;
    for (const nb::object &key : defaults_in_order(registry, default_keys)) {
        nb::object current = registry_get(registry, key);
        bool kept = contains(mapping, key);
        if (kept) {
            nb::object given = mapping[key];
            kept = !not_equal(given, current);
        }
        if (!kept)
            korvell::raise_error(PyExc_ValueError, "Snapshot needs to contain default key value mapping " +
                                                       korvell::str_text(key) + " -> " +
                                                       korvell::str_text(current) + ".");
    }

    // Checked: from here on the content is replaced.
    registry_of(self).registry.attr("clear")();
    registry_of(self).default_keys.attr("clear")();
    call_register_defaults(self);
    registry_of(self).registry.attr("update")(mapping);
}

nb::object default_snapshot(nb::handle /* cls */) {
    nb::object fresh = nb::handle((PyObject *) korvell::bound_type<DataTypeRegistry>)();
    return fresh.attr("snapshot")();
}

// ---------------------------------------------------------------------------
// DataTypes and CompoundDataTypes.

struct DataTypes {};

struct CompoundDataTypes : DataTypes {
    explicit CompoundDataTypes(nb::object list) : brintal(std::move(list)) {}
    nb::object brintal;
};

using CompoundGC = korvell::ObjectFields<CompoundDataTypes, &CompoundDataTypes::brintal>;

bool is_exact_compound(nb::handle obj) { return korvell::exact_type(obj, korvell::bound_type<CompoundDataTypes>); }

void validate_compound(nb::handle brintal) {
    Py_ssize_t n = PyList_GET_SIZE(brintal.ptr());
    if (n == 0)
        korvell::raise_error(g_mod.get("PixelFormatValueReject"), "brintal must have length > 0");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(brintal.ptr()); ++i) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(brintal.ptr(), i));
        if (!is_data_type(entry))
            korvell::raise_error(g_mod.get("PixelFormatValueReject"),
                                 "brintal must only contain DataTypes, got " + korvell::str_text(entry));
    }
}

/// A validated CompoundDataTypes that keeps `brintal` itself.
nb::object new_compound(nb::handle brintal) {
    validate_compound(brintal);
    return korvell::new_record(CompoundDataTypes{nb::borrow(brintal)});
}

/// A list of `count` references to `item`.
nb::list repeated(nb::handle item, Py_ssize_t count) {
    nb::list list = korvell::owned<nb::list>(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list.ptr(), i, item.inc_ref().ptr());
    return list;
}

nb::object compound_item(nb::handle brintal, Py_ssize_t index) {
    if (PyList_CheckExact(brintal.ptr())) {
        return nb::borrow(korvell::borrowed_or_absent(PyList_GetItem(brintal.ptr(), index)));
    }
    return brintal[nb::int_(index)];
}

nb::object designation(nb::handle brintal) {
    // Every entry a member or a plain str: decide without building a set.  No
    // Python code runs here, so the borrowed entries stay valid.
    if (PyList_CheckExact(brintal.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(brintal.ptr());
        std::vector<PyObject *> names;
        names.reserve((size_t) n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::handle entry = PyList_GET_ITEM(brintal.ptr(), i);
            if (is_member(entry))
                names.push_back(member_value(entry).ptr());
            else if (PyUnicode_CheckExact(entry.ptr()))
                names.push_back(entry.ptr());
            else
                break;
        }
        if ((Py_ssize_t) names.size() == n) {
            bool one = n > 0;
            for (Py_ssize_t i = 1; i < n && one; ++i)
                one = names[i] == names[0] || PyUnicode_Compare(names[0], names[i]) == 0;
            if (one)
                return nb::borrow(names[0]);
            nb::tuple pieces = korvell::owned<nb::tuple>(PyTuple_New(n));
            for (Py_ssize_t i = 0; i < n; ++i)
                PyTuple_SET_ITEM(pieces.ptr(), i, nb::handle(names[i]).inc_ref().ptr());
            return korvell::owned(PyUnicode_Join(g_text_empty.ptr(), pieces.ptr()));
        }
    }
    // General case, with the interpreter's own set and join.
    nb::list names = korvell::new_list();
    for (nb::handle entry : brintal)
        names.append(datatype_name(entry, Py_False));
    if (nb::len(nb::set(names)) == 1)
        return names[0];
    return g_text_empty.attr("join")(names);
}

Py_ssize_t channel_count(nb::handle obj) {
    PyObject *index = PyNumber_Index(obj.ptr());
    if (!index) {
        PyErr_Clear();
        korvell::raise_not_exact(obj, "number_of_channels", "int");
    }
    nb::object value = nb::steal(index);
    Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), nullptr);   // clamps
    if (n == PY_SSIZE_T_MAX && PyObject_RichCompareBool(value.ptr(), nb::int_(PY_SSIZE_T_MAX).ptr(), Py_GT) == 1) {
        PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
        throw nb::python_error();
    }
    return n;
}

/// One registered data type per character, from the front of `text`, for at
/// most `channels` characters; the reading stops at the first character that
/// is not registered.
nb::list decode_per_channel(nb::handle text, Py_ssize_t channels) {
    nb::list decoded = korvell::new_list();
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    nb::object registry = g_mod.get("DATA_TYPE_REGISTRY");
    // The dict is kept for the whole reading: a key's __eq__ may replace the
    // registry's mapping, and the lookups go on in the dict they started with.
    nb::object mapping;
    if (is_exact_registry(registry) && PyDict_CheckExact(registry_of(registry).registry.ptr()))
        mapping = registry_of(registry).registry;
    bool fast = mapping.is_valid();
    for (Py_ssize_t n = 0; n < channels && n < length; ++n) {
        nb::object designator = korvell::owned(PyUnicode_Substring(text.ptr(), n, n + 1));
        PyObject *ch = designator.ptr();
        if (fast) {
            nb::handle value = korvell::borrowed_or_absent(PyDict_GetItemWithError(mapping.ptr(), ch));
            if (!value.is_valid())
                break;
            append(decoded, value);
            continue;
        }
        try {
            append(decoded, korvell::call_method(registry, kResolve, designator));
        } catch (nb::python_error &e) {
            if (!is_error(e, "NotRegisteredError"))
                throw;
            break;
        }
    }
    return decoded;
}

/// `text` without its first `start` characters.
nb::object text_from(nb::handle text, Py_ssize_t start) {
    return korvell::owned(PyUnicode_Substring(text.ptr(), start, PY_SSIZE_T_MAX));
}

nb::list from_designation(nb::handle text_obj, nb::handle channels_obj) {
    nb::str text = korvell::exact_str(text_obj, "full_designation");
    Py_ssize_t channels = channel_count(channels_obj);
    nb::list result = korvell::new_list();

    // The unsigned reading is built (or its rejection logged) before any
    // designator is looked up: a registry's resolve may be watching.
    if (channels > 0)
        append(result, pair(new_compound(repeated(g_unsigned, channels)), text));
    else
        korvell::log_value_rejected(g_mod,
                                    [] { return g_mod.get("PixelFormatValueReject")("brintal must have length > 0"); });

    nb::list decoded = decode_per_channel(text, channels);
    Readings readings = readings_for(channels, PyList_GET_SIZE(decoded.ptr()));

    // Not guarded: an invalid registered value here is the caller's error.
    if (readings.per_channel)
        append(result, pair(new_compound(decoded), text_from(text, channels)));

    if (readings.shared) {
        try {
            nb::object shared = new_compound(repeated(PyList_GET_ITEM(decoded.ptr(), 0), channels));
            append(result, pair(shared, text_from(text, 1)));
        } catch (nb::python_error &e) {
            if (!korvell::log_value_reject(g_mod, e))
                throw;
        }
    }
    return result;
}

/// `impl.from_designation(text, channels)`.  While the attribute is the
/// module's own parse (on CompoundDataTypes or a class that inherits it), the
/// parse runs without a round trip through the interpreter, and `fresh` says
/// that the list it gives is held nowhere else; a replaced or overriding
/// attribute is called as it is.
nb::object parse_with(nb::handle impl, nb::handle text, nb::handle channels, bool &fresh) {
    nb::object parse = korvell::getattr(impl, kFromDesignation);
    fresh = parse.is(g_compound_parse);
    if (fresh)
        return korvell::as_python_errors([&] { return from_designation(text, channels); });
    return korvell::call(parse, text, channels);
}

// The factory collects here rather than through korvell::collect_candidates:
// walking an exact list of implementations by index, and taking the one
// implementation's fresh list as the result instead of copying it, saves
// about 150 ns of DataTypes.create.

/// Add the candidates of `impl` to `result` (made when first needed); an
/// implementation that raises ParseReject is logged and contributes nothing.
void collect_from(nb::list &result, nb::handle impl, nb::handle text, nb::handle channels) {
    nb::object pairs;
    bool fresh = false;
    try {
        pairs = parse_with(impl, text, channels, fresh);
    } catch (nb::python_error &e) {
        if (!is_error(e, "ParseReject"))
            throw;
        korvell::log_debug(g_mod, [&] {
            return "Parsing rejected: " + korvell::str_text(e.value()) + " " + korvell::str_text(impl.attr("__name__"));
        });
        return;
    }
    bool empty = !result.is_valid() || PyList_GET_SIZE(result.ptr()) == 0;
    if (fresh && empty) {
        result = nb::borrow<nb::list>(pairs);   // a new list with the same pairs, without the copy
        return;
    }
    if (!result.is_valid())
        result = korvell::new_list();
    korvell::extend_list(result, pairs);
}

nb::list create(nb::handle text_obj, nb::handle channels) {
    nb::str text = korvell::exact_str(text_obj, "full_designation");
    nb::list result = nb::steal<nb::list>(nb::handle());   // made when the first candidates come
    // The implementations are looked up on every call, so that classes derived
    // later take part.
    nb::object implementations =
        korvell::call(g_mod.get("all_implementations"), (PyObject *) korvell::bound_type<DataTypes>);
    if (PyList_CheckExact(implementations.ptr())) {
        // What a list iterator does, without one: the length is read at every
        // step, as a parse may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(implementations.ptr()); ++i)
            collect_from(result, nb::borrow(PyList_GET_ITEM(implementations.ptr(), i)), text, channels);
    } else {
        for (nb::handle impl : implementations)
            collect_from(result, impl, text, channels);
    }
    return result.is_valid() ? result : korvell::new_list();
}

/// Value equality of two data-type parts, channel by channel.
bool data_types_eq(nb::handle self, nb::handle other) {
    if (!korvell::is_instance<DataTypes>(self))
        korvell::raise_not_exact(self, "self", "DataTypes");
    if (!korvell::checked(PyObject_IsInstance(other.ptr(), (PyObject *) korvell::bound_type<DataTypes>)))
        return false;
    if (is_exact_compound(self) && is_exact_compound(other) && nb::inst_ready(self) && nb::inst_ready(other)) {
        // Both lists are kept: an entry's __ne__ may replace either field.
        nb::object a = nb::inst_ptr<CompoundDataTypes>(self)->brintal;
        nb::object b = nb::inst_ptr<CompoundDataTypes>(other)->brintal;
        Py_ssize_t length = nb::len(a);
        if ((Py_ssize_t) nb::len(b) != length)
            return false;
        for (Py_ssize_t i = 0; i < length; ++i)
            if (not_equal(compound_item(a, i), compound_item(b, i)))
                return false;
        return true;
    }
    Py_ssize_t length = nb::len(self);
    if ((Py_ssize_t) nb::len(other) != length)
        return false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        nb::int_ index(i);
        nb::object mine = self[index], theirs = other[index];
        if (not_equal(mine, theirs))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Methods as bound.  `self` is typed where nanobind should refuse other objects
// and instances whose __init__ never ran.

void registry_init(nb::pointer_and_handle<DataTypeRegistry> self) {
    DataTypeRegistry made;
    made.default_keys = korvell::new_set();
    korvell::construct_then(self, std::move(made), [&] { call_register_defaults(self.h); });
}

void registry_register_defaults(RegistrySelf self) { register_defaults(self.h); }
void registry_register(RegistrySelf self, nb::handle name, nb::handle value) { register_custom(self.h, name, value); }
void registry_validate(RegistrySelf self, nb::handle name, nb::handle) { validate_name(self.h, name); }
void registry_restore(RegistrySelf self, nb::handle snap) { restore(self.h, snap); }

void compound_init(nb::pointer_and_handle<CompoundDataTypes> self, nb::handle brintal) {
    nb::list list = korvell::exact_list(brintal, "brintal");
    validate_compound(list);
    // The entries' Python code may have initialised this very object through
    // a nested __init__: replace its field then.
    if (nb::inst_ready(self.h))
        self.p->brintal = std::move(list);
    else
        new (self.p) CompoundDataTypes{std::move(list)};
}

nb::object compound_designation(const CompoundDataTypes &c) { return designation(c.brintal); }

nb::str compound_repr(nb::pointer_and_handle<CompoundDataTypes> self) {
    nb::object name = nb::handle((PyObject *) Py_TYPE(self.h.ptr())).attr("__qualname__");
    return nb::str("{}(brintal={!r})").format(name, self.p->brintal);
}

nb::object base_from_designation(nb::handle, nb::handle) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

// ---------------------------------------------------------------------------
// Binding, one function per class, in the order the module binds its names.

nb::object bind_default_data_type(nb::module_ &m) {
    nb::object ddt = korvell::make_enum(m, "DefaultDataType", {{"UNSIGNED", ""}, {"SIGNED", "s"}, {"FLOAT", "f"}},
                                        "Enumeration for default data types.");
    g_default_data_type.set(ddt);
    g_unsigned.set(ddt.attr("UNSIGNED"));
    g_signed.set(ddt.attr("SIGNED"));
    g_float.set(ddt.attr("FLOAT"));
    g_text_empty = korvell::interned("");
    g_text_s = korvell::interned("s");
    g_text_f = korvell::interned("f");
    g_text_u = korvell::interned("u");
    nb::object str_type = nb::module_::import_("builtins").attr("str");
    nb::object data_type = nb::module_::import_("typing").attr("Union")[nb::make_tuple(ddt, str_type)];
    m.attr("DataType") = data_type;
    return data_type;
}

void bind_registry(nb::module_ &m, nb::handle data_type) {
    nb::object str_type = nb::module_::import_("builtins").attr("str");
    nb::class_<DataTypeRegistry> reg(m, "DataTypeRegistry", m.attr("Registry")[nb::make_tuple(str_type, data_type)],
                                     nb::type_slots(korvell::registry_slots));
    korvell::bound_type<DataTypeRegistry> = (PyTypeObject *) reg.ptr();
    reg.doc() = "Registry for data types with immutable defaults.";
    reg.def("__init__", &registry_init, nb::sig("def __init__(self) -> None"),
            "A registry holding the four defaults: \"\" and \"u\" (UNSIGNED), \"s\" (SIGNED), \"f\" (FLOAT).");
    reg.def("register", &registry_register, "name"_a.none(), "value"_a.none() = nb::none(),
             nb::sig("def register(self, name: str, value: DataType | None = None) -> None"),
             "Register a custom single-character data type.\n\n"
             "Without a value the data type is the string ``name`` itself. Default\n"
             "designators raise DuplicateRegistrationError; other names must be one\n"
             "character long (ValueError).")
        .def("_validate", &registry_validate, "name"_a.none(), "_value"_a.none(),
             nb::sig("def _validate(self, name: str, _value: DataType) -> None"),
             "Accept default designators and one-character names; raise ValueError otherwise.");
    korvell::def_defaults_registry(reg, "DataType", "The designators registered as defaults.",
                                   &registry_register_defaults,
                                   "Register the four default entries, recording each designator as a default first.",
                                   &registry_restore,
                                   "Replace the content with that of ``snap``.\n\n"
                                   "Every entry is validated and every default must be present with its value\n"
                                   "before anything changes; otherwise ValueError and the registry is untouched.",
                                   &default_snapshot,
                                   "A snapshot of a fresh registry: the four defaults and nothing else.");
}

void bind_functions(nb::module_ &m) {
    m.def("is_data_type", &is_data_type, "potential_data_type"_a.none(),
          nb::sig("def is_data_type(potential_data_type: object) -> TypeGuard[DataType]"),
          "True for a DefaultDataType member or any string.");
    m.def("datatype_name", &datatype_name, "data_type"_a.none(), "multiple_designators"_a.none() = false,
          nb::sig("def datatype_name(data_type: DataType | None, multiple_designators: object = False) -> str | None"),
          "The designator text of a data type.\n\n"
          "A member gives its value, except UNSIGNED, which gives \"u\" when\n"
          "``multiple_designators`` is true; a string is its own designator and None\n"
          "comes back unchanged.");
}

nb::class_<DataTypes> bind_data_types(nb::module_ &m) {
    nb::class_<DataTypes> base(m, "DataTypes", nb::type_slots(korvell::abstract_base_slots));
    korvell::bound_type<DataTypes> = (PyTypeObject *) base.ptr();
    base.doc() = "Abstract base class for data type designations.";
    base.def(nb::init<>())
        .def_static("create", &create, "full_designation"_a.none(), "number_of_channels"_a.none(),
                    nb::sig("def create(full_designation: str, number_of_channels: int) -> "
                            "list[tuple[DataTypes, str]]"),
                    "The candidates of every implementation, in the order the implementations\n"
                    "are found; an implementation that raises ParseReject is logged and skipped.")
        .def("__eq__", &data_types_eq, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"),
             "Equal when ``other`` is a data-type part with equal entries, channel by channel.");
    base.attr("__hash__") = nb::none();
    return base;
}

void bind_compound(nb::module_ &m) {
    nb::class_<CompoundDataTypes, DataTypes> cls(m, "CompoundDataTypes", nb::type_slots(CompoundGC::slots));
    korvell::bound_type<CompoundDataTypes> = (PyTypeObject *) cls.ptr();
    cls.doc() = "Represents a compound designation containing multiple data types.";
    cls.def("__init__", &compound_init, "brintal"_a.none(),
            nb::sig("def __init__(self, brintal: list[DataType]) -> None"));
    korvell::def_list_field<&CompoundDataTypes::brintal>(cls, "brintal", "DataType",
                                                         "The data type of each channel, in channel order.");
    cls.def("designation", &compound_designation, nb::sig("def designation(self) -> str"),
             "The designation text: the designator once when every channel has the same\n"
             "one, otherwise each channel's designator in order (UNSIGNED writes nothing).")
        .def("__repr__", &compound_repr)
        .def_static("from_designation", &from_designation, "full_designation"_a.none(),
                    "number_of_channels"_a.none(),
                    nb::sig("def from_designation(full_designation: str, number_of_channels: int) -> "
                            "list[tuple[CompoundDataTypes, str]]"),
                    "Parse the data types from the front of ``full_designation``.\n\n"
                    "Candidates, in order: every channel UNSIGNED with nothing consumed; one\n"
                    "registered designator per channel; one designator shared by every channel.");
    korvell::def_field_state<&CompoundDataTypes::brintal>(cls);
    g_compound_parse.set(cls.attr("from_designation"));
    korvell::release_at_exit([] { g_compound_parse.drop(); });
    korvell::finish_field_record(cls, "brintal");
}

/// The abstract operations go on the base only after its implementation is
/// bound: nanobind refuses to bind a method over an inherited placeholder.
void make_data_types_abstract(nb::class_<DataTypes> &base) {
    korvell::make_abstract(base, {{"designation", korvell::MethodKind::method},
                                  {"__len__", korvell::MethodKind::method},
                                  {"__getitem__", korvell::MethodKind::method}});
    base.attr("from_designation") = nb::module_::import_("builtins").attr("staticmethod")(nb::cpp_function(
        &base_from_designation, nb::scope(base), nb::name("from_designation"), "full_designation"_a.none(),
        "number_of_channels"_a.none(),
        nb::sig("def from_designation(full_designation: str, number_of_channels: int) -> "
                "list[tuple[DataTypes, str]]"),
        "Parse from the front of ``full_designation``; every implementation provides it."));
}

} // namespace

NB_MODULE(brintal, m) {
    g_mod.open(m,
               "Data types: the default data types, the registry of custom single-character\n"
               "data-type designators, and the per-channel data-type part of a designation.",
               {
        {"abc", {"ABCMeta", "abstractmethod"}},
        {"enum", {"Enum"}},
        {"typing", {"get_args", "TypeGuard"}},
        {"logging", {"getLogger"}},
        {"korvell.pfnc.exceptions",
         {"DuplicateRegistrationError", "NotRegisteredError", "ParseReject", "PixelFormatValueReject"}},
        {"korvell.pfnc._internal.utils", {"all_implementations"}},
        {"korvell.pfnc._internal.registry", {"MappingSnapshot", "Registry"}},
    });
    m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));

    nb::object data_type = bind_default_data_type(m);
    bind_registry(m, data_type);
    m.attr("DATA_TYPE_REGISTRY") = nb::handle((PyObject *) korvell::bound_type<DataTypeRegistry>)();
    bind_functions(m);
    nb::class_<DataTypes> base = bind_data_types(m);
    bind_compound(m);
    make_data_types_abstract(base);
}
