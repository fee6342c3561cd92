"""A packer and unpacker of frame bytes for the decoder tests.

It is read from a parsed PixelFormat's parts alone (component set, sizes, data
types, padding type and name, lsb, alignment, cluster marker, interface-specific
suffix) and the bit rules in the layouts notes, with Python integers as bit
streams, so that it shares nothing with the engine it checks.  Simple, not fast:
one Python integer per line.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace

import numpy as np

from korvell.pfnc.genicam.brintal import DefaultDataType
from korvell.pfnc.genicam.components import LMNLocation, channel_name
from korvell.pfnc.genicam.ostrevo import PaddingType
from korvell.pfnc.genicam.planes import PlaneGroups
from korvell.pfnc.genicam.quenmar import ComponentsSequencing, Planar
from korvell.pfnc.pixel_format import OpaquePixelFormat, PixelFormat

_KINDS = {DefaultDataType.UNSIGNED: "u", DefaultDataType.SIGNED: "s", DefaultDataType.FLOAT: "f"}
GROUPED_MODES = ("gige", "grouped", "grouped-msb")


class Unsupported(Exception):
    """The format has no layout here (opaque, custom type, plane groups other than semiplanar)."""


def _container(bits: int) -> int:
    return next(c for c in (8, 16, 32, 64) if c >= bits)


def _up(value: int, step: int) -> int:
    return -(-value // step) * step


def _mode(p, sizes) -> str:
    if p.padding_type is PaddingType.UNPACKED:
        return "unpacked" if p.lsb else "unpacked-msb"
    if p.padding_type is PaddingType.GROUPED:
        if not all(s in (10, 12) for s in sizes):
            raise Unsupported("grouping of other sizes than 10 and 12 bits")
        return "grouped" if p.lsb else "grouped-msb"
    if p.padding_type_name == "Packed" and all(9 <= s <= 12 for s in sizes):
        return "gige"
    return "lsb" if p.lsb else "msb"


@dataclass(frozen=True)
class Ref:
    name: str
    channels: tuple[str, ...]  # output order: the component set's
    order: tuple[int, ...]  # the channel index of each component in memory order
    bits: tuple[int, ...]  # per channel
    kinds: tuple[str, ...]  # "u", "s" or "f" per channel
    mode: str  # unpacked, unpacked-msb, lsb, msb, gige, grouped, grouped-msb
    align: int | None
    cluster: int
    planar: bool
    byte_order: str = "little"

    down = 1  # lines that share a sample

    @classmethod
    def of(cls, fmt, byte_order: str = "little") -> Ref | SubRef:
        if isinstance(fmt, OpaquePixelFormat) or not isinstance(fmt, PixelFormat):
            raise Unsupported("opaque")
        comps = fmt.components
        location = getattr(comps, "location", None)
        if isinstance(location, LMNLocation) and len(set(location.fields)) > 1 or isinstance(
            fmt.interface_specific, PlaneGroups
        ):
            return SubRef.of(fmt, byte_order)
        channels = tuple(channel_name(c) for c in comps)
        suffix = fmt.interface_specific
        order = tuple(range(len(channels)))
        if isinstance(suffix, ComponentsSequencing):
            order = tuple(channels.index(name) for name in suffix.components)
        elif suffix is not None and not isinstance(suffix, Planar):
            raise Unsupported("plane groups")
        kinds = tuple(_KINDS.get(fmt.data_types[i]) for i in range(len(channels)))
        if None in kinds:
            raise Unsupported("custom data type")
        sizes = tuple(fmt.size.sizes)
        p = fmt.packing
        return cls(fmt.designation(), channels, order, sizes, kinds, _mode(p, sizes), p.alignment,
                   p.cluster_marker, isinstance(suffix, Planar), byte_order)

    # -- what the output looks like ---------------------------------------

    @property
    def dtype(self) -> np.dtype:
        top = max(self.bits)
        kind = self.kinds[0]
        return np.dtype(f"f{top // 8}" if kind == "f" else f"{'i' if kind == 's' else 'u'}{_container(top) // 8}")

    @property
    def group_components(self) -> int:
        """Components of the smallest unit that cannot be split."""
        if self.mode == "gige":
            return 2
        if self.mode in GROUPED_MODES:
            return 8 // (self.bits[0] - 8)
        return self.cluster or 1

    @property
    def granularity(self) -> int:
        """Pixels a line (or a frame without stride) must be a multiple of."""
        k, c = self.group_components, (1 if self.planar else len(self.channels))
        return k // math.gcd(k, c)

    def group(self) -> tuple[int, int]:
        """(bits, pixels) of the smallest repeating run that starts on a byte."""
        c = len(self.channels)
        grouped = self.mode in GROUPED_MODES or self.cluster
        pixels = math.lcm(self.group_components, c) // c if grouped else 1
        bits = self._slots(self._memory_sizes() * pixels)[1]
        more = math.lcm(bits, 8) // bits
        return bits * more, pixels * more

    def plane(self, channel: int) -> Ref:
        return replace(self, channels=(self.channels[channel],), order=(0,), bits=(self.bits[channel],),
                       kinds=(self.kinds[channel],), planar=False)

    def _memory_sizes(self) -> list[int]:
        return [self.bits[i] for i in self.order]

    # -- the stream --------------------------------------------------------

    def _slots(self, sizes: list[int]) -> tuple[list[tuple[int, int]], int]:
        """(bit position, width) of every stored word of a stream of components, and its bits."""
        if self.mode in GROUPED_MODES:
            k = self.group_components
            if len(sizes) % k:
                raise ValueError(f"{len(sizes)} components split a group of {k}")
            width = 24 if self.mode == "gige" else 8 * k + 8
            return [(i * width, width) for i in range(len(sizes) // k)], len(sizes) // k * width
        if self.cluster and len(sizes) % self.cluster:
            raise ValueError(f"{len(sizes)} components split a cluster of {self.cluster}")
        unit = self.cluster or (len(self.channels) if self.align else 0)
        slots, pos = [], 0
        for i, n in enumerate(sizes):
            if unit and self.align and i and i % unit == 0:
                pos = _up(pos, self.align)
            width = _container(n) if self.mode.startswith("unpacked") else n
            slots.append((pos, width))
            pos += width
        return slots, (_up(pos, self.align) if self.align else pos)

    def _words(self, raws: list[int], sizes: list[int]) -> list[int]:
        if self.mode in GROUPED_MODES:
            k, low = self.group_components, sizes[0] - 8
            lm = (1 << low) - 1
            words = []
            for i in range(0, len(raws), k):
                g = raws[i:i + k]
                if self.mode == "gige":
                    words.append((g[0] >> low) | ((g[0] & lm) | (g[1] & lm) << 4) << 8 | (g[1] >> low) << 16)
                    continue
                shifts = [low * j if self.mode == "grouped" else 8 - low * (j + 1) for j in range(k)]
                lows = sum((v & lm) << s for v, s in zip(g, shifts))
                words.append(sum((v >> low) << 8 * j for j, v in enumerate(g)) | lows << 8 * k)
            return words
        if not self.mode.startswith("unpacked"):
            return list(raws)
        words = []
        for v, n in zip(raws, sizes):
            c = _container(n)
            w = v << (c - n) if self.mode == "unpacked-msb" else v
            words.append(int.from_bytes(w.to_bytes(c // 8, "little"), self.byte_order))
        return words

    def _raws(self, words: list[int], sizes: list[int]) -> list[int]:
        if self.mode in GROUPED_MODES:
            k, low = self.group_components, sizes[0] - 8
            lm = (1 << low) - 1
            raws = []
            for w in words:
                if self.mode == "gige":
                    mid = (w >> 8) & 0xFF
                    raws += [(w & 0xFF) << low | (mid & lm), (w >> 16) << low | ((mid >> 4) & lm)]
                    continue
                shifts = [low * j if self.mode == "grouped" else 8 - low * (j + 1) for j in range(k)]
                lows = w >> 8 * k
                raws += [((w >> 8 * j) & 0xFF) << low | ((lows >> s) & lm) for j, s in enumerate(shifts)]
            return raws
        if not self.mode.startswith("unpacked"):
            return list(words)
        raws = []
        for w, n in zip(words, sizes):
            c = _container(n)
            w = int.from_bytes(w.to_bytes(c // 8, self.byte_order), "little")
            raws.append(w >> (c - n) if self.mode == "unpacked-msb" else w & ((1 << n) - 1))
        return raws

    def _line(self, raws, sizes, garbage) -> bytes:
        slots, total = self._slots(sizes)
        nbytes = -(-total // 8)
        size = nbytes * 8
        acc = used = 0
        for (pos, width), word in zip(slots, self._words(raws, sizes)):
            # In an msb-first stream, stream bit k is bit size-1-k of the big-endian integer.
            shift = size - pos - width if self.mode == "msb" else pos
            acc |= word << shift
            used |= ((1 << width) - 1) << shift
        if garbage is not None:
            acc |= int.from_bytes(garbage.bytes(nbytes), "little") & ~used
        return acc.to_bytes(nbytes, "big" if self.mode == "msb" else "little")

    def _read_line(self, data: bytes, sizes) -> list[int]:
        slots, total = self._slots(sizes)
        nbytes = -(-total // 8)
        if len(data) < nbytes:
            raise ValueError("short")
        size = nbytes * 8
        acc = int.from_bytes(data[:nbytes], "big" if self.mode == "msb" else "little")
        words = [(acc >> (size - pos - width if self.mode == "msb" else pos)) & ((1 << width) - 1)
                 for pos, width in slots]
        return self._raws(words, sizes)

    def line_bytes(self, width: int) -> int:
        if self.planar:
            return max(self.plane(c).line_bytes(width) for c in range(len(self.channels)))
        return -(-self._slots(self._memory_sizes() * width)[1] // 8)

    # -- frames ------------------------------------------------------------

    def buffer_size(self, width: int, height: int, stride: int | None = None) -> int:
        if self.planar:
            return sum(self.plane(c).buffer_size(width, height, stride) for c in range(len(self.channels)))
        if stride is not None:
            return stride * height
        return -(-self._slots(self._memory_sizes() * (width * height))[1] // 8)

    def _to_raw(self, pix: np.ndarray) -> np.ndarray:
        """(n, C) values in channel order -> (n, C) unsigned bit patterns as Python ints."""
        cols = []
        for c, (n, kind) in enumerate(zip(self.bits, self.kinds)):
            col = pix[:, c]
            if kind == "f":
                col = col.astype(f"f{n // 8}").view(f"u{n // 8}").astype(object)
            else:
                col = col.astype(object)
                if kind == "u" and any(v < 0 or v >> n for v in col):
                    raise ValueError("out of range")
                if kind == "s":
                    if any(not -(1 << n - 1) <= v < 1 << n - 1 for v in col):
                        raise ValueError("out of range")
                    col = col & ((1 << n) - 1)
            cols.append(col)
        return np.stack(cols, axis=1)

    def _from_raw(self, raws: list[int], count: int) -> np.ndarray:
        grid = np.array(raws, dtype=object).reshape(count, len(self.order))
        out = np.empty((count, len(self.channels)), dtype=self.dtype)
        for slot, c in enumerate(self.order):
            n, col = self.bits[c], grid[:, slot]
            if self.kinds[c] == "f":
                out[:, c] = np.array(list(col), dtype=f"u{n // 8}").view(f"f{n // 8}")
            elif self.kinds[c] == "s":
                out[:, c] = [v - (1 << n) if v >> (n - 1) else v for v in col]
            else:
                out[:, c] = list(col)
        return out

    def pack(self, image, stride: int | None = None, garbage: np.random.Generator | None = None) -> bytes:
        """The bytes of ``image`` ((h, w) or (h, w, C) in channel order); padding is zero,
        or random when ``garbage`` is a Generator."""
        image = np.asarray(image)
        h, w = image.shape[:2]
        pix = image.reshape(h, w, -1)
        if self.planar:
            return b"".join(self.plane(c).pack(pix[:, :, c], stride, garbage) for c in range(len(self.channels)))
        parts = [pix.reshape(1, -1, pix.shape[2])] if stride is None else [pix[y:y + 1] for y in range(h)]
        out = bytearray()
        for part in parts:
            raw = self._to_raw(part.reshape(-1, pix.shape[2]))
            raws = [int(v) for row in raw[:, list(self.order)] for v in row]
            line = self._line(raws, self._memory_sizes() * part.shape[1], garbage)
            if stride is not None:
                if stride < len(line):
                    raise ValueError("stride too small")
                pad = stride - len(line)
                line += garbage.bytes(pad) if garbage is not None else bytes(pad)
            out += line
        return bytes(out)

    def unpack(self, data: bytes, width: int, height: int, stride: int | None = None) -> np.ndarray:
        data = bytes(data)
        if self.planar:
            planes, at = [], 0
            for c in range(len(self.channels)):
                plane = self.plane(c)
                size = plane.buffer_size(width, height, stride)
                planes.append(plane.unpack(data[at:at + size], width, height, stride))
                at += size
            return np.stack(planes, axis=2).astype(self.dtype)
        sizes = self._memory_sizes()
        if stride is None:
            raws = self._read_line(data, sizes * (width * height))
        else:
            raws = [v for y in range(height) for v in self._read_line(data[y * stride:(y + 1) * stride], sizes * width)]
        out = self._from_raw(raws, width * height).reshape(height, width, len(self.channels))
        return out[:, :, 0] if len(self.channels) == 1 else out

    def random(self, rng: np.random.Generator, width: int, height: int) -> np.ndarray:
        """Values covering each channel's whole range, in the output dtype."""
        shape = (height, width)
        cols = []
        for n, kind in zip(self.bits, self.kinds):
            if kind == "f":
                col = rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, shape)
                col.flat[: min(3, col.size)] = [np.inf, -0.0, -np.inf][: min(3, col.size)]
            elif kind == "s":
                col = rng.integers(-(1 << n - 1), 1 << n - 1, shape, dtype=np.int64)
            else:
                col = rng.integers(0, 1 << n, shape, dtype=np.uint64)
            cols.append(np.asarray(col).astype(self.dtype))
        out = np.stack(cols, axis=2)
        return out[:, :, 0] if len(cols) == 1 else out


