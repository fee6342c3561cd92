// tesselk.cpp -- `Size`, the number-of-bits part of a PFNC designation: one
// bit count per channel, parsed from a digit run and formatted back.
#include "binding.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <string_view>
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

bool all_zeros(std::string_view digits) { return digits.find_first_not_of('0') == std::string_view::npos; }

/// What the front of a designation says about `channels` bit counts (a count
/// of 0 is the caller's case).  An optional "_" comes before the digit run; a
/// run whose length divides among the channels is read per channel, any other
/// is one count that every channel shares.
struct SizeReading {
    enum Kind { nothing, shared, per_channel } kind = nothing;
    std::string_view run;   // the digit run
    size_t width = 0;       // digits per channel, for per-channel counts
    size_t rest = 0;        // byte offset of the text after the run (all before it is ASCII)
};

SizeReading read_sizes(std::string_view text, long long channels) {
    SizeReading reading;
    std::string_view rest = text;
    if (!rest.empty() && rest.front() == '_')
        rest.remove_prefix(1);
    size_t run_length = korvell::digit_run(rest);
    if (run_length == 0)
        return reading;
    reading.run = rest.substr(0, run_length);
    reading.rest = text.size() - rest.size() + run_length;
    if (py_mod((long long) run_length, channels) != 0) {
        reading.kind = SizeReading::shared;
        return reading;
    }
    long long width = py_div((long long) run_length, channels);
    if (width <= 0)
        return reading;
    reading.kind = SizeReading::per_channel;
    reading.width = (size_t) width;
    return reading;
}

/// Machine-sized counts, inline for the usual few channels.
class Counts {
public:
    void resize(size_t n) {
        size_ = n;
        if (n > small_.size())
            large_.resize(n);
    }
    long long *data() { return size_ > small_.size() ? large_.data() : small_.data(); }
    const long long *data() const { return size_ > small_.size() ? large_.data() : small_.data(); }
    size_t size() const { return size_; }

private:
    std::array<long long, 16> small_;
    std::vector<long long> large_;
    size_t size_ = 0;
};

/// Designation of machine-sized counts: "" for none, the count once when all
/// are equal, otherwise every count zero-padded to the width of the largest.
std::string format_counts(const long long *counts, size_t n) {
    if (n == 0)
        return std::string();
    if (std::all_of(counts, counts + n, [&](long long c) { return c == counts[0]; }))
        return std::to_string(counts[0]);
    size_t width = std::to_string(*std::max_element(counts, counts + n)).size();
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        long long c = counts[i];
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
// Python values.

korvell::ModuleRef g_mod;

struct Size {
    nb::object sizes = nb::none();
};

using SizeGC = korvell::ObjectFields<Size, &Size::sizes>;

/// Every entry of an exact list as a machine integer into `out`, when each
/// is an exact int that fits; false sends the caller the general way.
bool machine_counts(nb::handle sizes, Counts &out) {
    if (!PyList_CheckExact(sizes.ptr()))
        return false;
    Py_ssize_t n = PyList_GET_SIZE(sizes.ptr());
    out.resize((size_t) n);
    long long *data = out.data();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(sizes.ptr(), i);
        if (!PyLong_CheckExact(item))
            return false;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow || v == LLONG_MIN)
            return false;
        data[i] = v;
    }
    return true;
}

[[noreturn]] void reject_sizes(nb::handle sizes) {
    korvell::raise_error(g_mod.get("PixelFormatValueReject"),
                         "Sizes must all be larger than 0 " + korvell::repr_text(sizes) + ".");
}

/// Sign of an exact int without calling into Python.
int exact_int_sign(PyObject *value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow)
        return overflow;
    return (v > 0) - (v < 0);
}

/// Every entry greater than 0, in list order.  Exact ints are judged in C++;
/// other entries compare through the interpreter, whose code may change the
/// list, so the length is read at every step as a list iterator does.
void validate(nb::handle sizes) {
    if (PyList_CheckExact(sizes.ptr())) {
        nb::object zero;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sizes.ptr()); ++i) {
            nb::object entry = nb::borrow(PyList_GET_ITEM(sizes.ptr(), i));
            if (PyLong_CheckExact(entry.ptr())) {
                if (exact_int_sign(entry.ptr()) <= 0)
                    reject_sizes(sizes);
                continue;
            }
            if (!zero.is_valid())
                zero = nb::int_(0);
            if (korvell::compare(entry, zero, Py_LE))
                reject_sizes(sizes);
        }
        return;
    }
    nb::object zero = nb::int_(0);
    for (nb::handle entry : sizes) {
        if (korvell::compare(entry, zero, Py_LE))
            reject_sizes(sizes);
    }
}

/// Designation of arbitrary entries: each becomes an int through `__index__`.
std::string format_general(nb::handle sizes) {
    std::vector<nb::object> values;
    for (nb::handle entry : sizes)
        values.push_back(korvell::owned(PyNumber_Index(entry.ptr())));
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

nb::str designation(const Size &s) {
    Counts counts;
    if (machine_counts(s.sizes, counts)) {
        std::string text = format_counts(counts.data(), counts.size());
        return korvell::owned<nb::str>(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t) text.size()));
    }
    return korvell::make_str(format_general(s.sizes));
}

/// A Size that keeps `sizes`, made without a call of its __init__.
nb::object new_size(nb::handle sizes) { return korvell::new_record(Size{nb::borrow(sizes)}); }

/// (size, rest): the text after the run, which begins at a character offset
/// equal to its byte offset since all before it is ASCII.
nb::object size_and_rest(nb::handle sizes, nb::handle text, size_t rest) {
    nb::object size = new_size(sizes);
    return korvell::pair(size, korvell::owned(PyUnicode_Substring(text.ptr(), (Py_ssize_t) rest, PY_SSIZE_T_MAX)));
}

