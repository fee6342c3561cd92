"""Size: the per-channel bit counts, their parse and their designation."""

import pickle
import sys
import time

import pytest
from hypothesis import given, strategies as st

from korvell.pfnc.exceptions import PixelFormatValueReject
from korvell.pfnc.genicam import tesselk
from korvell.pfnc.genicam.tesselk import Size


class TestRecord:
    def test_keeps_the_given_list_object(self):
        sizes = [8, 8, 8]
        size = Size(sizes)
        assert size.sizes is sizes
        assert Size(sizes=sizes).sizes is sizes

    def test_field_is_reassignable_without_revalidation(self):
        size = Size([8])
        size.sizes = [0, -3]
        assert size.sizes == [0, -3]
        size.sizes.append(5)
        assert len(size) == 3

    @pytest.mark.parametrize("sizes", [[8, 8, 8], [], [5, 6, 5]], ids=str)
    def test_repr(self, sizes):
        assert repr(Size(sizes)) == f"Size(sizes={sizes!r})"

    def test_equality_never_declines(self):
        assert Size([5, 6, 5]) == Size([5, 6, 5])
        assert Size([5, 6, 5]) != Size([5, 6])
        assert Size([5, 6, 5]) != [5, 6, 5]
        assert (Size([8]) == None) is False  # noqa: E711
        assert Size([8]).__eq__("8") is False

    def test_subclass_instances_compare_by_value(self):
        class Sub(Size):
            pass

        assert Sub([1, 2]) == Size([1, 2])
        assert repr(Sub([1, 2])).endswith(".Sub(sizes=[1, 2])")  # the qualified name, as records do

    def test_unhashable(self):
        with pytest.raises(TypeError, match="unhashable"):
            hash(Size([8]))
        with pytest.raises(TypeError):
            {Size([8])}

    def test_len_and_index_follow_list_rules(self):
        size = Size([10, 12, 14])
        assert len(size) == 3
        assert size[0] == 10 and size[-1] == 14
        with pytest.raises(IndexError):
            size[3]

    @pytest.mark.parametrize("bad", [(8, 8), None, "88", 8])
    def test_sizes_must_be_exactly_a_list(self, bad):
        with pytest.raises(TypeError, match="sizes"):
            Size(bad)

    def test_list_subclass_is_refused(self):
        class MyList(list):
            pass

        with pytest.raises(TypeError, match="sizes"):
            Size(MyList([8]))

    def test_pickle_round_trip(self):
        size = Size([5, 6, 5])
        assert pickle.loads(pickle.dumps(size)) == size


class TestValidation:
    @pytest.mark.parametrize(
        "sizes, shown",
        [([0], "[0]"), ([8, -1], "[8, -1]"), ([8, 0], "[8, 0]"), ([1, 0, 5], "[1, 0, 5]")],
        ids=str,
    )
    def test_non_positive_entry_rejected_with_whole_list(self, sizes, shown):
        with pytest.raises(PixelFormatValueReject) as info:
            Size(sizes)
        assert str(info.value) == f"Sizes must all be larger than 0 {shown}."

    def test_empty_list_is_valid(self):
        assert len(Size([])) == 0

    def test_post_init_rechecks_on_demand(self):
        size = Size([8])
        size.sizes = [0]
        with pytest.raises(PixelFormatValueReject):
            size.__post_init__()

    def test_subclass_post_init_override_runs_at_construction(self):
        seen = []

        class Lenient(Size):
            def __post_init__(self):
                seen.append(list(self.sizes))

        assert Lenient([0]).sizes == [0]
        assert seen == [[0]]

    def test_subclass_post_init_failure_propagates(self):
        class Strict(Size):
            def __post_init__(self):
                raise RuntimeError("nope")

        with pytest.raises(RuntimeError, match="nope"):
            Strict([8])

    def test_monkeypatched_error_type_is_raised(self, monkeypatch):
        class Marker(Exception):
            pass

        monkeypatch.setattr(tesselk, "PixelFormatValueReject", Marker)
        with pytest.raises(Marker):
            Size([0])


