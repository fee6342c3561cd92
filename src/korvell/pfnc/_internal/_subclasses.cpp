// _subclasses.cpp -- the package's two small helpers in C++: `all_implementations`
// (the concrete classes derived from a base, asked for on every factory parse)
// and `join_designators` (called twice for every packing written).
#include "binding.hpp"
#include "designators.hpp"

#include <unordered_set>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

korvell::ModuleRef g_mod;
korvell::Kept g_abcmeta;       // abc.ABCMeta
korvell::Kept g_isabstract;    // inspect.isabstract
korvell::Kept g_subclasses;    // type.__subclasses__

// ---------------------------------------------------------------------------
// The walk.  A class's subclasses are read from the interpreter's own record
// (the dict of weak references behind `type.__subclasses__`) where the class
// is a heap type; a static type may keep that record elsewhere, so its
// subclasses are asked for through `type.__subclasses__`.

/// A live weakly referenced object as a new reference, null when it is gone.
PyObject *referent(PyObject *ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0)
        throw nb::python_error();
    return obj;
#else
    PyObject *obj = PyWeakref_GET_OBJECT(ref);
    return obj == Py_None ? nullptr : Py_NewRef(obj);
#endif
}

/// The live subclasses of the heap type `cls` in creation order, as
/// `type.__subclasses__` lists them: entries whose class is already being
/// collected are left out.
void heap_subclasses(PyTypeObject *cls, std::vector<nb::object> &out) {
    auto *dict = (PyObject *) cls->tp_subclasses;
    if (!dict)
        return;
    Py_ssize_t pos = 0;
    PyObject *ref;
    while (PyDict_Next(dict, &pos, nullptr, &ref))
        if (PyObject *sub = referent(ref))
            out.push_back(nb::steal(sub));
}

void subclasses_of(nb::handle cls, std::vector<nb::object> &out) {
    out.clear();
    if (PyType_HasFeature((PyTypeObject *) cls.ptr(), Py_TPFLAGS_HEAPTYPE))
        return heap_subclasses((PyTypeObject *) cls.ptr(), out);
    nb::list subs = korvell::owned<nb::list>(PyObject_CallOneArg(g_subclasses.ptr(), cls.ptr()));
    if (!PyList_CheckExact(subs.ptr()))
        throw nb::type_error("__subclasses__() must return a list");
    for (nb::handle sub : subs)
        out.push_back(nb::borrow(sub));
}

enum class Abstractness { concrete, abstract, ask_python };

/// Whether `cls` is still abstract, where the class flag can tell.  The flag
/// decides for every class but an ABCMeta class without it: one that is still
/// being created, which only inspect.isabstract itself can judge.
Abstractness flagged_abstractness(PyTypeObject *cls) {
    if (PyType_HasFeature(cls, Py_TPFLAGS_IS_ABSTRACT))
        return Abstractness::abstract;
    if (PyType_IsSubtype(Py_TYPE((PyObject *) cls), (PyTypeObject *) g_abcmeta.ptr()))
        return Abstractness::ask_python;
    return Abstractness::concrete;
}

bool is_abstract(nb::handle cls) {
    switch (flagged_abstractness((PyTypeObject *) cls.ptr())) {
    case Abstractness::abstract: return true;
    case Abstractness::concrete: return false;
    default: return korvell::owned<nb::bool_>(PyObject_CallOneArg(g_isabstract.ptr(), cls.ptr())).operator bool();
    }
}

/// What one walk saw: every visited class in visiting order (the base first)
/// with its live subclasses as they were read, and the classes found.  The
/// pointers are borrowed: a record is only trusted after every class in it
/// has been met again, alive, in the same place (`still_holds`).
struct WalkRecord {
    std::vector<PyObject *> visited;
    std::vector<size_t> children_end;   // per visited class: its children end here in `children`
    std::vector<PyObject *> children;
    std::vector<bool> abstract;         // per visited class but the base
    std::vector<PyObject *> found;
    bool reusable = true;               // no Python code ran and every class is a heap type
};

