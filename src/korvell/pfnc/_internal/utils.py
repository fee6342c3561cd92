"""Small helpers shared by the designation modules."""

from __future__ import annotations

import inspect
from abc import ABCMeta
from typing import TypeVar

__all__ = ["all_implementations", "join_designators"]

T = TypeVar("T")


def all_implementations(base: type[T]) -> list[type[T]]:
    """Return every concrete class derived from ``base``.

    Classes are visited depth first in creation order (pre-order over
    ``__subclasses__()``); each appears once, ``base`` itself never, and classes
    that are still abstract (``inspect.isabstract``) are left out.  The walk
    happens on every call, so a class defined after an earlier call takes part
    in the next one.
    """
    found: list[type[T]] = []
    seen = {id(base)}
    stack = _subclasses(base)
    stack.reverse()
    while stack:
        cls = stack.pop()
        if id(cls) in seen:
            continue
        seen.add(id(cls))
        if not _is_abstract(cls):
            found.append(cls)
        subclasses = _subclasses(cls)
        if subclasses:
            subclasses.reverse()
            stack += subclasses
    return found


_subclasses = type.__subclasses__
_ABSTRACT_FLAG = 1 << 20  # Py_TPFLAGS_IS_ABSTRACT


def _is_abstract(cls: type) -> bool:
    # The flag is what inspect.isabstract tests first; only an ABCMeta class can
    # need its slower look (while the class is still being created).
    if cls.__flags__ & _ABSTRACT_FLAG:
        return True
    return isinstance(cls, ABCMeta) and inspect.isabstract(cls)


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
