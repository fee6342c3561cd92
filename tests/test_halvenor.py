"""Decoder back-ends, their registration records and the decoder registry."""

import copy
import dataclasses
import gc
import inspect
import logging
import pickle
import re
import subprocess
import sys
import weakref
from abc import ABC, abstractmethod
from fractions import Fraction

import numpy as np
import pytest

from korvell.pfnc import halvenor
from korvell.pfnc.exceptions import PixelFormatDecodeNotSupportedError
from korvell.pfnc.halvenor import (
    DecoderRegistration,
    DecoderRegistry,
    DecoderRegistrySnapshot,
    PixelFormatDecoder,
)

NO_DECODER = "No registered decoder supports this pixel format."
NOT_BY_THIS = "Pixel format not supported by this decoder."


class Format:
    """Pixel-format stand-in: equal when designation and variant are equal.

    Formats of different variants share a designation, as two parses with equal
    text but different parts would.  Every comparison is recorded as
    (left, right), every designation() call counted.
    """

    comparisons: list = []

    def __init__(self, text, variant=0):
        self.text = text
        self.variant = variant
        self.designations = 0

    def designation(self):
        self.designations += 1
        return self.text

    def __eq__(self, other):
        Format.comparisons.append((self, other))
        return isinstance(other, Format) and (self.text, self.variant) == (other.text, other.variant)

    __hash__ = None

    def __repr__(self):
        return f"Format({self.text!r}, {self.variant})"


class Backend(PixelFormatDecoder):
    """Back-end whose applicability answer is a value, an error to raise, or a callable."""

    def __init__(self, name="mono", answer=True, result=None):
        super().__init__(name)
        self.answer = answer
        self.result = result
        self.asked = []
        self.calls = []

    def is_applicable(self, pixel_format):
        self.asked.append(pixel_format)
        if isinstance(self.answer, str) and self.answer == ERR:
            raise Boom("boom")
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer(pixel_format) if callable(self.answer) else self.answer

    def decode(self, pixel_format, buffer, *, width, height, stride=None, copy=False):
        self.calls.append(("decode", (pixel_format, buffer), dict(width=width, height=height, stride=stride, copy=copy)))
        return buffer if self.result is None else self.result

    def get_buffer_size(self, pixel_format, *, width, height, stride=None):
        self.calls.append(("get_buffer_size", (pixel_format,), dict(width=width, height=height, stride=stride)))
        return self.result

    def visualization_image(self, pixel_format, image, **kwargs):
        self.calls.append(("visualization_image", (pixel_format, image), kwargs))
        return super().visualization_image(pixel_format, image, **kwargs)


class Boom(Exception):
    pass


@pytest.fixture(autouse=True)
def _fresh_comparisons():
    Format.comparisons = []


def registry_of(*entries):
    """A registry with one Backend per (priority, answer), registered in order."""
    registry = DecoderRegistry()
    backends = [Backend(f"b{i}", answer) for i, (_, answer) in enumerate(entries)]
    for (priority, _), backend in zip(entries, backends):
        registry.register(priority, backend)
    return registry, backends


# ---------------------------------------------------------------------------


class TestDecoderInterface:
    @pytest.mark.parametrize(
        "implemented",
        [(), ("is_applicable",), ("decode", "get_buffer_size"), ("is_applicable", "decode")],
        ids=lambda names: "+".join(names) or "nothing",
    )
    def test_incomplete_back_end_is_refused_like_abc(self, implemented):
        body = {name: (lambda self, *a, **k: None) for name in implemented}
        ours = type("Partial", (PixelFormatDecoder,), dict(body))

        class Reference(ABC):
            @abstractmethod
            def is_applicable(self, pixel_format): ...

            @abstractmethod
            def decode(self, pixel_format, buffer): ...

            @abstractmethod
            def get_buffer_size(self, pixel_format): ...

        reference = type("Partial", (Reference,), dict(body))
        with pytest.raises(TypeError) as expected:
            reference()
        with pytest.raises(TypeError) as got:
            ours("mono")
        assert str(got.value) == str(expected.value)
        assert inspect.isabstract(ours)

    def test_base_itself_is_abstract(self):
        assert PixelFormatDecoder.__abstractmethods__ == {"is_applicable", "decode", "get_buffer_size"}
        with pytest.raises(TypeError, match="abstract class PixelFormatDecoder"):
            PixelFormatDecoder("mono")
        assert not inspect.isabstract(Backend)

    @pytest.mark.parametrize("make", [lambda: Backend("mono"), lambda: Backend(name="mono")], ids=["position", "keyword"])
    def test_construction_and_repr(self, make):
        assert repr(make()) == "Backend(name='mono')"

    @pytest.mark.parametrize("bad", [None, 1, b"mono", type("S", (str,), {})("mono")], ids=["None", "int", "bytes", "str-subclass"])
    def test_name_must_be_exactly_str(self, bad):
        class Plain(Backend):
            def __init__(self, name):
                PixelFormatDecoder.__init__(self, name)

        with pytest.raises(TypeError, match=re.escape(f"name must be str, not {type(bad).__name__}")):
            Plain(bad)

    def test_equality_needs_exactly_the_same_class(self):
        class Other(Backend):
            pass

        assert Backend("mono") == Backend("mono", answer=False)
        assert Backend("mono") != Backend("rgb")
        assert Backend("mono") != Other("mono") and Other("mono") != Backend("mono")
        assert (Backend("mono") == "mono") is False
        assert (Backend("mono") == None) is False  # noqa: E711
        with pytest.raises(TypeError, match="unhashable"):
            hash(Backend())

    def test_name_is_an_ordinary_writable_field(self):
        decoder = Backend("mono")
        decoder.name = "rgb"
        assert decoder.name == "rgb" and decoder == Backend("rgb")

    def test_generated_subclass_inherits_the_field(self):
        @dataclasses.dataclass
        class Scaled(PixelFormatDecoder):
            gain: float = 1.0

            def is_applicable(self, pixel_format):
                return True

            def decode(self, pixel_format, buffer, *, width, height, stride=None, copy=False):
                return buffer

            def get_buffer_size(self, pixel_format, *, width, height, stride=None):
                return width * height

        scaled = Scaled("mono", 2.0)
        assert (scaled.name, scaled.gain) == ("mono", 2.0)
        assert scaled == Scaled("mono", 2.0) and scaled != Scaled("mono", 3.0)
        assert [f.name for f in dataclasses.fields(Scaled)] == ["name", "gain"]
        assert [f.name for f in dataclasses.fields(PixelFormatDecoder)] == ["name"]

    def test_subclass_that_never_sets_the_name_reports_it_missing(self):
        class Nameless(Backend):
            def __init__(self):
                pass

        with pytest.raises(AttributeError, match="name"):
            Nameless().name


