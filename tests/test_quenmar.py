"""Interface-specific suffixes: the factory, the fixed words and component sequencing."""

import abc
import gc
import logging
import pickle
import re
import time

import pytest
from hypothesis import given, strategies as st

from korvell.pfnc._internal.utils import all_implementations
from korvell.pfnc.exceptions import ParseReject, PixelFormatValueReject
from korvell.pfnc.genicam import quenmar
from korvell.pfnc.genicam.components import Component, Components, GenicamComponents, LMNLocation, Location
from korvell.pfnc.genicam.quenmar import ComponentsSequencing, InterfaceSpecific, Planar, SemiPlanar
from korvell.pfnc.genicam.tesselk import Size

LOGGER = "korvell.pfnc.genicam.quenmar"


@pytest.fixture(autouse=True)
def _forget_test_subclasses():
    # Classes derived in a test stay registered with their bases until collected;
    # collect them so that the factory of the next test does not see them.
    yield
    gc.collect()


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return lambda: [r.getMessage() for r in caplog.records if r.name == LOGGER]


def comps(names, fields=None, location=None):
    """Components with the given channel names; GenicamComponents when a location is given."""
    if fields is not None:
        location = LMNLocation(fields)
    if location is None:
        return Components(names)
    return GenicamComponents(names, location)


def size(n):
    return Size([8] * n)


RGB = comps([Component.R, Component.G, Component.B])
YCC = ["Y", "Cb", "Cr"]


class TestModule:
    def test_names_bound_in_order(self):
        names = [n for n in vars(quenmar) if not n.startswith("_")]
        assert names == [
            "ABCMeta", "abstractmethod", "getLogger", "Self", "ParseReject", "PixelFormatValueReject",
            "Size", "channel_name", "Components", "LMNLocation", "GenicamComponents",
            "all_implementations", "logger", "InterfaceSpecific", "Planar", "SemiPlanar",
            "ComponentsSequencing",
        ]
        assert quenmar.Size is Size and quenmar.ParseReject is ParseReject

    def test_logger_and_implementation_order(self):
        assert quenmar.logger is logging.getLogger(LOGGER)
        # the package's own plane groups follow the three compiled implementations
        assert all_implementations(InterfaceSpecific)[:3] == [Planar, SemiPlanar, ComponentsSequencing]
        assert all(cls.__module__ == LOGGER for cls in (InterfaceSpecific, Planar, ComponentsSequencing))


class TestAbstractBase:
    def test_base_refused_with_the_interpreters_message(self):
        reference = abc.ABCMeta("InterfaceSpecific", (abc.ABC,), {
            "designation": abc.abstractmethod(lambda self: None),
            "from_designation": classmethod(abc.abstractmethod(lambda cls, *a: None)),
        })
        with pytest.raises(TypeError) as expected:
            reference()
        with pytest.raises(TypeError) as got:
            InterfaceSpecific()
        assert str(got.value) == str(expected.value)

    @pytest.mark.parametrize("body, refused", [
        ({}, True),
        ({"designation": lambda self: "x"}, True),
        ({"from_designation": classmethod(lambda cls, f, c, s: [])}, True),
        ({"designation": lambda self: "x", "from_designation": classmethod(lambda cls, f, c, s: [])}, False),
    ], ids=["nothing", "designation-only", "from_designation-only", "both"])
    def test_python_subclass_needs_both_operations(self, body, refused):
        sub = type("Sub", (InterfaceSpecific,), dict(body))
        if refused:
            with pytest.raises(TypeError, match="Can't instantiate abstract class Sub"):
                sub()
        else:
            assert sub().designation() == "x"

    def test_subclass_of_an_implementation_adding_an_abstract_operation_is_refused(self):
        class Extended(Planar):
            @abc.abstractmethod
            def extra(self): ...

        with pytest.raises(TypeError, match="Can't instantiate abstract class Extended"):
            Extended()

    @pytest.mark.parametrize("left, right, equal", [
        (Planar, Planar, True),
        (SemiPlanar, SemiPlanar, True),
        (Planar, SemiPlanar, False),
        (Planar, lambda: "Planar", False),
        (Planar, lambda: None, False),
        (lambda: type("SubPlanar", (Planar,), {})(), Planar, False),
        (Planar, lambda: ComponentsSequencing(()), False),
    ], ids=["planar", "semiplanar", "planar-semiplanar", "planar-str", "planar-None", "subclass", "sequencing"])
    def test_exact_class_equality(self, left, right, equal):
        left, right = left(), right()
        assert (left == right) is equal
        assert left.__eq__(right) is equal  # never declined to the other operand

    @pytest.mark.parametrize("make", [Planar, SemiPlanar, lambda: ComponentsSequencing(("Y",))],
                             ids=["Planar", "SemiPlanar", "ComponentsSequencing"])
    def test_unhashable_and_picklable(self, make):
        obj = make()
        with pytest.raises(TypeError, match="unhashable"):
            hash(obj)
        copy = pickle.loads(pickle.dumps(obj))
        assert type(copy) is type(obj) and copy == obj


