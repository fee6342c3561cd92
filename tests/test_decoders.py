"""Decoding and encoding frames, checked against the packer of tests/_reference.py.

The reference reads only the parsed format's parts and the bit rules; every
expected byte and value here comes from it or from the worked-bytes table.
"""

import math
import re
import zlib

import numpy as np
import pytest

import korvell.pfnc
from korvell.pfnc import decoders, names
from korvell.pfnc.exceptions import PixelFormatDecodeNotSupportedError, PixelFormatValueReject
from korvell.pfnc.genicam.components import COMPONENT_SET_REGISTRY, ComponentSetDefinition
from korvell.pfnc.genicam.ostrevo import PADDING_TYPE_NAME_REGISTRY, PaddingType
from korvell.pfnc.halvenor import PixelFormatDecoder
from korvell.pfnc.pixel_format import PixelFormat

from _reference import Ref, Unsupported


def ref(name, byte_order="little"):
    return Ref.of(PixelFormat.from_designation(name), byte_order)


def same(got, want):
    # Bit for bit, so that -0.0 and infinities count and dtypes must agree.
    assert (got.dtype, got.shape) == (want.dtype, want.shape)
    assert np.ascontiguousarray(got).tobytes() == np.ascontiguousarray(want).tobytes()


def seed_of(name, k=0):
    return zlib.crc32(name.encode()) % 100_000 + k


WORKED = [
    ("Mono12p", [0xABC, 0x123], "BC 3A 12"),
    ("Mono12pmsb", [0xABC, 0x123], "AB C1 23"),
    ("Mono12Packed", [0xABC, 0x123], "AB 3C 12"),
    ("Mono12g", [0xABC, 0x123], "AB 12 3C"),
    ("Mono10p", [0x3A5, 0x15A, 0x2C3, 0x0F0], "A5 6B 35 2C 3C"),
    ("Mono10pmsb", [0x3A5, 0x15A, 0x2C3, 0x0F0], "E9 55 AB 0C F0"),
    ("Mono10Packed", [0x3A5, 0x15A], "E9 21 56"),
    ("Mono10g", [0x3A5, 0x15A, 0x2C3, 0x0F0], "E9 56 B0 3C 39"),
    ("Mono14p", [0x2ABC, 0x1357, 0x3FFF, 0x0001], "BC EA D5 F4 FF 07 00"),
    ("Mono1p", [1, 0, 1, 1, 0, 0, 0, 1, 1], "8D 01"),
    ("Mono2p", [1, 2, 3, 0, 2], "39 02"),
    ("Mono4p", [0x1, 0xE, 0x7], "E1 07"),
    ("RGB565p", [(0x1F, 0x2A, 0x05)], "5F 2D"),
    ("BGR565p", [(0x05, 0x2A, 0x1F)], "45 FD"),  # channels B, G, R
    ("RGB10p32", [(0x3FF, 0x155, 0x0AA)], "FF 57 A5 0A"),
    ("RGB10p", [(0x3FF, 0x155, 0x0AA), (0x001, 0x002, 0x003)], "FF 57 A5 4A 00 02 0C 00"),
    ("Mono10c3p32", [0x3A5, 0x15A, 0x2C3], "A5 6B 35 2C"),
    ("Mono10", [0x3A5], "A5 03"),
    ("Mono10msb", [0x3A5], "40 E9"),
]


@pytest.mark.parametrize("name, values, hexbytes", WORKED, ids=[row[0] for row in WORKED])
def test_worked_bytes(name, values, hexbytes):
    r = ref(name)
    data = bytes.fromhex(hexbytes)
    image = np.array([values], dtype=r.dtype)
    assert r.pack(image) == data  # the reference itself first
    same(decoders.decode(name, data, width=image.shape[1], height=1), image)
    assert decoders.encode(name, image) == data


