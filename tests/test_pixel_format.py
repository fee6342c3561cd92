"""Pixel formats end to end: every published name, the reading rules, values."""

import pytest

from korvell.pfnc import names
from korvell.pfnc.exceptions import PixelFormatValueReject
from korvell.pfnc.genicam.brintal import DATA_TYPE_REGISTRY, DefaultDataType
from korvell.pfnc.genicam.components import (
    COMPONENT_SET_REGISTRY,
    Component,
    ComponentSetDefinition,
    LMNLocation,
)
from korvell.pfnc.genicam.ostrevo import PaddingType
from korvell.pfnc.genicam.planes import PlaneGroups
from korvell.pfnc.genicam.quenmar import ComponentsSequencing, Planar
from korvell.pfnc.pixel_format import OpaquePixelFormat, PixelFormat


def _rows(status):
    return [e for e in names.entries() if e.status == status]


STANDARD = _rows("standard")
GEV = _rows("gev")
DEPRECATED = _rows("deprecated")
SUPERSEDED = _rows("superseded")
OPAQUE = {"RGB10V1Packed", "RGB12V1Packed"}


def test_table_counts():
    assert (len(STANDARD), len(GEV), len(DEPRECATED), len(SUPERSEDED)) == (258, 12, 24, 6)


class TestPublishedNames:
    @pytest.mark.parametrize("entry", STANDARD, ids=[e.name for e in STANDARD])
    def test_standard_name_round_trips_with_its_value(self, entry):
        fmt = PixelFormat.from_designation(entry.name)
        assert isinstance(fmt, PixelFormat)
        assert fmt.designation() == entry.name
        assert len(PixelFormat.readings(entry.name)) == 1
        assert fmt.code == entry.code
        assert fmt.computed_bits_per_pixel() == entry.bits_per_pixel

    @pytest.mark.parametrize("entry", GEV, ids=[e.name for e in GEV])
    def test_gev_name_keeps_its_own_designation(self, entry):
        fmt = PixelFormat.from_designation(entry.name)
        assert fmt.designation() == entry.name
        assert fmt.code == entry.code
        assert fmt.bits_per_pixel == entry.bits_per_pixel
        assert isinstance(fmt, OpaquePixelFormat) == (entry.name in OPAQUE)
        if isinstance(fmt, PixelFormat):
            assert fmt.computed_bits_per_pixel() == entry.bits_per_pixel

    @pytest.mark.parametrize("entry", DEPRECATED, ids=[e.name for e in DEPRECATED])
    def test_deprecated_name_resolves_to_its_replacement(self, entry):
        fmt = PixelFormat.from_designation(entry.name)
        assert fmt == PixelFormat.from_designation(entry.replacement)
        assert fmt.designation() == entry.replacement
        if entry.code is not None:
            assert fmt.bits_per_pixel == entry.bits_per_pixel

    @pytest.mark.parametrize("entry", SUPERSEDED, ids=[f"{e.name}-0x{e.code:08X}" for e in SUPERSEDED])
    def test_superseded_value_gives_the_current_format(self, entry):
        fmt = PixelFormat.from_code(entry.code)
        assert fmt.designation() == entry.name
        assert fmt.code != entry.code  # the current value differs

    @pytest.mark.parametrize("entry", [e for e in STANDARD + GEV], ids=lambda e: e.name)
    def test_from_code_gives_the_named_format(self, entry):
        assert PixelFormat.from_code(entry.code).designation() == entry.name


