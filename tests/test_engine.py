"""The decoding engine against a Python reading of the program rules: random
programs of every kernel class, partial groups, runs, steps and sign extension,
and the checks that guard the buffers."""

import pickle
import random

import numpy as np
import pytest

from korvell.pfnc.decoders import _engine
from korvell.pfnc.decoders._engine import Program, decode, encode

UINT = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}


# ---------------------------------------------------------------------------
# The reference: Python integers, one value at a time.


def ref_byte_count(p, count):
    full, rest = divmod(count, p.group_values)
    reach = max((s + w for s, w, d, *_ in p.pieces if d < rest), default=0)
    return full * p.group_bytes + -(-reach // 8)


def ref_value(p, group, j):
    """Value j of a group: the group is one integer, little- or big-endian."""
    n = 8 * p.group_bytes
    s = int.from_bytes(group.ljust(p.group_bytes, b"\0"), "big" if p.msb_first else "little")
    v = 0
    for o, w, d, shift, *_ in p.pieces:
        if d == j:
            v |= ((s >> (n - o - w) if p.msb_first else s >> o) & ((1 << w) - 1)) << shift
    bits = p.sign_bits[j]
    if bits:
        low = v & ((1 << bits) - 1)
        v = low - (1 << bits) if low >> (bits - 1) else low
    return v % (1 << (8 * p.out_bytes))


def positions(p, runs, count, src_offset, src_stride, dst_offset, dst_step, dst_line):
    """(stream byte of the group, value in the group, element) of every value."""
    for y in range(runs):
        for i in range(count):
            g, j = divmod(i, p.group_values)
            yield src_offset + y * src_stride + g * p.group_bytes, j, dst_offset + y * dst_line + i * dst_step


def ref_decode(p, src, values, geometry):
    out = [int(v) for v in values]
    for at, j, e in positions(p, **geometry):
        out[e] = ref_value(p, bytes(src[at : at + p.group_bytes]), j)
    return out


def ref_encode(p, values, stream, geometry):
    """Each piece bit set where the stream numbering puts it: lsb first, bit b is
    bit b % 8 of byte b // 8; msb first, bit 7 - b % 8.  Copies are not written."""
    out = bytearray(stream)
    for at, j, e in positions(p, **geometry):
        v = int(values[e])
        for o, w, d, shift, *copy in p.pieces:
            if d != j or copy:
                continue
            for k in range(w):
                if (v >> (shift + k)) & 1:
                    b = o + (w - 1 - k) if p.msb_first else o + k
                    out[at + b // 8] |= (0x80 >> (b % 8)) if p.msb_first else (1 << (b % 8))
    return bytes(out)


# ---------------------------------------------------------------------------
# Programs: the common layouts, and random ones.

NAMED = {
    "Mono8": (1, 1, [(0, 8, 0, 0)], False, 1, [0]),
    "RGB16": (6, 3, [(0, 16, 0, 0), (16, 16, 1, 0), (32, 16, 2, 0)], False, 2, [0, 0, 0]),
    "Mono16-big": (2, 1, [(0, 16, 0, 0)], True, 2, [0]),
    "Coord3D_ABC32-big": (12, 3, [(0, 32, 0, 0), (32, 32, 1, 0), (64, 32, 2, 0)], True, 4, [0, 0, 32]),
    "Mono64-big": (8, 1, [(0, 64, 0, 0)], True, 8, [0]),
    "Mono12p": (3, 2, [(0, 12, 0, 0), (12, 12, 1, 0)], False, 2, [0, 0]),
    "Mono12pmsb": (3, 2, [(0, 12, 0, 0), (12, 12, 1, 0)], True, 2, [0, 0]),
    "Mono10p": (5, 4, [(10 * i, 10, i, 0) for i in range(4)], False, 2, [0] * 4),
    "Mono14p": (7, 4, [(14 * i, 14, i, 0) for i in range(4)], False, 2, [0] * 4),
    "Mono12Packed": (3, 2, [(0, 8, 0, 4), (8, 4, 0, 0), (12, 4, 1, 0), (16, 8, 1, 4)], False, 2, [0, 0]),
    "Mono10g": (5, 4, [(8 * i, 8, i, 2) for i in range(4)] + [(32 + 2 * i, 2, i, 0) for i in range(4)],
                False, 2, [0] * 4),
    "Mono1p": (1, 8, [(i, 1, i, 0) for i in range(8)], False, 1, [0] * 8),
    "RGB565p": (2, 3, [(0, 5, 0, 0), (5, 6, 1, 0), (11, 5, 2, 0)], False, 1, [0, 0, 0]),
    "RGB10p32": (4, 3, [(0, 10, 0, 0), (10, 10, 1, 0), (20, 10, 2, 0)], False, 2, [0, 0, 0]),
    "YCbCr8_CbYCr": (3, 3, [(0, 8, 1, 0), (8, 8, 0, 0), (16, 8, 2, 0)], False, 1, [0, 0, 0]),
    "Mono10msb": (2, 1, [(6, 10, 0, 0)], False, 2, [0]),
    "Mono12s-msb-aligned": (3, 2, [(0, 12, 0, 4), (12, 12, 1, 4)], False, 2, [16, 16]),
    "Mono10s": (2, 1, [(0, 10, 0, 0)], False, 2, [10]),
    "five-values": (5, 5, [(8 * i, 8, i, 0) for i in range(5)], False, 2, [0, 8, 0, 0, 3]),
    "RGB10p": (15, 12, [(10 * i, 10, i, 0) for i in range(12)], False, 2, [0] * 12),
    "RGB12pmsb": (9, 6, [(12 * i, 12, i, 0) for i in range(6)], True, 2, [0] * 6),
    "wide-64": (17, 2, [(3, 64, 0, 0), (67, 64, 1, 0)], True, 8, [0, 64]),
    # chroma shared by two pixels: Y0 Cb Y1 Cr into (Y, Cb, Cr) twice
    "YCbCr422_8": (4, 6, [(0, 8, 0, 0), (8, 8, 1, 0), (24, 8, 2, 0), (16, 8, 3, 0), (8, 8, 4, 0, True),
                          (24, 8, 5, 0, True)], False, 1, [0] * 6),
    "YCbCr422_10p": (5, 6, [(0, 10, 0, 0), (10, 10, 1, 0), (30, 10, 2, 0), (20, 10, 3, 0), (10, 10, 4, 0, True),
                            (30, 10, 5, 0, True)], False, 2, [0] * 6),
}
KERNELS = {"Mono8": "copy", "RGB16": "copy", "Mono16-big": "byteswap", "Mono12p": "word", "RGB10p": "generic"}


def random_program(rng):
    """Values of random bit counts in random pieces, laid out in the group in a
    shuffled order with gaps; small groups land in the word kernel."""
    out_bytes = rng.choice([1, 2, 4, 8])
    pieces, values = [], rng.randint(1, 5)
    for j in range(values):
        bits = rng.randint(1, 8 * out_bytes)
        cuts = sorted(rng.sample(range(1, bits), min(rng.randint(0, 2), bits - 1)))
        base = rng.randint(0, 8 * out_bytes - bits)
        for lo, hi in zip([0, *cuts], [*cuts, bits]):
            pieces.append((hi - lo, j, base + lo))
    rng.shuffle(pieces)
    laid, at = [], rng.choice([0, 0, 3])
    for width, j, shift in pieces:
        laid.append((at, width, j, shift))
        at += width + rng.choice([0, 0, 0, 1, 5])
    group_bytes = -(-(at + rng.choice([0, 0, 9])) // 8)
    # Copies: values that repeat another value's pieces.
    originals = values
    for _ in range(rng.choice([0, 0, 0, 1, 3])):
        source = rng.randrange(originals)
        laid += [(at, width, values, shift, True) for at, width, j, shift in laid[:len(pieces)] if j == source]
        values += 1
    signs = [rng.choice([0, 0, rng.randint(1, 8 * out_bytes)]) for _ in range(values)]
    return Program(group_bytes, values, laid, rng.random() < 0.5, out_bytes, signs)


def random_geometry(p, rng, overlap_ok):
    count = rng.choice([0, 1, rng.randint(1, 3 * p.group_values + 2), rng.randint(1, 40), rng.randint(40, 400), rng.randint(40, 400)])
    runs = rng.choice([0, 1, 2, 3])
    span = ref_byte_count(p, count)
    stride = rng.choice([0, span, span + rng.randint(1, 5)]) if overlap_ok else span + rng.choice([0, 0, 3])
    step = rng.choice([1, 1, 1, 2, 3])
    line = (count - 1) * step + 1 + rng.choice([0, 2]) if count else 0
    return dict(runs=runs, count=count, src_offset=rng.choice([0, 1, 5]), src_stride=stride,
                dst_offset=rng.choice([0, 2]), dst_step=step, dst_line=line)


def sizes(p, g):
    """(stream bytes, elements) the geometry needs, plus a few to spare."""
    if not (g["runs"] and g["count"]):
        return 3, 2
    stream = g["src_offset"] + (g["runs"] - 1) * g["src_stride"] + ref_byte_count(p, g["count"])
    last = g["dst_offset"] + (g["runs"] - 1) * g["dst_line"] + (g["count"] - 1) * g["dst_step"]
    return stream + 3, last + 3


CASES = [(name, seed) for name in NAMED for seed in range(3)] + [(None, seed) for seed in range(200)]


def case_program(name, seed, vectorize=True):
    """The program of a case, made with the vector kernel allowed or not."""
    rng = random.Random(seed)
    before = _engine._vectorize(vectorize)
    try:
        return (Program(*NAMED[name]) if name else random_program(rng)), rng
    finally:
        _engine._vectorize(before)


def case_ids(cases):
    return [f"{n or 'random'}-{s}" for n, s in cases]


@pytest.mark.parametrize("vectorize", [True, False], ids=["vector", "scalar"])
@pytest.mark.parametrize("name, seed", CASES, ids=case_ids(CASES))
def test_decode_matches_reference(name, seed, vectorize):
    p, rng = case_program(name, seed, vectorize)
    g = random_geometry(p, rng, overlap_ok=True)
    stream_bytes, elements = sizes(p, g)
    src = bytes(rng.getrandbits(8) for _ in range(stream_bytes))
    dst = np.array([rng.getrandbits(8 * p.out_bytes) for _ in range(elements)], dtype=UINT[p.out_bytes])
    expected = ref_decode(p, src, dst, g)
    decode(p, src, dst, **g)
    assert dst.tolist() == expected


@pytest.mark.parametrize("vectorize", [True, False], ids=["vector", "scalar"])
@pytest.mark.parametrize("name, seed", CASES, ids=case_ids(CASES))
def test_encode_matches_reference(name, seed, vectorize):
    p, rng = case_program(name, seed, vectorize)
    g = random_geometry(p, rng, overlap_ok=False)
    stream_bytes, elements = sizes(p, g)
    values = np.array([rng.getrandbits(8 * p.out_bytes) for _ in range(elements)], dtype=UINT[p.out_bytes])
    kept = values.copy()
    # The zero-filled runs; bytes outside them are left as they were.
    spans = {g["src_offset"] + y * g["src_stride"] + i for y in range(g["runs"] if g["count"] else 0)
             for i in range(ref_byte_count(p, g["count"]))}
    other = bytes(0 if i in spans else rng.getrandbits(8) for i in range(stream_bytes))
    dst = bytearray(other)
    encode(p, values, dst, **g)
    assert bytes(dst) == ref_encode(p, values, other, g)
    assert np.array_equal(values, kept)


@pytest.mark.parametrize("out_bytes", [1, 2, 4, 8])
@pytest.mark.parametrize("planes", [2, 3, 4, 5])
def test_planes_into_pixels(planes, out_bytes):
    """One call whose runs are the planes of a frame fills whole pixels."""
    p = Program(out_bytes, 1, [(0, 8 * out_bytes, 0, 0)], False, out_bytes, [0])
    count, rng = 53, random.Random(planes)
    g = dict(count=count, runs=planes, src_offset=3, src_stride=count * out_bytes + 5, dst_offset=1, dst_step=planes,
             dst_line=1)
    src = rng.randbytes(3 + planes * (count * out_bytes + 5))
    dst = np.zeros(count * planes + 2, UINT[out_bytes])
    expected = ref_decode(p, src, dst, g)
    decode(p, src, dst, **g)
    assert dst.tolist() == expected


@pytest.mark.parametrize("count", [1, 16, 17, 18, 33, 101])
def test_bytes_into_every_third_value_keep_the_others(count):
    """The luma call of a semiplanar frame: the values between are the chroma
    of earlier calls, up to the last element."""
    p = Program(*NAMED["Mono8"])
    rng = random.Random(count)
    g = dict(count=count, runs=2, src_offset=1, src_stride=count + 2, dst_offset=1, dst_step=3, dst_line=3 * count)
    src = rng.randbytes(2 * count + 5)
    dst = np.array([rng.getrandbits(8) for _ in range(6 * count + 1)], np.uint8)
    expected = ref_decode(p, src, dst, g)
    decode(p, src, dst, **g)
    assert dst.tolist() == expected


# Chroma pairs into (Y, Cb, Cr) of two pixels, luma slots as placeholders.
CHROMA = {
    "CbCr8": (2, 6, [(0, 8, 1, 0), (0, 8, 4, 0, True), (0, 8, 0, 0, True), (0, 8, 3, 0, True), (8, 8, 2, 0),
                     (8, 8, 5, 0, True)], False, 1, [0] * 6),
    "CrCb8": (2, 6, [(0, 8, 2, 0), (0, 8, 5, 0, True), (0, 8, 0, 0, True), (0, 8, 3, 0, True), (8, 8, 1, 0),
                     (8, 8, 4, 0, True)], False, 1, [0] * 6),
    "CbCr16": (4, 6, [(0, 16, 1, 0), (0, 16, 4, 0, True), (0, 16, 0, 0, True), (0, 16, 3, 0, True), (16, 16, 2, 0),
                      (16, 16, 5, 0, True)], False, 2, [0] * 6),
    "CbCr10p": (5, 12, [(0, 10, 1, 0), (0, 10, 4, 0, True), (0, 10, 0, 0, True), (0, 10, 3, 0, True),
                        (10, 10, 2, 0), (10, 10, 5, 0, True), (20, 10, 7, 0), (20, 10, 10, 0, True),
                        (20, 10, 6, 0, True), (20, 10, 9, 0, True), (30, 10, 8, 0), (30, 10, 11, 0, True)],
                False, 2, [0] * 12),
}


def semiplanar_case(luma_name, chroma_name, width, height, down, pad):
    luma = Program(*(NAMED[luma_name] if luma_name in NAMED else (2, 1, [(0, 16, 0, 0)], False, 2, [0])))
    chroma = Program(*CHROMA[chroma_name])
    line = 3 * width
    luma_stride = luma.byte_count(width) + pad
    chroma_offset = 3 + luma_stride * height
    chroma_stride = chroma.byte_count(line) + pad
    g = dict(width=width, height=height, down=down, luma_offset=3, luma_stride=luma_stride,
             chroma_offset=chroma_offset, chroma_stride=chroma_stride)
    src = random.Random(width * height).randbytes(chroma_offset + chroma_stride * (height // down))
    return luma, chroma, g, src


@pytest.mark.parametrize("vectorize", [True, False], ids=["vector", "scalar"])
@pytest.mark.parametrize("luma_name, chroma_name", [("Mono8", "CbCr8"), ("Mono8", "CrCb8"), ("Mono16", "CbCr16"),
                                                   ("Mono10p", "CbCr10p")])
@pytest.mark.parametrize("width, height, down, pad", [(4, 2, 2, 0), (12, 4, 2, 3), (36, 6, 1, 0), (100, 2, 2, 7),
                                                      (8, 3, 3, 1), (3, 2, 2, 1)])
def test_semiplanar_lines_are_chroma_with_luma_over_it(luma_name, chroma_name, width, height, down, pad, vectorize):
    previous = _engine._vectorize(vectorize)
    try:
        luma, chroma, g, src = semiplanar_case(luma_name, chroma_name, width, height, down, pad)
        dst = np.zeros(3 * width * height, UINT[luma.out_bytes])
        _engine.decode_semiplanar(luma, chroma, src, dst, **g)
    finally:
        _engine._vectorize(previous)
    line = 3 * width
    expected = [0] * (line * height)
    for k in range(down):
        expected = ref_decode(chroma, src, expected, dict(
            count=line, runs=height // down, src_offset=g["chroma_offset"], src_stride=g["chroma_stride"],
            dst_offset=line * k, dst_step=1, dst_line=line * down))
    expected = ref_decode(luma, src, expected, dict(
        count=width, runs=height, src_offset=g["luma_offset"], src_stride=g["luma_stride"], dst_offset=0,
        dst_step=3, dst_line=line))
    assert dst.tolist() == expected


@pytest.mark.parametrize("change, message", [
    (dict(height=3), "height 3 is not a multiple of down"),
    (dict(dst_short=1), "dst holds 71 values, the frame needs 72"),
    (dict(src_short=1), "src holds"),
    (dict(width=1 << 49), "at most 2\\*\\*48"),
])
def test_semiplanar_refuses_untouched(change, message):
    luma, chroma, g, src = semiplanar_case("Mono8", "CbCr8", 12, 2, 2, 0)
    src = src[: len(src) - change.pop("src_short", 0)]
    dst = np.full(72 - change.pop("dst_short", 0), 7, np.uint8)
    with pytest.raises(ValueError, match=message):
        _engine.decode_semiplanar(luma, chroma, src, dst, **{**g, **change})
    assert (dst == 7).all()
    with pytest.raises(ValueError, match="same out_bytes"):
        _engine.decode_semiplanar(Program(*NAMED["Mono10p"]), chroma, src, dst, **g)


def test_random_programs_reach_every_kernel():
    kinds = {case_program(n, s)[0].kernel for n, s in CASES}
    assert kinds == {"copy", "byteswap", "word", "generic"}
    assert not any(case_program(n, s, vectorize=False)[0]._vectorized for n, s in CASES)
    if Program(*NAMED["Mono12p"])._vectorized:  # the processor has the vector kernel
        vectorized = {n: case_program(n, 0)[0]._vectorized for n in NAMED}
        assert [n for n in NAMED if not vectorized[n]] == ["Mono8", "RGB16", "Mono16-big", "Coord3D_ABC32-big", "Mono64-big", "wide-64"]
    assert any(len(q) == 5 for n, s in CASES for q in case_program(n, s)[0].pieces)
    assert [Program(*NAMED[n]).kernel for n in KERNELS] == list(KERNELS.values())


@pytest.mark.parametrize("name, data, values", [
    ("Mono12p", "BC 3A 12", [0xABC, 0x123]),
    ("Mono12pmsb", "AB C1 23", [0xABC, 0x123]),
    ("Mono12Packed", "AB 3C 12", [0xABC, 0x123]),
    ("Mono10p", "A5 6B 35 2C 3C", [0x3A5, 0x15A, 0x2C3, 0x0F0]),
    ("Mono10g", "E9 56 B0 3C 39", [0x3A5, 0x15A, 0x2C3, 0x0F0]),
    ("Mono14p", "BC EA D5 F4 FF 07 00", [0x2ABC, 0x1357, 0x3FFF, 0x0001]),
    ("Mono1p", "8D 01", [1, 0, 1, 1, 0, 0, 0, 1, 1]),
    ("RGB565p", "5F 2D", [0x1F, 0x2A, 0x05]),
    ("RGB10p32", "FF 57 A5 0A", [0x3FF, 0x155, 0x0AA]),
    ("RGB10p", "FF 57 A5 4A 00 02 0C 00", [0x3FF, 0x155, 0x0AA, 0x001, 0x002, 0x003]),
    ("Mono10msb", "40 E9", [0x3A5]),
    ("YCbCr422_8", "10 80 20 90", [0x10, 0x80, 0x90, 0x20, 0x80, 0x90]),
    ("YCbCr422_10p", "A5 6B 35 2C 3C", [0x3A5, 0x15A, 0x0F0, 0x2C3, 0x15A, 0x0F0]),
])  # fmt: skip
def test_worked_bytes(name, data, values):
    """Frames written out by hand from the bit rules, partial groups included."""
    p, stream = Program(*NAMED[name]), bytes.fromhex(data)
    out = np.zeros(len(values), UINT[p.out_bytes])
    decode(p, stream, out, count=len(values))
    assert out.tolist() == values
    packed = bytearray(len(stream))
    encode(p, out, packed, count=len(values))
    assert packed == stream


@pytest.mark.parametrize("vectorize", [True, False], ids=["vector", "scalar"])
@pytest.mark.parametrize("name", ["Mono12p", "Mono10p", "RGB565p", "Mono12Packed", "RGB10p32", "RGB10p"])
def test_runs_sharing_a_byte_keep_each_others_bits(name, vectorize):
    """A run's first and last bytes may hold bits of the runs around it, as
    where lines of a continuous stream end mid-byte."""
    p = case_program(name, 0, vectorize)[0]
    count = 40 * p.group_values + p.group_values // 2
    span = ref_byte_count(p, count)
    values = np.arange(count, dtype=UINT[p.out_bytes]) * 37 % 200
    alone = bytearray(span)
    encode(p, values, alone, count=count)
    dst = bytearray(span + 2)
    dst[1], dst[span] = 0x5A, 0xA5  # a neighbour's bits before and after the run
    encode(p, values, dst, count=count, src_offset=1)
    expected = bytearray(b"\0" + alone + b"\0")
    expected[1] |= 0x5A
    expected[span] |= 0xA5
    assert dst == expected


def test_runs_of_one_call_that_share_bytes_are_or_ed():
    nibble = Program(2, 1, [(0, 4, 0, 0)], False, 1, [0])  # a group of 2 bytes, 4 bits used
    values = np.arange(1, 101, dtype=np.uint8) % 16
    # run 1 lies in run 0's padding bytes
    g = dict(count=50, runs=2, src_offset=0, src_stride=1, dst_offset=0, dst_step=1, dst_line=50)
    dst = bytearray(101)
    encode(nibble, values, dst, **g)
    assert bytes(dst) == ref_encode(nibble, values, bytes(101), g)


# ---------------------------------------------------------------------------
# The program record.


def test_program_fields_repr_and_pickle():
    p = Program(*NAMED["Mono12Packed"])
    assert (p.group_bytes, p.group_values, p.msb_first, p.out_bytes) == (3, 2, False, 2)
    assert p.pieces == ((0, 8, 0, 4), (8, 4, 0, 0), (12, 4, 1, 0), (16, 8, 1, 4)) and p.sign_bits == (0, 0)
    for q in (eval(repr(p)), pickle.loads(pickle.dumps(p))):
        assert repr(q) == repr(p)
    shared = Program(*NAMED["YCbCr422_8"])
    assert shared.pieces[4] == (8, 8, 4, 0, True) and shared.pieces[0] == (0, 8, 0, 0)
    assert repr(pickle.loads(pickle.dumps(shared))) == repr(shared) == repr(eval(repr(shared)))
    with pytest.raises(AttributeError):
        p.group_bytes = 4


@pytest.mark.parametrize("name", ["Mono12p", "Mono1p", "RGB10p", "wide-64", "five-values"])
def test_byte_count(name):
    p = Program(*NAMED[name])
    for count in [0, 1, 2, 7, 12, 2**63 - 1]:
        assert p.byte_count(count) == ref_byte_count(p, count)
    with pytest.raises(ValueError, match="count must be >= 0, not -1"):
        p.byte_count(-1)


GOOD = dict(group_bytes=3, group_values=2, pieces=[(0, 12, 0, 0), (12, 12, 1, 0)], msb_first=False, out_bytes=2,
            sign_bits=[0, 0])


@pytest.mark.parametrize("change, error, message", [
    (dict(group_bytes=0), ValueError, "group_bytes must be between 1 and 4096, not 0"),
    (dict(group_values=4097), ValueError, "group_values must be between 1 and 4096, not 4097"),
    (dict(out_bytes=3), ValueError, "out_bytes must be 1, 2, 4 or 8, not 3"),
    (dict(pieces=[(0, 12, 0, 0), (12, 0, 1, 0)]), ValueError, r"pieces\[1\]: width must be between 1 and 64, not 0"),
    (dict(pieces=[(0, 12, 0, 0), (12, 12, 2, 0)]), ValueError, r"pieces\[1\]: dst must be between 0 and 1, not 2"),
    (dict(pieces=[(0, 12, 0, 5), (12, 12, 1, 0)]), ValueError,
     r"pieces\[0\]: shift \+ width exceeds the 16 bits of an output value"),
    (dict(pieces=[(0, 12, 0, 0), (13, 12, 1, 0)]), ValueError,
     r"pieces\[1\]: src_bit \+ width exceeds the group's 24 bits"),
    (dict(pieces=[(0, 12, 0, 0), (11, 12, 1, 0)]), ValueError,
     r"pieces\[1\]: its source bits overlap those of pieces\[0\]"),
    (dict(pieces=[(0, 12, 0, 0), (12, 4, 0, 8), (16, 8, 1, 0)]), ValueError,
     r"pieces\[1\]: its bits overlap another piece's in value 0"),
    (dict(pieces=[(0, 12, 0, 0)]), ValueError, "value 1 of the group has no piece"),
    (dict(pieces=[(0, 12, 0, 0), (2**70, 12, 1, 0)]), ValueError, r"pieces\[1\].src_bit is out of range: 1180"),
    (dict(sign_bits=[0]), ValueError, "sign_bits has 1 entries, group_values is 2"),
    (dict(sign_bits=[0, 17]), ValueError, r"sign_bits\[1\] must be between 0 and 16"),
    (dict(pieces=[(0, 12.0, 0, 0), (12, 12, 1, 0)]), TypeError, r"pieces\[0\].width must be int, not float"),
    (dict(pieces=[(0, 12, 0), (12, 12, 1, 0)]), ValueError, r"pieces\[0\] must hold 4 ints"),
    (dict(pieces=[(0, 12, 0, 0), (0, 11, 1, 0, True)]), ValueError,
     r"pieces\[1\]: a copy must repeat the src_bit, width and shift of a piece that is not a copy"),
    (dict(pieces=[(0, 12, 0, 0, True), (0, 12, 1, 0, True)]), ValueError, r"pieces\[0\]: a copy must repeat"),
    (dict(pieces=[(0, 12, 0, 0), (0, 12, 1, 0, 1)]), TypeError, r"pieces\[1\].copy must be bool, not int"),
    (dict(pieces={0: 1}), TypeError, "pieces must be a list of"),
    (dict(msb_first=1), TypeError, "msb_first must be bool, not int"),
    (dict(group_bytes="3"), TypeError, "group_bytes must be int, not str"),
    (dict(sign_bits=None), TypeError, "sign_bits must be a list of ints, not NoneType"),
])  # fmt: skip
def test_program_refuses(change, error, message):
    with pytest.raises(error, match=message):
        Program(**{**GOOD, **change})


# ---------------------------------------------------------------------------
# Checks before anything is read or written.

P12 = Program(*NAMED["Mono12p"])


@pytest.mark.parametrize("op", ["decode", "encode"])
def test_a_stream_one_byte_short_is_refused_untouched(op):
    geometry = dict(count=5, runs=2, src_offset=1, src_stride=10)  # needs 1 + 10 + 8 bytes
    stream, values = bytearray(range(18)), np.arange(12, dtype=np.uint16)
    before = (bytes(stream), values.copy())
    with pytest.raises(ValueError, match="holds 18 bytes, the frame needs 19"):
        (decode(P12, stream, values, **geometry) if op == "decode" else encode(P12, values, stream, **geometry))
    assert (bytes(stream), values.tolist()) == (before[0], before[1].tolist())


@pytest.mark.parametrize("op", ["decode", "encode"])
def test_values_one_short_are_refused(op):
    values = np.zeros(10, np.uint16)
    with pytest.raises(ValueError, match="holds 10 values, the frame needs 11"):
        geometry = dict(count=4, runs=2, dst_offset=1, dst_line=3, dst_step=2, src_stride=6)  # last 1 + 3 + 6
        (decode(P12, bytes(12), values, **geometry) if op == "decode" else encode(P12, values, bytearray(12), **geometry))


def needs(geometry):
    g = {"runs": 1, "src_offset": 0, "src_stride": 0, **geometry}
    return g["src_offset"] + (g["runs"] - 1) * g["src_stride"] + ref_byte_count(P12, g["count"])


@pytest.mark.parametrize("geometry, message", [
    (dict(count=2**62, runs=2**62, src_stride=2**62), f"src holds 6 bytes, the frame needs {needs(dict(count=2**62, runs=2**62, src_stride=2**62))}$"),
    (dict(count=2**63 - 1, dst_step=2**63 - 1), f"src holds 6 bytes, the frame needs {needs(dict(count=2**63 - 1))}$"),
    (dict(count=2, runs=2, dst_line=2**63 - 1), "dst holds 4 values, the frame needs 9223372036854775809$"),
    (dict(count=2**64), "count is out of range: 18446744073709551616"),
    (dict(count=-1), "count must be >= 0, not -1"),
    (dict(count=1, dst_step=0), "dst_step must be >= 1, not 0"),
    (dict(count=1, src_offset=-3), "src_offset must be >= 0, not -3"),
])  # fmt: skip
def test_overflowing_geometry_is_refused(geometry, message):
    with pytest.raises(ValueError, match=message):
        decode(P12, bytes(6), np.zeros(4, np.uint16), **geometry)


def test_nothing_to_do_needs_no_bytes():
    decode(P12, b"", np.zeros(0, np.uint16), count=0, runs=5, src_offset=100)
    decode(P12, b"", np.zeros(0, np.uint16), count=7, runs=0)


@pytest.mark.parametrize("src, dst, error, message", [
    (bytes(3), np.zeros(2, np.uint32), TypeError, r"dst must have items of the program's out_bytes \(2 bytes\)"),
    (bytes(3), np.zeros(2, np.uint16)[::1].view(np.uint8), TypeError, "not 1-byte items"),
    (bytes(3), np.zeros(4, np.uint16)[::2], ValueError, "dst must be C-contiguous"),
    (np.zeros(6, np.uint8)[::2], np.zeros(2, np.uint16), ValueError, "src must be C-contiguous"),
    (bytes(3), None, TypeError, "dst must be a buffer .* not NoneType"),
    ([1, 2, 3], np.zeros(2, np.uint16), TypeError, "src must be a buffer .* not list"),
    (bytes(3), np.empty(1, object), TypeError, "dst holds Python objects"),
    (np.empty(1, object), np.zeros(2, np.uint16), TypeError, "src holds Python objects"),
    (bytes(3), np.empty(1, [("x", "u1"), ("O", "O")]), TypeError, "dst holds Python objects"),
])  # fmt: skip
def test_bad_buffers_are_refused(src, dst, error, message):
    with pytest.raises(error, match=message):
        decode(P12, src, dst, count=2)


def test_read_only_and_shared_buffers_are_refused():
    frozen = np.zeros(2, np.uint16)
    frozen.setflags(write=False)
    with pytest.raises(ValueError, match="dst is read-only"):
        decode(P12, bytes(3), frozen, count=2)
    with pytest.raises(ValueError, match="dst is read-only"):
        encode(P12, np.zeros(2, np.uint16), bytes(3), count=2)
    with pytest.raises(TypeError, match="src must have items"):
        encode(P12, np.zeros(2, np.uint8), bytearray(3), count=2)
    frame = np.zeros(8, np.uint16)
    with pytest.raises(ValueError, match="src and dst share memory"):
        decode(P12, frame.view(np.uint8)[:3], frame[1:], count=2)


def test_any_dtype_of_the_item_size_gets_raw_bits():
    out = np.zeros(2, np.float16)
    decode(P12, bytes.fromhex("BC3A12"), out, count=2)
    assert out.view(np.uint16).tolist() == [0xABC, 0x123]
    decode(P12, memoryview(bytearray.fromhex("BC3A12")), out, count=1)
    assert out.view(np.uint16).tolist() == [0xABC, 0x123]
