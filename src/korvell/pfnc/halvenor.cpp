// halvenor.cpp -- the decoder back-end interface, its registration records,
// and the registry that resolves, caches and forwards to the back-ends.
#include "binding.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;
using korvell::Name;

namespace {

const char *const NOT_SUPPORTED_BY_DECODER = "Pixel format not supported by this decoder.";
const char *const NO_DECODER = "No registered decoder supports this pixel format.";

korvell::ModuleRef g_mod;

// Process-lifetime references of the interpreter and the standard library.
korvell::Kept g_missing;               // marker for "argument not given"
korvell::Kept g_number;                // numbers.Number
korvell::Kept g_decode_kwnames;        // ("width", "height", "stride", "copy")
korvell::Kept g_buffer_size_kwnames;   // ("width", "height", "stride")

const Name s_designation{"designation"}, s_is_applicable{"is_applicable"}, s_decode{"decode"},
    s_get_buffer_size{"get_buffer_size"}, s_visualization_image{"visualization_image"}, s_name{"name"},
    s_decoder{"decoder"}, s_priority{"priority"}, s_logger{"logger"},
    s_not_supported{"PixelFormatDecodeNotSupportedError"};

// ---------------------------------------------------------------------------
// Record layouts.  Every field is a Python object, so each type takes part in
// garbage collection: back-ends may well hold the registry that holds them.

struct Decoder {
    nb::object name = nb::none();
};

struct Registration {
    nb::object decoder = nb::none();
    nb::object priority = nb::none();
};

struct Snapshot {
    nb::object registrations = nb::tuple();
};

struct DecoderRegistry {
    nb::object registrations = korvell::new_list();   // `_registrations`, an exact list until cleared
    nb::object cache = korvell::new_dict();           // `_resolve_cache`, an exact dict until cleared
    // Bumped by every change of the registrations: a resolution that saw it
    // move (a back-end registered or restored while being asked) was
    // computed against registrations that are gone, and is not remembered.
    uint64_t generation = 0;
};

using DecoderFields = korvell::ObjectFields<Decoder, &Decoder::name>;
using RegistrationFields = korvell::ObjectFields<Registration, &Registration::decoder, &Registration::priority>;
using SnapshotFields = korvell::ObjectFields<Snapshot, &Snapshot::registrations>;
using RegistryFields = korvell::ObjectFields<DecoderRegistry, &DecoderRegistry::registrations, &DecoderRegistry::cache>;

using korvell::bound_type;
using korvell::exact_type;
using korvell::ready_record;
using korvell::record_of;
using korvell::require_instance;

/// A registry's fields as the operations use them.  Only the collector's clear
/// leaves them other than an exact list and dict (the setters and the
/// constructor check them); a registry reached after that, from the code of
/// an object freed with it, is refused rather than read as a list.
[[noreturn]] void raise_cleared() {
    PyErr_SetString(PyExc_ReferenceError, "the DecoderRegistry was cleared by the garbage collector");
    throw nb::python_error();
}

nb::handle registrations_of(const DecoderRegistry &r) {
    if (!PyList_CheckExact(r.registrations.ptr()))
        raise_cleared();
    return r.registrations;
}

nb::handle cache_of(const DecoderRegistry &r) {
    if (!PyDict_CheckExact(r.cache.ptr()))
        raise_cleared();
    return r.cache;
}

nb::object checked_registrations(nb::handle value) { return korvell::exact_list(value, "_registrations"); }

nb::object checked_cache(nb::handle value) { return korvell::exact_dict(value, "_resolve_cache"); }

void check_snapshot(Snapshot &s) { korvell::exact_tuple(s.registrations, "registrations"); }

void check_registry(DecoderRegistry &r) {
    checked_registrations(r.registrations);
    checked_cache(r.cache);
}

// ---------------------------------------------------------------------------
// Equality, as a generated dataclass has it: records of exactly the same
// class compare field by field; an object of another class is declined
// (NotImplemented) so that its own reflected comparison is asked.

nb::object not_implemented() { return nb::borrow(Py_NotImplemented); }

nb::object decoder_eq(nb::handle self, nb::handle other) {
    if (!korvell::same_class(self, other))
        return not_implemented();
    nb::object a = ready_record<Decoder>(self, "name").name;
    nb::object b = ready_record<Decoder>(other, "name").name;
    return nb::bool_(korvell::compare(a, b, Py_EQ));
}

/// The frozen records and the registry: an instance whose __init__ never ran
/// equals nothing.
template <typename F> nb::object fields_eq(nb::handle self, nb::handle other) {
    using T = typename F::Record;
    if (!korvell::same_class(self, other))
        return not_implemented();
    T *a = record_of<T>(self), *b = record_of<T>(other);
    if (!a || !b)
        return nb::bool_(false);
    auto left = F::of(*a), right = F::of(*b);
    for (size_t i = 0; i < F::count; ++i) {
        nb::object x = *left[i], y = *right[i];   // held: comparing runs Python code
        if (!korvell::compare(x, y, Py_EQ))
            return nb::bool_(false);
    }
    return nb::bool_(true);
}

// ---------------------------------------------------------------------------
// PixelFormatDecoder: the default visualisation.

nb::object default_visualization_image(nb::handle self, nb::handle pixel_format, nb::handle image, nb::kwargs) {
    if (!korvell::truth(korvell::call_method(self, s_is_applicable, pixel_format)))
        korvell::raise_error(g_mod.get(s_not_supported), NOT_SUPPORTED_BY_DECODER);
    return nb::borrow(image);
}

// ---------------------------------------------------------------------------
// DecoderRegistry: resolution.

/// (decoder, priority) of a registration; the fields of anything else are read
/// as attributes.
struct Entry {
    nb::object decoder;
    nb::object priority;
};

Entry entry_of(nb::handle reg) {
    if (exact_type(reg, bound_type<Registration>) && nb::inst_ready(reg)) {
        Registration *r = nb::inst_ptr<Registration>(reg);
        return {r->decoder, r->priority};
    }
    nb::object decoder = korvell::getattr(reg, s_decoder);
    return {decoder, korvell::getattr(reg, s_priority)};
}

/// The pair (pixel format, decoder or None) of a cache entry.
std::pair<nb::object, nb::object> cached_pair(nb::handle item) {
    nb::object seq = PyTuple_CheckExact(item.ptr()) ? nb::borrow(item) : korvell::owned(PySequence_Tuple(item.ptr()));
    if (PyTuple_GET_SIZE(seq.ptr()) != 2)
        throw nb::value_error("a cached resolution must be a (pixel format, decoder) pair");
    return {nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 1))};
}