class TestMeaning:
    @pytest.mark.parametrize(
        "text, set_name, channels, sizes",
        [
            ("Mono8", "Mono", (Component.MONO,), [8]),
            ("RGB565p", "RGB", (Component.R, Component.G, Component.B), [5, 6, 5]),
            ("BGR565p", "BGR", (Component.B, Component.G, Component.R), [5, 6, 5]),
            ("Coord3D_AC12p", "Coord3D_AC", (Component.A, Component.C), [12, 12]),
            ("Coord3D_AC10p", "Coord3D_AC", (Component.A, Component.C), [10, 10]),
            ("Coord3D_AC16", "Coord3D_AC", (Component.A, Component.C), [16, 16]),
            ("Coord3D_ABC32f", "Coord3D_ABC", (Component.A, Component.B, Component.C), [32, 32, 32]),
            ("RGBa10p", "RGBa", (Component.R, Component.G, Component.B, Component.ALPHA), [10] * 4),
            ("BiColorRGBG12p", "BiColorRGBG", (Component.BICOLOR_RB, Component.G), [12, 12]),
            ("BayerGR10", "BayerGR", (Component.BAYER_GR,), [10]),
            ("SCF1WBWG14", "SCF1WBWG", (Component.SCF1_WBWG,), [14]),
            ("YCbCr709_422_10p_CbYCrY", "YCbCr", (Component.Y, Component.CB, Component.CR), [10] * 3),
        ],
    )
    def test_components_and_sizes(self, text, set_name, channels, sizes):
        fmt = PixelFormat.from_designation(text)
        assert fmt.components.name == set_name
        assert fmt.components.components == channels
        assert fmt.size.sizes == sizes

    @pytest.mark.parametrize(
        "text, standard, fields",
        [
            ("YCbCr8", "", None),
            ("YCbCr422_8", "", (4, 2, 2)),
            ("YCbCr411_8_CbYYCrYY", "", (4, 1, 1)),
            ("YCbCr601_8_CbYCr", "601", None),
            ("YCbCr709_422_8", "709", (4, 2, 2)),
            ("YCbCr2020_411_8_CbYYCrYY", "2020", (4, 1, 1)),
            ("YCbCr420_8_YY_CbCr_Semiplanar", "", (4, 2, 0)),
            ("YUV422_8_UYVY", "", (4, 2, 2)),
        ],
    )
    def test_colour_standard_and_location(self, text, standard, fields):
        components = PixelFormat.from_designation(text).components
        assert components.standard == standard
        assert (components.location.fields if components.location else None) == fields

    @pytest.mark.parametrize(
        "text, types",
        [
            ("Mono8", [DefaultDataType.UNSIGNED]),
            ("Mono8s", [DefaultDataType.SIGNED]),
            ("Data64f", [DefaultDataType.FLOAT]),
            ("Coord3D_ABC32f", [DefaultDataType.FLOAT] * 3),
        ],
    )
    def test_data_types(self, text, types):
        data_types = PixelFormat.from_designation(text).data_types
        assert [data_types[i] for i in range(len(data_types))] == types

    @pytest.mark.parametrize(
        "text, padding, name, alignment",
        [
            ("Mono12", PaddingType.UNPACKED, "", None),
            ("Mono12p", PaddingType.PACKED, "p", None),
            ("Mono12Packed", PaddingType.PACKED, "Packed", None),
            ("RGB10p32", PaddingType.PACKED, "p", 32),
        ],
    )
    def test_packing(self, text, padding, name, alignment):
        packing = PixelFormat.from_designation(text).packing
        assert (packing.padding_type, packing.padding_type_name, packing.alignment) == (padding, name, alignment)

    @pytest.mark.parametrize(
        "text, kind, piece",
        [
            ("RGB8_Planar", Planar, "Planar"),
            ("YCbCr422_8_CbYCrY", ComponentsSequencing, "CbYCrY"),
            ("YCbCr422_8_YY_CrCb_Semiplanar", PlaneGroups, "YY_CrCb_Semiplanar"),
            ("Mono8", type(None), None),
        ],
    )
    def test_interface_specific(self, text, kind, piece):
        suffix = PixelFormat.from_designation(text).interface_specific
        assert isinstance(suffix, kind)
        assert (suffix.designation() if suffix is not None else None) == piece


class TestGigEVisionNames:
    def test_packed_is_not_p(self):
        gev, pfnc = PixelFormat.from_designation("Mono12Packed"), PixelFormat.from_designation("Mono12p")
        assert gev.packing == pfnc.packing  # the same padding type...
        assert gev != pfnc  # ...but a different layout
        assert (gev.bits_per_pixel, pfnc.bits_per_pixel) == (12, 12)
        assert gev.code != pfnc.code

    def test_ten_bit_packed_takes_twelve_bits(self):
        assert PixelFormat.from_designation("BayerRG10Packed").computed_bits_per_pixel() == 12

    @pytest.mark.parametrize("name", sorted(OPAQUE))
    def test_opaque_formats(self, name):
        fmt = PixelFormat.from_designation(name)
        entry = names.find(name)
        assert (fmt.designation(), fmt.code, fmt.bits_per_pixel, fmt.description) == (
            name, entry.code, entry.bits_per_pixel, entry.description,
        )
        assert PixelFormat.readings(name) == []
        assert fmt == OpaquePixelFormat(name) and fmt != PixelFormat.from_designation("RGB10p32")
        with pytest.raises(TypeError):
            hash(fmt)


class TestUnpublished:
    @pytest.mark.parametrize(
        "text, bits",
        [("Mono7", 8), ("Mono7p", 7), ("RGB11p", 33), ("RGB10p64", 64), ("BGR10p32", 32), ("YUV422_10p", 20)],
    )
    def test_computed_bits_per_pixel(self, text, bits):
        fmt = PixelFormat.from_designation(text)
        assert fmt.code is None
        assert fmt.bits_per_pixel == bits

    def test_custom_component_set_at_run_time(self):
        snap = COMPONENT_SET_REGISTRY.snapshot()
        try:
            COMPONENT_SET_REGISTRY.add(ComponentSetDefinition("Rggb", ("Rggb",)))
            fmt = PixelFormat.from_designation("Rggb12p")
            assert (fmt.components.name, fmt.size.sizes, fmt.designation()) == ("Rggb", [12], "Rggb12p")
        finally:
            COMPONENT_SET_REGISTRY.restore(snap)
        with pytest.raises(PixelFormatValueReject):
            PixelFormat.from_designation("Rggb12p")


