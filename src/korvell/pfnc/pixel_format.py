"""The parsed GenICam pixel format, and the parser that reads one from its name.

A designation is read part by part from the front: a component set of the
vocabulary, the bits per channel, the data types, the packing, and an optional
interface-specific suffix after "_".  Every combination of the parts' readings
that consumes the whole text is a complete reading.

Rules the parser adds to the parts' own:

* Deprecated GigE Vision 1.x names resolve to the name that replaces them
  (:func:`korvell.pfnc.names.deprecated_aliases`): ``YUV422_YUYV_Packed`` is
  ``YUV422_8``.
* Bits per channel: a digit run that divides evenly among the channels is read
  one count per channel only when those counts fill whole bytes (5, 6, 5 is 16
  bits); otherwise, and whenever the per-channel reading fails, the run is one
  count that every channel shares.  So ``RGB565p`` is 5, 6, 5 while
  ``Coord3D_AC12p`` is 12 and 12 and ``Coord3D_AC10p`` is 10 and 10.
* A packing is kept with its padding name as written: ``Mono12Packed`` keeps
  "Packed" and stays a different format from ``Mono12p``.
* Several complete readings: the first whose designation gives the text back
  unchanged wins, else the first one; the order is components (longest set
  first), then the parts' own candidate orders.  :meth:`PixelFormat.readings`
  lists them all.
* A published name without a reading in the grammar (``RGB10V1Packed``,
  ``RGB12V1Packed``) is an :class:`OpaquePixelFormat`, known by name, value and
  bits per pixel only.

Bits per pixel come from the published value (its bits 16 to 23) where there is
one, and are computed from the parts otherwise (:meth:`PixelFormat.computed_bits_per_pixel`).
"""

from __future__ import annotations

import functools
import re
import sys
import time
from enum import EnumMeta
from typing import Any, Callable, Optional

from . import names as _names
from ._internal.registry import Registry
from ._internal.utils import join_designators
from .exceptions import PixelFormatValueReject
from .genicam.brintal import CompoundDataTypes, DataTypes, DefaultDataType
from .genicam.components import ComponentSet, Components, GenicamComponents, LMNLocation, parse_components
from .genicam import ostrevo as _ostrevo
from .genicam.ostrevo import Packing, PaddingType
from .genicam.planes import PlaneGroups
from .genicam.quenmar import ComponentsSequencing, InterfaceSpecific, Planar, SemiPlanar
from .genicam.tesselk import Size
from .genicam._vocabulary import StateWatch, same_entries

__all__ = ["PixelFormat", "OpaquePixelFormat", "VendorPixelFormat", "AnyPixelFormat", "parse", "from_code"]

_SHOWN = 60  # characters of a designation shown in an error message
_VENDOR_BIT = 1 << 31  # values with it set are the makers' own


def _shown(text: str) -> str:
    return repr(text) if len(text) <= _SHOWN else repr(text[:_SHOWN]) + f"... ({len(text)} characters)"


