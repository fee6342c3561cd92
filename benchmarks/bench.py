"""Run every benchmark module beside this file and print nanoseconds per call.

Each ``bench_*.py`` module may define ``CASES``: a list of (label, zero-argument
callable); one without (bench_engine.py) prints a table of its own when run.  Usage: ``python benchmarks/bench.py [substring ...]`` runs the cases
whose label contains one of the substrings (all when none is given).
"""

from __future__ import annotations

import pathlib
import runpy
import sys
import timeit

HERE = pathlib.Path(__file__).resolve().parent


def _cases(path: pathlib.Path):
    return runpy.run_path(str(path)).get("CASES", [])


def ns_per_call(func, repeat: int = 5) -> float:
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main(argv: list[str]) -> int:
    wanted = argv[1:]
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        for label, func in _cases(path):
            if wanted and not any(w in label for w in wanted):
                continue
            rows.append((label, ns_per_call(func)))
    width = max((len(label) for label, _ in rows), default=10)
    print(f"{'case':<{width}}  ns/call")
    for label, ns in rows:
        print(f"{label:<{width}}  {ns:8.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
