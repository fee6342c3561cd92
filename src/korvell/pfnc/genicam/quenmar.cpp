// quenmar.cpp -- the interface-specific suffix of a PFNC designation: the
// abstract base with its factory, the planar and semi-planar words, and the
// component sequencing and plane groups read against the channel names.
#include "binding.hpp"


#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------------------
// Plain C++: the scans over UTF-8 text.  Channel names and text are compared
// as UTF-8 bytes; every match advances by whole names, so positions stay on
// character boundaries and a byte prefix is a character prefix.

/// One channel name as the scans see it: its UTF-8 bytes and its index.
struct ScanName {
    std::string_view bytes;
    uint32_t index;
};

/// Whether `at` begins with `name` (the caller checked the length); channel
/// names are a few bytes, shorter than a library call is worth.
inline bool same_bytes(const char *at, std::string_view name) {
    for (size_t j = 0; j < name.size(); ++j)
        if (at[j] != name[j])
            return false;
    return true;
}

inline bool starts_at(std::string_view text, size_t pos, std::string_view word) {
    return text.size() - pos >= word.size() && same_bytes(text.data() + pos, word);
}

/// The names in matching order: the name matched at a position is the first
/// of the order that the rest of the text begins with.  No name is empty, so
/// every match advances.  A handful of names is tried in turn; more are
/// chained by first byte.
class NameMatcher {
public:
    explicit NameMatcher(std::vector<ScanName> order) : order_(std::move(order)) {
        if (order_.size() <= kFew)
            return;
        next_.assign(order_.size(), -1);
        std::memset(head_, 0xff, sizeof head_);   // every chain empty (-1)
        for (size_t k = order_.size(); k-- > 0;) {
            unsigned char first = (unsigned char) order_[k].bytes[0];
            next_[k] = head_[first];
            head_[first] = (int32_t) k;
        }
    }

    const ScanName *match(std::string_view text, size_t pos) const {
        if (pos >= text.size())
            return nullptr;
        if (order_.size() <= kFew) {
            for (const ScanName &name : order_)
                if (name.bytes[0] == text[pos] && starts_at(text, pos, name.bytes))
                    return &name;
            return nullptr;
        }
        for (int32_t k = head_[(unsigned char) text[pos]]; k >= 0; k = next_[(size_t) k])
            if (starts_at(text, pos, order_[(size_t) k].bytes))
                return &order_[(size_t) k];
        return nullptr;
    }

    size_t shortest() const {
        size_t n = SIZE_MAX;
        for (const ScanName &name : order_)
            n = std::min(n, name.bytes.size());
        return order_.empty() ? 1 : n;
    }

private:
    static constexpr size_t kFew = 8;
    std::vector<ScanName> order_;
    std::vector<int32_t> next_;
    int32_t head_[256];
};

/// Outcome of a scan: the index of every name consumed, in order, and the byte
/// offset at which the scan stopped.
struct ScanResult {
    std::vector<uint32_t> taken;
    size_t stop = 0;
};

/// Greedy scan of `text` from its start: names are consumed while one matches;
/// the first position where none does ends it.  Linear in the text.
ScanResult greedy_scan(std::string_view text, const NameMatcher &names) {
    ScanResult r;
    // Every step consumes at least the shortest name: reserve once instead of
    // growing (untouched capacity costs no memory).
    r.taken.reserve(text.size() / names.shortest() + 1);
    size_t pos = 0;
    while (const ScanName *hit = names.match(text, pos)) {
        r.taken.push_back(hit->index);
        pos += hit->bytes.size();
    }
    r.stop = pos;
    return r;
}

/// A plane-group reading: the groups as name indices, the layout word found
/// (its index) and the byte offset after it.
struct GroupsReading {
    std::vector<std::vector<uint32_t>> groups;
    size_t layout = 0;
    size_t stop = 0;
};

/// Groups of names, each closed by "_", until a layout word follows an
/// underscore.  Nothing when a group is empty or not closed, when fewer than
/// two groups were read, or when one of the `distinct` names is in no group.
std::optional<GroupsReading> read_groups(std::string_view text, const NameMatcher &names, size_t distinct,
                                         const std::vector<std::string_view> &layouts) {
    GroupsReading r;
    std::vector<bool> used(distinct, false);
    size_t pos = 0;
    for (;;) {
        std::vector<uint32_t> group;
        while (const ScanName *hit = names.match(text, pos)) {
            group.push_back(hit->index);
            used[hit->index] = true;
            pos += hit->bytes.size();
        }
        if (group.empty() || !starts_at(text, pos, "_"))
            return std::nullopt;
        r.groups.push_back(std::move(group));
        ++pos;
        auto word = std::find_if(layouts.begin(), layouts.end(),
                                 [&](std::string_view w) { return starts_at(text, pos, w); });
        if (word != layouts.end()) {
            r.layout = (size_t) (word - layouts.begin());
            r.stop = pos + word->size();
            break;
        }
    }
    if (r.groups.size() < 2 || std::find(used.begin(), used.end(), false) != used.end())
        return std::nullopt;
    return r;
}

