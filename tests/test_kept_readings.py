"""Readings kept by designation: given out only while nothing they depend on changed."""

import gc
import logging
import sys
import time
import types

import pytest

from korvell.pfnc import pixel_format, vendor
from korvell.pfnc._internal.registry import MappingSnapshot
from korvell.pfnc.exceptions import ParseReject, PixelFormatValueReject
from korvell.pfnc.genicam import brintal, components, ostrevo, quenmar
from korvell.pfnc.genicam.brintal import DATA_TYPE_REGISTRY, CompoundDataTypes, DataTypes, DefaultDataType
from korvell.pfnc.genicam.components import COMPONENT_SET_REGISTRY, ComponentSetDefinition
from korvell.pfnc.genicam.ostrevo import PADDING_TYPE_NAME_REGISTRY, Packing, PaddingType
from korvell.pfnc.genicam.quenmar import InterfaceSpecific, Planar
from korvell.pfnc.genicam.tesselk import Size
from korvell.pfnc.pixel_format import PixelFormat

SUFFIXED = "YCbCr422_8_CbYCrY"  # every part, a sequencing suffix among them


def parse(name):
    return PixelFormat.from_designation(name)


def kept(name):
    """Parse ``name`` until its reading is kept (classes of earlier tests collected first)."""
    gc.collect()
    first = parse(name)
    deadline = time.perf_counter() + 1.0  # a state that just changed is recorded after a while
    while name not in pixel_format._memo.builds and time.perf_counter() < deadline:
        parse(name)
    assert name in pixel_format._memo.builds, "the state should let readings be kept"
    return first


def settle(name):
    """Parse ``name`` for a while: long enough for a changed state to be recorded."""
    deadline = time.perf_counter() + 0.05
    while time.perf_counter() < deadline:
        parse(name)


@pytest.fixture
def registries():
    all_four = (COMPONENT_SET_REGISTRY, DATA_TYPE_REGISTRY, PADDING_TYPE_NAME_REGISTRY, vendor.VENDOR_NAMES)
    snaps = [r.snapshot() for r in all_four]
    yield
    for registry, snap in zip(all_four, snaps):
        registry.restore(snap)


def _add_set():
    COMPONENT_SET_REGISTRY.add(ComponentSetDefinition("Xyz", ("X", "Y", "Z")))
    return "Xyz8", COMPONENT_SET_REGISTRY, "Xyz"


def _add_data_type():
    DATA_TYPE_REGISTRY.register("q")
    return "Mono8q", DATA_TYPE_REGISTRY, "q"


def _add_padding_name():
    PADDING_TYPE_NAME_REGISTRY.register("Pk", PaddingType.PACKED)
    return "Mono12Pk", PADDING_TYPE_NAME_REGISTRY, "Pk"


def _add_vendor_name():
    vendor.register_vendor_name("Mono7Cam", "Mono8")
    return "Mono7Cam", vendor.VENDOR_NAMES, "Mono7Cam"


def _restore(registry, key):
    registry.restore(MappingSnapshot({k: v for k, v in registry._registry.items() if k != key}))


def _swap(registry, key):
    registry._registry = {k: v for k, v in registry._registry.items() if k != key}


def _pop(registry, key):
    registry._registry.pop(key)


class TestVocabularyChanges:
    @pytest.mark.parametrize("undo", [_restore, _swap, _pop], ids=["restore", "new-mapping", "entry-removed"])
    @pytest.mark.parametrize("add", [_add_set, _add_data_type, _add_padding_name, _add_vendor_name])
    def test_an_entry_gone_between_two_parses(self, registries, add, undo):
        name, registry, key = add()
        kept("Mono8")
        before = kept(name) if registry is not vendor.VENDOR_NAMES else parse(name)
        undo(registry, key)
        with pytest.raises(PixelFormatValueReject):
            parse(name)
        assert before.designation() == name

    def test_a_vendor_name_taken_for_a_name_read_before(self, registries):
        assert type(kept("Mono7")) is PixelFormat
        vendor.register_vendor_name("Mono7", "Mono8")
        assert type(parse("Mono7")) is pixel_format.VendorPixelFormat

    @pytest.mark.skipif(
        sys.version_info >= (3, 13), reason="from 3.13 an attribute stored in place is seen by no dict watcher"
    )
    def test_a_definition_changed_in_place(self, registries):
        COMPONENT_SET_REGISTRY.add(ComponentSetDefinition("Xyz", ("X", "Y", "Z")))
        kept("Xyz8")
        object.__setattr__(COMPONENT_SET_REGISTRY._registry["Xyz"], "components", ("X", "Y"))
        assert len(parse("Xyz8").components) == 2


