"""The command line: ``python -m korvell.pfnc describe NAME...``, ``list`` and ``decode``.

``describe`` takes each pixel-format name apart and prints its parts as an
aligned table (``--json`` for a machine-readable list), with the bit layout the
decoders read; a published 32-bit value (``0x01080001`` or ``17301505``) stands
for its name.  ``list`` prints the published names with their values.  A name
or value that does not parse is reported on stderr, one line each, with the
names it was likely meant to be, and makes the exit status 1; the other names
are still described.

``decode NAME --width W --height H RAW... -o OUT`` turns raw frame files into
``.npy``, ``.png`` or ``.tiff`` files (OUT's suffix, or ``--format`` for a
directory, chooses); ``--show`` writes the picture ``korvell.pfnc.visualize``
makes of each frame instead of the decoded values.  A raw file must hold exactly
one frame; one that does not is reported and skipped, and the exit status is 1.
With several inputs a progress bar goes to stderr when stderr is a terminal.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import stat
import sys
from collections.abc import Callable, Sequence
from importlib import import_module
from typing import IO, Any, Optional, TextIO

from . import __version__
from . import names as _names
from .exceptions import PixelFormatDecodeNotSupportedError, PixelFormatValueReject
from .pixel_format import OpaquePixelFormat, PixelFormat
from .suggest import near_names

__all__ = ["main", "describe", "build_parser"]

PROG = "korvell-pfnc"

_EXIT_CODES = (
    "Exit status: 0 on success; 1 when a name or value does not parse or a frame "
    "cannot be decoded or written; 2 for a usage error."
)

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


# The Layout fields --json shows, in this order; the dataclass may carry more
# for the engine's own use.
_LAYOUT_FIELDS = (
    "designation",
    "channels",
    "memory_order",
    "bits",
    "packing",
    "container",
    "group_bits",
    "group_pixels",
    "granularity",
    "planar",
    "subsampling",
    "planes",
    "byte_order",
    "msb_aligned",
    "dtype",
)


def _plain(value: Any) -> Any:
    # Lists, as the JSON text will have them: planes are tuples of tuples.
    return [_plain(v) for v in value] if isinstance(value, tuple) else value


def _layout_record(fmt: Any) -> dict[str, Any]:
    # Imported here: the decoders bring numpy, which `list` and `--help` need not load.
    from .decoders import layout

    try:
        lay = layout(fmt)
    except PixelFormatDecodeNotSupportedError as exc:
        return {"decoded": False, "reason": str(exc)}
    record: dict[str, Any] = {"decoded": True, "description": lay.describe()}
    for name in _LAYOUT_FIELDS:
        value = getattr(lay, name)
        record[name] = _plain(value)
    return record


# A value as a camera reports it: decimal digits, or hexadecimal after 0x.
# ASCII only: str.isdigit() would take other scripts' digits.
_VALUE = re.compile(r"0[xX](?P<hex>[0-9A-Fa-f]+)|(?P<dec>[0-9]+)")
_VENDOR_BIT = 1 << 31
_SHOWN = 60  # characters of a given text shown in a message


def _shown(text: str) -> str:
    return text if len(text) <= _SHOWN else f"{text[:_SHOWN]}... ({len(text)} characters)"


def _value_of(text: str) -> Optional[int]:
    """The 32-bit value ``text`` writes, None for text that is no value.

    Raises PixelFormatValueReject for a value past 32 bits.
    """
    found = _VALUE.fullmatch(text)
    if found is None:
        return None
    digits, base, most = (found["hex"], 16, 8) if found["hex"] is not None else (found["dec"], 10, 10)
    # Counted before conversion: a long decimal run is past the interpreter's
    # integer-string limit, and past 32 bits long before that.
    significant = digits.lstrip("0")
    code = int(significant or "0", base) if len(significant) <= most else 1 << 32
    if code >= 1 << 32:
        raise PixelFormatValueReject(f"{_shown(text)} is not a pixel-format value: values have 32 bits")
    return code


def _resolve_value(text: str, code: int) -> tuple[_names.NameEntry, PixelFormat]:
    shown = f"0x{code:08X}" if text.lower() == f"0x{code:08x}" else f"{_shown(text)} (0x{code:08X})"
    if code & _VENDOR_BIT:
        raise PixelFormatValueReject(
            f"{shown} is a vendor-specific value (bit 31 set); only its maker's documents say which format it is"
        )
    entry = _names.by_code(code)
    if entry is None:
        raise PixelFormatValueReject(f"{shown} is not a published pixel-format value")
    return entry, PixelFormat.from_code(code)


def describe(name: str) -> dict[str, Any]:
    """The parts of the pixel format ``name`` as plain data (what ``--json`` prints).

    ``name`` may be a published 32-bit value (``"0x01080001"``, ``"17301505"``):
    the record is that of the name the value belongs to (``"name"``), and
    ``"from_value"`` says which value it was and what kind: the value of the
    name itself, or a superseded value (the format is then the name's current
    one).  For a name, ``"from_value"`` is None.

    Raises PixelFormatValueReject for a name or value that does not parse, and
    for a vendor-specific value (bit 31 set).
    """
    code = _value_of(name)
    from_value: Optional[dict[str, Any]] = None
    if code is None:
        fmt = PixelFormat.from_designation(name)
    else:
        row, fmt = _resolve_value(name, code)
        from_value = {"text": name, "value": code, "value_hex": _hex(code), "status": row.status}
        name = row.name
    status, replacement = _status(name)
    entry = _entry_of(name, fmt)
    record: dict[str, Any] = {
        "name": name,
        "from_value": from_value,
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
    if not isinstance(fmt, OpaquePixelFormat):
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
        layout=_layout_record(fmt),
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
    rows = [("name", record["name"])]
    given = record.get("from_value")
    if given is not None:
        value = given["value_hex"]
        if given["text"].lower() != value.lower():
            value = f"{_shown(given['text'])} ({value})"
        if given["status"] == "superseded":
            value += f", a superseded value of {record['name']}"
        elif given["status"] == "deprecated":
            value += f", the value of the deprecated {record['name']}"
        rows.append(("resolved from", f"value {value}"))
    rows += [
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
    lay = record["layout"]
    if lay["decoded"]:
        pixels = "pixel" if lay["granularity"] == 1 else "pixels"
        rows += [
            ("layout", lay["description"]),
            ("  output channels", ", ".join(lay["channels"])),
            ("  granularity", f"{lay['granularity']} {pixels}"),
        ]
    else:
        rows.append(("layout", f"not decoded: {lay['reason']}"))
    return rows


def _table(rows: Sequence[tuple[str, str]], width: int) -> str:
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


# ---------------------------------------------------------------------------
# Subcommands.


def _hint(suggestions: Sequence[str]) -> str:
    if not suggestions:
        return ""
    if len(suggestions) == 1:
        return f"; did you mean {suggestions[0]}?"
    return f"; did you mean {', '.join(suggestions[:-1])} or {suggestions[-1]}?"


def _unknown(name: str, exc: Exception, err: TextIO) -> list[str]:
    """Report ``name`` on ``err`` as one line; return the names it was likely meant to be."""
    # A value is no misspelt name.
    suggestions = near_names(name) if _VALUE.fullmatch(name) is None else []
    # The parser's message names the text and says how far it read.
    print(_printable(f"{PROG}: unknown pixel format: {exc}{_hint(suggestions)}", err), file=err)
    return suggestions


def _cmd_describe(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    status = 0
    records: list[dict[str, Any]] = []
    for name in args.names:
        try:
            record = describe(name)
        except PixelFormatValueReject as exc:
            suggestions = _unknown(name, exc, err)
            records.append({"name": name, "error": str(exc), "suggestions": suggestions})
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


# ---------------------------------------------------------------------------
# decode: raw frame files to .npy, .png or .tiff files.


class _Skip(Exception):
    """One input (or the whole run) cannot be done; the message says why."""


class _Refused(Exception):
    """The file kind cannot hold what a frame decodes to.  Every frame of a run
    decodes to the same dtype and shape, so the run stops at the first."""


# The file kinds decode writes, by suffix; a directory gets .npy unless --format says otherwise.
_KINDS = {".npy": "npy", ".png": "png", ".tif": "tiff", ".tiff": "tiff"}
_KIND_SUFFIX = {"npy": ".npy", "png": ".png", "tiff": ".tiff"}
# kind -> (the module that writes it, the package that brings the module)
_IMAGE_PACKAGES = {"png": ("PIL.Image", "Pillow"), "tiff": ("tifffile", "tifffile")}
_IMAGE_EXTRA = 'pip install "korvell-pfnc[image]"'


class _Progress:
    """A one-line bar on a terminal; lines printed meanwhile go above it."""

    _BAR = 24

    def __init__(self, stream: TextIO, total: int) -> None:
        self.stream = stream
        self.total = total
        self.shown = 0
        try:
            columns = os.get_terminal_size(stream.fileno()).columns
        except (OSError, ValueError, AttributeError):
            columns = 80
        # A line as wide as the terminal wraps, and the carriage return would
        # then redraw only its second half.
        self.columns = max(columns - 1, 20)

    def update(self, done: int, label: str) -> None:
        filled = self._BAR * done // self.total
        line = f"[{'#' * filled}{'-' * (self._BAR - filled)}] {done}/{self.total} {label}"[: self.columns]
        self.stream.write("\r" + line.ljust(self.shown))
        self.stream.flush()
        self.shown = len(line)

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * self.shown + "\r")
            self.stream.flush()
            self.shown = 0

    def close(self) -> None:
        self.update(self.total, "")
        self.stream.write("\n")
        self.stream.flush()


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _into_directory(raws: Sequence[str], out: str) -> bool:
    return len(raws) > 1 or os.path.isdir(out) or out.endswith((os.sep, os.altsep or os.sep))


def _kind(raws: Sequence[str], out: str, given: Optional[str]) -> str:
    """The kind of file to write: OUT's suffix says it, --format for a directory."""
    if _into_directory(raws, out):
        return given or "npy"
    suffix = os.path.splitext(out)[1]
    kind = _KINDS.get(suffix.lower())
    if kind is None:
        # A name without a suffix was always written as .npy; an unknown suffix
        # is more likely a kind decode does not write (.jpg) than a wish for .npy.
        if given is not None or not suffix:
            return given or "npy"
        raise _Skip(
            f"{out}: decode writes .npy, .png, .tif or .tiff files, not {suffix}; "
            "--format writes one of them under another name"
        )
    if given is not None and given != kind:
        raise _Skip(f"{out} names a {kind} file, but --format says {given}")
    return kind