PARSERS = {
    "create": lambda text, c, s: InterfaceSpecific.create(text, c, s),
    "Planar": Planar.from_designation,
    "SemiPlanar": SemiPlanar.from_designation,
    "ComponentsSequencing": ComponentsSequencing.from_designation,
}


class _Str(str):
    pass


@pytest.mark.parametrize("parser", PARSERS, ids=str)
@pytest.mark.parametrize("bad, shown", [(None, "NoneType"), (b"_Planar", "bytes"), (_Str("_Planar"), "_Str")],
                         ids=["None", "bytes", "str-subclass"])
def test_full_designation_must_be_exactly_str(parser, bad, shown):
    class Unreadable:  # any use of the components would fail differently
        def __len__(self):
            raise AssertionError("components read before the type check")

    with pytest.raises(TypeError) as info:
        PARSERS[parser](bad, Unreadable(), None)
    assert str(info.value) == f"full_designation must be str, not {shown}"


# Expected candidates as (class, constructor arguments, remaining text): compiled
# objects are built inside the tests, never kept at module level.
CREATE_TABLE = [
    ("", RGB, []),
    ("Planar", RGB, []),
    ("_Planar", RGB, [(Planar, (), "")]),
    ("__Planar", RGB, []),
    ("_Planarxyz", RGB, [(Planar, (), "xyz")]),
    ("_Semiplanar", RGB, [(SemiPlanar, (), "")]),
    ("_", RGB, []),
    ("_RGBx", RGB, [(ComponentsSequencing, (("R", "G", "B"),), "x")]),
    ("_Planar", comps(["Pl", "an", "ar"]), [(Planar, (), ""), (ComponentsSequencing, (("Pl", "an", "ar"),), "")]),
]