FAMILIES = [
    # unpacked containers, every data type, sequences mapping memory order to channel order
    "Mono8", "Mono8s", "Mono10", "Mono12", "Mono16", "Mono32", "Data64", "Data16s", "Data32s", "Data64s",
    "Data16f", "Data32f", "Data64f", "Confidence1", "RGB8", "BGR10", "RGBa16", "BiColorRGBG12", "Coord3D_AC16",
    "Coord3D_ABC32f", "YCbCr160808", "YCbCr8_CbYCr", "YCbCr10_CbYCr", "YUV8_UYV", "Mono10msb", "RGB12msb",
    # lsb and msb bit streams, per-channel sizes
    "Mono1p", "Mono2p", "Mono4p", "Mono10p", "Mono12p", "Mono14p", "Mono12sp", "RGB10p", "BGRa12p", "RGB565p",
    "BGR565p", "YCbCr10p_CbYCr", "BiColorBGRG10p", "Coord3D_AC10p", "Confidence1p",
    "Mono10pmsb", "Mono12pmsb", "RGB12pmsb",
    # GigE Packed, grouped
    "Mono10Packed", "Mono12Packed", "BayerGR12Packed", "Mono10g", "Mono12g", "Mono10gmsb", "Mono12gmsb",
    # alignment and clusters
    "RGB10p32", "BGR10p32", "Mono10p16", "RGB8a32", "Mono10c3p32", "Mono12c5p64", "Mono10c3a64", "Mono8c3a32",
    # planar
    "RGB8_Planar", "RGB16_Planar", "Coord3D_ABC10p_Planar", "Coord3D_AC12p_Planar", "Coord3D_ABC32f_Planar",
]
# Alignments that are not whole bytes (a partial group still takes its units'
# padding) and clusters without an alignment.
UNEVEN = ["Mono1p10", "RGB5p20", "RGB3p10_Planar", "Mono10c3p", "RGB4c3p"]
ROUND_TRIPS = [(name, seed_of(name, k)) for name in FAMILIES + UNEVEN for k in range(2)]