/// Stable sort of `order` by `lengths` (one per entry), longest first.  A
/// component set has a handful of names: insertion needs no buffer.
void longest_first(std::vector<ScanName> &order, std::vector<Py_ssize_t> &lengths) {
    if (order.size() > 16) {
        std::vector<size_t> perm(order.size());
        for (size_t i = 0; i < perm.size(); ++i)
            perm[i] = i;
        std::stable_sort(perm.begin(), perm.end(), [&](size_t a, size_t b) { return lengths[a] > lengths[b]; });
        std::vector<ScanName> sorted;
        sorted.reserve(order.size());
        for (size_t i : perm)
            sorted.push_back(order[i]);
        order.swap(sorted);
        return;
    }
    for (size_t i = 1; i < order.size(); ++i)
        for (size_t j = i; j > 0 && lengths[j - 1] < lengths[j]; --j) {
            std::swap(order[j - 1], order[j]);
            std::swap(lengths[j - 1], lengths[j]);
        }
}

// ---------------------------------------------------------------------------
// Binding: the package's own collaborators, read directly while nothing
// observable could differ from calling them.

korvell::ModuleRef g_mod;      // this module: its bound names are read on every use
korvell::ModuleRef g_planes;   // the module that holds the plane groups' names

const korvell::Name kChannelName{"channel_name"}, kGenicamComponents{"GenicamComponents"},
    kLmnLocation{"LMNLocation"}, kLayouts{"LAYOUTS"}, kFromDesignation{"from_designation"};

/// The components module's own classes and function, as imported.
struct Collaborators {
    korvell::ClassGuard components, genicam, lmn, component;
    PyObject *channel_name = nullptr, *channel_name_code = nullptr, *channel_name_globals = nullptr;
    PyObject *component_key = nullptr, *value_key = nullptr;
    Py_ssize_t components_slot = 0, location_slot = 0, fields_slot = 0;
} g_own;

void capture_collaborators() {
    nb::module_ components = nb::module_::import_("korvell.pfnc.genicam.components");
    nb::object component_cls = components.attr("Component"), channel_name = components.attr("channel_name");
    g_own.components.capture(components.attr("Components"),
                             {"_components", "__len__", "__getitem__", "__class__"});
    g_own.genicam.capture(components.attr("GenicamComponents"),
                          {"_components", "__len__", "__getitem__", "__class__", "location", "_location"});
    g_own.lmn.capture(components.attr("LMNLocation"), {"fields", "_fields", "__class__"});
    g_own.component.capture(component_cls, {"value", "_value_"});
    g_own.channel_name = channel_name.inc_ref().ptr();
    g_own.channel_name_code = PyFunction_GET_CODE(channel_name.ptr());
    g_own.channel_name_globals = PyFunction_GET_GLOBALS(channel_name.ptr());
    g_own.component_key = korvell::interned("Component");
    g_own.value_key = korvell::interned("_value_");
    g_own.components_slot = korvell::slot_offset(components.attr("Components"), "_components");
    g_own.location_slot = korvell::slot_offset(components.attr("GenicamComponents"), "_location");
    g_own.fields_slot = korvell::slot_offset(components.attr("LMNLocation"), "_fields");
}