class TestDefaultVisualization:
    @pytest.mark.parametrize("answer", [True, 1, "yes", [0], np.bool_(True)], ids=repr)
    def test_applicable_returns_the_very_image(self, answer):
        image = np.zeros((2, 3), dtype=np.uint8)
        assert Backend(answer=answer).visualization_image(Format("Mono8"), image, gamma=2.2) is image

    @pytest.mark.parametrize("options", [{}, {"gamma": 2.2, "pixel": None}], ids=["no-options", "options"])
    @pytest.mark.parametrize("answer", [False, 0, "", [], None], ids=repr)
    def test_not_applicable_raises(self, answer, options):
        with pytest.raises(PixelFormatDecodeNotSupportedError) as info:
            Backend(answer=answer).visualization_image(Format("RGB8"), np.zeros(1), **options)
        assert str(info.value) == NOT_BY_THIS

    def test_asks_the_overriding_is_applicable(self):
        backend = Backend(answer=True)
        fmt = Format("Mono8")
        backend.visualization_image(fmt, object())
        assert backend.asked == [fmt]

    def test_applicability_error_propagates_unchanged(self):
        err = Boom("boom")
        with pytest.raises(Boom) as info:
            Backend(answer=err).visualization_image(Format("Mono8"), object())
        assert info.value is err

    def test_replaced_error_type_takes_effect(self, monkeypatch):
        class Marker(Exception):
            pass

        monkeypatch.setattr(halvenor, "PixelFormatDecodeNotSupportedError", Marker)
        with pytest.raises(Marker, match=re.escape(NOT_BY_THIS)):
            Backend(answer=False).visualization_image(Format("Mono8"), object())


# ---------------------------------------------------------------------------


# Records are built inside the tests (through these factories), never kept at
# module level, so that nothing outlives the test session.


def registration(name="mono", priority=5):
    return DecoderRegistration(Backend(name), priority)


def snapshot_of(*registrations):
    return DecoderRegistrySnapshot(tuple(registrations))


