// quenmar.cpp -- the interface-specific suffix of a PFNC designation: the
// abstract base with its factory, the planar and semi-planar words, and
// component sequencing read against the components' channel names.
#include "binding.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------------------
// Plain C++: the greedy scan over UTF-8 text.

/// One channel name as the scan sees it: its UTF-8 bytes and its component
/// index.  Names are tried longest (in characters) first.
struct ScanName {
    std::string_view bytes;
    size_t index;
};

/// Outcome of a scan: the component index of every name consumed, in order,
/// and the byte offset at which the scan stopped.
struct ScanResult {
    std::vector<uint32_t> taken;
    size_t stop = 0;
};

/// Whether `at` begins with `name` (the caller checked the length); channel
/// names are a few bytes, shorter than a library call is worth.
inline bool same_bytes(const char *at, std::string_view name) {
    for (size_t j = 0; j < name.size(); ++j)
        if (at[j] != name[j])
            return false;
    return true;
}

/// Greedy scan of `text`: at each position the first name of `order` that the
/// rest begins with is consumed; the first position where none matches ends
/// it.  `order` holds no empty name, so every step advances and the scan is
/// linear in the text for a given set of names.
ScanResult greedy_scan(std::string_view text, const std::vector<ScanName> &order) {
    // Candidates chained by first byte, each chain in matching order.
    int32_t head[256];
    std::fill(std::begin(head), std::end(head), -1);
    std::vector<int32_t> next(order.size(), -1);
    for (size_t k = order.size(); k-- > 0;) {
        unsigned char first = (unsigned char) order[k].bytes[0];
        next[k] = head[first];
        head[first] = (int32_t) k;
    }

    // Every step consumes at least the shortest name: reserve once instead of
    // growing (untouched capacity costs no memory).
    size_t shortest = order.empty() ? 1 : order.back().bytes.size();
    for (const ScanName &name : order)
        shortest = std::min(shortest, name.bytes.size());
    ScanResult r;
    r.taken.reserve(text.size() / shortest + 1);
    size_t pos = 0;
    while (pos < text.size()) {
        const ScanName *hit = nullptr;
        for (int32_t k = head[(unsigned char) text[pos]]; k >= 0; k = next[(size_t) k]) {
            const ScanName &name = order[(size_t) k];
            if (text.size() - pos >= name.bytes.size() && same_bytes(text.data() + pos, name.bytes)) {
                hit = &name;
                break;
            }
        }
        if (!hit)
            break;
        r.taken.push_back((uint32_t) hit->index);
        pos += hit->bytes.size();
    }
    r.stop = pos;
    return r;
}

// ---------------------------------------------------------------------------
// Binding.

korvell::ModuleRef g_mod;

// The classes, borrowed from the module that keeps them for the process.
PyTypeObject *g_planar_type = nullptr;
PyTypeObject *g_semiplanar_type = nullptr;
PyTypeObject *g_sequencing_type = nullptr;

struct InterfaceSpecific {};
struct Planar : InterfaceSpecific {};
struct SemiPlanar : InterfaceSpecific {};
struct ComponentsSequencing : InterfaceSpecific {
    nb::object components = nb::tuple();
    ComponentsSequencing() = default;
    explicit ComponentsSequencing(nb::object c) : components(std::move(c)) {}
};

int sequencing_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    Py_VISIT(nb::inst_ptr<ComponentsSequencing>(self)->components.ptr());
    return 0;
}

int sequencing_clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<ComponentsSequencing>(self)->components = nb::tuple();
    return 0;
}

// Every class refuses instantiation while abstract, so a Python subclass that
// declares a new abstract operation cannot be instantiated either.
PyType_Slot sequencing_slots[] = {
    {Py_tp_new, (void *) korvell::abstract_aware_new},
    {Py_tp_traverse, (void *) sequencing_traverse},
    {Py_tp_clear, (void *) sequencing_clear},
    {0, nullptr},
};

nb::object qualname_of(nb::handle obj) {
    return nb::handle((PyObject *) Py_TYPE(obj.ptr())).attr("__qualname__");
}

