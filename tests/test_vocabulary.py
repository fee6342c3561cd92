"""The component-set vocabulary, the name table and plane groups."""

import pytest

from korvell.pfnc import names
from korvell.pfnc.exceptions import DuplicateRegistrationError
from korvell.pfnc.genicam.components import (
    COMPONENT_SET_REGISTRY,
    Component,
    ComponentSet,
    ComponentSetDefinition,
    ComponentSetRegistry,
    GenicamComponents,
    LMNLocation,
    parse_components,
)
from korvell.pfnc.genicam.planes import PlaneGroups
from korvell.pfnc.genicam.tesselk import Size

YCBCR = (Component.Y, Component.CB, Component.CR)


@pytest.fixture
def registry():
    snap = COMPONENT_SET_REGISTRY.snapshot()
    yield COMPONENT_SET_REGISTRY
    COMPONENT_SET_REGISTRY.restore(snap)


class TestComponentSet:
    @pytest.mark.parametrize(
        "standard, location, text",
        [
            ("", None, "YCbCr"),
            ("", (4, 2, 2), "YCbCr422"),
            ("709", None, "YCbCr709"),
            ("709", (4, 2, 2), "YCbCr709_422"),
            ("2020", (4, 1, 1), "YCbCr2020_411"),
        ],
    )
    def test_designation(self, standard, location, text):
        loc = None if location is None else LMNLocation(location)
        assert ComponentSet("YCbCr", YCBCR, loc, standard).designation() == text

    def test_is_genicam_components_with_value_equality(self):
        a = ComponentSet("YCbCr", YCBCR, LMNLocation((4, 2, 2)), "709")
        assert isinstance(a, GenicamComponents) and len(a) == 3 and a[1] is Component.CB
        assert a == ComponentSet("YCbCr", YCBCR, LMNLocation((4, 2, 2)), "709")
        assert a != ComponentSet("YCbCr", YCBCR, LMNLocation((4, 2, 2)), "601")
        assert a != GenicamComponents(YCBCR, LMNLocation((4, 2, 2)))

    @pytest.mark.parametrize("name, standard", [("", ""), (None, ""), ("X", None)])
    def test_bad_arguments(self, name, standard):
        with pytest.raises(TypeError):
            ComponentSet(name, ("X",), None, standard)


class TestParseComponents:
    @pytest.mark.parametrize(
        "text, readings",
        [
            ("YCbCr709_422_8", [("YCbCr709_422", "_8"), ("YCbCr709", "_422_8"), ("YCbCr", "709_422_8")]),
            ("RGBa8", [("RGBa", "8"), ("RGB", "a8"), ("R", "GBa8")]),
            ("Coord3D_AC12p", [("Coord3D_AC", "12p"), ("Coord3D_A", "C12p")]),
            ("BayerRG8", [("BayerRG", "8"), ("B", "ayerRG8")]),
            ("Foo", []),
            ("", []),
        ],
    )
    def test_readings_longest_first(self, text, readings):
        assert [(c.designation(), rest) for c, rest in parse_components(text)] == readings

    def test_text_must_be_a_str(self):
        with pytest.raises(TypeError, match="text must be str"):
            parse_components(None)


