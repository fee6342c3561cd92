"""The walk over a class's implementations and the joining of designation pieces."""

from typing import TypeVar

_T = TypeVar("_T")

def all_implementations(base: type[_T]) -> list[type[_T]]:
    """Every concrete class derived from ``base``: depth first in creation order
    (pre-order over ``__subclasses__()``), each once, ``base`` itself never, and
    classes that are still abstract (``inspect.isabstract``) left out."""

def join_designators(left: str, right: str) -> str:
    """Concatenate two designation pieces.

    Where ``left`` ends and ``right`` begins with an ASCII digit, one "_" keeps the
    two numbers apart ("YCbCr422" + "8" gives "YCbCr422_8").
    """