class TestFrozenRecords:
    def test_registration_fields_in_order(self):
        mono = Backend("mono")
        reg = DecoderRegistration(priority=3, decoder=mono)
        assert reg.decoder is mono and reg.priority == 3
        assert DecoderRegistration.__match_args__ == ("decoder", "priority")
        assert [f.name for f in dataclasses.fields(reg)] == ["decoder", "priority"]
        assert repr(reg) == "DecoderRegistration(decoder=Backend(name='mono'), priority=3)"

    @pytest.mark.parametrize(
        "make, equal",
        [
            (lambda: (registration(), registration()), True),
            (lambda: (registration(), registration("rgb")), False),
            (lambda: (registration(), registration(priority=1)), False),
            (lambda: (registration(), (Backend("mono"), 5)), False),
            (lambda: (snapshot_of(), snapshot_of()), True),
            (lambda: (snapshot_of(registration()), snapshot_of(registration())), True),
            (lambda: (snapshot_of(registration()), snapshot_of(registration(), registration())), False),
            (lambda: (snapshot_of(registration()), (registration(),)), False),
        ],
        ids=["equal-registrations", "other-decoder", "other-priority", "tuple", "empty-snapshots",
             "equal-snapshots", "longer-snapshot", "bare-tuple"],
    )
    def test_value_equality(self, make, equal):
        left, right = make()
        assert (left == right) is equal
        assert (left != right) is not equal

    @pytest.mark.parametrize(
        "make, field",
        [(registration, "decoder"), (registration, "priority"), (snapshot_of, "registrations"), (snapshot_of, "extra")],
        ids=lambda v: v if isinstance(v, str) else v.__name__,
    )
    def test_assignment_and_deletion_are_refused(self, make, field):
        record = make()
        before = repr(record)
        with pytest.raises(dataclasses.FrozenInstanceError, match=re.escape(f"cannot assign to field '{field}'")):
            setattr(record, field, None)
        with pytest.raises(dataclasses.FrozenInstanceError, match=re.escape(f"cannot delete field '{field}'")):
            delattr(record, field)
        assert repr(record) == before

    def test_subclass_keeps_fields_frozen_but_may_add_attributes(self):
        class Tagged(DecoderRegistration):
            pass

        mono = Backend("mono")
        reg = Tagged(mono, 1)
        reg.tag = "x"
        with pytest.raises(dataclasses.FrozenInstanceError):
            reg.priority = 2
        assert reg != DecoderRegistration(mono, 1)

    def test_hash_follows_the_fields(self):
        class HashableBackend(Backend):
            def __hash__(self):
                return hash(self.name)

        assert hash(DecoderRegistrySnapshot(())) == hash(DecoderRegistrySnapshot(()))
        a, b = (DecoderRegistration(HashableBackend("m"), 1) for _ in range(2))
        assert hash(a) == hash(b) and len({a, b}) == 1
        with pytest.raises(TypeError, match="unhashable"):
            hash(registration())  # its decoder has no hash
        with pytest.raises(TypeError, match="unhashable"):
            hash(snapshot_of(registration()))

    @pytest.mark.parametrize("bad", [[], None, type("T", (tuple,), {})()], ids=["list", "None", "tuple-subclass"])
    def test_snapshot_takes_exactly_a_tuple(self, bad):
        with pytest.raises(TypeError, match=re.escape(f"registrations must be tuple, not {type(bad).__name__}")):
            DecoderRegistrySnapshot(bad)

    def test_replace_builds_a_new_record(self):
        reg = registration()
        assert dataclasses.replace(reg, priority=9) == DecoderRegistration(reg.decoder, 9)
        assert reg.priority == 5


class TestRegistryRecord:
    def test_each_registry_gets_fresh_containers(self):
        a, b = DecoderRegistry(), DecoderRegistry()
        assert a._registrations == [] and a._resolve_cache == {}
        assert a._registrations is not b._registrations and a._resolve_cache is not b._resolve_cache

    def test_fields_by_keyword_are_kept(self):
        regs, cache = [registration()], {}
        registry = DecoderRegistry(_resolve_cache=cache, _registrations=regs)
        assert registry._registrations is regs and registry._resolve_cache is cache
        assert registry.resolve(Format("Mono8")) is regs[0].decoder
        assert list(cache) == ["Mono8"]

    @pytest.mark.parametrize(
        "field, bad, expected",
        [
            ("_registrations", (), "_registrations must be list, not tuple"),
            ("_registrations", None, "_registrations must be list, not NoneType"),
            ("_resolve_cache", [], "_resolve_cache must be dict, not list"),
            ("_resolve_cache", None, "_resolve_cache must be dict, not NoneType"),
        ],
        ids=["registrations-tuple", "registrations-None", "cache-list", "cache-None"],
    )
    def test_field_types_checked(self, field, bad, expected):
        with pytest.raises(TypeError, match=re.escape(expected)):
            DecoderRegistry(**{field: bad})
        registry = DecoderRegistry()
        with pytest.raises(TypeError, match=re.escape(expected)):
            setattr(registry, field, bad)

    def test_field_wise_equality_and_no_hash(self):
        a, b = DecoderRegistry(), DecoderRegistry()
        assert a == b
        a.register(1, Backend("mono"))
        assert a != b
        b.register(1, Backend("mono"))
        assert a == b
        a.resolve(Format("Mono8"))
        assert a != b  # the caches differ
        assert (a == a._registrations) is False
        with pytest.raises(TypeError, match="unhashable"):
            hash(a)

    def test_repr(self):
        registry = DecoderRegistry()
        registry.register(2, Backend("mono"))
        assert repr(registry) == (
            "DecoderRegistry(_registrations=[DecoderRegistration(decoder=Backend(name='mono'), priority=2)], "
            "_resolve_cache={})"
        )


# ---------------------------------------------------------------------------

T, F = True, False
ERR = "raise"  # the back-end raises Boom("boom")

SCAN_TABLE = [
    # (registrations as (priority, answer), winner index or None, indices asked)
    ("low-then-high", [(1, T), (5, T)], 1, [0, 1]),
    ("equal-priority-first-wins", [(3, T), (3, T)], 0, [0]),
    ("high-then-low", [(5, T), (1, T)], 0, [0]),
    ("inapplicable-skipped", [(5, F), (1, T)], 1, [0, 1]),
    ("failing-check-skipped", [(5, ERR), (1, T)], 1, [0, 1]),
    ("only-strictly-higher-asked", [(2, T), (1, T), (3, F), (3, T), (3, T), (2, T)], 3, [0, 2, 3]),
    ("asked-until-first-yes", [(1, F), (9, F), (0, T), (0, T), (1, T)], 4, [0, 1, 2, 4]),
    ("truthy-answers", [(1, "yes"), (2, [1]), (3, np.bool_(True))], 2, [0, 1, 2]),
    ("falsy-answers", [(1, ""), (2, 0), (3, None)], None, [0, 1, 2]),
    ("negative-priorities", [(-5, T), (-1, T), (-3, T)], 1, [0, 1]),
    ("float-priorities", [(1.5, T), (1, T), (2.0, T)], 2, [0, 2]),
]