class TestCreate:
    @pytest.mark.parametrize("text, components, expected", CREATE_TABLE,
                             ids=[f"{r[0] or '(empty)'}-{r[1].designation()}" for r in CREATE_TABLE])
    def test_candidates(self, text, components, expected):
        result = InterfaceSpecific.create(text, components, size(3))
        assert result == [(cls(*args), rest) for cls, args, rest in expected]
        assert [type(obj) for obj, _ in result] == [cls for cls, _, _ in expected]

    def test_rejecting_implementation_is_logged_and_skipped(self, debug_log):
        class Refusal(ParseReject):
            pass

        class Rejecting(InterfaceSpecific):
            def designation(self):
                return "never"

            @classmethod
            def from_designation(cls, full_designation, components, sizes):
                raise Refusal(f"no {full_designation}")

        for _ in range(2):
            assert InterfaceSpecific.create("_Planar", RGB, size(3)) == [(Planar(), "")]
        assert debug_log() == ["Parsing rejected: no Planar Rejecting"] * 2

    def test_other_errors_propagate(self):
        class Broken(InterfaceSpecific):
            def designation(self):
                return ""

            @classmethod
            def from_designation(cls, full_designation, components, sizes):
                raise PixelFormatValueReject("broken")

        with pytest.raises(PixelFormatValueReject, match="broken"):
            InterfaceSpecific.create("_Planar", RGB, size(3))

    def test_subclasses_take_part_with_their_own_classes_and_overrides(self):
        class OwnPlanar(Planar):
            pass

        class Shouting(SemiPlanar):
            @classmethod
            def from_designation(cls, full_designation, components, sizes):
                return [(cls(), full_designation.upper())]

        result = InterfaceSpecific.create("_Planar!", RGB, size(3))
        assert [(type(o), rest) for o, rest in result] == [(Planar, "!"), (OwnPlanar, "!"), (Shouting, "PLANAR!")]
        assert OwnPlanar.create is InterfaceSpecific.create

    def test_implementations_are_looked_up_on_every_call(self, monkeypatch):
        asked = []

        def only_semiplanar(base):
            asked.append(base)
            return iter([SemiPlanar])

        monkeypatch.setattr(quenmar, "all_implementations", only_semiplanar)
        assert ComponentsSequencing.create("_Planar", RGB, size(3)) == []
        assert ComponentsSequencing.create("_Semiplanar", RGB, size(3)) == [(SemiPlanar(), "")]
        assert asked == [InterfaceSpecific, InterfaceSpecific]
        monkeypatch.setattr(quenmar, "all_implementations", lambda base: [InterfaceSpecific])
        with pytest.raises(TypeError):  # the base's own placeholder gives no candidates
            InterfaceSpecific.create("_Planar", RGB, size(3))

    def test_implementation_returning_nothing_is_a_type_error(self, monkeypatch):
        class Silent(Planar):
            @classmethod
            def from_designation(cls, full_designation, components, sizes):
                return None

        monkeypatch.setattr(quenmar, "all_implementations", lambda base: [Planar, Silent])
        with pytest.raises(TypeError):
            InterfaceSpecific.create("_Planar", RGB, size(3))


FIXED_TABLE = [
    (Planar, "Planar", ""),
    (Planar, "Planar_rest", "_rest"),
    (Planar, "PlanarSemiplanar", "Semiplanar"),
    (Planar, "Planaré😀\ud800", "é😀\ud800"),
    (Planar, "planar", None),
    (Planar, "PLANAR", None),
    (Planar, "", None),
    (Planar, "Plana", None),
    (Planar, "Semiplanar", None),
    (Planar, "SemiPlanar", None),
    (SemiPlanar, "Semiplanar", ""),
    (SemiPlanar, "Semiplanar8", "8"),
    (SemiPlanar, "SemiPlanar", None),
    (SemiPlanar, "Planar", None),
]


class TestFixedWords:
    @pytest.mark.parametrize("cls, text, rest", FIXED_TABLE, ids=[f"{r[0].__name__}-{r[1] or '(empty)'}" for r in FIXED_TABLE])
    @pytest.mark.parametrize("components, channels", [(RGB, 3), (Components([]), 0), (None, None)],
                             ids=["RGB", "no-channels", "None"])
    def test_parse_ignores_components_and_sizes(self, cls, text, rest, components, channels):
        sizes = None if channels is None else size(channels)
        result = cls.from_designation(text, components, sizes)
        if rest is None:
            assert result == []
        else:
            assert result == [(cls(), rest)] and type(result[0][0]) is cls

    @pytest.mark.parametrize("cls, word", [(Planar, "Planar"), (SemiPlanar, "Semiplanar")], ids=["Planar", "Semiplanar"])
    def test_designation_reads_back(self, cls, word):
        assert cls().designation() == word
        assert cls.from_designation(cls().designation(), RGB, size(3)) == [(cls(), "")]
        assert repr(cls()) == f"{cls.__name__}()"

    @pytest.mark.parametrize("cls", [Planar, SemiPlanar], ids=lambda c: c.__name__)
    def test_construction_rejected_by_a_subclass(self, cls, debug_log):
        class Picky(cls):
            def __init__(self):
                raise PixelFormatValueReject("not today")

        class Failing(cls):
            def __init__(self):
                raise RuntimeError("boom")

        assert Picky.from_designation(cls().designation(), RGB, size(3)) == []
        assert debug_log() == ["Value rejected not today"]
        with pytest.raises(RuntimeError, match="boom"):
            Failing.from_designation(cls().designation(), RGB, size(3))


