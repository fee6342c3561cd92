"""How a pixel format lays out its bytes, derived from its parsed parts.

A frame is a stream of components, pixel after pixel, each pixel's channels in
the order they lie in memory.  The packing decides how the components occupy
bits; this module turns the parts of a :class:`~korvell.pfnc.pixel_format.PixelFormat`
into a :class:`Layout` and into engine programs: one fixed group of bytes that
yields a fixed number of values, with the bit pieces each value is made of.
Nothing here looks at a format's name, so component sets and padding names
registered at run time lay out like the built-in ones.

The readings the published documents leave open are made here, in one place:

* ``g`` (grouped): the high 8 bits of each pixel of a group, one byte each, then
  the low bits of the group as one lsb-first bit stream, pixel 0 in the lowest
  bits (10-bit: 4 pixels in 5 bytes, 12-bit: 2 pixels in 3 bytes).  ``gmsb``: the
  same with the low bits in msb-first order.
* The GigE Vision ``Packed`` name: 2 components of 9 to 12 bits in 3 bytes,
  byte 0 and byte 2 holding the high 8 bits, byte 1 the low bits (the first
  component's in its low nibble).
* ``a<N>``: unpacked containers, the pixel (or cluster) padded to N bits.
* ``c<N>``: N components form one unit, padded to the alignment.
* Unpacked containers are passed through as sent: bits above a component's
  size are zero in a well-formed frame and are not masked, so a copy and a
  view of the same bytes agree.
* Byte order applies to unpacked containers wider than a byte; bit-packed
  layouts are defined by their packing alone.
* Subsampled YCbCr (the J:a:b fields of the name): the luma channel comes
  first in the component set, the two chroma channels follow.  A stream
  holds blocks of J/a pixels: J/a luma samples and one sample of each chroma
  channel, in the order of the sequence suffix, or without one luma first:
  half the block's luma, the first chroma, the other half, the second chroma
  (YCbCr422_8 = Y0 Cb0 Y1 Cr0, YCbCr411_8 = Y Y Cb Y Y Cr).  b = 0 shares
  each chroma sample between two lines as well (4:2:0, semiplanar only).
* Semiplanar: the luma plane, then a plane of chroma pairs in the order the
  name writes them, one pair per block, and for 4:2:0 one chroma line per two
  lines.  With a stride, chroma lines take the same stride; without one, the
  luma plane is one continuous stream and each chroma line starts on a byte
  (widths are whole groups of the chroma packing).
"""

from __future__ import annotations

import math
import operator
from dataclasses import dataclass, field
from typing import Any, NamedTuple, Optional, Union

import numpy as np

from ..exceptions import PixelFormatDecodeNotSupportedError
from ..genicam.brintal import DefaultDataType
from ..genicam.components import LMNLocation, channel_name
from ..genicam.ostrevo import PaddingType
from ..genicam.planes import PlaneGroups
from ..genicam.quenmar import ComponentsSequencing, Planar
from ..pixel_format import OpaquePixelFormat, PixelFormat
from . import _engine

__all__ = ["Layout", "layout", "BYTE_ORDERS", "shaped"]

BYTE_ORDERS = ("little", "big")

_KINDS = {DefaultDataType.UNSIGNED: "u", DefaultDataType.SIGNED: "s", DefaultDataType.FLOAT: "f"}
_DTYPE_PREFIX = {"u": "uint", "s": "int", "f": "float"}
_PACKING_TEXT = {
    "unpacked": "unpacked containers",
    "lsb": "lsb-first bit stream",
    "msb": "msb-first bit stream",
    "gige": "GigE Vision Packed (2 components in 3 bytes)",
    "grouped": "grouped (high bytes, then the low bits lsb first)",
    "grouped-msb": "grouped (high bytes, then the low bits msb first)",
}


_EnginePiece = Union[tuple[int, int, int, int], tuple[int, int, int, int, bool]]


class _Piece(NamedTuple):
    src_bit: int
    width: int
    value: int  # the value's position in memory order within the group
    shift: int


class _Pattern(NamedTuple):
    """A repeating group in memory order: its bytes, its components, their pieces."""

    group_bytes: int
    components: int
    pieces: tuple[_Piece, ...]
    msb_first: bool


