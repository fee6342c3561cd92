"""Engine kernels on 2448 x 2048 frames: milliseconds per frame against a memcpy
of the output bytes, measured in the same loop.

    python benchmarks/bench_engine.py [--repeat N] [substring ...]

Each row is the median of N runs (default 21) into preallocated arrays, so it
shows the kernel alone; the baseline copies as many bytes as the row writes
(np.copyto from a preallocated byte array into the row's own output array,
which is a memcpy; for encode, into the row's stream).  The
"2 threads" row decodes two frames at once, against the same two decodes one
after the other in one thread: below 1 means they overlapped.
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
    "RGB8_Planar (copy, 3 planes in one call)": (Program(1, 1, [(0, 8, 0, 0)], False, 1, [0]), 3, True),
    "RGB16_Planar (copy, 3 planes in one call)": (Program(2, 1, [(0, 16, 0, 0)], False, 2, [0]), 3, True),
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
ENCODED = ("Mono16 (copy)", "Mono16 big (byteswap)", "Mono12p", "Mono10p", "Mono14p", "Mono12Packed", "RGB565p", "RGB10p32", "RGB10p (15 bytes)")


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
        # The baseline writes the same output array, so both see the same caches.
        a, b = values.view(np.uint8), np.ones(values.nbytes, np.uint8)
        memcpy = lambda: np.copyto(a, b)  # noqa: E731
        ms, base = median_ms(lambda: decode(program, stream, values, **g), memcpy, repeat)
        yield f"decode {name}", program.kernel, ms, base
        if planar:
            def per_plane():
                for y in range(per_pixel):
                    decode(program, stream, values, count=g["count"], src_offset=y * g["src_stride"], dst_offset=y,
                           dst_step=per_pixel)

            ms, base = median_ms(per_plane, memcpy, repeat)
            yield f"decode {name.split(' (')[0]} (copy, one call per plane, step 3)", program.kernel, ms, base
        if name in ENCODED:
            decode(program, stream, values, **g)
            out = np.zeros_like(stream)
            c, d = out, np.ones_like(stream)
            ms, base = median_ms(lambda: encode(program, values, out, **g), lambda: np.copyto(c, d), repeat)
            yield f"encode {name}", program.kernel, ms, base
    if not wanted or any(w.lower() in "2 threads" for w in wanted):
        program, per_pixel, planar = PROGRAMS["Mono12p"]
        frames = [frame(program, per_pixel, planar, rng) for _ in range(2)]
        with ThreadPoolExecutor(2) as pool:
            def both():
                list(pool.map(lambda f: decode(program, f[0], f[1], **f[2]), frames))

            def one_after_the_other():
                for f in frames:
                    decode(program, f[0], f[1], **f[2])

            ms, base = median_ms(both, one_after_the_other, repeat)
        yield "decode Mono12p, 2 frames in 2 threads (baseline: one thread)", program.kernel, ms, base


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
