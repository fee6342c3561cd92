// records.hpp -- bound classes that behave as the package's records: the
// object behind a handle, garbage collection, repr, frozen fields, pickling,
// dataclass metadata, and the factories' candidate collection.
#pragma once

#include "abstract.hpp"
#include "errors.hpp"
#include "logging.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>

namespace korvell {

// ---------------------------------------------------------------------------
// The record behind a handle.  Methods that take `self` (or `other`) as a
// plain handle must not read the C++ object of something that is not an
// initialised instance: a method called on a foreign object, or on one whose
// __init__ never ran, would read memory that is not there.

/// The C++ object of `self`, or TypeError when `self` is no initialised T.
template <typename T>
inline T &self_of(nb::handle self) {
    if (!nb::isinstance<T>(self)) {
        std::string msg = "expected a " + nb::cast<std::string>(nb::type_name(nb::type<T>())) +
                          " object, not " + class_name_of(self);
        throw nb::type_error(msg.c_str());
    }
    if (!nb::inst_ready(self))
        throw nb::type_error((class_name_of(self) + " object is not initialized").c_str());
    return *nb::inst_ptr<T>(self);
}

/// The C++ object of `obj` when it is an initialised T, otherwise null.
template <typename T>
inline T *instance_of(nb::handle obj) {
    return nb::isinstance<T>(obj) && nb::inst_ready(obj) ? nb::inst_ptr<T>(obj) : nullptr;
}

/// The Python class bound for T, set once by the binding (`bound_type<T> =
/// (PyTypeObject *) cls.ptr()`), so hot paths skip nanobind's type map.
template <typename T> inline PyTypeObject *bound_type = nullptr;

template <typename T> inline bool is_instance(nb::handle obj) { return PyObject_TypeCheck(obj.ptr(), bound_type<T>); }

inline bool exact_type(nb::handle obj, PyTypeObject *type) { return Py_TYPE(obj.ptr()) == type; }

inline bool same_class(nb::handle a, nb::handle b) { return Py_TYPE(a.ptr()) == Py_TYPE(b.ptr()); }

/// The record behind `obj` when it is a constructed instance of T (or of a
/// subclass); null otherwise.
template <typename T> inline T *record_of(nb::handle obj) {
    return is_instance<T>(obj) && nb::inst_ready(obj) ? nb::inst_ptr<T>(obj) : nullptr;
}

/// Called through the class on a foreign object, a method must refuse it
/// rather than reach into memory that is not a record.
template <typename T> inline void require_instance(nb::handle self) {
    if (!is_instance<T>(self)) {
        std::string msg = "expected a " + str_text(nb::handle((PyObject *) bound_type<T>).attr("__name__")) +
                          " instance, not " + class_name_of(self);
        throw nb::type_error(msg.c_str());
    }
}

/// The record behind `self`, default-constructed first when a subclass's own
/// `__init__` (a generated one, for instance) assigns fields without running
/// the base constructor.
template <typename T> inline T &record_for_assignment(nb::handle self) {
    require_instance<T>(self);
    if (!nb::inst_ready(self)) {
        new (nb::inst_ptr<T>(self)) T();
        nb::inst_mark_ready(self);
    }
    return *nb::inst_ptr<T>(self);
}

/// A new instance of `cls` (T's bound class or a class deriving from it
/// that adds no construction of its own) whose record is built from `args`,
/// made without a call: no __init__ runs.
template <typename T, typename... Args> inline nb::object new_instance(nb::handle cls, Args &&...args) {
    nb::object inst = nb::inst_alloc(cls);
    new (nb::inst_ptr<T>(inst)) T(std::forward<Args>(args)...);
    nb::inst_mark_ready(inst);
    return inst;
}

/// A new instance of T's bound class holding `value`, made without the
/// generic cast machinery (the class is known, no __init__ runs).
template <typename T> inline nb::object new_record(T &&value) {
    return new_instance<T>(nb::handle((PyObject *) bound_type<T>), std::move(value));
}

/// Construct `value` into the instance and mark it ready before `hook` runs
/// (a subclass's hook may call any method on the object); a failing hook
/// undoes the construction, so the instance is left uninitialised.
template <typename T, typename Hook>
inline void construct_then(nb::pointer_and_handle<T> self, T &&value, Hook &&hook) {
    new (self.p) T(std::move(value));
    nb::inst_mark_ready(self.h);
    try {
        hook();
    } catch (...) {
        nb::inst_destruct(self.h);
        throw;
    }
}

[[noreturn]] inline void raise_unset_field(nb::handle self, const char *field) {
    std::string msg = "'" + class_name_of(self) + "' object has no attribute '" + field + "'";
    PyErr_SetString(PyExc_AttributeError, msg.c_str());
    throw nb::python_error();
}

/// The record behind `self` for reading `field`: AttributeError while the
/// instance was never constructed, as for an unset attribute.
template <typename T> inline T &ready_record(nb::handle self, const char *field) {
    require_instance<T>(self);
    if (!nb::inst_ready(self))
        raise_unset_field(self, field);
    return *nb::inst_ptr<T>(self);
}

// ---------------------------------------------------------------------------
// Garbage collection for records whose state is Python objects held in the
// members `Fields...`: traverse visits them, clear sets them to None (a clear
// must not fail, so it allocates nothing; code that needs a field's own type
// checks for it).

template <typename T, nb::object T::*... Fields>
struct ObjectFields {
    using Record = T;
    static constexpr size_t count = sizeof...(Fields);

