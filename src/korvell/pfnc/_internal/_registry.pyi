"""The compiled generic registry base."""

from collections.abc import Iterator, Mapping
from typing import Generic, TypeVar

from korvell.pfnc._internal.registry import MappingSnapshot
from korvell.pfnc.exceptions import NotRegisteredError as NotRegisteredError

_K = TypeVar("_K")
_V = TypeVar("_V")

class Registry(Generic[_K, _V]):
    """A mapping from names to values that keeps registration order."""

    def __init__(self) -> None: ...
    @property
    def _registry(self) -> dict[_K, _V]:
        """The mapping behind every other member."""
    @_registry.setter
    def _registry(self, value: dict[_K, _V] | Mapping[_K, _V], /) -> None: ...
    def register(self, name: _K, value: _V) -> None:
        """Store ``value`` under ``name``; a name registered again keeps its place."""
    def resolve(self, name: _K) -> _V:
        """Return the value registered under ``name``; raise NotRegisteredError if there is none."""
    def snapshot(self) -> MappingSnapshot[_K, _V]:
        """An independent, immutable copy of the current entries."""
    def __iter__(self) -> Iterator[_K]: ...
    def __len__(self) -> int: ...
    def __contains__(self, name: object) -> bool: ...
