// tesselk.cpp -- `Size`, the number-of-bits part of a PFNC designation: one
// bit count per channel, parsed from a digit run and formatted back.
#include "binding.hpp"

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------------------
// Plain C++: the digit-run split and the formatting of machine-sized counts.

/// Floor modulo and division as the interpreter computes them, so that a
/// negative channel count behaves as it would in Python.
long long py_mod(long long a, long long b) {
    long long r = a % b;
    return (r != 0 && ((r < 0) != (b < 0))) ? r + b : r;
}
long long py_div(long long a, long long b) { return (a - py_mod(a, b)) / b; }

/// How a digit run of `run_length` characters divides among `channels`.
struct Split {
    bool shared;                  // one count that every channel shares
    long long digits_per_channel; // for per-channel counts
};

Split split_run(long long run_length, long long channels) {
    if (py_mod(run_length, channels) != 0)
        return {true, 0};
    return {false, py_div(run_length, channels)};
}

/// Designation of machine-sized counts: "" for none, the count once when all
/// are equal, otherwise every count zero-padded to the width of the largest.
std::string format_counts(const std::vector<long long> &counts) {
    if (counts.empty())
        return std::string();
    if (std::all_of(counts.begin(), counts.end(), [&](long long c) { return c == counts[0]; }))
        return std::to_string(counts[0]);
    size_t width = std::to_string(*std::max_element(counts.begin(), counts.end())).size();
    std::string out;
    for (long long c : counts) {
        std::string digits = std::to_string(c < 0 ? -c : c);
        size_t body = digits.size() + (c < 0 ? 1 : 0);
        if (c < 0)
            out += '-';
        if (body < width)
            out.append(width - body, '0');
        out += digits;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Binding.

korvell::ModuleRef g_mod;

struct Size {
    nb::object sizes = nb::none();
};

using SizeGC = korvell::ObjectFields<Size, &Size::sizes>;

/// The entries of an exact list as machine integers, when every one of them
/// is an exact int that fits; the general path handles everything else.
std::optional<std::vector<long long>> machine_counts(nb::handle sizes) {
    if (!PyList_CheckExact(sizes.ptr()))
        return std::nullopt;
    Py_ssize_t n = PyList_GET_SIZE(sizes.ptr());
    std::vector<long long> out;
    out.reserve((size_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(sizes.ptr(), i);
        if (!PyLong_CheckExact(item))
            return std::nullopt;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow || v == LLONG_MIN)
            return std::nullopt;
        out.push_back(v);
    }
    return out;
}

[[noreturn]] void reject_sizes(nb::handle sizes) {
    korvell::raise_error(g_mod.get("PixelFormatValueReject"),
                         "Sizes must all be larger than 0 " + korvell::repr_text(sizes) + ".");
}

void validate(nb::handle sizes) {
    if (auto counts = machine_counts(sizes)) {
        for (long long c : *counts)
            if (c <= 0)
                reject_sizes(sizes);
        return;
    }
    nb::object zero = nb::int_(0);
    for (nb::handle entry : sizes) {
        int le = PyObject_RichCompareBool(entry.ptr(), zero.ptr(), Py_LE);
        if (le < 0)
            throw nb::python_error();
        if (le)
            reject_sizes(sizes);
    }
}

/// Designation of arbitrary entries: each becomes an int through `__index__`.
std::string format_general(nb::handle sizes) {
    std::vector<nb::object> values;
    for (nb::handle entry : sizes) {
        PyObject *v = PyNumber_Index(entry.ptr());
        if (!v)
            throw nb::python_error();
        values.push_back(nb::steal(v));
    }
    if (values.empty())
        return std::string();
    bool all_equal = true;
    nb::object largest = values[0];
    for (const nb::object &v : values) {
        all_equal = all_equal && v.equal(values[0]);
        if (largest < v)
            largest = v;
    }
    if (all_equal)
        return korvell::int_text(values[0]);
    size_t width = korvell::int_text(largest).size();
    std::string out;
    for (const nb::object &v : values) {
        std::string text = korvell::int_text(v);
        bool negative = !text.empty() && text[0] == '-';
        if (negative)
            out += '-';
        if (text.size() < width)
            out.append(width - text.size(), '0');
        out.append(text, negative ? 1 : 0, std::string::npos);
    }
    return out;
}

std::string designation(const Size &s) {
    if (auto counts = machine_counts(s.sizes))
        return format_counts(*counts);
    return format_general(s.sizes);
}

nb::object new_size(nb::list sizes) { return nb::cast(Size{std::move(sizes)}); }

nb::object from_designation(nb::handle designation_obj, nb::handle channels_obj) {
    nb::str designation = korvell::exact_str(designation_obj, "designation");
    PyObject *channels_index = PyNumber_Index(channels_obj.ptr());
    if (!channels_index) {
        PyErr_Clear();
        korvell::raise_not_exact(channels_obj, "number_of_channels", "int");
    }
    nb::object channels_int = nb::steal(channels_index);
    // A count beyond the machine range exceeds every digit run, so clamping it
    // keeps every decision below; the shared list is built from the exact int.
    int overflow = 0;
    long long channels = PyLong_AsLongLongAndOverflow(channels_int.ptr(), &overflow);
    if (overflow)
        channels = overflow > 0 ? LLONG_MAX : LLONG_MIN;

    if (channels == 0)
        return nb::make_tuple(new_size(korvell::new_list()), designation);

    korvell::Text text = korvell::view_text(designation);
    std::string_view rest = text.view;
    if (rest.empty())
        return nb::none();
    if (rest.front() == '_')
        rest.remove_prefix(1);
    size_t run_length = korvell::digit_run(rest);
    if (run_length == 0)
        return nb::none();
    std::string_view run = rest.substr(0, run_length);
    size_t rest_offset = text.view.size() - rest.size() + run_length;

    Split split = split_run((long long) run_length, channels);
    if (split.shared) {
        nb::object count = korvell::int_from_digits(run);
        // `[count] * channels`: empty for a negative count, and an oversized
        // count fails at once instead of growing a list until memory runs out.
        nb::list one = korvell::new_list();
        one.append(count);
        PyObject *repeated = PyNumber_Multiply(one.ptr(), channels_int.ptr());
        if (!repeated)
            throw nb::python_error();
        nb::list sizes = nb::steal<nb::list>(repeated);
        validate(sizes);   // a shared count of 0 is the caller's error
        return nb::make_tuple(new_size(std::move(sizes)), korvell::rest_of(text, rest_offset));
    }
    if (split.digits_per_channel <= 0)
        return nb::none();
    size_t width = (size_t) split.digits_per_channel;
    nb::list sizes = korvell::new_list();
    for (long long i = 0; i < channels; ++i) {
        std::string_view chunk = run.substr((size_t) i * width, width);
        if (chunk.find_first_not_of('0') == std::string_view::npos)
            return nb::none();   // a per-channel count of 0 reads as nothing
        sizes.append(korvell::int_from_digits(chunk));
    }
    return nb::make_tuple(new_size(std::move(sizes)), korvell::rest_of(text, rest_offset));
}

} // namespace

NB_MODULE(tesselk, m) {
    m.doc() = "Channel bit sizes: the number-of-bits part of a PFNC pixel-format designation.";
    g_mod.bind(m);
    korvell::bind_from(m, "korvell.pfnc.exceptions", "PixelFormatValueReject");

    nb::class_<Size> cls(m, "Size", nb::type_slots(SizeGC::slots));
    cls.doc() = "Bit count of each channel of a pixel format, in channel order.";
    cls.def(
           "__init__",
           [](nb::pointer_and_handle<Size> self, nb::handle sizes) {
               nb::list list = korvell::exact_list(sizes, "sizes");
               if (Py_TYPE(self.h.ptr()) == (PyTypeObject *) nb::type<Size>().ptr()) {
                   validate(list);
                   // The entries' Python code may have initialised this very
                   // object through a nested __init__: replace its field then.
                   if (nb::inst_ready(self.h))
                       self.p->sizes = std::move(list);
                   else
                       new (self.p) Size{std::move(list)};
                   return;
               }
               // A subclass may override __post_init__, which reads the stored
               // field: construct first, and undo the construction if it fails.
               new (self.p) Size{std::move(list)};
               nb::inst_mark_ready(self.h);
               try {
                   self.h.attr("__post_init__")();
               } catch (...) {
                   nb::inst_destruct(self.h);
                   throw;
               }
           },
           "sizes"_a.none(), nb::sig("def __init__(self, sizes: list[int]) -> None"))
        .def(
            "__post_init__",
            [](nb::handle self) {
                nb::object sizes = korvell::self_of<Size>(self).sizes;   // kept: the entries' code may replace it
                validate(sizes);
            },
            "Check that every entry is greater than 0; raise PixelFormatValueReject otherwise.")
        .def_prop_rw(
            "sizes", [](const Size &s) { return s.sizes; },
            [](Size &s, nb::handle value) { s.sizes = nb::borrow(value); }, nb::arg("value").none(),
            nb::for_getter(nb::sig("def sizes(self) -> list[int]")),
            nb::for_setter(nb::sig("def sizes(self, value: list[int], /) -> None")),
            "Bit count of each channel.")
        .def("__len__",
             [](const Size &s) {
                 korvell::RecursionGuard guard(" in Size.__len__");
                 return nb::len(s.sizes);
             })
        .def(
            "__getitem__",
            [](const Size &s, nb::handle item) -> nb::object {
                korvell::RecursionGuard guard(" in Size.__getitem__");
                nb::object sizes = s.sizes;   // kept: the index's __index__ may replace the field
                return sizes[item];
            },
            "item"_a.none(),
            nb::sig("def __getitem__(self, item: int) -> int"))
        .def(
            "__eq__",
            [](const Size &s, nb::handle other) {
                const Size *o = korvell::instance_of<Size>(other);
                if (!o)
                    return false;
                // Both lists are kept while their entries compare: an entry's
                // __eq__ may replace either field.
                nb::object mine = s.sizes, theirs = o->sizes;
                return mine.equal(theirs);
            },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__repr__",
             [](nb::handle self) {
                 nb::object name = nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__qualname__");
                 return nb::str("{}(sizes={!r})").format(name, korvell::self_of<Size>(self).sizes);
             })
        .def("designation", &designation,
             "The designation text: the count once when all channels share it, otherwise\n"
             "every count zero-padded to the width of the largest (5, 6, 5 gives \"565\").")
        .def_static("from_designation", &from_designation, "designation"_a.none(), "number_of_channels"_a.none(),
                    nb::sig("def from_designation(designation: str, number_of_channels: int) -> "
                            "tuple[Size, str] | None"),
                    "Parse the bit counts from the front of ``designation``.\n\n"
                    "Returns (size, remaining text), or None when the text holds no counts.\n"
                    "A digit run whose length divides by the channel count is read per channel\n"
                    "(\"565\" with 3 channels gives 5, 6, 5); otherwise it is one count shared by\n"
                    "every channel (\"10\" with 3 channels gives 10, 10, 10).")
        .def("__getstate__", [](const Size &s) { return nb::make_tuple(s.sizes); })
        .def("__setstate__", [](Size &s, nb::tuple state) {
            if (nb::len(state) != 1)
                throw nb::value_error("Size state must hold 1 field");
            new (&s) Size{state[0]};
        });
    cls.attr("__hash__") = nb::none();
    cls.attr("__match_args__") = nb::make_tuple("sizes");
    korvell::use_flat_dealloc(cls);
}