    static std::array<nb::object *, count> of(T &record) { return {&(record.*Fields)...}; }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self))
            return 0;
        T *record = nb::inst_ptr<T>(self);
        for (PyObject *field : {(record->*Fields).ptr()...})
            Py_VISIT(field);
        return 0;
    }

    static int clear(PyObject *self) {
        if (nb::inst_ready(self)) {
            T *record = nb::inst_ptr<T>(self);
            ((record->*Fields = nb::none()), ...);
        }
        return 0;
    }

    static inline PyType_Slot slots[] = {
        {Py_tp_traverse, (void *) traverse},
        {Py_tp_clear, (void *) clear},
        {0, nullptr},
    };

    /// The slots of an abstract base (see make_abstract) with these fields.
    static inline PyType_Slot abstract_slots[] = {
        {Py_tp_new, (void *) abstract_aware_new},
        {Py_tp_traverse, (void *) traverse},
        {Py_tp_clear, (void *) clear},
        {0, nullptr},
    };
};

// ---------------------------------------------------------------------------
// Deallocation of long chains.  An instance whose field holds the next
// instance directly (`a.sizes = b`, `b.sizes = c`, ...) is freed from inside
// the deallocation of the one before it, so a long enough chain overflows the
// C stack.  `flat_dealloc` runs the binding's own deallocation inside the
// interpreter's trashcan, which defers deep deallocations as it does for
// lists and dicts.

inline destructor bound_dealloc = nullptr;   // the binding's own (one per extension)

inline void flat_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, flat_dealloc)
    bound_dealloc(self);
    Py_TRASHCAN_END
}

/// Free the instances of the bound class `cls` through `flat_dealloc`; only a
/// collected class (one bound with tp_traverse) can use the trashcan.
inline void use_flat_dealloc(nb::handle cls) {
    PyTypeObject *tp = (PyTypeObject *) cls.ptr();
    if (!PyType_HasFeature(tp, Py_TPFLAGS_HAVE_GC) || tp->tp_dealloc == flat_dealloc)
        return;
    if (bound_dealloc && bound_dealloc != tp->tp_dealloc)
        return;   // not the deallocation the others use: leave it as it is
    bound_dealloc = tp->tp_dealloc;
    tp->tp_dealloc = flat_dealloc;
}

// ---------------------------------------------------------------------------
// Recursion.  An operation that hands itself on to a field (`len` of a Size
// is `len` of its list) recurses without end when the field is the object
// itself, and no Python frame is there to stop it: each such operation holds
// a guard, so that the interpreter's recursion limit ends it with
// RecursionError instead of a C stack overflow.

class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where))
            throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

/// Whether `theirs` (null when the other object is no record of the class)
/// holds a field `F` equal to that of `mine`.  Both values are held while
/// their entries compare: an entry's __eq__ may replace either field.
template <typename T, nb::object T::*F> bool field_equal(const T &mine, const T *theirs) {
    if (!theirs)
        return false;
    nb::object a = mine.*F, b = theirs->*F;
    return a.equal(b);
}

