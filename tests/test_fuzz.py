"""Fuzzing: every parser and every decoder entry point on random input.

Parsers get text built from the grammar's own pieces (component sets, digit
runs, data types, packings, suffixes), published names with one character
changed, and arbitrary text.  Each must return or raise its documented error;
the rest of every candidate is a suffix of the input, and each candidate's
designation, read again, gives an equal candidate that consumes it all.

Decoders get random formats (published names and designations the grammar
reads), widths, heights, strides, byte orders and buffer lengths.  They must
raise only their documented errors, give the same array whichever way the
bytes are handed over (an exact-size array, bytes, a window in a larger
buffer whose bytes around it differ between calls), leave the buffer as it
was, and give back what they encoded; where tests/_reference.py knows the
layout, encode must write its bytes.  The engine itself gets random geometry
against buffers one byte too short to one byte too long.

An exact-size numpy array is the buffer the sanitizer lane needs: a read past
its end leaves the allocation.  The window with changing surroundings finds
the same fault without a sanitizer, through the values.

Profiles: by default a short derandomized slice (the suite, CI, the sanitizer
lane).  KORVELL_FUZZ=long runs 10**6 inputs per harness with random seeds and
hypothesis's example database; KORVELL_FUZZ=<n> runs n:

    KORVELL_FUZZ=long python -m pytest tests/test_fuzz.py --hypothesis-show-statistics

10**5 inputs took 4 to 10 minutes per harness on the project machine (2 cores),
about 42 minutes in all, so the long run takes about 7 hours; harnesses run
apart with -k (two at a time on two cores).  The default slice takes about 10 s.
"""

from __future__ import annotations

import os
from datetime import timedelta

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, settings, strategies as st

from korvell.pfnc import decoders, names
from korvell.pfnc.decoders import _engine
from korvell.pfnc.exceptions import PixelFormatDecodeNotSupportedError, PixelFormatValueReject
from korvell.pfnc.genicam.brintal import CompoundDataTypes, DataTypes, DefaultDataType
from korvell.pfnc.genicam.components import COMPONENT_SET_REGISTRY, parse_components
from korvell.pfnc.genicam.ostrevo import Packing
from korvell.pfnc.genicam.quenmar import InterfaceSpecific
from korvell.pfnc.genicam.tesselk import Size
from korvell.pfnc.pixel_format import OpaquePixelFormat, PixelFormat, VendorPixelFormat

from _reference import Ref, Unsupported
from test_engine import ref_byte_count, ref_decode, ref_encode

# ---------------------------------------------------------------------------
# Profiles.

_RUN = os.environ.get("KORVELL_FUZZ", "")
_LONG = 10**6 if _RUN == "long" else int(_RUN) if _RUN.isdigit() else 0
# A sanitized build runs about ten times slower; the deadline only has to
# catch a parse or decode that never ends.
_DEADLINE = timedelta(seconds=20 if os.environ.get("KORVELL_SANITIZED") else 2)
_QUIET = [HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large]

settings.register_profile(
    "korvell-fuzz", derandomize=True, database=None, deadline=_DEADLINE, suppress_health_check=_QUIET
)
settings.register_profile(
    "korvell-fuzz-long", derandomize=False, deadline=_DEADLINE, suppress_health_check=_QUIET,
    max_examples=_LONG or 10**6,
)


def fuzz(examples: int) -> settings:
    """The settings of a harness: ``examples`` inputs in the short slice."""
    if _LONG:
        return settings(settings.get_profile("korvell-fuzz-long"))
    return settings(settings.get_profile("korvell-fuzz"), max_examples=examples)


# ---------------------------------------------------------------------------
# Text: the grammar's pieces in their order, so that most inputs read far.

NAMES = [e.name for e in names.entries()]
SETS = st.sampled_from([*COMPONENT_SET_REGISTRY, "YCbCr709_422", "YCbCr601_411", "YUV420", "YCbCr2020_"])
SIZES = st.one_of(
    st.integers(0, 70).map(str),
    st.lists(st.integers(0, 16), min_size=2, max_size=4).map(lambda v: "".join(f"{n:02d}" for n in v)),
    st.text("0123456789", min_size=1, max_size=6),
)
DATA_TYPES = st.sampled_from(["", "", "s", "f", "u", "us", "sf", "fu"])
PACKINGS = st.sampled_from(["", "", "p", "g", "Packed", "pmsb", "msb", "gmsb", "p32", "p16", "p24", "c3p32",
                            "a32", "c5p64", "c3a64", "a16", "p0", "c0p", "a"]) | st.text("pgacmsb0123456789", max_size=6)