Py_ssize_t length_of(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

bool isinstance_of(nb::handle obj, nb::handle cls) { return korvell::checked(PyObject_IsInstance(obj.ptr(), cls.ptr())) == 1; }

/// The package's own Components or GenicamComponents, unchanged.
bool own_components(nb::handle components) {
    return g_own.components.exact(components) || g_own.genicam.exact(components);
}

/// The tuple that `len` and indexing of the package's own components read;
/// null for any other object, whose methods are called instead.
PyObject *own_items(nb::handle components) {
    if (!own_components(components))
        return nullptr;
    PyObject *items = korvell::slot_value(components, g_own.components_slot);
    return items && PyTuple_CheckExact(items) ? items : nullptr;
}

/// `fn` is the package's own channel_name, unchanged: a Component member's
/// name is then its value and an exact str is its own name.
bool own_channel_name(nb::handle fn) {
    if (fn.ptr() != g_own.channel_name || PyFunction_GET_CODE(fn.ptr()) != g_own.channel_name_code)
        return false;
    PyObject *cls = PyDict_GetItemWithError(g_own.channel_name_globals, g_own.component_key);
    if (!cls && PyErr_Occurred())
        throw nb::python_error();
    return cls == (PyObject *) g_own.component.type();
}

/// `fn(component)`, computed here when `own` (`fn` is the package's own).
nb::object channel_name_of(nb::handle component, nb::handle fn, bool own) {
    if (own) {
        if (PyUnicode_CheckExact(component.ptr()))
            return nb::borrow(component);
        // With no `_value_` on the class, the member's attribute is the one
        // in its own dict.
        if (g_own.component.exact(component)) {
            nb::object members = korvell::owned(PyObject_GenericGetDict(component.ptr(), nullptr));
            if (nb::handle value = korvell::borrowed_or_absent(PyDict_GetItemWithError(members.ptr(), g_own.value_key)))
                return nb::borrow(value);
        }
    }
    return korvell::call(fn, component);
}

/// `[channel_name(components[i]) for i in range(len(components))]`, the
/// function being `function()` at each step.  The tuple behind the package's
/// own components is read again at every index: a channel_name of the
/// caller's may change it between two reads.
template <typename Function>
std::vector<nb::object> channel_names(nb::handle components, Function &&function) {
    PyObject *items = own_items(components);
    Py_ssize_t count = items ? PyTuple_GET_SIZE(items) : length_of(components);
    std::vector<nb::object> names;
    // the length is the object's own claim: reserve no more than a real
    // component set needs, so that a false one fails at its first missing item
    names.reserve((size_t) std::min<Py_ssize_t>(count, 64));
    nb::object fn;
    bool own = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object now = function();
        if (!now.is(fn)) {
            own = own_channel_name(now);
            fn = std::move(now);
        }
        items = own_items(components);
        nb::object item = items && i < PyTuple_GET_SIZE(items)
                              ? nb::borrow(PyTuple_GET_ITEM(items, i))
                              : korvell::owned(PyObject_GetItem(components.ptr(), nb::int_(i).ptr()));
        names.push_back(channel_name_of(item, fn, own));
    }
    return names;
}

/// `location.fields` when `components` is a GenicamComponents at an LMN
/// location, by the classes this module names now; null otherwise.
nb::object lmn_fields(nb::handle components) {
    nb::object genicam = g_mod.get(kGenicamComponents);
    nb::object location;
    if (genicam.ptr() == (PyObject *) g_own.genicam.type() && own_components(components)) {
        if (Py_TYPE(components.ptr()) != g_own.genicam.type())
            return {};
        PyObject *held = korvell::slot_value(components, g_own.location_slot);
        location = held ? nb::borrow(held) : components.attr("location");
    } else {
        if (!isinstance_of(components, genicam))
            return {};
        location = components.attr("location");
    }
    nb::object lmn = g_mod.get(kLmnLocation);
    if (lmn.ptr() == (PyObject *) g_own.lmn.type()) {
        if (location.is_none())
            return {};
        if (g_own.lmn.exact(location)) {
            PyObject *held = korvell::slot_value(location, g_own.fields_slot);
            return held ? nb::borrow(held) : location.attr("fields");
        }
    }
    if (!isinstance_of(location, lmn))
        return {};
    return location.attr("fields");
}

// ---------------------------------------------------------------------------
// Binding: the classes.

struct InterfaceSpecific {};
struct Planar : InterfaceSpecific {};
struct SemiPlanar : InterfaceSpecific {};
struct ComponentsSequencing : InterfaceSpecific {
    nb::object components = nb::tuple();
    ComponentsSequencing() = default;
    explicit ComponentsSequencing(nb::object c) : components(std::move(c)) {}
};
struct PlaneGroups : InterfaceSpecific {};

// The module's own classes with their construction, as bound.
korvell::ClassGuard g_base, g_planar, g_semiplanar, g_sequencing;
PyObject *g_plane_groups = nullptr;   // the plane-groups class once bound
PyObject *g_layouts = nullptr;        // the plane-groups module's layout words, as bound
std::vector<std::string_view> g_layout_words;

// The component tuple is collected through the instances; every class refuses
// instantiation while abstract, so a Python subclass that declares a new
// abstract operation cannot be instantiated either.
using SequencingFields = korvell::ObjectFields<ComponentsSequencing, &ComponentsSequencing::components>;

nb::object qualname_of(nb::handle obj) {
    return nb::handle((PyObject *) Py_TYPE(obj.ptr())).attr("__qualname__");
}

/// Substring of a str by character positions.
nb::str substring(nb::handle str, Py_ssize_t start) {
    return korvell::owned<nb::str>(PyUnicode_Substring(str.ptr(), start, PY_SSIZE_T_MAX));
}

nb::list single_candidate(nb::handle obj, nb::handle rest) {
    nb::list out = korvell::new_list();
    korvell::append(out, korvell::pair(obj, rest));
    return out;
}

