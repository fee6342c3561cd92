"""Data types: the factory, the parse and the designation.

Each guarded fast path has a row beside it with the guard made to fail, so the
difference is what the fast path buys.
"""

import functools

from korvell.pfnc.genicam import brintal
from korvell.pfnc.genicam.brintal import CompoundDataTypes, DataTypeRegistry, DataTypes, DefaultDataType

from _patch import patched as _patched

SIGNED, FLOAT = DefaultDataType.SIGNED, DefaultDataType.FLOAT
_SFS = CompoundDataTypes([SIGNED, FLOAT, SIGNED])


def _parse_through_python():
    """The class attribute is an equal callable, not the bound parse: the factory calls it."""
    return _patched(CompoundDataTypes, "from_designation", functools.partial(CompoundDataTypes.from_designation))


def _implementations_as_tuple():
    """A tuple instead of a list: the factory iterates it the general way (plus one Python call)."""
    walk = brintal.all_implementations
    return _patched(brintal, "all_implementations", lambda base: tuple(walk(base)))


class _Registry(DataTypeRegistry):
    """Behaves alike, but is not exactly the module's class: lookups go through
    resolve, and a character that is not registered costs a NotRegisteredError."""


def _registry_subclass():
    registry = _Registry()
    return _patched(brintal, "DATA_TYPE_REGISTRY", registry)


CASES = [
    ('DataTypes.create("sfu_x", 3)', lambda: DataTypes.create("sfu_x", 3), 700),
    (
        'DataTypes.create("sfu_x", 3) <from_designation through Python>',
        lambda: DataTypes.create("sfu_x", 3),
        None,
        _parse_through_python,
    ),
    (
        'DataTypes.create("sfu_x", 3) <implementations as a tuple>',
        lambda: DataTypes.create("sfu_x", 3),
        None,
        _implementations_as_tuple,
    ),
    ('CompoundDataTypes.from_designation("f", 3)', lambda: CompoundDataTypes.from_designation("f", 3), 450),
    (
        'CompoundDataTypes.from_designation("f", 3) <registry subclass>',
        lambda: CompoundDataTypes.from_designation("f", 3),
        None,
        _registry_subclass,
    ),
    ('CompoundDataTypes.from_designation("p32", 3)', lambda: CompoundDataTypes.from_designation("p32", 3)),
    (
        'CompoundDataTypes.from_designation("p32", 3) <registry subclass>',
        lambda: CompoundDataTypes.from_designation("p32", 3),
        None,
        _registry_subclass,
    ),
    (
        "CompoundDataTypes([SIGNED, FLOAT, SIGNED]).designation()",
        lambda: CompoundDataTypes([SIGNED, FLOAT, SIGNED]).designation(),
    ),
    ("<prebuilt CompoundDataTypes([SIGNED, FLOAT, SIGNED])>.designation()", _SFS.designation),
    ("DataTypeRegistry.default_snapshot()", DataTypeRegistry.default_snapshot),
]