SUFFIXES = st.sampled_from(["", "", "_Planar", "_Semiplanar", "_CbYCr", "_YCbCr", "_UYV", "_YUYV", "_CbYCrY",
                            "_BGR", "_", "_YY"])
PARTS = [SETS, SIZES, DATA_TYPES, PACKINGS, SUFFIXES]
ODD = "\ud800é😀 _0"


def tail(first: int) -> st.SearchStrategy[str]:
    """Text made of the grammar's parts from part ``first`` on."""
    return st.tuples(*PARTS[first:]).map("".join)


@st.composite
def edited(draw, base: st.SearchStrategy[str]) -> str:
    """``base`` with one character removed, replaced or added."""
    text = draw(base)
    at = draw(st.integers(0, len(text)))
    new = draw(st.sampled_from(["", "0", "9", "_", "p", "a", "Y", "s", *ODD]))
    return text[:at] + new + text[at + draw(st.integers(0, 1)):]


def texts(first: int) -> st.SearchStrategy[str]:
    return tail(first) | edited(tail(first)) | edited(st.sampled_from(NAMES)) | st.text(max_size=12)


CHANNELS = st.integers(1, 5) | st.integers(-2, 0)


def written_as_read(part) -> bool:
    """False for the parts whose designation says something else than was read,
    as their own tests pin: a shared count whose digits split among the
    channels (221313 three times is written "221313", which reads as 22, 13,
    13), an alignment of 0 ("p0" is written "p"), and UNSIGNED among other
    data types ("us" is written "s", which reads as two SIGNED)."""
    if isinstance(part, Size):
        n, written = len(part.sizes), part.designation()
        return not (n > 1 and len(set(part.sizes)) == 1 and len(written) % n == 0)
    if isinstance(part, Packing):
        return part.alignment != 0
    if isinstance(part, DataTypes):
        kinds = {part[i] for i in range(len(part))}
        return not (len(kinds) > 1 and DefaultDataType.UNSIGNED in kinds)
    return True


def check_candidates(text: str, candidates, read_again) -> None:
    """Every (object, rest) pair: the rest ends the text, and the object's
    designation read again gives an equal object with nothing left."""
    for part, rest in candidates:
        assert isinstance(rest, str) and text.endswith(rest)
        written = part.designation()
        if not written_as_read(part):
            continue
        assert any(again == part and not left for again, left in read_again(written)), (part, written)


# ---------------------------------------------------------------------------
# The parsers.


@fuzz(400)
@given(texts(1), CHANNELS)
def test_size(text, channels):
    try:
        found = Size.from_designation(text, channels)
    except PixelFormatValueReject:
        return  # a shared count of 0
    if found is None:
        return
    size, rest = found
    assert text.endswith(rest) and all(isinstance(n, int) and n > 0 for n in size.sizes)
    if channels >= 1 and written_as_read(size):
        assert Size.from_designation(size.designation(), channels) == (size, "")


@fuzz(300)
@given(texts(2), CHANNELS)
def test_data_types(text, channels):
    for parse in (DataTypes.create, CompoundDataTypes.from_designation):
        try:
            candidates = parse(text, channels)
        except PixelFormatValueReject:
            continue
        check_candidates(text, candidates, lambda written: parse(written, channels))


@fuzz(300)
@given(texts(3))
def test_packing(text):
    check_candidates(text, Packing.from_designation(text), Packing.from_designation)


@fuzz(300)
@given(texts(4), SETS, st.integers(1, 16), st.integers(-1, 1))
def test_interface_specific(text, set_name, bits, extra_channels):
    components = parse_components(set_name)[0][0]
    size = Size([bits] * max(len(components) + extra_channels, 1))
    candidates = InterfaceSpecific.create(text, components, size)
    if not text.startswith("_"):
        assert candidates == []
    check_candidates(text, candidates, lambda written: InterfaceSpecific.create("_" + written, components, size))


