"""Near misses: the names a pixel-format name that does not parse was likely meant to be.

:func:`near_names` compares the text with the published names, the vendor
names an application has registered, and the names the component vocabulary
builds from the text's own tail (``Rggb12p`` once a set ``Rggb`` is
registered).  A name that differs only in case wins outright (``mono8`` is
Mono8, ``Bgr8`` is BGR8); otherwise the names one edit away count, an edit
being one character inserted, deleted or replaced, or two neighbours swapped,
case aside; a long text with nothing that near gets the names two edits away.
"""

from __future__ import annotations

from collections.abc import Iterator

from . import names as _names

__all__ = ["near_names", "MAX_LENGTH", "TWO_EDITS_FROM"]

MAX_LENGTH = 64
"""Longer text gets no suggestions: every published name is under 30 characters,
and a hint would only repeat the text."""

TWO_EDITS_FROM = 8
"""Text this long may be two edits from the name meant; in shorter text two
edits change too much for the name to be a likely intention."""


def _distance(a: str, b: str, limit: int) -> int:
    """The edits (insert, delete, replace, swap of neighbours) that turn ``a``
    into ``b``, or ``limit + 1`` when more than ``limit`` are needed."""
    # The parts both share need no edit, and most names share a long front.
    start = 0
    while start < len(a) and start < len(b) and a[start] == b[start]:
        start += 1
    end = 0
    while end < len(a) - start and end < len(b) - start and a[-1 - end] == b[-1 - end]:
        end += 1
    a, b = a[start:len(a) - end], b[start:len(b) - end]
    la, lb = len(a), len(b)
    over = limit + 1
    if abs(la - lb) > limit:
        return over
    if not la or not lb:
        return max(la, lb)
    before: list[int] = []
    row = [min(j, over) for j in range(lb + 1)]
    for i in range(1, la + 1):
        current = [min(i, over)] + [over] * lb
        # Only cells within ``limit`` of the diagonal can stay within the limit.
        for j in range(max(1, i - limit), min(lb, i + limit) + 1):
            best = min(row[j] + 1, current[j - 1] + 1, row[j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                best = min(best, before[j - 2] + 1)
            current[j] = min(best, over)
        if min(current) == over:
            return over
        before, row = row, current
    return row[lb]


def _named() -> Iterator[str]:
    # Read on every call, so names registered since count.
    from .vendor import VENDOR_NAMES

    seen: set[str] = set()
    for entry in _names.entries():
        if entry.name not in seen:
            seen.add(entry.name)
            yield entry.name
    yield from (name for name in VENDOR_NAMES if name not in seen)


def _parses(text: str) -> bool:
    from .exceptions import PixelFormatError
    from .pixel_format import PixelFormat

    try:
        PixelFormat.from_designation(text)
    except (PixelFormatError, ValueError, TypeError):
        return False
    return True


def _built(folded: str, text: str, edits: int) -> Iterator[str]:
    """Names made of a component-set designator ``edits`` edits from the front
    of ``text``, and the rest of ``text`` as written."""
    from .genicam.components import COMPONENT_SET_REGISTRY

    for designator in list(COMPONENT_SET_REGISTRY):
        wanted = designator.casefold()
        for cut in range(len(designator) - edits, len(designator) + edits + 1):
            if 0 < cut <= len(text) and _distance(folded[:cut], wanted, edits) == edits:
                candidate = designator + text[cut:]
                if candidate != text and _parses(candidate):
                    yield candidate


def near_names(text: str, limit: int = 5) -> list[str]:
    """Up to ``limit`` names ``text`` was likely meant to be, best first; empty
    when none is near (or ``text`` is longer than :data:`MAX_LENGTH`).

    First the names equal to ``text`` but for case; failing those, the names
    one edit away, case aside; failing those, for text of at least
    :data:`TWO_EDITS_FROM` characters, the published and vendor names two
    edits away (``BayerRBGG8`` is two from BayerRG8 and BayerBG8).  Names
    that keep a longer front of ``text`` come first; among the others,
    published names in table order, then vendor names, then names the
    vocabulary builds.
    """
    if type(text) is not str:
        raise TypeError(f"text must be str, not {type(text).__name__}")
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"limit must be int, not {type(limit).__name__}")
    if not text or len(text) > MAX_LENGTH or limit < 1:
        return []
    folded = text.casefold()
    named = [(name, name.casefold()) for name in _named() if name != text]
    for edits in (0, 1, 2):
        if edits == 2 and len(text) < TWO_EDITS_FROM:
            break
        found = [name for name, other in named if _distance(folded, other, edits) == edits]
        if edits < 2:
            found += _built(folded, text, edits)
        if found:
            # A name that keeps more of the front as typed is the likelier one.
            ranked = sorted(dict.fromkeys(found), key=lambda name: -_shared_front(folded, name.casefold()))
            return ranked[:limit]
    return []


def _shared_front(a: str, b: str) -> int:
    n = 0
    while n < len(a) and n < len(b) and a[n] == b[n]:
        n += 1
    return n
