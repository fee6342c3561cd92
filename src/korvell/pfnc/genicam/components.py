"""Colour components of a pixel format: channels, their layout location, and sets.

A component is a :class:`Component` member or a plain ``str`` naming a custom
channel; :func:`channel_name` gives the text by which it is written in a
designation.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Iterator
from enum import Enum
from typing import Union

__all__ = [
    "Component",
    "ComponentLike",
    "channel_name",
    "Location",
    "LMNLocation",
    "Components",
    "GenicamComponents",
]


class Component(Enum):
    """A PFNC channel; the value is the channel's designator text."""

    MONO = "Mono"
    R = "R"
    G = "G"
    B = "B"
    ALPHA = "a"
    Y = "Y"
    U = "U"
    V = "V"
    CB = "Cb"
    CR = "Cr"


ComponentLike = Union[Component, str]


def channel_name(component: ComponentLike) -> str:
    """The text by which ``component`` is written in a designation."""
    if isinstance(component, Component):
        return component.value
    if isinstance(component, str):
        return component
    raise TypeError(f"component must be a Component or str, not {type(component).__name__}")


class Location:
    """Where the components of a layout sit; the base writes nothing."""

    __slots__ = ()

    def designation(self) -> str:
        """The location's piece of a designation."""
        return ""

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self)

    def __hash__(self) -> int:
        return hash(type(self))

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"


class LMNLocation(Location):
    """How many times each component occurs in the layout, one field per channel.

    ``LMNLocation((4, 2, 2))`` is the 4:2:2 location and writes itself as "422".
    """

    __slots__ = ("_fields",)

    def __init__(self, fields: Iterable[int]) -> None:
        self._fields = tuple(operator.index(f) for f in fields)

    @property
    def fields(self) -> tuple[int, ...]:
        """The occurrence count of each component, in component order."""
        return self._fields

    def designation(self) -> str:
        return "".join(str(f) for f in self._fields)

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and other._fields == self._fields  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((type(self), self._fields))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._fields!r})"


class Components:
    """An ordered set of components (for example R, G, B)."""

    __slots__ = ("_components",)

    def __init__(self, components: Iterable[ComponentLike]) -> None:
        self._components = tuple(components)

    @property
    def components(self) -> tuple[ComponentLike, ...]:
        """The components, in channel order."""
        return self._components

    def __len__(self) -> int:
        return len(self._components)

    def __getitem__(self, index: int) -> ComponentLike:
        return self._components[index]

    def __iter__(self) -> Iterator[ComponentLike]:
        return iter(self._components)

    def designation(self) -> str:
        """The channel names in order."""
        return "".join(channel_name(c) for c in self._components)

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and other._components == self._components  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((type(self), self._components))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._components!r})"


class GenicamComponents(Components):
    """Components with an optional layout location (for example 4:2:2)."""

    __slots__ = ("_location",)

    def __init__(self, components: Iterable[ComponentLike], location: Location | None = None) -> None:
        super().__init__(components)
        self._location = location

    @property
    def location(self) -> Location | None:
        """The layout location, or None."""
        return self._location

    def designation(self) -> str:
        """The channel names in order, then the location's piece."""
        names = super().designation()
        return names if self._location is None else names + self._location.designation()

    def __eq__(self, other: object) -> bool:
        return super().__eq__(other) and other._location == self._location  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((type(self), self._components, self._location))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._components!r}, location={self._location!r})"
