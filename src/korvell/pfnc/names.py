"""The published pixel-format names and their 32-bit values.

The table ships with the package (``data/pfnc_names.tsv``): the standard PFNC
names, the GigE Vision specific names, the deprecated GigE Vision 1.x names with
the name that replaces each, and superseded values of standard names.  A value's
bits 16 to 23 give the bits per pixel.
"""

from __future__ import annotations

import functools
from collections.abc import Mapping
from dataclasses import dataclass
from importlib import resources
from types import MappingProxyType
from typing import Literal, Optional

__all__ = [
    "NameEntry",
    "Status",
    "entries",
    "find",
    "by_code",
    "deprecated_aliases",
]

Status = Literal["standard", "gev", "deprecated", "superseded"]
_STATUSES = ("standard", "gev", "deprecated", "superseded")


@dataclass(frozen=True)
class NameEntry:
    """One row of the name table."""

    name: str
    code: Optional[int]
    bits_per_pixel: Optional[int]
    status: Status
    replacement: Optional[str]
    description: str

    @property
    def current(self) -> bool:
        """True for a name that is valid today (standard or GigE Vision specific)."""
        return self.status in ("standard", "gev")


def _parse_row(line: str) -> NameEntry:
    name, code, bits, status, replacement, description = line.rstrip("\n").split("\t")
    if status not in _STATUSES:
        raise ValueError(f"unknown status {status!r} for {name!r}")
    return NameEntry(
        name=name,
        code=int(code, 16) if code else None,
        bits_per_pixel=int(bits) if bits else None,
        status=status,  # type: ignore[arg-type]
        replacement=replacement or None,
        description=description,
    )


@functools.lru_cache(maxsize=None)
def entries() -> tuple[NameEntry, ...]:
    """Every row of the table, in table order."""
    text = resources.files(__package__).joinpath("data/pfnc_names.tsv").read_text(encoding="utf-8")
    lines = text.splitlines()
    return tuple(_parse_row(line) for line in lines[1:] if line.strip())


@functools.lru_cache(maxsize=None)
def _by_name() -> Mapping[str, NameEntry]:
    # A superseded row shares its name with the standard row; the name means the
    # current row.
    table: dict[str, NameEntry] = {}
    for entry in entries():
        if entry.status != "superseded":
            table.setdefault(entry.name, entry)
    return MappingProxyType(table)


@functools.lru_cache(maxsize=None)
def _by_code() -> Mapping[int, NameEntry]:
    # Several rows may share a value (a deprecated name keeps the value of the
    # name that replaced it); the current name wins, in table order.
    table: dict[int, NameEntry] = {}
    for rank in (("standard", "gev"), ("deprecated", "superseded")):
        for entry in entries():
            if entry.code is not None and entry.status in rank:
                table.setdefault(entry.code, entry)
    return MappingProxyType(table)


def find(name: str) -> Optional[NameEntry]:
    """The table row of ``name`` (superseded rows aside), or None."""
    return _by_name().get(name)


def by_code(code: int) -> Optional[NameEntry]:
    """The table row of a 32-bit value, preferring a current name; None if unknown."""
    return _by_code().get(code)


@functools.lru_cache(maxsize=None)
def deprecated_aliases() -> Mapping[str, str]:
    """Deprecated GigE Vision 1.x name -> the PFNC name that replaces it."""
    return MappingProxyType(
        {e.name: e.replacement for e in entries() if e.status == "deprecated" and e.replacement}
    )
