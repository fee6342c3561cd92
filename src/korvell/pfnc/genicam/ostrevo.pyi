"""
Packing: padding types, the registry of padding-type names and the packing part
of a PFNC pixel-format designation.
"""

import logging
from enum import Enum as Enum
from logging import getLogger as getLogger
from typing import ClassVar

from korvell.pfnc._internal.registry import (
    MappingSnapshot as MappingSnapshot,
    Registry as Registry
)
from korvell.pfnc._internal.utils import (
    join_designators as join_designators
)
from korvell.pfnc.exceptions import (
    DuplicateRegistrationError as DuplicateRegistrationError,
    NotRegisteredError as NotRegisteredError,
    PixelFormatValueReject as PixelFormatValueReject
)


logger: logging.Logger

class PaddingType(Enum):
    """Enumeration of padding types for pixel formats."""

    PACKED = 'p'
    GROUPED = 'g'
    UNPACKED = ''

class PaddingTypeNameRegistry(Registry[str, PaddingType]):
    """Registry for padding type names with immutable defaults."""

    def __init__(self) -> None: ...

    @property
    def _default_keys(self) -> set[str]:
        """The default names; they can never be registered again."""

    @_default_keys.setter
    def _default_keys(self, value: set[str], /) -> None: ...

    def _register_defaults(self) -> None:
        """Register the default names: the value of each PaddingType member, then "Packed"."""

    def register(self, name: str, value: PaddingType) -> None:
        """
        Register ``name`` for ``value``; a default name raises DuplicateRegistrationError.
        """

    def restore(self, snap: MappingSnapshot[str, PaddingType]) -> None:
        """
        Replace every entry by the snapshot's.

        The snapshot must map every default name to its default padding type;
        otherwise ValueError is raised and the registry is left unchanged.
        """

    @classmethod
    def default_snapshot(cls) -> MappingSnapshot[str, PaddingType]:
        """A snapshot that holds only the default names."""

PADDING_TYPE_NAME_REGISTRY: PaddingTypeNameRegistry

class Packing:
    """
    Represents the packing configuration for pixel formats.

    A padding-type name (resolved through PADDING_TYPE_NAME_REGISTRY on every use),
    whether the least significant bit is used (false is written "msb"), an optional
    alignment and an optional cluster marker (0 when there is none).
    """

    def __init__(self, padding_type: PaddingType | str | None = None, lsb: object = True, alignment: int | None = None, cluster_marker: int = 0) -> None: ...

    @property
    def padding_type_name(self) -> str:
        """The padding-type name the packing was built with ("" when unpacked)."""

    @padding_type_name.setter
    def padding_type_name(self, value: str, /) -> None: ...

    @property
    def lsb(self) -> bool:
        """Whether the least significant bit is used; false is written "msb"."""

    @lsb.setter
    def lsb(self, value: bool, /) -> None: ...

    @property
    def alignment(self) -> int | None:
        """The alignment, or None."""

    @alignment.setter
    def alignment(self, value: int | None, /) -> None: ...

    @property
    def cluster_marker(self) -> int:
        """The cluster marker; 0 when there is none."""

    @cluster_marker.setter
    def cluster_marker(self, value: int, /) -> None: ...

    @property
    def padding_type(self) -> PaddingType:
        """
        The padding type of ``padding_type_name``, looked up in the registry on every read.
        """

    def __eq__(self, other: object) -> bool: ...

    def designation(self) -> str:
        """
        The designation text: cluster marker, padding name, "msb" and alignment
        ("c3p32", "pmsb32", "ga16").
        """

    @staticmethod
    def from_designation(full_designation: str) -> list[tuple[Packing, str]]:
        """
        Every reading of a packing at the front of ``full_designation``.

        Returns (packing, remaining text) pairs: without a cluster marker before
        with one, the registered names in registry order, lsb before msb, no
        alignment before a read one. Never empty: the unpacked reading that
        consumes nothing is always among them.
        """

    def __getstate__(self) -> tuple[str, bool, int | None, int]: ...

    def __setstate__(self, state: tuple[str, bool, int | None, int], /) -> None: ...

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]
