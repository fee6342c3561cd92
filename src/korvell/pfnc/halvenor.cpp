// halvenor.cpp -- the decoder back-end interface, its registration records,
// and the registry that resolves, caches and forwards to the back-ends.
#include "binding.hpp"

#include <array>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const NOT_SUPPORTED_BY_DECODER = "Pixel format not supported by this decoder.";
const char *const NO_DECODER = "No registered decoder supports this pixel format.";

korvell::ModuleRef g_mod;

// Process-lifetime references, set once at module initialisation and never
// released (they must not be torn down after the interpreter).
PyObject *g_missing = nullptr;        // marker for "argument not given"
PyObject *g_number = nullptr;         // numbers.Number
PyObject *g_frozen_error = nullptr;   // dataclasses.FrozenInstanceError
PyObject *s_designation = nullptr;    // interned method and keyword names
PyObject *s_is_applicable = nullptr;
PyObject *s_decode = nullptr;
PyObject *s_get_buffer_size = nullptr;
PyObject *s_decode_kwnames = nullptr;        // ("width", "height", "stride", "copy")
PyObject *s_buffer_size_kwnames = nullptr;   // ("width", "height", "stride")

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw nb::python_error();
    return s;
}

// ---------------------------------------------------------------------------
// Record layouts.  Every field is a Python object, so each type takes part in
// garbage collection: back-ends may well hold the registry that holds them.
// A collector's clear must not fail, so it allocates nothing: it sets every
// field to None, and what needs a field's own type checks for it.

struct Decoder {
    nb::object name = nb::none();
    std::array<nb::object *, 1> fields() { return {&name}; }
    void clear() { name = nb::none(); }
};

struct Registration {
    nb::object decoder = nb::none();
    nb::object priority = nb::none();
    std::array<nb::object *, 2> fields() { return {&decoder, &priority}; }
    void clear() { decoder = priority = nb::none(); }
};

struct Snapshot {
    nb::object registrations = nb::tuple();
    std::array<nb::object *, 1> fields() { return {&registrations}; }
    void clear() { registrations = nb::none(); }
};

struct DecoderRegistry {
    nb::object registrations = korvell::new_list();   // `_registrations`, an exact list until cleared
    nb::object cache = korvell::new_dict();           // `_resolve_cache`, an exact dict until cleared
    std::array<nb::object *, 2> fields() { return {&registrations, &cache}; }
    void clear() { registrations = cache = nb::none(); }
};

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

template <typename T> int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    for (nb::object *field : nb::inst_ptr<T>(self)->fields())
        Py_VISIT(field->ptr());
    return 0;
}

template <typename T> int record_clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<T>(self)->clear();
    return 0;
}

template <typename T> PyType_Slot record_slots[] = {
    {Py_tp_traverse, (void *) record_traverse<T>},
    {Py_tp_clear, (void *) record_clear<T>},
    {0, nullptr},
};

// The decoder base is abstract as well: its tp_new refuses abstract classes.
PyType_Slot decoder_slots[] = {
    {Py_tp_new, (void *) korvell::abstract_aware_new},
    {Py_tp_traverse, (void *) record_traverse<Decoder>},
    {Py_tp_clear, (void *) record_clear<Decoder>},
    {0, nullptr},
};

/// The Python class bound for each record, set once at initialisation (the
/// lookup through nanobind's type map is kept off the hot paths).
template <typename T> PyTypeObject *bound_type = nullptr;

template <typename T> bool is_instance(nb::handle obj) { return PyObject_TypeCheck(obj.ptr(), bound_type<T>); }

bool exact_type(nb::handle obj, PyTypeObject *type) { return Py_TYPE(obj.ptr()) == type; }

/// The record behind `obj` when `obj` is a constructed instance of T (or of a
/// subclass); null otherwise.
template <typename T> T *record_of(nb::handle obj) {
    if (!is_instance<T>(obj) || !nb::inst_ready(obj))
        return nullptr;
    return nb::inst_ptr<T>(obj);
}

/// Methods that take `self` as a plain handle check it themselves: called
/// through the class on a foreign object, they must refuse it rather than
/// reach into memory that is not a record.
template <typename T> void require_instance(nb::handle self) {
    if (!is_instance<T>(self)) {
        std::string msg = "expected a " + korvell::str_text(nb::handle((PyObject *) bound_type<T>).attr("__name__")) +
                          " instance, not " + korvell::class_name_of(self);
        throw nb::type_error(msg.c_str());
    }
}

