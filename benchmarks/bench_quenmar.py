"""Interface-specific suffixes: the factory over every implementation, and component sequencing."""

from korvell.pfnc.genicam.components import Component, Components, GenicamComponents, LMNLocation
from korvell.pfnc.genicam.quenmar import ComponentsSequencing, InterfaceSpecific, Planar
from korvell.pfnc.genicam.tesselk import Size

_YCC_422 = GenicamComponents([Component.Y, Component.CB, Component.CR], LMNLocation((4, 2, 2)))
_RGB = Components([Component.R, Component.G, Component.B])
_SIZES = Size([8, 8, 8])
_LONG = "CbYCrY" * 10_000

CASES = [
    ('InterfaceSpecific.create("_CbYCrY", <Y, Cb, Cr at 4:2:2>, Size([8, 8, 8]))',
     lambda: InterfaceSpecific.create("_CbYCrY", _YCC_422, _SIZES)),
    ('InterfaceSpecific.create("_Planar", <R, G, B>, Size([8, 8, 8]))',
     lambda: InterfaceSpecific.create("_Planar", _RGB, _SIZES)),
    ('Planar.from_designation("Planar", <R, G, B>, Size([8, 8, 8]))',
     lambda: Planar.from_designation("Planar", _RGB, _SIZES)),
    ('ComponentsSequencing.from_designation("CbYCrY", <Y, Cb, Cr at 4:2:2>, Size([8, 8, 8]))',
     lambda: ComponentsSequencing.from_designation("CbYCrY", _YCC_422, _SIZES)),
    ('ComponentsSequencing.from_designation(<"CbYCrY" x 10000>, <Y, Cb, Cr at 4:2:2>, Size([8, 8, 8]))',
     lambda: ComponentsSequencing.from_designation(_LONG, _YCC_422, _SIZES)),
]
