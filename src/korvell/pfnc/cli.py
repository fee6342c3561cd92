"""The command line: ``python -m korvell.pfnc describe NAME...`` and ``list``.

``describe`` takes each pixel-format name apart and prints its parts as an
aligned table (``--json`` for a machine-readable list); ``list`` prints the
published names with their values.  A name that does not parse is reported on
stderr, one line each, and makes the exit status 1; the other names are still
described.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from typing import Any, Optional, TextIO

from . import __version__
from . import names as _names
from .exceptions import PixelFormatValueReject
from .pixel_format import OpaquePixelFormat, PixelFormat

__all__ = ["main", "describe", "build_parser"]

PROG = "korvell-pfnc"

_STATUS_TEXT = {
    "standard": "standard",
    "gev": "GigE Vision specific",
    "deprecated": "deprecated",
    "superseded": "superseded",
}
# What `list --status` accepts: the table's statuses and two groups of them.
_STATUS_GROUPS = {
    "standard": ("standard",),
    "gev": ("gev",),
    "deprecated": ("deprecated",),
    "superseded": ("superseded",),
    "current": ("standard", "gev"),
    "all": ("standard", "gev", "deprecated", "superseded"),
}
_DEFAULT_STATUSES = ("standard", "gev", "deprecated")


def _arrow(stream: TextIO) -> str:
    # A console that cannot show the arrow (a legacy code page, LANG=C on an
    # old interpreter) gets plain ASCII rather than an encoding error.
    encoding = getattr(stream, "encoding", None) or "ascii"
    try:
        "\u2192".encode(encoding)
    except (LookupError, UnicodeEncodeError):
        return "->"
    return "\u2192"


def _hex(code: Optional[int]) -> str:
    return "none" if code is None else f"0x{code:08X}"


# ---------------------------------------------------------------------------
# One name taken apart, as plain data (the JSON form; the table is made from it).


def _entry_of(given: str, fmt: Any) -> Optional[_names.NameEntry]:
    entry = _names.find(given)
    if entry is None:
        entry = _names.find(fmt.designation())
    return entry


def _status(given: str) -> tuple[str, Optional[str]]:
    """The status of the name as given, and the name that replaces it."""
    entry = _names.find(given)
    if entry is None:
        return "unpublished", None
    return entry.status, entry.replacement


def _data_type_name(data_type: Any) -> str:
    # Built-in data types are enum members; a custom one is its own designator.
    name = getattr(data_type, "name", None)
    return name.lower() if isinstance(name, str) and not isinstance(data_type, str) else str(data_type)


def _components_record(components: Any) -> dict[str, Any]:
    from .genicam.components import LMNLocation, channel_name

    location = getattr(components, "location", None)
    if location is None:
        where = None
    elif isinstance(location, LMNLocation):
        where = ":".join(str(f) for f in location.fields)
    else:
        where = location.designation() or None
    return {
        "set": getattr(components, "name", None) or components.designation(),
        "designation": components.designation(),
        "channels": [channel_name(c) for c in components],
        "location": where,
        "colour_standard": getattr(components, "standard", "") or None,
    }


def _packing_record(packing: Any) -> dict[str, Any]:
    padding = packing.padding_type
    return {
        "designation": packing.designation(),
        "padding_type": padding.name.lower() if padding is not None else None,
        "padding_name": packing.padding_type_name,
        "bit_order": "lsb" if packing.lsb else "msb",
        "alignment": packing.alignment,
        "cluster_marker": packing.cluster_marker or None,
    }


def describe(name: str) -> dict[str, Any]:
    """The parts of the pixel format ``name`` as plain data (what ``--json`` prints).

    Raises PixelFormatValueReject for a name that does not parse.
    """
    fmt = PixelFormat.from_designation(name)
    status, replacement = _status(name)
    entry = _entry_of(name, fmt)
    record: dict[str, Any] = {
        "name": name,
        "designation": fmt.designation(),
        "status": status,
        "replacement": replacement,
        "description": entry.description if entry is not None else None,
        "opaque": isinstance(fmt, OpaquePixelFormat),
        "components": None,
        "bits_per_channel": None,
        "data_types": None,
        "packing": None,
        "interface_specific": None,
    }
    if isinstance(fmt, PixelFormat):
        suffix = fmt.interface_specific
        record.update(
            components=_components_record(fmt.components),
            bits_per_channel=list(fmt.size.sizes),
            data_types=[_data_type_name(fmt.data_types[i]) for i in range(len(fmt.data_types))],
            packing=_packing_record(fmt.packing),
            interface_specific=None if suffix is None else suffix.designation(),
        )
        computed: Optional[int] = fmt.computed_bits_per_pixel()
    else:
        computed = None
    code = fmt.code
    record.update(
        value=code,
        value_hex=None if code is None else _hex(code),
        bits_per_pixel=fmt.bits_per_pixel,
        bits_per_pixel_source="value" if code is not None else "computed",
        computed_bits_per_pixel=computed,
    )
    return record


# ---------------------------------------------------------------------------
# The table.


def _none(value: Any) -> str:
    return "none" if value is None or value == "" else str(value)


def _rows(record: dict[str, Any], arrow: str) -> list[tuple[str, str]]:
    status = record["status"]
    if status == "deprecated":
        shown = f"deprecated {arrow} {record['replacement']}"
    elif status == "unpublished":
        shown = "not published"
    else:
        shown = _STATUS_TEXT.get(status, status)
    rows = [
        ("name", record["name"]),
        ("designation", record["designation"]),
        ("status", shown),
    ]
    if record["description"]:
        rows.append(("description", record["description"]))
    if record["opaque"]:
        rows.append(("parts", "none: known by name only, the grammar has no reading"))
    else:
        comps = record["components"]
        packing = record["packing"]
        rows += [
            ("components", comps["set"]),
            ("  channels", ", ".join(comps["channels"])),
            ("  location", _none(comps["location"])),
            ("  colour standard", _none(comps["colour_standard"])),
            ("bits per channel", ", ".join(str(s) for s in record["bits_per_channel"])),
            ("data types", ", ".join(record["data_types"])),
            ("packing", _none(packing["designation"])),
            ("  padding type", _none(packing["padding_type"])),
            ("  padding name", _none(packing["padding_name"])),
            ("  bit order", packing["bit_order"]),
            ("  alignment", _none(packing["alignment"])),
            ("  cluster marker", _none(packing["cluster_marker"])),
            ("interface-specific", _none(record["interface_specific"])),
        ]
    rows.append(("value", record["value_hex"] or "none"))
    bits = f"{record['bits_per_pixel']} ({'from the value' if record['bits_per_pixel_source'] == 'value' else 'computed'})"
    computed = record["computed_bits_per_pixel"]
    if record["bits_per_pixel_source"] == "value" and computed is not None and computed != record["bits_per_pixel"]:
        bits += f"; the parts give {computed}"
    rows.append(("bits per pixel", bits))
    return rows


def _table(rows: Sequence[tuple[str, str]], width: int) -> str:
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


# ---------------------------------------------------------------------------
# Subcommands.


def _cmd_describe(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    status = 0
    records: list[dict[str, Any]] = []
    for name in args.names:
        try:
            record = describe(name)
        except PixelFormatValueReject as exc:
            # The parser's message names the text and says how far it read.
            print(f"{PROG}: unknown pixel format: {exc}", file=err)
            records.append({"name": name, "error": str(exc)})
            status = 1
            continue
        records.append(record)
    if args.json:
        json.dump(records, out, indent=2)
        out.write("\n")
        return status
    arrow = _arrow(out)
    tables = [_rows(r, arrow) for r in records if "error" not in r]
    if tables:
        # One label width for every table, so that several names line up.
        width = max(len(label) for rows in tables for label, _ in rows)
        out.write("\n\n".join(_table(rows, width) for rows in tables) + "\n")
    return status


def _cmd_list(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    wanted: set[str] = set()
    for group in args.status or ("default",):
        wanted.update(_DEFAULT_STATUSES if group == "default" else _STATUS_GROUPS[group])
    rows = [e for e in _names.entries() if e.status in wanted]
    if args.json:
        json.dump(
            [
                {
                    "name": e.name,
                    "value": e.code,
                    "value_hex": None if e.code is None else _hex(e.code),
                    "bits_per_pixel": e.bits_per_pixel,
                    "status": e.status,
                    "replacement": e.replacement,
                    "description": e.description,
                }
                for e in rows
            ],
            out,
            indent=2,
        )
        out.write("\n")
        return 0
    arrow = _arrow(out)
    if not rows:
        return 0

    def mark(entry: _names.NameEntry) -> str:
        if entry.status == "deprecated":
            return f"deprecated {arrow} {entry.replacement}"
        if entry.status == "superseded":
            return "superseded value"
        return _STATUS_TEXT[entry.status]

    table = [
        (e.name, _hex(e.code), "" if e.bits_per_pixel is None else str(e.bits_per_pixel), mark(e))
        for e in rows
    ]
    name_w = max(len(r[0]) for r in table)
    bits_w = max(len("bpp"), max(len(r[2]) for r in table))
    out.write(f"{'name':<{name_w}}  {'value':<10}  {'bpp':>{bits_w}}  status\n")
    for name, code, bits, shown in table:
        out.write(f"{name:<{name_w}}  {code:<10}  {bits:>{bits_w}}  {shown}\n")
    return 0


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command line."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Take GenICam PFNC pixel-format names apart and list the published names.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p_describe = sub.add_parser(
        "describe",
        help="print the parts of each pixel-format name",
        description=(
            "Print the parts of each pixel-format name: components, bits per channel, "
            "data types, packing, interface-specific suffix, value and bits per pixel. "
            "Deprecated names are described as the format that replaces them. "
            "Exit status 1 when a name does not parse (the others are still described)."
        ),
    )
    p_describe.add_argument("names", nargs="+", metavar="NAME", help="a pixel-format name (Mono12p, RGB10p32, ...)")
    p_describe.add_argument("--json", action="store_true", help="print a JSON list, one object per name")
    p_describe.set_defaults(run=_cmd_describe)

    p_list = sub.add_parser(
        "list",
        help="print the published names with their values",
        description=(
            "Print the published pixel-format names with their 32-bit values and bits per "
            "pixel. Default: the current names (standard and GigE Vision specific) and the "
            "deprecated names, marked with the name that replaces them."
        ),
    )
    p_list.add_argument(
        "--status",
        action="append",
        choices=sorted(_STATUS_GROUPS),
        help="only names of this status (repeatable; current = standard and gev)",
    )
    p_list.add_argument("--json", action="store_true", help="print a JSON list, one object per name")
    p_list.set_defaults(run=_cmd_list)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line on ``argv`` (default: the process arguments); return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        # --help, --version and usage errors: argparse has already written its text.
        return 0 if exc.code is None else exc.code if isinstance(exc.code, int) else 2
    try:
        status: int = args.run(args, sys.stdout, sys.stderr)
        sys.stdout.flush()
    except BrokenPipeError:
        # `korvell-pfnc list | head`: the reader went away.  Point stdout at the
        # null device so the flush at exit does not raise a second time.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return 1
    return status