// --- Planar and SemiPlanar --------------------------------------------------

/// `from_designation` of a fixed-word class: one candidate when the text
/// begins with `word`, of the class the operation was called on.
template <typename T>
nb::list fixed_word_parse(korvell::ClassGuard &own, std::string_view word, nb::handle cls, nb::handle designation_obj) {
    nb::str full = korvell::exact_str(designation_obj, "full_designation");
    korvell::Text text = korvell::view_text(full);
    if (!starts_at(text.view, 0, word))
        return korvell::new_list();
    std::optional<nb::object> obj;
    if (cls.ptr() == (PyObject *) own.type() && own.holds())
        obj = korvell::new_instance<T>(nb::handle((PyObject *) own.type()));
    else if (!(obj = korvell::construct_or_log(g_mod, cls)))
        return korvell::new_list();
    return single_candidate(*obj, korvell::rest_of(text, word.size()));
}

nb::list planar_parse(nb::handle cls, nb::handle full, nb::handle, nb::handle) {
    return fixed_word_parse<Planar>(g_planar, "Planar", cls, full);
}

nb::list semiplanar_parse(nb::handle cls, nb::handle full, nb::handle, nb::handle) {
    return fixed_word_parse<SemiPlanar>(g_semiplanar, "Semiplanar", cls, full);
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
        nb::object o_adjusted = korvell::owned(PyNumber_Multiply(items[i], max_count_obj.ptr()));
        nb::object count = korvell::owned(PyLong_FromUnsignedLongLong(count_at(i)));
        nb::object count_adjusted = korvell::owned(PyNumber_Multiply(count.ptr(), max_field.ptr()));
        int ne = PyObject_RichCompareBool(o_adjusted.ptr(), count_adjusted.ptr(), Py_NE);
        if (ne < 0)
            throw nb::python_error();
        if (ne)
            return false;
    }
    return true;
}

/// The occurrence proportions of an LMN location hold for `counts` (true
/// when the components have no such location).
bool proportions_fit(nb::handle components, Py_ssize_t channels, const std::vector<uint64_t> &counts) {
    nb::object fields = lmn_fields(components);
    if (!fields.is_valid())
        return true;
    if (length_of(fields) != channels)
        return false;
    nb::object seq = korvell::owned(PySequence_Fast(fields.ptr(), "fields must be a sequence"));
    // The comparisons and products below run the entries' Python code, which
    // may change a list under the item pointer: work on a tuple.
    if (PyList_Check(seq.ptr()))
        seq = korvell::owned(PyList_AsTuple(seq.ptr()));
    // No fields and no channels: nothing to compare, the test holds.
    return PySequence_Fast_GET_SIZE(seq.ptr()) == 0 || proportions_hold(seq, counts);
}

/// UTF-8 views of channel names, which must be str.
std::vector<korvell::Text> name_views(const std::vector<nb::object> &names) {
    std::vector<korvell::Text> views;
    views.reserve(names.size());
    for (const nb::object &name : names) {
        if (!PyUnicode_Check(name.ptr()))
            throw nb::type_error(("channel_name() must return str, not " + korvell::class_name_of(name)).c_str());
        views.push_back(korvell::view_text(name));
    }
    return views;
}

/// Longest name (in characters) first; equal lengths keep component order, so
/// of two identical names only the first can match.  An empty name would
/// match everywhere without consuming anything: it never matches.
NameMatcher sequencing_order(const std::vector<nb::object> &names, const std::vector<korvell::Text> &views) {
    std::vector<ScanName> order;
    std::vector<Py_ssize_t> lengths;
    order.reserve(names.size());
    lengths.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        if (Py_ssize_t length = PyUnicode_GET_LENGTH(names[i].ptr())) {
            order.push_back({views[i].view, (uint32_t) i});
            lengths.push_back(length);
        }
    }
    longest_first(order, lengths);
    return NameMatcher(std::move(order));
}

nb::tuple names_tuple(const std::vector<nb::object> &names, const std::vector<uint32_t> &indices) {
    nb::tuple out = korvell::owned<nb::tuple>(PyTuple_New((Py_ssize_t) indices.size()));
    for (size_t k = 0; k < indices.size(); ++k)
        PyTuple_SET_ITEM(out.ptr(), (Py_ssize_t) k, names[indices[k]].inc_ref().ptr());
    return out;
}

