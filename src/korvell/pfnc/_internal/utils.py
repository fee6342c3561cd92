"""Small helpers shared by the designation modules."""

from __future__ import annotations

from ._subclasses import all_implementations

__all__ = ["all_implementations", "join_designators"]

# all_implementations(base): every concrete class derived from ``base``, depth
# first in creation order, each once, ``base`` itself and abstract classes left
# out.  It is compiled: the parse factories call it on every parse.


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