/// The record behind `self`, default-constructed first when a subclass's own
/// `__init__` (a generated one, for instance) assigns fields without running
/// the base constructor.
template <typename T> T &record_for_assignment(nb::handle self) {
    require_instance<T>(self);
    if (!nb::inst_ready(self)) {
        new (nb::inst_ptr<T>(self)) T();
        nb::inst_mark_ready(self);
    }
    return *nb::inst_ptr<T>(self);
}

[[noreturn]] void raise_unset_field(nb::handle self, const char *field) {
    std::string msg = "'" + korvell::class_name_of(self) + "' object has no attribute '" + field + "'";
    PyErr_SetString(PyExc_AttributeError, msg.c_str());
    throw nb::python_error();
}

template <typename T> T &ready_record(nb::handle self, const char *field) {
    require_instance<T>(self);
    if (!nb::inst_ready(self))
        raise_unset_field(self, field);
    return *nb::inst_ptr<T>(self);
}

bool same_class(nb::handle a, nb::handle b) { return Py_TYPE(a.ptr()) == Py_TYPE(b.ptr()); }

bool objects_equal(nb::handle a, nb::handle b) {
    int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (eq < 0)
        throw nb::python_error();
    return eq == 1;
}

bool truth(nb::handle obj) {
    int t = PyObject_IsTrue(obj.ptr());
    if (t < 0)
        throw nb::python_error();
    return t == 1;
}

/// `ClassName(field=value, ...)` with the instance's qualified class name;
/// "..." for a record met again while it is being shown.
template <size_t N>
nb::object record_repr(nb::handle self, const std::array<const char *, N> &names,
                       const std::array<nb::handle, N> &values) {
    int busy = Py_ReprEnter(self.ptr());
    if (busy < 0)
        throw nb::python_error();
    if (busy > 0)
        return nb::str("...");
    try {
        nb::object text = nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__qualname__");
        nb::str out = nb::str(text);
        std::string sep = "(";
        for (size_t i = 0; i < N; ++i) {
            nb::str piece = nb::str("{}{}={!r}").format(sep, names[i], values[i]);
            out = nb::steal<nb::str>(PyUnicode_Concat(out.ptr(), piece.ptr()));
            if (!out.is_valid())
                throw nb::python_error();
            sep = ", ";
        }
        nb::object result = nb::steal(PyUnicode_Concat(out.ptr(), nb::str(")").ptr()));
        if (!result.is_valid())
            throw nb::python_error();
        Py_ReprLeave(self.ptr());
        return result;
    } catch (...) {
        Py_ReprLeave(self.ptr());
        throw;
    }
}

// Frozen records refuse every assignment to their own class's instances and,
// for subclasses, every assignment to a field (other attributes of a
// subclass's instance stay writable).
template <typename T, size_t N>
void frozen_setattr(nb::handle self, nb::handle name, nb::handle value, const std::array<const char *, N> &fields) {
    require_instance<T>(self);
    if (!PyUnicode_Check(name.ptr())) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name.ptr())->tp_name);
        throw nb::python_error();
    }
    bool field = false;
    for (const char *f : fields)
        field = field || PyUnicode_CompareWithASCIIString(name.ptr(), f) == 0;
    if (field || exact_type(self, bound_type<T>)) {
        nb::object msg = nb::str(value.is_valid() ? "cannot assign to field {!r}" : "cannot delete field {!r}")
                             .format(name);
        PyErr_SetObject(g_frozen_error, msg.ptr());
        throw nb::python_error();
    }
    if (PyObject_GenericSetAttr(self.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

/// Binds `__setattr__` and `__delattr__` of a frozen record.  The field names
/// live in a static array, so the bound functions may keep a pointer to it.
template <typename T, size_t N>
void def_frozen(nb::class_<T> &cls, const std::array<const char *, N> &fields) {
    const std::array<const char *, N> *names = &fields;
    cls.def(
           "__setattr__",
           [names](nb::handle self, nb::handle name, nb::handle value) {
               frozen_setattr<T>(self, name, value, *names);
           },
           "name"_a, "value"_a.none(), nb::sig("def __setattr__(self, name: str, value: object) -> None"))
        .def(
            "__delattr__",
            [names](nb::handle self, nb::handle name) { frozen_setattr<T>(self, name, nb::handle(), *names); },
            "name"_a, nb::sig("def __delattr__(self, name: str) -> None"));
}

// ---------------------------------------------------------------------------
// PixelFormatDecoder: the default visualisation.

nb::object default_visualization_image(nb::handle self, nb::handle pixel_format, nb::handle image) {
    PyObject *args[] = {self.ptr(), pixel_format.ptr()};
    nb::object answer = nb::steal(PyObject_VectorcallMethod(s_is_applicable, args, 2, nullptr));
    if (!answer.is_valid())
        throw nb::python_error();
    if (!truth(answer))
        korvell::raise_error(g_mod.get("PixelFormatDecodeNotSupportedError"), NOT_SUPPORTED_BY_DECODER);
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
    return {reg.attr("decoder"), reg.attr("priority")};
}

/// The pair (pixel format, decoder or None) of a cache entry.
std::pair<nb::object, nb::object> cached_pair(nb::handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    nb::object seq = nb::steal(PySequence_Tuple(item.ptr()));
    if (!seq.is_valid())
        throw nb::python_error();
    if (PyTuple_GET_SIZE(seq.ptr()) != 2)
        throw nb::value_error("a cached resolution must be a (pixel format, decoder) pair");
    return {nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 1))};
}

