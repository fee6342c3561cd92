"""Pictures on 2448 x 2048 frames: milliseconds per frame, against OpenCV's
fastest equivalent, both single-threaded, measured in the same loop.

``CASES`` (for bench.py) make one picture of each row.  Run this file on its
own for the Markdown table of the README:

    python benchmarks/bench_visual.py [--repeat N]

Each row times decode plus visualization_image from the raw frame, against
OpenCV's cvtColor on the same bytes; the decode column is the part of the
korvell time that decode alone takes (the full-resolution array the picture
is made from).  OpenCV reads no packed formats, so for
BayerRG12p its side gets the decoded uint16 mosaic (our unpack, timed on both
sides) and scales its 16-bit result to 8 bits with convertScaleAbs.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from typing import Callable, Optional

import numpy as np

WIDTH, HEIGHT = 2448, 2048

try:
    import cv2
except ImportError:  # pragma: no cover
    cv2 = None


def _frame(name: str) -> bytes:
    from korvell.pfnc import decoders

    size = decoders.get_buffer_size(name, width=WIDTH, height=HEIGHT)
    return np.random.default_rng(sum(map(ord, name))).bytes(size)


def ours(name: str, data: bytes, **options: object) -> Callable[[], np.ndarray]:
    from korvell.pfnc import decoders
    from korvell.pfnc.decoders import _visual

    lay = decoders.layout(name)

    def run() -> np.ndarray:
        image = decoders.decode(name, data, width=WIDTH, height=HEIGHT)
        return _visual.visualization_image(lay, image, **options)

    return run


def theirs(name: str, data: bytes) -> Optional[Callable[[], np.ndarray]]:
    if cv2 is None:
        return None
    from korvell.pfnc import decoders

    raw = np.frombuffer(data, np.uint8)
    if name == "BayerRG8":
        mosaic = raw.reshape(HEIGHT, WIDTH)
        return lambda: cv2.cvtColor(mosaic, cv2.COLOR_BayerBG2RGB)
    if name == "BayerRG12p":
        def run() -> np.ndarray:
            mosaic = decoders.decode(name, data, width=WIDTH, height=HEIGHT)
            return cv2.convertScaleAbs(cv2.cvtColor(mosaic, cv2.COLOR_BayerBG2RGB), alpha=255 / 4095)
        return run
    if name == "YCbCr422_8":
        pairs = raw.reshape(HEIGHT, WIDTH, 2)
        return lambda: cv2.cvtColor(pairs, cv2.COLOR_YUV2RGB_YUYV)
    if name == "YCbCr420_8_YY_CbCr_Semiplanar":
        planes = raw.reshape(HEIGHT * 3 // 2, WIDTH)
        return lambda: cv2.cvtColor(planes, cv2.COLOR_YUV2RGB_NV12)
    return None


ROWS = (
    ("BayerRG8", "bilinear demosaic", {}),
    ("BayerRG12p", "bilinear demosaic, unpack included", {}),
    ("YCbCr422_8", "to RGB", {}),
    ("YCbCr420_8_YY_CbCr_Semiplanar", "to RGB", {}),
    ("BayerRG8", "malvar demosaic (no OpenCV equivalent)", {"algorithm": "malvar"}),
)


def _lazy(name: str, options: dict) -> Callable[[], np.ndarray]:
    made: list[Callable[[], np.ndarray]] = []

    def run() -> np.ndarray:
        if not made:
            made.append(ours(name, _frame(name), **options))
        return made[0]()

    return run


CASES = [(f"visual {name} {what}", _lazy(name, options)) for name, what, options in ROWS]


def _medians(runs: list[Optional[Callable[[], object]]], repeat: int) -> list[float]:
    """Median milliseconds of each run, all timed in turn in the same loop
    (nan for None), so that the load of the machine weighs on each alike."""
    times: list[list[float]] = [[] for _ in runs]
    for run in runs:
        if run is not None:
            run()
    for _ in range(repeat):
        for run, spent in zip(runs, times):
            if run is not None:
                start = time.perf_counter()
                run()
                spent.append(time.perf_counter() - start)
    return [statistics.median(t) * 1e3 if t else float("nan") for t in times]


def _decode_only(name: str, data: bytes) -> Callable[[], np.ndarray]:
    from korvell.pfnc import decoders

    return lambda: decoders.decode(name, data, width=WIDTH, height=HEIGHT)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args(argv[1:])
    if cv2 is not None:
        cv2.setNumThreads(1)
    print(f"{WIDTH} x {HEIGHT}, median of {args.repeat} runs, one thread each side")
    print()
    print("| format | picture | korvell ms | of which decode ms | OpenCV ms | ratio (korvell / OpenCV) |")
    print("|---|---|---:|---:|---:|---:|")
    for name, what, options in ROWS:
        data = _frame(name)
        runs = [ours(name, data, **options), _decode_only(name, data), theirs(name, data) if not options else None]
        ms, decode_ms, cv_ms = _medians(runs, args.repeat)
        ratio = f"{ms / cv_ms:.2f}" if cv_ms == cv_ms else "-"
        cv_text = f"{cv_ms:.2f}" if cv_ms == cv_ms else "-"
        print(f"| {name} | {what} | {ms:.2f} | {decode_ms:.2f} | {cv_text} | {ratio} |")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
