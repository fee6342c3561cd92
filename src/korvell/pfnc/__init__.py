"""GenICam PFNC pixel-format designations: parse, format and decode.

``decode``, ``encode`` and ``get_buffer_size`` (from :mod:`korvell.pfnc.decoders`)
are imported on first use, so that importing the package stays cheap.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

__all__ = ["decode", "encode", "get_buffer_size"]

if TYPE_CHECKING:
    from .decoders import decode, encode, get_buffer_size


def __getattr__(name: str) -> Any:
    if name in __all__:
        from . import decoders

        value = getattr(decoders, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
