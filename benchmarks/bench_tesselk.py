"""Channel sizes: parse and format."""

from korvell.pfnc.genicam.tesselk import Size

_565 = Size([5, 6, 5])

CASES = [
    ('Size.from_designation("10p32", 3)', lambda: Size.from_designation("10p32", 3)),
    ('Size.from_designation("565", 3)', lambda: Size.from_designation("565", 3)),
    ("Size([5, 6, 5]).designation()", lambda: Size([5, 6, 5]).designation()),
    ("<prebuilt Size([5, 6, 5])>.designation()", _565.designation),
]
