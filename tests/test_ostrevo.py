"""Packing: padding types, the padding-name registry, parse and designation."""

import copy
import enum
import logging
import pickle
import sys
import time
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, strategies as st

from korvell.pfnc._internal.registry import MappingSnapshot, Registry
from korvell.pfnc._internal.utils import join_designators
from korvell.pfnc.exceptions import DuplicateRegistrationError, NotRegisteredError, PixelFormatValueReject
from korvell.pfnc.genicam import ostrevo
from korvell.pfnc.genicam.ostrevo import PADDING_TYPE_NAME_REGISTRY as REGISTRY
from korvell.pfnc.genicam.ostrevo import Packing, PaddingType, PaddingTypeNameRegistry

PACKED, GROUPED, UNPACKED = PaddingType.PACKED, PaddingType.GROUPED, PaddingType.UNPACKED
DEFAULTS = {"p": PACKED, "g": GROUPED, "": UNPACKED, "Packed": PACKED}


@pytest.fixture(autouse=True)
def clean_registry():
    """Every test starts and ends with the default names only."""
    REGISTRY.restore(PaddingTypeNameRegistry.default_snapshot())
    yield
    REGISTRY.restore(PaddingTypeNameRegistry.default_snapshot())


def fields(packing):
    return (packing.padding_type_name, packing.lsb, packing.alignment, packing.cluster_marker)


def parse(text):
    return [(fields(p), rest) for p, rest in Packing.from_designation(text)]


class TestModule:
    def test_names_are_bound_in_order(self):
        public = [n for n in vars(ostrevo) if not n.startswith("__")]
        assert public == [
            "Enum", "getLogger", "PixelFormatValueReject", "DuplicateRegistrationError", "NotRegisteredError",
            "MappingSnapshot", "Registry", "join_designators", "logger",
            "PaddingType", "PaddingTypeNameRegistry", "PADDING_TYPE_NAME_REGISTRY", "Packing",
        ]  # fmt: skip
        assert ostrevo.Registry is Registry and ostrevo.join_designators is join_designators

    def test_logger_and_compiled_classes(self):
        assert ostrevo.logger is logging.getLogger("korvell.pfnc.genicam.ostrevo")
        for cls in (PaddingType, PaddingTypeNameRegistry, Packing):
            assert cls.__module__ == "korvell.pfnc.genicam.ostrevo"
        assert not ostrevo.__file__.endswith(".py")

    def test_docstrings(self):
        assert PaddingType.__doc__ == "Enumeration of padding types for pixel formats."
        assert PaddingTypeNameRegistry.__doc__ == "Registry for padding type names with immutable defaults."
        assert Packing.__doc__.startswith("Represents the packing configuration for pixel formats.")


class TestPaddingType:
    def test_members_in_order(self):
        assert issubclass(PaddingType, enum.Enum)
        assert [(m.name, m.value) for m in PaddingType] == [("PACKED", "p"), ("GROUPED", "g"), ("UNPACKED", "")]

    @pytest.mark.parametrize("value, member", [("p", PACKED), ("g", GROUPED), ("", UNPACKED)], ids=repr)
    def test_lookup_by_value_and_plain_members(self, value, member):
        assert PaddingType(value) is member
        assert member != value  # a plain enumeration, not a str enumeration
        assert str(member) == f"PaddingType.{member.name}"

    def test_members_pickle_to_themselves(self):
        assert pickle.loads(pickle.dumps(GROUPED)) is GROUPED