def counting(original):
    """A stand-in that records its calls and then does what ``original`` does
    (a function: called on an instance, it gets the instance)."""
    calls = []

    def stand_in(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    return stand_in, calls


HELPERS = [
    (pixel_format, "_size_readings"),
    (pixel_format, "parse_components"),
    (pixel_format, "join_designators"),
    (brintal, "all_implementations"),
    (ostrevo, "join_designators"),
    (quenmar, "channel_name"),
    (quenmar, "all_implementations"),
]


class TestReplacedNames:
    @pytest.mark.parametrize("patched_first", [False, True], ids=["after-a-parse", "before-any-parse"])
    @pytest.mark.parametrize("module, name", HELPERS, ids=[f"{m.__name__.split('.')[-1]}.{n}" for m, n in HELPERS])
    def test_a_replaced_helper_is_called_on_every_parse(self, monkeypatch, module, name, patched_first):
        expected = parse(SUFFIXED)
        if not patched_first:
            kept(SUFFIXED)
        stand_in, calls = counting(getattr(module, name))
        monkeypatch.setattr(module, name, stand_in)
        settle(SUFFIXED)
        before = len(calls)
        got = parse(SUFFIXED)
        assert len(calls) > before  # counted before the comparison, which may call it too
        assert got == expected

    def test_a_replaced_class_builds_the_parts(self, monkeypatch):
        kept(SUFFIXED)
        location = type("LMNLocation", (components.LMNLocation,), {"__slots__": ()})
        monkeypatch.setattr(components, "LMNLocation", location)
        settle(SUFFIXED)
        assert type(parse(SUFFIXED).components.location) is location

    @pytest.mark.parametrize(
        "cls, attribute, name",
        [
            (Size, "from_designation", "Mono8"),
            (DataTypes, "create", "Mono8"),
            (Packing, "from_designation", "Mono8"),
            (InterfaceSpecific, "create", SUFFIXED),
            (ComponentSetDefinition, "parse", "Mono8"),
        ],
        ids=["Size", "DataTypes.create", "Packing", "InterfaceSpecific.create", "ComponentSetDefinition.parse"],
    )
    def test_a_replaced_parse_operation_is_called(self, monkeypatch, cls, attribute, name):
        kept(name)
        stand_in, calls = counting(getattr(cls, attribute))
        monkeypatch.setattr(cls, attribute, stand_in)
        settle(name)
        before = len(calls)
        parse(name)
        assert len(calls) > before


def _counting_subclass(base):
    calls = []

    def from_designation(cls, *args):
        calls.append(args)
        return []

    return type("Late", (base,), {"from_designation": classmethod(from_designation), **_ABSTRACT_FILLERS}), calls


_ABSTRACT_FILLERS = {"designation": lambda self: "", "__len__": lambda self: 0, "__getitem__": lambda self, i: None}


class TestNewImplementations:
    @pytest.mark.parametrize("base", [DataTypes, CompoundDataTypes, InterfaceSpecific, Planar])
    def test_a_class_derived_after_a_parse_is_asked(self, base):
        kept(SUFFIXED)
        late, calls = _counting_subclass(base)
        try:
            settle(SUFFIXED)
            before = len(calls)
            parse(SUFFIXED)
            assert len(calls) > before
        finally:
            del late
            gc.collect()

    def test_a_subclass_of_pixel_format_gets_its_own_class(self):
        kept("Mono8")

        class Own(PixelFormat):
            __slots__ = ()

        assert type(Own.from_designation("Mono8")) is Own


class TestFreshParts:
    @pytest.mark.parametrize(
        "change",
        [
            lambda f: f.size.sizes.append(9),
            lambda f: setattr(f.size, "sizes", [1, 2, 3]),
            lambda f: f.data_types.brintal.__setitem__(0, DefaultDataType.FLOAT),
            lambda f: setattr(f.packing, "lsb", False),
            lambda f: setattr(f.packing, "alignment", 64),
            lambda f: setattr(f.interface_specific, "components", ("Y",)),
            lambda f: setattr(f, "components", None),
        ],
        ids=["sizes-appended", "sizes-replaced", "data-type-set", "lsb", "alignment", "suffix", "components"],
    )
    def test_a_changed_part_is_not_seen_by_the_next_parse(self, change):
        kept(SUFFIXED)
        change(parse(SUFFIXED))
        again = parse(SUFFIXED)
        assert again.designation() == SUFFIXED and again == pixel_format._parse(PixelFormat, SUFFIXED)



@pytest.mark.parametrize("base, logger", [(DataTypes, "brintal"), (InterfaceSpecific, "quenmar")])
def test_a_parse_that_logs_logs_every_time(caplog, base, logger):
    kept(SUFFIXED)

    def refuse(cls, *args):
        raise ParseReject("not mine")

    late = type("Refusing", (base,), {"from_designation": classmethod(refuse), **_ABSTRACT_FILLERS})
    caplog.set_level(logging.DEBUG, logger=f"korvell.pfnc.genicam.{logger}")
    try:
        counts = []
        for _ in range(3):
            caplog.clear()
            assert parse(SUFFIXED).designation() == SUFFIXED
            counts.append([r.getMessage() for r in caplog.records].count("Parsing rejected: not mine Refusing"))
        assert counts[0] > 0 and counts == counts[:1] * 3
    finally:
        del late
        gc.collect()


def test_kept_readings_are_bounded():
    kept("Mono8")
    for bits in range(1, pixel_format._KEEP_AT_MOST + 10):
        parse(f"Mono{bits}")
    assert 0 < len(pixel_format._memo.builds) <= pixel_format._KEEP_AT_MOST
    assert parse("Mono4100").size.sizes == [4100]


def _stand_in_vendor_module(monkeypatch):
    import korvell.pfnc

    stand_in = types.ModuleType("korvell.pfnc.vendor")
    stand_in.VENDOR_NAMES = vendor.VENDOR_NAMES
    monkeypatch.setattr(korvell.pfnc, "vendor", stand_in)


class Shouting(ComponentSetDefinition):
    pass


class Key(str):
    pass


@pytest.mark.parametrize(
    "unsettle",
    [
        lambda mp: mp.setitem(DATA_TYPE_REGISTRY._registry, "q", 5),
        lambda mp: mp.setitem(PADDING_TYPE_NAME_REGISTRY._registry, "Zz", "nothing"),
        lambda mp: mp.setitem(vendor.VENDOR_NAMES._registry, "Mono7Cam", b"Mono8"),
        lambda mp: mp.setitem(COMPONENT_SET_REGISTRY._registry, "Xyz", Shouting("Xyz", ("X",))),
        lambda mp: mp.setitem(COMPONENT_SET_REGISTRY._registry, Key("Xyz"), ComponentSetDefinition("Xyz", ("X",))),
        _stand_in_vendor_module,
    ],
    ids=["data-type-value", "padding-value", "vendor-value", "definition-class", "key-type", "vendor-module"],
)
def test_nothing_is_kept_in_a_state_that_is_not_the_packages_own(monkeypatch, unsettle):
    kept("Mono8")
    unsettle(monkeypatch)
    settle("Mono8")
    assert pixel_format._memo.builds == {} and parse("Mono8").designation() == "Mono8"