nb::list sequencing_parse(nb::handle cls, nb::handle designation_obj, nb::handle components, nb::handle sizes) {
    nb::str full = korvell::exact_str(designation_obj, "full_designation");

    // Channel names, one per component in index order, computed anew on every call.
    nb::object channel_name = g_mod.get(kChannelName);
    std::vector<nb::object> names = channel_names(components, [&] { return channel_name; });
    if (names.empty())
        return korvell::new_list();
    std::vector<korvell::Text> views = name_views(names);
    korvell::Text text = korvell::view_text(full);
    ScanResult scan = greedy_scan(text.view, sequencing_order(names, views));

    // Coverage: as many distinct components as the sizes have channels.
    std::vector<uint64_t> counts(names.size(), 0);
    size_t distinct = 0;
    for (uint32_t index : scan.taken)
        if (counts[index]++ == 0)
            ++distinct;
    Py_ssize_t channels = length_of(sizes);
    if ((Py_ssize_t) distinct != channels || !proportions_fit(components, channels, counts))
        return korvell::new_list();

    nb::tuple extracted = names_tuple(names, scan.taken);
    std::optional<nb::object> obj;
    if (cls.ptr() == (PyObject *) g_sequencing.type() && g_sequencing.holds())
        obj = korvell::new_instance<ComponentsSequencing>(nb::handle((PyObject *) g_sequencing.type()), std::move(extracted));
    else if (!(obj = korvell::construct_or_log(g_mod, cls, extracted)))
        return korvell::new_list();
    return single_candidate(*obj, korvell::rest_of(text, scan.stop));
}

// --- PlaneGroups --------------------------------------------------------------

nb::list plane_groups_parse(nb::handle cls, nb::handle designation_obj, nb::handle components, nb::handle) {
    nb::str full = korvell::exact_str(designation_obj, "full_designation");
    // At least two groups, so at least one "_".
    Py_ssize_t underscore = PyUnicode_FindChar(full.ptr(), '_', 0, PY_SSIZE_T_MAX, 1);
    if (underscore == -2)
        throw nb::python_error();
    if (underscore == -1)
        return korvell::new_list();
    std::vector<nb::object> names = channel_names(components, [] { return g_planes.get(kChannelName); });

    // Names of any other kind, or other layout words, take the module's
    // general reading, which treats them as Python would.
    nb::object layouts = g_planes.get(kLayouts);
    bool all_str = std::all_of(names.begin(), names.end(), [](const nb::object &n) {
        return PyUnicode_CheckExact(n.ptr());
    });
    if (!all_str || layouts.ptr() != g_layouts) {
        nb::list listed = korvell::new_list();
        for (const nb::object &name : names)
            listed.append(name);
        return nb::borrow<nb::list>(g_planes.get("_read_groups")(cls, full, listed));
    }

    // Distinct names, the first of equal ones standing for all; an empty name
    // is in no group, so no reading covers it.
    std::vector<korvell::Text> views = name_views(names);
    std::unordered_map<std::string_view, uint32_t> first;
    std::vector<uint32_t> distinct;
    std::vector<ScanName> order;
    for (size_t i = 0; i < names.size(); ++i) {
        if (views[i].view.empty())
            return korvell::new_list();
        if (first.emplace(views[i].view, (uint32_t) distinct.size()).second) {
            order.push_back({views[i].view, (uint32_t) distinct.size()});
            distinct.push_back((uint32_t) i);
        }
    }
    if (order.empty())
        return korvell::new_list();
    // Of two names that both match, one begins the other: longest first
    // finds the longer, in bytes as in characters.
    std::vector<Py_ssize_t> lengths;
    for (const ScanName &name : order)
        lengths.push_back((Py_ssize_t) name.bytes.size());
    longest_first(order, lengths);
    korvell::Text text = korvell::view_text(full);
    std::optional<GroupsReading> reading =
        read_groups(text.view, NameMatcher(std::move(order)), distinct.size(), g_layout_words);
    if (!reading)
        return korvell::new_list();

    nb::tuple groups = korvell::owned<nb::tuple>(PyTuple_New((Py_ssize_t) reading->groups.size()));
    for (size_t g = 0; g < reading->groups.size(); ++g) {
        std::vector<uint32_t> indices;
        for (uint32_t d : reading->groups[g])
            indices.push_back(distinct[d]);
        PyTuple_SET_ITEM(groups.ptr(), (Py_ssize_t) g, names_tuple(names, indices).release().ptr());
    }
    nb::object obj = cls(groups, nb::handle(PyTuple_GET_ITEM(g_layouts, (Py_ssize_t) reading->layout)));
    return single_candidate(obj, korvell::rest_of(text, reading->stop));
}

/// `super().__init__()` of the plane groups: the base's own initialisation
/// only marks the instance ready, which is done here while nothing else would run.
void plane_groups_super_init(nb::handle self) {
    if (Py_TYPE(self.ptr()) == (PyTypeObject *) g_plane_groups && g_base.holds() && !nb::inst_ready(self)) {
        nb::inst_mark_ready(self);
        return;
    }
    nb::module_::import_("builtins").attr("super")(nb::handle(g_plane_groups), self).attr("__init__")();
}