SEQ_TABLE = [
    # names, LMN fields (None: no location), channels, text, consumed names (None: no candidate), rest
    (YCC, None, 3, "YCbYCr_x", ("Y", "Cb", "Y", "Cr"), "_x"),
    (YCC, (2, 1, 1), 3, "YCbYCr_x", ("Y", "Cb", "Y", "Cr"), "_x"),
    (YCC, (1, 1, 1), 3, "YCbYCr_x", None, None),
    (YCC, (4, 2, 2), 3, "CbYCrY", ("Cb", "Y", "Cr", "Y"), ""),
    (YCC, (2, 1), 3, "YCbYCr", None, None),
    (YCC, (), 3, "YCbCr", None, None),
    (YCC, None, 3, "YCbCrxyz", ("Y", "Cb", "Cr"), "xyz"),
    (YCC, None, 3, "YCbYCb", None, None),
    (YCC, None, 3, "ycbcr", None, None),
    (YCC, None, 3, "", None, None),
    (YCC, None, 0, "xyz", (), "xyz"),
    (YCC, (), 0, "xyz", (), "xyz"),
    ([], None, 0, "Y", None, None),
    (["B", "Bl"], None, 1, "BlBl", ("Bl", "Bl"), ""),
    (["B", "Bl"], None, 2, "BBlB", ("B", "Bl", "B"), ""),
    (["Y", "Y"], None, 2, "YY", None, None),
    (["Y", "Y"], None, 1, "YY", ("Y", "Y"), ""),
    (["", "Y"], None, 1, "YYz", ("Y", "Y"), "z"),
    ([""], None, 1, "abc", None, None),
    (["é", "😀"], None, 2, "😀é😀\ud800", ("😀", "é", "😀"), "\ud800"),
    (YCC, (10**30, 5 * 10**29, 5 * 10**29), 3, "YCbYCr", ("Y", "Cb", "Y", "Cr"), ""),
    (YCC, (2**64, 1, 1), 3, "YCbYCr", None, None),
    (YCC, (2**63 - 1, 2**63 - 1, 2**63 - 1), 3, "YCbCr", ("Y", "Cb", "Cr"), ""),
]


