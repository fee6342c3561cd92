"""GenICam PFNC pixel formats: take a name apart exactly, turn frame bytes into images.

    >>> import korvell.pfnc as pfnc
    >>> fmt = pfnc.parse("Mono12p")
    >>> pfnc.decode(fmt, bytes.fromhex("BC3A12"), width=2, height=1).tolist()
    [[2748, 291]]

Map of the package (everything below is importable from here):

* Parsing -- :func:`parse` (``PixelFormat.from_designation``), :func:`from_code`
  for a published 32-bit value, :class:`PixelFormat` and its kinds
  :class:`OpaquePixelFormat` (a published name the grammar cannot read) and
  :class:`VendorPixelFormat` (a maker's name taught with
  :func:`register_vendor_name`).  The parts live in ``korvell.pfnc.genicam``:
  ``tesselk`` (bits per channel), ``brintal`` (data types), ``ostrevo``
  (packing), ``quenmar`` (interface-specific suffixes), ``components`` (the
  component vocabulary).  ``korvell.pfnc.names`` is the table of published
  names and values.
* Decoding -- :func:`decode`, :func:`encode`, :func:`get_buffer_size`,
  :func:`layout` and :func:`default_registry` (``korvell.pfnc.decoders``);
  pictures to look at with :func:`visualize` and :func:`decode_rgb`; the
  back-end interface :class:`PixelFormatDecoder` and :class:`DecoderRegistry`
  (``korvell.pfnc.halvenor``).
* Errors -- :class:`PixelFormatError` and its kinds (``korvell.pfnc.exceptions``).
* The command line -- ``python -m korvell.pfnc`` (``korvell.pfnc.cli``).

Names are imported on first use, so ``import korvell.pfnc`` loads neither the
compiled parts nor numpy.
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

# name -> the module it comes from
_EXPORTS = {
    "PixelFormat": ".pixel_format",
    "OpaquePixelFormat": ".pixel_format",
    "VendorPixelFormat": ".pixel_format",
    "parse": ".pixel_format",
    "from_code": ".pixel_format",
    "register_vendor_name": ".vendor",
    "decode": ".decoders",
    "encode": ".decoders",
    "get_buffer_size": ".decoders",
    "layout": ".decoders",
    "visualize": ".decoders._visual",
    "decode_rgb": ".decoders._visual",
    "default_registry": ".decoders",
    "DecoderRegistry": ".halvenor",
    "PixelFormatDecoder": ".halvenor",
    "PixelFormatError": ".exceptions",
    "ParseReject": ".exceptions",
    "PixelFormatValueReject": ".exceptions",
    "DuplicateRegistrationError": ".exceptions",
    "NotRegisteredError": ".exceptions",
    "PixelFormatDecodeNotSupportedError": ".exceptions",
}

__all__ = [
    "DecoderRegistry",
    "DuplicateRegistrationError",
    "NotRegisteredError",
    "OpaquePixelFormat",
    "ParseReject",
    "PixelFormat",
    "PixelFormatDecodeNotSupportedError",
    "PixelFormatDecoder",
    "PixelFormatError",
    "PixelFormatValueReject",
    "VendorPixelFormat",
    "decode",
    "default_registry",
    "encode",
    "from_code",
    "get_buffer_size",
    "layout",
    "parse",
    "register_vendor_name",
    "visualize",
    "decode_rgb",
]

if TYPE_CHECKING:
    from .decoders import decode, default_registry, encode, get_buffer_size, layout
    from .decoders._visual import decode_rgb, visualize
    from .exceptions import (
        DuplicateRegistrationError,
        NotRegisteredError,
        ParseReject,
        PixelFormatDecodeNotSupportedError,
        PixelFormatError,
        PixelFormatValueReject,
    )
    from .halvenor import DecoderRegistry, PixelFormatDecoder
    from .pixel_format import OpaquePixelFormat, PixelFormat, VendorPixelFormat, from_code, parse
    from .vendor import register_vendor_name


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(import_module(module, __name__), name)
    globals()[name] = value  # later reads skip this function
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