enum class Cached { absent, failed, found };

/// Look `pixel_format` up among the cached pairs of one designation.  The
/// cached pixel format is the left operand of the comparison.  A pair that
/// can no longer change the outcome is not compared.
Cached lookup_cached(nb::handle pairs, nb::handle pixel_format, nb::object &decoder) {
    nb::object items = korvell::owned(PySequence_Fast(pairs.ptr(), "cached resolutions must be a sequence"));
    bool failed = false;
    // Sizes are read again on every step: comparisons run Python code.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i));
        auto [cached_format, cached_decoder] = cached_pair(item);
        if (failed && cached_decoder.is_none())
            continue;
        if (!korvell::equal(cached_format, pixel_format))
            continue;
        if (!cached_decoder.is_none()) {
            decoder = cached_decoder;
            return Cached::found;
        }
        failed = true;
    }
    return failed ? Cached::failed : Cached::absent;
}

/// An error that is not an ordinary Exception (KeyboardInterrupt, SystemExit)
/// passes through a failed check, and so does MemoryError: it tells of the
/// process, not of the back-end, and remembered as a failed check it would
/// refuse the format for good.
bool passes_through(PyObject *exc) {
    return !PyErr_GivenExceptionMatches(exc, PyExc_Exception) || PyErr_GivenExceptionMatches(exc, PyExc_MemoryError);
}