@dataclass(frozen=True)
class SubRef:
    """A subsampled format: its samples as a stream of blocks, each block one
    "pixel" of a plain Ref whose channels are the block's samples in memory order
    (YCbCr422_8: Y Cb Y Cr), or semiplanar: a luma plane and a plane of chroma
    pairs, one pair per block (and per two lines for 4:2:0)."""

    name: str
    channels: tuple[str, ...]
    bits: tuple[int, ...]
    kinds: tuple[str, ...]
    across: int  # pixels of a line that share a chroma sample
    down: int  # lines that share one
    block: tuple[str, ...]  # memory order of a block (stream), or the chroma plane's pair
    stream: Ref  # the blocks (stream) or the chroma pairs (semiplanar), one per "pixel"
    luma: Ref | None  # the luma plane of a semiplanar format
    planar = False

    @classmethod
    def of(cls, fmt, byte_order: str = "little") -> SubRef:
        channels = tuple(channel_name(c) for c in fmt.components)
        location = getattr(fmt.components, "location", None)
        j, a, b = location.fields if isinstance(location, LMNLocation) else (1, 1, 1)
        across, down = j // a, (1 if b == a else 2)
        kinds = tuple(_KINDS.get(fmt.data_types[i]) for i in range(len(channels)))
        if None in kinds:
            raise Unsupported("custom data type")
        sizes = tuple(fmt.size.sizes)
        p = fmt.packing
        mode = _mode(p, sizes)
        suffix = fmt.interface_specific
        luma = None
        if suffix is not None and not isinstance(suffix, (PlaneGroups, ComponentsSequencing)):
            raise Unsupported("planes of subsampled channels")
        if isinstance(suffix, PlaneGroups) and suffix.layout != "Semiplanar":
            raise Unsupported("plane groups")
        if down > 1 and not isinstance(suffix, PlaneGroups):
            raise Unsupported("4:2:0 stream")
        if isinstance(suffix, PlaneGroups):
            block = suffix.groups[1]
            luma = Ref(fmt.designation(), channels[:1], (0,), sizes[:1], kinds[:1], mode, p.alignment,
                       p.cluster_marker, False, byte_order)
        elif isinstance(suffix, ComponentsSequencing):
            block = tuple(suffix.components)
        else:  # luma first: half the block's luma, the first chroma, the rest, the second
            y, cb, cr = channels
            block = (y,) * (across // 2) + (cb,) + (y,) * (across - across // 2) + (cr,)
        size_of = dict(zip(channels, sizes))
        stream = Ref(fmt.designation(), tuple(f"{c}{i}" for i, c in enumerate(block)), tuple(range(len(block))),
                     tuple(size_of[c] for c in block), (kinds[0],) * len(block), mode, p.alignment,
                     p.cluster_marker, False, byte_order)
        return cls(fmt.designation(), channels, sizes, kinds, across, down, block, stream, luma)

    @property
    def mode(self) -> str:
        return self.stream.mode

    @property
    def dtype(self) -> np.dtype:
        return Ref.dtype.fget(self)  # type: ignore[attr-defined]

    @property
    def granularity(self) -> int:
        if self.luma is None:
            return self.stream.granularity * self.across
        pairs = self.stream.group()[1]
        return math.lcm(self.across, self.luma.granularity, pairs * self.across)

    def group(self) -> tuple[int, int]:
        if self.luma is None:
            bits, blocks = self.stream.group()
            return bits, blocks * self.across
        pixels = self.across * self.down
        return pixels * self.bits[0] + sum(self.bits[1:]), pixels

    # -- blocks and pixels ---------------------------------------------------

    def _samples(self, image: np.ndarray) -> np.ndarray:
        """(h / down, w / across, len(block)): each block's samples, chroma from its first pixel."""
        cols, luma = [], 0
        for c in self.block:
            if c == self.channels[0]:
                cols.append(image[:, luma::self.across, 0])
                luma += 1
            else:
                cols.append(image[:: self.down, :: self.across, self.channels.index(c)])
        return np.stack(cols, axis=2)

    def _pixels(self, samples: np.ndarray, out: np.ndarray) -> None:
        luma = 0
        for k, c in enumerate(self.block):
            if c == self.channels[0]:
                out[:, luma::self.across, 0] = samples[:, :, k]
                luma += 1
            else:
                full = np.repeat(np.repeat(samples[:, :, k], self.across, axis=1), self.down, axis=0)
                out[:, :, self.channels.index(c)] = full

    def _chroma_line_bytes(self, width: int) -> int:
        return self.stream.line_bytes(width // self.across)

    def line_bytes(self, width: int) -> int:
        if self.luma is None:
            return self.stream.line_bytes(width // self.across)
        return max(self.luma.line_bytes(width), self._chroma_line_bytes(width))

    def buffer_size(self, width: int, height: int, stride: int | None = None) -> int:
        if self.luma is None:
            return self.stream.buffer_size(width // self.across, height, stride)
        lines = height // self.down
        return self.luma.buffer_size(width, height, stride) + (stride or self._chroma_line_bytes(width)) * lines

    def pack(self, image, stride: int | None = None, garbage: np.random.Generator | None = None) -> bytes:
        image = np.asarray(image)
        samples = self._samples(image)
        if self.luma is None:
            return self.stream.pack(samples, stride, garbage)
        out = self.luma.pack(image[:, :, 0], stride, garbage)
        # Each chroma line starts on a byte: a stream of its own.
        line_stride = stride or self._chroma_line_bytes(image.shape[1])
        return out + self.stream.pack(samples, line_stride, garbage)

    def unpack(self, data: bytes, width: int, height: int, stride: int | None = None) -> np.ndarray:
        data = bytes(data)
        out = np.empty((height, width, len(self.channels)), self.dtype)
        if self.luma is None:
            self._pixels(self.stream.unpack(data, width // self.across, height, stride), out)
            return out
        size = self.luma.buffer_size(width, height, stride)
        out[:, :, 0] = self.luma.unpack(data[:size], width, height, stride)
        line_stride = stride or self._chroma_line_bytes(width)
        chroma = self.stream.unpack(data[size:], width // self.across, height // self.down, line_stride)
        self._pixels(chroma, out)
        return out

    def random(self, rng: np.random.Generator, width: int, height: int) -> np.ndarray:
        """Luma at every pixel, chroma one random value per block, repeated over it."""
        top = (1 << max(self.bits)) - 1
        out = rng.integers(0, top + 1, (height, width, len(self.channels))).astype(self.dtype)
        for c in range(1, len(self.channels)):
            sample = rng.integers(0, (1 << self.bits[c]), (height // self.down, width // self.across))
            out[:, :, c] = np.repeat(np.repeat(sample, self.across, axis=1), self.down, axis=0)
        out[:, :, 0] &= (1 << self.bits[0]) - 1
        return out