void plane_groups_init(nb::handle self, nb::handle groups, nb::handle layout) {
    plane_groups_super_init(self);
    bool valid = PyTuple_CheckExact(groups.ptr());
    for (Py_ssize_t i = 0; valid && i < PyTuple_GET_SIZE(groups.ptr()); ++i) {
        PyObject *group = PyTuple_GET_ITEM(groups.ptr(), i);
        valid = PyTuple_CheckExact(group) && PyTuple_GET_SIZE(group) > 0;
    }
    if (!valid)
        throw nb::type_error("groups must be a tuple of non-empty tuples");
    nb::object layouts = g_planes.get("LAYOUTS");
    if (!korvell::contains(layouts, layout))
        throw nb::value_error(nb::str("layout must be one of {}, not {!r}").format(layouts, layout).c_str());
    nb::setattr(self, "groups", groups);
    nb::setattr(self, "layout", layout);
}

nb::str plane_groups_designation(nb::handle self) {
    nb::list pieces = korvell::new_list();
    for (nb::handle group : self.attr("groups"))
        pieces.append(korvell::owned<nb::str>(PyUnicode_Join(nb::str("").ptr(), group.ptr())));
    pieces.append(self.attr("layout"));
    return korvell::owned<nb::str>(PyUnicode_Join(nb::str("_").ptr(), pieces.ptr()));
}

/// `type(other) is type(self) and other.groups == self.groups and
/// other.layout == self.layout`, with the comparisons' own results.
nb::object plane_groups_eq(nb::handle self, nb::handle other) {
    if (Py_TYPE(other.ptr()) != Py_TYPE(self.ptr()))
        return nb::bool_(false);
    nb::object same_groups = korvell::owned(
        PyObject_RichCompare(other.attr("groups").ptr(), self.attr("groups").ptr(), Py_EQ));
    int truth = PyObject_IsTrue(same_groups.ptr());
    if (truth < 0)
        throw nb::python_error();
    if (!truth)
        return same_groups;
    return korvell::owned(PyObject_RichCompare(other.attr("layout").ptr(), self.attr("layout").ptr(), Py_EQ));
}

nb::str plane_groups_repr(nb::handle self) {
    nb::object name = nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__name__");
    return nb::str("{}({!r}, {!r})").format(name, self.attr("groups"), self.attr("layout"));
}

// --- InterfaceSpecific ------------------------------------------------------

/// The package's own parses, by the class attribute each is bound as.
using OwnParse = nb::list (*)(nb::handle, nb::handle, nb::handle, nb::handle);
std::vector<std::pair<PyObject *, OwnParse>> g_parses;

/// The own parse that `implementation.from_designation` would call, while
/// the attribute found is the original classmethod and the class's metaclass
/// reads it the plain way; null otherwise.
OwnParse own_parse(nb::handle implementation) {
    if (!PyType_Check(implementation.ptr()))
        return nullptr;
    PyTypeObject *meta = Py_TYPE(implementation.ptr());
    if (meta->tp_getattro != PyType_Type.tp_getattro || _PyType_Lookup(meta, kFromDesignation.ptr()))
        return nullptr;
    PyObject *attr = _PyType_Lookup((PyTypeObject *) implementation.ptr(), kFromDesignation.ptr());
    for (const auto &[classmethod, parse] : g_parses)
        if (attr == classmethod)
            return parse;
    return nullptr;
}

/// At interpreter exit (an atexit hook, which runs before the modules are torn
/// down): the classes, parses and words kept for the direct routes are let go,
/// so that they are freed with their modules instead of outliving them; every
/// call after this takes the general route.
void release_kept() {
    for (korvell::ClassGuard *guard : {&g_own.components, &g_own.genicam, &g_own.lmn, &g_own.component, &g_base, &g_planar,
                              &g_semiplanar, &g_sequencing})
        guard->release();
    for (const auto &[classmethod, parse] : g_parses)
        Py_DECREF(classmethod);
    g_parses.clear();
    Py_CLEAR(g_own.channel_name);
    g_layout_words.clear();
    Py_CLEAR(g_layouts);
}

nb::list create(nb::handle designation_obj, nb::handle components, nb::handle sizes) {
    nb::str full = korvell::exact_str(designation_obj, "full_designation");
    if (PyUnicode_GET_LENGTH(full.ptr()) == 0 || PyUnicode_READ_CHAR(full.ptr(), 0) != '_')
        return korvell::new_list();
    // Exactly one underscore is dropped; a second one belongs to the suffix.
    nb::str text = substring(full, 1);
    return korvell::collect_candidates(g_mod, nb::type<InterfaceSpecific>(), [&](nb::handle implementation) {
        if (OwnParse parse = own_parse(implementation))
            return nb::object(parse(implementation, text, components, sizes));
        return korvell::call(korvell::getattr(implementation, kFromDesignation), text, components, sizes);
    });
}

