"""Colour components of a pixel format: channels, their layout location, and sets.

A component is a :class:`Component` member or a plain ``str`` naming a custom
channel; :func:`channel_name` gives the text by which it is written in a
designation.
"""

from __future__ import annotations

import operator
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from enum import Enum
from typing import Any, Optional, Union

from ..exceptions import DuplicateRegistrationError
from .._internal.registry import MappingSnapshot, Registry
from ._vocabulary import StateWatch, same_entries

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
    table = _prefix_table
    if not table.watch.unchanged():
        table.refresh()
    if not table.usable:
        return _parse_components_one_by_one(text)
    found: list[tuple[ComponentSet, str]] = []
    bucket = table.buckets.get(text[:1])
    if bucket is None:
        return found
    lengths, by_prefix = bucket
    size = len(text)
    # Longest prefix first is least left over first; one prefix per length
    # can begin the text, and its sets are kept in registry order.
    for length in lengths:
        if length <= size:
            sets = by_prefix.get(text[:length])
            if sets is not None:
                rest = text[length:]
                for component_set in sets:
                    found.append((component_set, rest))
    return found


def _parse_components_one_by_one(text: str) -> list[tuple[ComponentSet, str]]:
    # Each definition asked in turn: the way for a vocabulary the prefix table
    # cannot stand for (a definition of a class of its own, say).
    found: list[tuple[ComponentSet, str]] = []
    for name, definition in COMPONENT_SET_REGISTRY._registry.items():
        if text.startswith(name):
            found.extend(definition.parse(text))
    found.sort(key=lambda candidate: len(candidate[1]))
    return found


# ---------------------------------------------------------------------------
# The prefix table: every reading of every set as the text it begins with,
# grouped by first character and then by that text.  A set's readings are fixed by its definition,
# so each is built once, and the table stands while nothing it was built from
# changes: the registry's mapping and every definition in it, the classes that
# build and hold the readings, and the names these modules read.


def _exact_ints(fields: object) -> bool:
    return type(fields) is tuple and all(type(f) is int for f in fields)


def _readings_of(definition: ComponentSetDefinition) -> Optional[list[tuple[str, ComponentSet]]]:
    """The readings of ``definition`` as (text it begins with, set) pairs, in
    the order its ``parse`` finds them; None when a field is not of the exact
    type the definition guarantees (the table would not be exact then)."""
    name, standards, locations = definition.name, definition.standards, definition.locations
    if type(name) is not str or type(standards) is not tuple or type(locations) is not tuple:
        return None
    if not all(type(s) is str for s in standards) or not all(_exact_ints(loc) for loc in locations):
        return None
    pieces = ["".join(map(str, location)) for location in locations]
    readings: list[tuple[str, str, Optional[tuple[int, ...]]]] = []
    for standard in standards:
        for location, piece in zip(locations, pieces):
            readings.append((f"{name}{standard}_{piece}", standard, location))
        readings.append((name + standard, standard, None))
    for location, piece in zip(locations, pieces):
        readings.append((name + piece, "", location))
    readings.append((name, "", None))
    return [
        (prefix, ComponentSet(name, definition.components, None if loc is None else LMNLocation(loc), standard))
        for prefix, standard, loc in readings
    ]


class _PrefixTable:
    __slots__ = ("watch", "usable", "buckets", "originals", "next_build")

    def __init__(self) -> None:
        self.watch = StateWatch()
        self.usable = False
        self.next_build = 0.0  # no build before this time (time.perf_counter)
        # first character -> (prefix lengths, longest first; prefix -> its sets)
        self.buckets: dict[str, tuple[list[int], dict[str, list[ComponentSet]]]] = {}
        self.originals: list[tuple[Any, dict[str, Any]]] = []

    def capture(self) -> None:
        """Take the present names and classes of this module as its own."""
        classes = {cls for root in (ComponentSet, LMNLocation, ComponentSetDefinition) for cls in root.__mro__}
        self.originals = [(globals(), dict(globals()))]
        self.originals += [(cls, dict(vars(cls))) for cls in classes if cls.__flags__ & _HEAP_TYPE]

    def refresh(self) -> None:
        """Build the table anew, unless the vocabulary changed too recently:
        while it keeps changing, builds take at most about 1/20 of the time."""
        self.usable = False
        self.watch.forget()  # a change undone must not make the old record count again
        now = time.perf_counter()
        if now < self.next_build:
            return
        self.rebuild()
        self.next_build = now + (time.perf_counter() - now) * 20

    def rebuild(self) -> None:
        """Build the table from the present vocabulary, or mark it unusable
        (then every parse asks the definitions one by one)."""
        import builtins

        self.usable = False
        registry = COMPONENT_SET_REGISTRY
        mapping = registry._registry
        classes = [
            *type(registry).__mro__,
            *ComponentSetDefinition.__mro__,
            *ComponentSet.__mro__,
            *LMNLocation.__mro__,
            type(type(registry)),
        ]
        definitions = list(mapping.values()) if type(mapping) is dict else []
        dicts = [globals(), vars(builtins), vars(operator)]
        dicts += [vars(d) for d in definitions if type(d) is ComponentSetDefinition]
        if not self.watch.record(dicts, classes, [], [registry], Registry):
            return
        # The table builds each set once: a replaced class or name must be
        # asked on every parse instead, as the definitions do.
        if not all(same_entries(now, then) for now, then in self.originals):
            return
        by_first: dict[str, dict[str, list[ComponentSet]]] = {}
        try:
            for name, definition in mapping.items():
                readings = None
                if type(name) is str and type(definition) is ComponentSetDefinition and definition.name == name:
                    readings = _readings_of(definition)
                if readings is None:
                    return
                for prefix, component_set in readings:
                    by_first.setdefault(prefix[:1], {}).setdefault(prefix, []).append(component_set)
        except Exception:
            return  # the one-by-one parse meets the same fault where it matters
        self.buckets = {
            first: (sorted({len(p) for p in by_prefix}, reverse=True), by_prefix)
            for first, by_prefix in by_first.items()
        }
        self.usable = True


_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class that Python code can change
_prefix_table = _PrefixTable()
_prefix_table.capture()  # once bound: the table is one of this module's names
