"""The package's helpers: the subclass walk the factories ask for on every parse
(answered from the last walk while the hierarchy holds), and join_designators."""

from korvell.pfnc._internal.utils import all_implementations, join_designators
from korvell.pfnc.genicam import planes  # noqa: F401  (the package's own implementation takes part)
from korvell.pfnc.genicam.brintal import DataTypes
from korvell.pfnc.genicam.quenmar import InterfaceSpecific


class _Text(str):
    pass


_C3 = _Text("c3")

CASES = [
    ("all_implementations(InterfaceSpecific)", lambda: all_implementations(InterfaceSpecific)),
    ("all_implementations(DataTypes)", lambda: all_implementations(DataTypes)),
    ('join_designators("YCbCr422", "8")', lambda: join_designators("YCbCr422", "8")),
    ('join_designators("c3", "p32")', lambda: join_designators("c3", "p32")),
    ('str subclass: join_designators(<str subclass "c3">, "p32")', lambda: join_designators(_C3, "p32")),
]
