"""
Data types: the default data types, the registry of custom single-character
data-type designators, and the per-channel data-type part of a designation.
"""

import enum
import logging
from abc import ABCMeta as ABCMeta, abstractmethod as abstractmethod
from enum import Enum as Enum
from logging import getLogger as getLogger
from typing import ClassVar, TypeAlias, Union
from typing import TypeGuard as TypeGuard, get_args as get_args

from korvell.pfnc._internal.registry import (
    MappingSnapshot as MappingSnapshot,
    Registry as Registry,
)
from korvell.pfnc._internal.utils import all_implementations as all_implementations
from korvell.pfnc.exceptions import (
    DuplicateRegistrationError as DuplicateRegistrationError,
    NotRegisteredError as NotRegisteredError,
    ParseReject as ParseReject,
    PixelFormatValueReject as PixelFormatValueReject,
)

logger: logging.Logger

class DefaultDataType(enum.Enum):
    """Enumeration for default data types."""

    UNSIGNED = ""
    SIGNED = "s"
    FLOAT = "f"

DataType: TypeAlias = Union[DefaultDataType, str]

class DataTypeRegistry(Registry[str, DataType]):
    """Registry for data types with immutable defaults."""

    def __init__(self) -> None:
        """
        A registry holding the four defaults: "" and "u" (UNSIGNED), "s" (SIGNED), "f" (FLOAT).
        """

    @property
    def _default_keys(self) -> set[str]:
        """The designators registered as defaults."""

    @_default_keys.setter
    def _default_keys(self, value: set[str], /) -> None: ...

    def _register_defaults(self) -> None:
        """Register the four default entries, recording each designator as a default first."""

    def register(self, name: str, value: DataType | None = None) -> None:
        """
        Register a custom single-character data type.

        Without a value the data type is the string ``name`` itself. Default
        designators raise DuplicateRegistrationError; other names must be one
        character long (ValueError).
        """

    def _validate(self, name: str, _value: DataType) -> None:
        """Accept default designators and one-character names; raise ValueError otherwise."""

    def restore(self, snap: MappingSnapshot[str, DataType]) -> None:
        """
        Replace the content with that of ``snap``.

        Every entry is validated and every default must be present with its value
        before anything changes; otherwise ValueError and the registry is untouched.
        """

    @classmethod
    def default_snapshot(cls) -> MappingSnapshot[str, DataType]:
        """A snapshot of a fresh registry: the four defaults and nothing else."""

DATA_TYPE_REGISTRY: DataTypeRegistry

def is_data_type(potential_data_type: object) -> TypeGuard[DataType]:
    """True for a DefaultDataType member or any string."""

def datatype_name(data_type: DataType | None, multiple_designators: object = False) -> str | None:
    """
    The designator text of a data type.

    A member gives its value, except UNSIGNED, which gives "u" when
    ``multiple_designators`` is true; a string is its own designator and None
    comes back unchanged.
    """

class DataTypes(metaclass=ABCMeta):
    """Abstract base class for data type designations."""

    def __init__(self) -> None: ...
    @abstractmethod
    def designation(self) -> str:
        """The designation text of this data-type part."""

    @abstractmethod
    def __len__(self) -> int:
        """The number of channels described."""

    @abstractmethod
    def __getitem__(self, item: int) -> DataType:
        """The data type of channel ``item``."""

    @staticmethod
    def create(full_designation: str, number_of_channels: int) -> list[tuple[DataTypes, str]]:
        """
        The candidates of every implementation, in the order the implementations
        are found; an implementation that raises ParseReject is logged and skipped.
        """

    @staticmethod
    def from_designation(full_designation: str, number_of_channels: int) -> list[tuple[DataTypes, str]]:
        """
        Parse from the front of ``full_designation``; every implementation provides it.
        """

    def __eq__(self, other: object) -> bool:
        """
        Equal when ``other`` is a data-type part with equal entries, channel by channel.
        """

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

class CompoundDataTypes(DataTypes):
    """Represents a compound designation containing multiple data types."""

    def __init__(self, brintal: list[DataType]) -> None: ...
    @property
    def brintal(self) -> list[DataType]:
        """The data type of each channel, in channel order."""

    @brintal.setter
    def brintal(self, value: list[DataType], /) -> None: ...
    def designation(self) -> str:
        """
        The designation text: the designator once when every channel has the same
        one, otherwise each channel's designator in order (UNSIGNED writes nothing).
        """

    def __len__(self) -> int: ...
    def __getitem__(self, item: int) -> DataType: ...
    def __repr__(self) -> str: ...
    @staticmethod
    def from_designation(  # type: ignore[override]
        full_designation: str, number_of_channels: int
    ) -> list[tuple[CompoundDataTypes, str]]:
        """
        Parse the data types from the front of ``full_designation``.

        Candidates, in order: every channel UNSIGNED with nothing consumed; one
        registered designator per channel; one designator shared by every channel.
        """

    def __getstate__(self) -> tuple[list[DataType]]: ...
    def __setstate__(self, state: tuple[list[DataType]], /) -> None: ...

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]
    __match_args__: ClassVar[tuple[str]] = ("brintal",)
