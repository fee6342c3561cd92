"""Engine kernels on 2448 x 2048 frames: milliseconds per frame against a memcpy
of the output bytes, measured in the same loop.

    python benchmarks/bench_engine.py [--repeat N] [substring ...]

Each row is the median of N runs (default 21) into preallocated arrays, so it
shows the kernel alone; the baseline copies as many bytes as the row writes
(np.copyto between two preallocated byte arrays, which is a memcpy).  The
"2 threads" row decodes two frames at once, against two memcpys one after the
other: below 1 means the two decodes overlapped.
"""

from __future__ import annotations

import argparse
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from korvell.pfnc.decoders._engine import Program, decode, encode

WIDTH, HEIGHT = 2448, 2048
PIXELS = WIDTH * HEIGHT


def lsb_stream(bits: int, values: int, out_bytes: int, msb: bool = False) -> Program:
    """A continuous stream of ``bits``-bit values, one group of whole bytes."""
    while (bits * values) % 8:
        values *= 2
    pieces = [(bits * i, bits, i, 0) for i in range(values)]
    return Program(bits * values // 8, values, pieces, msb, out_bytes, [0] * values)


# name: (program, values per pixel, planar)
PROGRAMS = {
    "Mono8 (copy)": (Program(1, 1, [(0, 8, 0, 0)], False, 1, [0]), 1, False),
    "Mono16 (copy)": (Program(2, 1, [(0, 16, 0, 0)], False, 2, [0]), 1, False),
    "Mono16 big (byteswap)": (Program(2, 1, [(0, 16, 0, 0)], True, 2, [0]), 1, False),
    "RGB8_Planar (copy, step 3)": (Program(1, 1, [(0, 8, 0, 0)], False, 1, [0]), 3, True),
    "RGB16_Planar (copy, step 3)": (Program(2, 1, [(0, 16, 0, 0)], False, 2, [0]), 3, True),
    "Mono12p": (lsb_stream(12, 2, 2), 1, False),
    "Mono12pmsb": (lsb_stream(12, 2, 2, msb=True), 1, False),
    "Mono12Packed": (Program(3, 2, [(0, 8, 0, 4), (8, 4, 0, 0), (12, 4, 1, 0), (16, 8, 1, 4)], False, 2, [0, 0]), 1,
                     False),
    "Mono10p": (lsb_stream(10, 4, 2), 1, False),
    "Mono14p": (lsb_stream(14, 4, 2), 1, False),
    "Mono10g": (Program(5, 4, [(8 * i, 8, i, 2) for i in range(4)] + [(32 + 2 * i, 2, i, 0) for i in range(4)],
                        False, 2, [0] * 4), 1, False),
    "Mono4p": (lsb_stream(4, 2, 1), 1, False),
    "Mono1p": (lsb_stream(1, 8, 1), 1, False),
    "Mono10msb": (Program(2, 1, [(6, 10, 0, 0)], False, 2, [0]), 1, False),
    "RGB565p": (Program(2, 3, [(0, 5, 0, 0), (5, 6, 1, 0), (11, 5, 2, 0)], False, 1, [0] * 3), 3, False),
    "RGB10p32": (Program(4, 3, [(0, 10, 0, 0), (10, 10, 1, 0), (20, 10, 2, 0)], False, 2, [0] * 3), 3, False),
    "RGB8a32 (word)": (Program(4, 3, [(0, 8, 0, 0), (8, 8, 1, 0), (16, 8, 2, 0)], False, 1, [0] * 3), 3, False),
    "YCbCr8_CbYCr (word)": (Program(3, 3, [(0, 8, 1, 0), (8, 8, 0, 0), (16, 8, 2, 0)], False, 1, [0] * 3), 3, False),
    "Mono10s (word, signed)": (Program(2, 1, [(0, 10, 0, 0)], False, 2, [10]), 1, False),
    "RGB10p (15 bytes)": (lsb_stream(10, 12, 2), 3, False),
    "RGB12p (9 bytes)": (lsb_stream(12, 6, 2), 3, False),
}
ENCODED = ("Mono16 (copy)", "Mono12p", "Mono10p", "Mono12Packed", "RGB10p32")


def frame(program: Program, per_pixel: int, planar: bool, rng: np.random.Generator):
    """(stream bytes, values array, geometry) of one frame."""
    count = PIXELS * (1 if planar else per_pixel)
    planes = per_pixel if planar else 1
    stream = rng.integers(0, 256, program.byte_count(count) * planes, dtype=np.uint8)
    values = np.empty(PIXELS * per_pixel, dtype=np.dtype(f"u{program.out_bytes}"))
    if planar:
        geometry = dict(count=count, runs=planes, src_stride=program.byte_count(count), dst_line=1, dst_step=planes)
    else:
        geometry = dict(count=count)
    return stream, values, geometry


def median_ms(fn, baseline, repeat: int) -> tuple[float, float]:
    times, base = [], []
    for _ in range(repeat):
        t = time.perf_counter()
        baseline()
        base.append(time.perf_counter() - t)
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times) * 1e3, statistics.median(base) * 1e3


def rows(repeat: int, wanted: list[str]):
    rng = np.random.default_rng(1)
    for name, (program, per_pixel, planar) in PROGRAMS.items():
        if wanted and not any(w.lower() in name.lower() for w in wanted):
            continue
        stream, values, g = frame(program, per_pixel, planar, rng)
        a, b = np.empty(values.nbytes, np.uint8), np.zeros(values.nbytes, np.uint8)
        memcpy = lambda: np.copyto(a, b)  # noqa: E731
        ms, base = median_ms(lambda: decode(program, stream, values, **g), memcpy, repeat)
        yield f"decode {name}", program.kernel, ms, base
        if name in ENCODED:
            decode(program, stream, values, **g)
            out = np.zeros_like(stream)
            ms, base = median_ms(lambda: encode(program, values, out, **g), memcpy, repeat)
            yield f"encode {name}", program.kernel, ms, base
    if not wanted or any(w.lower() in "2 threads" for w in wanted):
        program, per_pixel, planar = PROGRAMS["Mono12p"]
        frames = [frame(program, per_pixel, planar, rng) for _ in range(2)]
        a, b = np.empty(frames[0][1].nbytes, np.uint8), np.zeros(frames[0][1].nbytes, np.uint8)
        with ThreadPoolExecutor(2) as pool:
            def both():
                list(pool.map(lambda f: decode(program, f[0], f[1], **f[2]), frames))

            ms, base = median_ms(both, lambda: (np.copyto(a, b), np.copyto(a, b)), repeat)
        yield "decode Mono12p, 2 frames in 2 threads", program.kernel, ms, base


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    print(f"| kernel run ({WIDTH} x {HEIGHT}) | kernel | ms | memcpy ms | ratio |")
    print("|---|---|---:|---:|---:|")
    for name, kernel, ms, base in rows(args.repeat, args.names):
        print(f"| {name} | {kernel} | {ms:.2f} | {base:.2f} | {ms / base:.2f} |", flush=True)


if __name__ == "__main__":
    main()
