"""
Interface specifics: the suffix after the underscore of a PFNC pixel-format
designation (planar, semi-planar, or an explicit component sequence).
"""

import logging
from abc import ABCMeta as ABCMeta, abstractmethod as abstractmethod
from logging import getLogger as getLogger
from typing import ClassVar

from typing_extensions import Self as Self

from korvell.pfnc._internal.utils import (
    all_implementations as all_implementations
)
from korvell.pfnc.exceptions import (
    ParseReject as ParseReject,
    PixelFormatValueReject as PixelFormatValueReject
)
from korvell.pfnc.genicam.components import (
    Components as Components,
    GenicamComponents as GenicamComponents,
    LMNLocation as LMNLocation,
    channel_name as channel_name
)
from korvell.pfnc.genicam.tesselk import Size as Size


logger: logging.Logger

class InterfaceSpecific:
    """
    Base of the interface-specific suffixes; ``create`` collects the readings of
    every implementation.  Objects of exactly the same class are equal.
    """

    def __init__(self) -> None: ...

    @abstractmethod
    def designation(self) -> str:
        """The suffix text, without the introducing underscore."""

    @staticmethod
    def create(full_designation: str, components: Components, sizes: Size) -> list[tuple[InterfaceSpecific, str]]:
        """
        Parse the suffix of ``full_designation``, which begins with its underscore.

        Every implementation is asked, in the order ``all_implementations`` gives,
        and all their (object, remaining text) pairs are returned, grouped by
        implementation.  A text without the leading underscore gives an empty list.
        """

    @classmethod
    @abstractmethod
    def from_designation(cls, full_designation: str, components: Components, sizes: Size) -> list[tuple[Self, str]]:
        """Parse the suffix from the front of the text after the underscore."""

    def __eq__(self, other: object) -> bool: ...

    def __repr__(self) -> str: ...

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

class Planar(InterfaceSpecific):
    """The planar layout: the suffix "Planar"."""

    def __init__(self) -> None: ...

    def designation(self) -> str:
        """The suffix text, "Planar"."""

    @classmethod
    def from_designation(cls, full_designation: str, components: Components, sizes: Size) -> list[tuple[Self, str]]:
        """
        Parse the suffix from the front of ``full_designation`` (the text after the
        underscore).  Returns a list of at most one (object, remaining text) pair; the
        object is of the class the operation is called on.
        """

    def __getstate__(self) -> tuple[()]: ...

    def __setstate__(self, state: tuple[()], /) -> None: ...

class SemiPlanar(InterfaceSpecific):
    """The semi-planar layout: the suffix "Semiplanar"."""

    def __init__(self) -> None: ...

    def designation(self) -> str:
        """The suffix text, "Semiplanar"."""

    @classmethod
    def from_designation(cls, full_designation: str, components: Components, sizes: Size) -> list[tuple[Self, str]]:
        """
        Parse the suffix from the front of ``full_designation`` (the text after the
        underscore).  Returns a list of at most one (object, remaining text) pair; the
        object is of the class the operation is called on.
        """

    def __getstate__(self) -> tuple[()]: ...

    def __setstate__(self, state: tuple[()], /) -> None: ...

class ComponentsSequencing(InterfaceSpecific):
    """
    An explicit order of the colour components on the interface, such as CbYCrY:
    one channel name per occurrence, in order.
    """

    def __init__(self, components: tuple[str, ...]) -> None: ...

    @property
    def components(self) -> tuple[str, ...]:
        """
        The channel names in the order they follow each other, one per occurrence.
        """

    @components.setter
    def components(self, value: tuple[str, ...], /) -> None: ...

    def designation(self) -> str:
        """The channel names concatenated in order ("" when there are none)."""

    def __eq__(self, other: object) -> bool: ...

    def __repr__(self) -> str: ...

    @classmethod
    def from_designation(cls, full_designation: str, components: Components, sizes: Size) -> list[tuple[Self, str]]:
        """
        Read a run of the components' channel names from the front of
        ``full_designation``, longest name first at every position.

        Returns one (object, remaining text) pair when as many distinct components
        occur as ``sizes`` has channels and, for components at an LMN location, their
        counts are in the location's proportions; otherwise an empty list.
        """

    def __getstate__(self) -> tuple[tuple[str, ...]]: ...

    def __setstate__(self, state: tuple[tuple[str, ...]], /) -> None: ...

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

    __match_args__: ClassVar[tuple[str]] = ('components',)