/// Take the raised exception, raising it again when it passes through.
nb::object take_exception() {
    nb::object exc = korvell::fetch_exception();
    if (passes_through(exc.ptr()))
        korvell::reraise(std::move(exc));
    return exc;
}

/// The error's text for a log line; an error whose own text fails is still
/// reported, as the traceback module does.
nb::object exception_text(nb::handle exc) {
    if (PyObject *text = PyObject_Str(exc.ptr()))
        return nb::steal(text);
    take_exception();
    return nb::str("<exception str() failed>");
}

/// The decoder as the log line names it: its quoted name, or, for an object
/// registered without one, its repr (the registry does not validate decoders,
/// and the failed check must not turn into an error of its own).
nb::object decoder_label(nb::handle decoder) {
    PyObject *name = PyObject_GetAttr(decoder.ptr(), s_name.ptr());
    if (!name)
        take_exception();
    nb::object held = nb::steal(name);
    return korvell::owned(PyObject_Repr(name ? name : decoder.ptr()));
}

void log_failed_check(nb::handle decoder, nb::handle exc) {
    nb::object quoted = decoder_label(decoder);
    nb::object text = exception_text(exc);
    nb::object message = korvell::owned(
        PyUnicode_FromFormat("Decoder %U failed applicability check: %U", quoted.ptr(), text.ptr()));
    g_mod.get(s_logger).attr("error")(message, "exc_info"_a = exc);
}

[[noreturn]] void raise_no_decoder() { korvell::raise_error(g_mod.get(s_not_supported), NO_DECODER); }

/// The winner among the registrations: a registration is asked only while it
/// can still change the winner (the first applicable one, then only strictly
/// higher priorities).  The list object is held and its size read on every
/// step, as Python's own iteration would, since back-ends run arbitrary code.
nb::object scan(const DecoderRegistry &self, nb::handle pixel_format) {
    nb::object regs = nb::borrow(registrations_of(self));
    nb::object winner, winner_priority;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(regs.ptr()); ++i) {
        nb::object reg = nb::borrow(PyList_GET_ITEM(regs.ptr(), i));
        Entry entry = entry_of(reg);
        if (winner.is_valid() && !korvell::compare(winner_priority, entry.priority, Py_LT))
            continue;
        PyObject *args[] = {entry.decoder.ptr(), pixel_format.ptr()};
        PyObject *answer = PyObject_VectorcallMethod(s_is_applicable.ptr(), args, 2, nullptr);
        int applicable = answer ? PyObject_IsTrue(answer) : -1;
        Py_XDECREF(answer);
        if (applicable < 0) {
            log_failed_check(entry.decoder, take_exception());
            continue;
        }
        if (applicable) {
            winner = entry.decoder;
            winner_priority = entry.priority;
        }
    }
    return winner;
}

/// Record the outcome under the current cache (a back-end may have replaced
/// or emptied it meanwhile).
void remember(const DecoderRegistry &self, nb::handle cache_id, nb::handle pixel_format, nb::handle winner) {
    nb::object outcome = korvell::pair(pixel_format, winner.is_valid() ? winner : nb::none());
    nb::object fresh = korvell::new_list();
    nb::object slot = nb::borrow(PyDict_SetDefault(cache_of(self).ptr(), cache_id.ptr(), fresh.ptr()));
    if (!slot.is_valid())
        throw nb::python_error();
    if (PyList_CheckExact(slot.ptr()))
        korvell::append(slot, outcome);
    else
        slot.attr("append")(outcome);
}