/// Longest shared list built here instead of by `[count] * channels`, which
/// also fails at once, before growing, for a count no memory could hold.
constexpr long long kDirectShared = 1 << 16;

/// `[count] * channels`: empty for a negative count.
nb::list shared_sizes(nb::handle count, nb::handle channels_int, long long channels) {
    if (channels < 0 || channels > kDirectShared) {
        nb::list one = korvell::new_list();
        korvell::append(one, count);
        return korvell::owned<nb::list>(PyNumber_Multiply(one.ptr(), channels_int.ptr()));
    }
    nb::list sizes = korvell::owned<nb::list>(PyList_New((Py_ssize_t) channels));
    for (long long i = 0; i < channels; ++i)
        PyList_SET_ITEM(sizes.ptr(), (Py_ssize_t) i, count.inc_ref().ptr());
    return sizes;
}

nb::object from_designation(nb::handle designation_obj, nb::handle channels_obj) {
    nb::str designation = korvell::exact_str(designation_obj, "designation");
    PyObject *channels_index = PyNumber_Index(channels_obj.ptr());
    if (!channels_index) {
        PyErr_Clear();
        korvell::raise_not_exact(channels_obj, "number_of_channels", "int");
    }
    nb::object channels_int = nb::steal(channels_index);
    // A count beyond the machine range exceeds every digit run, so clamping it
    // keeps every decision; the shared list is built from the exact int.
    int overflow = 0;
    long long channels = PyLong_AsLongLongAndOverflow(channels_int.ptr(), &overflow);
    if (overflow)
        channels = overflow > 0 ? LLONG_MAX : LLONG_MIN;

    if (channels == 0)
        return korvell::pair(new_size(korvell::new_list()), designation);

    korvell::Text text = korvell::view_text(designation);
    SizeReading reading = read_sizes(text.view, channels);
    if (reading.kind == SizeReading::nothing)
        return nb::none();

    if (reading.kind == SizeReading::shared) {
        nb::object count = korvell::int_from_digits(reading.run);
        nb::list sizes = shared_sizes(count, channels_int, channels);
        if (all_zeros(reading.run) && PyList_GET_SIZE(sizes.ptr()) > 0)
            reject_sizes(sizes);   // a shared count of 0 is the caller's error
        return size_and_rest(sizes, designation, reading.rest);
    }
    // Chunks are read in order: a count too long to convert fails before a
    // later chunk of zeros could make the reading come to nothing.
    nb::list sizes = korvell::owned<nb::list>(PyList_New((Py_ssize_t) channels));
    for (long long i = 0; i < channels; ++i) {
        std::string_view chunk = reading.run.substr((size_t) i * reading.width, reading.width);
        if (all_zeros(chunk))
            return nb::none();   // a per-channel count of 0 reads as nothing
        PyList_SET_ITEM(sizes.ptr(), (Py_ssize_t) i, korvell::int_from_digits(chunk).release().ptr());
    }
    return size_and_rest(sizes, designation, reading.rest);
}

// ---------------------------------------------------------------------------
// Methods as bound.

void size_init(nb::pointer_and_handle<Size> self, nb::handle sizes) {
    nb::list list = korvell::exact_list(sizes, "sizes");
    if (korvell::exact_type(self.h, korvell::bound_type<Size>)) {
        validate(list);
        // The entries' Python code may have initialised this very object
        // through a nested __init__: replace its field then.
        if (nb::inst_ready(self.h))
            self.p->sizes = std::move(list);
        else
            new (self.p) Size{std::move(list)};
        return;
    }
    // A subclass may override __post_init__, which reads the stored field:
    // construct first, and undo the construction if it fails.
    korvell::construct_then(self, Size{std::move(list)}, [&] { self.h.attr("__post_init__")(); });
}

void size_post_init(nb::handle self) {
    nb::object sizes = korvell::self_of<Size>(self).sizes;   // kept: the entries' code may replace it
    validate(sizes);
}

bool size_eq(const Size &s, nb::handle other) {
    return korvell::field_equal<Size, &Size::sizes>(s, korvell::record_of<Size>(other));
}

nb::str size_repr(nb::handle self) {
    nb::object name = nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__qualname__");
    return nb::str("{}(sizes={!r})").format(name, korvell::self_of<Size>(self).sizes);
}

void bind_size(nb::module_ &m) {
    nb::class_<Size> cls(m, "Size", nb::type_slots(SizeGC::slots));
    korvell::bound_type<Size> = (PyTypeObject *) cls.ptr();
    cls.doc() = "Bit count of each channel of a pixel format, in channel order.";
    cls.def("__init__", &size_init, "sizes"_a.none(), nb::sig("def __init__(self, sizes: list[int]) -> None"))
        .def("__post_init__", &size_post_init,
             "Check that every entry is greater than 0; raise PixelFormatValueReject otherwise.");
    korvell::def_list_field<&Size::sizes>(cls, "sizes", "int", "Bit count of each channel.");
    cls.def("__eq__", &size_eq, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__repr__", &size_repr)
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
                    "every channel (\"10\" with 3 channels gives 10, 10, 10).");
    korvell::def_field_state<&Size::sizes>(cls);
    korvell::finish_field_record(cls, "sizes");
}

} // namespace

NB_MODULE(tesselk, m) {
    g_mod.open(m, "Channel bit sizes: the number-of-bits part of a PFNC pixel-format designation.",
               {{"korvell.pfnc.exceptions", {"PixelFormatValueReject"}}});
    bind_size(m);
}
