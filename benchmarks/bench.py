"""Run every benchmark module beside this file and print nanoseconds per call.

Each ``bench_*.py`` module may define ``CASES``: a list of rows

    (label, func)                      a zero-argument callable
    (label, func, goal_ns)             with the figure it should reach (or None)
    (label, func, goal_ns, context)    timed while ``context()`` is entered: a
                                       zero-argument callable returning a context
                                       manager (a fallback path forced by a patch)

A module without ``CASES`` (bench_engine.py) prints a table of its own when run.

Each figure is the median of ``--repeat`` timed runs (default 15), each run
``number`` calls, ``number`` chosen so that one run takes about 0.2 s.  The
baseline, a call of a function that does nothing, is timed in the same loop as
the cases (every run of every row in turn, so that the load of the machine
weighs on each alike); the last column is the figure over the baseline.

Usage: ``python benchmarks/bench.py [--repeat N] [substring ...]`` runs the cases
whose label contains one of the substrings (all when none is given).
"""

from __future__ import annotations

import contextlib
import pathlib
import runpy
import statistics
import sys
import timeit
from typing import Any, Callable, ContextManager, Optional

HERE = pathlib.Path(__file__).resolve().parent

Row = tuple[str, Callable[[], object], Optional[float], Callable[[], ContextManager[Any]]]


def _nothing() -> None:
    return None


BASELINE: Row = ("<baseline: a call of a function that does nothing>", _nothing, None, contextlib.nullcontext)


def _cases(path: pathlib.Path) -> list[Row]:
    rows = []
    for case in runpy.run_path(str(path)).get("CASES", []):
        label, func, goal, context = (*case, None, None)[:4]
        rows.append((label, func, goal, context or contextlib.nullcontext))
    return rows


def _number(row: Row) -> int:
    _, func, _, context = row
    with context():
        number, _ = timeit.Timer(func).autorange()
    return max(1, number)


def medians_ns(rows: list[Row], repeat: int) -> list[float]:
    """Median ns per call of each row, every run of every row timed in turn."""
    numbers = [_number(row) for row in rows]
    runs: list[list[float]] = [[] for _ in rows]
    for _ in range(repeat):
        for i, (_, func, _, context) in enumerate(rows):
            with context():
                runs[i].append(timeit.Timer(func).timeit(numbers[i]) / numbers[i] * 1e9)
    return [statistics.median(r) for r in runs]


def main(argv: list[str]) -> int:
    args = argv[1:]
    repeat = 15
    if args[:1] == ["--repeat"]:
        repeat, args = int(args[1]), args[2:]
    rows = [BASELINE]
    for path in sorted(HERE.glob("bench_*.py")):
        for row in _cases(path):
            if args and not any(w in row[0] for w in args):
                continue
            rows.append(row)
    figures = medians_ns(rows, repeat)
    base = figures[0]
    width = max(len(row[0]) for row in rows)
    print(f"{'case':<{width}}  {'ns/call':>9}  {'goal':>7}  {'x baseline':>10}")
    for (label, _, goal, _), ns in zip(rows, figures):
        goal_text = "" if goal is None else f"{goal:.0f}"
        print(f"{label:<{width}}  {ns:9.1f}  {goal_text:>7}  {ns / base:10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