@dataclass(frozen=True)
class Layout:
    """The bit layout of a pixel format, as the decoder engine reads it.

    ``channels`` are in output order (the component set's), ``memory_order`` is
    how one pixel's components follow each other in the frame, ``bits`` the size
    of each output channel.  ``group_bits`` and ``group_pixels`` describe the
    smallest repeating group of the stream (Mono12p: 24 bits hold 2 pixels);
    ``lsb`` is False where values sit at the high end of their containers
    (Mono10msb) or the stream is read msb first (Mono10pmsb).  ``granularity`` is the number of pixels a line (or, without a stride, the
    whole frame) must be a multiple of.  ``dtype`` is the numpy type of the
    decoded values.

    ``subsampling`` is the J:a:b fields of a subsampled format ((4, 2, 2)), else
    None; decoded arrays are full resolution, each chroma sample repeated over
    the pixels that share it.  ``planes`` names the channels of each plane of a
    semiplanar format ((("Y",), ("Cb", "Cr"))), else ().
    """

    designation: str
    channels: tuple[str, ...]
    memory_order: tuple[str, ...]
    bits: tuple[int, ...]
    packing: str
    lsb: bool
    container: Optional[int]
    group_bits: int
    group_pixels: int
    granularity: int
    planar: bool
    byte_order: str
    msb_aligned: bool
    dtype: str
    subsampling: Optional[tuple[int, ...]]
    planes: tuple[tuple[str, ...], ...]
    _programs: tuple[Any, ...] = field(repr=False, compare=False)
    _view: Optional[tuple[int, int, int]] = field(repr=False, compare=False)
    # (pixels across, lines down) that share one chroma sample.
    _sharing: tuple[int, int] = field(repr=False, compare=False)
    # (values, bits) of a padded unit of a stream whose alignment is not whole
    # bytes (Mono1p10): a partial group still takes its units' padding.
    _unit: Optional[tuple[int, int]] = field(default=None, repr=False, compare=False)

    def _byte_count(self, program: Any, count: int) -> int:
        """Bytes that ``count`` values of ``program`` take in the frame."""
        size = int(program.byte_count(count))
        if self._unit is None:
            return size
        values, bits = self._unit
        return max(size, (-(-count // values) * bits + 7) // 8)

    def describe(self) -> str:
        """One line for people: packing, sizes, group, output."""
        bits = ", ".join(map(str, self.bits)) if len(set(self.bits)) > 1 else str(self.bits[0])
        unit = "bit" if bits == "1" else "bits"
        text = f"{_PACKING_TEXT[self.packing]}, {bits} {unit}"
        if self.container is not None:
            end = "" if self.lsb else ", at the high end"
            text += f" in {self.container}-bit {self.byte_order}-endian containers{end}"
        if self.memory_order != self.channels:
            text += f", memory order {' '.join(self.memory_order)}"
        if self.planar:
            text += ", one plane per channel"
        if self.subsampling is not None:
            across, down = self._sharing
            share = f"{across} x {down} pixels" if down > 1 else f"{across} pixels across"
            text += f", {':'.join(map(str, self.subsampling))} subsampled ({share} share a chroma sample)"
        if self.planes:
            text += ", planes " + " | ".join(" ".join(group) for group in self.planes)
        pixels = "pixel" if self.group_pixels == 1 else "pixels"
        text += f"; {self.group_pixels} {pixels} in {self.group_bits} bits"
        shape = "(height, width)" if len(self.channels) == 1 else f"(height, width, {len(self.channels)})"
        aligned = ", msb-aligned" if self.msb_aligned else ""
        return f"{text}; {self.dtype}{aligned} {shape}"

    def __str__(self) -> str:
        return f"{self.designation}: {self.describe()}"


def _unsupported(name: str, why: str) -> PixelFormatDecodeNotSupportedError:
    return PixelFormatDecodeNotSupportedError(f"{name}: {why}")


def _container(bits: int) -> int:
    return 8 if bits <= 8 else 16 if bits <= 16 else 32 if bits <= 32 else 64


# ---------------------------------------------------------------------------
# Patterns: one repeating group of a packing, in memory order.


def _gige_pattern(name: str, widths: list[int]) -> _Pattern:
    n = widths[0]
    if len(set(widths)) > 1 or not 8 < n <= 12:
        raise _unsupported(name, "the Packed layout holds components of 9 to 12 bits only")
    low = n - 8
    pieces = (
        _Piece(0, 8, 0, low),
        _Piece(8, low, 0, 0),
        _Piece(16, 8, 1, low),
        _Piece(12, low, 1, 0),
    )
    return _Pattern(3, 2, pieces, False)


def _grouped_pattern(name: str, widths: list[int], lsb: bool) -> _Pattern:
    n = widths[0]
    if len(set(widths)) > 1 or not 8 < n <= 16:
        raise _unsupported(name, "the grouped layout holds components of 9 to 16 bits of one size only")
    low = n - 8
    count = 8 // math.gcd(8, low)
    pieces: list[_Piece] = []
    for i in range(count):
        pieces.append(_Piece(8 * i, 8, i, low))
        pieces.append(_Piece(8 * count + i * low, low, i, 0))
    return _Pattern(count + count * low // 8, count, tuple(pieces), not lsb)


def _stream_pattern(unit: list[int], unit_bits: int, msb_first: bool) -> _Pattern:
    """Units of consecutive fields, each unit ``unit_bits`` long, repeated until
    they end on a byte."""
    repeat = 8 // math.gcd(8, unit_bits)
    pieces: list[_Piece] = []
    for r in range(repeat):
        offset = r * unit_bits
        for k, width in enumerate(unit):
            pieces.append(_Piece(offset, width, r * len(unit) + k, 0))
            offset += width
    return _Pattern(repeat * unit_bits // 8, repeat * len(unit), tuple(pieces), msb_first)


def _unpacked_pattern(
    name: str, unit: list[int], alignment: int, lsb: bool, big: bool, raw: list[bool]
) -> _Pattern:
    containers = [_container(w) for w in unit]
    msb_first = big and max(containers) > 8
    total = sum(containers)
    if alignment:
        if alignment < total or alignment % 8:
            raise _unsupported(name, f"an alignment of {alignment} bits cannot hold {total} bits of containers")
        total = alignment
    pieces: list[_Piece] = []
    start = 0
    for k, (width, box) in enumerate(zip(unit, containers)):
        if raw[k]:
            # The whole container is the value: what a view of the bytes shows.
            pieces.append(_Piece(start, box, k, 0))
        else:
            # Little-endian bits count from the lsb of byte 0, big-endian ones from
            # the msb: in both, an lsb-aligned value ends where its container ends
            # in significance.
            at_low_end = lsb != msb_first
            pieces.append(_Piece(start if at_low_end else start + box - width, width, k, 0))
        start += box
    return _Pattern(total // 8, len(unit), tuple(pieces), msb_first)


def _repeat(pattern: _Pattern, times: int) -> _Pattern:
    if times == 1:
        return pattern
    bits = 8 * pattern.group_bytes
    pieces = tuple(
        _Piece(p.src_bit + r * bits, p.width, p.value + r * pattern.components, p.shift)
        for r in range(times)
        for p in pattern.pieces
    )
    return _Pattern(pattern.group_bytes * times, pattern.components * times, pieces, pattern.msb_first)


# ---------------------------------------------------------------------------
# The derivation.


class _Facts(NamedTuple):
    name: str
    channels: tuple[str, ...]
    memory: tuple[str, ...]
    sizes: tuple[int, ...]
    kind: str  # "u", "s" or "f"
    out_bits: int
    planar: bool
    subsampling: Optional[tuple[int, ...]] = None
    sharing: tuple[int, int] = (1, 1)
    planes: tuple[tuple[str, ...], ...] = ()


def _subsampling(name: str, channels: tuple[str, ...], fields: tuple[int, ...]) -> tuple[int, int]:
    """(pixels across, lines down) that share a chroma sample under J:a:b."""
    if len(fields) != 3 or len(channels) != 3:
        raise _unsupported(name, "subsampling is read for a luma and two chroma channels")
    j, a, b = fields
    if a < 1 or j % a or b not in (a, 0):
        raise _unsupported(name, f"the {j}:{a}:{b} subsampling has no layout the engine knows")
    return j // a, 1 if b == a else 2


def _block(name: str, channels: tuple[str, ...], across: int, suffix: Any) -> tuple[str, ...]:
    """The memory order of one block of a subsampled stream."""
    luma, first, second = channels
    if suffix is None:
        half = across // 2
        return (luma,) * half + (first,) + (luma,) * (across - half) + (second,)
    block = tuple(suffix.components)
    if sorted(block) != sorted((luma,) * across + (first, second)):
        raise _unsupported(
            name, f"the sequence {''.join(block)} does not hold {across} {luma} and one {first} and {second}"
        )
    return block


def _facts(fmt: Any) -> _Facts:
    name = fmt.designation()
    if isinstance(fmt, OpaquePixelFormat) or not isinstance(fmt, PixelFormat):
        raise _unsupported(name, "its name does not spell out a bit layout the engine knows")
    channels = tuple(channel_name(c) for c in fmt.components)
    sizes = tuple(operator.index(s) for s in fmt.size.sizes)
    if not channels or len(sizes) != len(channels):
        raise _unsupported(name, f"{len(sizes)} sizes for {len(channels)} channels")
    location = getattr(fmt.components, "location", None)
    subsampling: Optional[tuple[int, ...]] = None
    sharing = (1, 1)
    if isinstance(location, LMNLocation) and len(set(location.fields)) > 1:
        subsampling = tuple(location.fields)
        sharing = _subsampling(name, channels, subsampling)
    suffix = fmt.interface_specific
    planar = False
    planes: tuple[tuple[str, ...], ...] = ()
    memory = channels
    if isinstance(suffix, PlaneGroups):
        groups = suffix.groups
        if (
            suffix.layout != "Semiplanar" or len(channels) != 3 or len(groups) != 2
            or set(groups[0]) != {channels[0]} or sorted(groups[1]) != sorted(channels[1:])
        ):
            raise _unsupported(name, f"the {suffix.designation()} layout is not decoded")
        planes = ((channels[0],), tuple(groups[1]))
        memory = planes[0] + planes[1]
        if subsampling is None:
            sharing = _subsampling(name, channels, (1, 1, 1))
    elif sharing[1] > 1:
        raise _unsupported(name, "4:2:0 subsampling is decoded from semiplanar layouts only")
    elif subsampling is not None:
        if suffix is not None and not isinstance(suffix, ComponentsSequencing):
            raise _unsupported(name, f"the {suffix.designation()} layout of subsampled channels is not decoded")
        memory = _block(name, channels, sharing[0], suffix)
    elif isinstance(suffix, Planar):
        planar = True
    elif isinstance(suffix, ComponentsSequencing):
        memory = tuple(suffix.components)
        if sorted(memory) != sorted(channels) or len(set(memory)) != len(memory):
            raise _unsupported(name, f"the sequence {''.join(memory)} repeats channels: subsampled layouts are not decoded yet")
    elif suffix is not None:
        raise _unsupported(name, f"the {suffix.designation()} layout is not decoded yet")
    kinds = set()
    for i in range(len(channels)):
        data_type = fmt.data_types[i]
        kind = _KINDS.get(data_type) if isinstance(data_type, DefaultDataType) else None
        if kind is None:
            raise _unsupported(name, f"the custom data type {data_type!r} has no bit layout the engine knows")
        kinds.add(kind)
    if len(kinds) > 1:
        raise _unsupported(name, "channels of different data types")
    kind = kinds.pop()
    if max(sizes) > 64 or min(sizes) < 1:
        raise _unsupported(name, "components of more than 64 bits")
    if kind == "f" and (len(set(sizes)) > 1 or sizes[0] not in (16, 32, 64)):
        raise _unsupported(name, "floating-point components are 16, 32 or 64 bits")
    return _Facts(name, channels, memory, sizes, kind, _container(max(sizes)), planar, subsampling, sharing, planes)


class _Packing(NamedTuple):
    kind: str
    container: Optional[int]
    pattern: _Pattern
    granularity_components: int
    unit: Optional[tuple[int, int]] = None


def _packing(facts: _Facts, fmt: PixelFormat, memory: tuple[str, ...], byte_order: str, msb_aligned: bool) -> _Packing:
    """The repeating group of ``memory`` (one pixel's components) under the format's packing."""
    name = facts.name
    packing = fmt.packing
    try:
        padding = packing.padding_type
    except Exception as err:  # a padding name no longer registered
        raise _unsupported(name, f"its padding name has no padding type ({err})") from err
    lsb = bool(packing.lsb)
    alignment = packing.alignment or 0
    cluster = packing.cluster_marker or 0
    width_of = dict(zip(facts.channels, facts.sizes))
    pixel = [width_of[c] for c in memory]
    per_unit = cluster or len(memory)
    if per_unit % len(memory):
        raise _unsupported(name, f"a cluster of {cluster} components splits a pixel of {len(memory)}")
    unit = pixel * (per_unit // len(memory))
    identity = memory == facts.channels or len(memory) == 1

    if padding is PaddingType.PACKED and packing.padding_type_name == "Packed":
        if not lsb or alignment or cluster:
            raise _unsupported(name, "the Packed layout takes no msb, alignment or cluster")
        return _Packing("gige", None, _gige_pattern(name, unit), 2)
    if padding is PaddingType.GROUPED:
        if alignment or cluster:
            raise _unsupported(name, "the grouped layout takes no alignment or cluster")
        pattern = _grouped_pattern(name, unit, lsb)
        return _Packing("grouped" if lsb else "grouped-msb", None, pattern, pattern.components)
    if padding is PaddingType.PACKED:
        unit_bits = sum(unit)
        if alignment:
            if alignment < unit_bits:
                raise _unsupported(name, f"an alignment of {alignment} bits cannot hold {unit_bits} bits")
            granularity = len(unit)
            unit_bits = alignment
        else:
            granularity = 1
            if identity and len(set(unit)) == 1:
                # A uniform stream in channel order: one component is the unit,
                # which keeps the group as small as the bit size allows.
                unit = unit[:1]
                unit_bits = unit[0]
        padded = (len(unit), unit_bits) if alignment % 8 else None
        return _Packing("msb" if not lsb else "lsb", None, _stream_pattern(unit, unit_bits, not lsb), granularity, padded)
    if padding is PaddingType.UNPACKED:
        if facts.kind == "f" and not lsb:
            raise _unsupported(name, "floating-point components take no msb alignment")
        # A container is passed through whole where its value already sits at the
        # low end of an output-sized container.
        raw = [
            facts.kind == "u" and lsb and not msb_aligned and _container(w) == facts.out_bits
            for w in unit
        ]
        pattern = _unpacked_pattern(name, unit, alignment, lsb, byte_order == "big", raw)
        container = max(_container(w) for w in unit)
        return _Packing("unpacked", container, pattern, len(unit) if cluster else 1)
    raise _unsupported(name, f"the padding type {padding!r} has no layout the engine knows")


def _engine_program(name: str, *args: Any) -> Any:
    """The engine's program, or not supported where the layout is beyond the
    engine's limits (a repeating group of more than 4096 bytes: Mono1p10001)."""
    try:
        return _engine.Program(*args)
    except ValueError as err:
        raise _unsupported(name, f"its repeating group is beyond the engine's limits ({err})") from err


def _program(facts: _Facts, packing: _Packing, memory: tuple[str, ...], channels: tuple[str, ...], msb_aligned: bool) -> Any:
    """The engine program of ``packing``: values renumbered from memory to output
    order, shifted for msb alignment, sign-extended where signed."""
    pattern = packing.pattern
    count = len(memory)
    identity = memory == channels
    if not identity and pattern.components % count:
        # Output order is permuted within a pixel, so a group holds whole pixels.
        pattern = _repeat(pattern, count // math.gcd(count, pattern.components))
    position = [channels.index(c) for c in memory]
    width_of = dict(zip(facts.channels, facts.sizes))
    out_bits = facts.out_bits
    pieces: list[_EnginePiece] = []
    sign_bits = [0] * pattern.components
    for piece in pattern.pieces:
        m = piece.value
        channel = memory[m % count]
        dst = (m // count) * count + position[m % count]
        bits = width_of[channel]
        shift = piece.shift
        if msb_aligned and facts.kind != "f":
            shift += out_bits - bits
        elif facts.kind == "s" and bits < out_bits:
            sign_bits[dst] = bits
        pieces.append((piece.src_bit, piece.width, dst, shift))
    return _engine_program(facts.name, pattern.group_bytes, pattern.components, pieces, pattern.msb_first, out_bits // 8, sign_bits)


def _shared_program(facts: _Facts, packing: _Packing, memory: tuple[str, ...], msb_aligned: bool) -> Any:
    """The engine program of a block of ``memory`` that fills whole pixels: each
    luma sample goes to one pixel, each chroma sample to every pixel of its
    block, as copies after the first.  Where ``memory`` holds no luma (the chroma
    plane of a semiplanar frame), luma values are filled with copies of the
    block's first sample, for the luma plane's call to overwrite."""
    channels = facts.channels
    across = facts.sharing[0]
    count, per_pixel = len(memory), len(channels)
    pattern = packing.pattern
    if pattern.components % count:
        pattern = _repeat(pattern, count // math.gcd(count, pattern.components))
    luma = channels[0]
    targets: list[list[tuple[int, int]]] = []  # per memory position: (pixel in the block, channel)
    seen = 0
    for name in memory:
        if name == luma:
            targets.append([(seen, 0)])
            seen += 1
        else:
            targets.append([(p, channels.index(name)) for p in range(across)])
    if luma not in memory:
        targets[0] += [(p, 0) for p in range(across)]
    width_of = dict(zip(channels, facts.sizes))
    sign_bits = [0] * (pattern.components // count * across * per_pixel)
    pieces: list[_EnginePiece] = []
    for piece in pattern.pieces:
        block, k = divmod(piece.value, count)
        bits = width_of[memory[k]]
        shift = piece.shift
        if msb_aligned and facts.kind != "f":
            shift += facts.out_bits - bits
        for n, (pixel, channel) in enumerate(targets[k]):
            dst = (block * across + pixel) * per_pixel + channel
            if facts.kind == "s" and bits < facts.out_bits and not (msb_aligned and facts.kind != "f"):
                sign_bits[dst] = bits
            pieces.append((piece.src_bit, piece.width, dst, shift, True) if n else (piece.src_bit, piece.width, dst, shift))
    return _engine_program(facts.name, pattern.group_bytes, len(sign_bits), pieces, pattern.msb_first, facts.out_bits // 8, sign_bits)


def _view_geometry(program: Any, facts: _Facts) -> Optional[tuple[int, int, int]]:
    """(first byte, bytes per pixel, bytes between channels) where the stream
    already is the decoded array, else None."""
    channels = len(facts.channels) if not facts.planar else 1
    item = facts.out_bits // 8
    if program.msb_first and item > 1:
        return None
    if program.group_values != channels or any(program.sign_bits):
        return None
    by_value = {}
    for src_bit, width, dst, shift in program.pieces:
        if width != 8 * item or shift or src_bit % 8 or dst in by_value:
            return None
        by_value[dst] = src_bit // 8
    offsets = [by_value[c] for c in range(channels)]
    step = offsets[1] - offsets[0] if channels > 1 else item
    if step <= 0 or any(b - a != step for a, b in zip(offsets, offsets[1:])):
        return None
    return offsets[0], program.group_bytes, step


def derive(fmt: Any, byte_order: str = "little", msb_aligned: bool = False) -> Layout:
    """The layout of ``fmt`` (uncached; see :func:`layout`)."""
    facts = _facts(fmt)
    across, down = facts.sharing
    unit: Optional[tuple[int, int]] = None
    if facts.planes:
        luma = facts.planes[0]
        luma_facts = facts._replace(channels=luma, memory=luma, sizes=facts.sizes[:1])
        luma_packing = _packing(luma_facts, fmt, luma, byte_order, msb_aligned)
        chroma = facts.planes[1]
        packing = _packing(facts, fmt, chroma, byte_order, msb_aligned)
        programs = [
            _program(luma_facts._replace(out_bits=facts.out_bits), luma_packing, luma, luma, msb_aligned),
            _shared_program(facts, packing, chroma, msb_aligned),
        ]
        chroma_pixels = programs[1].group_values // len(facts.channels)
        granularity = math.lcm(across, luma_packing.granularity_components, chroma_pixels)
        group_pixels = across * down
        group_bits = group_pixels * facts.sizes[0] + sum(facts.sizes[1:])
        view = None
    elif facts.subsampling is not None:
        packing = _packing(facts, fmt, facts.memory, byte_order, msb_aligned)
        programs = [_shared_program(facts, packing, facts.memory, msb_aligned)]
        gc, count = packing.granularity_components, len(facts.memory)
        granularity = gc // math.gcd(gc, count) * across
        group_pixels = programs[0].group_values // len(facts.channels)
        group_bits = 8 * programs[0].group_bytes
        view = None
    elif facts.planar:
        programs = []
        packings = []
        for channel in facts.channels:
            one = (channel,)
            plane_facts = facts._replace(channels=one, memory=one, sizes=(dict(zip(facts.channels, facts.sizes))[channel],))
            packing = _packing(plane_facts, fmt, one, byte_order, msb_aligned)
            packings.append(packing)
            programs.append(_program(plane_facts._replace(out_bits=facts.out_bits), packing, one, one, msb_aligned))
        packing = packings[0]
        granularity = math.lcm(*(p.granularity_components for p in packings))
        group_pixels = packing.pattern.components
        group_bits = 8 * packing.pattern.group_bytes
        unit = packing.unit
        views = [_view_geometry(p, facts) for p in programs]
        view = views[0] if all(v is not None and v[1:] == views[0][1:] for v in views) else None  # type: ignore[index]
    else:
        packing = _packing(facts, fmt, facts.memory, byte_order, msb_aligned)
        program = _program(facts, packing, facts.memory, facts.channels, msb_aligned)
        programs = [program]
        count = len(facts.channels)
        granularity = packing.granularity_components // math.gcd(packing.granularity_components, count)
        # The smallest run of whole program groups that holds whole pixels.
        groups = count // math.gcd(program.group_values, count)
        group_pixels = groups * program.group_values // count
        group_bits = 8 * program.group_bytes * groups
        view = _view_geometry(program, facts)
        unit = packing.unit
    return Layout(
        designation=facts.name,
        channels=facts.channels,
        memory_order=facts.memory,
        bits=facts.sizes,
        packing=packing.kind,
        lsb=bool(fmt.packing.lsb),
        container=packing.container,
        group_bits=group_bits,
        group_pixels=group_pixels,
        granularity=granularity,
        planar=facts.planar,
        byte_order=byte_order,
        msb_aligned=msb_aligned,
        dtype=_DTYPE_PREFIX[facts.kind] + str(facts.out_bits),
        subsampling=facts.subsampling,
        planes=facts.planes,
        _programs=tuple(programs),
        _view=view,
        _sharing=(across, down),
        _unit=unit,
    )


# ---------------------------------------------------------------------------
# The cache: layouts by designation, each kept with the format it was derived
# from, since equal designations may name different parts.

_CACHE_LIMIT = 512
_cache: dict[tuple[str, Any, str, bool], list[tuple[Any, Any]]] = {}


def as_format(fmt_or_name: Any) -> Any:
    """``fmt_or_name`` as a parsed pixel format (a name is parsed)."""
    if isinstance(fmt_or_name, (PixelFormat, OpaquePixelFormat)):
        return fmt_or_name
    if isinstance(fmt_or_name, str):
        return PixelFormat.from_designation(str(fmt_or_name))
    raise TypeError(f"pixel format must be a PixelFormat or a name, not {type(fmt_or_name).__name__}")


def layout(fmt: Any, *, byte_order: str = "little", msb_aligned: bool = False) -> Layout:
    """The :class:`Layout` of the pixel format ``fmt`` (a PixelFormat or a name).

    Raises PixelFormatDecodeNotSupportedError, naming the format, for layouts the
    engine does not decode.  Computed once per format and options, then cached.
    """
    if byte_order not in BYTE_ORDERS:
        raise ValueError(f"byte_order must be 'little' or 'big', not {byte_order!r}")
    msb_aligned = bool(msb_aligned)
    fmt = as_format(fmt)
    name = fmt.designation()
    packing = getattr(fmt, "packing", None)
    try:
        padding = None if packing is None else packing.padding_type
    except Exception:
        padding = None
    key = (name, padding, byte_order, msb_aligned)
    entries = _cache.get(key)
    outcome: Any
    if entries is not None:
        for known, outcome in entries:
            if known == fmt:
                if isinstance(outcome, Layout):
                    return outcome
                raise PixelFormatDecodeNotSupportedError(str(outcome))
    try:
        outcome = derive(fmt, byte_order, msb_aligned)
    except PixelFormatDecodeNotSupportedError as err:
        outcome = err
    if len(_cache) >= _CACHE_LIMIT:
        _cache.clear()
    _cache.setdefault(key, []).append((fmt, outcome))
    if isinstance(outcome, Layout):
        return outcome
    raise PixelFormatDecodeNotSupportedError(str(outcome))


def shaped(lay: Layout, image: Any) -> np.ndarray:
    """``image`` as an array of the shape a frame of ``lay`` decodes to
    ((height, width) or (height, width, channels); (height, width, 1) is taken
    for one channel); ValueError naming both shapes otherwise."""
    array = np.asarray(image)
    channels = len(lay.channels)
    if array.ndim == 3 and channels == 1 and array.shape[2] == 1:
        array = array[:, :, 0]
    expected = "(height, width)" if channels == 1 else f"(height, width, {channels})"
    if array.ndim != (2 if channels == 1 else 3) or (channels > 1 and array.shape[2] != channels):
        raise ValueError(f"image of shape {array.shape} does not fit {lay.designation}, which takes {expected}")
    return array