class TestResolve:
    @pytest.mark.parametrize("entries, winner, asked", [r[1:] for r in SCAN_TABLE], ids=[r[0] for r in SCAN_TABLE])
    def test_scan(self, entries, winner, asked):
        registry, backends = registry_of(*entries)
        fmt = Format("Mono8")
        if winner is None:
            with pytest.raises(PixelFormatDecodeNotSupportedError, match=re.escape(NO_DECODER)):
                registry.resolve(fmt)
        else:
            assert registry.resolve(fmt) is backends[winner]
        assert [i for i, b in enumerate(backends) if b.asked] == asked
        assert all(b.asked in ([], [fmt]) for b in backends)
        assert fmt.designations == 1

    def test_cached_result_is_returned_without_asking(self):
        registry, backends = registry_of((1, T), (5, T))
        first = registry.resolve(Format("Mono8"))
        again = Format("Mono8")
        assert registry.resolve(again) is first
        assert [len(b.asked) for b in backends] == [1, 1]
        assert again.designations == 1
        # the cached format is the left operand
        assert Format.comparisons and all(right is again for _, right in Format.comparisons)
        assert all(left is not again for left, _ in Format.comparisons)

    def test_failure_is_cached_until_the_registrations_change(self):
        registry, (backend,) = registry_of((1, F))
        for _ in range(3):
            with pytest.raises(PixelFormatDecodeNotSupportedError, match=re.escape(NO_DECODER)):
                registry.resolve(Format("Mono8"))
        assert len(backend.asked) == 1
        backend.answer = True  # a changed answer is not seen while cached
        with pytest.raises(PixelFormatDecodeNotSupportedError):
            registry.resolve(Format("Mono8"))
        other = Backend("other", answer=False)
        registry.register(0, other)
        assert registry.resolve(Format("Mono8")) is backend
        assert len(backend.asked) == 2 and len(other.asked) == 0

    def test_empty_registry_then_register(self):
        registry = DecoderRegistry()
        with pytest.raises(PixelFormatDecodeNotSupportedError, match=re.escape(NO_DECODER)):
            registry.resolve(Format("Mono8"))
        assert len(registry._resolve_cache["Mono8"]) == 1
        mono = Backend("mono")
        registry.register(1, mono)
        assert registry._resolve_cache == {}
        assert registry.resolve(Format("Mono8")) is mono

    def test_restore_forgets_resolutions(self):
        registry, (backend,) = registry_of((1, T))
        snap = registry.snapshot()
        registry.resolve(Format("Mono8"))
        registry.restore(snap)
        assert registry._resolve_cache == {}
        registry.resolve(Format("Mono8"))
        assert len(backend.asked) == 2

    def test_formats_sharing_a_designation_are_kept_apart(self):
        def only_variant_one(fmt):
            return fmt.variant == 1

        registry, (backend,) = registry_of((1, only_variant_one))
        with pytest.raises(PixelFormatDecodeNotSupportedError):
            registry.resolve(Format("Mono8", variant=0))
        assert registry.resolve(Format("Mono8", variant=1)) is backend
        assert registry.resolve(Format("Mono8", variant=1)) is backend
        with pytest.raises(PixelFormatDecodeNotSupportedError):
            registry.resolve(Format("Mono8", variant=0))
        pairs = registry._resolve_cache["Mono8"]
        assert [(fmt.variant, dec) for fmt, dec in pairs] == [(0, None), (1, backend)]
        assert len(backend.asked) == 2

    def test_cache_grows_only_by_what_was_resolved(self):
        registry, _ = registry_of((1, lambda fmt: fmt.text.startswith("Mono")))
        texts = [f"Mono{n}" for n in range(200)] + [f"RGB{n}" for n in range(50)]
        for text in texts * 2:
            try:
                registry.resolve(Format(text))
            except PixelFormatDecodeNotSupportedError:
                pass
        assert sorted(registry._resolve_cache) == sorted(texts)
        assert all(len(pairs) == 1 for pairs in registry._resolve_cache.values())

    def test_designation_error_propagates_and_leaves_the_cache(self):
        class NoText(Format):
            def designation(self):
                raise Boom("no designation")

        registry, (backend,) = registry_of((1, T))
        registry.resolve(Format("Mono8"))
        with pytest.raises(Boom, match="no designation"):
            registry.resolve(NoText("Mono8"))
        assert list(registry._resolve_cache) == ["Mono8"] and len(registry._resolve_cache["Mono8"]) == 1
        assert len(backend.asked) == 1

    def test_equality_error_propagates_and_leaves_the_cache(self):
        class Incomparable(Format):
            def __eq__(self, other):
                raise Boom("no equality")

        registry, (backend,) = registry_of((1, T))
        registry.resolve(Incomparable("Mono8"))  # nothing cached yet: no comparison
        with pytest.raises(Boom, match="no equality"):
            registry.resolve(Format("Mono8"))  # the cached format's own comparison raises
        assert len(registry._resolve_cache["Mono8"]) == 1 and len(backend.asked) == 1

    def test_designation_computed_once_even_when_scanning(self):
        registry, _ = registry_of((1, F), (2, F), (3, T))
        fmt = Format("Mono8")
        registry.resolve(fmt)
        assert fmt.designations == 1


