"""Pictures to look at: a decoded frame as an RGB or grey image.

``visualization_image(layout, image)`` turns the array ``decode`` returns into
(height, width, 3) uint8 RGB for colour formats and (height, width) uint8 for
one-channel ones; ``dtype="native"`` keeps the decoded depth instead (uint16
for more than 8 bits, values in the format's range).

The readings made here, in one place:

* Bayer mosaics: ``algorithm="bilinear"`` averages the nearest samples of each
  colour; ``"malvar"`` is the gradient-corrected linear method of Malvar, He and
  Cutler (5x5 kernels).  Borders mirror the frame about its first and last
  lines and columns without repeating them (column -1 is column 1), which keeps
  the pattern.  Frames need at least 2 x 2 pixels.
* BiColor (RGBG: even pixels of a line hold (R, G), odd ones (B, G); BGRG the
  other way round): the colour a pixel lacks is the mean of its left and right
  neighbours, mirrored at the line's ends.  Lines need at least 2 pixels.
* YCbCr / YUV: the luma weights of BT.601 (Kr .299, Kb .114), BT.709 (.2126,
  .0722) or BT.2020 (.2627, .0593) that the name gives, in the video ("limited")
  range, Y 16-235 and C 16-240 at 8 bits, scaled by 2^(n-8); names without a
  standard are full range with the BT.601 weights, as JPEG.  ``range="full"`` or
  ``"limited"`` overrides the name.
* Depths other than 8 bits become 8 bits by the format's bit depth, never by the
  frame's content, so that frames stay comparable: round(v * 255 / (2^n - 1)),
  which also stretches fewer bits (Mono1p: 0 and 255).  Values above the
  format's range (high bits a malformed frame left set) show as its maximum.
  Signed values are offset by 2^(n-1) first.  Msb-aligned layouts count the
  whole container.
* Floating point has no fixed range: the finite minimum and maximum of the frame
  map to 0 and 255 (a constant frame shows 0), NaN and infinities show 0.
  ``dtype="native"`` returns float values as decoded.
* RGB, BGR, RGBa, BGRa and planar frames come out as R, G, B, alpha dropped;
  Coord3D shows its C channel (or its only one) as grey; one-channel colour
  (R8, G8, B8), SCF1 mosaics, Confidence and Data show as grey.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from ..exceptions import PixelFormatDecodeNotSupportedError
from ..pixel_format import PixelFormat
from . import _render
from ._layout import Layout, shaped

__all__ = ["visualization_image", "visualize", "decode_rgb", "ycbcr_matrix"]

DTYPES = ("uint8", "native")
ALGORITHMS = ("bilinear", "malvar")
RANGES = (None, "full", "limited")

# Kr, Kb of each standard; a name without one reads as BT.601 in full range.
WEIGHTS = {"601": (0.299, 0.114), "709": (0.2126, 0.0722), "2020": (0.2627, 0.0593)}
_BAYER = {"BayerRG": "RG", "BayerGR": "GR", "BayerGB": "GB", "BayerBG": "BG"}
_BICOLOR = {("RB", "G"): (0, 2), ("BR", "G"): (2, 0)}  # (even pixels' colour, odd pixels') as R=0, B=2
_YCBCR = (("Y", "Cb", "Cr"), ("Y", "U", "V"))


def _choice(value: Any, allowed: tuple[Any, ...], option: str) -> Any:
    if not any(value is a or (isinstance(value, str) and value == a) for a in allowed):
        names = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{option} must be one of {names}, not {value!r}")
    return value


def _standard(lay: Layout) -> str:
    try:
        fmt = PixelFormat.from_designation(lay.designation)
        return str(getattr(fmt.components, "standard", "") or "")
    except Exception:  # a name only a run-time registration spelled: no standard
        return ""


def ycbcr_matrix(standard: str, bits: int, limited: bool, out_max: int) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """The matrix (rows R, G, B; columns Y, Cb, Cr) and offsets that take
    ``bits``-bit YCbCr samples to RGB of 0..``out_max``."""
    kr, kb = WEIGHTS.get(standard, WEIGHTS["601"])
    kg = 1.0 - kr - kb
    step = float(1 << (bits - 8)) if bits >= 8 else 1.0 / (1 << (8 - bits))
    if limited:
        ay, ac, y0 = 1.0 / (219.0 * step), 1.0 / (224.0 * step), 16.0 * step
    else:
        full = float((1 << bits) - 1)
        ay, ac, y0 = 1.0 / full, 1.0 / full, 0.0
    c0 = float(1 << (bits - 1))
    rows = (
        (ay, 0.0, 2.0 * (1.0 - kr) * ac),
        (ay, -2.0 * kb * (1.0 - kb) / kg * ac, -2.0 * kr * (1.0 - kr) / kg * ac),
        (ay, 2.0 * (1.0 - kb) * ac, 0.0),
    )
    matrix = tuple(out_max * w for row in rows for w in row)
    return matrix, (y0, c0, c0)


def _effective_bits(lay: Layout, channel: int) -> int:
    return np.dtype(lay.dtype).itemsize * 8 if lay.msb_aligned else lay.bits[channel]


def _unsigned(values: np.ndarray, bits: int, signed: bool) -> np.ndarray:
    """Integer samples as non-negative int64 (or uint64) within 0..2^bits-1."""
    top = (1 << bits) - 1
    if signed:
        wide = values.astype(np.int64) + (1 << (bits - 1))
        return np.clip(wide, 0, top)
    if values.dtype.kind == "i":
        values = np.clip(values, 0, None)
    if values.dtype.itemsize == 8:
        return np.minimum(values.astype(np.uint64), np.uint64(top))
    return np.minimum(values, top) if int(values.max(initial=0)) > top else values


def _scaled(values: np.ndarray, bits: int, native: bool) -> np.ndarray:
    """Non-negative samples of ``bits`` to uint8 by the bit depth (or kept)."""
    if native:
        target = np.uint8 if bits <= 8 else np.uint16 if bits <= 16 else np.uint32 if bits <= 32 else np.uint64
        return values.astype(target, copy=False)
    if bits == 8:
        return values.astype(np.uint8, copy=False)
    top = (1 << bits) - 1
    if bits <= 16:
        table = ((np.arange(top + 1, dtype=np.uint32) * 255 + top // 2) // top).astype(np.uint8)
        return table[values.astype(np.intp, copy=False)]
    return np.rint(values.astype(np.float64) * (255.0 / top)).astype(np.uint8)


def _floats(values: np.ndarray, native: bool) -> np.ndarray:
    if native:
        return values.copy()
    wide = values.astype(np.float64)
    finite = np.isfinite(wide)
    out = np.zeros(values.shape, np.uint8)
    if not finite.any():
        return out
    low, high = float(wide[finite].min()), float(wide[finite].max())
    if high > low:
        span = 255.0 / (high - low)
        with np.errstate(over="ignore", invalid="ignore"):
            out[finite] = np.rint((wide[finite] - low) * span).clip(0, 255).astype(np.uint8)
    return out


def _checked(lay: Layout, image: Any) -> np.ndarray:
    array = shaped(lay, image)
    if array.dtype.kind not in "biuf" or (array.dtype.kind == "f") != (np.dtype(lay.dtype).kind == "f"):
        raise TypeError(f"image must hold {lay.dtype} values of {lay.designation}, not {array.dtype}")
    if array.dtype.kind == "b":
        array = array.astype(np.uint8)
    return array


def _samples(lay: Layout, plane: np.ndarray, channel: int, native: bool) -> np.ndarray:
    """One channel (or several of one depth) to uint8, or kept at its depth."""
    if plane.dtype.kind == "f":
        return _floats(plane, native)
    bits = _effective_bits(lay, channel)
    signed = np.dtype(lay.dtype).kind == "i"
    return _scaled(_unsigned(plane, bits, signed), bits, native)


def _for_kernel(plane: np.ndarray, bits: int) -> np.ndarray:
    """Samples as the C++ kernels take them: C-contiguous uint8 or uint16."""
    target = np.uint8 if bits <= 8 else np.uint16
    if plane.dtype != target:
        plane = _unsigned(plane, bits, False).astype(target)
    return np.ascontiguousarray(plane)


def _bayer(lay: Layout, image: np.ndarray, native: bool, algorithm: str) -> np.ndarray:
    bits = _effective_bits(lay, 0)
    if bits > 16:
        raise PixelFormatDecodeNotSupportedError(f"{lay.designation}: mosaics of more than 16 bits have no picture")
    height, width = image.shape
    if height < 2 or width < 2:
        raise ValueError(f"a {lay.designation} picture needs at least 2 x 2 pixels, not {width} x {height}")
    samples = _for_kernel(image, bits)
    out_type = np.uint8 if not native or bits <= 8 else np.uint16
    out = np.empty((height, width, 3), out_type)
    _render.demosaic(samples, out, pattern=_BAYER[lay.channels[0]], algorithm=algorithm, bits=bits)
    return out


def _ycbcr(lay: Layout, image: np.ndarray, native: bool, range_: Optional[str]) -> np.ndarray:
    bits = _effective_bits(lay, 0)
    if len(set(lay.bits)) > 1 or bits > 16 or bits < 8:
        raise PixelFormatDecodeNotSupportedError(f"{lay.designation}: YCbCr of this depth has no picture")
    standard = _standard(lay)
    limited = range_ == "limited" if range_ is not None else standard in WEIGHTS
    out_max = 255 if not native or bits == 8 else (1 << bits) - 1
    matrix, offset = ycbcr_matrix(standard, bits, limited, out_max)
    samples = _for_kernel(image, bits)
    out = np.empty(image.shape, np.uint8 if out_max == 255 else np.uint16)
    _render.affine(samples, out, matrix=matrix, offset=offset, bits=bits)
    if out_max not in (255, 65535):
        np.minimum(out, out_max, out=out)
    return out


def _bicolor(lay: Layout, image: np.ndarray, native: bool) -> np.ndarray:
    height, width = image.shape[:2]
    if width < 2:
        raise ValueError(f"a {lay.designation} picture needs lines of at least 2 pixels, not {width}")
    colour = _samples(lay, image[..., 0], 0, native)
    green = _samples(lay, image[..., 1], 1, native)
    wide = colour.astype(np.uint32)
    left = np.empty_like(wide)
    right = np.empty_like(wide)
    left[:, 1:], left[:, 0] = wide[:, :-1], wide[:, 1]
    right[:, :-1], right[:, -1] = wide[:, 1:], wide[:, -2]
    other = ((left + right + 1) >> 1).astype(colour.dtype)
    even = (np.arange(width) % 2 == 0)[None, :]
    at_even, at_odd = _BICOLOR[(lay.channels[0], lay.channels[1])]
    out = np.empty((height, width, 3), colour.dtype)
    red_sampled = even if at_even == 0 else ~even
    out[..., 0] = np.where(red_sampled, colour, other)
    out[..., 1] = green
    out[..., 2] = np.where(red_sampled, other, colour)
    return out


def visualization_image(
    layout: Layout, image: Any, *, dtype: str = "uint8", algorithm: str = "bilinear", range: Optional[str] = None
) -> np.ndarray:
    """The picture of ``image`` (an array ``decode`` returned for ``layout``'s format).

    (height, width, 3) uint8 RGB for colour, (height, width) uint8 for one
    channel; ``dtype="native"`` keeps the decoded depth.  ``algorithm`` chooses
    the demosaic of Bayer frames ("bilinear" or "malvar"), ``range`` the YCbCr
    range ("full" or "limited"; None: what the name says).  The image is never
    modified.
    """
    native = _choice(dtype, DTYPES, "dtype") == "native"
    algorithm = _choice(algorithm, ALGORITHMS, "algorithm")
    range_ = _choice(range, RANGES, "range")
    array = _checked(layout, image)
    channels = layout.channels
    if channels[0] in _BAYER and len(channels) == 1:
        return _bayer(layout, array, native, algorithm)
    if channels in _YCBCR:
        if array.dtype.kind == "f":
            raise PixelFormatDecodeNotSupportedError(f"{layout.designation}: floating-point YCbCr has no picture")
        return _ycbcr(layout, array, native, range_)
    if channels in _BICOLOR:
        return _bicolor(layout, array, native)
    if len(channels) == 1:
        return _samples(layout, array, 0, native)
    if set(channels) <= {"A", "B", "C"}:
        index = channels.index("C") if "C" in channels else 0
        return _samples(layout, array[..., index], index, native)
    if {"R", "G", "B"} <= set(channels) and set(channels) <= {"R", "G", "B", "a"}:
        order = [channels.index(c) for c in "RGB"]
        if array.dtype.kind == "f":
            return _floats(array[..., order], native)
        planes = [_samples(layout, array[..., i], i, native) for i in order]
        depth = max(p.dtype.itemsize for p in planes)
        return np.stack([p.astype(f"u{depth}", copy=False) for p in planes], axis=-1)
    raise PixelFormatDecodeNotSupportedError(
        f"{layout.designation}: the channels {' '.join(channels)} have no picture the built-in back-end makes"
    )


def _registry() -> Any:
    from . import _registry_for

    return _registry_for(None, "little", False)


def visualize(fmt_or_name: Any, image: Any, **options: Any) -> np.ndarray:
    """The picture of a decoded ``image`` of ``fmt_or_name`` (see :func:`visualization_image`)."""
    from ._layout import as_format

    return _registry().visualization_image(as_format(fmt_or_name), image, **options)  # type: ignore[no-any-return]


def decode_rgb(
    fmt_or_name: Any, buffer: Any, *, width: int, height: int, stride: Optional[int] = None, **options: Any
) -> np.ndarray:
    """Decodes one frame and returns its picture (``options`` as :func:`visualization_image`)."""
    from ._layout import as_format

    fmt = as_format(fmt_or_name)
    registry = _registry()
    image = registry.decode(fmt, buffer, width=width, height=height, stride=stride)
    return registry.visualization_image(fmt, image, **options)  # type: ignore[no-any-return]
