"""The generic registry base and its snapshot type.

``Registry`` is compiled (``korvell.pfnc._internal._registry``) so that the
compiled registries of the designation modules can derive from it; it is
re-exported here, which is where every caller imports it from.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from types import MappingProxyType
from typing import Any, Generic, NoReturn, TypeVar

K = TypeVar("K")
V = TypeVar("V")

__all__ = ["MappingSnapshot", "Registry"]


class MappingSnapshot(Generic[K, V]):
    """An immutable copy of a registry's entries, in registration order."""

    __slots__ = ("_mapping",)
    _mapping: Mapping[K, V]

    def __init__(self, mapping: Mapping[K, V]) -> None:
        object.__setattr__(self, "_mapping", MappingProxyType(dict(mapping)))

    @property
    def mapping(self) -> Mapping[K, V]:
        """A read-only view of the copied entries."""
        return self._mapping

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, MappingSnapshot):
            return NotImplemented
        return dict(self._mapping) == dict(other._mapping)

    __hash__ = None  # type: ignore[assignment]

    def __iter__(self) -> Iterator[K]:
        return iter(self._mapping)

    def __len__(self) -> int:
        return len(self._mapping)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({dict(self._mapping)!r})"

    def __setattr__(self, name: str, value: Any) -> NoReturn:
        raise AttributeError(f"{type(self).__name__} is immutable")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError(f"{type(self).__name__} is immutable")

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (dict(self._mapping),))


from ._registry import Registry  # noqa: E402  (needs MappingSnapshot defined first)