class PixelFormat:
    """A parsed pixel format: components, bit sizes, data types, packing and an
    optional interface-specific suffix, kept as given."""

    __slots__ = ("components", "size", "data_types", "packing", "interface_specific")

    def __init__(
        self,
        components: Components,
        size: Size,
        data_types: Any,
        packing: Any,
        interface_specific: Any = None,
    ) -> None:
        self.components = components
        self.size = size
        self.data_types = data_types
        self.packing = packing
        self.interface_specific = interface_specific

    def designation(self) -> str:
        """The pixel format written back as text ("YCbCr422_8_CbYCrY")."""
        text = self.components.designation()
        for part in (self.size, self.data_types, self.packing):
            text = join_designators(text, part.designation())
        if self.interface_specific is not None:
            text = f"{text}_{self.interface_specific.designation()}"
        return text

    def _fields(self) -> tuple[Any, ...]:
        return (self.components, self.size, self.data_types, self.packing, self.interface_specific)

    def __eq__(self, other: object) -> bool:
        # Equal parts are not enough: two formats may share every part and still
        # lay out their bits differently, which only the designation tells.
        if not isinstance(other, PixelFormat) or isinstance(other, OpaquePixelFormat):
            return False
        return self._fields() == other._fields() and self.designation() == other.designation()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.designation()}>"

    # -- published value and bits per pixel -------------------------------

    @property
    def code(self) -> Optional[int]:
        """The published 32-bit value of this format, or None where there is none."""
        entry = _names.find(self.designation())
        return entry.code if entry is not None and entry.current else None

    @property
    def bits_per_pixel(self) -> int:
        """Bits per pixel: bits 16 to 23 of the published value where there is
        one, otherwise :meth:`computed_bits_per_pixel`."""
        code = self.code
        if code is not None:
            return (code >> 16) & 0xFF
        return self.computed_bits_per_pixel()

    def computed_bits_per_pixel(self) -> int:
        """Bits per pixel computed from the parts.

        Each channel takes its bit count when packed ("p", or a name registered
        for packed), and its bit count rounded up to whole bytes otherwise; the
        GigE Vision "Packed" layout keeps two samples of up to 12 bits in three
        bytes, 12 bits each.  With an LMN location (4:2:2, ...) the channels count
        in the location's proportion, relative to the first (luma) field.  An
        alignment rounds the pixel up to a multiple of itself.
        """
        sizes = list(self.size.sizes)
        packing = self.packing
        padding = packing.padding_type
        if packing.padding_type_name == "Packed" and all(s <= 12 for s in sizes):
            widths = [12] * len(sizes)
        elif padding is PaddingType.PACKED:
            widths = sizes
        else:
            widths = [-(-s // 8) * 8 for s in sizes]
        location = getattr(self.components, "location", None)
        if isinstance(self.components, GenicamComponents) and isinstance(location, LMNLocation):
            fields = location.fields
            if len(fields) == len(widths) and fields and fields[0] > 0:
                total = sum(f * w for f, w in zip(fields, widths))
                bits = -(-total // fields[0])
            else:
                bits = sum(widths)
        else:
            bits = sum(widths)
        alignment = packing.alignment
        if padding is PaddingType.PACKED and alignment:
            bits = -(-bits // alignment) * alignment
        return bits

    # -- parsing -----------------------------------------------------------

    @classmethod
    def from_designation(cls, designation: str) -> PixelFormat:
        """The pixel format named by ``designation``.

        A name registered with :func:`korvell.pfnc.vendor.register_vendor_name`
        gives a :class:`VendorPixelFormat`; a published name the grammar cannot
        read an :class:`OpaquePixelFormat`.  Raises PixelFormatValueReject when
        the text has no complete reading; the message says how far the text
        could be read.
        """
        if type(designation) is not str:
            raise TypeError(f"designation must be str, not {type(designation).__name__}")
        if cls is not PixelFormat:
            return _parse(cls, designation)
        memo = _memo
        if memo.watch.unchanged():
            build = memo.builds.get(designation)
            if build is not None:
                return build()
        token = memo.begin()
        found = _parse(cls, designation, token is not None)
        if token is not None:
            memo.keep(token, designation, found)
        return found

    @classmethod
    def readings(cls, designation: str) -> list[PixelFormat]:
        """Every complete reading of ``designation`` (deprecated names resolved),
        in the parser's order; empty when there is none."""
        if type(designation) is not str:
            raise TypeError(f"designation must be str, not {type(designation).__name__}")
        text = _names.deprecated_aliases().get(designation, designation)
        return _read(cls, text, designation)[0]

    @classmethod
    def from_code(cls, code: int) -> PixelFormat:
        """The pixel format of a published 32-bit value (deprecated and superseded
        values give the format that replaces them)."""
        if isinstance(code, bool) or not isinstance(code, int):
            raise TypeError(f"code must be int, not {type(code).__name__}")
        entry = _names.by_code(code)
        if entry is None:
            shown = f"0x{code:08X}" if 0 <= code < 1 << 32 else str(code)
            if 0 <= code < 1 << 32 and code & _VENDOR_BIT:
                raise PixelFormatValueReject(
                    f"{shown} is a vendor-specific value (bit 31 set): only its maker's documents say what it is"
                )
            raise PixelFormatValueReject(f"{shown} is not a published pixel-format value")
        return cls.from_designation(entry.replacement if entry.replacement else entry.name)


class OpaquePixelFormat(PixelFormat):
    """A published pixel format that the grammar cannot read (RGB10V1Packed):
    known by its name, value, bits per pixel and description only.

    It is a :class:`PixelFormat` so that every parse has one type, but its parts
    are absent: reading ``components``, ``size``, ``data_types``, ``packing`` or
    ``interface_specific`` raises AttributeError, and the built-in decoders
    refuse it with PixelFormatDecodeNotSupportedError.  It equals only an opaque
    format of the same name.
    """

    __slots__ = ("_entry",)

    def __init__(self, name: str) -> None:  # the parts stay unset
        entry = _names.find(name)
        if entry is None or not entry.current:
            raise PixelFormatValueReject(f"{name!r} is not a published pixel-format name")
        self._entry = entry

    def __getattr__(self, attribute: str) -> Any:
        # Reached only for the unset parts (and names no class defines).
        if attribute in PixelFormat.__slots__:
            raise AttributeError(f"{self._entry.name} is known by name and value only: it has no {attribute}")
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {attribute!r}")

    def designation(self) -> str:
        """The name, as published."""
        return self._entry.name

    @property
    def code(self) -> Optional[int]:
        """The published 32-bit value."""
        return self._entry.code

    @property
    def bits_per_pixel(self) -> int:
        """Bits 16 to 23 of the published value."""
        bits = self._entry.bits_per_pixel
        if bits is None:
            raise PixelFormatValueReject(f"{self._entry.name} has no published bits per pixel")
        return bits

    def computed_bits_per_pixel(self) -> int:
        """The published bits per pixel: there are no parts to compute them from."""
        return self.bits_per_pixel

    @property
    def description(self) -> str:
        """The published description."""
        return self._entry.description

    def __eq__(self, other: object) -> bool:
        return isinstance(other, OpaquePixelFormat) and other._entry.name == self._entry.name

    __hash__ = None

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._entry.name!r})"


class VendorPixelFormat(PixelFormat):
    """A vendor's name for a layout that a PFNC designation describes.

    The parts are those of the designation the name was registered with
    (:func:`korvell.pfnc.vendor.register_vendor_name`); :meth:`designation`
    gives the vendor's name, so the format stays apart from the PFNC one in
    equality and in decoder resolution.
    """

    __slots__ = ("_name", "_target")

    def __init__(self, name: str, target: PixelFormat) -> None:
        if type(name) is not str or not name:
            raise TypeError("name must be a non-empty str")
        if not isinstance(target, PixelFormat) or isinstance(target, OpaquePixelFormat):
            raise TypeError("target must be a PixelFormat with parts")
        super().__init__(target.components, target.size, target.data_types, target.packing, target.interface_specific)
        self._name = name
        self._target = target.designation()

    def designation(self) -> str:
        """The vendor's name."""
        return self._name

    @property
    def target(self) -> str:
        """The PFNC designation whose layout the name stands for."""
        return self._target

    @property
    def code(self) -> Optional[int]:
        """None: vendor names have no published value."""
        return None

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self._name} as {self._target}>"


AnyPixelFormat = PixelFormat
"""Kept for callers that named the union: every parse is a :class:`PixelFormat`."""


# ---------------------------------------------------------------------------
# The reader.


def _parse(cls: type[PixelFormat], designation: str, own: bool = False) -> PixelFormat:
    """The pixel format named by ``designation``, read anew.  ``own``: the state
    is recorded as the package's own, where the import below gives the module
    recorded, and a designation written back calls nothing but the package's
    code, so that it need not be written for a single reading."""
    if own:
        vendor = _memo.vendor
    else:
        from . import vendor  # imported here: it imports this module

    target = vendor.VENDOR_NAMES._registry.get(designation)
    if target is not None:
        return VendorPixelFormat(designation, cls.from_designation(target))
    replacement = _names.deprecated_aliases().get(designation)
    text = replacement if replacement is not None else designation
    readings, reached = _read(cls, text, designation)
    if own and len(readings) == 1:
        return readings[0]
    if readings:
        for reading in readings:
            if reading.designation() == text:
                return reading
        return readings[0]
    entry = _names.find(text)
    if entry is not None and entry.current:
        return OpaquePixelFormat(entry.name)
    raise PixelFormatValueReject(
        f"{_shown(designation)} is not a pixel-format designation: "
        + (
            "no component set of the vocabulary begins it"
            if not reached
            else f"it ends after {_shown(text)}, before the designation is complete"
            if reached == len(text)
            else f"it reads only up to character {reached} ({_shown(text[:reached])}), "
            f"not {_shown(text[reached:])}"
        )
    )


def _leading_run(text: str) -> str:
    start = 1 if text.startswith("_") else 0
    end = start
    while end < len(text) and "0" <= text[end] <= "9":
        end += 1
    return text[start:end]


def _size_readings(text: str, channels: int) -> list[tuple[Size, str]]:
    """The one reading of the bits per channel (see the module's rules)."""
    try:
        found = Size.from_designation(text, channels)
    except PixelFormatValueReject:
        return []  # a shared count of 0
    if channels < 2:
        return [found] if found is not None else []
    if found is not None and sum(found[0].sizes) % 8 == 0:
        return [found]
    run = _leading_run(text)
    if not run or len(run) % channels:
        return [found] if found is not None else []
    count = int(run)
    if count <= 0:
        return []
    rest = text[text.index(run) + len(run):]
    return [(Size([count] * channels), rest)]


def _as_written(packing: Any, consumed: str) -> Any:
    """The packing rebuilt with its padding name as the text spells it."""
    written = packing.designation()
    if consumed in (written, "_" + written):
        return packing
    padding = packing.padding_type
    registry = _ostrevo.PADDING_TYPE_NAME_REGISTRY  # read now: it may have been replaced
    for name in registry:
        if name and registry.resolve(name) == padding:
            rebuilt = Packing(name, packing.lsb, packing.alignment, packing.cluster_marker)
            if consumed in (rebuilt.designation(), "_" + rebuilt.designation()):
                return rebuilt
    return packing


def _read(cls: type[PixelFormat], text: str, given: str) -> tuple[list[PixelFormat], int]:
    """Complete readings of ``text`` (the designation ``given`` names), and how
    many characters the furthest partial reading consumed."""
    try:
        return _read_parts(cls, text)
    except PixelFormatValueReject:
        raise
    except ValueError as err:
        # A digit run past the interpreter's integer-string limit: say so in our
        # words, since the interpreter's advice (raise the limit) is not the cure.
        longest = max((len(run) for run in re.findall(r"[0-9]+", text)), default=0)
        raise PixelFormatValueReject(
            f"{_shown(given)} is not a pixel-format designation: it holds a run of {longest} digits, "
            f"more than the {sys.get_int_max_str_digits()} digits the interpreter reads as a number"
        ) from err


def _read_parts(cls: type[PixelFormat], text: str) -> tuple[list[PixelFormat], int]:
    found: list[PixelFormat] = []
    shortest_rest = len(text)

    def keep(reading: PixelFormat) -> None:
        if reading not in found:
            found.append(reading)

    for components, rest1 in parse_components(text):
        shortest_rest = min(shortest_rest, len(rest1))
        channels = len(components)
        for size, rest2 in _size_readings(rest1, channels):
            shortest_rest = min(shortest_rest, len(rest2))
            for data_types, rest3 in DataTypes.create(rest2, channels):
                for packing, rest4 in Packing.from_designation(rest3):
                    shortest_rest = min(shortest_rest, len(rest4))
                    packing = _as_written(packing, rest3[: len(rest3) - len(rest4)])
                    if not rest4:
                        keep(cls(components, size, data_types, packing))
                        continue
                    for suffix, rest5 in InterfaceSpecific.create(rest4, components, size):
                        shortest_rest = min(shortest_rest, len(rest5))
                        if not rest5:
                            keep(cls(components, size, data_types, packing, suffix))
    return found, len(text) - shortest_rest


def parse(name: str) -> PixelFormat:
    """The pixel format named ``name`` (:meth:`PixelFormat.from_designation`)."""
    return PixelFormat.from_designation(name)


def from_code(code: int) -> PixelFormat:
    """The pixel format of a published 32-bit value (:meth:`PixelFormat.from_code`)."""
    return PixelFormat.from_code(code)


# ---------------------------------------------------------------------------
# Finished readings, kept by designation.
#
# A reading depends on the vocabularies (component sets, data types, padding
# names, vendor names), on the classes that parse and hold the parts (and on
# which classes the factories find below their bases), and on every name the
# modules on the way read when they run.  A kept reading is given out only
# while a watch shows that none of that has changed since the reading was
# found, and only while everything is the package's own: the names and
# classes as imported, the factories' implementations exactly the package's,
# and the registries holding values that no part rejects, so that a reading
# never reaches a point where it would log.  Each time, fresh parts are built:
# callers may change the parts they are given.

_KEEP_AT_MOST = 4096  # readings kept; all are dropped when full
_LONGEST_KEPT = 640  # designations no longer than the smallest integer-string limit
_RECORD_SHARE = 20  # while the state keeps changing, records take at most about 1/20 of the time
_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class that Python code can change


def _parse_path() -> tuple[list[dict[str, Any]], list[type], list[tuple[Any, dict[str, Any]]]]:
    """The namespaces and classes a reading reads, and their entries as imported."""
    import builtins
    import operator

    from . import vendor
    from ._internal import _registry, _subclasses, utils
    from .genicam import brintal, components, planes, quenmar, tesselk

    modules = [sys.modules[__name__], _names, vendor, components, tesselk, brintal, _ostrevo, quenmar, planes]
    modules += [utils, _registry, _subclasses]
    classes: dict[int, type] = {}
    for module in modules:
        for value in vars(module).values():
            if isinstance(value, type):
                metaclass: type = type(value)
                for cls in (*value.__mro__, *metaclass.__mro__):
                    classes.setdefault(id(cls), cls)
    heap = [cls for cls in classes.values() if cls.__flags__ & _HEAP_TYPE]
    originals: list[tuple[Any, dict[str, Any]]] = [(vars(m), dict(vars(m))) for m in modules]
    originals += [(cls, dict(vars(cls))) for cls in heap]
    dicts = [vars(m) for m in (*modules, builtins, operator)]
    # enumeration members keep their values in their own dicts
    members: list[Any] = []
    for cls in heap:
        if isinstance(cls, EnumMeta):
            members.extend(cls)
    dicts += [vars(member) for member in members if hasattr(member, "__dict__")]
    return dicts, heap, originals


def _family(base: type) -> list[type]:
    """``base`` and every class below it."""
    found, stack = [], [base]
    while stack:
        cls = stack.pop()
        found.append(cls)
        stack.extend(type.__subclasses__(cls))
    return found


def _quiet(mappings: list[dict[Any, Any]]) -> bool:
    """Whether the registries hold only what no part rejects: then no reading
    reaches a point where it logs (every set has a channel, every data type
    is one, every padding type's own name is registered), and every lookup
    compares plain strings."""
    vendor_names, sets, data_types, paddings = mappings
    if not all(type(key) is str for mapping in mappings for key in mapping):
        return False
    if not all(type(v) is str for v in vendor_names.values()):
        return False
    if not all(type(d) is _components.ComponentSetDefinition and len(d.components) > 0 for d in sets.values()):
        return False
    if not all(type(v) is str or type(v) is DefaultDataType for v in data_types.values()):
        return False
    return all(type(v) is PaddingType and v.value in paddings for v in paddings.values())


class _Memo:
    __slots__ = ("watch", "builds", "token", "next_record", "dicts", "classes", "originals", "package", "vendor")

    def __init__(self) -> None:
        from . import vendor

        self.watch = StateWatch()
        self.builds: dict[str, Callable[[], PixelFormat]] = {}
        self.token: Optional[object] = None  # a new one with each record: kept only under the record it began with
        self.next_record = 0.0  # no record before this time (time.perf_counter)
        self.dicts: list[dict[str, Any]] = []
        self.classes: list[type] = []
        self.originals: list[tuple[Any, dict[str, Any]]] = []
        self.package = sys.modules[__package__]
        self.vendor = vendor

    def capture(self) -> None:
        """Take the present names and classes as the package's own."""
        self.dicts, self.classes, self.originals = _parse_path()

    def begin(self) -> Optional[object]:
        """The token under which a reading about to be found may be kept; None
        when it may not."""
        if self.watch.unchanged():
            return self.token
        # Forgotten at once: a change undone (a subclass created and collected)
        # must not make the old record count again while nothing is kept.
        self.watch.forget()
        self.builds = {}
        self.token = None
        now = time.perf_counter()
        if now < self.next_record:
            return None
        self._record()
        self.next_record = now + (time.perf_counter() - now) * _RECORD_SHARE
        return self.token

    def _record(self) -> None:
        """Record the state when it is the package's own; otherwise leave the
        watch empty, so that a later parse tries again."""
        families = _family(DataTypes) + _family(InterfaceSpecific)
        # Another class below a factory's base is asked on every parse; and a
        # record would keep that class alive.
        if len(families) != len(_OWN_FAMILIES) or {id(cls) for cls in families} != _OWN_FAMILIES:
            return
        if sys.modules.get(__package__) is not self.package or vars(self.package).get("vendor") is not self.vendor:
            return
        if not all(same_entries(now, then) for now, then in self.originals):
            return
        # The names are the package's own from here on: reading the registries
        # runs none but the package's code.
        registries: list[Any] = [
            self.vendor.VENDOR_NAMES,
            _components.COMPONENT_SET_REGISTRY,
            _brintal.DATA_TYPE_REGISTRY,
            _ostrevo.PADDING_TYPE_NAME_REGISTRY,
        ]
        mappings = [r._registry for r in registries]
        if not all(type(m) is dict for m in mappings):
            return
        definitions = [vars(d) for d in mappings[1].values() if type(d) is _components.ComponentSetDefinition]
        dicts = [*self.dicts, *definitions, vars(self.package), sys.modules]
        # Recorded first and judged after: a change in between shows as a change.
        if self.watch.record(dicts, self.classes, families, registries, Registry) and _quiet(mappings):
            self.token = object()
        else:
            self.watch.forget()

    def keep(self, token: object, designation: str, found: PixelFormat) -> None:
        """Keep ``found`` as the reading of ``designation`` when the state is still
        the one recorded with ``token``."""
        if token is not self.token or len(designation) > _LONGEST_KEPT or not self.watch.unchanged():
            return
        build = _builder(found)
        if build is None:
            return
        builds = self.builds
        if len(builds) >= _KEEP_AT_MOST:
            builds.clear()
        builds[designation] = build


def _suffix_maker(suffix: Any) -> Optional[Callable[[], Any]]:
    kind = type(suffix)
    if kind is Planar or kind is SemiPlanar:
        return kind
    if kind is ComponentsSequencing:
        return functools.partial(ComponentsSequencing, suffix.components)
    if kind is PlaneGroups:
        return functools.partial(PlaneGroups, suffix.groups, suffix.layout)
    return None


def _builder(found: PixelFormat) -> Optional[Callable[[], PixelFormat]]:
    """What builds a fresh pixel format equal to ``found``, part by part; None
    for a kind of reading that is not kept."""
    kind = type(found)
    if kind is OpaquePixelFormat:
        return functools.partial(OpaquePixelFormat, found.designation())
    if kind is not PixelFormat:
        return None
    components, size, data_types, packing, suffix = found._fields()
    if type(components) is not ComponentSet or type(size) is not Size:
        return None
    if type(data_types) is not CompoundDataTypes or type(packing) is not Packing:
        return None
    sizes = list(size.sizes)
    channel_types = list(data_types.brintal)
    packing_fields = packing.__getstate__()
    new_packing, set_packing = Packing.__new__, Packing.__setstate__  # the packing's own copy: no name to check
    make_suffix = None
    if suffix is not None:
        make_suffix = _suffix_maker(suffix)
        if make_suffix is None:
            return None
    new = object.__new__

    # The component set is shared: it has no fields to change.
    def build() -> PixelFormat:
        fmt = new(PixelFormat)
        fmt.components = components
        fmt.size = Size(sizes[:])
        fmt.data_types = CompoundDataTypes(channel_types[:])
        fmt.packing = packing = new_packing(Packing)
        set_packing(packing, packing_fields)
        fmt.interface_specific = None if make_suffix is None else make_suffix()
        return fmt

    return build


# The classes below the factories' bases: the package's own, and no others
# (compared by identity: another class's metaclass may hash and compare).
_OWN_FAMILIES = frozenset(
    map(id, (DataTypes, CompoundDataTypes, InterfaceSpecific, Planar, SemiPlanar, ComponentsSequencing, PlaneGroups))
)

from .genicam import brintal as _brintal  # noqa: E402
from .genicam import components as _components  # noqa: E402

_memo = _Memo()
_memo.capture()  # once bound: the module's own name for the memo is one of its names
