"""Decoders: raw frame bytes to numpy images, and back.

``decode(fmt_or_name, buffer, width=..., height=...)`` turns the bytes one
camera frame arrives in into an array of shape (height, width) for one channel
or (height, width, channels), channels in the component set's order (BGR8 gives
B, G, R; YCbCr8_CbYCr gives Y, Cb, Cr, its suffix saying only how they lie in
memory).  ``encode`` packs an array into the exact bytes a camera would send;
``get_buffer_size`` says how many bytes a frame needs; ``layout`` describes the
bit layout the engine reads (see :mod:`korvell.pfnc.decoders._layout` for the
readings the published documents leave open).

Frame geometry: without a stride the frame is one continuous stream (Mono12p
with an odd width continues mid-byte into the next line); with a stride in
bytes, line y starts at byte y * stride and is a stream of its own.  Planar
formats hold one such frame per channel, one after another.

Subsampled formats (4:2:2, 4:1:1, 4:2:0) decode at full resolution, in Y, Cb,
Cr (or Y, U, V) order, each chroma sample repeated over the pixels that share
it, so nothing is interpolated.  Their widths (and for 4:2:0 heights) must be
whole blocks of the pixels that share a sample.  ``encode`` takes each chroma
sample from the first pixel of its block and raises ValueError when the other
pixels of the block disagree with it, so that a round trip is exact or fails.
Semiplanar formats hold the luma plane, then the plane of chroma pairs (half
height for 4:2:0); with a stride, both planes' lines take it.

Decoding goes through a :class:`~korvell.pfnc.halvenor.DecoderRegistry`:
:func:`default_registry` returns a new one holding the built-in
:class:`LayoutDecoder` at :data:`BUILTIN_PRIORITY`, so a back-end registered
with a higher priority wins for the formats it claims.
"""

from __future__ import annotations

import operator
from typing import Any, Optional, Union

import numpy as np

from ..exceptions import PixelFormatDecodeNotSupportedError
from ..halvenor import DecoderRegistry, PixelFormatDecoder
from ..pixel_format import OpaquePixelFormat, PixelFormat
from . import _engine
from ._layout import BYTE_ORDERS, Layout, as_format, layout, shaped

__all__ = [
    "BUILTIN_PRIORITY",
    "Layout",
    "LayoutDecoder",
    "decode",
    "default_registry",
    "encode",
    "get_buffer_size",
    "layout",
]

BUILTIN_PRIORITY = 0
"""The priority at which :func:`default_registry` registers the built-in back-end."""

# Far beyond any frame, and small enough that no size computed from it
# overflows the engine's 64-bit arithmetic.
_MAX_BYTES = 1 << 48

_NO_DECODER = "No registered decoder supports this pixel format."

FormatLike = Union[PixelFormat, OpaquePixelFormat, str]


# ---------------------------------------------------------------------------
# Arguments.


def _dimension(value: Any, what: str) -> int:
    try:
        if isinstance(value, bool):
            raise TypeError
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an int, not {type(value).__name__}") from None
    if value < 1:
        raise ValueError(f"{what} must be at least 1, not {value}")
    if value > _MAX_BYTES:
        raise ValueError(f"{what} {value} is too large")
    return int(value)


def _stride(stride: Any) -> Optional[int]:
    return None if stride is None else _dimension(stride, "stride")


def _bytes_view(buffer: Any) -> memoryview:
    try:
        view = memoryview(buffer)
    except TypeError:
        raise TypeError(f"buffer must be a bytes-like object, not {type(buffer).__name__}") from None
    if not view.c_contiguous:
        raise TypeError("buffer must be C-contiguous")
    return view if view.format == "B" and view.ndim == 1 else view.cast("B")


# ---------------------------------------------------------------------------
# Frame geometry: which runs of which program make up a frame.