def geometry(rng, r):
    """A width of 1-67 and height of 1-5 the layout can hold, and no stride or one with padding."""
    g = r.granularity
    height = int(rng.integers(1, 6))
    if rng.random() < 0.4:
        width = int(rng.choice([w for w in range(1, 68) if w * height % g == 0]))
        return width, height, None
    width = g * int(rng.integers(1, 67 // g + 1))
    return width, height, r.line_bytes(width) + int(rng.integers(0, 8))


@pytest.mark.parametrize("name, seed", ROUND_TRIPS, ids=[f"{n}-seed{s}" for n, s in ROUND_TRIPS])
def test_round_trip(name, seed):
    rng = np.random.default_rng(seed)
    r = ref(name)
    fmt = PixelFormat.from_designation(name) if seed % 2 else name
    width, height, stride = geometry(rng, r)
    geo = dict(width=width, height=height, stride=stride)
    x = r.random(rng, width, height)
    data = r.pack(x, stride)
    assert decoders.get_buffer_size(fmt, **geo) == len(data) == r.buffer_size(width, height, stride)
    kept = x.copy()
    assert decoders.encode(fmt, x, stride=stride) == data
    same(x, kept)
    got = decoders.decode(fmt, data, **geo)
    same(got, x)
    assert decoders.encode(fmt, got, stride=stride) == data
    # Padding bits and line padding carry noise; the caller's buffer stays as it was.
    noisy = bytearray(r.pack(x, stride, garbage=rng))
    before = bytes(noisy)
    same(decoders.decode(fmt, noisy, **geo), x)
    same(decoders.decode(fmt, memoryview(noisy), **geo, copy=True), x)
    assert noisy == before
    same(r.unpack(noisy, width, height, stride), x)


@pytest.mark.parametrize("name", FAMILIES)
def test_layout_record(name):
    r = ref(name)
    lay = decoders.layout(name)
    assert lay.designation == PixelFormat.from_designation(name).designation()
    assert (lay.channels, lay.bits, lay.planar) == (r.channels, r.bits, r.planar)
    assert lay.memory_order == tuple(r.channels[i] for i in r.order)
    assert (np.dtype(lay.dtype), lay.granularity) == (r.dtype, r.granularity)
    assert (lay.byte_order, lay.msb_aligned) == ("little", False)
    if not r.planar:
        assert (lay.group_bits, lay.group_pixels) == r.group()
    if r.mode != "unpacked-msb":
        assert lay.packing == r.mode
    containers = {next(c for c in (8, 16, 32, 64) if c >= n) for n in r.bits}
    if r.mode.startswith("unpacked") and len(containers) == 1:
        assert lay.container == containers.pop()
    elif not r.mode.startswith("unpacked"):
        assert lay.container is None
    for text in (str(lay), lay.describe()):
        assert text and "\n" not in text


ROWS = [e for e in names.entries() if e.status != "superseded"]


def not_decoded(fmt):
    try:
        Ref.of(fmt)
    except Unsupported:
        return True
    return False


def test_not_decoded_are_the_opaque_ones():
    left_out = {e.name for e in ROWS if not_decoded(PixelFormat.from_designation(e.name))}
    assert left_out == {"RGB10V1Packed", "RGB12V1Packed"}


@pytest.mark.parametrize("entry", ROWS, ids=[e.name for e in ROWS])
def test_every_published_name(entry):
    fmt = PixelFormat.from_designation(entry.name)
    if not_decoded(fmt):
        calls = [
            lambda: decoders.decode(entry.name, bytes(256), width=4, height=2),
            lambda: decoders.encode(entry.name, np.zeros((2, 4, 3), np.uint8)),
            lambda: decoders.get_buffer_size(entry.name, width=4, height=2),
            lambda: decoders.layout(fmt),
        ]
        for call in calls:
            with pytest.raises(PixelFormatDecodeNotSupportedError) as info:
                call()
            assert entry.name in str(info.value) or fmt.designation() in str(info.value)
        assert not decoders.LayoutDecoder().is_applicable(fmt)
        return
    r = Ref.of(fmt)
    width, height = (5 if r.granularity == 1 else 4 * r.granularity), 3 * r.down
    x = r.random(np.random.default_rng(seed_of(entry.name)), width, height)
    data = r.pack(x)
    if not r.planar and entry.bits_per_pixel:
        assert len(data) == math.ceil(width * height * entry.bits_per_pixel / 8)
    assert decoders.get_buffer_size(entry.name, width=width, height=height) == len(data)
    same(decoders.decode(entry.name, data, width=width, height=height), x)
    assert decoders.encode(entry.name, x) == data
    assert decoders.LayoutDecoder().is_applicable(fmt)


VIEWS = ["Mono8", "Mono8s", "Mono16", "Data32s", "Data64f", "RGB8", "RGBa16", "BiColorRGBG8", "Coord3D_ABC32f",
         "YCbCr8", "RGB16_Planar", "Coord3D_AC8_Planar"]


@pytest.mark.parametrize("kind", [bytes, bytearray])
@pytest.mark.parametrize("pad", [None, 5])
@pytest.mark.parametrize("name", VIEWS)
def test_copy_false_views_the_buffer(name, pad, kind):
    r = ref(name)
    width, height = 7, 3
    x = r.random(np.random.default_rng(seed_of(name)), width, height)
    stride = None if pad is None else r.line_bytes(width) + pad
    buf = kind(r.pack(x, stride, garbage=np.random.default_rng(1)))
    raw = np.frombuffer(buf, np.uint8)
    geo = dict(width=width, height=height, stride=stride)
    view = decoders.decode(name, buf, **geo)
    same(view, x)
    assert np.shares_memory(view, raw)
    assert view.flags.writeable == (kind is bytearray)
    new = decoders.decode(name, buf, **geo, copy=True)
    same(new, x)
    assert new.flags.c_contiguous and not np.shares_memory(new, raw)


@pytest.mark.parametrize("name", ["Mono8", "RGB16", "Coord3D_AC8_Planar"])
def test_view_holds_the_buffer_it_views(name):
    r = ref(name)
    x = r.random(np.random.default_rng(2), 8, 4)
    stride = r.line_bytes(8) + 4
    buf = bytearray(r.pack(x, stride))
    view = decoders.decode(name, buf, width=8, height=4, stride=stride)
    # A resize would move the bytes away from under the view.
    with pytest.raises(BufferError):
        buf.extend(bytes(1 << 20))
    same(view, x)


@pytest.mark.parametrize("name, options", [
    ("Mono12p", {}), ("YCbCr8_CbYCr", {}), ("RGB10p32", {}), ("Mono16", {"byte_order": "big"}),
    ("Mono12", {"msb_aligned": True}), ("Mono10msb", {}),
])
def test_other_layouts_give_a_new_array(name, options):
    r = ref(name, options.get("byte_order", "little"))
    x = r.random(np.random.default_rng(3), 4, 2)
    buf = r.pack(x, r.line_bytes(4) + 3)
    out = decoders.decode(name, buf, width=4, height=2, stride=r.line_bytes(4) + 3, **options)
    assert out.flags.c_contiguous and not np.shares_memory(out, np.frombuffer(buf, np.uint8))


# -- hostile input -------------------------------------------------------------


@pytest.mark.parametrize("name, width, height, stride", [
    ("Mono8", 5, 3, None), ("Mono12p", 5, 3, None), ("Mono12p", 5, 3, 9), ("RGB8_Planar", 4, 2, None),
    ("RGB8_Planar", 4, 2, 13), ("Mono10c3p32", 6, 1, None), ("Mono12Packed", 4, 2, 6), ("Coord3D_ABC10p_Planar", 3, 3, None),
])
def test_buffer_one_byte_short(name, width, height, stride):
    need = ref(name).buffer_size(width, height, stride)
    geo = dict(width=width, height=height, stride=stride)
    assert decoders.get_buffer_size(name, **geo) == need
    with pytest.raises(ValueError) as info:
        decoders.decode(name, bytes(need - 1), **geo)
    assert re.search(rf"\b{need}\b", str(info.value)) and re.search(rf"\b{need - 1}\b", str(info.value))


@pytest.mark.parametrize("arg", ["width", "height"])
@pytest.mark.parametrize("value, error", [
    (0, ValueError), (-1, ValueError), (True, TypeError), (False, TypeError), (2.0, TypeError), ("2", TypeError),
    (None, TypeError),
])
def test_bad_dimensions(arg, value, error):
    geo = {"width": 2, "height": 2, arg: value}
    match = arg if error is ValueError else None
    with pytest.raises(error, match=match):
        decoders.decode("Mono8", bytes(16), **geo)
    with pytest.raises(error, match=match):
        decoders.get_buffer_size("Mono12p", **geo)


@pytest.mark.parametrize("name, width, stride", [("Mono12p", 5, 7), ("RGB8", 4, 11), ("Mono8", 3, 0), ("Mono8", 3, -1),
                                                  ("RGB16_Planar", 2, 3), ("Mono10g", 4, 4)])
def test_stride_too_small(name, width, stride):
    with pytest.raises(ValueError, match="stride"):
        decoders.decode(name, bytes(4096), width=width, height=2, stride=stride)
    with pytest.raises(ValueError, match="stride"):
        decoders.get_buffer_size(name, width=width, height=2, stride=stride)
    with pytest.raises(ValueError, match="stride"):
        decoders.encode(name, ref(name).random(np.random.default_rng(0), width, 2), stride=stride)


@pytest.mark.parametrize("name, width, height, stride, fits", [
    ("Mono12Packed", 3, 1, None, False), ("Mono12Packed", 3, 2, 16, False), ("Mono12Packed", 3, 2, None, True),
    ("Mono10g", 6, 1, 16, False), ("Mono10g", 2, 3, None, False), ("Mono10g", 2, 2, None, True),
    ("Mono10c3p32", 4, 1, 16, False), ("Mono10c3p32", 2, 2, None, False), ("Mono10c3p32", 1, 3, None, True),
    ("Mono12c5p64", 4, 5, 16, False), ("Mono12gmsb", 1, 1, None, False), ("BayerRG10Packed", 5, 2, 16, False),
])
def test_widths_that_split_a_group(name, width, height, stride, fits):
    geo = dict(width=width, height=height, stride=stride)
    r = ref(name)
    if fits:
        x = r.random(np.random.default_rng(5), width, height)
        same(decoders.decode(name, r.pack(x), **geo), x)
        assert decoders.encode(name, x) == r.pack(x)
        return
    image = np.zeros((height, width), r.dtype)
    for call in (lambda: decoders.decode(name, bytes(4096), **geo), lambda: decoders.get_buffer_size(name, **geo),
                 lambda: decoders.encode(name, image, stride=stride)):
        with pytest.raises(ValueError, match="width"):
            call()


def test_group_beyond_the_engine_is_not_supported():
    for call in (lambda: decoders.layout("Mono1p10001"), lambda: decoders.get_buffer_size("Mono1p10001", width=8, height=1)):
        with pytest.raises(PixelFormatDecodeNotSupportedError, match="Mono1p10001: its repeating group"):
            call()


HUGE = {"Mono8": (8, 1), "RGB16": (48, 1), "Mono12p": (12, 1), "RGB8_Planar": (24, 3)}


@pytest.mark.parametrize("width, height, stride", [
    (2**40, 2**40, None), (2**62, 4, None), (2**64 + 1, 1, None), (4, 2**40, 2**40), (1, 1, 2**70), (2**31, 2**31, None),
])
@pytest.mark.parametrize("name", list(HUGE))
def test_huge_sizes_fail_cleanly_or_count_exactly(name, width, height, stride):
    geo = dict(width=width, height=height, stride=stride)
    with pytest.raises((ValueError, OverflowError)):
        decoders.decode(name, bytes(64), **geo)
    bits, planes = HUGE[name]
    exact = planes * (stride * height if stride is not None else -(-width * height * bits // planes // 8))
    try:
        size = decoders.get_buffer_size(name, **geo)
    except (ValueError, OverflowError):
        return
    assert size == exact  # never a wrapped number


@pytest.mark.parametrize("buffer", [
    "abcdefgh", 12345678, [0] * 8, None, 8.0,
], ids=["str", "int", "list", "None", "float"])
def test_buffer_not_bytes_like(buffer):
    with pytest.raises(TypeError):
        decoders.decode("Mono8", buffer, width=4, height=2)


@pytest.mark.parametrize("buffer", [
    memoryview(bytearray(32))[::2], np.zeros((4, 8), np.uint8)[:, ::2], np.zeros((4, 4), np.uint8).T,
], ids=["memoryview-step", "ndarray-step", "ndarray-fortran"])
def test_buffer_not_c_contiguous(buffer):
    with pytest.raises(TypeError):
        decoders.decode("Mono8", buffer, width=4, height=2)


@pytest.mark.parametrize("name, values, dtype", [
    ("Mono12p", [4096], np.uint16), ("Mono10", [1024], np.uint16), ("Mono10Packed", [1024, 0], np.uint16),
    ("Mono12g", [0, 4096], np.uint16), ("Mono1p", [2], np.uint8), ("Mono8s", [200], np.int16),
    ("Mono8s", [-129], np.int16), ("Mono12sp", [2048], np.int16), ("Mono12sp", [-2049], np.int16),
    ("Mono12", [-1], np.int32), ("Mono10msb", [1024], np.uint16), ("Mono10c3p32", [0, 0, 1 << 10], np.uint16),
    ("Data32f", [1e300], np.float64), ("Data16f", [1e10], np.float32),
    ("RGB565p", [(32, 0, 0)], np.uint8), ("RGB565p", [(0, 64, 0)], np.uint8), ("RGB10p32", [(0, 0, 1024)], np.uint16),
])
def test_encode_values_out_of_range(name, values, dtype):
    with pytest.raises(ValueError):
        decoders.encode(name, np.array([values], dtype))


@pytest.mark.parametrize("name, image, errors", [
    ("RGB8", np.zeros((2, 3), np.uint8), ValueError), ("RGB8", np.zeros((2, 3, 4), np.uint8), ValueError),
    ("Mono8", np.zeros(6, np.uint8), ValueError), ("RGB8_Planar", np.zeros((2, 3, 2), np.uint8), ValueError),
    ("Mono8", np.zeros((2, 3), np.float32), (TypeError, ValueError)),
    ("Mono12p", np.full((2, 3), 0.5), (TypeError, ValueError)),
])
def test_encode_image_that_does_not_fit(name, image, errors):
    with pytest.raises(errors):
        decoders.encode(name, image)


# -- user vocabulary, back-ends and options -------------------------------------


@pytest.fixture
def vocabulary():
    sets, paddings = COMPONENT_SET_REGISTRY.snapshot(), PADDING_TYPE_NAME_REGISTRY.snapshot()
    COMPONENT_SET_REGISTRY.add(ComponentSetDefinition("Rggb", ("Rggb",)))
    PADDING_TYPE_NAME_REGISTRY.register("q", PaddingType.PACKED)
    yield
    COMPONENT_SET_REGISTRY.restore(sets)
    PADDING_TYPE_NAME_REGISTRY.restore(paddings)


@pytest.mark.parametrize("name, like", [
    ("Rggb10p", "Mono10p"), ("Rggb16", "Mono16"), ("Rggb12Packed", "Mono12Packed"), ("Mono12q", "Mono12p"),
    ("RGB10q32", "RGB10p32"), ("Rggb12q", "Mono12p"), ("Mono10c3q32", "Mono10c3p32"),
])
def test_user_component_set_and_padding_name(vocabulary, name, like):
    fmt = PixelFormat.from_designation(name)
    r = Ref.of(fmt)
    x = r.random(np.random.default_rng(seed_of(name)), 6, 3)
    data = r.pack(x)
    assert data == ref(like).pack(x)
    for given in (fmt, name):
        same(decoders.decode(given, data, width=6, height=3), x)
        assert decoders.encode(given, x) == data
    assert decoders.layout(fmt).channels == r.channels


def test_user_padding_name_is_forgotten_after_restore(vocabulary):
    data = ref("Mono12p").pack(np.array([[1, 2]], np.uint16))
    same(decoders.decode("Mono12q", data, width=2, height=1), np.array([[1, 2]], np.uint16))
    PADDING_TYPE_NAME_REGISTRY.restore(PADDING_TYPE_NAME_REGISTRY.default_snapshot())
    with pytest.raises(PixelFormatValueReject):
        decoders.decode("Mono12q", data, width=2, height=1)


class Mono8Only(PixelFormatDecoder):
    def __init__(self):
        super().__init__("mono8-only")
        self.image = np.full((1, 1), 42, np.uint8)

    def is_applicable(self, pixel_format):
        return pixel_format.designation() == "Mono8"

    def decode(self, pixel_format, buffer, *, width, height, stride=None, copy=False):
        return self.image

    def get_buffer_size(self, pixel_format, *, width, height, stride=None):
        return 4242


def test_user_backend_with_priority_1_wins():
    registry = decoders.default_registry()
    (builtin,) = registry.snapshot().registrations
    assert isinstance(builtin.decoder, decoders.LayoutDecoder)
    assert builtin.priority == decoders.BUILTIN_PRIORITY == 0
    mine = Mono8Only()
    registry.register(1, mine)
    assert decoders.decode("Mono8", bytes(4), width=2, height=2, registry=registry) is mine.image
    assert decoders.get_buffer_size("Mono8", width=2, height=2, registry=registry) == 4242
    assert registry.resolve(PixelFormat.from_designation("Mono8")) is mine
    same(decoders.decode("Mono12p", bytes.fromhex("BC3A12"), width=2, height=1, registry=registry),
         np.array([[0xABC, 0x123]], np.uint16))
    same(decoders.decode("Mono8", bytes(4), width=2, height=2), np.zeros((2, 2), np.uint8))


@pytest.mark.parametrize("name, byte_order, msb_aligned", [
    ("Mono12p", "little", True), ("Mono12p", "big", False), ("Mono16", "big", False), ("RGB10", "big", False),
    ("Mono12", "big", True), ("Data32f", "big", False), ("Data16s", "big", False), ("Coord3D_ABC16_Planar", "big", True),
    ("Mono10msb", "little", True), ("Mono10Packed", "little", True), ("Confidence1", "little", True),
    ("Mono10g", "big", True), ("YCbCr10_CbYCr", "big", True), ("YCbCr160808", "big", True), ("Mono8", "big", True),
])
def test_byte_order_and_msb_aligned(name, byte_order, msb_aligned):
    r = ref(name, byte_order)
    x = r.random(np.random.default_rng(seed_of(name)), 4, 2)
    data = r.pack(x)
    want = x
    if msb_aligned and r.kinds[0] == "u":
        shifts = np.array([8 * r.dtype.itemsize - n for n in r.bits], r.dtype)
        want = x << (shifts if x.ndim == 3 else shifts[0])
    options = dict(byte_order=byte_order, msb_aligned=msb_aligned)
    same(decoders.decode(name, data, width=4, height=2, **options), want)
    assert decoders.encode(name, want, **options) == data
    lay = decoders.layout(PixelFormat.from_designation(name), **options)
    assert (lay.byte_order, lay.msb_aligned) == (byte_order, msb_aligned)
    fmt = PixelFormat.from_designation(name)
    same(decoders.default_registry(**options).decode(fmt, data, width=4, height=2), want)
    same(decoders.LayoutDecoder(**options).decode(fmt, data, width=4, height=2), want)


@pytest.mark.parametrize("name", ["Mono8", "Mono12p", "YCbCr8_CbYCr", "YCbCr422_8", "YUV411Packed", "YCbCr422_8_Planar",
                                  "YCbCr420_8_YY_CbCr_Semiplanar", "RGB10V1Packed", "RGB12V1Packed"])
def test_is_applicable_exactly_when_layout_succeeds(name):
    fmt = PixelFormat.from_designation(name)
    try:
        decoders.layout(fmt)
        works = True
    except PixelFormatDecodeNotSupportedError:
        works = False
    assert works == (not not_decoded(fmt)) == decoders.LayoutDecoder().is_applicable(fmt)


# -- subsampled --------------------------------------------------------------------

SUBSAMPLED = [
    "YCbCr422_8", "YUV422_8_UYVY", "YCbCr422_8_CbYCrY", "YCbCr411_8", "YCbCr411_8_CbYYCrYY", "YUV411_8_UYYVYY",
    "YCbCr422_10", "YCbCr422_10p", "YCbCr422_12_CbYCrY", "YCbCr422_12p", "YCbCr709_422_10p_CbYCrY",
    "YCbCr2020_411_8_CbYYCrYY", "YCbCr420_8_YY_CbCr_Semiplanar", "YCbCr420_8_YY_CrCb_Semiplanar",
    "YCbCr422_8_YY_CbCr_Semiplanar", "YCbCr422_8_YY_CrCb_Semiplanar",
    # read by the parser, not in the table
    "YCbCr422_10p_YY_CbCr_Semiplanar", "YCbCr420_12p_YY_CrCb_Semiplanar", "YCbCr411_10p", "YUV422_8", "YUV422Packed",
]
SUB_TRIPS = [(name, seed_of(name, k)) for name in SUBSAMPLED for k in range(3)]


@pytest.mark.parametrize("name, seed", SUB_TRIPS, ids=[f"{n}-seed{s}" for n, s in SUB_TRIPS])
def test_subsampled_round_trip(name, seed):
    rng = np.random.default_rng(seed)
    r = ref(name)
    width = r.granularity * int(rng.integers(1, 40 // r.granularity + 2))
    height = r.down * int(rng.integers(1, 4))
    stride = None if seed % 3 == 0 else r.line_bytes(width) + int(rng.integers(0, 6))
    geo = dict(width=width, height=height, stride=stride)
    x = r.random(rng, width, height)
    data = r.pack(x, stride)
    assert decoders.get_buffer_size(name, **geo) == len(data) == r.buffer_size(width, height, stride)
    kept = x.copy()
    assert decoders.encode(name, x, stride=stride) == data
    same(x, kept)
    same(decoders.decode(name, data, **geo), x)
    noisy = bytearray(r.pack(x, stride, garbage=rng))
    before = bytes(noisy)
    same(decoders.decode(name, noisy, **geo), x)
    assert noisy == before
    same(r.unpack(noisy, width, height, stride), x)


@pytest.mark.parametrize("name, hexbytes, pixels", [
    # pixels as (Y, Cb, Cr), written out from the sample orders
    ("YCbCr422_8", "10 80 20 90", [(0x10, 0x80, 0x90), (0x20, 0x80, 0x90)]),
    ("YUV422_8_UYVY", "80 10 90 20", [(0x10, 0x80, 0x90), (0x20, 0x80, 0x90)]),
    ("YCbCr411_8", "01 02 80 03 04 90", [(1, 0x80, 0x90), (2, 0x80, 0x90), (3, 0x80, 0x90), (4, 0x80, 0x90)]),
    ("YUV411_8_UYYVYY", "80 01 02 90 03 04", [(1, 0x80, 0x90), (2, 0x80, 0x90), (3, 0x80, 0x90), (4, 0x80, 0x90)]),
    ("YCbCr422_10p", "A5 6B 35 2C 3C", [(0x3A5, 0x15A, 0x0F0), (0x2C3, 0x15A, 0x0F0)]),
    ("YCbCr422_8_YY_CrCb_Semiplanar", "10 20 90 80", [(0x10, 0x80, 0x90), (0x20, 0x80, 0x90)]),
])
def test_sample_orders(name, hexbytes, pixels):
    image = np.array([pixels], np.uint8 if "10p" not in name else np.uint16)
    data = bytes.fromhex(hexbytes)
    same(decoders.decode(name, data, width=image.shape[1], height=1), image)
    assert decoders.encode(name, image) == data


def test_nv12_and_nv21_chroma_order_and_lines():
    # 4 x 2 luma, then one line of pairs for both lines
    luma, pairs = bytes(range(8)), bytes([0x80, 0x90, 0x81, 0x91])
    cb = np.array([[0x80, 0x80, 0x81, 0x81]] * 2, np.uint8)
    cr = cb + 0x10
    for name, first, second in [("YCbCr420_8_YY_CbCr_Semiplanar", cb, cr), ("YCbCr420_8_YY_CrCb_Semiplanar", cr, cb)]:
        got = decoders.decode(name, luma + pairs, width=4, height=2)
        same(got, np.stack([np.arange(8, dtype=np.uint8).reshape(2, 4), first, second], axis=2))
        assert decoders.encode(name, got) == luma + pairs
        stride = 6
        padded = luma[:4] + b"xx" + luma[4:] + b"yy" + pairs + b"zz"
        same(decoders.decode(name, padded, width=4, height=2, stride=stride), got)


@pytest.mark.parametrize("name, width, height, arg", [
    ("YCbCr422_8", 5, 2, "width"), ("YCbCr422_8", 3, 1, "width"), ("YCbCr411_8", 6, 2, "width"),
    ("YCbCr411_8_CbYYCrYY", 2, 2, "width"), ("YCbCr420_8_YY_CbCr_Semiplanar", 4, 3, "height"),
    ("YCbCr420_8_YY_CbCr_Semiplanar", 3, 2, "width"), ("YCbCr422_8_YY_CrCb_Semiplanar", 7, 1, "width"),
    ("YCbCr422_10p_CbYCrY", 1, 2, "width"),
])
def test_sizes_a_subsampling_cannot_hold(name, width, height, arg):
    image = np.zeros((height, width, 3), np.uint16 if "10" in name else np.uint8)
    for call in (lambda: decoders.decode(name, bytes(4096), width=width, height=height),
                 lambda: decoders.get_buffer_size(name, width=width, height=height, stride=64),
                 lambda: decoders.encode(name, image)):
        with pytest.raises(ValueError, match=arg):
            call()


@pytest.mark.parametrize("name, y, x, channel", [
    ("YCbCr422_8", 0, 1, 1), ("YCbCr422_8", 1, 3, 2), ("YCbCr411_8_CbYYCrYY", 0, 3, 2),
    ("YCbCr420_8_YY_CbCr_Semiplanar", 1, 0, 1), ("YCbCr420_8_YY_CrCb_Semiplanar", 1, 3, 2),
    ("YCbCr422_8_YY_CbCr_Semiplanar", 1, 1, 1),
])
def test_encode_refuses_chroma_that_disagrees(name, y, x, channel):
    r = ref(name)
    image = r.random(np.random.default_rng(7), 4, 2)
    decoders.encode(name, image)  # agreeing chroma encodes
    image[y, x, channel] ^= 1
    kept = image.copy()
    with pytest.raises(ValueError, match=rf"y={y}, x={x}"):
        decoders.encode(name, image)
    same(image, kept)


@pytest.mark.parametrize("name, subsampling, planes, memory", [
    ("YCbCr422_8", (4, 2, 2), (), ("Y", "Cb", "Y", "Cr")),
    ("YUV411_8_UYYVYY", (4, 1, 1), (), ("U", "Y", "Y", "V", "Y", "Y")),
    ("YCbCr420_8_YY_CrCb_Semiplanar", (4, 2, 0), (("Y",), ("Cr", "Cb")), ("Y", "Cr", "Cb")),
    ("YCbCr8_CbYCr", None, (), ("Cb", "Y", "Cr")),
])
def test_subsampled_layout_record(name, subsampling, planes, memory):
    r, lay = ref(name), decoders.layout(name)
    assert (lay.subsampling, lay.planes, lay.memory_order) == (subsampling, planes, memory)
    assert lay.channels == r.channels and np.dtype(lay.dtype) == r.dtype and not lay.planar
    if subsampling is not None:
        assert (lay.group_bits, lay.group_pixels, lay.granularity) == (*r.group(), r.granularity)
        assert ":".join(map(str, subsampling)) in lay.describe()
    assert ("planes" in lay.describe()) == bool(planes)


def test_package_conveniences_are_the_decoders():
    assert (korvell.pfnc.decode, korvell.pfnc.encode, korvell.pfnc.get_buffer_size) == (
        decoders.decode, decoders.encode, decoders.get_buffer_size)
