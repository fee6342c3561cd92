"""Colour components and the pixel-format record."""

import pytest

from korvell.pfnc.genicam.components import (
    COMPONENT_SET_REGISTRY,
    Component,
    ComponentSetRegistry,
    Components,
    GenicamComponents,
    LMNLocation,
    Location,
    channel_name,
)
from korvell.pfnc.genicam.tesselk import Size
from korvell.pfnc.pixel_format import PixelFormat


class TestComponents:
    @pytest.mark.parametrize("component, name", [(Component.MONO, "Mono"), (Component.CB, "Cb"), (Component.ALPHA, "a"), ("Zz", "Zz")])
    def test_channel_name(self, component, name):
        assert channel_name(component) == name

    @pytest.mark.parametrize("bad", [None, 3, b"R"])
    def test_channel_name_rejects_other_values(self, bad):
        with pytest.raises(TypeError):
            channel_name(bad)

    def test_members_are_not_strings(self):
        assert Component.R != "R"

    def test_components_keep_a_tuple(self):
        comps = Components(iter([Component.R, Component.G, Component.B]))
        assert comps.components == (Component.R, Component.G, Component.B)
        assert len(comps) == 3 and comps[1] is Component.G and list(comps)[2] is Component.B
        assert comps.designation() == "RGB"
        assert comps == Components([Component.R, Component.G, Component.B])

    def test_locations(self):
        assert Location().designation() == ""
        loc = LMNLocation([4, 2, 2])
        assert loc.fields == (4, 2, 2) and loc.designation() == "422"
        assert loc == LMNLocation((4, 2, 2)) and loc != LMNLocation((4, 1, 1))

    def test_genicam_components(self):
        comps = GenicamComponents([Component.Y, Component.CB, Component.CR], LMNLocation((4, 2, 2)))
        assert isinstance(comps, Components)
        assert comps.designation() == "YCbCr422"
        assert GenicamComponents(["X"]).location is None
        assert GenicamComponents(["X"]).designation() == "X"
        assert comps != Components([Component.Y, Component.CB, Component.CR])


class TestVocabularyChannels:
    # The designators as the sets wrote them when their channels were plain text.
    @pytest.mark.parametrize(
        "set_name, channels",
        [
            ("Coord3D_B", ["B"]),
            ("Coord3D_ABC", ["A", "B", "C"]),
            ("BayerBG", ["BayerBG"]),
            ("BiColorBGRG", ["BR", "G"]),
            ("SCF1WRWG", ["SCF1WRWG"]),
        ],
    )
    def test_channel_names_are_unchanged(self, set_name, channels):
        definition = COMPONENT_SET_REGISTRY.resolve(set_name)
        assert [channel_name(c) for c in definition.components] == channels

    def test_every_default_channel_is_a_member(self):
        defaults = ComponentSetRegistry()
        for definition in map(defaults.resolve, defaults):
            assert all(isinstance(c, Component) for c in definition.components), definition.name

    def test_parsed_coordinates_have_names(self):
        comps = PixelFormat.from_designation("Coord3D_ABC32f").components
        assert [c.name for c in comps] == ["A", "B", "C"]
        assert comps.designation() == "Coord3D_ABC"


class _Part:
    def __init__(self, text):
        self.text = text

    def designation(self):
        return self.text

    def __eq__(self, other):
        return isinstance(other, _Part) and other.text == self.text

    __hash__ = None


def _fmt(packing="", interface=None, comps=("Y", "Cb", "Cr"), location=(4, 2, 2), size=(8, 8, 8)):
    return PixelFormat(
        GenicamComponents(list(comps), LMNLocation(location)),
        Size(list(size)),
        _Part(""),
        _Part(packing),
        None if interface is None else _Part(interface),
    )


class TestPixelFormat:
    def test_designation_joins_pieces(self):
        assert _fmt(interface="CbYCrY").designation() == "YCbCr422_8_CbYCrY"
        assert _fmt(packing="p").designation() == "YCbCr422_8p"
        assert PixelFormat(Components(["Mono"]), Size([12]), _Part(""), _Part("p")).designation() == "Mono12p"

    def test_equality_needs_equal_parts_and_designations(self):
        assert _fmt() == _fmt()
        assert _fmt() != _fmt(packing="p")
        assert _fmt() != "YCbCr422_8"

    def test_unhashable(self):
        with pytest.raises(TypeError):
            hash(_fmt())

    def test_parts_kept_as_given(self):
        size = Size([8, 8, 8])
        fmt = PixelFormat(Components(["R", "G", "B"]), size, _Part(""), _Part(""))
        assert fmt.size is size and fmt.interface_specific is None
