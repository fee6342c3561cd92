"""Pixel formats: one parse per name, and the whole standard list."""

import contextlib

from korvell.pfnc import names, pixel_format
from korvell.pfnc.genicam import components
from korvell.pfnc.genicam.components import Component, channel_name, parse_components
from korvell.pfnc.pixel_format import PixelFormat

_STANDARD = tuple(e.name for e in names.entries() if e.status == "standard")
_N = len(_STANDARD)


def _parse_all() -> None:
    parse = PixelFormat.from_designation
    for name in _STANDARD:
        parse(name)


def _parse_all_cold() -> None:
    # every name found anew (and kept), as on its first parse
    builds = pixel_format._memo.builds
    parse = PixelFormat.from_designation
    for name in _STANDARD:
        builds.clear()
        parse(name)


@contextlib.contextmanager
def _helper_replaced():
    # A replaced helper on the way: no kept reading is given out.
    original = pixel_format._size_readings
    pixel_format._size_readings = lambda text, channels: original(text, channels)
    try:
        yield
    finally:
        pixel_format._size_readings = original


@contextlib.contextmanager
def _location_replaced():
    # A replaced class the table would build once: the definitions are asked.
    original = components.LMNLocation
    components.LMNLocation = type("LMNLocation", (original,), {"__slots__": ()})
    try:
        yield
    finally:
        components.LMNLocation = original


CASES = [
    ('PixelFormat.from_designation("Mono8")', lambda: PixelFormat.from_designation("Mono8")),
    ('PixelFormat.from_designation("RGB10p32")', lambda: PixelFormat.from_designation("RGB10p32")),
    ('PixelFormat.from_designation("YCbCr422_8_CbYCrY")', lambda: PixelFormat.from_designation("YCbCr422_8_CbYCrY")),
    (
        'PixelFormat.from_designation("YCbCr422_8_CbYCrY"), helper replaced (fallback)',
        lambda: PixelFormat.from_designation("YCbCr422_8_CbYCrY"),
        None,
        _helper_replaced,
    ),
    (f"PixelFormat.from_designation of all {_N} standard names", _parse_all, _N * 1000.0),
    (f"PixelFormat.from_designation of all {_N} standard names, cold", _parse_all_cold, _N * 10000.0),
    (
        f"PixelFormat.from_designation of all {_N} standard names, helper replaced (fallback)",
        _parse_all,
        _N * 10000.0,
        _helper_replaced,
    ),
    ("channel_name(Component.CB)", lambda: channel_name(Component.CB)),
    ('parse_components("YCbCr422_8_CbYCrY")', lambda: parse_components("YCbCr422_8_CbYCrY")),
    (
        'parse_components("YCbCr422_8_CbYCrY"), class replaced (fallback)',
        lambda: parse_components("YCbCr422_8_CbYCrY"),
        None,
        _location_replaced,
    ),
]