enum class Cached { absent, failed, found };

/// Look `pixel_format` up among the cached pairs of one designation.  The
/// cached pixel format is the left operand of the comparison.  A pair that
/// can no longer change the outcome is not compared.
Cached lookup_cached(nb::handle pairs, nb::handle pixel_format, nb::object &decoder) {
    nb::object items = nb::steal(PySequence_Fast(pairs.ptr(), "cached resolutions must be a sequence"));
    if (!items.is_valid())
        throw nb::python_error();
    bool failed = false;
    // Sizes are read again on every step: comparisons run Python code.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i));
        auto [cached_format, cached_decoder] = cached_pair(item);
        if (failed && cached_decoder.is_none())
            continue;
        nb::object eq = nb::steal(PyObject_RichCompare(cached_format.ptr(), pixel_format.ptr(), Py_EQ));
        if (!eq.is_valid())
            throw nb::python_error();
        if (!truth(eq))
            continue;
        if (!cached_decoder.is_none()) {
            decoder = cached_decoder;
            return Cached::found;
        }
        failed = true;
    }
    return failed ? Cached::failed : Cached::absent;
}

/// Take the raised exception (normalised, traceback attached).  An error that
/// is not an ordinary Exception (KeyboardInterrupt, SystemExit) is raised
/// again, and so is MemoryError: it tells of the process, not of the back-end,
/// and remembered as a failed check it would refuse the format for good.
bool passes_through(PyObject *type_or_value) {
    return !PyErr_GivenExceptionMatches(type_or_value, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(type_or_value, PyExc_MemoryError);
}

nb::object take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *value = PyErr_GetRaisedException();
    if (passes_through(value)) {
        PyErr_SetRaisedException(value);
        throw nb::python_error();
    }
    return nb::steal(value);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (passes_through(type)) {
        PyErr_Restore(type, value, tb);
        throw nb::python_error();
    }
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return nb::steal(value);
#endif
}

/// The error's text for a log line; an error whose own text fails is still
/// reported, as the traceback module does.
nb::object exception_text(nb::handle exc) {
    PyObject *text = PyObject_Str(exc.ptr());
    if (text)
        return nb::steal(text);
    take_exception();
    return nb::str("<exception str() failed>");
}

/// The decoder as the log line names it: its quoted name, or, for an object
/// registered without one, its repr (the registry does not validate decoders,
/// and the failed check must not turn into an error of its own).
nb::object decoder_label(nb::handle decoder) {
    PyObject *name = PyObject_GetAttrString(decoder.ptr(), "name");
    if (!name)
        take_exception();
    nb::object quoted = nb::steal(PyObject_Repr(name ? name : decoder.ptr()));
    Py_XDECREF(name);
    if (!quoted.is_valid())
        throw nb::python_error();
    return quoted;
}

void log_failed_check(nb::handle decoder, nb::handle exc) {
    nb::object quoted = decoder_label(decoder);
    nb::object text = exception_text(exc);
    nb::object message = nb::steal(
        PyUnicode_FromFormat("Decoder %U failed applicability check: %U", quoted.ptr(), text.ptr()));
    if (!message.is_valid())
        throw nb::python_error();
    g_mod.get("logger").attr("error")(message, "exc_info"_a = exc);
}

[[noreturn]] void raise_no_decoder() {
    korvell::raise_error(g_mod.get("PixelFormatDecodeNotSupportedError"), NO_DECODER);
}

