"""Pixel formats: one parse per name, and the whole standard list."""

from korvell.pfnc import names
from korvell.pfnc.pixel_format import PixelFormat

_STANDARD = tuple(e.name for e in names.entries() if e.status == "standard")


def _parse_all() -> None:
    parse = PixelFormat.from_designation
    for name in _STANDARD:
        parse(name)


CASES = [
    ('PixelFormat.from_designation("Mono8")', lambda: PixelFormat.from_designation("Mono8")),
    ('PixelFormat.from_designation("RGB10p32")', lambda: PixelFormat.from_designation("RGB10p32")),
    ('PixelFormat.from_designation("YCbCr422_8_CbYCrY")', lambda: PixelFormat.from_designation("YCbCr422_8_CbYCrY")),
    (f"PixelFormat.from_designation of all {len(_STANDARD)} standard names", _parse_all),
]