nb::object resolve(DecoderRegistry &self, nb::handle pixel_format) {
    nb::object cache_id = korvell::call_method(pixel_format, s_designation);
    nb::object cache = nb::borrow(cache_of(self));
    nb::object pairs = nb::borrow(korvell::borrowed_or_absent(PyDict_GetItemWithError(cache.ptr(), cache_id.ptr())));
    if (pairs.is_valid()) {
        nb::object decoder;
        switch (lookup_cached(pairs, pixel_format, decoder)) {
        case Cached::found: return decoder;
        case Cached::failed: raise_no_decoder();
        case Cached::absent: break;
        }
    }
    const uint64_t generation = self.generation;
    nb::object winner = scan(self, pixel_format);
    if (self.generation == generation)
        remember(self, cache_id, pixel_format, winner);
    if (!winner.is_valid())
        raise_no_decoder();
    return winner;
}

/// The decoder for `pixel_format` through the registry's own `resolve`, so
/// that a subclass's override is honoured.
nb::object resolve_through(nb::handle self, nb::handle pixel_format) {
    require_instance<DecoderRegistry>(self);
    if (exact_type(self, bound_type<DecoderRegistry>) && nb::inst_ready(self))
        return resolve(*nb::inst_ptr<DecoderRegistry>(self), pixel_format);
    return self.attr("resolve")(pixel_format);
}

nb::object decode(nb::handle self, nb::handle pixel_format, nb::handle buffer, nb::handle width, nb::handle height,
                  nb::handle stride, nb::handle copy) {
    PyObject *copy_flag = korvell::truth(copy) ? Py_True : Py_False;
    nb::object decoder = resolve_through(self, pixel_format);
    PyObject *args[] = {decoder.ptr(), pixel_format.ptr(), buffer.ptr(), width.ptr(), height.ptr(),
                        stride.ptr(), copy_flag};
    return korvell::owned(PyObject_VectorcallMethod(s_decode.ptr(), args, 3, g_decode_kwnames.ptr()));
}

/// An int (bool included) or None as it is; any other number through int();
/// anything else is refused.
nb::object buffer_size_result(nb::object result) {
    if (PyLong_Check(result.ptr()) || result.is_none())
        return result;
    if (!korvell::checked(PyObject_IsInstance(result.ptr(), g_number.ptr())))
        korvell::raise_not_exact(result, "buffer size", "a number or None");
    return korvell::owned(PyNumber_Long(result.ptr()));
}

nb::object get_buffer_size(nb::handle self, nb::handle pixel_format, nb::handle width, nb::handle height,
                           nb::handle stride) {
    nb::object decoder = resolve_through(self, pixel_format);
    PyObject *args[] = {decoder.ptr(), pixel_format.ptr(), width.ptr(), height.ptr(), stride.ptr()};
    return buffer_size_result(
        korvell::owned(PyObject_VectorcallMethod(s_get_buffer_size.ptr(), args, 2, g_buffer_size_kwnames.ptr())));
}

nb::object visualization_image(nb::handle self, nb::handle pixel_format, nb::handle image, nb::kwargs options) {
    nb::object decoder = resolve_through(self, pixel_format);
    nb::object method = korvell::getattr(decoder, s_visualization_image);
    nb::object args = korvell::pair(pixel_format, image);
    return korvell::owned(PyObject_Call(method.ptr(), args.ptr(), options.ptr()));
}

// ---------------------------------------------------------------------------
// DecoderRegistry: registrations and snapshots.

void register_decoder(DecoderRegistry &self, nb::handle priority, nb::handle decoder) {
    nb::object reg = korvell::new_record(Registration{nb::borrow(decoder), nb::borrow(priority)});
    korvell::append(registrations_of(self), reg);
    ++self.generation;
    PyDict_Clear(cache_of(self).ptr());
}

nb::object snapshot(DecoderRegistry &self) {
    nb::object regs = korvell::owned(PyList_AsTuple(registrations_of(self).ptr()));
    return korvell::new_record(Snapshot{std::move(regs)});
}

