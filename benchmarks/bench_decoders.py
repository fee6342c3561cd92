"""Decoders on 2448 x 2048 frames: milliseconds per frame, against a memcpy of the
output and, for the common packed formats, against a plain numpy unpacker.

``CASES`` (for bench.py) decode one frame of each format.  Run this file on its
own for the Markdown table of the README:

    python benchmarks/bench_decoders.py [--repeat N] [substring ...]

Each row is the median of N runs (default 15).  The baseline of a row is
measured in the same loop as the decoder, run after run: copying an array of
the output's size into a newly allocated one, since the decoder also allocates
its output.  Formats whose bytes already are the image get two rows: the view
``decode`` returns by default, and ``copy=True``.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Optional

import numpy as np

WIDTH, HEIGHT = 2448, 2048

FORMATS = (
    "Mono8",
    "Mono12",
    "Mono10p",
    "Mono12p",
    "Mono12Packed",
    "Mono14p",
    "Mono10pmsb",
    "Mono12g",
    "RGB8",
    "RGB10p32",
    "RGB565p",
    "RGB12p",
    "BayerRG12p",
    "Coord3D_ABC32f_Planar",
    "YCbCr422_8",
    "YCbCr422_10p",
    "YCbCr420_8_YY_CbCr_Semiplanar",
)

# The format the two-thread comparison decodes.
THREADED = "Mono12p"


# ---------------------------------------------------------------------------
# The unpackers a user would write with numpy alone, straight from the bit rules.


def numpy_mono12p(buffer: bytes, width: int, height: int) -> np.ndarray:
    b = np.frombuffer(buffer, np.uint8, count=width * height * 3 // 2).reshape(-1, 3).astype(np.uint16)
    out = np.empty((b.shape[0], 2), np.uint16)
    out[:, 0] = b[:, 0] | ((b[:, 1] & 0x0F) << 8)
    out[:, 1] = (b[:, 1] >> 4) | (b[:, 2] << 4)
    return out.reshape(height, width)


def numpy_mono10p(buffer: bytes, width: int, height: int) -> np.ndarray:
    b = np.frombuffer(buffer, np.uint8, count=width * height * 5 // 4).reshape(-1, 5).astype(np.uint16)
    out = np.empty((b.shape[0], 4), np.uint16)
    out[:, 0] = b[:, 0] | ((b[:, 1] & 0x03) << 8)
    out[:, 1] = (b[:, 1] >> 2) | ((b[:, 2] & 0x0F) << 6)
    out[:, 2] = (b[:, 2] >> 4) | ((b[:, 3] & 0x3F) << 4)
    out[:, 3] = (b[:, 3] >> 6) | (b[:, 4] << 2)
    return out.reshape(height, width)


def numpy_mono12packed(buffer: bytes, width: int, height: int) -> np.ndarray:
    b = np.frombuffer(buffer, np.uint8, count=width * height * 3 // 2).reshape(-1, 3).astype(np.uint16)
    out = np.empty((b.shape[0], 2), np.uint16)
    out[:, 0] = (b[:, 0] << 4) | (b[:, 1] & 0x0F)
    out[:, 1] = (b[:, 2] << 4) | (b[:, 1] >> 4)
    return out.reshape(height, width)


NUMPY_UNPACKERS: dict[str, Callable[[bytes, int, int], np.ndarray]] = {
    "Mono12p": numpy_mono12p,
    "Mono10p": numpy_mono10p,
    "Mono12Packed": numpy_mono12packed,
}


# ---------------------------------------------------------------------------
# Frames, made once per format.  Every bit pattern is a valid frame of a packed
# format, so random bytes stand for random pixel values.

_frames: dict[str, bytes] = {}


def frame(name: str) -> bytes:
    if name not in _frames:
        from korvell.pfnc import decoders

        size = decoders.get_buffer_size(name, width=WIDTH, height=HEIGHT)
        _frames[name] = np.random.default_rng(sum(map(ord, name))).bytes(size)
    return _frames[name]


def decoder(name: str, copy: bool, buffer: Optional[bytes] = None) -> Callable[[], np.ndarray]:
    from korvell.pfnc import decoders

    data = frame(name) if buffer is None else buffer
    return lambda: decoders.decode(name, data, width=WIDTH, height=HEIGHT, copy=copy)


def _lazy(name: str, copy: bool) -> Callable[[], np.ndarray]:
    # bench.py loads every module to list its cases: frames are made on the first run only.
    made: list[Callable[[], np.ndarray]] = []

    def run() -> np.ndarray:
        if not made:
            made.append(decoder(name, copy))
        return made[0]()

    return run


CASES = [(f'decode("{name}", {WIDTH} x {HEIGHT})', _lazy(name, False)) for name in FORMATS] + [
    (f'decode("{name}", {WIDTH} x {HEIGHT}, copy=True)', _lazy(name, True)) for name in ("Mono8", "Mono12", "RGB8")
]


# ---------------------------------------------------------------------------
# The table.


def _timed(func: Callable[[], object]) -> float:
    start = time.perf_counter()
    func()
    return time.perf_counter() - start


def medians_ms(funcs: list[Callable[[], object]], repeat: int) -> list[float]:
    """The median time of each function in ms, run in turn so that they share
    whatever the machine is doing meanwhile."""
    for func in funcs:
        func()
    times: list[list[float]] = [[] for _ in funcs]
    for _ in range(repeat):
        for func, seen in zip(funcs, times):
            seen.append(_timed(func))
    return [statistics.median(seen) * 1e3 for seen in times]


def _is_view(image: np.ndarray, buffer: bytes) -> bool:
    return bool(np.shares_memory(image, np.frombuffer(buffer, np.uint8)))


def rows(repeat: int, wanted: list[str]) -> list[tuple[str, float, float, Optional[float]]]:
    """(label, decoder ms, memcpy ms, numpy ms or None) per row."""
    out = []
    for name in FORMATS:
        if wanted and not any(w in name for w in wanted):
            continue
        data = frame(name)
        default = decoder(name, False)()
        modes = [("view", False), ("copy", True)] if _is_view(default, data) else [("", False)]
        source = np.frombuffer(np.random.default_rng(0).bytes(default.nbytes), np.uint8)
        memcpy = source.copy
        unpack = NUMPY_UNPACKERS.get(name)
        if unpack is not None and not np.array_equal(unpack(data, WIDTH, HEIGHT), default):
            # A comparison with a numpy unpacker that reads the bits otherwise would be meaningless.
            raise SystemExit(f"the numpy unpacker of {name} disagrees with the decoder")
        for mode, copy in modes:
            decode = decoder(name, copy)
            ms, memcpy_ms = medians_ms([decode, memcpy], repeat)
            numpy_ms = None
            if unpack is not None:
                # A loop of its own: the unpacker's temporaries change what the
                # allocator hands the memcpy, and the baseline must not pay for them.
                again, numpy_ms = medians_ms([decode, lambda: unpack(data, WIDTH, HEIGHT)], repeat)
                numpy_ms *= ms / again
            label = f"{name} ({mode})" if mode else name
            out.append((label, ms, memcpy_ms, numpy_ms))
    return out


def threaded_speedup(repeat: int) -> tuple[float, float]:
    """Two frames decoded one after the other on one thread, and at once on two
    threads: the ms of each way."""
    # Two frames of their own, so that neither run finds the other's bytes in cache.
    first = decoder(THREADED, False)
    second = decoder(THREADED, False, frame(THREADED)[::-1])
    with ThreadPoolExecutor(max_workers=2) as pool:

        def both() -> None:
            first()
            second()

        def one_thread() -> None:
            # On a worker as well, so that both ways allocate from the same
            # per-thread arenas and pay for handing the work over.
            pool.submit(both).result()

        def two_threads() -> None:
            a, b = pool.submit(first), pool.submit(second)
            a.result()
            b.result()

        one, two = medians_ms([one_thread, two_threads], repeat)
    return one, two


def _number(value: float) -> str:
    # A view takes microseconds: two decimals of a millisecond would show 0.00.
    return f"{value:.2f}" if value >= 0.1 else f"{value:.2g}"


def table(repeat: int, wanted: list[str]) -> str:
    lines = [
        "| format | ms per frame | memcpy ms | × memcpy | numpy ms | faster than numpy |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for label, ms, memcpy_ms, numpy_ms in rows(repeat, wanted):
        numpy_cells = "| | |" if numpy_ms is None else f"| {_number(numpy_ms)} | {numpy_ms / ms:.1f}x |"
        lines.append(f"| {label} | {_number(ms)} | {_number(memcpy_ms)} | {_number(ms / memcpy_ms)} {numpy_cells}")
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=15, help="runs per row; the median is shown (default 15)")
    parser.add_argument("wanted", nargs="*", metavar="substring", help="only formats whose name contains one of these")
    args = parser.parse_args(argv[1:])
    print(
        f"{WIDTH} x {HEIGHT} frames, median of {args.repeat} runs; numpy {np.__version__}, "
        f"{os.cpu_count()} CPUs. × memcpy: decoder time over the time to copy the output's bytes "
        "into a new array; faster than numpy: a plain numpy unpacker's time over the decoder's."
    )
    print()
    print(table(args.repeat, args.wanted))
    if not args.wanted or any(w in THREADED for w in args.wanted):
        # Three times the runs: two threads sharing two cores vary more than one.
        one, two = threaded_speedup(3 * args.repeat)
        print()
        print(
            f"Two {THREADED} frames: one thread {one:.2f} ms, two threads {two:.2f} ms: "
            f"speed-up {one / two:.2f}x on {os.cpu_count()} CPUs."
        )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