def _image_module(kind: str) -> Any:
    """The module that writes ``kind`` files (None for .npy)."""
    if kind == "npy":
        return None
    module, package = _IMAGE_PACKAGES[kind]
    try:
        return import_module(module)
    except ImportError:
        raise _Skip(f"writing {kind.upper()} files needs {package}, which is not installed: {_IMAGE_EXTRA}") from None


def _targets(raws: Sequence[str], out: str, suffix: str = ".npy") -> list[str]:
    """The path of each input: OUT itself for one input, unless it is (or ends
    like) a directory; OUT/<stem><suffix> otherwise."""
    if not _into_directory(raws, out):
        targets = [out]
    else:
        if os.path.exists(out) and not os.path.isdir(out):
            hint = "; with several inputs -o names the directory to write into" if len(raws) > 1 else ""
            raise _Skip(f"{out} is not a directory{hint}")
        targets = [os.path.join(out, os.path.splitext(os.path.basename(raw))[0] + suffix) for raw in raws]
    seen: dict[str, str] = {}
    inputs = {os.path.realpath(raw) for raw in raws}
    for raw, target in zip(raws, targets):
        real = os.path.realpath(target)
        if real in seen:
            raise _Skip(f"{seen[real]} and {raw} would both be written to {target}")
        if real in inputs:
            raise _Skip(f"{raw} would be overwritten by its own output {target}")
        seen[real] = raw
    return targets


