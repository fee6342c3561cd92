"""The compiled generic registry base."""

from collections.abc import Iterator, Mapping
from typing import Generic, TypeVar

from korvell.pfnc._internal.registry import MappingSnapshot
from korvell.pfnc.exceptions import NotRegisteredError as NotRegisteredError

K = TypeVar("K")
V = TypeVar("V")

class Registry(Generic[K, V]):
    """A mapping from names to values that keeps registration order."""

    def __init__(self) -> None: ...
    @property
    def _registry(self) -> dict[K, V]:
        """The mapping behind every other member."""
    @_registry.setter
    def _registry(self, value: dict[K, V] | Mapping[K, V], /) -> None: ...
    def register(self, name: K, value: V) -> None:
        """Store ``value`` under ``name``; a name registered again keeps its place."""
    def resolve(self, name: K) -> V:
        """Return the value registered under ``name``; raise NotRegisteredError if there is none."""
    def snapshot(self) -> MappingSnapshot[K, V]:
        """An independent, immutable copy of the current entries."""
    def __iter__(self) -> Iterator[K]: ...
    def __len__(self) -> int: ...
    def __contains__(self, name: object) -> bool: ...
