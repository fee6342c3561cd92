"""Interface-specific suffixes: the factory over every implementation, and component sequencing.

Each direct read has a row with its fallback forced beside it ("fallback: ..."):
the same call while a replacement that behaves the same makes the guard fail.
"""

import contextlib
import types

from korvell.pfnc.genicam import components as _components_module
from korvell.pfnc.genicam import planes as _planes
from korvell.pfnc.genicam import quenmar as _quenmar
from korvell.pfnc.genicam.components import Component, Components, GenicamComponents, LMNLocation
from korvell.pfnc.genicam.planes import PlaneGroups
from korvell.pfnc.genicam.quenmar import ComponentsSequencing, InterfaceSpecific, Planar, SemiPlanar
from korvell.pfnc.genicam.tesselk import Size

from _patch import patched as _patched

_YCC = [Component.Y, Component.CB, Component.CR]
_YCC_422 = GenicamComponents(_YCC, LMNLocation((4, 2, 2)))
_YCC_420 = GenicamComponents(_YCC, LMNLocation((4, 2, 0)))
_RGB = Components([Component.R, Component.G, Component.B])
_SIZES = Size([8, 8, 8])
_LONG = "CbYCrY" * 10_000


class _SameComponents(GenicamComponents):
    __slots__ = ()


class _SameLocation(LMNLocation):
    __slots__ = ()


# The same components through classes the direct reads do not know.
_YCC_422_SUB = _SameComponents(_YCC, _SameLocation((4, 2, 2)))


def _copied_parses():
    """Each class's from_designation as a new classmethod over the same function."""
    stack = contextlib.ExitStack()
    for cls in (Planar, SemiPlanar, ComponentsSequencing, PlaneGroups):
        stack.enter_context(_patched(cls, "from_designation", classmethod(vars(cls)["from_designation"].__func__)))
    return stack


def _copied_channel_name():
    f = _components_module.channel_name
    return _patched(_quenmar, "channel_name", types.FunctionType(f.__code__, f.__globals__, f.__name__))


def _copied_layouts():
    return _patched(_planes, "LAYOUTS", tuple(list(_planes.LAYOUTS)))


_CREATE = 'InterfaceSpecific.create("_CbYCrY", <Y, Cb, Cr at 4:2:2>, Size([8, 8, 8]))'
_SEQ = 'ComponentsSequencing.from_designation("CbYCrY", <Y, Cb, Cr at 4:2:2>, Size([8, 8, 8]))'
_GROUPS = 'PlaneGroups.from_designation("YY_CbCr_Semiplanar", <Y, Cb, Cr at 4:2:0>, Size([8, 8, 8]))'


def _create():
    return InterfaceSpecific.create("_CbYCrY", _YCC_422, _SIZES)


def _sequencing():
    return ComponentsSequencing.from_designation("CbYCrY", _YCC_422, _SIZES)


def _groups():
    return PlaneGroups.from_designation("YY_CbCr_Semiplanar", _YCC_420, _SIZES)


CASES = [
    (_CREATE, _create, 1200),
    ("  fallback: each from_designation a new classmethod", _create, None, _copied_parses),
    ('InterfaceSpecific.create("_Planar", <R, G, B>, Size([8, 8, 8]))',
     lambda: InterfaceSpecific.create("_Planar", _RGB, _SIZES)),
    ('Planar.from_designation("Planar", <R, G, B>, Size([8, 8, 8]))',
     lambda: Planar.from_designation("Planar", _RGB, _SIZES)),
    (_SEQ, _sequencing),
    ("  fallback: channel_name a copy of the function", _sequencing, None, _copied_channel_name),
    ("  fallback: components and location of derived classes",
     lambda: ComponentsSequencing.from_designation("CbYCrY", _YCC_422_SUB, _SIZES)),
    ('ComponentsSequencing.from_designation(<"CbYCrY" x 10000>, <Y, Cb, Cr at 4:2:2>, Size([8, 8, 8]))',
     lambda: ComponentsSequencing.from_designation(_LONG, _YCC_422, _SIZES)),
    (_GROUPS, _groups),
    ("  fallback: LAYOUTS a copy of the tuple (the Python reading)", _groups, None, _copied_layouts),
]