class TestReadings:
    def test_one_reading_per_published_name_in_order(self):
        assert PixelFormat.readings("RGB10p32") == [PixelFormat.from_designation("RGB10p32")]

    def test_round_trip_reading_is_preferred(self):
        # "Mono_8" reads as Mono8 only: the parser accepts one "_" before a count
        readings = PixelFormat.readings("Mono_8")
        assert [r.designation() for r in readings] == ["Mono8"]
        assert PixelFormat.from_designation("Mono_8").designation() == "Mono8"

    def test_several_readings_first_one_wins(self):
        snap = DATA_TYPE_REGISTRY.snapshot()
        try:
            # "p" now also names a custom data type: Mono8p reads as packed
            # unsigned and as unpacked of data type "p"; both write the text back
            DATA_TYPE_REGISTRY.register("p")
            readings = PixelFormat.readings("Mono8p")
            assert [r.designation() for r in readings] == ["Mono8p", "Mono8p"]
            assert [r.packing.padding_type for r in readings] == [PaddingType.PACKED, PaddingType.UNPACKED]
            assert PixelFormat.from_designation("Mono8p") == readings[0]
        finally:
            DATA_TYPE_REGISTRY.restore(snap)

    def test_deprecated_names_are_read_as_their_replacement(self):
        assert PixelFormat.readings("YUV422_YUYV_Packed") == PixelFormat.readings("YUV422_8")


class TestErrors:
    @pytest.mark.parametrize(
        "text, message",
        [
            ("", "'' is not a pixel-format designation: no component set of the vocabulary begins it"),
            ("Foo8", "'Foo8' is not a pixel-format designation: no component set of the vocabulary begins it"),
            ("Mono8xyz", "'Mono8xyz' is not a pixel-format designation: it reads only up to character 5 ('Mono8'), not 'xyz'"),
            ("Mono", "'Mono' is not a pixel-format designation: it ends after 'Mono', before the designation is complete"),
            ("RGB8_Plan", "'RGB8_Plan' is not a pixel-format designation: it reads only up to character 4 ('RGB8'), not '_Plan'"),
        ],
    )
    def test_unreadable_text(self, text, message):
        with pytest.raises(PixelFormatValueReject) as info:
            PixelFormat.from_designation(text)
        assert str(info.value) == message

    @pytest.mark.parametrize("bad", [None, b"Mono8", 8, type("S", (str,), {})("Mono8")], ids=["None", "bytes", "int", "str-subclass"])
    def test_designation_must_be_a_str(self, bad):
        with pytest.raises(TypeError, match="designation must be str"):
            PixelFormat.from_designation(bad)
        with pytest.raises(TypeError, match="designation must be str"):
            PixelFormat.readings(bad)

    @pytest.mark.parametrize("code", [0x12345678, -1, 1 << 40])
    def test_unknown_value(self, code):
        with pytest.raises(PixelFormatValueReject, match="is not a published pixel-format value"):
            PixelFormat.from_code(code)

    @pytest.mark.parametrize("code", ["0x01080001", 1.0, True, None])
    def test_value_must_be_an_int(self, code):
        with pytest.raises(TypeError):
            PixelFormat.from_code(code)

    @pytest.mark.parametrize(
        "text",
        ["Mono8" + "x" * 1_000_000, "Mono8" + "p" * 1_000_000, "Mono8" + "s" * 1_000_000, "M" * 1_000_000],
        ids=["garbage", "p-run", "s-run", "no-components"],
    )
    def test_long_text_gets_a_short_clear_error(self, text):
        with pytest.raises(PixelFormatValueReject) as info:
            PixelFormat.from_designation(text)
        message = str(info.value)
        assert len(message) < 300 and f"({len(text)} characters)" in message

    def test_digit_run_over_the_integer_limit(self):
        with pytest.raises(PixelFormatValueReject, match="a run of 10000 digits, more than the 4300") as info:
            PixelFormat.from_designation("Mono" + "8" * 10_000)
        assert "set_int_max_str_digits" not in str(info.value)


def test_location_piece_of_custom_lmn():
    fmt = PixelFormat.from_designation("YCbCr422_8")
    assert fmt.components.location == LMNLocation((4, 2, 2))
    assert fmt.components.designation() == "YCbCr422"