class _Frame:
    """The runs of one frame: for each program, where its values come from and
    go to, and how many bytes the whole frame takes."""

    __slots__ = ("shape", "runs", "semiplanar", "size", "plane")
    shape: tuple[int, ...]
    runs: list[tuple[Any, ...]]
    # Decoding a semiplanar frame: the arguments of one engine call that fills
    # each line from its luma and chroma lines at once (encoding takes the runs).
    semiplanar: Optional[dict[str, Any]]
    size: int
    plane: int

    def __init__(self, lay: Layout, width: int, height: int, stride: Optional[int]) -> None:
        channels = len(lay.channels)
        pixels = width * height
        if pixels * channels * 8 > _MAX_BYTES:
            raise ValueError(f"width x height = {width} x {height} is too large a frame")
        self.semiplanar = None
        across, down = lay._sharing
        if width % across:
            raise ValueError(
                f"width {width} is not a multiple of {across}, the pixels that share a chroma sample in {lay.designation}"
            )
        if height % down:
            raise ValueError(
                f"height {height} is not a multiple of {down}, the lines that share a chroma sample in {lay.designation}"
            )
        if lay.planes:
            self._semiplanar(lay, width, height, stride)
            return
        if lay.granularity > 1:
            if stride is not None and width % lay.granularity:
                raise ValueError(
                    f"width {width} is not a multiple of {lay.granularity}, "
                    f"the pixels one group of {lay.designation} holds"
                )
            if pixels % lay.granularity:
                raise ValueError(
                    f"width x height = {pixels} pixels is not a whole number of "
                    f"{lay.granularity}-pixel groups of {lay.designation}"
                )
        self.shape = (height, width) if channels == 1 else (height, width, channels)
        runs: list[tuple[Any, ...]] = []
        offset = 0
        per_value = 1 if lay.planar else channels
        programs = lay._programs
        if lay.planar and stride is None and all(repr(p) == repr(programs[0]) for p in programs):
            # Planes of one program, one after another: one call takes them all,
            # which the engine fills pixel by pixel in a single pass.
            plane = lay._byte_count(programs[0], pixels)
            runs.append((programs[0], pixels, channels, 0, plane, 0, channels, 1))
            self.runs, self.size, self.plane = runs, plane * channels, plane
            return
        for index, program in enumerate(lay._programs):
            line_bytes = lay._byte_count(program, width * per_value)
            if stride is None:
                count, lines, plane = pixels * per_value, 1, lay._byte_count(program, pixels * per_value)
            else:
                if stride < line_bytes:
                    raise ValueError(f"stride {stride} is smaller than one line of {lay.designation} ({line_bytes} bytes)")
                count, lines, plane = width * per_value, height, stride * height
            step = channels if lay.planar else 1
            runs.append((program, count, lines, offset, stride or 0, index, step, width * channels))
            offset += plane
        self.runs, self.size = runs, offset
        self.plane = runs[1][3] - runs[0][3] if len(runs) > 1 else 0

    def _semiplanar(self, lay: Layout, width: int, height: int, stride: Optional[int]) -> None:
        # Each chroma line is a run of its own, so a line must be whole groups
        # of the chroma program even without a stride.
        if width % lay.granularity:
            raise ValueError(
                f"width {width} is not a multiple of {lay.granularity}, the pixels one group of {lay.designation} holds"
            )
        luma, chroma = lay._programs
        channels = len(lay.channels)
        down = lay._sharing[1]
        line = width * channels
        chroma_line = chroma.byte_count(line)
        if stride is None:
            # Whole groups per line (the granularity), so luma line y starts on byte y * luma_stride.
            luma_stride = luma.byte_count(width)
            luma_run = (luma, width * height, 1, 0, 0, 0, channels, 0)
            plane, chroma_stride = luma.byte_count(width * height), chroma_line
        else:
            need = max(luma.byte_count(width), chroma_line)
            if stride < need:
                raise ValueError(f"stride {stride} is smaller than one line of {lay.designation} ({need} bytes)")
            luma_stride = stride
            luma_run = (luma, width, height, 0, stride, 0, channels, line)
            plane, chroma_stride = stride * height, stride
        lines = height // down
        self.runs = [(chroma, line, lines, plane, chroma_stride, 0, 1, line * down), luma_run]
        self.semiplanar = dict(
            width=width, height=height, down=down, luma_stride=luma_stride, chroma_offset=plane, chroma_stride=chroma_stride
        )
        self.size = plane + chroma_stride * lines
        self.shape = (height, width, channels)
        self.plane = plane


def _check_size(lay: Layout, view: memoryview, frame: _Frame) -> None:
    if view.nbytes < frame.size:
        raise ValueError(f"buffer holds {view.nbytes} bytes, a {lay.designation} frame of this size needs {frame.size}")