class TestDesignation:
    @pytest.mark.parametrize(
        "sizes, text",
        [
            ([], ""),
            ([8], "8"),
            ([8, 8, 8], "8"),
            ([10, 10, 10], "10"),
            ([12], "12"),
            ([5, 6, 5], "565"),
            ([8, 10], "0810"),
            ([1, 10], "0110"),
            ([10, 8, 8, 8], "10080808"),
            ([10**30, 1], str(10**30) + "0" * 30 + "1"),
        ],
        ids=lambda v: repr(v) if isinstance(v, str) else None,
    )
    def test_formatting(self, sizes, text):
        assert Size(sizes).designation() == text

    def test_huge_counts_are_written_exactly(self):
        big = int("7" * 40)
        assert Size([big]).designation() == "7" * 40

    def test_writing_a_count_over_the_digit_limit_raises(self):
        limit = sys.get_int_max_str_digits()
        if limit == 0:
            pytest.skip("no integer-string limit in this interpreter")
        size = Size([10 ** (limit + 1), 1])
        with pytest.raises(ValueError):
            size.designation()


PARSE_TABLE = [
    ("8", 3, [8, 8, 8], ""),
    ("10p", 3, [10, 10, 10], "p"),
    ("10p32", 3, [10, 10, 10], "p32"),
    ("565", 3, [5, 6, 5], ""),
    ("12", 2, [1, 2], ""),
    ("008", 1, [8], ""),
    ("_8", 1, [8], ""),
    ("", 0, [], ""),
    ("abc", 0, [], "abc"),
    ("12p", 0, [], "12p"),
    ("8²", 1, [8], "²"),
    ("12Packed", 1, [12], "Packed"),
]

PARSE_NONE = [("__8", 1), ("", 3), ("p8", 1), ("0", 1), ("808", 3), ("٣", 1), ("²", 1)]


class TestFromDesignation:
    @pytest.mark.parametrize("text, channels, sizes, rest", PARSE_TABLE, ids=[r[0] or "(empty)" for r in PARSE_TABLE])
    def test_parse(self, text, channels, sizes, rest):
        size, remainder = Size.from_designation(text, channels)
        assert type(size) is Size
        assert size.sizes == sizes
        assert remainder == rest

    @pytest.mark.parametrize("text, channels", PARSE_NONE, ids=[r[0] or "(empty)" for r in PARSE_NONE])
    def test_nothing_parsed(self, text, channels):
        assert Size.from_designation(text, channels) is None

    @pytest.mark.parametrize("text, channels", [("0", 3), ("00", 3), ("0p", 2)])
    def test_shared_count_of_zero_raises(self, text, channels):
        with pytest.raises(PixelFormatValueReject, match=r"Sizes must all be larger than 0 \[0"):
            Size.from_designation(text, channels)

    def test_zero_channels_returns_the_same_text(self):
        text = "".join(["1", "2x"])
        size, rest = Size.from_designation(text, 0)
        assert rest is text

    @pytest.mark.parametrize("bad", [None, b"8", 8, type("S", (str,), {})("8")], ids=["None", "bytes", "int", "str-subclass"])
    def test_designation_must_be_exactly_str(self, bad):
        with pytest.raises(TypeError, match="designation"):
            Size.from_designation(bad, 1)

    def test_designation_type_checked_even_for_zero_channels(self):
        with pytest.raises(TypeError, match="designation"):
            Size.from_designation(None, 0)

    @pytest.mark.parametrize("bad", [None, "3", 3.0])
    def test_channel_count_must_be_an_integer(self, bad):
        with pytest.raises(TypeError, match="number_of_channels"):
            Size.from_designation("8", bad)

    def test_forty_digit_run_is_exact(self):
        run = "1234567890" * 4
        assert Size.from_designation(run, 1)[0].sizes == [int(run)]
        # 40 digits do not divide among 3 channels: one shared count
        assert Size.from_designation(run + "x", 3) == (Size([int(run)] * 3), "x")

    def test_forty_digit_run_split_per_channel(self):
        run = "1" * 20 + "2" * 20
        assert Size.from_designation(run, 2)[0].sizes == [int("1" * 20), int("2" * 20)]

    def test_run_over_the_digit_limit_raises_at_once(self):
        limit = sys.get_int_max_str_digits()
        if limit == 0:
            pytest.skip("no integer-string limit in this interpreter")
        with pytest.raises(ValueError, match="limit"):
            Size.from_designation("9" * (limit + 1), 1)

    def test_per_channel_chunks_under_the_limit_are_fine(self):
        limit = sys.get_int_max_str_digits()
        if limit == 0:
            pytest.skip("no integer-string limit in this interpreter")
        size, _ = Size.from_designation("1" * (2 * limit), 2)
        assert size.sizes == [int("1" * limit)] * 2

    def test_long_text_that_is_mostly_not_digits(self):
        text = "8" + "x" * 1_000_000
        start = time.perf_counter()
        size, rest = Size.from_designation(text, 1)
        assert time.perf_counter() - start < 5  # a guard against quadratic work, not a benchmark
        assert size.sizes == [8] and len(rest) == 1_000_000

    def test_non_ascii_text_after_the_run_is_kept(self):
        assert Size.from_designation("10Ä€😀", 1) == (Size([10]), "Ä€😀")

    def test_lone_surrogates_survive(self):
        assert Size.from_designation("8\ud800", 1) == (Size([8]), "\ud800")

    def test_negative_channel_count_does_not_crash(self):
        result = Size.from_designation("88", -1)
        assert result is None or isinstance(result[0], Size)