nb::object resolve(DecoderRegistry &self, nb::handle pixel_format) {
    nb::object cache_id = nb::steal(PyObject_CallMethodNoArgs(pixel_format.ptr(), s_designation));
    if (!cache_id.is_valid())
        throw nb::python_error();

    nb::object cache = nb::borrow(cache_of(self));
    nb::object pairs = nb::borrow(PyDict_GetItemWithError(cache.ptr(), cache_id.ptr()));
    if (!pairs.is_valid() && PyErr_Occurred())
        throw nb::python_error();
    if (pairs.is_valid()) {
        nb::object decoder;
        switch (lookup_cached(pairs, pixel_format, decoder)) {
        case Cached::found: return decoder;
        case Cached::failed: raise_no_decoder();
        case Cached::absent: break;
        }
    }

    // Scan.  A registration is asked only while it can still change the
    // winner: the first applicable one, then only strictly higher priorities.
    // The list object is held and its size read on every step, as Python's
    // own iteration would, since back-ends run arbitrary code.
    nb::object regs = nb::borrow(registrations_of(self));
    nb::object winner, winner_priority;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(regs.ptr()); ++i) {
        nb::object reg = nb::borrow(PyList_GET_ITEM(regs.ptr(), i));
        Entry entry = entry_of(reg);
        if (winner.is_valid()) {
            int higher = PyObject_RichCompareBool(winner_priority.ptr(), entry.priority.ptr(), Py_LT);
            if (higher < 0)
                throw nb::python_error();
            if (!higher)
                continue;
        }
        PyObject *args[] = {entry.decoder.ptr(), pixel_format.ptr()};
        PyObject *answer = PyObject_VectorcallMethod(s_is_applicable, args, 2, nullptr);
        int applicable = answer ? PyObject_IsTrue(answer) : -1;
        Py_XDECREF(answer);
        if (applicable < 0) {
            nb::object exc = take_exception();
            log_failed_check(entry.decoder, exc);
            continue;
        }
        if (applicable) {
            winner = entry.decoder;
            winner_priority = entry.priority;
        }
    }

    // Record the outcome under the current cache (a back-end may have
    // replaced or emptied it meanwhile).
    nb::object outcome = nb::make_tuple(pixel_format, winner.is_valid() ? winner : nb::none());
    nb::object fresh = korvell::new_list();
    nb::object slot = nb::borrow(PyDict_SetDefault(cache_of(self).ptr(), cache_id.ptr(), fresh.ptr()));
    if (!slot.is_valid())
        throw nb::python_error();
    if (PyList_CheckExact(slot.ptr())) {
        if (PyList_Append(slot.ptr(), outcome.ptr()) < 0)
            throw nb::python_error();
    } else {
        slot.attr("append")(outcome);
    }

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
    PyObject *copy_flag = truth(copy) ? Py_True : Py_False;
    nb::object decoder = resolve_through(self, pixel_format);
    PyObject *args[] = {decoder.ptr(), pixel_format.ptr(), buffer.ptr(), width.ptr(), height.ptr(),
                        stride.ptr(), copy_flag};
    PyObject *result = PyObject_VectorcallMethod(s_decode, args, 3, s_decode_kwnames);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

/// An int (bool included) or None as it is; any other number through int();
/// anything else is refused.
nb::object buffer_size_result(nb::object result) {
    if (PyLong_Check(result.ptr()) || result.is_none())
        return result;
    int number = PyObject_IsInstance(result.ptr(), g_number);
    if (number < 0)
        throw nb::python_error();
    if (!number)
        korvell::raise_not_exact(result, "buffer size", "a number or None");
    PyObject *converted = PyNumber_Long(result.ptr());
    if (!converted)
        throw nb::python_error();
    return nb::steal(converted);
}

nb::object get_buffer_size(nb::handle self, nb::handle pixel_format, nb::handle width, nb::handle height,
                           nb::handle stride) {
    nb::object decoder = resolve_through(self, pixel_format);
    PyObject *args[] = {decoder.ptr(), pixel_format.ptr(), width.ptr(), height.ptr(), stride.ptr()};
    PyObject *result = PyObject_VectorcallMethod(s_get_buffer_size, args, 2, s_buffer_size_kwnames);
    if (!result)
        throw nb::python_error();
    return buffer_size_result(nb::steal(result));
}

