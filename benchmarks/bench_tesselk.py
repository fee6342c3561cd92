"""Channel sizes: parse and format.

Counts are handled as machine integers only while the list is exactly a list
of exact ints; the rows with an int subclass among the counts show the general
way beside it.
"""

from korvell.pfnc.genicam.tesselk import Size


class _Bits(int):
    """An int that is not exactly an int: the counts take the general way."""


_565 = Size([5, 6, 5])
_565_general = Size([_Bits(5), 6, 5])

CASES = [
    ('Size.from_designation("10p32", 3)', lambda: Size.from_designation("10p32", 3), 260),
    ('Size.from_designation("565", 3)', lambda: Size.from_designation("565", 3)),
    ("Size([5, 6, 5]).designation()", lambda: Size([5, 6, 5]).designation(), 280),
    ("Size([<int subclass> 5, 6, 5]).designation()", lambda: Size([_Bits(5), 6, 5]).designation()),
    ("<prebuilt Size([5, 6, 5])>.designation()", _565.designation),
    ("<prebuilt Size([<int subclass> 5, 6, 5])>.designation()", _565_general.designation),
]