class TestComponentsSequencing:
    @pytest.mark.parametrize("names, fields, channels, text, consumed, rest", SEQ_TABLE,
                             ids=[f"{r[3] or '(empty)'}-{'/'.join(r[0])}-{r[1]}-{r[2]}" for r in SEQ_TABLE])
    def test_parse(self, names, fields, channels, text, consumed, rest):
        result = ComponentsSequencing.from_designation(text, comps(names, fields), size(channels))
        if consumed is None:
            assert result == []
            return
        [(obj, remaining)] = result
        assert type(obj) is ComponentsSequencing and type(obj.components) is tuple
        assert obj.components == consumed and remaining == rest
        assert obj.designation() + remaining == text

    @pytest.mark.parametrize("location", [None, Location()], ids=["none", "plain-location"])
    def test_proportions_only_for_an_lmn_location(self, location, monkeypatch):
        components = comps(YCC, location=location)
        assert ComponentsSequencing.from_designation("YYYCbCr", components, size(3))[0][1] == ""
        # the class test goes through the module's names
        monkeypatch.setattr(quenmar, "GenicamComponents", type("Never", (), {}))
        assert ComponentsSequencing.from_designation("YYYCbCr", comps(YCC, (1, 1, 1)), size(3)) != []

    @pytest.mark.parametrize("fields, holds", [([2.0, True, 1], True), ([2.0, True, 2], False), ([4, 2.0, 2], True)],
                             ids=["float-bool-int", "float-bool-mismatch", "int-float"])
    def test_proportions_with_entries_the_interpreter_compares(self, fields, holds):
        class Fields(LMNLocation):
            @property
            def fields(self):
                return fields

        result = ComponentsSequencing.from_designation("YCbYCr", GenicamComponents(YCC, Fields(())), size(3))
        assert (result != []) is holds

    def test_more_components_than_channels_raises_key_error(self):
        with pytest.raises(KeyError) as info:
            ComponentsSequencing.from_designation("YCr", comps(YCC, (1, 1)), size(2))
        assert info.value.args == (1,)

    def test_channel_names_read_once_each_in_order(self, monkeypatch):
        seen = []

        def recording(component):
            seen.append(component)
            return str(component)

        monkeypatch.setattr(quenmar, "channel_name", recording)
        ComponentsSequencing.from_designation("YCbCr", comps(YCC), size(3))
        assert seen == YCC

    def test_collaborator_errors_propagate(self, monkeypatch):
        class Gone(Components):
            def __getitem__(self, index):
                raise IndexError(f"gone {index}")

        with pytest.raises(IndexError, match="gone 0"):
            ComponentsSequencing.from_designation("Y", Gone(["Y"]), size(1))
        with pytest.raises(TypeError, match="component must be a Component or str, not object"):
            ComponentsSequencing.from_designation("Y", comps([object()]), size(1))
        with pytest.raises(TypeError, match="has no len"):
            ComponentsSequencing.from_designation("Y", comps(["Y"]), None)
        monkeypatch.setattr(quenmar, "channel_name", lambda component: 5)
        with pytest.raises(TypeError, match=re.escape("channel_name() must return str, not int")):
            ComponentsSequencing.from_designation("Y", comps(["Y"]), size(1))

    def test_subclass_gets_its_own_class_or_logs_a_rejection(self, debug_log):
        class Own(ComponentsSequencing):
            pass

        class Picky(ComponentsSequencing):
            def __init__(self, components):
                raise PixelFormatValueReject(f"refused {components!r}")

        assert type(Own.from_designation("RGB", RGB, size(3))[0][0]) is Own
        assert Picky.from_designation("RGB", RGB, size(3)) == []
        assert debug_log() == ["Value rejected refused ('R', 'G', 'B')"]

    def test_million_character_text(self):
        text = "CbYCrY" * 166_667 + "!"
        start = time.perf_counter()
        [(obj, rest)] = ComponentsSequencing.from_designation(text, comps(YCC, (4, 2, 2)), size(3))
        assert time.perf_counter() - start < 5  # a guard against quadratic work, not a benchmark
        assert rest == "!" and len(obj.components) == 4 * 166_667

    @pytest.mark.parametrize("bad, shown", [(["Y"], "list"), (None, "NoneType"), ("Y", "str"),
                                            (type("T", (tuple,), {})(), "T")], ids=["list", "None", "str", "subclass"])
    def test_constructor_takes_exactly_a_tuple(self, bad, shown):
        with pytest.raises(TypeError) as info:
            ComponentsSequencing(bad)
        assert str(info.value) == f"components must be tuple, not {shown}"

    def test_record_behaviour(self):
        names = ("Y", "Cb")
        obj = ComponentsSequencing(names)
        assert obj.components is names and obj.designation() == "YCb"
        assert repr(obj) == "ComponentsSequencing(components=('Y', 'Cb'))"
        assert ComponentsSequencing(()).designation() == ""
        obj.components = ("Y", 1)  # not re-checked
        with pytest.raises(TypeError, match="expected str instance, int found"):
            obj.designation()

    @pytest.mark.parametrize("other, equal", [
        (lambda: ComponentsSequencing(("Y", "Cb")), True),
        (lambda: type("Sub", (ComponentsSequencing,), {})(("Y", "Cb")), True),
        (lambda: ComponentsSequencing(("Cb", "Y")), False),
        (lambda: ComponentsSequencing(("Y",)), False),
        (Planar, False),
        (lambda: ("Y", "Cb"), False),
        (lambda: None, False),
    ], ids=["equal", "subclass", "reversed", "shorter", "Planar", "tuple", "None"])
    def test_equality(self, other, equal):
        other = other()
        assert (ComponentsSequencing(("Y", "Cb")) == other) is equal
        assert ComponentsSequencing(("Y", "Cb")).__eq__(other) is equal


@given(st.lists(st.sampled_from(["R", "G", "B", "Bl"]), max_size=30))
def test_sequence_reads_back(names):
    components = comps(["R", "G", "B", "Bl"])
    text = "".join(names)
    distinct = len(set(names))
    [(obj, rest)] = ComponentsSequencing.from_designation(text + "_x", components, size(distinct))
    assert obj.components == tuple(names) and rest == "_x"
