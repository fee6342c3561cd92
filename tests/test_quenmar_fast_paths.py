"""Interface-specific parses read the package's own collaborators directly; every
replacement, subclass or changed class must still be honoured as a call would."""

import collections
import gc
import logging
import types

import pytest
from hypothesis import given, strategies as st

from korvell.pfnc.exceptions import PixelFormatValueReject
from korvell.pfnc.genicam import components as components_module
from korvell.pfnc.genicam import planes, quenmar
from korvell.pfnc.genicam.components import Component, Components, GenicamComponents, LMNLocation
from korvell.pfnc.genicam.planes import PlaneGroups
from korvell.pfnc.genicam.quenmar import ComponentsSequencing, InterfaceSpecific, Planar, SemiPlanar
from korvell.pfnc.genicam.tesselk import Size

LOGGER = "korvell.pfnc.genicam.quenmar"
YCC = [Component.Y, Component.CB, Component.CR]
S3 = Size([8, 8, 8])


@pytest.fixture(autouse=True)
def _forget_test_subclasses():
    yield
    gc.collect()


def ycc(location=(4, 2, 2)):
    return GenicamComponents(YCC, LMNLocation(location))


def lowered(component):
    return components_module.channel_name(component).lower()


class Never:
    pass


# Each row replaces one collaborator so that calling it gives another reading
# than the package's own would; the parse must follow the replacement.
# (target, attribute, replacement, text, components read, or None for no candidate)
REPLACEMENTS = [
    (quenmar, "channel_name", lowered, "cbycry", ("cb", "y", "cr", "y")),
    (Components, "__getitem__", lambda self, i: ("Cr", "Cb", "Y")[i], "CrCrCbY", ("Cr", "Cr", "Cb", "Y")),
    (GenicamComponents, "location", property(lambda self: None), "YYYCbCr", ("Y", "Y", "Y", "Cb", "Cr")),
    (LMNLocation, "fields", property(lambda self: (1, 1, 1)), "CbYCrY", None),
    (quenmar, "LMNLocation", Never, "YYYCbCr", ("Y", "Y", "Y", "Cb", "Cr")),
]


@pytest.mark.parametrize("target, name, value, text, expected", REPLACEMENTS,
                         ids=[f"{r[0].__name__}.{r[1]}" for r in REPLACEMENTS])
def test_sequencing_follows_replaced_collaborators(monkeypatch, target, name, value, text, expected):
    def parse(text):
        return [(o.components, r) for o, r in ComponentsSequencing.from_designation(text, ycc(), S3)]

    assert parse("CbYCrY") == [(("Cb", "Y", "Cr", "Y"), "")]  # the direct reading, before
    assert parse(text) != ([] if expected is None else [(expected, "")])
    monkeypatch.setattr(target, name, value)
    assert parse(text) == ([] if expected is None else [(expected, "")])
    monkeypatch.undo()
    assert parse("CbYCrY") == [(("Cb", "Y", "Cr", "Y"), "")]


def test_channel_name_reading_a_replaced_component_class(monkeypatch):
    monkeypatch.setattr(components_module, "Component", Never)
    with pytest.raises(TypeError, match="component must be a Component or str, not Component"):
        ComponentsSequencing.from_designation("CbYCrY", ycc(), S3)


def shouting(component):
    return (component.value if hasattr(component, "value") else component).upper()


def test_channel_name_with_replaced_code_is_called(monkeypatch):
    monkeypatch.setattr(components_module.channel_name, "__code__", shouting.__code__)
    [(obj, _)] = ComponentsSequencing.from_designation("CBYCRY", ycc(), S3)
    assert obj.components == ("CB", "Y", "CR", "Y")


def test_component_value_replaced_on_the_class(monkeypatch):
    monkeypatch.setattr(Component, "value", property(lambda self: self._value_ * 2), raising=False)
    [(obj, rest)] = ComponentsSequencing.from_designation("CbCbYYCrCrYY!", ycc(), S3)
    assert obj.components == ("CbCb", "YY", "CrCr", "YY") and rest == "!"


@pytest.mark.parametrize("held", [list, collections.UserList], ids=["list", "UserList"])
def test_components_holding_another_container(held):
    components = Components([])
    object.__setattr__(components, "_components", held(["Cb", "Y", "Cr"]))  # the slot is writable
    expected = ComponentsSequencing.from_designation("CbYx", Components(["Cb", "Y", "Cr"]), Size([8, 8]))
    assert ComponentsSequencing.from_designation("CbYx", components, Size([8, 8])) == expected != []


def test_channel_name_that_changes_the_components_is_followed(monkeypatch):
    components = Components(["Y", "Cb", "Cr"])

    def swapping(component):
        object.__setattr__(components, "_components", ("Y", "Y2", "Y3"))
        return component

    monkeypatch.setattr(quenmar, "channel_name", swapping)
    [(obj, _)] = ComponentsSequencing.from_designation("YY2Y3", components, S3)
    assert obj.components == ("Y", "Y2", "Y3")


def test_module_of_a_derived_type_is_read_through_its_attributes(monkeypatch):
    class Shadowing(types.ModuleType):
        channel_name = property(lambda self: lowered)

    monkeypatch.setattr(quenmar, "__class__", Shadowing)
    assert ComponentsSequencing.from_designation("cbycry", ycc(), S3)[0][0].components == ("cb", "y", "cr", "y")


def reject(*args):
    raise PixelFormatValueReject("no")