class TestApplicabilityFailures:
    @pytest.mark.parametrize(
        "name, shown",
        [("mono", "'mono'"), ("it's", '"it\'s"'), ("", "''"), ("ä\n", "'ä\\n'")],
        ids=["plain", "quote", "empty", "non-ascii"],
    )
    def test_one_error_record_with_traceback(self, name, shown, caplog):
        err = Boom("boom")
        registry = DecoderRegistry()
        registry.register(5, Backend(name, answer=err))
        fallback = Backend("fallback")
        registry.register(1, fallback)
        with caplog.at_level(logging.DEBUG, logger="korvell.pfnc.halvenor"):
            assert registry.resolve(Format("Mono8")) is fallback
        (record,) = caplog.records
        assert record.name == "korvell.pfnc.halvenor" and record.levelno == logging.ERROR
        assert record.getMessage() == f"Decoder {shown} failed applicability check: boom"
        assert record.args == ()
        assert record.exc_info[1] is err and record.exc_info[2] is not None
        assert "is_applicable" in caplog.text  # the traceback reaches the handler

    def test_failed_check_is_cached_like_a_no(self, caplog):
        registry, (bad, good) = registry_of((5, ERR), (1, T))
        for _ in range(3):
            assert registry.resolve(Format("Mono8")) is good
        assert len(bad.asked) == 1 and len(caplog.records) == 1

    def test_answer_whose_truth_fails_counts_as_a_failed_check(self, caplog):
        class Undecided:
            def __bool__(self):
                raise Boom("undecided")

        registry, _ = registry_of((1, Undecided()))
        with pytest.raises(PixelFormatDecodeNotSupportedError):
            registry.resolve(Format("Mono8"))
        assert caplog.records[0].getMessage() == "Decoder 'b0' failed applicability check: undecided"

    def test_object_registered_without_a_name_is_named_by_its_repr(self, caplog):
        class Anonymous:
            def is_applicable(self, pixel_format):
                raise Boom("boom")

            def __repr__(self):
                return "<anonymous>"

        registry = DecoderRegistry()
        registry.register(2, Anonymous())
        registry.register(1, None)
        fallback = Backend("fallback")
        registry.register(0, fallback)
        assert registry.resolve(Format("Mono8")) is fallback
        assert [r.getMessage() for r in caplog.records] == [
            "Decoder <anonymous> failed applicability check: boom",
            "Decoder None failed applicability check: 'NoneType' object has no attribute 'is_applicable'",
        ]

    def test_error_whose_text_fails_is_still_logged(self, caplog):
        class Mute(Exception):
            def __str__(self):
                raise RuntimeError("no text")

        registry, _ = registry_of((1, Mute()))
        with pytest.raises(PixelFormatDecodeNotSupportedError):
            registry.resolve(Format("Mono8"))
        assert caplog.records[0].getMessage() == "Decoder 'b0' failed applicability check: <exception str() failed>"

    @pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit], ids=lambda c: c.__name__)
    def test_interrupts_are_not_swallowed(self, interrupt, caplog):
        registry, _ = registry_of((1, interrupt()), (0, T))
        with pytest.raises(interrupt):
            registry.resolve(Format("Mono8"))
        assert registry._resolve_cache == {} and not caplog.records

    def test_replaced_logger_is_used(self, monkeypatch):
        seen = []

        class Recorder:
            def error(self, message, *, exc_info):
                seen.append((message, exc_info))

        monkeypatch.setattr(halvenor, "logger", Recorder())
        registry, _ = registry_of((1, ERR))
        with pytest.raises(PixelFormatDecodeNotSupportedError):
            registry.resolve(Format("Mono8"))
        ((message, exc),) = seen
        assert message == "Decoder 'b0' failed applicability check: boom" and type(exc) is Boom


class TestReentrantBackends:
    def test_registering_during_a_scan(self):
        registry = DecoderRegistry()
        late = Backend("late")

        def register_late(fmt):
            registry.register(9, late)
            return False

        registry.register(1, Backend("first", answer=register_late))
        assert registry.resolve(Format("Mono8")) is late  # the list grew under the scan
        assert len(registry._registrations) == 2

    def test_restoring_during_a_scan(self):
        registry = DecoderRegistry()
        empty = registry.snapshot()

        def wipe(fmt):
            registry.restore(empty)
            return True

        first = Backend("first", answer=wipe)
        registry.register(1, first)
        registry.register(2, Backend("second"))
        assert registry.resolve(Format("Mono8")) is first
        assert registry._registrations == []


# ---------------------------------------------------------------------------