def _view(lay: Layout, view: memoryview, frame: _Frame, width: int, stride: Optional[int]) -> Optional[np.ndarray]:
    if lay._view is None:
        return None
    first, pixel_bytes, step = lay._view
    line = stride if stride is not None else width * pixel_bytes
    strides: tuple[int, ...]
    if len(lay.channels) == 1:
        strides = (line, pixel_bytes)
    elif lay.planar:
        strides = (line, pixel_bytes, frame.plane)
    else:
        strides = (line, pixel_bytes, step)
    dtype = np.dtype(lay.dtype).newbyteorder("<")
    # Through frombuffer, so that the array holds the buffer's export: a
    # bytearray cannot then be resized away from under it.
    flat = np.frombuffer(view, dtype=np.uint8)
    return np.ndarray(frame.shape, dtype=dtype, buffer=flat, offset=first, strides=strides)


# ---------------------------------------------------------------------------
# The operations, on a layout.


def _decode(lay: Layout, buffer: Any, width: int, height: int, stride: Optional[int], copy: bool) -> np.ndarray:
    view = _bytes_view(buffer)
    frame = _Frame(lay, _dimension(width, "width"), _dimension(height, "height"), _stride(stride))
    _check_size(lay, view, frame)
    if not copy:
        array = _view(lay, view, frame, width, stride)
        if array is not None:
            return array
    out = np.empty(frame.shape, dtype=lay.dtype)
    if frame.semiplanar is not None:
        luma, chroma = lay._programs
        _engine.decode_semiplanar(luma, chroma, view, out, **frame.semiplanar)
        return out
    for program, count, lines, offset, src_stride, dst_offset, step, dst_line in frame.runs:
        _engine.decode(
            program, view, out, count=count, runs=lines, src_offset=offset, src_stride=src_stride,
            dst_offset=dst_offset, dst_step=step, dst_line=dst_line,
        )
    return out


def _limits(lay: Layout, bits: int) -> tuple[int, int, int]:
    """Smallest and largest value of a channel of ``bits``, and the low bits that
    must be zero, as the decoded array holds them."""
    out_bits = np.dtype(lay.dtype).itemsize * 8
    shift = out_bits - bits if lay.msb_aligned else 0
    if lay.dtype.startswith("int"):
        return -(1 << (bits - 1)) << shift, ((1 << (bits - 1)) - 1) << shift, shift
    return 0, ((1 << bits) - 1) << shift, shift


def _checked_values(lay: Layout, image: Any) -> np.ndarray:
    array = shaped(lay, image)
    channels = len(lay.channels)
    target = np.dtype(lay.dtype)
    if target.kind == "f":
        if array.dtype.kind not in "biuf":
            raise TypeError(f"image must hold numbers for {lay.designation}, not {array.dtype}")
        with np.errstate(over="ignore", invalid="ignore"):
            # What does not survive the cast is caught by the comparison below.
            converted = np.ascontiguousarray(array, dtype=target)
        if not np.array_equal(converted.astype(array.dtype), array, equal_nan=array.dtype.kind == "f"):
            raise ValueError(f"image values do not fit {lay.designation}'s {target} exactly")
        return converted
    if array.dtype.kind not in "biu":
        raise TypeError(f"image must be an integer array for {lay.designation}, not {array.dtype}")
    for index, bits in enumerate(lay.bits):
        plane = array if channels == 1 else array[..., index]
        if plane.size == 0:
            continue
        low, high, shift = _limits(lay, bits)
        smallest, largest = int(plane.min()), int(plane.max())
        if smallest < low or largest > high:
            raise ValueError(
                f"channel {lay.channels[index]} of {lay.designation} holds {low} to {high}; "
                f"the image has values from {smallest} to {largest}"
            )
        if shift and np.any(plane.astype(np.int64 if target.kind == "i" else np.uint64) & ((1 << shift) - 1)):
            raise ValueError(f"msb-aligned values of {lay.designation} have their low {shift} bits zero")
    return np.ascontiguousarray(array, dtype=target)


