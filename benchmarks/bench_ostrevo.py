"""Packing: parse and format, each direct route beside its route through the
interpreter (the fallback taken when a guard fails)."""

import functools

from korvell.pfnc._internal.utils import join_designators
from korvell.pfnc.genicam import ostrevo
from korvell.pfnc.genicam.ostrevo import Packing, PaddingTypeNameRegistry

from _patch import patched as _patched

_c3p32 = Packing("p", False, 32, 3)
_c3p32_int_lsb = Packing("p", False, 32, 3)
_c3p32_int_lsb.lsb = 0  # not a bool: the pieces are taken through truth and str


class _Subclassed(PaddingTypeNameRegistry):
    """Overrides nothing; a registry that is not the exact compiled class."""


def _registry_subclass():
    return _patched(ostrevo, "PADDING_TYPE_NAME_REGISTRY", _Subclassed())


def _join_replaced():
    # the same function behind a C-level wrapper: no longer the module's own object
    return _patched(ostrevo, "join_designators", functools.partial(join_designators))


_PARSE = ('Packing.from_designation("c3p32")', lambda: Packing.from_designation("c3p32"))
_PREBUILT = ('<prebuilt Packing("p", False, 32, 3)>.designation()', _c3p32.designation)

CASES = [
    (_PARSE[0], _PARSE[1], 700),
    ("registry subclass: " + _PARSE[0], _PARSE[1], None, _registry_subclass),
    ('Packing.from_designation("pmsb32")', lambda: Packing.from_designation("pmsb32")),
    ('Packing("p", False, 32, 3).designation()', lambda: Packing("p", False, 32, 3).designation(), 350),
    (_PREBUILT[0], _PREBUILT[1], 150),
    ("join replaced: " + _PREBUILT[0], _PREBUILT[1], None, _join_replaced),
    ("registry subclass: " + _PREBUILT[0], _PREBUILT[1], None, _registry_subclass),
    ("lsb field 0, not a bool: " + _PREBUILT[0], _c3p32_int_lsb.designation),
]