// --- The bindings -------------------------------------------------------------

const char *const kParseSig =
    "def from_designation(cls, full_designation: str, components: "
    "korvell.pfnc.genicam.components.Components, sizes: korvell.pfnc.genicam.tesselk.Size) -> "
    "list[tuple[typing_extensions.Self, str]]";

const char *const kParseDoc =
    "Parse the suffix from the front of ``full_designation`` (the text after the\n"
    "underscore).  Returns a list of at most one (object, remaining text) pair; the\n"
    "object is of the class the operation is called on.";

/// A class-level operation: `classmethod` over a compiled parse whose first
/// parameter receives the class; `create` calls the parse directly while the
/// class attribute is this one.
void def_parse(nb::handle cls, OwnParse parse, const char *doc) {
    nb::object func = nb::cpp_function(parse, nb::name("from_designation"), "cls"_a, "full_designation"_a.none(),
                                       "components"_a.none(), "sizes"_a.none(), nb::sig(kParseSig), doc);
    nb::object method = nb::module_::import_("builtins").attr("classmethod")(func);
    nb::setattr(cls, "from_designation", method);
    g_parses.emplace_back(method.release().ptr(), parse);   // kept for the process
}

void bind_names(nb::module_ &m) {
    // the imports in the order the names appear in the namespace
    g_mod.open(m,
               "Interface specifics: the suffix after the underscore of a PFNC pixel-format\n"
               "designation (planar, semi-planar, or an explicit component sequence).",
               {
        {"abc", {"ABCMeta", "abstractmethod"}},
        {"logging", {"getLogger"}},
        {"typing_extensions", {"Self"}},
        {"korvell.pfnc.exceptions", {"ParseReject", "PixelFormatValueReject"}},
        {"korvell.pfnc.genicam.tesselk", {"Size"}},
        {"korvell.pfnc.genicam.components", {"channel_name", "Components", "LMNLocation", "GenicamComponents"}},
        {"korvell.pfnc._internal.utils", {"all_implementations"}},
    });
    m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));
    capture_collaborators();
}

bool exact_class_equal(nb::handle self, nb::handle other) { return Py_TYPE(self.ptr()) == Py_TYPE(other.ptr()); }

nb::str empty_repr(nb::handle self) { return nb::str("{}()").format(qualname_of(self)); }