class TestSnapshotRestore:
    def test_snapshot_register_restore(self):
        registry, backends = registry_of((3, T), (1, T), (3, T))
        regs = registry._registrations
        snap = registry.snapshot()
        assert snap.registrations == tuple(regs) and type(snap.registrations) is tuple
        assert all(a is b for a, b in zip(snap.registrations, regs))
        registry.register(7, Backend("extra"))
        registry.resolve(Format("Mono8"))
        registry.restore(snap)
        assert registry._registrations is regs
        assert [(r.decoder, r.priority) for r in regs] == [(backends[0], 3), (backends[1], 1), (backends[2], 3)]
        assert registry._resolve_cache == {}
        assert len(snap.registrations) == 3

    def test_register_appends_without_sorting_or_deduplicating(self):
        registry = DecoderRegistry()
        mono = Backend("mono")
        for priority in (1, 9, 1):
            registry.register(priority, mono)
        assert registry._registrations == [DecoderRegistration(mono, p) for p in (1, 9, 1)]

    def test_snapshot_leaves_the_registry_alone(self):
        registry, _ = registry_of((1, T))
        registry.resolve(Format("Mono8"))
        cache = dict(registry._resolve_cache)
        registry.snapshot()
        assert registry._resolve_cache == cache

    def test_restore_into_another_registry_any_number_of_times(self):
        source, _ = registry_of((1, T), (2, F))
        snap = source.snapshot()
        target = DecoderRegistry()
        for _ in range(2):
            target.restore(snap)
            assert target._registrations == source._registrations
        target.register(5, Backend("mono"))
        assert len(source._registrations) == 2

    @pytest.mark.parametrize("make", [lambda: None, lambda: (registration(),), DecoderRegistry], ids=["None", "tuple", "registry"])
    def test_restore_takes_a_snapshot(self, make):
        registry, _ = registry_of((1, T))
        bad = make()
        with pytest.raises(TypeError, match=re.escape(f"snap must be DecoderRegistrySnapshot, not {type(bad).__name__}")):
            registry.restore(bad)
        assert len(registry._registrations) == 1


class TestForwarding:
    def test_decode_defaults_and_result(self):
        registry, (backend,) = registry_of((1, T))
        fmt, buffer = Format("Mono8"), bytearray(b"\x01\x02")
        assert registry.decode(fmt, buffer, width=2, height=1) is buffer
        assert backend.calls == [("decode", (fmt, buffer), dict(width=2, height=1, stride=None, copy=False))]

    @pytest.mark.parametrize(
        "copy, passed", [(True, True), (1, True), ("no", True), (np.bool_(True), True), (0, False), ([], False), (None, False)],
        ids=repr,
    )
    def test_decode_passes_the_truth_of_copy(self, copy, passed):
        registry, (backend,) = registry_of((1, T))
        registry.decode(Format("Mono8"), b"", width=1, height=1, stride=4, copy=copy)
        assert backend.calls[0][2]["copy"] is passed and backend.calls[0][2]["stride"] == 4

    @pytest.mark.parametrize(
        "result, expected",
        [(12, 12), (0, 0), (True, True), (None, None), (np.int64(7), 7), (np.uint16(7), 7), (7.9, 7),
         (np.float32(3.5), 3), (Fraction(7, 2), 3), (10**30, 10**30)],
        ids=repr,
    )
    def test_buffer_size_results(self, result, expected):
        registry, (backend,) = registry_of((1, T))
        backend.result = result
        size = registry.get_buffer_size(Format("Mono8"), width=4, height=3)
        assert size == expected and type(size) is type(expected)
        assert backend.calls == [("get_buffer_size", (backend.asked[0],), dict(width=4, height=3, stride=None))]

    def test_int_subclass_result_is_returned_unchanged(self):
        class Bytes(int):
            pass

        registry, (backend,) = registry_of((1, T))
        backend.result = Bytes(5)
        assert registry.get_buffer_size(Format("Mono8"), width=1, height=1) is backend.result

    @pytest.mark.parametrize("result", ["12", b"12", [12], np.array([12]), object()], ids=lambda v: type(v).__name__)
    def test_buffer_size_that_is_not_a_number(self, result):
        registry, (backend,) = registry_of((1, T))
        backend.result = result
        expected = f"buffer size must be a number or None, not {type(result).__name__}"
        with pytest.raises(TypeError, match=re.escape(expected)):
            registry.get_buffer_size(Format("Mono8"), width=1, height=1)

    @pytest.mark.parametrize("result, error", [(float("nan"), ValueError), (float("inf"), OverflowError), (1j, TypeError)], ids=repr)
    def test_number_that_int_refuses(self, result, error):
        registry, (backend,) = registry_of((1, T))
        backend.result = result
        with pytest.raises(error):
            registry.get_buffer_size(Format("Mono8"), width=1, height=1)

    def test_visualization_options_pass_through_unchanged(self):
        registry, (backend,) = registry_of((1, T))
        image, gamma, fmt = np.ones(3), object(), Format("Mono8")
        assert registry.visualization_image(fmt, image, gamma=gamma, demosaic="edge") is image
        assert backend.calls == [("visualization_image", (fmt, image), {"gamma": gamma, "demosaic": "edge"})]
        assert backend.calls[0][2]["gamma"] is gamma

    @pytest.mark.parametrize(
        "call",
        [
            lambda r, f: r.resolve(f),
            lambda r, f: r.decode(f, b"", width=1, height=1),
            lambda r, f: r.get_buffer_size(f, width=1, height=1),
            lambda r, f: r.visualization_image(f, np.zeros(1)),
        ],
        ids=["resolve", "decode", "get_buffer_size", "visualization_image"],
    )
    def test_empty_registry_refuses_everything(self, call):
        with pytest.raises(PixelFormatDecodeNotSupportedError, match=re.escape(NO_DECODER)):
            call(DecoderRegistry(), Format("Mono8"))

    def test_decoder_errors_propagate_and_the_resolution_stays(self):
        class Failing(Backend):
            def decode(self, *args, **kwargs):
                raise Boom("corrupt frame")

        registry = DecoderRegistry()
        backend = Failing("f")
        registry.register(1, backend)
        with pytest.raises(Boom, match="corrupt frame"):
            registry.decode(Format("Mono8"), b"", width=1, height=1)
        assert registry._resolve_cache["Mono8"][0][1] is backend

    def test_overridden_resolve_is_honoured(self):
        chosen = Backend("chosen", result=42)
        seen = []

        class Pinned(DecoderRegistry):
            def resolve(self, pixel_format):
                seen.append(pixel_format)
                return chosen

        registry, fmt = Pinned(), Format("Mono8")
        assert registry.decode(fmt, b"", width=1, height=1) == 42
        assert registry.get_buffer_size(fmt, width=1, height=1) == 42
        image = np.zeros(1)
        assert registry.visualization_image(fmt, image) is image
        assert seen == [fmt] * 3

    def test_subclass_without_override_uses_the_builtin_resolve(self):
        class Plain(DecoderRegistry):
            pass

        registry = Plain()
        registry.register(1, Backend("mono"))
        assert registry.decode(Format("Mono8"), b"ab", width=2, height=1) == b"ab"