/// The walk itself: pre-order, depth first, each class once, `base` left out
/// and so are the classes that are still abstract.  Children are pushed in
/// reverse so that the first created is visited first.
nb::list walk(nb::handle base, WalkRecord &record) {
    nb::list found = korvell::new_list();
    std::unordered_set<PyObject *> seen{base.ptr()};
    std::vector<nb::object> stack, subs;
    auto visit = [&](nb::handle cls) {
        subclasses_of(cls, subs);
        record.reusable &= PyType_HasFeature((PyTypeObject *) cls.ptr(), Py_TPFLAGS_HEAPTYPE) != 0;
        record.visited.push_back(cls.ptr());
        for (const nb::object &sub : subs)
            record.children.push_back(sub.ptr());
        record.children_end.push_back(record.children.size());
        for (size_t i = subs.size(); i-- > 0;)
            stack.push_back(std::move(subs[i]));
    };
    visit(base);
    while (!stack.empty()) {
        nb::object cls = std::move(stack.back());
        stack.pop_back();
        if (!seen.insert(cls.ptr()).second)
            continue;
        Abstractness state = flagged_abstractness((PyTypeObject *) cls.ptr());
        record.reusable &= state != Abstractness::ask_python;
        bool abstract = is_abstract(cls);
        record.abstract.push_back(abstract);
        if (!abstract) {
            found.append(cls);
            record.found.push_back(cls.ptr());
        }
        visit(cls);
    }
    return found;
}

/// Whether a fresh walk from `base` would see exactly what `record` saw.
/// Every visited class is first met as a live subclass of one visited before
/// it, so each is proven alive before it is read.
bool still_holds(const WalkRecord &record, nb::handle base) {
    if (record.visited.empty() || record.visited[0] != base.ptr())
        return false;
    size_t child = 0;
    for (size_t i = 0; i < record.visited.size(); ++i) {
        auto *cls = (PyTypeObject *) record.visited[i];
        if (i > 0) {
            Abstractness expected = record.abstract[i - 1] ? Abstractness::abstract : Abstractness::concrete;
            if (flagged_abstractness(cls) != expected)
                return false;
        }
        if (auto *dict = (PyObject *) cls->tp_subclasses) {
            Py_ssize_t pos = 0;
            PyObject *ref;
            while (PyDict_Next(dict, &pos, nullptr, &ref)) {
                nb::object sub = nb::steal(referent(ref));
                if (!sub.is_valid())
                    continue;
                if (child == record.children_end[i] || record.children[child] != sub.ptr())
                    return false;
                ++child;
            }
        }
        if (child != record.children_end[i])
            return false;
    }
    return true;
}

/// The last walks, one per base, reused while they still hold.  Bounded: a
/// program that derives from many bases only replaces the oldest record.
constexpr size_t WALKS_KEPT = 16;
std::vector<WalkRecord> g_walks;
size_t g_next_walk = 0;

nb::list from_record(const WalkRecord &record) {
    nb::list found = korvell::owned<nb::list>(PyList_New((Py_ssize_t) record.found.size()));
    for (size_t i = 0; i < record.found.size(); ++i)
        PyList_SET_ITEM(found.ptr(), (Py_ssize_t) i, Py_NewRef(record.found[i]));
    return found;
}

nb::list all_implementations(nb::handle base) {
    if (!PyType_Check(base.ptr()))
        korvell::raise_not_exact(base, "base", "a class");
    for (const WalkRecord &record : g_walks)
        if (record.visited[0] == base.ptr() && still_holds(record, base))
            return from_record(record);
    WalkRecord record;
    nb::list found = walk(base, record);
    if (record.reusable) {
        for (WalkRecord &old : g_walks)
            if (old.visited[0] == base.ptr()) {
                old = std::move(record);
                return found;
            }
        if (g_walks.size() < WALKS_KEPT) {
            g_walks.push_back(std::move(record));
        } else {
            g_walks[g_next_walk] = std::move(record);
            g_next_walk = (g_next_walk + 1) % WALKS_KEPT;
        }
    }
    return found;
}

