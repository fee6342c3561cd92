"""Small helpers shared by the designation modules."""

from __future__ import annotations

from ._subclasses import all_implementations, join_designators

__all__ = ["all_implementations", "join_designators"]

# Both are compiled: the parse factories ask for all_implementations(base) on
# every parse, and every packing written joins its pieces twice.
#
# all_implementations(base): every concrete class derived from ``base``, depth
# first in creation order, each once, ``base`` itself and abstract classes left
# out.
#
# join_designators(left, right): the two pieces concatenated, with one "_"
# between them where ``left`` ends and ``right`` begins with an ASCII digit.
# Arguments other than two str are taken through the steps of
#     f"{left}_{right}" if left and right and "0" <= left[-1] <= "9"
#                          and "0" <= right[0] <= "9" else left + right
# so they give that expression's results and errors.