def _read_frame(raw: str, size: int, what: str) -> bytes:
    """The bytes of ``raw``, which must hold exactly one frame of ``size`` bytes."""
    try:
        with open(raw, "rb") as f:
            # A regular file tells its size without being read; anything else
            # (a pipe, a device) is read one byte past the frame to tell.
            info = os.fstat(f.fileno())
            if stat.S_ISREG(info.st_mode) and info.st_size != size:
                raise _Skip(f"{raw} holds {info.st_size} byte{'' if info.st_size == 1 else 's'}; {what} takes {size}")
            data = f.read(size + 1)
    except OSError as exc:
        raise _Skip(f"{raw}: {exc.strerror or exc}") from None
    if len(data) != size:
        held = f"more than {size} bytes" if len(data) > size else f"{len(data)} byte{'' if len(data) == 1 else 's'}"
        raise _Skip(f"{raw} holds {held}; {what} takes {size}")
    return data


def _writer(kind: str, module: Any, image: Any, channels: Optional[Sequence[str]]) -> Callable[[IO[bytes]], None]:
    """What writes ``image`` as a ``kind`` file; raises _Refused where that kind cannot hold it.

    ``channels`` are the decoded array's channels, None for a picture from
    --show (grey, or R, G, B).  Only R, G, B in that order are written as
    colour: B, G, R or Y, Cb, Cr in a colour file would be shown as wrong
    colours, so a TIFF holds them as plain samples and a PNG refuses them.
    """
    import numpy as np

    if kind == "npy":
        return lambda f: np.save(f, image, allow_pickle=False)
    # The image libraries read native byte order, and Pillow a contiguous block.
    image = np.ascontiguousarray(image, dtype=image.dtype.newbyteorder("="))
    grey = image.ndim == 2
    three = image.ndim == 3 and image.shape[2] == 3
    colour = three and (channels is None or tuple(channels) == ("R", "G", "B"))
    if kind == "tiff":
        if image.dtype.kind not in "biuf":
            raise _Refused(f"a TIFF file holds numbers, not {image.dtype}")
        options = {"photometric": "rgb" if colour else "minisblack"}
        if image.ndim == 3:
            options["planarconfig"] = "contig"
        return lambda f: module.imwrite(f, image, **options)
    depth = {np.dtype(np.uint8): 8, np.dtype(np.uint16): 16}.get(image.dtype)
    if depth == 8 and (grey or colour) or depth == 16 and grey:
        return lambda f: module.fromarray(image).save(f, format="PNG")
    values = "use --show for a picture, or write a .tiff or .npy file for the values"
    if depth == 16 and colour:
        instead = "--dtype uint8" if channels is None else "--show for an 8-bit picture"
        raise _Refused(f"a PNG file holds 16-bit grey but not 16-bit RGB: write a .tiff file, or use {instead}")
    if depth is not None and three and channels is not None:
        raise _Refused(f"the decoded array holds {', '.join(channels)}, which a PNG file would show as R, G, B: {values}")
    held = f"{image.shape[2]} channels" if image.ndim == 3 else "one channel"
    raise _Refused(f"a PNG file holds 8-bit grey or RGB or 16-bit grey, not {held} of {image.dtype}: {values}")