/// True when the pending error `e` is the module's PixelFormatValueReject:
/// logs it and swallows it; false otherwise.
bool log_value_reject(nb::python_error &e) {
    if (!e.matches(g_mod.get("PixelFormatValueReject")))
        return false;
    korvell::log_debug(g_mod, [&] { return "Value rejected " + korvell::str_text(e.value()); });
    return true;
}

/// Substring of a str by character positions.
nb::str substring(nb::handle str, Py_ssize_t start) {
    PyObject *s = PyUnicode_Substring(str.ptr(), start, PY_SSIZE_T_MAX);
    if (!s)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

bool starts_with(nb::handle str, nb::handle word) {
    Py_ssize_t r = PyUnicode_Tailmatch(str.ptr(), word.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::list single_candidate(nb::handle obj, nb::handle rest) {
    nb::list out = korvell::new_list();
    out.append(nb::make_tuple(obj, rest));
    return out;
}

// --- InterfaceSpecific ------------------------------------------------------

/// Append every candidate of `result` to `out`; a result that is no iterable
/// (an implementation that returns nothing) raises the interpreter's TypeError.
void extend(nb::list &out, nb::handle result) {
    if (PyList_CheckExact(result.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(result.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            out.append(nb::handle(PyList_GET_ITEM(result.ptr(), i)));
        return;
    }
    for (nb::handle candidate : result)
        out.append(candidate);
}

nb::list create(nb::handle designation_obj, nb::handle components, nb::handle sizes) {
    nb::str full = korvell::exact_str(designation_obj, "full_designation");
    nb::list compos = korvell::new_list();
    if (PyUnicode_GET_LENGTH(full.ptr()) == 0 || PyUnicode_READ_CHAR(full.ptr(), 0) != '_')
        return compos;
    // Exactly one underscore is dropped; a second one belongs to the suffix.
    nb::str text = substring(full, 1);

    // The implementations are looked up on every call, so classes derived
    // later (in any module) take part at once.
    nb::object base = nb::borrow(nb::type<InterfaceSpecific>());
    nb::object implementations = g_mod.get("all_implementations")(base);
    for (nb::handle implementation : implementations) {
        nb::object result;
        try {
            result = implementation.attr("from_designation")(text, components, sizes);
        } catch (nb::python_error &e) {
            if (!e.matches(g_mod.get("ParseReject")))
                throw;
            korvell::log_debug(g_mod, [&] {
                return "Parsing rejected: " + korvell::str_text(e.value()) + " " +
                       korvell::str_text(implementation.attr("__name__"));
            });
            continue;
        }
        extend(compos, result);
    }
    return compos;
}

// --- Planar and SemiPlanar --------------------------------------------------

/// `from_designation` of a fixed-word class: one candidate when the text
/// begins with `word`, of the class the operation was called on.
template <typename T>
nb::list fixed_word_parse(PyTypeObject *exact, nb::handle word, nb::handle cls,
                          nb::handle designation_obj) {
    nb::str full = korvell::exact_str(designation_obj, "full_designation");
    if (!starts_with(full, word))
        return korvell::new_list();
    nb::object obj;
    if (cls.ptr() == (PyObject *) exact) {
        obj = nb::cast(T{}, nb::rv_policy::move);
    } else {
        try {
            obj = cls();
        } catch (nb::python_error &e) {
            if (!log_value_reject(e))
                throw;
            return korvell::new_list();
        }
    }
    return single_candidate(obj, substring(full, PyUnicode_GET_LENGTH(word.ptr())));
}

// --- ComponentsSequencing -----------------------------------------------------

[[noreturn]] void raise_key_error(size_t index) {
    nb::object err = nb::handle(PyExc_KeyError)(nb::int_(index));
    PyErr_SetObject(PyExc_KeyError, err.ptr());
    throw nb::python_error();
}

/// Python's `max(items)`: the first item that no later item exceeds.
nb::object py_max(nb::handle seq) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    nb::object best = nb::borrow(items[0]);
    for (Py_ssize_t i = 1; i < n; ++i) {
        int gt = PyObject_RichCompareBool(items[i], best.ptr(), Py_GT);
        if (gt < 0)
            throw nb::python_error();
        if (gt)
            best = nb::borrow(items[i]);
    }
    return best;
}

/// The occurrence test: the counts must be the location's fields scaled by one
/// common factor.  `seq` is the fields as a fast sequence of at least one
/// entry; `counts[k]` is 0 where component k never occurred.  A missing count
/// raises KeyError with its index, as a plain lookup would.
bool proportions_hold(nb::handle seq, const std::vector<uint64_t> &counts) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    uint64_t max_count = *std::max_element(counts.begin(), counts.end());
    auto count_at = [&](Py_ssize_t i) -> uint64_t {
        if ((size_t) i >= counts.size() || counts[(size_t) i] == 0)
            raise_key_error((size_t) i);
        return counts[(size_t) i];
    };

#if defined(__SIZEOF_INT128__)
    // Machine-sized fields: exact products in 128 bits.
    std::vector<long long> fields;
    fields.reserve((size_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyLong_CheckExact(items[i]))
            break;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(items[i], &overflow);
        if (overflow)
            break;
        fields.push_back(v);
    }
    if (fields.size() == (size_t) n) {
        __int128 max_field = *std::max_element(fields.begin(), fields.end());
        for (Py_ssize_t i = 0; i < n; ++i) {
            __int128 o_adjusted = (__int128) fields[(size_t) i] * (__int128) max_count;
            __int128 count_adjusted = (__int128) count_at(i) * max_field;
            if (o_adjusted != count_adjusted)
                return false;
        }
        return true;
    }
#endif

    // Any other entries: the interpreter's own arithmetic and comparison.
    nb::object max_field = py_max(seq);
    nb::object max_count_obj = korvell::owned(PyLong_FromUnsignedLongLong(max_count));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *o = PyNumber_Multiply(items[i], max_count_obj.ptr());
        if (!o)
            throw nb::python_error();
        nb::object o_adjusted = nb::steal(o);
        nb::object count = korvell::owned(PyLong_FromUnsignedLongLong(count_at(i)));
        PyObject *c = PyNumber_Multiply(count.ptr(), max_field.ptr());
        if (!c)
            throw nb::python_error();
        nb::object count_adjusted = nb::steal(c);
        int ne = PyObject_RichCompareBool(o_adjusted.ptr(), count_adjusted.ptr(), Py_NE);
        if (ne < 0)
            throw nb::python_error();
        if (ne)
            return false;
    }
    return true;
}

Py_ssize_t length_of(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

bool is_instance(nb::handle obj, const char *class_name) {
    int r = PyObject_IsInstance(obj.ptr(), g_mod.get(class_name).ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::list sequencing_parse(nb::handle cls, nb::handle designation_obj, nb::handle components,
                          nb::handle sizes) {
    nb::str full = korvell::exact_str(designation_obj, "full_designation");

    // Channel names, one per component in index order, computed anew on every call.
    Py_ssize_t count = length_of(components);
    nb::object channel_name = g_mod.get("channel_name");
    std::vector<nb::object> names;
    // the length is the object's own claim: reserve no more than a real
    // component set needs, so that a false one fails at its first missing item
    names.reserve((size_t) std::min<Py_ssize_t>(count, 64));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyObject_GetItem(components.ptr(), nb::int_(i).ptr());
        if (!item)
            throw nb::python_error();
        names.push_back(channel_name(nb::steal(item)));
    }
    if (names.empty())
        return korvell::new_list();

    // Matching order: longest name (in characters) first; equal lengths keep
    // component order, so of two identical names only the first can match.
    // An empty name would match everywhere without consuming anything: it
    // never matches.
    std::vector<korvell::Text> views;
    views.reserve(names.size());
    std::vector<std::pair<Py_ssize_t, size_t>> by_length;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!PyUnicode_Check(names[i].ptr()))
            throw nb::type_error(("channel_name() must return str, not " +
                                  korvell::class_name_of(names[i]))
                                     .c_str());
        views.push_back(korvell::view_text(names[i]));
        by_length.emplace_back(PyUnicode_GET_LENGTH(names[i].ptr()), i);
    }
    std::stable_sort(by_length.begin(), by_length.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    std::vector<ScanName> order;
    for (const auto &[length, index] : by_length)
        if (length > 0)
            order.push_back({views[index].view, index});

    korvell::Text text = korvell::view_text(full);
    ScanResult scan = greedy_scan(text.view, order);

    // Coverage: as many distinct components as the sizes have channels.
    std::vector<uint64_t> counts(names.size(), 0);
    size_t distinct = 0;
    for (uint32_t index : scan.taken)
        if (counts[index]++ == 0)
            ++distinct;
    Py_ssize_t channels = length_of(sizes);
    if ((Py_ssize_t) distinct != channels)
        return korvell::new_list();

    // Occurrence proportions, for components laid out at an LMN location.
    if (is_instance(components, "GenicamComponents")) {
        nb::object location = components.attr("location");
        if (is_instance(location, "LMNLocation")) {
            nb::object fields = location.attr("fields");
            if (length_of(fields) != channels)
                return korvell::new_list();
            PyObject *fast = PySequence_Fast(fields.ptr(), "fields must be a sequence");
            if (!fast)
                throw nb::python_error();
            nb::object seq = nb::steal(fast);
            // The comparisons and products below run the entries' Python code,
            // which may change a list under the item pointer: work on a tuple.
            if (PyList_Check(fast)) {
                fast = PyList_AsTuple(fast);
                if (!fast)
                    throw nb::python_error();
                seq = nb::steal(fast);
            }
            // No fields and no channels: nothing to compare, the test holds.
            if (PySequence_Fast_GET_SIZE(fast) > 0 && !proportions_hold(seq, counts))
                return korvell::new_list();
        }
    }

    PyObject *tuple = PyTuple_New((Py_ssize_t) scan.taken.size());
    if (!tuple)
        throw nb::python_error();
    nb::tuple extracted = nb::steal<nb::tuple>(tuple);
    for (size_t k = 0; k < scan.taken.size(); ++k)
        PyTuple_SET_ITEM(tuple, (Py_ssize_t) k, names[scan.taken[k]].inc_ref().ptr());

    nb::object obj;
    if (cls.ptr() == (PyObject *) g_sequencing_type) {
        obj = nb::cast(ComponentsSequencing(std::move(extracted)), nb::rv_policy::move);
    } else {
        try {
            obj = cls(extracted);
        } catch (nb::python_error &e) {
            if (!log_value_reject(e))
                throw;
            return korvell::new_list();
        }
    }
    return single_candidate(obj, korvell::rest_of(text, scan.stop));
}

/// A class-level operation: `classmethod` over a compiled function whose first
/// parameter receives the class.
template <typename Func>
void def_classmethod(nb::handle cls, const char *name, Func &&f, const char *sig, const char *doc) {
    nb::object func = nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::scope(cls),
                                       "cls"_a, "full_designation"_a.none(), "components"_a.none(),
                                       "sizes"_a.none(), nb::sig(sig), doc);
    nb::setattr(cls, name, nb::module_::import_("builtins").attr("classmethod")(func));
}

const char *const kParseDoc =
    "Parse the suffix from the front of ``full_designation`` (the text after the\n"
    "underscore).  Returns a list of at most one (object, remaining text) pair; the\n"
    "object is of the class the operation is called on.";

} // namespace

NB_MODULE(quenmar, m) {
    m.doc() = "Interface specifics: the suffix after the underscore of a PFNC pixel-format\n"
              "designation (planar, semi-planar, or an explicit component sequence).";
    g_mod.bind(m);
    korvell::bind_from(m, "abc", "ABCMeta");
    korvell::bind_from(m, "abc", "abstractmethod");
    korvell::bind_from(m, "logging", "getLogger");
    korvell::bind_from(m, "typing_extensions", "Self");
    korvell::bind_from(m, "korvell.pfnc.exceptions", "ParseReject");
    korvell::bind_from(m, "korvell.pfnc.exceptions", "PixelFormatValueReject");
    korvell::bind_from(m, "korvell.pfnc.genicam.tesselk", "Size");
    korvell::bind_from(m, "korvell.pfnc.genicam.components", "channel_name");
    korvell::bind_from(m, "korvell.pfnc.genicam.components", "Components");
    korvell::bind_from(m, "korvell.pfnc.genicam.components", "LMNLocation");
    korvell::bind_from(m, "korvell.pfnc.genicam.components", "GenicamComponents");
    korvell::bind_from(m, "korvell.pfnc._internal.utils", "all_implementations");
    m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));

    // --- the abstract base
    nb::class_<InterfaceSpecific> base(m, "InterfaceSpecific", nb::type_slots(korvell::abstract_base_slots));
    base.doc() = "Base of the interface-specific suffixes; ``create`` collects the readings of\n"
                 "every implementation.  Objects of exactly the same class are equal.";
    base.def(nb::init<>())
        .def_static("create", &create, "full_designation"_a.none(), "components"_a.none(), "sizes"_a.none(),
                    nb::sig("def create(full_designation: str, components: "
                            "korvell.pfnc.genicam.components.Components, sizes: "
                            "korvell.pfnc.genicam.tesselk.Size) -> list[tuple[InterfaceSpecific, str]]"),
                    "Parse the suffix of ``full_designation``, which begins with its underscore.\n\n"
                    "Every implementation is asked, in the order ``all_implementations`` gives,\n"
                    "and all their (object, remaining text) pairs are returned, grouped by\n"
                    "implementation.  A text without the leading underscore gives an empty list.")
        .def(
            "__eq__",
            [](nb::handle self, nb::handle other) { return Py_TYPE(self.ptr()) == Py_TYPE(other.ptr()); },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__repr__", [](nb::handle self) { return nb::str("{}()").format(qualname_of(self)); });
    base.attr("__hash__") = nb::none();

    // --- the fixed words
    nb::handle planar_word = nb::str("Planar").release();
    nb::handle semiplanar_word = nb::str("Semiplanar").release();

    nb::class_<Planar, InterfaceSpecific> planar(m, "Planar", nb::type_slots(korvell::abstract_base_slots));
    planar.doc() = "The planar layout: the suffix \"Planar\".";
    g_planar_type = (PyTypeObject *) planar.ptr();
    planar.def(nb::init<>())
        .def(
            "designation", [](nb::handle) { return nb::str("Planar"); }, "The suffix text, \"Planar\".")
        .def("__getstate__", [](nb::handle) { return nb::tuple(); })
        .def("__setstate__", [](Planar &p, nb::handle) { new (&p) Planar(); });
    def_classmethod(
        planar, "from_designation",
        [planar_word](nb::handle cls, nb::handle full, nb::handle, nb::handle) {
            return fixed_word_parse<Planar>(g_planar_type, planar_word, cls, full);
        },
        "def from_designation(cls, full_designation: str, components: "
        "korvell.pfnc.genicam.components.Components, sizes: korvell.pfnc.genicam.tesselk.Size) -> "
        "list[tuple[typing_extensions.Self, str]]",
        kParseDoc);

    nb::class_<SemiPlanar, InterfaceSpecific> semiplanar(m, "SemiPlanar",
                                                         nb::type_slots(korvell::abstract_base_slots));
    semiplanar.doc() = "The semi-planar layout: the suffix \"Semiplanar\".";
    g_semiplanar_type = (PyTypeObject *) semiplanar.ptr();
    semiplanar.def(nb::init<>())
        .def(
            "designation", [](nb::handle) { return nb::str("Semiplanar"); }, "The suffix text, \"Semiplanar\".")
        .def("__getstate__", [](nb::handle) { return nb::tuple(); })
        .def("__setstate__", [](SemiPlanar &p, nb::handle) { new (&p) SemiPlanar(); });
    def_classmethod(
        semiplanar, "from_designation",
        [semiplanar_word](nb::handle cls, nb::handle full, nb::handle, nb::handle) {
            return fixed_word_parse<SemiPlanar>(g_semiplanar_type, semiplanar_word, cls, full);
        },
        "def from_designation(cls, full_designation: str, components: "
        "korvell.pfnc.genicam.components.Components, sizes: korvell.pfnc.genicam.tesselk.Size) -> "
        "list[tuple[typing_extensions.Self, str]]",
        kParseDoc);

    // --- component sequencing
    nb::class_<ComponentsSequencing, InterfaceSpecific> seq(m, "ComponentsSequencing",
                                                            nb::type_slots(sequencing_slots));
    seq.doc() = "An explicit order of the colour components on the interface, such as CbYCrY:\n"
                "one channel name per occurrence, in order.";
    g_sequencing_type = (PyTypeObject *) seq.ptr();
    seq.def(
           "__init__",
           [](ComponentsSequencing *self, nb::handle components) {
               new (self) ComponentsSequencing(korvell::exact_tuple(components, "components"));
           },
           "components"_a.none(), nb::sig("def __init__(self, components: tuple[str, ...]) -> None"))
        .def_prop_rw(
            "components", [](const ComponentsSequencing &s) { return s.components; },
            [](ComponentsSequencing &s, nb::handle value) { s.components = nb::borrow(value); },
            nb::arg("value").none(), nb::for_getter(nb::sig("def components(self) -> tuple[str, ...]")),
            nb::for_setter(nb::sig("def components(self, value: tuple[str, ...], /) -> None")),
            "The channel names in the order they follow each other, one per occurrence.")
        .def(
            "designation",
            [](const ComponentsSequencing &s) {
                PyObject *joined = PyUnicode_Join(nb::str("").ptr(), s.components.ptr());
                if (!joined)
                    throw nb::python_error();
                return nb::steal<nb::str>(joined);
            },
            "The channel names concatenated in order (\"\" when there are none).")
        .def(
            "__eq__",
            [](const ComponentsSequencing &s, nb::handle other) {
                const ComponentsSequencing *o = korvell::instance_of<ComponentsSequencing>(other);
                if (!o)
                    return false;
                // Both are kept while their entries compare: an entry's __eq__
                // may replace either field.
                nb::object mine = s.components, theirs = o->components;
                return mine.equal(theirs);
            },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__repr__",
             [](nb::handle self) {
                 return nb::str("{}(components={!r})")
                     .format(qualname_of(self), korvell::self_of<ComponentsSequencing>(self).components);
             })
        .def("__getstate__", [](const ComponentsSequencing &s) { return nb::make_tuple(s.components); })
        .def("__setstate__",
             [](ComponentsSequencing &s, nb::tuple state) {
                 if (nb::len(state) != 1)
                     throw nb::value_error("ComponentsSequencing state must hold 1 field");
                 new (&s) ComponentsSequencing(state[0]);
             });
    def_classmethod(
        seq, "from_designation",
        [](nb::handle cls, nb::handle full, nb::handle components, nb::handle sizes) {
            return sequencing_parse(cls, full, components, sizes);
        },
        "def from_designation(cls, full_designation: str, components: "
        "korvell.pfnc.genicam.components.Components, sizes: korvell.pfnc.genicam.tesselk.Size) -> "
        "list[tuple[typing_extensions.Self, str]]",
        "Read a run of the components' channel names from the front of\n"
        "``full_designation``, longest name first at every position.\n\n"
        "Returns one (object, remaining text) pair when as many distinct components\n"
        "occur as ``sizes`` has channels and, for components at an LMN location, their\n"
        "counts are in the location's proportions; otherwise an empty list.");
    seq.attr("__hash__") = nb::none();
    seq.attr("__match_args__") = nb::make_tuple("components");
    korvell::use_flat_dealloc(seq);

    // The implementations are bound; now the base's own operations become
    // abstract placeholders.
    korvell::make_abstract(base, {{"designation", korvell::MethodKind::method},
                                  {"from_designation", korvell::MethodKind::class_method}});
}