/// Py_ReprEnter/Py_ReprLeave held for a scope: `busy()` tells that the object
/// is already being shown further up (a record that contains itself).
class ReprGuard {
public:
    explicit ReprGuard(nb::handle obj) : obj_(obj.ptr()), busy_(checked(Py_ReprEnter(obj.ptr())) > 0) {}
    ~ReprGuard() {
        if (!busy_)
            Py_ReprLeave(obj_);
    }
    bool busy() const { return busy_; }
    ReprGuard(const ReprGuard &) = delete;
    ReprGuard &operator=(const ReprGuard &) = delete;

private:
    PyObject *obj_;
    bool busy_;
};

/// `ClassName(field=value, ...)` with the instance's qualified class name;
/// "..." for a record met again while it is being shown.
template <size_t N>
nb::object record_repr(nb::handle self, const std::array<const char *, N> &names,
                       const std::array<nb::handle, N> &values) {
    ReprGuard guard(self);
    if (guard.busy())
        return nb::str("...");
    nb::str out = nb::str(nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__qualname__"));
    const char *sep = "(";
    for (size_t i = 0; i < N; ++i) {
        nb::str piece = nb::str("{}{}={!r}").format(sep, names[i], values[i]);
        out = owned<nb::str>(PyUnicode_Concat(out.ptr(), piece.ptr()));
        sep = ", ";
    }
    return owned(PyUnicode_Concat(out.ptr(), nb::str(")").ptr()));
}

// ---------------------------------------------------------------------------
// Fields as properties.  A record's fields are plain read-write properties:
// any value may be assigned (a record checks its fields when constructed,
// not on assignment).

template <typename T, nb::object T::*F> nb::object field_value(const T &record) { return record.*F; }

template <typename T, nb::object T::*F> void assign_field(T &record, nb::handle value) {
    record.*F = nb::borrow(value);
}

/// Binds the property `name` over `get`/`set`, annotated as `type`.
template <typename Class, typename Get, typename Set>
void def_field(Class &cls, const char *name, Get get, Set set, const char *type, const char *doc) {
    std::string get_sig = std::string("def ") + name + "(self) -> " + type;
    std::string set_sig = std::string("def ") + name + "(self, value: " + type + ", /) -> None";
    cls.def_prop_rw(name, get, set, nb::arg("value").none(), nb::for_getter(nb::sig(get_sig.c_str())),
                    nb::for_setter(nb::sig(set_sig.c_str())), doc);
}

/// Binds the record's own field `F` as the property `name`.
template <auto F, typename Class>
void def_field(Class &cls, const char *name, const char *type, const char *doc) {
    using T = typename Class::Type;
    def_field(cls, name, &field_value<T, F>, &assign_field<T, F>, type, doc);
}

/// A record that behaves as its list field `F`: `len()` and indexing hand on
/// to the field.  Each holds a recursion guard, since the field may be the
/// record itself; the index's __index__ may replace the field, so the list
/// indexed is held meanwhile.
template <auto F, typename T> struct ListField {
    static inline std::string len_where, item_where;   // " in Size.__len__", set at binding

    static size_t len(const T &record) {
        RecursionGuard guard(len_where.c_str());
        return nb::len(record.*F);
    }

    static nb::object getitem(const T &record, nb::handle item) {
        RecursionGuard guard(item_where.c_str());
        nb::object list = record.*F;
        return list[item];
    }
};

/// Binds the list field `F` as the property `name` (a `list[item_type]`)
/// together with the record's `__len__` and `__getitem__`.
template <auto F, typename Class>
void def_list_field(Class &cls, const char *name, const char *item_type, const char *doc) {
    using T = typename Class::Type;
    using L = ListField<F, T>;
    std::string class_name = str_text(cls.attr("__name__"));
    L::len_where = " in " + class_name + ".__len__";
    L::item_where = " in " + class_name + ".__getitem__";
    std::string list_type = std::string("list[") + item_type + "]";
    std::string item_sig = std::string("def __getitem__(self, item: int) -> ") + item_type;
    def_field<F>(cls, name, list_type.c_str(), doc);
    cls.def("__len__", &L::len).def("__getitem__", &L::getitem, "item"_a.none(), nb::sig(item_sig.c_str()));
}

// ---------------------------------------------------------------------------
// Records whose pickled state is the plain tuple of their fields, restored by
// constructing the record from them unchecked.

template <typename T, auto... F> struct FieldState {
    static inline std::string wrong_size;   // "Size state must hold 1 field", set at binding

    static nb::tuple get(const T &record) { return nb::make_tuple(record.*F...); }

    static void set(T &record, nb::tuple state) {
        if (nb::len(state) != sizeof...(F))
            throw nb::value_error(wrong_size.c_str());
        construct(record, state, std::make_index_sequence<sizeof...(F)>());
    }

    template <size_t... I> static void construct(T &record, nb::tuple &state, std::index_sequence<I...>) {
        new (&record) T{nb::object(state[I])...};
    }
};

/// Binds `__getstate__`/`__setstate__` over the fields `F...`, annotated with
/// `state_type` when given.
template <auto... F, typename Class> void def_field_state(Class &cls, const char *state_type = nullptr) {
    using S = FieldState<typename Class::Type, F...>;
    size_t n = sizeof...(F);
    S::wrong_size = str_text(cls.attr("__name__")) + " state must hold " + std::to_string(n) +
                    (n == 1 ? " field" : " fields");
    if (!state_type) {
        cls.def("__getstate__", &S::get).def("__setstate__", &S::set);
        return;
    }
    std::string get_sig = std::string("def __getstate__(self) -> ") + state_type;
    std::string set_sig = std::string("def __setstate__(self, state: ") + state_type + ", /) -> None";
    cls.def("__getstate__", &S::get, nb::sig(get_sig.c_str())).def("__setstate__", &S::set, nb::sig(set_sig.c_str()));
}

/// The class attributes of a record compared by its one field `field`: it
/// is unhashable, matched by that field, and freed flat.
template <typename Class> void finish_field_record(Class &cls, const char *field) {
    cls.attr("__hash__") = nb::none();
    cls.attr("__match_args__") = nb::make_tuple(field);
    use_flat_dealloc(cls);
}

// ---------------------------------------------------------------------------
// Frozen records refuse every assignment to their own class's instances and,
// for subclasses, every assignment to a field (other attributes of a
// subclass's instance stay writable).

inline nb::handle frozen_instance_error() {
    static Kept error;
    if (!error.ptr())
        error.set(nb::module_::import_("dataclasses").attr("FrozenInstanceError"));
    return error;
}

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
        PyErr_SetObject(frozen_instance_error().ptr(), msg.ptr());
        throw nb::python_error();
    }
    checked(PyObject_GenericSetAttr(self.ptr(), name.ptr(), value.ptr()));
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
// Copying and pickling.  The state is (field values, instance dict or None);
// restoring it builds the record in an instance made by __new__, as the
// interpreter does for plain objects, so that a subclass's own __init__ is not
// needed.  `Check` checks restored fields as the constructor checks them.