void restore(DecoderRegistry &self, nb::handle snap) {
    Snapshot *s = record_of<Snapshot>(snap);
    if (!s)
        korvell::raise_not_exact(snap, "snap", "DecoderRegistrySnapshot");
    nb::object regs = s->registrations;   // held: the slice assignment may run Python code
    korvell::checked(PyList_SetSlice(registrations_of(self).ptr(), 0, PY_SSIZE_T_MAX, regs.ptr()));
    ++self.generation;
    PyDict_Clear(cache_of(self).ptr());
}

void registry_init(nb::pointer_and_handle<DecoderRegistry> self, nb::handle registrations, nb::handle cache) {
    nb::object regs = registrations.is(g_missing) ? korvell::new_list() : checked_registrations(registrations);
    nb::object resolved = cache.is(g_missing) ? korvell::new_dict() : checked_cache(cache);
    new (self.p) DecoderRegistry{std::move(regs), std::move(resolved)};
}

nb::object get_registrations(nb::handle self) {
    return ready_record<DecoderRegistry>(self, "_registrations").registrations;
}

void set_registrations(nb::handle self, nb::handle value) {
    nb::object checked = checked_registrations(value);
    DecoderRegistry &r = korvell::record_for_assignment<DecoderRegistry>(self);
    r.registrations = std::move(checked);
    ++r.generation;
}

nb::object get_cache(nb::handle self) { return ready_record<DecoderRegistry>(self, "_resolve_cache").cache; }

void set_cache(nb::handle self, nb::handle value) {
    nb::object checked = checked_cache(value);
    korvell::record_for_assignment<DecoderRegistry>(self).cache = std::move(checked);
}

// ---------------------------------------------------------------------------
// The other records' fields and representations.

void decoder_init(nb::pointer_and_handle<Decoder> self, nb::handle name) {
    new (self.p) Decoder{korvell::exact_str(name, "name")};
}

nb::object get_name(nb::handle self) { return ready_record<Decoder>(self, "name").name; }

void set_name(nb::handle self, nb::handle value) {
    korvell::record_for_assignment<Decoder>(self).name = nb::borrow(value);
}

nb::object decoder_repr(nb::handle self) {
    return korvell::record_repr<1>(self, {"name"}, {ready_record<Decoder>(self, "name").name});
}

void registration_init(nb::pointer_and_handle<Registration> self, nb::handle decoder, nb::handle priority) {
    new (self.p) Registration{nb::borrow(decoder), nb::borrow(priority)};
}

constexpr std::array<const char *, 2> registration_fields{"decoder", "priority"};
constexpr std::array<const char *, 1> snapshot_fields{"registrations"};
constexpr std::array<const char *, 2> registry_fields{"_registrations", "_resolve_cache"};

nb::object registration_repr(nb::handle self) {
    const Registration &r = ready_record<Registration>(self, "decoder");
    return korvell::record_repr<2>(self, registration_fields, {r.decoder, r.priority});
}

Py_ssize_t registration_hash(const Registration &self) { return nb::hash(korvell::pair(self.decoder, self.priority)); }

void snapshot_init(nb::pointer_and_handle<Snapshot> self, nb::handle registrations) {
    new (self.p) Snapshot{korvell::exact_tuple(registrations, "registrations")};
}

nb::object snapshot_repr(nb::handle self) {
    return korvell::record_repr<1>(self, snapshot_fields, {ready_record<Snapshot>(self, "registrations").registrations});
}

Py_ssize_t snapshot_hash(const Snapshot &self) { return nb::hash(nb::make_tuple(self.registrations)); }

nb::object registry_repr(nb::handle self) {
    const DecoderRegistry &r = ready_record<DecoderRegistry>(self, "_registrations");
    return korvell::record_repr<2>(self, registry_fields, {r.registrations, r.cache});
}