// ---------------------------------------------------------------------------
// join_designators.  Two exact str are joined by the plain rule; anything else
// takes the steps of the expression the rule stands for,
//     f"{left}_{right}" if left and right and "0" <= left[-1] <= "9"
//                          and "0" <= right[0] <= "9" else left + right,
// so that other arguments give the interpreter's own results and errors.

korvell::Kept g_zero_text, g_nine_text, g_separator, g_minus_one, g_zero;

using korvell::truth;

/// `"0" <= ch <= "9"` as a condition: a first comparison that fails has its
/// truth taken twice, once by the chain and once by the condition.
bool general_digit(nb::handle ch) {
    nb::object low = korvell::owned(PyObject_RichCompare(g_zero_text.ptr(), ch.ptr(), Py_LE));
    if (!truth(low))
        return truth(low);
    return truth(korvell::owned(PyObject_RichCompare(ch.ptr(), g_nine_text.ptr(), Py_LE)));
}

nb::object general_join(nb::handle left, nb::handle right) {
    if (truth(left) && truth(right) &&
        general_digit(korvell::owned(PyObject_GetItem(left.ptr(), g_minus_one.ptr()))) &&
        general_digit(korvell::owned(PyObject_GetItem(right.ptr(), g_zero.ptr())))) {
        nb::object l = korvell::owned(PyObject_Format(left.ptr(), nullptr));
        nb::object r = korvell::owned(PyObject_Format(right.ptr(), nullptr));
        nb::object head = korvell::owned(PyUnicode_Concat(l.ptr(), g_separator.ptr()));
        return korvell::owned(PyUnicode_Concat(head.ptr(), r.ptr()));
    }
    return korvell::owned(PyNumber_Add(left.ptr(), right.ptr()));
}

nb::object join_designators(nb::handle left, nb::handle right) {
    if (PyUnicode_CheckExact(left.ptr()) && PyUnicode_CheckExact(right.ptr())) {
        korvell::Text l = korvell::view_text(left), r = korvell::view_text(right);
        return korvell::make_str(korvell::join_pieces(l.view, r.view));
    }
    return general_join(left, right);
}

// ---------------------------------------------------------------------------
// Binding.

void bind_all_implementations(nb::module_ &m) {
    g_abcmeta.set(nb::module_::import_("abc").attr("ABCMeta"));
    g_isabstract.set(nb::module_::import_("inspect").attr("isabstract"));
    g_subclasses.set(nb::handle((PyObject *) &PyType_Type).attr("__subclasses__"));
    m.def("all_implementations", &all_implementations, "base"_a,
          nb::sig("def all_implementations(base: type[T]) -> list[type[T]]"),
          "Every concrete class derived from ``base``: depth first in creation order\n"
          "(pre-order over ``__subclasses__()``), each once, ``base`` itself never, and\n"
          "classes that are still abstract (``inspect.isabstract``) left out.");
}

void bind_join_designators(nb::module_ &m) {
    g_zero_text.set(nb::str("0"));
    g_nine_text.set(nb::str("9"));
    g_separator.set(nb::str("_"));
    g_minus_one.set(nb::int_(-1));
    g_zero.set(nb::int_(0));
    m.def("join_designators", &join_designators, "left"_a.none(), "right"_a.none(),
          nb::sig("def join_designators(left: str, right: str) -> str"),
          "Concatenate two designation pieces.\n\n"
          "Where ``left`` ends and ``right`` begins with an ASCII digit, one \"_\" keeps the\n"
          "two numbers apart (\"YCbCr422\" + \"8\" gives \"YCbCr422_8\").");
}

} // namespace

NB_MODULE(_subclasses, m) {
    g_mod.open(m, "The walk over a class's implementations and the joining of designation pieces.");
    bind_all_implementations(m);
    bind_join_designators(m);
}