nb::object visualization_image(nb::handle self, nb::handle pixel_format, nb::handle image, nb::kwargs options) {
    nb::object decoder = resolve_through(self, pixel_format);
    nb::object method = decoder.attr("visualization_image");
    nb::object args = nb::make_tuple(pixel_format, image);
    PyObject *result = PyObject_Call(method.ptr(), args.ptr(), options.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// ---------------------------------------------------------------------------
// DecoderRegistry: registrations and snapshots.

void register_decoder(DecoderRegistry &self, nb::handle priority, nb::handle decoder) {
    nb::object reg = nb::cast(Registration{nb::borrow(decoder), nb::borrow(priority)});
    if (PyList_Append(registrations_of(self).ptr(), reg.ptr()) < 0)
        throw nb::python_error();
    PyDict_Clear(cache_of(self).ptr());
}

nb::object snapshot(DecoderRegistry &self) {
    nb::object regs = nb::steal(PyList_AsTuple(registrations_of(self).ptr()));
    if (!regs.is_valid())
        throw nb::python_error();
    return nb::cast(Snapshot{std::move(regs)});
}

void restore(DecoderRegistry &self, nb::handle snap) {
    Snapshot *s = record_of<Snapshot>(snap);
    if (!s)
        korvell::raise_not_exact(snap, "snap", "DecoderRegistrySnapshot");
    nb::object regs = s->registrations;   // held: the slice assignment may run Python code
    if (PyList_SetSlice(registrations_of(self).ptr(), 0, PY_SSIZE_T_MAX, regs.ptr()) < 0)
        throw nb::python_error();
    PyDict_Clear(cache_of(self).ptr());
}

nb::object checked_registrations(nb::handle value) { return korvell::exact_list(value, "_registrations"); }

nb::object checked_cache(nb::handle value) {
    if (!PyDict_CheckExact(value.ptr()))
        korvell::raise_not_exact(value, "_resolve_cache", "dict");
    return nb::borrow(value);
}

// ---------------------------------------------------------------------------
// Copying and pickling.  The state is (field values, instance dict or None);
// restoring it builds the record in an instance made by __new__, as the
// interpreter does for plain objects, so that a subclass's own __init__ is not
// needed.  Restored fields are checked as the constructor checks them.

void check_fields(Decoder &) {}
void check_fields(Registration &) {}
void check_fields(Snapshot &s) { korvell::exact_tuple(s.registrations, "registrations"); }
void check_fields(DecoderRegistry &r) {
    checked_registrations(r.registrations);
    checked_cache(r.cache);
}

template <typename T> nb::object get_state(nb::handle self) {
    T &record = ready_record<T>(self, "__getstate__");
    nb::list values = korvell::new_list();
    for (nb::object *field : record.fields())
        values.append(*field);
    nb::object dict = nb::getattr(self, "__dict__", nb::none());
    if (!dict.is_none() && nb::len(dict) == 0)
        dict = nb::none();
    return nb::make_tuple(nb::tuple(values), dict);
}

template <typename T> void set_state(nb::handle self, nb::handle state) {
    require_instance<T>(self);
    if (nb::inst_ready(self))
        throw nb::type_error("__setstate__() needs an instance that is not yet initialised");
    T record;
    auto fields = record.fields();
    if (!PyTuple_CheckExact(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 2 ||
        !PyTuple_CheckExact(PyTuple_GET_ITEM(state.ptr(), 0)) ||
        (size_t) PyTuple_GET_SIZE(PyTuple_GET_ITEM(state.ptr(), 0)) != fields.size())
        throw nb::value_error("__setstate__() got a state of the wrong shape");
    nb::handle values = PyTuple_GET_ITEM(state.ptr(), 0);
    for (size_t i = 0; i < fields.size(); ++i)
        *fields[i] = nb::borrow(PyTuple_GET_ITEM(values.ptr(), (Py_ssize_t) i));
    check_fields(record);
    nb::handle dict = PyTuple_GET_ITEM(state.ptr(), 1);
    new (nb::inst_ptr<T>(self)) T(std::move(record));
    nb::inst_mark_ready(self);
    if (!dict.is_none())
        nb::getattr(self, "__dict__").attr("update")(dict);
}

template <typename T> void def_pickling(nb::class_<T> &cls, const char *state_type) {
    std::string get_sig = std::string("def __getstate__(self) -> tuple[") + state_type + ", dict[str, object] | None]";
    std::string set_sig = std::string("def __setstate__(self, state: tuple[") + state_type +
                          ", dict[str, object] | None], /) -> None";
    cls.def("__getstate__", &get_state<T>, nb::sig(get_sig.c_str()))
        .def("__setstate__", &set_state<T>, nb::arg("state").none(), nb::sig(set_sig.c_str()));
}

// ---------------------------------------------------------------------------
// Record metadata: the standard dataclass description of each record, so that
// dataclasses.fields/replace/asdict work and a dataclass derived in Python
// inherits the fields.  The description is taken from a template class made by
// dataclasses.make_dataclass with the same fields.

void describe_fields(nb::handle cls, nb::list fields, bool frozen) {
    nb::object dataclasses = nb::module_::import_("dataclasses");
    nb::object tmpl = dataclasses.attr("make_dataclass")(cls.attr("__name__"), fields, "frozen"_a = frozen);
    for (const char *attr : {"__dataclass_fields__", "__dataclass_params__", "__match_args__"})
        nb::setattr(cls, attr, tmpl.attr(attr));
}

nb::object generic_alias(PyTypeObject *origin, nb::handle args) {
    return nb::handle((PyObject *) origin)[args];
}

} // namespace

NB_MODULE(halvenor, m) {
    m.doc() = "Decoder registry for GenICam PFNC pixel formats.";
    g_mod.bind(m);
    korvell::bind_from(m, "korvell.pfnc.exceptions", "PixelFormatDecodeNotSupportedError");
    nb::module_::import_("numpy");   // the array type of every image; must be importable
    m.attr("logger") = nb::module_::import_("logging").attr("getLogger")(m.attr("__name__"));

    g_missing = PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type);
    if (!g_missing)
        throw nb::python_error();
    g_number = nb::object(nb::module_::import_("numbers").attr("Number")).release().ptr();
    g_frozen_error = nb::object(nb::module_::import_("dataclasses").attr("FrozenInstanceError")).release().ptr();
    s_designation = intern("designation");
    s_is_applicable = intern("is_applicable");
    s_decode = intern("decode");
    s_get_buffer_size = intern("get_buffer_size");
    // Interned, as the interpreter's own call sites are: the back-end then
    // matches the keywords by identity instead of comparing their text.
    PyObject *width = intern("width"), *height = intern("height"), *stride = intern("stride"),
             *copy = intern("copy");
    s_decode_kwnames = PyTuple_Pack(4, width, height, stride, copy);
    s_buffer_size_kwnames = PyTuple_Pack(3, width, height, stride);
    if (!s_decode_kwnames || !s_buffer_size_kwnames)
        throw nb::python_error();

    // --- PixelFormatDecoder ------------------------------------------------
    nb::class_<Decoder> decoder(m, "PixelFormatDecoder", nb::type_slots(decoder_slots));
    bound_type<Decoder> = (PyTypeObject *) decoder.ptr();
    decoder.doc() = "Interface of a decoder back-end for GenICam pixel formats.\n\n"
                    "A back-end derives from this class and implements ``is_applicable``,\n"
                    "``decode`` and ``get_buffer_size``; ``visualization_image`` has a default.\n"
                    "The one field, ``name``, names the decoder in log messages.";
    decoder
        .def(
            "__init__",
            [](nb::pointer_and_handle<Decoder> self, nb::handle name) {
                new (self.p) Decoder{korvell::exact_str(name, "name")};
            },
            "name"_a.none(), nb::sig("def __init__(self, name: str) -> None"))
        .def_prop_rw(
            "name", [](nb::handle self) { return ready_record<Decoder>(self, "name").name; },
            [](nb::handle self, nb::handle value) { record_for_assignment<Decoder>(self).name = nb::borrow(value); },
            nb::arg("value").none(), nb::for_getter(nb::sig("def name(self) -> str")),
            nb::for_setter(nb::sig("def name(self, value: str, /) -> None")),
            "Name of the decoder, used in log messages.")
        .def(
            "__eq__",
            [](nb::handle self, nb::handle other) {
                if (!same_class(self, other))
                    return false;
                return objects_equal(ready_record<Decoder>(self, "name").name,
                                     ready_record<Decoder>(other, "name").name);
            },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def(
            "__repr__",
            [](nb::handle self) {
                return record_repr<1>(self, {"name"}, {ready_record<Decoder>(self, "name").name});
            },
            nb::sig("def __repr__(self) -> str"))
        .def(
            "visualization_image",
            [](nb::handle self, nb::handle pixel_format, nb::handle image, nb::kwargs) {
                return default_visualization_image(self, pixel_format, image);
            },
            "pixel_format"_a.none(), "image"_a.none(), "kwargs"_a,
            nb::sig("def visualization_image(self, pixel_format: korvell.pfnc.pixel_format.PixelFormat, "
                    "image: numpy.ndarray, **kwargs: Any) -> numpy.ndarray"),
            "The image to show for ``image``: by default the very same image object when\n"
            "this decoder handles ``pixel_format``; otherwise PixelFormatDecodeNotSupportedError.\n"
            "Further named options are accepted and ignored.");
    decoder.attr("__hash__") = nb::none();
    def_pickling(decoder, "tuple[str]");
    korvell::make_abstract(decoder, {{"is_applicable", korvell::MethodKind::method},
                                     {"decode", korvell::MethodKind::method},
                                     {"get_buffer_size", korvell::MethodKind::method}});
    for (auto [name, doc] : {std::pair{"is_applicable", "True if this decoder can handle ``pixel_format``."},
                             std::pair{"decode", "Decode the raw bytes of one frame into an image array."},
                             std::pair{"get_buffer_size",
                                       "The buffer size in bytes that a frame of these dimensions needs."}})
        nb::setattr(decoder.attr(name), "__doc__", nb::str(doc));
    describe_fields(decoder, nb::list(nb::make_tuple(nb::make_tuple("name", nb::handle((PyObject *) &PyUnicode_Type)))),
                    false);

    // --- DecoderRegistration -------------------------------------------------
    static constexpr std::array<const char *, 2> registration_fields{"decoder", "priority"};
    nb::class_<Registration> registration(m, "DecoderRegistration", nb::type_slots(record_slots<Registration>));
    bound_type<Registration> = (PyTypeObject *) registration.ptr();
    registration.doc() = "Single decoder registration entry.";
    registration
        .def(
            "__init__",
            [](nb::pointer_and_handle<Registration> self, nb::handle decoder, nb::handle priority) {
                new (self.p) Registration{nb::borrow(decoder), nb::borrow(priority)};
            },
            "decoder"_a.none(), "priority"_a.none(),
            nb::sig("def __init__(self, decoder: PixelFormatDecoder, priority: int) -> None"))
        .def_prop_ro(
            "decoder", [](const Registration &r) { return r.decoder; },
            nb::sig("def decoder(self) -> PixelFormatDecoder"), "The registered back-end.")
        .def_prop_ro(
            "priority", [](const Registration &r) { return r.priority; }, nb::sig("def priority(self) -> int"),
            "The higher, the more priority.")
        .def(
            "__eq__",
            [](nb::handle self, nb::handle other) {
                const Registration *a = record_of<Registration>(self), *b = record_of<Registration>(other);
                if (!same_class(self, other) || !a || !b)
                    return false;
                return objects_equal(a->decoder, b->decoder) && objects_equal(a->priority, b->priority);
            },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__",
             [](const Registration &self) { return nb::hash(nb::make_tuple(self.decoder, self.priority)); })
        .def(
            "__repr__",
            [](nb::handle self) {
                const Registration &r = ready_record<Registration>(self, "decoder");
                return record_repr<2>(self, registration_fields, {r.decoder, r.priority});
            },
            nb::sig("def __repr__(self) -> str"));
    def_frozen(registration, registration_fields);
    def_pickling(registration, "tuple[PixelFormatDecoder, int]");
    describe_fields(registration,
                    nb::list(nb::make_tuple(nb::make_tuple("decoder", decoder),
                                            nb::make_tuple("priority", nb::handle((PyObject *) &PyLong_Type)))),
                    true);

    // --- DecoderRegistrySnapshot ---------------------------------------------
    static constexpr std::array<const char *, 1> snapshot_fields{"registrations"};
    nb::class_<Snapshot> snap(m, "DecoderRegistrySnapshot", nb::type_slots(record_slots<Snapshot>));
    bound_type<Snapshot> = (PyTypeObject *) snap.ptr();
    snap.doc() = "Snapshot of registry state for test isolation.";
    snap.def(
            "__init__",
            [](nb::pointer_and_handle<Snapshot> self, nb::handle registrations) {
                new (self.p) Snapshot{korvell::exact_tuple(registrations, "registrations")};
            },
            "registrations"_a.none(),
            nb::sig("def __init__(self, registrations: tuple[DecoderRegistration, ...]) -> None"))
        .def_prop_ro(
            "registrations", [](const Snapshot &s) { return s.registrations; },
            nb::sig("def registrations(self) -> tuple[DecoderRegistration, ...]"),
            "Every registration of the registry, in registration order.")
        .def(
            "__eq__",
            [](nb::handle self, nb::handle other) {
                const Snapshot *a = record_of<Snapshot>(self), *b = record_of<Snapshot>(other);
                if (!same_class(self, other) || !a || !b)
                    return false;
                return objects_equal(a->registrations, b->registrations);
            },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__", [](const Snapshot &self) { return nb::hash(nb::make_tuple(self.registrations)); })
        .def(
            "__repr__",
            [](nb::handle self) {
                return record_repr<1>(self, snapshot_fields,
                                      {ready_record<Snapshot>(self, "registrations").registrations});
            },
            nb::sig("def __repr__(self) -> str"));
    def_frozen(snap, snapshot_fields);
    def_pickling(snap, "tuple[tuple[DecoderRegistration, ...]]");
    describe_fields(snap,
                    nb::list(nb::make_tuple(nb::make_tuple(
                        "registrations",
                        generic_alias(&PyTuple_Type, nb::make_tuple(registration, nb::ellipsis()))))),
                    true);

    // --- DecoderRegistry -----------------------------------------------------
    static constexpr std::array<const char *, 2> registry_fields{"_registrations", "_resolve_cache"};
    nb::class_<DecoderRegistry> registry(m, "DecoderRegistry", nb::type_slots(record_slots<DecoderRegistry>));
    bound_type<DecoderRegistry> = (PyTypeObject *) registry.ptr();
    registry.doc() = "Registry that resolves a decoder for a given GenICam pixel format.";
    nb::handle missing(g_missing);
    registry
        .def(
            "__init__",
            [](nb::pointer_and_handle<DecoderRegistry> self, nb::handle registrations, nb::handle cache) {
                nb::object regs = registrations.is(g_missing) ? korvell::new_list() : checked_registrations(registrations);
                nb::object resolved = cache.is(g_missing) ? korvell::new_dict() : checked_cache(cache);
                new (self.p) DecoderRegistry{std::move(regs), std::move(resolved)};
            },
            "_registrations"_a.none() = missing, "_resolve_cache"_a.none() = missing,
            nb::sig("def __init__(self, _registrations: list[DecoderRegistration] = ..., "
                    "_resolve_cache: dict[str, list[tuple[korvell.pfnc.pixel_format.PixelFormat, "
                    "PixelFormatDecoder | None]]] = ...) -> None"))
        .def_prop_rw(
            "_registrations", [](nb::handle self) { return ready_record<DecoderRegistry>(self, "_registrations").registrations; },
            [](nb::handle self, nb::handle value) {
                nb::object checked = checked_registrations(value);
                record_for_assignment<DecoderRegistry>(self).registrations = std::move(checked);
            },
            nb::arg("value").none(), nb::for_getter(nb::sig("def _registrations(self) -> list[DecoderRegistration]")),
            nb::for_setter(nb::sig("def _registrations(self, value: list[DecoderRegistration], /) -> None")),
            "Every registration, in the order of the register calls.")
        .def_prop_rw(
            "_resolve_cache", [](nb::handle self) { return ready_record<DecoderRegistry>(self, "_resolve_cache").cache; },
            [](nb::handle self, nb::handle value) {
                nb::object checked = checked_cache(value);
                record_for_assignment<DecoderRegistry>(self).cache = std::move(checked);
            },
            nb::arg("value").none(),
            nb::for_getter(nb::sig("def _resolve_cache(self) -> dict[str, list[tuple[korvell.pfnc.pixel_format."
                                   "PixelFormat, PixelFormatDecoder | None]]]")),
            nb::for_setter(nb::sig("def _resolve_cache(self, value: dict[str, list[tuple[korvell.pfnc.pixel_format."
                                   "PixelFormat, PixelFormatDecoder | None]]], /) -> None")),
            "Earlier outcomes by designation: (pixel format, decoder or None) pairs.")
        .def("register", &register_decoder, "priority"_a.none(), "decoder"_a.none(),
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
        .def(
            "__eq__",
            [](nb::handle self, nb::handle other) {
                const DecoderRegistry *a = record_of<DecoderRegistry>(self), *b = record_of<DecoderRegistry>(other);
                if (!same_class(self, other) || !a || !b)
                    return false;
                return objects_equal(a->registrations, b->registrations) && objects_equal(a->cache, b->cache);
            },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def(
            "__repr__",
            [](nb::handle self) {
                const DecoderRegistry &r = ready_record<DecoderRegistry>(self, "_registrations");
                return record_repr<2>(self, registry_fields, {r.registrations, r.cache});
            },
            nb::sig("def __repr__(self) -> str"));
    registry.attr("__hash__") = nb::none();
    def_pickling(registry, "tuple[list[DecoderRegistration], dict[str, list[tuple[korvell.pfnc.pixel_format."
                           "PixelFormat, PixelFormatDecoder | None]]]]");
    nb::object list_of_regs = generic_alias(&PyList_Type, registration);
    nb::object default_list = nb::module_::import_("dataclasses").attr("field")("default_factory"_a = nb::handle((PyObject *) &PyList_Type));
    nb::object default_dict = nb::module_::import_("dataclasses").attr("field")("default_factory"_a = nb::handle((PyObject *) &PyDict_Type));
    describe_fields(registry,
                    nb::list(nb::make_tuple(
                        nb::make_tuple("_registrations", list_of_regs, default_list),
                        nb::make_tuple("_resolve_cache",
                                       "dict[str, list[tuple[PixelFormat, PixelFormatDecoder | None]]]",
                                       default_dict))),
                    false);
}
