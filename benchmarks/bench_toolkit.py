"""Shared binding machinery: module attributes served from the cache kept on the
module dict's version, beside the same calls with every read done in full."""

import contextlib

from korvell.pfnc import halvenor
from korvell.pfnc.genicam import brintal, quenmar
from korvell.pfnc.genicam.brintal import CompoundDataTypes, DataTypes
from korvell.pfnc.halvenor import DecoderRegistry


@contextlib.contextmanager
def _full_reads(*modules):
    """Modules of a module subclass: the cache stands aside and every read of
    a module name is a full attribute lookup."""
    saved = [(module, module.__class__) for module in modules]
    for module, cls in saved:
        module.__class__ = type("FullReads", (cls,), {})
    try:
        yield
    finally:
        for module, cls in saved:
            module.__class__ = cls


class _Format:
    def designation(self):
        return "Mono8"


_EMPTY = DecoderRegistry()
_FORMAT = _Format()


def _unsupported():
    try:
        _EMPTY.resolve(_FORMAT)
    except halvenor.PixelFormatDecodeNotSupportedError:
        pass


_CREATE = ('DataTypes.create("sfu_x", 3)', lambda: DataTypes.create("sfu_x", 3))
_FROM = ('CompoundDataTypes.from_designation("f", 3)', lambda: CompoundDataTypes.from_designation("f", 3))
_RAISE = ("DecoderRegistry.resolve, nothing registered (reads the error type, raises)", _unsupported)

CASES = [
    ("module names cached: " + _CREATE[0], _CREATE[1]),
    ("module names read in full: " + _CREATE[0], _CREATE[1], None, lambda: _full_reads(brintal, quenmar)),
    ("module names cached: " + _FROM[0], _FROM[1]),
    ("module names read in full: " + _FROM[0], _FROM[1], None, lambda: _full_reads(brintal)),
    ("module names cached: " + _RAISE[0], _RAISE[1]),
    ("module names read in full: " + _RAISE[0], _RAISE[1], None, lambda: _full_reads(halvenor)),
]