def _check_shared(lay: Layout, values: np.ndarray) -> None:
    """Refuses chroma that differs within the pixels sharing one sample: the
    stream holds one sample per block, so encoding it would lose the others."""
    across, down = lay._sharing
    if across == down == 1:
        return
    height, width = values.shape[:2]
    for index in range(1, len(lay.channels)):
        blocks = values[:, :, index].reshape(height // down, down, width // across, across)
        differ = blocks != blocks[:, :1, :, :1]
        if differ.any():
            by, dy, bx, dx = (int(i) for i in np.argwhere(differ)[0])
            y, x, y0, x0 = by * down + dy, bx * across + dx, by * down, bx * across
            raise ValueError(
                f"{lay.channels[index]} of {lay.designation} is one sample per {across} x {down} pixels, "
                f"but pixel (y={y}, x={x}) holds {values[y, x, index]} and pixel (y={y0}, x={x0}) "
                f"{values[y0, x0, index]}: the pixels that share a sample must agree"
            )


def _encode(lay: Layout, image: Any, stride: Optional[int]) -> bytes:
    values = _checked_values(lay, image)
    height, width = values.shape[:2]
    frame = _Frame(lay, _dimension(width, "width"), _dimension(height, "height"), _stride(stride))
    _check_shared(lay, values)
    out = bytearray(frame.size)
    for program, count, lines, offset, src_stride, dst_offset, step, dst_line in frame.runs:
        _engine.encode(
            program, values, out, count=count, runs=lines, src_offset=offset, src_stride=src_stride,
            dst_offset=dst_offset, dst_step=step, dst_line=dst_line,
        )
    return bytes(out)


# ---------------------------------------------------------------------------
# The back-end and the registries.


class LayoutDecoder(PixelFormatDecoder):
    """The built-in back-end: every layout :func:`layout` describes.

    ``byte_order`` ("little" or "big") applies to unpacked containers wider than
    a byte; ``msb_aligned`` shifts each value to the top of its output container.
    """

    def __init__(self, name: Optional[str] = None, *, byte_order: str = "little", msb_aligned: bool = False) -> None:
        if byte_order not in BYTE_ORDERS:
            raise ValueError(f"byte_order must be 'little' or 'big', not {byte_order!r}")
        if name is None:
            options = [f"{byte_order}-endian"] if byte_order != "little" else []
            options += ["msb-aligned"] if msb_aligned else []
            name = "layout" + (f" ({', '.join(options)})" if options else "")
        super().__init__(name)
        self.byte_order = byte_order
        self.msb_aligned = bool(msb_aligned)

    def layout(self, pixel_format: Any) -> Layout:
        """The layout this back-end reads ``pixel_format`` with."""
        return layout(pixel_format, byte_order=self.byte_order, msb_aligned=self.msb_aligned)

    def is_applicable(self, pixel_format: Any) -> bool:
        try:
            self.layout(pixel_format)
        except PixelFormatDecodeNotSupportedError:
            return False
        return True

    def decode(
        self, pixel_format: Any, buffer: Any, *, width: int, height: int, stride: Optional[int] = None, copy: bool = False
    ) -> np.ndarray:
        return _decode(self.layout(pixel_format), buffer, width, height, stride, bool(copy))

    def get_buffer_size(self, pixel_format: Any, *, width: int, height: int, stride: Optional[int] = None) -> int:
        lay = self.layout(pixel_format)
        return _Frame(lay, _dimension(width, "width"), _dimension(height, "height"), _stride(stride)).size

    def encode(self, pixel_format: Any, image: Any, *, stride: Optional[int] = None) -> bytes:
        """The bytes a camera sends for ``image`` (the inverse of ``decode``)."""
        return _encode(self.layout(pixel_format), image, stride)

    def visualization_image(self, pixel_format: Any, image: Any, **kwargs: Any) -> np.ndarray:
        """A picture to show for the decoded ``image``: (height, width, 3) uint8 RGB
        for colour, (height, width) uint8 for mono.

        Options: ``dtype`` ("uint8", or "native" to keep the decoded bit depth),
        ``algorithm`` ("bilinear" or "malvar", for Bayer mosaics) and ``range``
        ("full" or "limited", for YCbCr; by default what the name says).  See
        :mod:`korvell.pfnc.decoders._visual` for the rules of each family.
        """
        from ._visual import visualization_image  # the render kernels load on first use

        return visualization_image(self.layout(pixel_format), image, **kwargs)


def default_registry(*, byte_order: str = "little", msb_aligned: bool = False) -> DecoderRegistry:
    """A new registry holding the built-in back-end at :data:`BUILTIN_PRIORITY`."""
    registry = DecoderRegistry()
    registry.register(BUILTIN_PRIORITY, LayoutDecoder(byte_order=byte_order, msb_aligned=msb_aligned))
    return registry


_shared: dict[tuple[str, bool], DecoderRegistry] = {}


def _registry_for(registry: Optional[DecoderRegistry], byte_order: str, msb_aligned: bool) -> DecoderRegistry:
    if registry is not None:
        if not isinstance(registry, DecoderRegistry):
            raise TypeError(f"registry must be a DecoderRegistry, not {type(registry).__name__}")
        if byte_order != "little" or msb_aligned:
            raise TypeError("byte_order and msb_aligned are options of a registry's back-ends: pass them to default_registry()")
        return registry
    key = (byte_order, bool(msb_aligned))
    shared = _shared.get(key)
    if shared is None:
        shared = _shared[key] = default_registry(byte_order=byte_order, msb_aligned=msb_aligned)
    return shared


def _named(fmt: Any, err: PixelFormatDecodeNotSupportedError) -> PixelFormatDecodeNotSupportedError:
    """The registry's error, with the format and the engine's reason where the
    registry found no back-end."""
    if str(err) != _NO_DECODER:
        return err
    try:
        layout(fmt)
    except PixelFormatDecodeNotSupportedError as reason:
        return PixelFormatDecodeNotSupportedError(f"{reason} ({_NO_DECODER[:-1].lower()})")
    return PixelFormatDecodeNotSupportedError(f"{fmt.designation()}: {_NO_DECODER[:-1].lower()}")


def decode(
    fmt_or_name: FormatLike,
    buffer: Any,
    *,
    width: int,
    height: int,
    stride: Optional[int] = None,
    copy: bool = False,
    byte_order: str = "little",
    msb_aligned: bool = False,
    registry: Optional[DecoderRegistry] = None,
) -> np.ndarray:
    """Decode one frame of ``fmt_or_name`` (a PixelFormat or a name) from ``buffer``.

    ``stride`` is bytes per line (None: one continuous stream).  ``copy=False``
    returns a view on ``buffer`` where its bytes already are the array (read-only
    when the buffer is); ``copy=True`` always returns a new C-contiguous array.
    ``registry`` defaults to a shared :func:`default_registry` for the options.
    """
    fmt = as_format(fmt_or_name)
    chosen = _registry_for(registry, byte_order, msb_aligned)
    try:
        return chosen.decode(fmt, buffer, width=width, height=height, stride=stride, copy=copy)
    except PixelFormatDecodeNotSupportedError as err:
        raise _named(fmt, err) from None


def get_buffer_size(
    fmt_or_name: FormatLike,
    *,
    width: int,
    height: int,
    stride: Optional[int] = None,
    registry: Optional[DecoderRegistry] = None,
) -> int:
    """The bytes a frame of ``fmt_or_name`` of these dimensions takes."""
    fmt = as_format(fmt_or_name)
    chosen = _registry_for(registry, "little", False)
    try:
        return chosen.get_buffer_size(fmt, width=width, height=height, stride=stride)
    except PixelFormatDecodeNotSupportedError as err:
        raise _named(fmt, err) from None


def encode(
    fmt_or_name: FormatLike,
    image: Any,
    *,
    stride: Optional[int] = None,
    byte_order: str = "little",
    msb_aligned: bool = False,
) -> bytes:
    """The exact bytes a camera sends for ``image`` in ``fmt_or_name``.

    The inverse of :func:`decode`: ``image`` is (height, width) or (height, width,
    channels) in the component set's order.  Values that do not fit the layout
    raise ValueError; line padding (with a ``stride``) is zero.  Subsampled
    formats take each chroma sample from the first pixel of the pixels that
    share it; ValueError if the others hold a different value.
    """
    fmt = as_format(fmt_or_name)
    return _encode(layout(fmt, byte_order=byte_order, msb_aligned=msb_aligned), image, stride)
