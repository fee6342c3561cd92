"""Colour components of a pixel format: channels, their layout location, and sets.

A component is a :class:`Component` member or a plain ``str`` naming a custom
channel; :func:`channel_name` gives the text by which it is written in a
designation.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from enum import Enum
from typing import Optional, Union

from ..exceptions import DuplicateRegistrationError
from .._internal.registry import MappingSnapshot, Registry

__all__ = [
    "Component",
    "ComponentLike",
    "channel_name",
    "Location",
    "LMNLocation",
    "Components",
    "GenicamComponents",
    "ComponentSet",
    "ComponentSetDefinition",
    "ComponentSetRegistry",
    "COMPONENT_SET_REGISTRY",
    "parse_components",
]


class Component(Enum):
    """A channel of the vocabulary; the value is the channel's designator text.

    Every channel of the built-in component sets is a member, so each has a
    ``name`` and a designator; channels of sets an application registers may
    stay plain ``str``.

    A member is identified by its designator, and a designator has one member:
    Coord3D's second coordinate is written "B", like blue, so it is
    :attr:`B` (an Enum cannot hold two members of one value, and a second
    value would change what the designation writes).  What ``B`` means comes
    from its set: blue in RGB, the second coordinate in Coord3D_ABC.  The
    other coordinates are :attr:`A` and :attr:`C`.

    A Bayer set has one channel per pixel, whose colour the pattern gives: it
    is named after the set (``BAYER_RG`` is "BayerRG"), as are the sparse
    colour filter sites (``SCF1_WBWG``).  The BiColor sets' first channel
    alternates between red and blue from line to line: ``BICOLOR_RB`` ("RB")
    and ``BICOLOR_BR`` ("BR").
    """

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
    A = "A"
    C = "C"
    CONFIDENCE = "Confidence"
    DATA = "Data"
    BAYER_RG = "BayerRG"
    BAYER_GR = "BayerGR"
    BAYER_GB = "BayerGB"
    BAYER_BG = "BayerBG"
    BICOLOR_RB = "RB"
    BICOLOR_BR = "BR"
    SCF1_WBWG = "SCF1WBWG"
    SCF1_WGWB = "SCF1WGWB"
    SCF1_WGWR = "SCF1WGWR"
    SCF1_WRWG = "SCF1WRWG"


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
        return isinstance(other, LMNLocation) and type(other) is type(self) and other._fields == self._fields

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
        return isinstance(other, Components) and type(other) is type(self) and other._components == self._components

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
        return isinstance(other, GenicamComponents) and super().__eq__(other) and other._location == self._location

    def __hash__(self) -> int:
        return hash((type(self), self._components, self._location))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._components!r}, location={self._location!r})"


# ---------------------------------------------------------------------------
# The vocabulary: component sets that parse themselves from the front of a
# designation and write themselves back their own way.


class ComponentSet(GenicamComponents):
    """A component set of the vocabulary (RGB, BayerRG, Coord3D_ABC, YCbCr709 at 4:2:2, ...).

    ``name`` is the designator the set is written with; ``standard`` is the colour
    standard ("601", "709", "2020") or "".  The designation is the name, the
    standard, and the location's piece, which follows a standard after "_"
    ("YCbCr709_422") and a bare name directly ("YCbCr422").
    """

    __slots__ = ("_name", "_standard")

    def __init__(
        self,
        name: str,
        components: Iterable[ComponentLike],
        location: Location | None = None,
        standard: str = "",
    ) -> None:
        if type(name) is not str or not name:
            raise TypeError("name must be a non-empty str")
        if type(standard) is not str:
            raise TypeError(f"standard must be str, not {type(standard).__name__}")
        super().__init__(components, location)
        self._name = name
        self._standard = standard

    @property
    def name(self) -> str:
        """The designator the set is written with."""
        return self._name

    @property
    def standard(self) -> str:
        """The colour standard ("601", "709", "2020"), or "" for none."""
        return self._standard

    def designation(self) -> str:
        location = "" if self._location is None else self._location.designation()
        if self._standard and location:
            return f"{self._name}{self._standard}_{location}"
        return f"{self._name}{self._standard}{location}"

    def __eq__(self, other: object) -> bool:
        return (
            isinstance(other, ComponentSet)
            and super().__eq__(other)
            and other._name == self._name
            and other._standard == self._standard
        )

    def __hash__(self) -> int:
        return hash((type(self), self._name, self._components, self._location, self._standard))

    def __repr__(self) -> str:
        extra = "" if self._location is None else f", location={self._location!r}"
        extra += f", standard={self._standard!r}" if self._standard else ""
        return f"{type(self).__name__}({self._name!r}, {self._components!r}{extra})"


@dataclass(frozen=True)
class ComponentSetDefinition:
    """How a component set is written: its designator, its channels, and the
    locations and colour standards that may follow the designator."""

    name: str
    components: tuple[ComponentLike, ...]
    locations: tuple[tuple[int, ...], ...] = ()
    standards: tuple[str, ...] = ()
    description: str = ""

    def __post_init__(self) -> None:
        if type(self.name) is not str or not self.name:
            raise TypeError("name must be a non-empty str")
        object.__setattr__(self, "components", tuple(self.components))
        object.__setattr__(self, "locations", tuple(tuple(loc) for loc in self.locations))
        object.__setattr__(self, "standards", tuple(self.standards))
        if not self.components:
            raise ValueError(f"component set {self.name} needs at least one channel")
        for component in self.components:
            channel_name(component)  # refuses what is no component
        for location in self.locations:
            if len(location) != len(self.components):
                raise ValueError(f"location {location} does not give one field per channel of {self.name}")
        if any(type(s) is not str or not s for s in self.standards):
            raise TypeError("standards must be non-empty str")

    def parse(self, text: str) -> list[tuple[ComponentSet, str]]:
        """Every reading of this set at the front of ``text``, longest first."""
        if not text.startswith(self.name):
            return []
        after = text[len(self.name):]
        found: list[tuple[ComponentSet, str]] = []

        def add(standard: str, location: Optional[tuple[int, ...]], rest: str) -> None:
            loc = None if location is None else LMNLocation(location)
            found.append((ComponentSet(self.name, self.components, loc, standard), rest))

        for standard in self.standards:
            if after.startswith(standard):
                rest = after[len(standard):]
                for location in self.locations:
                    piece = "_" + "".join(map(str, location))
                    if rest.startswith(piece):
                        add(standard, location, rest[len(piece):])
                add(standard, None, rest)
        for location in self.locations:
            piece = "".join(map(str, location))
            if after.startswith(piece):
                add("", location, after[len(piece):])
        add("", None, after)
        found.sort(key=lambda candidate: len(candidate[1]))
        return found


class ComponentSetRegistry(Registry[str, ComponentSetDefinition]):
    """The component sets the parser knows, by designator; the defaults are fixed."""

    def __init__(self) -> None:
        super().__init__()
        self._default_keys: set[str] = set()
        for definition in _DEFAULT_SETS:
            self._default_keys.add(definition.name)
            Registry.register(self, definition.name, definition)

    def register(self, name: str, value: ComponentSetDefinition) -> None:
        """Add a component set; its definition's name must be ``name``."""
        if type(name) is not str:
            raise TypeError(f"name must be str, not {type(name).__name__}")
        if name in self._default_keys:
            raise DuplicateRegistrationError(f"Value already registered: {name!r}")
        if not isinstance(value, ComponentSetDefinition):
            raise TypeError(f"value must be a ComponentSetDefinition, not {type(value).__name__}")
        if value.name != name:
            raise ValueError(f"the definition is named {value.name!r}, not {name!r}")
        Registry.register(self, name, value)

    def add(self, definition: ComponentSetDefinition) -> None:
        """Register ``definition`` under its own name."""
        self.register(definition.name, definition)

    def restore(self, snap: MappingSnapshot[str, ComponentSetDefinition]) -> None:
        """Replace the custom sets by those of ``snap``; the defaults must be in it unchanged."""
        entries = dict(snap.mapping)
        for name in self._default_keys:
            if entries.get(name) != self._registry.get(name):
                raise ValueError(f"Snapshot needs to contain the default component set {name}.")
        # One assignment: a parse running meanwhile reads the old sets or the
        # new ones, never a mapping emptied and half refilled.
        self._registry = entries