template <typename F> nb::object get_state(nb::handle self) {
    using T = typename F::Record;
    T &record = ready_record<T>(self, "__getstate__");
    nb::list values = new_list();
    for (nb::object *field : F::of(record))
        values.append(*field);
    nb::object dict = nb::getattr(self, "__dict__", nb::none());
    if (!dict.is_none() && nb::len(dict) == 0)
        dict = nb::none();
    return nb::make_tuple(nb::tuple(values), dict);
}

template <typename F, void (*Check)(typename F::Record &)> void set_state(nb::handle self, nb::handle state) {
    using T = typename F::Record;
    require_instance<T>(self);
    if (nb::inst_ready(self))
        throw nb::type_error("__setstate__() needs an instance that is not yet initialised");
    T record;
    auto fields = F::of(record);
    if (!PyTuple_CheckExact(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 2 ||
        !PyTuple_CheckExact(PyTuple_GET_ITEM(state.ptr(), 0)) ||
        (size_t) PyTuple_GET_SIZE(PyTuple_GET_ITEM(state.ptr(), 0)) != fields.size())
        throw nb::value_error("__setstate__() got a state of the wrong shape");
    nb::handle values = PyTuple_GET_ITEM(state.ptr(), 0);
    for (size_t i = 0; i < fields.size(); ++i)
        *fields[i] = nb::borrow(PyTuple_GET_ITEM(values.ptr(), (Py_ssize_t) i));
    Check(record);
    nb::handle dict = PyTuple_GET_ITEM(state.ptr(), 1);
    new (nb::inst_ptr<T>(self)) T(std::move(record));
    nb::inst_mark_ready(self);
    if (!dict.is_none())
        nb::getattr(self, "__dict__").attr("update")(dict);
}

template <typename T> void no_field_checks(T &) {}

template <typename F, void (*Check)(typename F::Record &) = no_field_checks<typename F::Record>>
void def_pickling(nb::class_<typename F::Record> &cls, const char *state_type) {
    std::string get_sig = std::string("def __getstate__(self) -> tuple[") + state_type + ", dict[str, object] | None]";
    std::string set_sig = std::string("def __setstate__(self, state: tuple[") + state_type +
                          ", dict[str, object] | None], /) -> None";
    cls.def("__getstate__", &get_state<F>, nb::sig(get_sig.c_str()))
        .def("__setstate__", &set_state<F, Check>, nb::arg("state").none(), nb::sig(set_sig.c_str()));
}

// ---------------------------------------------------------------------------
// Dataclass metadata: the standard description of a record, so that
// dataclasses.fields/replace/asdict work and a dataclass derived in Python
// inherits the fields.  It is taken from a template class made by
// dataclasses.make_dataclass with the same fields ((name, type[, field]) each).

inline void describe_fields(nb::handle cls, nb::list fields, bool frozen) {
    nb::object dataclasses = nb::module_::import_("dataclasses");
    nb::object tmpl = dataclasses.attr("make_dataclass")(cls.attr("__name__"), fields, "frozen"_a = frozen);
    for (const char *attr : {"__dataclass_fields__", "__dataclass_params__", "__match_args__"})
        nb::setattr(cls, attr, tmpl.attr(attr));
}

/// `origin[args]`, e.g. `tuple[X, ...]` for an annotation.
inline nb::object generic_alias(PyTypeObject *origin, nb::handle args) { return nb::handle((PyObject *) origin)[args]; }

// ---------------------------------------------------------------------------
// Factories.  A part's `create` asks every implementation of its base for
// candidates; an implementation that rejects the text (the module's
// ParseReject) is logged and passed over.

/// Append every item of `items` to the list `out`; an object that is not
/// iterable raises the interpreter's TypeError.
inline void extend_list(nb::handle out, nb::handle items) {
    if (PyList_CheckExact(items.ptr())) {
        Py_ssize_t end = PyList_GET_SIZE(out.ptr());
        checked(PyList_SetSlice(out.ptr(), end, end, items.ptr()));
        return;
    }
    for (nb::handle item : items)
        append(out, item);
}

/// The candidates of every implementation of `base` (the module's
/// `all_implementations`, read on every call so that classes derived later
/// take part), each implementation asked through `parse(implementation)`.
template <typename Parse>
nb::list collect_candidates(const ModuleRef &mod, nb::handle base, Parse &&parse) {
    nb::list out = new_list();
    nb::object implementations = mod.get("all_implementations")(base);
    for (nb::handle implementation : implementations) {
        nb::object result;
        try {
            result = parse(implementation);
        } catch (nb::python_error &e) {
            if (!e.matches(mod.get("ParseReject")))
                throw;
            log_debug(mod, [&] {
                return "Parsing rejected: " + str_text(e.value()) + " " + str_text(implementation.attr("__name__"));
            });
            continue;
        }
        extend_list(out, result);
    }
    return out;
}

/// Log "Value rejected <error>" for the error `make_error()` gives, which is
/// only made when the record would be handled.
template <typename MakeError>
void log_value_rejected(const ModuleRef &mod, MakeError &&make_error) {
    log_debug(mod, [&] { return "Value rejected " + str_text(make_error()); });
}

/// When the pending error `e` is the module's PixelFormatValueReject: logs it
/// and returns true (the caller drops the reading); false otherwise.
inline bool log_value_reject(const ModuleRef &mod, nb::python_error &e) {
    if (!e.matches(mod.get("PixelFormatValueReject")))
        return false;
    log_value_rejected(mod, [&] { return e.value(); });
    return true;
}

/// `cls(*args)`, or nothing when the construction raises PixelFormatValueReject
/// (logged).
template <typename... Args>
std::optional<nb::object> construct_or_log(const ModuleRef &mod, nb::handle cls, Args &&...args) {
    try {
        return cls(std::forward<Args>(args)...);
    } catch (nb::python_error &e) {
        if (!log_value_reject(mod, e))
            throw;
        return std::nullopt;
    }
}

} // namespace korvell