@given(st.lists(st.integers(min_value=1, max_value=10**12), min_size=1, max_size=6))
def test_designation_reads_back(sizes):
    """A Size whose counts differ, or whose shared count cannot be split, reads back unchanged."""
    text = Size(sizes).designation()
    n = len(sizes)
    shared = all(s == sizes[0] for s in sizes)
    if shared and n > 1 and len(text) % n == 0:
        return  # a shared count such as 12, 12 is read per channel
    assert Size.from_designation(text + "p", n) == (Size(sizes), "p")


def test_module_is_compiled():
    assert not tesselk.__file__.endswith(".py")
    assert tesselk.__name__ == "korvell.pfnc.genicam.tesselk"
    assert Size.__module__ == "korvell.pfnc.genicam.tesselk"


# Machine-sized counts are handled in C++ only while every entry is an exact
# int of an exact list; everything else takes the interpreter's rules.  Both
# ways are checked against the same rules written out in Python.


def _reference_designation(sizes):
    values = [v.__index__() for v in sizes]
    if not values:
        return ""
    if all(v == values[0] for v in values):
        return str(values[0])
    width = len(str(max(values)))
    return "".join(("-" if v < 0 else "") + str(abs(v)).zfill(width - (v < 0)) for v in values)


class _Bits(int):
    """An int that is not exactly an int."""


@pytest.mark.parametrize(
    "sizes",
    [
        [5, 6, 5],
        [_Bits(5), 6, 5],
        [True, 10],
        list(range(1, 17)),
        list(range(1, 18)),
        [2**63 - 1, 3],
        [2**63, 3],
        [-(2**63), 3],
        [7] * 40,
        [-5, 12],
        [-100, 5],
    ],
    ids=["small", "int-subclass", "bool", "16", "17", "int64-max", "past-int64", "int64-min", "40-alike", "negative", "negative-widest"],
)
def test_designation_matches_the_reference(sizes):
    size = Size([8])
    size.sizes = sizes  # unvalidated, as a reassigned field may be
    assert size.designation() == _reference_designation(sizes)


class _Sneaky(int):
    """Compares like an int, and changes the list it sits in when compared."""

    def __le__(self, other):
        self.target.append(self.extra)
        return int(self) <= other


@pytest.mark.parametrize("extra, rejected", [(0, True), (3, False), (_Bits(-1), True)], ids=["zero", "positive", "subclass"])
def test_entries_added_during_validation_are_checked_like_a_list_iterator(extra, rejected):
    sizes = [4]
    sneaky = _Sneaky(8)
    sneaky.target, sneaky.extra = sizes, extra
    sizes.append(sneaky)
    if rejected:
        with pytest.raises(PixelFormatValueReject):
            Size(sizes)
    else:
        assert Size(sizes).sizes == [4, 8, extra]


@pytest.mark.parametrize("channels", [3, 2**16, 2**16 + 1, -2, -(2**70)], ids=str)
@pytest.mark.parametrize("text", ["7p", "0p"])
def test_shared_count_reads_as_count_times_channels(text, channels):
    """A one-digit run is shared by any count but 1 and -1: the list is [count] * channels."""
    try:
        expected = [int(text[0])] * channels
    except OverflowError:
        with pytest.raises(OverflowError):
            Size.from_designation(text, channels)
        return
    if 0 in expected:
        with pytest.raises(PixelFormatValueReject, match=r"^Sizes must all be larger than 0 \[0"):
            Size.from_designation(text, channels)
        return
    size, rest = Size.from_designation(text, channels)
    assert (size.sizes, rest) == (expected, "p")
