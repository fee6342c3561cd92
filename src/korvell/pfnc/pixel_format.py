"""The parsed GenICam pixel format."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._internal.utils import join_designators

if TYPE_CHECKING:
    from .genicam.components import Components
    from .genicam.tesselk import Size

__all__ = ["PixelFormat"]


class PixelFormat:
    """A parsed pixel format: components, bit sizes, data types, packing and an
    optional interface-specific suffix, kept as given."""

    __slots__ = ("components", "size", "data_types", "packing", "interface_specific")

    def __init__(
        self,
        components: Components,
        size: Size,
        data_types: Any,
        packing: Any,
        interface_specific: Any = None,
    ) -> None:
        self.components = components
        self.size = size
        self.data_types = data_types
        self.packing = packing
        self.interface_specific = interface_specific

    def designation(self) -> str:
        """The pixel format written back as text ("YCbCr422_8_CbYCrY")."""
        text = self.components.designation()
        for part in (self.size, self.data_types, self.packing):
            text = join_designators(text, part.designation())
        if self.interface_specific is not None:
            text = f"{text}_{self.interface_specific.designation()}"
        return text

    def _fields(self) -> tuple[Any, ...]:
        return (self.components, self.size, self.data_types, self.packing, self.interface_specific)

    def __eq__(self, other: object) -> bool:
        # Equal parts are not enough: two formats may share every part and still
        # lay out their bits differently, which only the designation tells.
        if not isinstance(other, PixelFormat):
            return False
        return self._fields() == other._fields() and self.designation() == other.designation()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(components={self.components!r}, size={self.size!r}, "
            f"data_types={self.data_types!r}, packing={self.packing!r}, "
            f"interface_specific={self.interface_specific!r})"
        )
