"""Vendor pixel formats: names the grammar cannot read, taught at run time.

Cameras report names of their makers' own, such as ``Mono10g40IDS``.  Where a
PFNC designation describes the same bit layout, register the vendor name with
it, and the name parses (to a :class:`~korvell.pfnc.pixel_format.VendorPixelFormat`
with that designation's parts) and decodes like it::

    >>> from korvell.pfnc import vendor
    >>> vendor.register_vendor_name("Mono12g24IDS", "Mono12g")

A layout no designation describes goes to a back-end of your own: register the
name with the designation closest to it (it gives the parts: channels, sizes)
and register a back-end that claims the vendor name by its designation, with
a higher priority than the built-in one.
"""

from __future__ import annotations

from ._internal.registry import MappingSnapshot, Registry

__all__ = ["VendorNameRegistry", "VENDOR_NAMES", "register_vendor_name"]


class VendorNameRegistry(Registry[str, str]):
    """Vendor name -> the PFNC designation whose layout it stands for."""

    def register(self, name: str, value: str) -> None:
        """Teach ``name``; ``value`` is a designation the grammar reads.

        A published name cannot be taken over, and the designation must parse
        to a format with parts (not a vendor or opaque one).
        """
        from . import names
        from .pixel_format import OpaquePixelFormat, PixelFormat, VendorPixelFormat

        for what, text in (("name", name), ("designation", value)):
            if type(text) is not str:
                raise TypeError(f"{what} must be str, not {type(text).__name__}")
        if not name:
            raise ValueError("a vendor name cannot be empty")
        if names.find(name) is not None:
            raise ValueError(f"{name!r} is a published pixel-format name")
        if value in self._registry:
            raise ValueError(f"{value!r} is itself a vendor name")
        target = PixelFormat.from_designation(value)  # PixelFormatValueReject when it does not parse
        if isinstance(target, (OpaquePixelFormat, VendorPixelFormat)):
            raise ValueError(f"{value!r} has no parts a vendor name could take")
        Registry.register(self, name, value)

    def restore(self, snap: MappingSnapshot[str, str]) -> None:
        """Replace every entry by those of ``snap``."""
        # One assignment: a parse running meanwhile reads the old names or the
        # new ones, never a mapping emptied and half refilled.
        self._registry = dict(snap.mapping)


VENDOR_NAMES = VendorNameRegistry()
"""The vendor names the parser knows; empty until an application registers some."""


def register_vendor_name(name: str, designation: str) -> None:
    """Teach the parser ``name`` as the layout of the PFNC ``designation``."""
    VENDOR_NAMES.register(name, designation)