@pytest.mark.parametrize("cls, name, value, text, expected, logged", [
    (Planar, "from_designation", classmethod(lambda cls, *a: [(cls(), "patched")]), "_Semiplanar",
     [("Planar", "patched"), ("SemiPlanar", "")], []),
    (SemiPlanar, "__init__", reject, "_Semiplanar", [], ["Value rejected no"]),
    (ComponentsSequencing, "__init__", reject, "_Y", [], ["Value rejected no"]),
], ids=["Planar.from_designation", "SemiPlanar.__init__", "ComponentsSequencing.__init__"])
def test_create_follows_replaced_class_attributes(monkeypatch, caplog, cls, name, value, text, expected, logged):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    monkeypatch.setattr(cls, name, value)
    result = InterfaceSpecific.create(text, Components(["Y"]), Size([8]))
    assert [(type(o).__name__, r) for o, r in result] == expected
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == logged


class Hooked(type):
    def __getattribute__(cls, name):
        if name == "from_designation":
            return lambda *args: [(Planar(), "hooked")]
        return super().__getattribute__(name)


def test_create_asks_a_class_through_its_metaclass(monkeypatch):
    # a foreign class that holds the package's own operation, read through a hook
    borrowed = Hooked("Borrowed", (), {"from_designation": vars(Planar)["from_designation"]})
    monkeypatch.setattr(quenmar, "all_implementations", lambda base: [Planar, borrowed])
    assert InterfaceSpecific.create("_Planar", Components(["y"]), Size([8])) == [(Planar(), ""), (Planar(), "hooked")]


# --- plane groups -------------------------------------------------------------

NAMES = st.sampled_from(["Y", "Cb", "Cr", "C", "b", "é", "😀", ""])
TEXTS = st.lists(st.sampled_from(["Y", "Cb", "Cr", "C", "b", "é", "😀", "_", "Planar", "Semiplanar", "x"]),
                 max_size=10).map("".join)


@given(st.lists(NAMES, min_size=0, max_size=4), TEXTS)
def test_plane_groups_read_as_the_general_reading(names, text):
    expected = planes._read_groups(PlaneGroups, text, list(names)) if "_" in text else []
    got = PlaneGroups.from_designation(text, Components(names), Size([8] * len(names)))
    assert [(o.groups, o.layout, r) for o, r in got] == [(o.groups, o.layout, r) for o, r in expected]


class Loud(str):
    def __hash__(self):
        return 0

    def __eq__(self, other):
        return True  # every name is the same to a set


@pytest.mark.parametrize("patch, text, expected", [
    ({"LAYOUTS": ("Planar",)}, "Y_CbCr_Semiplanar", []),
    ({"LAYOUTS": ("Semiplanar", "Planar", "Packed")}, "Y_CbCr_Packed", [((("Y",), ("Cb", "Cr")), "Packed", "")]),
    ({"channel_name": lambda c: components_module.channel_name(c).upper()}, "Y_CBCR_Planar",
     [((("Y",), ("CB", "CR")), "Planar", "")]),
    ({"channel_name": lambda c: Loud(components_module.channel_name(c))}, "Y_CbCr_Planar", []),
], ids=["fewer-layouts", "more-layouts", "replaced-channel-name", "str-subclass-names"])
def test_plane_groups_follow_the_module_names(monkeypatch, patch, text, expected):
    components = GenicamComponents(YCC, LMNLocation((4, 2, 0)))
    before = PlaneGroups.from_designation(text, components, S3)
    for name, value in patch.items():
        monkeypatch.setattr(planes, name, value)
    got = PlaneGroups.from_designation(text, components, S3)
    assert [(o.groups, o.layout, r) for o, r in got] == expected != before


def test_plane_group_subclasses_construct_through_their_own_init():
    class Own(PlaneGroups):
        def __init__(self, groups, layout):
            super().__init__(groups, layout)
            self.extra = len(groups)

    components = GenicamComponents(YCC, LMNLocation((4, 2, 0)))
    [(own, _)] = Own.from_designation("YY_CbCr_Semiplanar", components, S3)
    assert type(own) is Own and own.extra == 2 and vars(own)["groups"] == (("Y", "Y"), ("Cb", "Cr"))
    assert PlaneGroups.from_designation("YY_CbCr_Semiplanar", components, S3)[0][0] != own


def test_plane_groups_run_a_replaced_base_init(monkeypatch):
    seen = []
    monkeypatch.setattr(InterfaceSpecific, "__init__", lambda self: seen.append(type(self).__name__))
    PlaneGroups((("Y",), ("Cb",)), "Planar")
    assert seen == ["PlaneGroups"]


def test_plane_groups_record_behaviour():
    a = PlaneGroups((("Y", "Y"), ("Cb", "Cr")), "Semiplanar")
    assert (type(a).__module__, type(a).__qualname__) == ("korvell.pfnc.genicam.planes", "PlaneGroups")
    assert vars(a) == {"groups": (("Y", "Y"), ("Cb", "Cr")), "layout": "Semiplanar"}
    assert repr(a) == "PlaneGroups((('Y', 'Y'), ('Cb', 'Cr')), 'Semiplanar')" and a.designation() == "YY_CbCr_Semiplanar"
    a.layout = "Planar"
    assert a.designation() == "YY_CbCr_Planar" and PlaneGroups in quenmar.all_implementations(InterfaceSpecific)
    with pytest.raises(TypeError, match="groups must be a tuple of non-empty tuples"):
        PlaneGroups((("Y",), ()), "Planar")
    with pytest.raises(ValueError, match=r"layout must be one of \('Semiplanar', 'Planar'\), not 'x'"):
        PlaneGroups((("Y",),), "x")