def _save(target: str, write: Callable[[IO[bytes]], None]) -> None:
    try:
        with open(target, "wb") as f:
            write(f)
    except BaseException:
        # No half-written file left behind to be mistaken for a frame.
        try:
            os.unlink(target)
        except OSError:
            pass
        raise


def _cmd_decode(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from . import decoders

    try:
        fmt = PixelFormat.from_designation(args.name)
    except PixelFormatValueReject as exc:
        _unknown(args.name, exc, err)
        return 1
    what = f"one {args.name} frame of {args.width} x {args.height}"
    if args.stride is not None:
        what += f" with a stride of {args.stride}"
    try:
        size = decoders.get_buffer_size(fmt, width=args.width, height=args.height, stride=args.stride)
        channels = decoders.layout(fmt).channels
        # A directory gets the suffix of --format; a file is checked against its own afterwards.
        targets = _targets(args.raws, args.output, _KIND_SUFFIX[args.format or "npy"])
        kind = _kind(args.raws, args.output, args.format)
        # Checked before anything is written: a missing package would refuse every frame.
        module = _image_module(kind)
        if args.show:
            try:
                visualize = import_module(".decoders._visual", __package__).visualize
            except ImportError as exc:
                # A build without the compiled renderer: say so rather than show a traceback.
                raise _Skip(f"--show: this installation cannot make pictures ({exc})") from None
        if _into_directory(args.raws, args.output):
            os.makedirs(args.output, exist_ok=True)
    except PixelFormatDecodeNotSupportedError as exc:
        print(f"{PROG}: cannot decode: {exc}", file=err)
        return 1
    except (ValueError, _Skip) as exc:
        # ValueError: the frame geometry (a stride shorter than a line, a width
        # that splits a group).
        print(f"{PROG}: {exc}", file=err)
        return 1
    except OSError as exc:
        print(f"{PROG}: {args.output}: {exc.strerror or exc}", file=err)
        return 1
    # Only the options given: the visualisation's own defaults stand for the others.
    options = {name: getattr(args, name) for name in ("dtype", "algorithm", "range") if getattr(args, name) is not None}

    arrow = _arrow(out)
    progress = _Progress(err, len(targets)) if len(targets) > 1 and _is_terminal(err) else None
    status = 0
    for done, (raw, target) in enumerate(zip(args.raws, targets)):
        if progress is not None:
            progress.update(done, os.path.basename(raw))
        stop = False
        try:
            data = _read_frame(raw, size, what)
            image = decoders.decode(
                fmt,
                data,
                width=args.width,
                height=args.height,
                stride=args.stride,
                byte_order=args.byte_order,
                # A picture is scaled by the format's bit depth: it is made of
                # the values as sent, which --msb-aligned does not change.
                msb_aligned=args.msb_aligned and not args.show,
            )
            if args.show:
                try:
                    image = visualize(fmt, image, **options)
                except ValueError as exc:
                    raise _Skip(f"{raw}: cannot show {args.name}: {exc}") from None
            write = _writer(kind, module, image, None if args.show else channels)
            try:
                _save(target, write)
            except OSError as exc:
                raise _Skip(f"{target}: {exc.strerror or exc}") from None
        except _Skip as exc:
            line, stream, status = f"{PROG}: {exc}", err, 1
        except _Refused as exc:
            line, stream, status, stop = f"{PROG}: cannot write {target}: {exc}", err, 1, True
        except PixelFormatDecodeNotSupportedError as exc:
            # Only the visualisation can refuse here; it refuses the format, so every frame.
            line, stream, status, stop = f"{PROG}: cannot show: {exc}", err, 1, True
        else:
            line, stream = _printable(f"{raw} {arrow} {target}: {image.dtype} {image.shape}", out), out
        if progress is not None:
            progress.clear()
        print(line, file=stream)
        stream.flush()
        if stop:
            # The bar is cleared; drawing it full would claim the rest was done.
            progress = None
            break
    if progress is not None:
        progress.close()
    return status


def _printable(text: str, stream: TextIO) -> str:
    # A file name need not be text in the console's encoding (undecodable bytes
    # come as lone surrogates); it is shown escaped rather than ending the run.
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        text.encode(encoding)
    except UnicodeEncodeError:
        return text.encode(encoding, "backslashreplace").decode(encoding)
    except LookupError:
        pass
    return text


def _is_terminal(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _check_decode(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    given = [f"--{name}" for name in ("dtype", "algorithm", "range") if getattr(args, name) is not None]
    if given and not args.show:
        parser.error(f"{', '.join(given)} {'shapes' if len(given) == 1 else 'shape'} the picture of --show; give --show too")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command line."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Take GenICam PFNC pixel-format names apart, list the published names and "
            "decode raw frames."
        ),
        epilog=_EXIT_CODES,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p_describe = sub.add_parser(
        "describe",
        help="print the parts of each pixel-format name or value",
        description=(
            "Print the parts of each pixel-format name: components, bits per channel, "
            "data types, packing, interface-specific suffix, value, bits per pixel and "
            "the bit layout the decoders read. A published 32-bit value (0x01080001 or "
            "17301505) is described as its name; a superseded value as the current "
            "format of its name. Deprecated names are described as the format that "
            "replaces them. A name that does not parse is reported with the names it "
            "was likely meant to be, and the others are still described."
        ),
        epilog=_EXIT_CODES,
    )
    p_describe.add_argument(
        "names", nargs="+", metavar="NAME", help="a pixel-format name (Mono12p, RGB10p32, ...) or value (0x010C0047)"
    )
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
        epilog="Exit status: 0 on success; 2 for a usage error.",
    )
    p_list.add_argument(
        "--status",
        action="append",
        choices=sorted(_STATUS_GROUPS),
        help="only names of this status (repeatable; current = standard and gev)",
    )
    p_list.add_argument("--json", action="store_true", help="print a JSON list, one object per name")
    p_list.set_defaults(run=_cmd_list)

    p_decode = sub.add_parser(
        "decode",
        help="decode raw frame files into .npy, .png or .tiff files",
        description=(
            "Decode raw frame files of one pixel format into .npy files (numpy.load reads "
            "them): shape (height, width) or (height, width, channels); or into PNG or TIFF "
            "files (these need the image extra: pip install \"korvell-pfnc[image]\"). With "
            "--show each file holds the picture of the frame (RGB, or grey for one channel) "
            "instead of the decoded values. Each RAW must hold exactly one frame; one that "
            "does not is reported and skipped, and the exit status is 1. With one RAW, OUT "
            "is the file to write (its suffix .npy, .png, .tif or .tiff says the kind; none "
            "is .npy), or a directory to write <stem>.npy into; with several, OUT is a "
            "directory (created if missing) and each RAW gives <stem>.npy (--format for "
            "another kind). PNG holds 8-bit grey and RGB and 16-bit grey; TIFF any numbers "
            "(channels other than R, G, B as plain samples). One line per written file goes "
            "to stdout; with several inputs a progress bar goes to stderr when stderr is a "
            "terminal."
        ),
        epilog=_EXIT_CODES,
    )
    p_decode.add_argument("name", metavar="NAME", help="the pixel format of the frames (Mono12p, RGB10p32, ...)")
    p_decode.add_argument("raws", nargs="+", metavar="RAW", help="a raw frame file")
    p_decode.add_argument(
        "-o", "--output", required=True, metavar="OUT", help="the .npy, .png, .tif or .tiff file, or the directory"
    )
    p_decode.add_argument(
        "--format",
        choices=("npy", "png", "tiff"),
        help="the kind of file to write (default: from OUT's suffix; npy into a directory)",
    )
    p_decode.add_argument("--width", required=True, type=_positive, metavar="W", help="pixels per line")
    p_decode.add_argument("--height", required=True, type=_positive, metavar="H", help="lines per frame")
    p_decode.add_argument(
        "--stride",
        type=_positive,
        metavar="S",
        help="bytes per line, padding included (default: the lines follow each other without padding)",
    )
    p_decode.add_argument(
        "--byte-order",
        choices=("little", "big"),
        default="little",
        help="of unpacked containers wider than a byte (default: little)",
    )
    p_decode.add_argument(
        "--msb-aligned",
        action="store_true",
        help="shift each value to the top of its output type (Mono12p: value << 4 in uint16; --show pictures do not change)",
    )
    picture = p_decode.add_argument_group("pictures", "how --show makes the picture (korvell.pfnc.visualize)")
    picture.add_argument(
        "--show",
        "--visualize",
        action="store_true",
        help="write the picture of each frame (uint8 RGB, or grey for one channel) instead of the decoded values",
    )
    picture.add_argument(
        "--dtype",
        choices=("uint8", "native"),
        help="uint8 (default), or native to keep the decoded bit depth (uint16 past 8 bits)",
    )
    picture.add_argument(
        "--algorithm", choices=("bilinear", "malvar"), help="the Bayer demosaic (default: bilinear)"
    )
    picture.add_argument(
        "--range",
        choices=("full", "limited"),
        help="of YCbCr/YUV values (default: limited for a name with a colour standard, full otherwise)",
    )
    p_decode.set_defaults(run=_cmd_decode, check=lambda args: _check_decode(p_decode, args))
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line on ``argv`` (default: the process arguments); return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        check = getattr(args, "check", None)
        if check is not None:
            check(args)
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