# ---------------------------------------------------------------------------


def _resolved_registry():
    registry, _ = registry_of((2, T), (1, F))
    registry.resolve(Format("Mono8", variant=3))
    return registry


class TestCopying:
    @pytest.mark.parametrize(
        "make",
        [_resolved_registry, lambda: _resolved_registry().snapshot(), registration, lambda: Backend("mono", answer=F)],
        ids=["registry", "snapshot", "registration", "decoder"],
    )
    @pytest.mark.parametrize(
        "clone", [lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy, copy.copy], ids=["pickle", "deepcopy", "copy"]
    )
    def test_round_trip(self, make, clone):
        original = make()
        twin = clone(original)
        assert twin is not original and type(twin) is type(original) and twin == original
        assert repr(twin) == repr(original)

    def test_instance_attributes_of_a_back_end_come_along(self):
        twin = pickle.loads(pickle.dumps(Backend("mono", answer=[1, 2])))
        assert twin.name == "mono" and twin.answer == [1, 2]

    def test_shallow_copy_shares_the_containers_deep_copy_does_not(self):
        registry = _resolved_registry()
        assert copy.copy(registry)._registrations is registry._registrations
        assert copy.deepcopy(registry)._resolve_cache is not registry._resolve_cache

    @pytest.mark.parametrize(
        "state, error",
        [((((), {}), None), TypeError), ((([],), None), ValueError), (([], {}), ValueError), (None, ValueError)],
        ids=["tuple-registrations", "too-few-fields", "flat", "None"],
    )
    def test_bad_state_is_refused(self, state, error):
        blank = DecoderRegistry.__new__(DecoderRegistry)
        with pytest.raises(error):
            blank.__setstate__(state)

    def test_state_cannot_overwrite_a_frozen_record(self):
        reg = registration()
        with pytest.raises(TypeError, match="not yet initialised"):
            reg.__setstate__(((Backend("rgb"), 1), None))
        assert reg.priority == 5


def test_registry_cycle_is_collected():
    class Owning(Backend):
        pass

    registry = DecoderRegistry()
    backend = Owning("owning")
    backend.registry = registry
    registry.register(1, backend)
    registry.resolve(Format("Mono8"))
    probe = weakref.ref(backend)
    del registry, backend
    gc.collect()
    assert probe() is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: PixelFormatDecoder.name.fget(1),
        lambda: PixelFormatDecoder.name.fset(1, "x"),
        lambda: PixelFormatDecoder.__eq__(1, 1),
        lambda: PixelFormatDecoder.__repr__("mono"),
        lambda: DecoderRegistration.__setattr__(int, "x", 1),
        lambda: DecoderRegistrySnapshot.__delattr__(int, "x"),
        lambda: DecoderRegistry._registrations.fget([]),
        lambda: DecoderRegistry._resolve_cache.fset(object(), {}),
        lambda: DecoderRegistry.decode(object(), Format("Mono8"), b"", width=1, height=1),
        lambda: DecoderRegistry.get_buffer_size(object(), Format("Mono8"), width=1, height=1),
    ],
    ids=["name-get", "name-set", "eq", "repr", "setattr", "delattr", "registrations-get", "cache-set",
         "decode", "get_buffer_size"],
)
def test_methods_called_on_foreign_objects_refuse_them(call):
    with pytest.raises(TypeError, match="expected a .* instance, not"):
        call()