class TestRegistry:
    def test_defaults_are_fixed(self, registry):
        with pytest.raises(DuplicateRegistrationError, match="Value already registered: 'RGB'"):
            registry.add(ComponentSetDefinition("RGB", (Component.R,)))

    @pytest.mark.parametrize(
        "name, value, error",
        [
            (7, ComponentSetDefinition("X", ("X",)), TypeError),
            ("X", "not a definition", TypeError),
            ("Y2", ComponentSetDefinition("X", ("X",)), ValueError),
        ],
    )
    def test_register_checks(self, registry, name, value, error):
        with pytest.raises(error):
            registry.register(name, value)
        assert "X" not in registry

    @pytest.mark.parametrize(
        "kwargs, error",
        [
            (dict(name="", components=("X",)), TypeError),
            (dict(name="X", components=()), ValueError),
            (dict(name="X", components=(3,)), TypeError),
            (dict(name="X", components=("X", "Y"), locations=((4, 2, 2),)), ValueError),
            (dict(name="X", components=("X",), standards=("",)), TypeError),
        ],
    )
    def test_definition_checks(self, kwargs, error):
        with pytest.raises(error):
            ComponentSetDefinition(**kwargs)

    def test_restore_brings_back_the_snapshot(self, registry):
        before = registry.snapshot()
        registry.add(ComponentSetDefinition("Xyz", ("Xyz",)))
        with_xyz = registry.snapshot()
        registry.restore(before)
        assert "Xyz" not in registry
        registry.restore(with_xyz)
        assert registry.resolve("Xyz").components == ("Xyz",)

    def test_restore_refuses_a_snapshot_without_defaults(self, registry):
        from korvell.pfnc._internal.registry import MappingSnapshot

        with pytest.raises(ValueError, match="default component set"):
            registry.restore(MappingSnapshot({}))
        assert "RGB" in registry

    def test_fresh_registry_holds_the_defaults_in_order(self):
        fresh = ComponentSetRegistry()
        assert list(fresh) == list(COMPONENT_SET_REGISTRY)[: len(fresh)]
        assert list(fresh)[:5] == ["Mono", "R", "G", "B", "RGB"]


class TestPlaneGroups:
    COMPONENTS = ComponentSet("YCbCr", YCBCR, LMNLocation((4, 2, 0)))

    @pytest.mark.parametrize(
        "text, groups, layout, rest",
        [
            ("YY_CbCr_Semiplanar", (("Y", "Y"), ("Cb", "Cr")), "Semiplanar", ""),
            ("YY_CrCb_Semiplanar_x", (("Y", "Y"), ("Cr", "Cb")), "Semiplanar", "_x"),
            ("Y_Cb_Cr_Planar", (("Y",), ("Cb",), ("Cr",)), "Planar", ""),
        ],
    )
    def test_reads(self, text, groups, layout, rest):
        [(found, remainder)] = PlaneGroups.from_designation(text, self.COMPONENTS, Size([8, 8, 8]))
        assert (found.groups, found.layout, remainder) == (groups, layout, rest)
        assert found.designation() == text[: len(text) - len(rest)]

    @pytest.mark.parametrize(
        "text",
        ["YY_Semiplanar", "YY_Cb_Semiplanar", "YYCbCr_Semiplanar", "YY_CbCr", "YY__CbCr_Semiplanar", "", "_Semiplanar"],
    )
    def test_rejects(self, text):
        assert PlaneGroups.from_designation(text, self.COMPONENTS, Size([8, 8, 8])) == []

    def test_type_check_and_equality(self):
        with pytest.raises(TypeError, match="full_designation"):
            PlaneGroups.from_designation(None, self.COMPONENTS, Size([8]))
        a = PlaneGroups((("Y",), ("Cb", "Cr")), "Semiplanar")
        assert a == PlaneGroups((("Y",), ("Cb", "Cr")), "Semiplanar")
        assert a != PlaneGroups((("Y",), ("Cr", "Cb")), "Semiplanar") and a != "x"
        with pytest.raises(TypeError):
            hash(a)
        with pytest.raises(ValueError):
            PlaneGroups((("Y",),), "Sideways")


class TestNames:
    def test_lookups(self):
        mono8 = names.find("Mono8")
        assert (mono8.code, mono8.bits_per_pixel, mono8.status, mono8.current) == (0x01080001, 8, "standard", True)
        assert names.find("NoSuchName") is None
        assert names.by_code(0x01080001) is mono8
        assert names.by_code(0) is None

    def test_shared_value_prefers_the_current_name(self):
        # Mono8Signed (deprecated) carries the value of Mono8s
        assert names.by_code(names.find("Mono8Signed").code).name == "Mono8s"

    def test_superseded_rows_do_not_shadow_names(self):
        assert names.find("R10").status == "standard"
        assert names.by_code(0x010A00CA).status == "superseded"

    def test_aliases(self):
        aliases = names.deprecated_aliases()
        assert aliases["YUV422_YUYV_Packed"] == "YUV422_8"
        assert len(aliases) == 24
        with pytest.raises(TypeError):
            aliases["x"] = "y"  # type: ignore[index]


# -- restores replace the whole mapping at once -------------------------------

