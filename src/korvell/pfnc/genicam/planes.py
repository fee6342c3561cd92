"""Plane groups: interface-specific suffixes that name how channels are spread
over planes, such as ``YY_CbCr_Semiplanar`` (luma in one plane, the two chroma
channels interleaved in a second).

The class takes part in ``InterfaceSpecific.create`` like the other
implementations: the ``korvell.pfnc.genicam`` package imports this module, so it
exists whenever the factory can run.  It is compiled; the names below are the
ones it reads when it runs, so replacing one here takes effect.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any

from . import quenmar as _quenmar
from .components import Components, channel_name  # noqa: F401  (read by the compiled parse)
from .quenmar import InterfaceSpecific
from .tesselk import Size

__all__ = ["PlaneGroups"]

#: The words that end a plane-group suffix.
LAYOUTS = ("Semiplanar", "Planar")


def _read_groups(cls: Any, text: str, names: list[Any]) -> list[tuple[Any, str]]:
    """The reading of ``text`` for channel names that are not all plain str, or
    for layout words other than the module's own: the objects' own hashing,
    truth, length and comparison decide, as the compiled reading cannot."""
    # Longest first, so that a name never hides a longer one it begins.
    order = sorted((n for n in set(names) if n), key=len, reverse=True)
    if not order:
        return []
    groups: list[tuple[Any, ...]] = []
    pos = 0
    while True:
        group: list[Any] = []
        while True:
            name = next((n for n in order if text.startswith(n, pos)), None)
            if name is None:
                break
            group.append(name)
            pos += len(name)
        if not group or not text.startswith("_", pos):
            return []
        groups.append(tuple(group))
        pos += 1
        layout = next((w for w in LAYOUTS if text.startswith(w, pos)), None)
        if layout is not None:
            break
    if len(groups) < 2 or set(names) - {n for g in groups for n in g}:
        return []
    return [(cls(tuple(groups), layout), text[pos + len(layout):])]


if TYPE_CHECKING:
    from typing_extensions import Self

    class PlaneGroups(InterfaceSpecific):
        """Channel groups, one per plane, followed by the layout word.

        ``YY_CbCr_Semiplanar`` is the groups ("Y", "Y") and ("Cb", "Cr") with the
        layout "Semiplanar".  Every channel of the components appears in some group,
        and there are at least two groups.
        """

        groups: tuple[tuple[str, ...], ...]
        layout: str

        def __init__(self, groups: tuple[tuple[str, ...], ...], layout: str) -> None: ...

        def designation(self) -> str: ...

        @classmethod
        def from_designation(
            cls, full_designation: str, components: Components, sizes: Size
        ) -> list[tuple[Self, str]]: ...

        def __eq__(self, other: Any) -> bool: ...

        def __repr__(self) -> str: ...

else:
    PlaneGroups = _quenmar._bind_plane_groups(sys.modules[__name__])