def test_module_surface():
    assert not halvenor.__file__.endswith(".py")
    assert halvenor.__doc__ == "Decoder registry for GenICam PFNC pixel formats."
    assert halvenor.logger is logging.getLogger("korvell.pfnc.halvenor")
    assert halvenor.PixelFormatDecodeNotSupportedError is PixelFormatDecodeNotSupportedError
    docs = {cls.__name__: cls.__doc__ for cls in (DecoderRegistration, DecoderRegistrySnapshot, DecoderRegistry)}
    assert docs == {
        "DecoderRegistration": "Single decoder registration entry.",
        "DecoderRegistrySnapshot": "Snapshot of registry state for test isolation.",
        "DecoderRegistry": "Registry that resolves a decoder for a given GenICam pixel format.",
    }
    assert all(c.__module__ == "korvell.pfnc.halvenor" for c in (PixelFormatDecoder, DecoderRegistry))


def test_import_does_not_load_the_pixel_format_module():
    code = "import sys, korvell.pfnc.halvenor; print('korvell.pfnc.pixel_format' in sys.modules, 'numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False", "True"]


# ---------------------------------------------------------------------------
# Equality declines other classes, as a generated dataclass's does.


class _EqualsEverything:
    def __eq__(self, other):
        return True

    __hash__ = None


@pytest.mark.parametrize(
    "make",
    [
        lambda: Backend("mono"),
        lambda: DecoderRegistration(Backend("mono"), 1),
        lambda: DecoderRegistrySnapshot(()),
        DecoderRegistry,
    ],
    ids=["decoder", "registration", "snapshot", "registry"],
)
def test_equality_with_another_class_asks_the_other_operand(make):
    record = make()
    assert record.__eq__(_EqualsEverything()) is NotImplemented
    assert record == _EqualsEverything() and _EqualsEverything() == record
    assert (record == "mono") is False and record != 1


# ---------------------------------------------------------------------------
# A resolution during which the registrations changed is not remembered.


def _change(registry, how):
    if how == "register":
        registry.register(0, Backend("late", answer=False))
    elif how == "restore":
        registry.restore(registry.snapshot())
    else:
        registry._registrations = list(registry._registrations)


@pytest.mark.parametrize("how", ["register", "restore", "assign"])
def test_resolution_spanning_a_change_is_returned_but_not_cached(how):
    registry = DecoderRegistry()
    changes = []

    def answer(fmt):
        if not changes:
            changes.append(how)
            _change(registry, how)
        return True

    first = Backend("first", answer=answer)
    registry.register(1, first)
    assert registry.resolve(Format("Mono8")) is first
    assert registry._resolve_cache == {}
    assert registry.resolve(Format("Mono8")) is first  # asked again, now remembered
    assert len(first.asked) == 2 and len(registry._resolve_cache["Mono8"]) == 1


def test_resolution_that_only_replaced_the_cache_is_remembered_there():
    registry = DecoderRegistry()
    fresh = {}

    def answer(fmt):
        registry._resolve_cache = fresh
        return True

    first = Backend("first", answer=answer)
    registry.register(1, first)
    assert registry.resolve(Format("Mono8")) is first
    assert registry._resolve_cache is fresh and fresh["Mono8"][0][1] is first


# ---------------------------------------------------------------------------
# The module's names are read on every use, however they are replaced; the
# first call fills any cache of them before the replacement.


class _OtherError(Exception):
    pass


def _replace_by_setattr(monkeypatch):
    monkeypatch.setattr(halvenor, "PixelFormatDecodeNotSupportedError", _OtherError)


def _replace_in_dict(monkeypatch):
    monkeypatch.setitem(halvenor.__dict__, "PixelFormatDecodeNotSupportedError", _OtherError)


def _replace_by_module_getattr(monkeypatch):
    monkeypatch.delattr(halvenor, "PixelFormatDecodeNotSupportedError")
    monkeypatch.setattr(halvenor, "__getattr__", lambda name: _OtherError, raising=False)


def _replace_by_module_class(monkeypatch):
    class Shadowing(type(halvenor)):
        PixelFormatDecodeNotSupportedError = property(lambda self: _OtherError)

    monkeypatch.setattr(halvenor, "__class__", Shadowing)


@pytest.mark.parametrize(
    "replace", [_replace_by_setattr, _replace_in_dict, _replace_by_module_getattr, _replace_by_module_class],
    ids=lambda f: f.__name__.removeprefix("_replace_"),
)
def test_module_names_are_read_at_call_time(replace, monkeypatch):
    registry = DecoderRegistry()
    with pytest.raises(PixelFormatDecodeNotSupportedError):
        registry.resolve(Format("Mono8"))
    with monkeypatch.context() as patch:
        replace(patch)
        with pytest.raises(_OtherError, match=NO_DECODER):
            registry.resolve(Format("Mono8"))
    with pytest.raises(PixelFormatDecodeNotSupportedError):
        registry.resolve(Format("Mono8"))


def test_deleted_module_name_is_missing_at_once(monkeypatch):
    registry = DecoderRegistry()
    with pytest.raises(PixelFormatDecodeNotSupportedError):
        registry.resolve(Format("Mono8"))
    monkeypatch.delattr(halvenor, "PixelFormatDecodeNotSupportedError")
    with pytest.raises(AttributeError, match="PixelFormatDecodeNotSupportedError"):
        registry.resolve(Format("Mono8"))