_RGB = (Component.R, Component.G, Component.B)
_YCBCR_LOCATIONS = ((4, 1, 1), (4, 2, 2), (4, 2, 0))


def _single(name: str, description: str) -> ComponentSetDefinition:
    # One sample per pixel, whose meaning the pattern gives: the channel is
    # named by the set itself.
    return ComponentSetDefinition(name, (Component(name),), description=description)


_DEFAULT_SETS: tuple[ComponentSetDefinition, ...] = (
    ComponentSetDefinition("Mono", (Component.MONO,), description="monochrome"),
    ComponentSetDefinition("R", (Component.R,), description="red"),
    ComponentSetDefinition("G", (Component.G,), description="green"),
    ComponentSetDefinition("B", (Component.B,), description="blue"),
    ComponentSetDefinition("RGB", _RGB, description="red-green-blue"),
    ComponentSetDefinition("BGR", _RGB[::-1], description="blue-green-red"),
    ComponentSetDefinition("RGBa", _RGB + (Component.ALPHA,), description="red-green-blue-alpha"),
    ComponentSetDefinition("BGRa", _RGB[::-1] + (Component.ALPHA,), description="blue-green-red-alpha"),
    ComponentSetDefinition(
        "YUV", (Component.Y, Component.U, Component.V), locations=_YCBCR_LOCATIONS, description="luma and chroma"
    ),
    ComponentSetDefinition(
        "YCbCr",
        (Component.Y, Component.CB, Component.CR),
        locations=_YCBCR_LOCATIONS,
        standards=("601", "709", "2020"),
        description="luma and chroma differences",
    ),
    ComponentSetDefinition("Coord3D_A", (Component.A,), description="3D coordinate A"),
    ComponentSetDefinition("Coord3D_B", (Component.B,), description="3D coordinate B"),
    ComponentSetDefinition("Coord3D_C", (Component.C,), description="3D coordinate C"),
    ComponentSetDefinition("Coord3D_AC", (Component.A, Component.C), description="3D coordinates A and C"),
    ComponentSetDefinition(
        "Coord3D_ABC", (Component.A, Component.B, Component.C), description="3D coordinates A, B and C"
    ),
    ComponentSetDefinition("Confidence", (Component.CONFIDENCE,), description="confidence"),
    ComponentSetDefinition("Data", (Component.DATA,), description="raw data"),
    *(_single(f"Bayer{p}", f"Bayer filter, {p} pattern") for p in ("RG", "GR", "GB", "BG")),
    # Two samples per pixel: the colour that alternates between lines, and green.
    ComponentSetDefinition("BiColorRGBG", (Component.BICOLOR_RB, Component.G), description="bi-colour RGBG pattern"),
    ComponentSetDefinition("BiColorBGRG", (Component.BICOLOR_BR, Component.G), description="bi-colour BGRG pattern"),
    *(
        _single(f"SCF1{p}", f"sparse colour filter, {p} pattern")
        for p in ("WBWG", "WGWB", "WGWR", "WRWG")
    ),
)

COMPONENT_SET_REGISTRY = ComponentSetRegistry()
"""The component sets the parser reads; add a set with ``COMPONENT_SET_REGISTRY.add(...)``."""


def parse_components(text: str) -> list[tuple[ComponentSet, str]]:
    """Every component set that ``text`` can begin with, each with the text after
    it; longer readings first, then registry order."""
    if type(text) is not str:
        raise TypeError(f"text must be str, not {type(text).__name__}")
    found: list[tuple[ComponentSet, str]] = []
    for name, definition in COMPONENT_SET_REGISTRY._registry.items():
        if text.startswith(name):
            found.extend(definition.parse(text))
    found.sort(key=lambda candidate: len(candidate[1]))
    return found