from korvell.pfnc import vendor  # noqa: E402
from korvell.pfnc._internal.registry import MappingSnapshot  # noqa: E402


def _add_set(registry, name):
    registry.add(ComponentSetDefinition(name, ("X", "Y")))


def _add_vendor_name(registry, name):
    registry.register(name, "Mono8")


@pytest.fixture(
    params=[(COMPONENT_SET_REGISTRY, _add_set), (vendor.VENDOR_NAMES, _add_vendor_name)],
    ids=["component-sets", "vendor-names"],
)
def restorable(request):
    registry, add = request.param
    snap = registry.snapshot()
    yield registry, add
    registry.restore(snap)


class TestRestoreIsOneSwap:
    def test_a_reader_of_the_old_mapping_sees_it_whole(self, restorable):
        registry, add = restorable
        before = registry.snapshot()
        add(registry, "Xy1Cam")
        held = registry._registry
        held_items = list(held.items())
        registry.restore(before)
        # a parse that took the mapping before the restore reads it to the end unchanged
        assert list(held.items()) == held_items
        assert "Xy1Cam" in held and "Xy1Cam" not in registry

    def test_the_snapshots_order_is_kept(self, restorable):
        registry, add = restorable
        add(registry, "Xy1Cam")
        add(registry, "Xy2Cam")
        entries = dict(registry.snapshot().mapping)
        reordered = {k: v for k, v in entries.items() if k != "Xy1Cam"} | {"Xy1Cam": entries["Xy1Cam"]}
        registry.restore(MappingSnapshot(reordered))
        assert list(registry) == list(reordered)

    def test_a_snapshot_without_the_defaults_changes_nothing(self, registry):
        _add_set(registry, "Xy1Cam")
        held = registry._registry
        held_items = list(held.items())
        with pytest.raises(ValueError, match="default component set"):
            registry.restore(MappingSnapshot({"Xy1Cam": held["Xy1Cam"]}))
        assert registry._registry is held and list(held.items()) == held_items


# -- the prefix table reads as the definitions do -----------------------------

import sys  # noqa: E402

from korvell.pfnc.genicam import components as components_module  # noqa: E402
from korvell.pfnc.genicam.components import _parse_components_one_by_one  # noqa: E402


class TestPrefixTable:
    TEXTS = ["YCbCr709_422_8", "YCbCr7098", "YCbCr422_8", "YCbCr4228", "RGBa8", "BiColorRGBG8", "Coord3D_ABC16", "Q", ""]

    @pytest.mark.parametrize("text", TEXTS)
    def test_overlapping_custom_sets_read_as_the_definitions_do(self, registry, text):
        registry.add(ComponentSetDefinition("YCbCr709", ("Y", "C"), locations=((4, 2), (42, 2))))
        registry.add(ComponentSetDefinition("RGBa8", ("R",), standards=("x", "xx")))
        assert parse_components(text) == _parse_components_one_by_one(text)

    @pytest.mark.skipif(
        sys.version_info >= (3, 13), reason="from 3.13 an attribute stored in place is seen by no dict watcher"
    )
    def test_a_definition_changed_in_place(self, registry):
        registry.add(ComponentSetDefinition("Xyz", ("X", "Y", "Z")))
        parse_components("Xyz8")
        object.__setattr__(registry._registry["Xyz"], "locations", ((1, 1, 1),))
        assert [found.designation() for found, _ in parse_components("Xyz1118")] == ["Xyz111", "Xyz"]

    def test_a_replaced_class_builds_the_readings(self, monkeypatch):
        parse_components("YCbCr422_8")
        location = type("LMNLocation", (LMNLocation,), {"__slots__": ()})
        monkeypatch.setattr(components_module, "LMNLocation", location)
        assert type(parse_components("YCbCr422_8")[0][0].location) is location

    def test_a_definition_of_its_own_class_is_asked(self, registry):
        class Shouting(ComponentSetDefinition):
            def parse(self, text):
                return [(found, rest.upper()) for found, rest in super().parse(text)]

        registry._registry["Xyz"] = Shouting("Xyz", ("X",))
        assert [rest for _, rest in parse_components("Xyz8p")] == ["8P"]
