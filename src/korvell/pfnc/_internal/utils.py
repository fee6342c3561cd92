"""Small helpers shared by the designation modules."""

from __future__ import annotations

import inspect
from typing import TypeVar

__all__ = ["all_implementations", "join_designators"]

T = TypeVar("T")


def all_implementations(base: type[T]) -> list[type[T]]:
    """Return every concrete class derived from ``base``.

    Classes are visited depth first in creation order (pre-order over
    ``__subclasses__()``); each appears once, ``base`` itself never, and classes
    that are still abstract are left out.  The walk happens on every call, so a
    class defined after an earlier call takes part in the next one.
    """
    found: list[type[T]] = []
    seen: set[int] = {id(base)}
    stack = list(reversed(type.__subclasses__(base)))
    while stack:
        cls = stack.pop()
        if id(cls) in seen:
            continue
        seen.add(id(cls))
        if not inspect.isabstract(cls):
            found.append(cls)
        stack.extend(reversed(type.__subclasses__(cls)))
    return found


def _is_ascii_digit(ch: str) -> bool:
    return "0" <= ch <= "9"


def join_designators(left: str, right: str) -> str:
    """Concatenate two designation pieces.

    Where ``left`` ends and ``right`` begins with an ASCII digit, one "_" keeps the
    two numbers apart ("YCbCr422" + "8" gives "YCbCr422_8").
    """
    if left and right and _is_ascii_digit(left[-1]) and _is_ascii_digit(right[0]):
        return f"{left}_{right}"
    return left + right