class TestRegistry:
    def test_fresh_registry_holds_the_defaults_in_order(self):
        reg = PaddingTypeNameRegistry()
        assert isinstance(reg, Registry)
        assert list(reg) == ["p", "g", "", "Packed"]
        assert {n: reg.resolve(n) for n in reg} == DEFAULTS
        assert reg._default_keys == set(DEFAULTS)
        with pytest.raises(NotRegisteredError, match=r"^'x' is not registered$"):
            reg.resolve("x")

    @pytest.mark.parametrize(
        "name, value, quoted",
        [("p", PACKED, "'p'"), ("Packed", PACKED, "'Packed'"), ("", UNPACKED, "''"), ("g", PACKED, "'g'")],
        ids=["p", "Packed", "(empty)", "g"],
    )
    def test_default_names_are_refused(self, name, value, quoted):
        with pytest.raises(DuplicateRegistrationError) as info:
            REGISTRY.register(name, value)
        assert str(info.value) == "Value already registered: " + quoted
        assert REGISTRY.snapshot().mapping == DEFAULTS

    def test_custom_name_and_reregistration(self):
        REGISTRY.register("x", GROUPED)
        assert REGISTRY.resolve("x") is GROUPED
        REGISTRY.register("x", PACKED)  # a custom name may change
        assert REGISTRY.resolve("x") is PACKED and list(REGISTRY)[-1] == "x"

    @pytest.mark.parametrize(
        "name, shown",
        [(5, "int"), (None, "NoneType"), (type("S", (str,), {})("x"), "S"), (b"x", "bytes")],
        ids=["int", "None", "str-subclass", "bytes"],
    )
    def test_names_must_be_exactly_str(self, name, shown):
        with pytest.raises(TypeError, match=f"^name must be str, not {shown}$"):
            REGISTRY.register(name, GROUPED)
        assert len(REGISTRY) == 4

    def test_restore_default_snapshot_drops_user_names(self):
        REGISTRY.register("x", GROUPED)
        REGISTRY.register("y", PACKED)
        REGISTRY.restore(PaddingTypeNameRegistry.default_snapshot())
        assert dict(REGISTRY.snapshot().mapping) == DEFAULTS

    def test_restore_brings_back_saved_names(self):
        REGISTRY.register("x", GROUPED)
        saved = REGISTRY.snapshot()
        REGISTRY.restore(REGISTRY.default_snapshot())
        assert "x" not in REGISTRY
        REGISTRY.restore(saved)
        assert REGISTRY.resolve("x") is GROUPED and REGISTRY._default_keys == set(DEFAULTS)

    @pytest.mark.parametrize(
        "mapping, tail",
        [
            ({"p": PACKED, "g": PACKED, "": UNPACKED, "Packed": PACKED}, "g -> PaddingType.GROUPED."),
            ({"p": PACKED, "g": GROUPED, "": UNPACKED}, "Packed -> PaddingType.PACKED."),
            ({"p": PACKED, "g": GROUPED, "Packed": PACKED}, " -> PaddingType.UNPACKED."),
            ({"p": "p", "g": GROUPED, "": UNPACKED, "Packed": PACKED}, "p -> PaddingType.PACKED."),
            ({}, "p -> PaddingType.PACKED."),  # the first default that fails is named
        ],
        ids=["g-changed", "Packed-missing", "empty-missing", "p-as-text", "empty-snapshot"],
    )
    def test_restore_refuses_changed_defaults_and_changes_nothing(self, mapping, tail):
        REGISTRY.register("x", GROUPED)
        before = REGISTRY.snapshot()
        with pytest.raises(ValueError) as info:
            REGISTRY.restore(MappingSnapshot(mapping))
        assert type(info.value) is ValueError
        assert str(info.value) == "Snapshot needs to contain default key value mapping " + tail
        assert REGISTRY.snapshot() == before

    def test_restore_takes_extra_names_as_they_are(self):
        REGISTRY.restore(MappingSnapshot({**DEFAULTS, "q": 42}))
        assert REGISTRY.resolve("q") == 42

    def test_restore_without_mapping_propagates(self):
        with pytest.raises(AttributeError):
            REGISTRY.restore(object())
        assert len(REGISTRY) == 4

    def test_restore_from_a_mapping_that_is_the_registry_itself(self):
        class Alias:
            mapping = REGISTRY._registry

        REGISTRY.register("x", GROUPED)
        REGISTRY.restore(Alias())
        assert dict(REGISTRY.snapshot().mapping) == {**DEFAULTS, "x": GROUPED}

    def test_default_snapshot_ignores_user_names_and_subclasses(self):
        class Extended(PaddingTypeNameRegistry):
            def _register_defaults(self):
                super()._register_defaults()
                self._default_keys.add("e")
                Registry.register(self, "e", GROUPED)

        ext = Extended()
        assert ext.resolve("e") is GROUPED  # the override ran at construction
        with pytest.raises(DuplicateRegistrationError):
            ext.register("e", PACKED)
        REGISTRY.register("x", GROUPED)
        for source in (REGISTRY, PaddingTypeNameRegistry, ext, Extended):
            snap = source.default_snapshot()
            assert type(snap) is MappingSnapshot and dict(snap.mapping) == DEFAULTS
        ext.restore(MappingSnapshot(DEFAULTS))  # compared with a plain registry's defaults
        assert "e" not in ext and ext._default_keys == set(DEFAULTS)

    def test_failing_default_registration_fails_construction(self):
        class Broken(PaddingTypeNameRegistry):
            def _register_defaults(self):
                raise RuntimeError("no defaults")

        with pytest.raises(RuntimeError, match="no defaults"):
            Broken()

    def test_self_cycle_is_collected(self):
        import gc
        import weakref

        class Holder(PaddingTypeNameRegistry):
            pass

        reg = Holder()
        reg.register("me", reg)
        ref = weakref.ref(reg)
        del reg
        gc.collect()
        assert ref() is None