@fuzz(400)
@given(texts(0) | st.sampled_from(NAMES))
def test_pixel_format(text):
    try:
        fmt = PixelFormat.from_designation(text)
    except PixelFormatValueReject:
        assert not PixelFormat.readings(text)
        return
    assert isinstance(fmt.designation(), str) and fmt.computed_bits_per_pixel() >= 0
    if isinstance(fmt, (OpaquePixelFormat, VendorPixelFormat)):
        return
    if text not in names.deprecated_aliases():
        assert fmt in PixelFormat.readings(text)
    # A reading may spell a deprecated name ("RGB08Packed" reads as RGB, 8 bits,
    # "Packed", written "RGB8Packed"), which stands for its replacement.
    written = fmt.designation()
    parts = (fmt.size, fmt.data_types, fmt.packing)
    if all(written_as_read(part) for part in parts) and written not in names.deprecated_aliases():
        assert PixelFormat.from_designation(written) == fmt


# ---------------------------------------------------------------------------
# The decoders.

DECODED = [n for n in NAMES if n not in names.deprecated_aliases()]
FORMATS = st.sampled_from(DECODED) | tail(0)


def parsed(text: str) -> PixelFormat:
    try:
        return PixelFormat.from_designation(text)
    except PixelFormatValueReject:
        assume(False)
        raise


def same(got: np.ndarray, want: np.ndarray) -> None:
    # Bit for bit, so that NaN, -0.0 and infinities count.
    assert (got.dtype, got.shape) == (want.dtype, want.shape)
    assert np.ascontiguousarray(got).tobytes() == np.ascontiguousarray(want).tobytes()


def windows(raw: bytes, rng: np.random.Generator):
    """``raw`` as an exact-size array, as bytes, and twice as a window in a
    larger buffer whose surrounding bytes differ."""
    forms = [np.frombuffer(raw, np.uint8).copy(), raw]
    for _ in range(2):
        big = bytearray(rng.bytes(64)) + raw + bytearray(rng.bytes(64))
        forms.append(memoryview(big)[64:64 + len(raw)])
    return forms


