"""Threads: eight threads parse and decode while a ninth changes the registries.

Callers are to serialise registry changes; this shows that the library neither
crashes nor corrupts a registry when they do not, and that decoders called
from many threads at once (the engine runs without the interpreter lock, so
their work overlaps) give the frames the reference packed.  The run is a child
interpreter, so that a crash fails this test instead of ending the suite, and
it switches threads far more often than the interpreter's default.

While a change is half done a reader may fail: the component-set registry's
restore empties it before filling it again (a published name then reads as
an opaque one, others do not read), and a vocabulary walked while it changes
size stops with RuntimeError.  Those are what the rule prevents and are only
counted.  A decoded frame or encoded buffer is never wrong, and once the
changes stop every registry holds what it held before, in order, and every
format parses and decodes again.
"""

import os
import pathlib
import subprocess
import sys

CHILD = r"""
import sys, threading, time
import numpy as np
from korvell.pfnc import decoders, names
from korvell.pfnc.genicam.brintal import DATA_TYPE_REGISTRY
from korvell.pfnc.genicam.components import COMPONENT_SET_REGISTRY, ComponentSetDefinition
from korvell.pfnc.genicam.ostrevo import PADDING_TYPE_NAME_REGISTRY, PaddingType
from korvell.pfnc.halvenor import PixelFormatDecoder
from korvell.pfnc.pixel_format import OpaquePixelFormat, PixelFormat
from korvell.pfnc.vendor import VENDOR_NAMES
from _reference import Ref

SECONDS = float(sys.argv[1])
FORMATS = ["Mono12p", "Mono10p", "Mono12Packed", "Mono10g", "RGB10p32", "RGB565p", "Coord3D_ABC32f", "RGB12p"]
WIDTH, TILE, TILES = 960, 4, 64  # 960 x 256 frames, every line a stream of its own
NAMES = [e.name for e in names.entries()]


def frame(name, seed):
    # A tile of lines packed by the reference, repeated: lines with a stride
    # are independent, so the frame is the tile's bytes over and over.
    ref = Ref.of(PixelFormat.from_designation(name))
    stride = ref.line_bytes(WIDTH) + 3
    x = ref.random(np.random.default_rng(seed), WIDTH, TILE)
    reps = (TILES, 1) + (1,) * (x.ndim - 2)
    return np.tile(x, reps), ref.pack(x, stride) * TILES, stride


class Forward(PixelFormatDecoder):
    # A back-end that claims everything and hands it to the built-in one, so
    # that resolution changes under the workers without changing results.
    def __init__(self):
        super().__init__("forward")

    def is_applicable(self, pixel_format):
        return True

    def decode(self, pixel_format, buffer, **kwargs):
        return decoders.LayoutDecoder().decode(pixel_format, buffer, **kwargs)

    def get_buffer_size(self, pixel_format, **kwargs):
        return decoders.LayoutDecoder().get_buffer_size(pixel_format, **kwargs)


shared = decoders.default_registry()
registries = [DATA_TYPE_REGISTRY, PADDING_TYPE_NAME_REGISTRY, COMPONENT_SET_REGISTRY, VENDOR_NAMES, shared]
before = [r.snapshot() for r in registries]
changes = [
    lambda: DATA_TYPE_REGISTRY.register("x"),
    lambda: PADDING_TYPE_NAME_REGISTRY.register("q", PaddingType.PACKED),
    lambda: COMPONENT_SET_REGISTRY.add(ComponentSetDefinition("Rggb", ("Rggb",))),
    lambda: VENDOR_NAMES.register("Mono12Vendor", "Mono12p"),
    lambda: shared.register(5, Forward()),
]
frames = {name: frame(name, seed) for seed, name in enumerate(FORMATS)}
counts, errors, half_done = {}, [], {}
# What a reader may meet while a change is half done (see the module's text).
HALF_DONE = ("dictionary changed size during iteration", "no component set of the vocabulary begins it",
             "read as an opaque name")


class HalfDone(Exception):
    pass


def failed(who, err):
    text = f"{type(err).__name__}: {err}"
    kind = next((h for h in HALF_DONE if h in text), None)
    if kind is None:
        errors.append(f"{who}: {text}")
    else:
        half_done[kind] = half_done.get(kind, 0) + 1


def check(name, n):
    x, data, stride = frames[name]
    fmt = PixelFormat.from_designation(name)
    if isinstance(fmt, OpaquePixelFormat):
        raise HalfDone(f"{name} read as an opaque name")  # its readings were not there for a moment
    got = decoders.decode(fmt, data, width=WIDTH, height=TILE * TILES, stride=stride, registry=shared, copy=True)
    assert got.dtype == x.dtype and got.tobytes() == x.tobytes(), "wrong frame"
    if n % 4 == 0:
        assert decoders.encode(fmt, x, stride=stride) == data, "wrong bytes"
    other = NAMES[n * 7 % len(NAMES)]
    assert PixelFormat.from_designation(other).designation(), other


def worker(name, stop, strict):
    n = 0
    while not stop.is_set():
        try:
            check(name, n)
        except Exception as err:
            if strict or isinstance(err, AssertionError):
                errors.append(f"{name}: {type(err).__name__}: {err}")
                break
            failed(name, err)
        n += 1
    counts[name] = counts.get(name, 0) + n


def changer(stop):
    n = 0
    while not stop.is_set():
        for change, registry, snap in zip(changes, registries, before):
            try:
                change()
            except Exception as err:
                failed("changer", err)
            registry.restore(snap)
        n += 1
    counts["changer"] = n


def run(seconds, changing):
    stop_workers, stop_changer = threading.Event(), threading.Event()
    workers = [threading.Thread(target=worker, args=(name, stop_workers, not changing)) for name in FORMATS]
    extra = [threading.Thread(target=changer, args=(stop_changer,))] if changing else []
    for t in workers + extra:
        t.start()
    time.sleep(seconds)
    # The workers first: no resolution is under way when the last change is undone.
    stop_workers.set()
    for t in workers:
        t.join()
    stop_changer.set()
    for t in extra:
        t.join()


sys.setswitchinterval(1e-5)
run(SECONDS / 3, changing=False)  # decoders alone, overlapping: every call right
run(SECONDS, changing=True)
sys.setswitchinterval(0.005)

assert not errors, errors
assert all(counts[name] > 0 for name in FORMATS) and counts["changer"] > 0, counts


def entries(snap):
    # In order: a registry restored out of order is corrupted too.
    return list(snap.mapping.items()) if hasattr(snap, "mapping") else list(snap.registrations)


for registry, snap in zip(registries, before):
    assert entries(registry.snapshot()) == entries(snap), (registry, registry.snapshot(), snap)
for n, name in enumerate(FORMATS * 4):
    check(name, n)  # nothing half done is remembered
assert shared.resolve(PixelFormat.from_designation("Mono12p")).name == "layout"
print("ok", sum(counts[name] for name in FORMATS), "decodes,", counts["changer"], "rounds of changes;",
      "failures while half done:", half_done)
"""


def test_threads_parse_and_decode_while_the_registries_change():
    tests = pathlib.Path(__file__).resolve().parent
    env = dict(os.environ, PYTHONFAULTHANDLER="1", PYTHONPATH=os.pathsep.join([str(tests), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-c", CHILD, "2"], capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout.startswith("ok"), proc.stdout
