"""The walk over a class's implementations."""

from typing import TypeVar

_T = TypeVar("_T")

def all_implementations(base: type[_T]) -> list[type[_T]]:
    """Every concrete class derived from ``base``: depth first in creation order
    (pre-order over ``__subclasses__()``), each once, ``base`` itself never, and
    classes that are still abstract (``inspect.isabstract``) left out."""