@fuzz(300)
@given(
    FORMATS,
    st.integers(1, 40) | st.integers(1, 40) | st.integers(41, 700),
    st.integers(1, 5),
    st.booleans(),
    st.none() | st.none() | st.integers(0, 12) | st.integers(1, 4000),
    st.integers(-3, 6),
    st.sampled_from(["little", "big"]),
    st.sampled_from([False, False, True]),
    st.integers(0, 2**32 - 1),
)
def test_decoders(text, width, height, whole_groups, stride, extra, byte_order, msb_aligned, seed):
    fmt = parsed(text)
    options = dict(byte_order=byte_order, msb_aligned=msb_aligned)
    try:
        lay = decoders.layout(fmt, **options)
    except PixelFormatDecodeNotSupportedError:
        event("not decoded")
        for call in (
            lambda: decoders.decode(fmt, bytes(64), width=2, height=2),
            lambda: decoders.encode(fmt, np.zeros((2, 2, 3), np.uint8)),
            lambda: decoders.get_buffer_size(fmt, width=2, height=2),
        ):
            with pytest.raises(PixelFormatDecodeNotSupportedError):
                call()
        return
    rng = np.random.default_rng(seed)
    if whole_groups:
        width = -(-width // lay.granularity) * lay.granularity
    if stride is not None and stride <= 12:
        # Near one line: a few bytes too short to a few bytes of padding.
        try:
            line = decoders.get_buffer_size(fmt, width=width, height=1)
        except ValueError:
            line = width
        stride = max(1, line // (len(lay.channels) if lay.planar else 1) + stride - 6)
    geometry = dict(width=width, height=height, stride=stride)
    try:
        size = decoders.get_buffer_size(fmt, **geometry)
    except ValueError:
        # Whole groups, a stride of at least a line: decode refuses alike.
        event("geometry refused")
        with pytest.raises(ValueError):
            decoders.decode(fmt, bytes(8), **geometry, **options)
        return
    raw = rng.bytes(max(size + extra, 0))
    forms = windows(raw, rng)
    if len(raw) < size:
        event("buffer too short")
        for buffer in forms:
            with pytest.raises(ValueError, match=f"{len(raw)} bytes.*{size}"):
                decoders.decode(fmt, buffer, **geometry, **options)
        return
    event("decoded")
    first = decoders.decode(fmt, forms[0], **geometry, **options, copy=True)
    assert first.dtype == np.dtype(lay.dtype) and first.shape[:2] == (height, width)
    for buffer in forms[1:]:
        same(decoders.decode(fmt, buffer, **geometry, **options), first)
    assert bytes(forms[0]) == bytes(forms[2]) == raw  # nothing written into the buffers

    try:
        encoded = decoders.encode(fmt, first, stride=stride, **options)
    except ValueError:
        pass  # bits above a component's size in an unpacked container do not encode
    else:
        assert len(encoded) == size
        same(decoders.decode(fmt, encoded, **geometry, **options), first)

    try:
        ref = Ref.of(fmt, byte_order)
    except Unsupported:
        return
    if msb_aligned or width * height * len(lay.channels) > 6000:
        return  # the reference does not align, and is slow
    event("checked against the reference")
    x = ref.random(rng, width, height)
    kept = x.copy()
    data = decoders.encode(fmt, x, stride=stride, byte_order=byte_order)
    assert data == ref.pack(x, stride)
    same(x, kept)
    same(decoders.decode(fmt, data, **geometry, byte_order=byte_order), x)


# ---------------------------------------------------------------------------
# The engine: random geometry against buffers of about the size it needs.

PROGRAMS = [p for n in ("Mono8", "Mono12p", "Mono10p", "Mono12Packed", "Mono10g", "RGB10p32", "RGB565p", "RGB10p",
                        "Mono1p", "Mono16", "Coord3D_ABC32f", "Mono14p", "BGR12p", "Mono10pmsb")
            for p in decoders.layout(n)._programs]
UINT = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}


def needs(p, count, runs, src_offset, src_stride, dst_offset, dst_step, dst_line) -> tuple[int, int]:
    """Stream bytes and array elements the geometry reaches (0, 0 when it does nothing)."""
    if not (count and runs):
        return 0, 0
    return (src_offset + (runs - 1) * src_stride + ref_byte_count(p, count),
            dst_offset + (runs - 1) * dst_line + (count - 1) * dst_step + 1)


@fuzz(300)
@given(
    st.sampled_from(PROGRAMS),
    st.fixed_dictionaries(dict(
        count=st.integers(0, 3) | st.integers(0, 300), runs=st.integers(0, 3), src_offset=st.integers(0, 9),
        src_stride=st.integers(0, 400), dst_offset=st.integers(0, 5), dst_step=st.integers(1, 4),
        dst_line=st.integers(0, 1200),
    )),
    st.integers(-1, 1),
    st.integers(-1, 1),
    st.booleans(),
    st.integers(0, 2**32 - 1),
)
def test_engine(p, geometry, src_extra, dst_extra, encoding, seed):
    rng = np.random.default_rng(seed)
    stream_bytes, elements = needs(p, **geometry)
    stream_bytes, elements = max(stream_bytes + src_extra, 0), max(elements + dst_extra, 0)
    fits = src_extra >= 0 and dst_extra >= 0 or not (geometry["count"] and geometry["runs"])
    values = rng.integers(0, 2**63, elements, dtype=np.uint64).astype(UINT[p.out_bytes])
    if not encoding:
        src = np.frombuffer(rng.bytes(stream_bytes), np.uint8).copy()
        dst = values.copy()
        try:
            _engine.decode(p, src, dst, **geometry)
        except ValueError:
            assert not fits
            assert dst.tolist() == values.tolist()
            return
        assert fits
        assert dst.tolist() == ref_decode(p, src, values, geometry)
        return
    # Encoding needs runs that do not overlap and a zero-filled stream in them.
    span = ref_byte_count(p, geometry["count"])
    assume(geometry["runs"] < 2 or geometry["src_stride"] >= span)
    kept = values.copy()
    spans = {geometry["src_offset"] + y * geometry["src_stride"] + i for y in range(geometry["runs"]) for i in range(span)}
    other = bytes(0 if i in spans else int(b) for i, b in enumerate(rng.bytes(stream_bytes)))
    dst = np.frombuffer(other, np.uint8).copy()
    try:
        _engine.encode(p, values, dst, **geometry)
    except ValueError:
        assert not fits
        assert dst.tobytes() == other
        return
    assert fits
    assert dst.tobytes() == ref_encode(p, values, other, geometry)
    same(values, kept)