void bind_base(nb::module_ &m) {
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
        .def("__eq__", &exact_class_equal, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__repr__", &empty_repr);
    base.attr("__hash__") = nb::none();
}

/// A class whose suffix is one fixed word.
template <typename T>
void bind_fixed_word(nb::module_ &m, const char *name, const char *word, const char *doc, OwnParse parse) {
    nb::class_<T, InterfaceSpecific> cls(m, name, nb::type_slots(korvell::abstract_base_slots));
    cls.doc() = doc;
    cls.def(nb::init<>())
        .def(
            "designation", [word](nb::handle) { return nb::str(word); },
            (std::string("The suffix text, \"") + word + "\".").c_str())
        .def("__getstate__", [](nb::handle) { return nb::tuple(); })
        .def("__setstate__", [](T &p, nb::handle) { new (&p) T(); });
    def_parse(cls, parse, kParseDoc);
}

nb::str sequencing_designation(const ComponentsSequencing &s) {
    return korvell::owned<nb::str>(PyUnicode_Join(nb::str("").ptr(), s.components.ptr()));
}

bool sequencing_eq(const ComponentsSequencing &s, nb::handle other) {
    return korvell::field_equal<ComponentsSequencing, &ComponentsSequencing::components>(
        s, korvell::instance_of<ComponentsSequencing>(other));
}

nb::str sequencing_repr(nb::handle self) {
    return nb::str("{}(components={!r})")
        .format(qualname_of(self), korvell::self_of<ComponentsSequencing>(self).components);
}

void bind_sequencing(nb::module_ &m) {
    nb::class_<ComponentsSequencing, InterfaceSpecific> seq(m, "ComponentsSequencing",
                                                            nb::type_slots(SequencingFields::abstract_slots));
    seq.doc() = "An explicit order of the colour components on the interface, such as CbYCrY:\n"
                "one channel name per occurrence, in order.";
    seq.def(
           "__init__",
           [](ComponentsSequencing *self, nb::handle components) {
               new (self) ComponentsSequencing(korvell::exact_tuple(components, "components"));
           },
           "components"_a.none(), nb::sig("def __init__(self, components: tuple[str, ...]) -> None"));
    korvell::def_field<&ComponentsSequencing::components>(
        seq, "components", "tuple[str, ...]",
        "The channel names in the order they follow each other, one per occurrence.");
    seq.def("designation", &sequencing_designation,
             "The channel names concatenated in order (\"\" when there are none).")
        .def("__eq__", &sequencing_eq, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__repr__", &sequencing_repr);
    korvell::def_field_state<&ComponentsSequencing::components>(seq);
    def_parse(seq, &sequencing_parse,
              "Read a run of the components' channel names from the front of\n"
              "``full_designation``, longest name first at every position.\n\n"
              "Returns one (object, remaining text) pair when as many distinct components\n"
              "occur as ``sizes`` has channels and, for components at an LMN location, their\n"
              "counts are in the location's proportions; otherwise an empty list.");
    korvell::finish_field_record(seq, "components");
}

/// A method set on a class after its base became abstract (nanobind would
/// take the base's placeholder for an overload of a foreign kind).
template <typename Func, typename... Extra>
void set_method(nb::handle cls, const char *name, Func &&f, const Extra &...extra) {
    nb::setattr(cls, name, nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(), extra...));
}

/// The plane groups, bound into `module` (which names the layout words and
/// the channel-name function they are read with) when it is first imported.
nb::object bind_plane_groups(nb::module_ module) {
    g_planes.bind(module);
    if (g_plane_groups) {   // the module imported again
        module.attr("PlaneGroups") = nb::handle(g_plane_groups);
        return nb::borrow(g_plane_groups);
    }
    nb::object layouts = module.attr("LAYOUTS");
    for (nb::handle word : nb::tuple(layouts))
        g_layout_words.push_back(korvell::view_text(word).view);   // the words live with the tuple, kept
    g_layouts = layouts.release().ptr();

    nb::class_<PlaneGroups, InterfaceSpecific> cls(module, "PlaneGroups", nb::dynamic_attr(),
                                                   nb::is_weak_referenceable(),
                                                   nb::type_slots(korvell::abstract_base_slots));
    g_plane_groups = cls.ptr();
    cls.doc() = "Channel groups, one per plane, followed by the layout word.\n\n"
                "``YY_CbCr_Semiplanar`` is the groups (\"Y\", \"Y\") and (\"Cb\", \"Cr\") with the\n"
                "layout \"Semiplanar\".  Every channel of the components appears in some group,\n"
                "and there are at least two groups.";
    set_method(cls, "__init__", &plane_groups_init, "groups"_a.none(), "layout"_a.none(),
               nb::sig("def __init__(self, groups: tuple[tuple[str, ...], ...], layout: str) -> None"));
    set_method(cls, "designation", &plane_groups_designation);
    nb::object parse = nb::cpp_function(&plane_groups_parse, nb::name("from_designation"), "cls"_a,
                                        "full_designation"_a.none(), "components"_a.none(), "sizes"_a.none());
    nb::object method = nb::module_::import_("builtins").attr("classmethod")(parse);
    nb::setattr(cls, "from_designation", method);
    g_parses.emplace_back(method.release().ptr(), &plane_groups_parse);
    set_method(cls, "__eq__", &plane_groups_eq, "other"_a.none());
    cls.attr("__hash__") = nb::none();
    set_method(cls, "__repr__", &plane_groups_repr);
    // What a Python subclass of the base runs on creation: the abstract set,
    // now empty.
    korvell::abstract_init_subclass(cls, nb::kwargs());
    return std::move(cls);
}

} // namespace

NB_MODULE(quenmar, m) {
    bind_names(m);
    bind_base(m);
    bind_fixed_word<Planar>(m, "Planar", "Planar", "The planar layout: the suffix \"Planar\".", &planar_parse);
    bind_fixed_word<SemiPlanar>(m, "SemiPlanar", "Semiplanar", "The semi-planar layout: the suffix \"Semiplanar\".",
                                &semiplanar_parse);
    bind_sequencing(m);
    // The implementations are bound; now the base's own operations become
    // abstract placeholders.
    korvell::make_abstract(m.attr("InterfaceSpecific"), {{"designation", korvell::MethodKind::method},
                                                         {"from_designation", korvell::MethodKind::class_method}});
    g_base.capture(m.attr("InterfaceSpecific"), {"__init__"});
    g_planar.capture(m.attr("Planar"), {"__init__", "__new__"});
    g_semiplanar.capture(m.attr("SemiPlanar"), {"__init__", "__new__"});
    g_sequencing.capture(m.attr("ComponentsSequencing"), {"__init__", "__new__"});
    m.def("_bind_plane_groups", &bind_plane_groups, "module"_a);
    korvell::release_at_exit(&release_kept);
}
