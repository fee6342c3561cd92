"""Plane groups: interface-specific suffixes that name how channels are spread
over planes, such as ``YY_CbCr_Semiplanar`` (luma in one plane, the two chroma
channels interleaved in a second).

The class takes part in ``InterfaceSpecific.create`` like the compiled
implementations: the ``korvell.pfnc.genicam`` package imports this module, so it
exists whenever the factory can run.
"""

from __future__ import annotations

from typing import Any

from .components import Components, channel_name
from .quenmar import InterfaceSpecific
from .tesselk import Size

__all__ = ["PlaneGroups"]

#: The words that end a plane-group suffix.
LAYOUTS = ("Semiplanar", "Planar")


class PlaneGroups(InterfaceSpecific):
    """Channel groups, one per plane, followed by the layout word.

    ``YY_CbCr_Semiplanar`` is the groups ("Y", "Y") and ("Cb", "Cr") with the
    layout "Semiplanar".  Every channel of the components appears in some group,
    and there are at least two groups.
    """

    def __init__(self, groups: tuple[tuple[str, ...], ...], layout: str) -> None:
        super().__init__()
        if type(groups) is not tuple or not all(type(g) is tuple and g for g in groups):
            raise TypeError("groups must be a tuple of non-empty tuples")
        if layout not in LAYOUTS:
            raise ValueError(f"layout must be one of {LAYOUTS}, not {layout!r}")
        self.groups = groups
        self.layout = layout

    def designation(self) -> str:
        return "_".join(["".join(group) for group in self.groups] + [self.layout])

    @classmethod
    def from_designation(
        cls, full_designation: str, components: Components, sizes: Size
    ) -> list[tuple[PlaneGroups, str]]:
        if type(full_designation) is not str:
            raise TypeError(f"full_designation must be str, not {type(full_designation).__name__}")
        if "_" not in full_designation:
            return []  # at least two groups, so at least one "_"
        names = [channel_name(components[i]) for i in range(len(components))]
        # Longest first, so that a name never hides a longer one it begins.
        order = sorted((n for n in set(names) if n), key=len, reverse=True)
        if not order:
            return []
        groups: list[tuple[str, ...]] = []
        pos = 0
        text = full_designation
        while True:
            group: list[str] = []
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

    def __eq__(self, other: Any) -> bool:
        return type(other) is type(self) and other.groups == self.groups and other.layout == self.layout

    __hash__ = None  # type: ignore[assignment,unused-ignore]

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.groups!r}, {self.layout!r})"