class TestConstruction:
    def test_defaults(self):
        packing = Packing()
        assert fields(packing) == ("", True, None, 0)
        assert packing.padding_type is UNPACKED

    @pytest.mark.parametrize(
        "padding, name, resolved",
        [
            (GROUPED, "g", GROUPED),
            (PACKED, "p", PACKED),
            (UNPACKED, "", UNPACKED),
            ("Packed", "Packed", PACKED),
            ("p", "p", PACKED),
            (None, "", UNPACKED),
            ("", "", UNPACKED),
            (0, "", UNPACKED),
            (False, "", UNPACKED),
        ],
        ids=["GROUPED", "PACKED", "UNPACKED", "Packed", "p", "None", "(empty)", "0", "False"],
    )
    def test_stored_name(self, padding, name, resolved):
        packing = Packing(padding)
        assert packing.padding_type_name == name and type(packing.padding_type_name) is str
        assert packing.padding_type is resolved

    @pytest.mark.parametrize("padding, shown", [("x", "x"), (5, "5"), ("P", "P")], ids=["x", "5", "P"])
    def test_unknown_name_is_a_rejected_value(self, padding, shown):
        with pytest.raises(PixelFormatValueReject) as info:
            Packing(padding)
        assert str(info.value) == shown + " is not a valid padding type name."
        assert isinstance(info.value.__cause__, NotRegisteredError)

    def test_name_registered_later_is_accepted(self):
        with pytest.raises(PixelFormatValueReject):
            Packing("x")
        REGISTRY.register("x", GROUPED)
        assert Packing("x").padding_type is GROUPED

    @pytest.mark.parametrize(
        "value, stored",
        [(2.7, 2), (-2.7, -2), (True, 1), (Fraction(7, 2), 3), (Decimal("9.9"), 9), (np.int64(12), 12), (10**30, 10**30)],
        ids=["2.7", "-2.7", "True", "7/2", "Decimal", "int64", "30-digit"],
    )
    def test_numbers_become_ints(self, value, stored):
        packing = Packing("p", True, value, value)
        assert type(packing.alignment) is int and packing.alignment == stored
        assert type(packing.cluster_marker) is int and packing.cluster_marker == stored

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"alignment": "3"}, "alignment must be int, not str"),
            ({"alignment": 1j}, "alignment must be int, not complex"),
            ({"alignment": [3]}, "alignment must be int, not list"),
            ({"cluster_marker": None}, "cluster_marker must be int, not NoneType"),
            ({"cluster_marker": "3"}, "cluster_marker must be int, not str"),
            ({"padding_type": "x", "alignment": "3"}, "alignment must be int, not str"),
        ],
        ids=["alignment-str", "alignment-complex", "alignment-list", "cluster-None", "cluster-str", "before-name"],
    )
    def test_non_numbers_are_refused(self, kwargs, message):
        with pytest.raises(TypeError) as info:
            Packing(**kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize("value, shown", [(float("nan"), ValueError), (float("inf"), OverflowError)], ids=["nan", "inf"])
    def test_floats_without_an_integer_keep_their_error(self, value, shown):
        with pytest.raises(shown):
            Packing(alignment=value)

    @pytest.mark.parametrize("value, lsb", [(0, False), ("", False), (None, False), ("no", True), ([0], True)])
    def test_lsb_takes_the_truth_value(self, value, lsb):
        assert Packing(lsb=value).lsb is lsb

    def test_attributes_are_writable_without_checks(self):
        packing = Packing("p", alignment=8)
        packing.padding_type_name = "nope"
        packing.lsb = "yes"
        packing.alignment = "x"
        packing.cluster_marker = None
        assert fields(packing) == ("nope", "yes", "x", None)
        with pytest.raises(NotRegisteredError):
            packing.padding_type

    def test_no_hash_and_no_custom_repr(self):
        with pytest.raises(TypeError, match="unhashable"):
            hash(Packing())
        assert repr(Packing()).startswith("<korvell.pfnc.genicam.ostrevo.Packing object at 0x")

    def test_reference_cycle_through_a_field_is_collected(self):
        import gc

        collected = []

        class Flag:
            def __del__(self):
                collected.append(True)

        packing = Packing()
        packing.alignment = [packing, Flag()]
        del packing
        gc.collect()
        assert collected == [True]

    def test_pickle_and_copy(self):
        packing = Packing("Packed", False, 32, 3)
        for clone in (pickle.loads(pickle.dumps(packing)), copy.deepcopy(packing)):
            assert fields(clone) == ("Packed", False, 32, 3)


class TestEquality:
    def test_names_for_the_same_type_are_equal(self):
        assert Packing("p") == Packing("Packed") == Packing(PACKED)
        assert Packing("p").designation() != Packing("Packed").designation()

    @pytest.mark.parametrize(
        "kwargs",
        [{"padding_type": "g"}, {"lsb": False}, {"alignment": 8}, {"alignment": 0}, {"cluster_marker": 1}],
        ids=["padding", "lsb", "alignment", "alignment-0", "cluster"],
    )
    def test_each_field_counts(self, kwargs):
        assert Packing() != Packing(**kwargs) and not Packing().__eq__(Packing(**kwargs))

    @pytest.mark.parametrize("other", ["", 0, None, PaddingType.UNPACKED, ("", True, None, 0)], ids=repr)
    def test_other_types_are_unequal(self, other):
        assert Packing().__eq__(other) is False
        assert (Packing() == other) is False

    def test_subclass_instances_compare_by_value(self):
        class Sub(Packing):
            pass

        assert Sub("p", alignment=32) == Packing("Packed", alignment=32)

    def test_removed_name_raises_on_every_use(self):
        REGISTRY.register("x", GROUPED)
        packing = Packing("x", alignment=0)
        REGISTRY.restore(REGISTRY.default_snapshot())
        with pytest.raises(NotRegisteredError, match=r"^'x' is not registered$"):
            packing.padding_type
        # the padding types are compared first, before the differing lsb
        with pytest.raises(NotRegisteredError):
            packing == Packing("g", lsb=False)
        with pytest.raises(NotRegisteredError):
            Packing("g", lsb=False) == packing
        assert packing.designation() == "x"  # no alignment: the name is written as it stands
        packing.alignment = 16
        with pytest.raises(NotRegisteredError):
            packing.designation()


PIECES = [
    (("p", True, None, 0), ("", "p", "")),
    (("p", False, 32, 0), ("", "pmsb32", "")),
    (("Packed", True, 32, 0), ("", "Packed32", "")),
    (("g", True, 16, 0), ("", "g", "a16")),
    (("", False, 16, 0), ("", "msb", "a16")),
    (("p", True, 32, 3), ("c3", "p32", "")),
    (("", True, 0, 0), ("", "", "")),
    (("p", True, 0, 0), ("", "p", "")),
    (("g", False, None, 12), ("c12", "gmsb", "")),
    (("Packed", False, 10**30, 10**30), ("c" + str(10**30), "Packedmsb" + str(10**30), "")),
]


class TestDesignation:
    @pytest.mark.parametrize("args, pieces", PIECES, ids=[p[1][0] + p[1][1] + p[1][2] or "(empty)" for p in PIECES])
    def test_pieces_and_the_two_joins(self, args, pieces, monkeypatch):
        calls = []

        def recording_join(left, right):
            calls.append((left, right))
            return join_designators(left, right)

        monkeypatch.setattr(ostrevo, "join_designators", recording_join)
        text = Packing(*args).designation()
        cluster, padding, alignment = pieces
        assert calls == [(cluster, padding), (join_designators(cluster, padding), alignment)]
        assert text == join_designators(join_designators(cluster, padding), alignment)

    @pytest.mark.parametrize(
        "name, padding, text",
        [("P", PACKED, "c2P32"), ("G", GROUPED, "c2Ga32"), ("8x", GROUPED, "c2_8xa32")],
        ids=["P", "G", "8x"],
    )
    def test_custom_names_follow_their_padding_type(self, name, padding, text):
        REGISTRY.register(name, padding)
        assert Packing(name, True, 32, 2).designation() == text

    def test_changed_registration_changes_the_designation(self):
        REGISTRY.register("x", GROUPED)
        packing = Packing("x", alignment=4)
        assert packing.designation() == "xa4"
        REGISTRY.register("x", PACKED)
        assert packing.designation() == "x4"

    def test_a_number_over_the_digit_limit_raises(self):
        limit = sys.get_int_max_str_digits()
        if limit == 0:
            pytest.skip("no integer-string limit in this interpreter")
        with pytest.raises(ValueError):
            Packing("p", alignment=10 ** (limit + 1)).designation()


def row(name, lsb, alignment, cluster, rest):
    return ((name, lsb, alignment, cluster), rest)


WORKED_EXAMPLES = [
    ("", [row("", True, None, 0, "")]),
    ("p32", [row("p", True, None, 0, "32"), row("p", True, 32, 0, ""), row("", True, None, 0, "p32")]),
    (
        "c3p32",
        [row("", True, None, 0, "c3p32"), row("p", True, None, 3, "32"), row("p", True, 32, 3, ""),
         row("", True, None, 3, "p32")],
    ),  # fmt: skip
    (
        "pmsb32",
        [row("p", True, None, 0, "msb32"), row("p", False, None, 0, "32"), row("p", False, 32, 0, ""),
         row("", True, None, 0, "pmsb32")],
    ),  # fmt: skip
    ("ga16", [row("g", True, None, 0, "a16"), row("g", True, 16, 0, ""), row("", True, None, 0, "ga16")]),
    ("Packed", [row("", True, None, 0, "Packed"), row("p", True, None, 0, "")]),
    ("_p", [row("p", True, None, 0, ""), row("", True, None, 0, "p")]),
    ("_x", [row("", True, None, 0, "_x")]),
    ("c0p", [row("", True, None, 0, "c0p")]),
    ("pa16", [row("p", True, None, 0, "a16"), row("", True, None, 0, "pa16")]),
]

MORE_EXAMPLES = [
    ("c", [row("", True, None, 0, "c")]),
    ("c05", [row("", True, None, 0, "c05")]),
    ("c12p", [row("", True, None, 0, "c12p"), row("p", True, None, 12, ""), row("", True, None, 12, "p")]),
    ("p032", [row("p", True, None, 0, "032"), row("p", True, 32, 0, ""), row("", True, None, 0, "p032")]),
    ("p0", [row("p", True, None, 0, "0"), row("p", True, 0, 0, ""), row("", True, None, 0, "p0")]),
    ("_", [row("", True, None, 0, "_")]),
    ("__p", [row("", True, None, 0, "__p")]),
    ("msb", [row("", True, None, 0, "msb"), row("", False, None, 0, "")]),
    ("_a7", [row("", True, None, 0, "a7"), row("", True, 7, 0, "")]),
    ("a007x", [row("", True, None, 0, "a007x"), row("", True, 7, 0, "x")]),
    ("c3_msb", [row("", True, None, 0, "c3_msb"), row("", True, None, 3, "msb"), row("", False, None, 3, "")]),
    ("c3__g", [row("", True, None, 0, "c3__g"), row("", True, None, 3, "__g")]),
    ("Packedmsb8", [row("", True, None, 0, "Packedmsb8"), row("p", True, None, 0, "msb8"),
                    row("p", False, None, 0, "8"), row("p", False, 8, 0, "")]),  # fmt: skip
    ("pa", [row("p", True, None, 0, "a"), row("", True, None, 0, "pa")]),
    ("p٣2", [row("p", True, None, 0, "٣2"), row("", True, None, 0, "p٣2")]),
    ("c²p", [row("", True, None, 0, "c²p")]),
    ("p8\ud800", [row("p", True, None, 0, "8\ud800"), row("p", True, 8, 0, "\ud800"), row("", True, None, 0, "p8\ud800")]),
    ("gä", [row("g", True, None, 0, "ä"), row("", True, None, 0, "gä")]),
]


class TestFromDesignation:
    @pytest.mark.parametrize("text, expected", WORKED_EXAMPLES, ids=[t or "(empty)" for t, _ in WORKED_EXAMPLES])
    def test_worked_examples(self, text, expected):
        assert parse(text) == expected

    @pytest.mark.parametrize("text, expected", MORE_EXAMPLES, ids=[t for t, _ in MORE_EXAMPLES])
    def test_edge_cases(self, text, expected):
        assert parse(text) == expected

    def test_candidates_are_plain_packings(self):
        for packing, rest in Packing.from_designation("c3Packedmsb32"):
            assert type(packing) is Packing and type(rest) is str
            assert packing.padding_type_name in ("p", "g", "")

    def test_untouched_text_is_handed_back(self):
        text = "".join(["g", "x"])
        assert Packing.from_designation(text)[-1][1] is text

    @pytest.mark.parametrize("bad", [None, b"p", 5, type("S", (str,), {})("p")], ids=["None", "bytes", "int", "str-subclass"])
    def test_argument_must_be_exactly_str(self, bad):
        with pytest.raises(TypeError, match=f"^full_designation must be str, not {type(bad).__name__}$"):
            Packing.from_designation(bad)

    @pytest.mark.parametrize("text", ["c" + "1" * 30 + "p" + "2" * 30, "c" + "9" * 30 + "ga" + "0" * 29 + "1"])
    def test_thirty_digit_numbers_are_exact(self, text):
        last = Packing.from_designation(text)[-2]
        packing, rest = last
        assert rest == "" and packing.cluster_marker == int(text[1:31]) and packing.alignment == int(text[-30:])

    @pytest.mark.parametrize("prefix", ["c", "p", "ga", "Packedmsb", "a"])
    def test_a_run_over_the_digit_limit_raises_at_once(self, prefix):
        limit = sys.get_int_max_str_digits()
        if limit == 0:
            pytest.skip("no integer-string limit in this interpreter")
        with pytest.raises(ValueError, match="limit"):
            Packing.from_designation(prefix + "7" * (limit + 1))

    @pytest.mark.parametrize("text", ["p" + "x" * 1_000_000, "c9_" + "a" * 1_000_000, "_" * 1_000_000, "Pac" * 333_334])
    def test_long_text_that_is_mostly_not_digits(self, text):
        for name in ("pa", "Pa", "Pac", "aaaa"):
            REGISTRY.register(name, GROUPED)
        start = time.perf_counter()
        result = Packing.from_designation(text)
        assert time.perf_counter() - start < 5  # a guard against quadratic work, not a benchmark
        assert result[0][1] in (text, text[1:], text[3:], text[4:])

    def test_names_that_are_prefixes_of_each_other_and_of_msb(self):
        REGISTRY.register("m", GROUPED)
        REGISTRY.register("ms", PACKED)
        REGISTRY.register("pp", GROUPED)
        assert parse("msb4") == [
            row("", True, None, 0, "msb4"), row("", False, None, 0, "4"),
            row("g", True, None, 0, "sb4"),
            row("p", True, None, 0, "b4"),
        ]  # fmt: skip
        assert parse("pp") == [row("p", True, None, 0, "p"), row("", True, None, 0, "pp"), row("g", True, None, 0, "")]

    def test_a_name_that_is_not_text_never_matches(self):
        Registry.register(REGISTRY, 7, GROUPED)  # the base accepts any key
        assert parse("_7g") == [row("", True, None, 0, "_7g")]
        assert parse("g") == [row("g", True, None, 0, ""), row("", True, None, 0, "g")]

    def test_custom_name_makes_the_separator_drop(self):
        assert parse("_x") == [row("", True, None, 0, "_x")]
        REGISTRY.register("x", GROUPED)
        assert parse("_x") == [row("", True, None, 0, "x"), row("g", True, None, 0, "")]

    def test_unregistered_value_is_rejected_and_logged(self, caplog):
        REGISTRY.register("z", "zz")  # the registry does not check values
        with caplog.at_level(logging.DEBUG, logger="korvell.pfnc.genicam.ostrevo"):
            assert parse("z") == [row("", True, None, 0, "z")]
        assert [r.getMessage() for r in caplog.records] == ["Value rejected zz is not a valid padding type name."]
        assert all(r.levelno == logging.DEBUG and r.args == () for r in caplog.records)

    def test_replaced_registry_is_read_at_call_time(self, monkeypatch):
        class Mapped(PaddingTypeNameRegistry):
            seen = []

            def resolve(self, name):
                self.seen.append(name)
                return super().resolve(name)

        reg = Mapped()
        reg.register("G", GROUPED)
        monkeypatch.setattr(ostrevo, "PADDING_TYPE_NAME_REGISTRY", reg)
        assert parse("G") == [row("", True, None, 0, "G"), row("g", True, None, 0, "")]
        assert Mapped.seen[:4] == ["p", "g", "", "Packed"]  # every name is resolved, matching or not
        assert Packing("G").padding_type is GROUPED  # the module's own registry never heard of "G"
        monkeypatch.undo()
        with pytest.raises(PixelFormatValueReject):
            Packing("G")

    def test_other_errors_of_resolve_propagate(self, monkeypatch):
        class Failing(PaddingTypeNameRegistry):
            def resolve(self, name):
                raise KeyError(name)

        monkeypatch.setattr(ostrevo, "PADDING_TYPE_NAME_REGISTRY", Failing())
        with pytest.raises(KeyError):
            Packing.from_designation("p")
        with pytest.raises(KeyError):
            Packing("p")

    def test_monkeypatched_error_types_are_used(self, monkeypatch):
        class Marker(Exception):
            pass

        monkeypatch.setattr(ostrevo, "PixelFormatValueReject", Marker)
        with pytest.raises(Marker, match="^x is not a valid padding type name.$"):
            Packing("x")
        REGISTRY.register("z", "zz")
        assert parse("z") == [row("", True, None, 0, "z")]


@given(
    name=st.sampled_from(["p", "g", "", "Packed", PACKED, GROUPED, UNPACKED, None]),
    lsb=st.booleans(),
    alignment=st.none() | st.integers(min_value=1, max_value=10**40),
    cluster=st.integers(min_value=0, max_value=10**40),
)
def test_designation_reads_back(name, lsb, alignment, cluster):
    """Every valid packing is among the candidates of its own designation, with nothing left."""
    packing = Packing(name, lsb, alignment, cluster)
    text = packing.designation()
    assert (packing, "") in [(p, rest) for p, rest in Packing.from_designation(text)]


# ---------------------------------------------------------------------------
# The parse and the designation take a direct route while the registry is the
# plain compiled one holding str names for PaddingType members, and while
# `join_designators` is the package's own; every other state takes the route
# through the interpreter.  Both are checked against the rules written out.

import collections  # noqa: E402
import re  # noqa: E402


def reference_parse(text, registry):
    """The four stages of the packing parse, candidates built by the constructor."""
    found = []
    clusters = [(0, text)]
    digits = re.match("[0-9]*", text[1:]).group() if text.startswith("c") else ""
    if digits and digits[0] != "0":
        clusters.append((int(digits), text[1 + len(digits) :]))
    for cluster, rest in clusters:
        after = rest[1:]
        if rest.startswith("_") and (
            after.startswith(("msb", "a")) or any(type(n) is str and n and after.startswith(n) for n in list(registry))
        ):
            rest = after
        paddings = [(registry.resolve(n), n) for n in list(registry)]
        for padding, rest2 in [(p, rest[len(n) :]) for p, n in paddings if isinstance(n, str) and rest.startswith(n)]:
            for lsb, rest3 in [(True, rest2)] + ([(False, rest2[3:])] if rest2.startswith("msb") else []):
                source = rest3 if padding is PACKED else rest3[1:] if rest3.startswith("a") else ""
                digits = re.match("[0-9]*", source).group()
                for alignment, rest4 in [(None, rest3)] + ([(int(digits), source[len(digits) :])] if digits else []):
                    try:
                        found.append((fields(Packing(padding, lsb, alignment, cluster)), rest4))
                    except PixelFormatValueReject:
                        pass
    return found


def reference_designation(packing):
    padding = str(packing.padding_type_name) + ("" if packing.lsb else "msb")
    cluster = "c" + str(packing.cluster_marker) if packing.cluster_marker else ""
    alignment = ""
    if packing.alignment:
        if packing.padding_type is PACKED:
            padding += str(packing.alignment)
        else:
            alignment = "a" + str(packing.alignment)
    return join_designators(join_designators(cluster, padding), alignment)


class Name(str):
    pass


class Plain(PaddingTypeNameRegistry):
    """Overrides nothing, and still takes the route through the interpreter."""


GUARD_TEXTS = ["", "c3p32", "pmsb32", "_Ga16", "c7_Gmsba9", "xa4", "c12_x", "Packedmsb", "éa1", "c3_é8", "_zp"]


def registry_subclass(registry):
    replacement = Plain()
    for name in list(registry):
        if name not in replacement:
            Registry.register(replacement, name, registry.resolve(name))
    return replacement


def value_not_a_member(registry):
    REGISTRY.register("z", "zz")


def member_name_gone(registry):
    registry._registry.pop("g")


def str_subclass_name(registry):
    Registry.register(registry, Name("x"), GROUPED)


def mapping_not_a_dict(registry):
    registry._registry = collections.OrderedDict(registry._registry)


@pytest.mark.parametrize(
    "leave_the_plain_route", [None, registry_subclass, value_not_a_member, member_name_gone, str_subclass_name,
                              mapping_not_a_dict],
    ids=lambda f: f.__name__ if f else "plain",
)  # fmt: skip
def test_every_route_parses_by_the_rules(leave_the_plain_route, monkeypatch):
    for name, padding in [("G", GROUPED), ("é", GROUPED), ("x", PACKED)]:
        REGISTRY.register(name, padding)
    registry = REGISTRY
    if leave_the_plain_route:
        registry = leave_the_plain_route(REGISTRY) or REGISTRY
        monkeypatch.setattr(ostrevo, "PADDING_TYPE_NAME_REGISTRY", registry)
    for text in GUARD_TEXTS:
        assert parse(text) == reference_parse(text, registry), text


@given(text=st.text("cpgPackedmsbaxé_0123", max_size=12))
def test_plain_route_parses_by_the_rules(text):
    assert parse(text) == reference_parse(text, REGISTRY)


def test_registry_changed_between_two_parses_of_the_same_text(monkeypatch):
    assert parse("Qa4") == [row("", True, None, 0, "Qa4")]
    REGISTRY.register("Q", GROUPED)
    assert parse("Qa4") == reference_parse("Qa4", REGISTRY) != [row("", True, None, 0, "Qa4")]
    monkeypatch.setattr(ostrevo, "PADDING_TYPE_NAME_REGISTRY", registry_subclass(PaddingTypeNameRegistry()))
    assert parse("Qa4") == [row("", True, None, 0, "Qa4")]
    monkeypatch.undo()
    REGISTRY.restore(REGISTRY.default_snapshot())
    assert parse("Qa4") == [row("", True, None, 0, "Qa4")]


def test_a_change_made_while_a_candidate_is_logged_counts_for_the_next_marker():
    REGISTRY.register("c", "zz")  # a name whose candidates are rejected and logged

    class Registering(logging.Handler):
        def emit(self, record):
            REGISTRY.register("q", GROUPED)

    handler = Registering(logging.DEBUG)
    ostrevo.logger.addHandler(handler)
    ostrevo.logger.setLevel(logging.DEBUG)
    try:
        assert parse("c3q") == [row("", True, None, 0, "c3q"), row("", True, None, 3, "q"), row("g", True, None, 3, "")]
    finally:
        ostrevo.logger.removeHandler(handler)
        ostrevo.logger.setLevel(logging.NOTSET)


@pytest.mark.parametrize(
    "changes",
    [
        {}, {"padding_type_name": Name("p")}, {"lsb": 0}, {"lsb": [1]}, {"alignment": np.int64(8)},
        {"alignment": 8.0}, {"alignment": True}, {"cluster_marker": np.int64(5)}, {"cluster_marker": False},
        {"padding_type_name": "é"}, {"padding_type_name": "x\ud800"}, {"alignment": 0, "padding_type_name": "unknown"},
    ],
    ids=repr,
)  # fmt: skip
@pytest.mark.parametrize("registry", ["plain", "subclass"])
def test_every_route_writes_by_the_rules(changes, registry, monkeypatch):
    for name, padding in [("é", GROUPED), ("x\ud800", PACKED)]:
        REGISTRY.register(name, padding)
    if registry == "subclass":
        monkeypatch.setattr(ostrevo, "PADDING_TYPE_NAME_REGISTRY", registry_subclass(REGISTRY))
    packing = Packing("p", False, 32, 3)
    for field, value in changes.items():
        setattr(packing, field, value)
    assert packing.designation() == reference_designation(packing)


def test_a_replaced_join_is_called_for_a_plain_packing(monkeypatch):
    calls = []

    def join(left, right):
        calls.append((left, right))
        return left + "+" + right

    monkeypatch.setattr(ostrevo, "join_designators", join)
    assert Packing("g", True, 16, 3).designation() == "c3+g+a16"
    assert calls == [("c3", "g"), ("c3+g", "a16")]


def test_a_subclass_tells_its_own_padding_type_for_the_designation():
    class AlwaysPacked(Packing):
        @property
        def padding_type(self):
            return PACKED

    assert AlwaysPacked("g", True, 16).designation() == "g16"
    assert Packing("g", True, 16).designation() == "ga16"


def test_a_parse_run_by_a_finalizer_inside_a_parse_leaves_both_right():
    import gc

    inner = []

    class Finalized:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            inner.append(parse("pmsb32"))

    threshold = gc.get_threshold()
    gc.set_threshold(1)  # a collection on nearly every allocation, inside the parse's too
    try:
        for _ in range(30):
            Finalized()
            assert parse("c3p32") == WORKED_EXAMPLES[2][1]
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    assert inner and all(found == WORKED_EXAMPLES[3][1] for found in inner)


@pytest.mark.parametrize(
    "change",
    [
        lambda: REGISTRY.register("Q", GROUPED),
        lambda: REGISTRY._registry.__setitem__("Q", GROUPED),
        lambda: setattr(REGISTRY, "_registry", {**REGISTRY._registry, "Q": GROUPED}),
        lambda: REGISTRY.restore(MappingSnapshot({**DEFAULTS, "Q": GROUPED})),
        lambda: REGISTRY._registry.__setitem__("Q", "not a member"),
        lambda: REGISTRY._registry.pop("g"),
    ],
    ids=["register", "dict item", "new dict", "restore", "not a member", "member name gone"],
)
def test_each_change_of_the_registry_counts_at_the_next_parse(change):
    REGISTRY.register("Q", PACKED)
    for text in ("Q8", "Qa8", "c2_Q8"):
        assert parse(text) == reference_parse(text, REGISTRY)
    change()
    for text in ("Q8", "Qa8", "c2_Q8"):
        assert parse(text) == reference_parse(text, REGISTRY)
