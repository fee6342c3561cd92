"""Packing: parse and format."""

from korvell.pfnc.genicam.ostrevo import Packing

_c3p32 = Packing("p", False, 32, 3)

CASES = [
    ('Packing.from_designation("c3p32")', lambda: Packing.from_designation("c3p32")),
    ('Packing.from_designation("pmsb32")', lambda: Packing.from_designation("pmsb32")),
    ('Packing("p", False, 32, 3).designation()', lambda: Packing("p", False, 32, 3).designation()),
    ('<prebuilt Packing("p", False, 32, 3)>.designation()', _c3p32.designation),
]