nb::handle type_object(PyTypeObject *type) { return (PyObject *) type; }

// ---------------------------------------------------------------------------
// Binding.

void bind_decoder(nb::module_ &m) {
    nb::class_<Decoder> decoder(m, "PixelFormatDecoder", nb::type_slots(DecoderFields::abstract_slots));
    bound_type<Decoder> = (PyTypeObject *) decoder.ptr();
    decoder.doc() = "Interface of a decoder back-end for GenICam pixel formats.\n\n"
                    "A back-end derives from this class and implements ``is_applicable``,\n"
                    "``decode`` and ``get_buffer_size``; ``visualization_image`` has a default.\n"
                    "The one field, ``name``, names the decoder in log messages.";
    decoder.def("__init__", &decoder_init, "name"_a.none(), nb::sig("def __init__(self, name: str) -> None"));
    korvell::def_field(decoder, "name", &get_name, &set_name, "str", "Name of the decoder, used in log messages.");
    decoder.def("__eq__", &decoder_eq, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__repr__", &decoder_repr, nb::sig("def __repr__(self) -> str"))
        .def("visualization_image", &default_visualization_image, "pixel_format"_a.none(), "image"_a.none(),
             "kwargs"_a,
             nb::sig("def visualization_image(self, pixel_format: korvell.pfnc.pixel_format.PixelFormat, "
                     "image: numpy.ndarray, **kwargs: Any) -> numpy.ndarray"),
             "The image to show for ``image``: by default the very same image object when\n"
             "this decoder handles ``pixel_format``; otherwise PixelFormatDecodeNotSupportedError.\n"
             "Further named options are accepted and ignored.");
    decoder.attr("__hash__") = nb::none();
    korvell::def_pickling<DecoderFields>(decoder, "tuple[str]");
    korvell::make_abstract(decoder, {{"is_applicable", korvell::MethodKind::method},
                                     {"decode", korvell::MethodKind::method},
                                     {"get_buffer_size", korvell::MethodKind::method}});
    for (auto [name, doc] : {std::pair{"is_applicable", "True if this decoder can handle ``pixel_format``."},
                             std::pair{"decode", "Decode the raw bytes of one frame into an image array."},
                             std::pair{"get_buffer_size",
                                       "The buffer size in bytes that a frame of these dimensions needs."}})
        nb::setattr(decoder.attr(name), "__doc__", nb::str(doc));
    korvell::describe_fields(decoder, nb::list(nb::make_tuple(nb::make_tuple("name", type_object(&PyUnicode_Type)))),
                             false);
}

void bind_registration(nb::module_ &m) {
    nb::class_<Registration> registration(m, "DecoderRegistration", nb::type_slots(RegistrationFields::slots));
    bound_type<Registration> = (PyTypeObject *) registration.ptr();
    registration.doc() = "Single decoder registration entry.";
    registration
        .def("__init__", &registration_init, "decoder"_a.none(), "priority"_a.none(),
             nb::sig("def __init__(self, decoder: PixelFormatDecoder, priority: int) -> None"))
        .def_prop_ro(
            "decoder", [](const Registration &r) { return r.decoder; },
            nb::sig("def decoder(self) -> PixelFormatDecoder"), "The registered back-end.")
        .def_prop_ro(
            "priority", [](const Registration &r) { return r.priority; }, nb::sig("def priority(self) -> int"),
            "The higher, the more priority.")
        .def("__eq__", &fields_eq<RegistrationFields>, "other"_a.none(),
             nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__", &registration_hash)
        .def("__repr__", &registration_repr, nb::sig("def __repr__(self) -> str"));
    korvell::def_frozen(registration, registration_fields);
    korvell::def_pickling<RegistrationFields>(registration, "tuple[PixelFormatDecoder, int]");
    korvell::describe_fields(registration,
                             nb::list(nb::make_tuple(nb::make_tuple("decoder", m.attr("PixelFormatDecoder")),
                                                     nb::make_tuple("priority", type_object(&PyLong_Type)))),
                             true);
}

void bind_snapshot(nb::module_ &m) {
    nb::class_<Snapshot> snap(m, "DecoderRegistrySnapshot", nb::type_slots(SnapshotFields::slots));
    bound_type<Snapshot> = (PyTypeObject *) snap.ptr();
    snap.doc() = "Snapshot of registry state for test isolation.";
    snap.def("__init__", &snapshot_init, "registrations"_a.none(),
             nb::sig("def __init__(self, registrations: tuple[DecoderRegistration, ...]) -> None"))
        .def_prop_ro(
            "registrations", [](const Snapshot &s) { return s.registrations; },
            nb::sig("def registrations(self) -> tuple[DecoderRegistration, ...]"),
            "Every registration of the registry, in registration order.")
        .def("__eq__", &fields_eq<SnapshotFields>, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__", &snapshot_hash)
        .def("__repr__", &snapshot_repr, nb::sig("def __repr__(self) -> str"));
    korvell::def_frozen(snap, snapshot_fields);
    korvell::def_pickling<SnapshotFields, check_snapshot>(snap, "tuple[tuple[DecoderRegistration, ...]]");
    nb::object registrations = korvell::generic_alias(
        &PyTuple_Type, nb::make_tuple(m.attr("DecoderRegistration"), nb::ellipsis()));
    korvell::describe_fields(snap, nb::list(nb::make_tuple(nb::make_tuple("registrations", registrations))), true);
}

#define KORVELL_CACHE_TYPE                                                                                          \
    "dict[str, list[tuple[korvell.pfnc.pixel_format.PixelFormat, PixelFormatDecoder | None]]]"

void bind_registry(nb::module_ &m) {
    nb::class_<DecoderRegistry> registry(m, "DecoderRegistry", nb::type_slots(RegistryFields::slots));
    bound_type<DecoderRegistry> = (PyTypeObject *) registry.ptr();
    registry.doc() = "Registry that resolves a decoder for a given GenICam pixel format.";
    nb::handle missing = g_missing;
    registry
        .def("__init__", &registry_init, "_registrations"_a.none() = missing, "_resolve_cache"_a.none() = missing,
             nb::sig("def __init__(self, _registrations: list[DecoderRegistration] = ..., "
                     "_resolve_cache: " KORVELL_CACHE_TYPE " = ...) -> None"));
    korvell::def_field(registry, "_registrations", &get_registrations, &set_registrations,
                       "list[DecoderRegistration]", "Every registration, in the order of the register calls.");
    korvell::def_field(registry, "_resolve_cache", &get_cache, &set_cache, KORVELL_CACHE_TYPE,
                       "Earlier outcomes by designation: (pixel format, decoder or None) pairs.");
    registry.def("register", &register_decoder, "priority"_a.none(), "decoder"_a.none(),
             nb::sig("def register(self, priority: int, decoder: PixelFormatDecoder) -> None"),
             "Register ``decoder`` with ``priority`` (the higher, the more priority) and forget\n"
             "every earlier resolution.")
        .def("snapshot", &snapshot, nb::sig("def snapshot(self) -> DecoderRegistrySnapshot"),
             "The current registrations, in order, as an immutable snapshot.")
        .def("restore", &restore, "snap"_a.none(),
             nb::sig("def restore(self, snap: DecoderRegistrySnapshot) -> None"),
             "Replace the registrations with those of ``snap`` (in place) and forget every\n"
             "earlier resolution.")
        .def("resolve", &resolve, "pixel_format"_a.none(),
             nb::sig("def resolve(self, pixel_format: korvell.pfnc.pixel_format.PixelFormat) -> PixelFormatDecoder"),
             "The applicable decoder with the highest priority (the earliest registered among\n"
             "equals), remembered per pixel format until the registrations change.\n"
             "Raises PixelFormatDecodeNotSupportedError when no decoder applies.")
        .def("decode", &decode, "pixel_format"_a.none(), "buffer"_a.none(), nb::kw_only(), "width"_a.none(),
             "height"_a.none(), "stride"_a.none() = nb::none(), "copy"_a.none() = false,
             nb::sig("def decode(self, pixel_format: korvell.pfnc.pixel_format.PixelFormat, "
                     "buffer: bytes | bytearray | memoryview, *, width: int, height: int, "
                     "stride: int | None = None, copy: bool = False) -> numpy.ndarray"),
             "Decode ``buffer`` with the decoder resolved for ``pixel_format``.")
        .def("get_buffer_size", &get_buffer_size, "pixel_format"_a.none(), nb::kw_only(), "width"_a.none(),
             "height"_a.none(), "stride"_a.none() = nb::none(),
             nb::sig("def get_buffer_size(self, pixel_format: korvell.pfnc.pixel_format.PixelFormat, *, "
                     "width: int, height: int, stride: int | None = None) -> int"),
             "The buffer size in bytes, from the decoder resolved for ``pixel_format``.")
        .def("visualization_image", &visualization_image, "pixel_format"_a.none(), "image"_a.none(), "kwargs"_a,
             nb::sig("def visualization_image(self, pixel_format: korvell.pfnc.pixel_format.PixelFormat, "
                     "image: numpy.ndarray, **kwargs: Any) -> numpy.ndarray"),
             "The visualisation of ``image`` by the decoder resolved for ``pixel_format``.")
        .def("__eq__", &fields_eq<RegistryFields>, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__repr__", &registry_repr, nb::sig("def __repr__(self) -> str"));
    registry.attr("__hash__") = nb::none();
    korvell::def_pickling<RegistryFields, check_registry>(
        registry, "tuple[list[DecoderRegistration], " KORVELL_CACHE_TYPE "]");
    nb::object list_of_regs = korvell::generic_alias(&PyList_Type, m.attr("DecoderRegistration"));
    nb::object field = nb::module_::import_("dataclasses").attr("field");
    nb::object default_list = field("default_factory"_a = type_object(&PyList_Type));
    nb::object default_dict = field("default_factory"_a = type_object(&PyDict_Type));
    korvell::describe_fields(
        registry,
        nb::list(nb::make_tuple(nb::make_tuple("_registrations", list_of_regs, default_list),
                                nb::make_tuple("_resolve_cache",
                                               "dict[str, list[tuple[PixelFormat, PixelFormatDecoder | None]]]",
                                               default_dict))),
        false);
}

/// The process-lifetime references, made once at import.
void init_state() {
    g_missing.set(korvell::owned(PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type)));
    g_number.set(nb::module_::import_("numbers").attr("Number"));
    // Interned, as the interpreter's own call sites are: the back-end then
    // matches the keywords by identity instead of comparing their text.
    PyObject *width = korvell::interned("width"), *height = korvell::interned("height"),
             *stride = korvell::interned("stride"), *copy = korvell::interned("copy");
    g_decode_kwnames.set(korvell::owned(PyTuple_Pack(4, width, height, stride, copy)));
    g_buffer_size_kwnames.set(korvell::owned(PyTuple_Pack(3, width, height, stride)));
}

} // namespace

NB_MODULE(halvenor, m) {
    g_mod.open(m, "Decoder registry for GenICam PFNC pixel formats.",
               {{"korvell.pfnc.exceptions", {"PixelFormatDecodeNotSupportedError"}}});
    nb::module_::import_("numpy");   // the array type of every image; must be importable
    m.attr("logger") = nb::module_::import_("logging").attr("getLogger")(m.attr("__name__"));
    init_state();
    bind_decoder(m);
    bind_registration(m);
    bind_snapshot(m);
    bind_registry(m);
}
