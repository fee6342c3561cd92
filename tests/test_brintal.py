"""Data types: the default data types, their registry and the per-channel data-type part."""

import abc
import enum
import gc
import inspect
import itertools
import logging
import pickle
import re
import typing
import warnings
import weakref

import pytest

from korvell.pfnc._internal.registry import MappingSnapshot, Registry
from korvell.pfnc.exceptions import (
    DuplicateRegistrationError,
    NotRegisteredError,
    ParseReject,
    PixelFormatValueReject,
)
from korvell.pfnc.genicam import brintal
from korvell.pfnc.genicam.brintal import (
    DATA_TYPE_REGISTRY,
    CompoundDataTypes,
    DataType,
    DataTypeRegistry,
    DataTypes,
    DefaultDataType,
    datatype_name,
    is_data_type,
)

U, S, F = DefaultDataType.UNSIGNED, DefaultDataType.SIGNED, DefaultDataType.FLOAT
DEFAULTS = {"": U, "s": S, "f": F, "u": U}
LOGGER = "korvell.pfnc.genicam.brintal"
ONE_LETTER = "Custom data types are only allowed to contain one letter."


@pytest.fixture(autouse=True)
def shared_registry():
    """Every test leaves the process-wide registry as it found it."""
    saved = DATA_TYPE_REGISTRY.snapshot()
    yield DATA_TYPE_REGISTRY
    DATA_TYPE_REGISTRY.restore(saved)


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


@pytest.fixture
def later_subclasses():
    """Python subclasses of DataTypes made by a test are gone before the next one."""
    yield
    gc.collect()


def compound(*entries):
    return CompoundDataTypes(list(entries))


def make_part(name, entries=(), from_designation=None, omit=None):
    """A Python implementation of DataTypes (defined at call time)."""
    body = {
        "designation": lambda self: "".join(datatype_name(e) for e in entries),
        "__len__": lambda self: len(entries),
        "__getitem__": lambda self, item: entries[item],
    }
    body.pop(omit, None)
    if from_designation is not None:
        body["from_designation"] = staticmethod(from_designation)
    return type(name, (DataTypes,), body)


def messages(caplog):
    for record in caplog.records:
        assert record.name == LOGGER and record.levelno == logging.DEBUG
        assert record.args == ()  # one ready-made text per record
    return [record.getMessage() for record in caplog.records]


def exact(text):
    return "^" + re.escape(text) + "$"


class TestModule:
    def test_names_are_bound_in_order(self):
        names = [n for n in vars(brintal) if not n.startswith("__")]
        assert names == [
            "ABCMeta", "abstractmethod", "Enum", "get_args", "TypeGuard", "getLogger",
            "DuplicateRegistrationError", "NotRegisteredError", "ParseReject", "PixelFormatValueReject",
            "all_implementations", "MappingSnapshot", "Registry",
            "logger", "DefaultDataType", "DataType", "DataTypeRegistry", "DATA_TYPE_REGISTRY",
            "is_data_type", "datatype_name", "DataTypes", "CompoundDataTypes",
        ]  # fmt: skip

    def test_bound_names_are_the_package_objects(self):
        assert brintal.ParseReject is ParseReject
        assert brintal.Registry is Registry and brintal.MappingSnapshot is MappingSnapshot
        assert brintal.ABCMeta is abc.ABCMeta and brintal.Enum is enum.Enum
        assert brintal.TypeGuard is typing.TypeGuard and brintal.get_args is typing.get_args

    def test_logger_is_named_after_the_module(self):
        assert brintal.logger is logging.getLogger(LOGGER)

    def test_module_is_compiled(self):
        assert not brintal.__file__.endswith(".py")
        for cls in (DataTypeRegistry, DataTypes, CompoundDataTypes, DefaultDataType):
            assert cls.__module__ == LOGGER

    def test_data_type_is_the_union_in_order(self):
        assert DataType == typing.Union[DefaultDataType, str]
        assert typing.get_args(DataType) == (DefaultDataType, str)

    @pytest.mark.parametrize(
        "cls, doc",
        [
            (DefaultDataType, "Enumeration for default data types."),
            (DataTypeRegistry, "Registry for data types with immutable defaults."),
            (DataTypes, "Abstract base class for data type designations."),
            (CompoundDataTypes, "Represents a compound designation containing multiple data types."),
        ],
        ids=lambda v: getattr(v, "__name__", None),
    )
    def test_documentation_text(self, cls, doc):
        assert cls.__doc__ == doc


class TestDefaultDataType:
    def test_members_in_declaration_order(self):
        assert [(m.name, m.value) for m in DefaultDataType] == [("UNSIGNED", ""), ("SIGNED", "s"), ("FLOAT", "f")]
        assert issubclass(DefaultDataType, enum.Enum) and not issubclass(DefaultDataType, str)

    @pytest.mark.parametrize("member", list(DefaultDataType), ids=lambda m: m.name)
    def test_member_never_equals_a_string(self, member):
        assert member != member.value
        assert member.value != member
        assert str(member) == f"DefaultDataType.{member.name}"

    def test_members_pickle_to_themselves(self):
        assert pickle.loads(pickle.dumps(S)) is S


class TestRegistryBasics:
    def test_derives_from_the_shared_registry(self):
        assert issubclass(DataTypeRegistry, Registry)
        assert isinstance(DATA_TYPE_REGISTRY, DataTypeRegistry)

    def test_new_registry_holds_the_defaults_in_order(self):
        registry = DataTypeRegistry()
        assert list(registry.snapshot().mapping.items()) == list(DEFAULTS.items())
        assert registry._default_keys == {"", "s", "f", "u"}
        assert type(registry._default_keys) is set

    @pytest.mark.parametrize("name, member", DEFAULTS.items(), ids=repr)
    def test_defaults_resolve(self, name, member):
        assert DataTypeRegistry().resolve(name) is member
        assert DATA_TYPE_REGISTRY.resolve(name) is member

    def test_unknown_name_is_not_registered(self):
        with pytest.raises(NotRegisteredError, match="'x'"):
            DataTypeRegistry().resolve("x")

    def test_registries_are_independent(self):
        one, two = DataTypeRegistry(), DataTypeRegistry()
        one.register("x")
        assert "x" in one and "x" not in two
        assert one._default_keys is not two._default_keys


class TestRegister:
    @pytest.mark.parametrize("name", ["x", "1", "_", "é", "😀", " "], ids=repr)
    def test_single_character_is_its_own_data_type(self, name):
        registry = DataTypeRegistry()
        assert registry.register(name) is None
        assert registry.resolve(name) == name

    def test_value_makes_an_alias(self):
        registry = DataTypeRegistry()
        registry.register("x", S)
        assert registry.resolve("x") is S
        assert "x" not in registry._default_keys

    @pytest.mark.parametrize("value", [5, 3.5, "long custom type", None], ids=repr)
    def test_values_are_not_validated(self, value):
        registry = DataTypeRegistry()
        registry.register("x", value)
        assert registry.resolve("x") == ("x" if value is None else value)

    def test_registering_a_custom_name_again_overwrites(self):
        registry = DataTypeRegistry()
        registry.register("x")
        registry.register("x", F)
        assert registry.resolve("x") is F
        assert list(registry) == ["", "s", "f", "u", "x"]

    @pytest.mark.parametrize("name", ["", "s", "f", "u"], ids=repr)
    @pytest.mark.parametrize("value", [None, S, "z"], ids=repr)
    def test_defaults_are_refused(self, name, value):
        registry = DataTypeRegistry()
        before = registry.snapshot()
        with pytest.raises(DuplicateRegistrationError, match=exact(f"Value already registered: {name!r}")):
            registry.register(name, value)
        assert registry.snapshot() == before

    @pytest.mark.parametrize("name", ["xy", "ss", "uu", "abc", "é😀"], ids=repr)
    def test_longer_names_are_refused(self, name):
        registry = DataTypeRegistry()
        with pytest.raises(ValueError, match=exact(ONE_LETTER)) as info:
            registry.register(name)
        assert type(info.value) is ValueError
        assert name not in registry and len(registry) == 4

    @pytest.mark.parametrize(
        "name",
        [None, 1, b"x", ("x",), type("Designator", (str,), {})("s")],
        ids=["None", "int", "bytes", "tuple", "str-subclass"],
    )
    def test_non_str_names_are_refused_first(self, name):
        registry = DataTypeRegistry()
        with pytest.raises(TypeError, match="name must be str"):
            registry.register(name)
        assert len(registry) == 4

    @pytest.mark.parametrize("name, accepted", [("", True), ("u", True), ("x", True), ("xy", False)], ids=repr)
    def test_validate(self, name, accepted):
        registry = DataTypeRegistry()
        if accepted:
            assert registry._validate(name, object()) is None
        else:
            with pytest.raises(ValueError, match=exact(ONE_LETTER)):
                registry._validate(name, U)

    def test_monkeypatched_error_type_is_raised(self, monkeypatch):
        class Marker(Exception):
            pass

        monkeypatch.setattr(brintal, "DuplicateRegistrationError", Marker)
        with pytest.raises(Marker, match="'s'"):
            DataTypeRegistry().register("s")


class TestSnapshots:
    def test_default_snapshot_ignores_custom_entries(self):
        DATA_TYPE_REGISTRY.register("x")
        registry = DataTypeRegistry()
        registry.register("y")
        for snap in (DataTypeRegistry.default_snapshot(), registry.default_snapshot()):
            assert isinstance(snap, MappingSnapshot)
            assert dict(snap.mapping) == DEFAULTS

    def test_default_snapshot_builds_a_plain_registry_even_on_a_subclass(self):
        class Extra(DataTypeRegistry):
            def _register_defaults(self):
                super()._register_defaults()
                self._default_keys.add("z")
                Registry.register(self, "z", F)

        assert "z" in Extra().snapshot().mapping
        assert dict(Extra.default_snapshot().mapping) == DEFAULTS

    def test_restore_default_snapshot_removes_custom_entries(self):
        DATA_TYPE_REGISTRY.register("x")
        DATA_TYPE_REGISTRY.register("y", S)
        DATA_TYPE_REGISTRY.restore(DataTypeRegistry.default_snapshot())
        assert dict(DATA_TYPE_REGISTRY.snapshot().mapping) == DEFAULTS
        assert DATA_TYPE_REGISTRY._default_keys == {"", "s", "f", "u"}

    def test_restore_brings_a_custom_entry_back(self):
        DATA_TYPE_REGISTRY.register("x", F)
        with_x = DATA_TYPE_REGISTRY.snapshot()
        DATA_TYPE_REGISTRY.restore(DATA_TYPE_REGISTRY.default_snapshot())
        assert "x" not in DATA_TYPE_REGISTRY
        DATA_TYPE_REGISTRY.restore(with_x)
        assert DATA_TYPE_REGISTRY.resolve("x") is F
        with pytest.raises(DuplicateRegistrationError):
            DATA_TYPE_REGISTRY.register("u")

    @pytest.mark.parametrize("missing", ["", "s", "f", "u"], ids=repr)
    def test_missing_default_is_refused(self, missing):
        registry = DataTypeRegistry()
        registry.register("x")
        before = registry.snapshot()
        snap = MappingSnapshot({k: v for k, v in DEFAULTS.items() if k != missing})
        with pytest.raises(ValueError) as info:
            registry.restore(snap)
        assert str(info.value) == (
            f"Snapshot needs to contain default key value mapping {missing} -> {DEFAULTS[missing]}."
        )
        assert registry.snapshot() == before

    def test_empty_designator_leaves_two_spaces(self):
        with pytest.raises(ValueError) as info:
            DataTypeRegistry().restore(MappingSnapshot({"s": S, "f": F, "u": U}))
        assert str(info.value) == "Snapshot needs to contain default key value mapping  -> DefaultDataType.UNSIGNED."

    @pytest.mark.parametrize("name, value", [("s", F), ("u", "u"), ("", "")], ids=repr)
    def test_changed_default_is_refused(self, name, value):
        registry = DataTypeRegistry()
        with pytest.raises(ValueError) as info:
            registry.restore(MappingSnapshot({**DEFAULTS, name: value}))
        assert str(info.value) == f"Snapshot needs to contain default key value mapping {name} -> {DEFAULTS[name]}."
        assert registry.resolve(name) is DEFAULTS[name]

    @pytest.mark.parametrize(
        "kept, reported",
        [({"s": S}, ""), ({"": U, "f": F}, "s"), ({"": U, "s": S}, "f"), ({"": U, "s": F, "f": S}, "s")],
        ids=["only-s", "lacks-s-u", "lacks-f-u", "swapped-s-f"],
    )
    def test_first_wrong_default_in_registration_order(self, kept, reported):
        for _ in range(3):
            with pytest.raises(ValueError, match=re.escape(f"mapping {reported} -> {DEFAULTS[reported]}.")):
                DataTypeRegistry().restore(MappingSnapshot(kept))

    @pytest.mark.parametrize("bad", ["xy", "sfu"], ids=repr)
    def test_entries_are_validated_before_defaults_are_compared(self, bad):
        registry = DataTypeRegistry()
        with pytest.raises(ValueError, match=exact(ONE_LETTER)):
            registry.restore(MappingSnapshot({"s": S, bad: S}))
        assert len(registry) == 4

    def test_restore_from_the_live_mapping_keeps_the_entries(self):
        registry = DataTypeRegistry()
        registry.register("x", S)

        class Live:
            mapping = registry._registry

        registry.restore(Live())
        assert list(registry.snapshot().mapping.items()) == [*DEFAULTS.items(), ("x", S)]

    def test_mapping_is_read_through_its_items(self):
        registry = DataTypeRegistry()
        registry.register("x")

        class Odd:
            def items(self):
                return list(DEFAULTS.items())

        class Snap:
            mapping = Odd()

        registry.restore(Snap())  # read through items() only
        assert "x" not in registry and len(registry) == 4

    @pytest.mark.parametrize("key", [5, None, b"x"], ids=repr)
    def test_non_str_snapshot_key_fails_cleanly(self, key):
        registry = DataTypeRegistry()
        registry.register("x")
        before = registry.snapshot()
        with pytest.raises(TypeError, match="name"):
            registry.restore(MappingSnapshot({**DEFAULTS, key: S}))
        assert registry.snapshot() == before

    def test_restore_accepts_aliases_and_long_values(self):
        registry = DataTypeRegistry()
        registry.restore(MappingSnapshot({**DEFAULTS, "x": S, "y": "a long custom type"}))
        assert registry.resolve("x") is S and registry.resolve("y") == "a long custom type"
        assert registry._default_keys == {"", "s", "f", "u"}


class TestRegistrySubclasses:
    def test_validate_override_counts_in_register_and_restore(self):
        seen = []

        class Lenient(DataTypeRegistry):
            def _validate(self, name, _value):
                seen.append(name)

        registry = Lenient()
        assert seen == []  # the defaults go through the base registration
        registry.register("long name")
        assert registry.resolve("long name") == "long name"
        registry.restore(MappingSnapshot({**DEFAULTS, "xy": S}))
        assert seen == ["long name", "", "s", "f", "u", "xy"]
        with pytest.raises(DuplicateRegistrationError):
            registry.register("s")  # the default check comes before the hook

    def test_register_defaults_override_counts_in_init_and_restore(self):
        calls = []

        class Extra(DataTypeRegistry):
            def register(self, name, value=None):
                raise AssertionError("the defaults bypass register")

            def _register_defaults(self):
                calls.append("defaults")
                DataTypeRegistry._register_defaults(self)
                self._default_keys.add("z")
                Registry.register(self, "z", "z")

        registry = Extra()
        assert registry.resolve("z") == "z" and "z" in registry._default_keys
        registry.restore(registry.snapshot())
        assert calls == ["defaults", "defaults"]
        # the extra default was registered after "u": "u" is reported first
        with pytest.raises(ValueError, match=re.escape("mapping u -> DefaultDataType.UNSIGNED.")):
            registry.restore(MappingSnapshot({"": U, "s": S, "f": F}))
        with pytest.raises(ValueError, match=re.escape("mapping z -> z.")):
            registry.restore(MappingSnapshot(DEFAULTS))

    def test_failing_register_defaults_fails_construction(self):
        class Broken(DataTypeRegistry):
            def _register_defaults(self):
                raise RuntimeError("no defaults")

        with pytest.raises(RuntimeError, match="no defaults"):
            Broken()

    def test_subclass_instances_are_collected(self):
        class Cyclic(DataTypeRegistry):
            pass

        registry = Cyclic()
        registry.register("x", registry)  # a cycle through the C++ mapping
        ref = weakref.ref(registry)
        del registry
        gc.collect()
        assert ref() is None


class TestUninitializedObjects:
    @pytest.mark.parametrize(
        "call",
        [
            lambda: DataTypeRegistry.register(object(), "x"),
            lambda: DataTypeRegistry.__new__(DataTypeRegistry).register("x"),
            lambda: DataTypeRegistry.__new__(DataTypeRegistry).restore(DataTypeRegistry.default_snapshot()),
            lambda: type("Lazy", (DataTypeRegistry,), {"__init__": lambda self: None})()._default_keys,
            lambda: CompoundDataTypes.__repr__(object()),
            lambda: CompoundDataTypes([S]) == CompoundDataTypes.__new__(CompoundDataTypes),
            lambda: DataTypes.__eq__(1, 2),
        ],
        ids=["foreign-self", "no-init", "restore-no-init", "subclass-no-super-init", "repr", "eq", "eq-foreign"],
    )
    def test_objects_without_init_fail_cleanly(self, call):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with pytest.raises(TypeError):
                call()

    def test_uninitialized_registry_in_the_module_fails_cleanly(self, monkeypatch):
        monkeypatch.setattr(brintal, "DATA_TYPE_REGISTRY", DataTypeRegistry.__new__(DataTypeRegistry))
        with pytest.raises(TypeError, match="not initialized"):
            CompoundDataTypes.from_designation("s", 1)


class TestIsDataType:
    @pytest.mark.parametrize(
        "value",
        [U, S, F, "x", "xy", "", type("Text", (str,), {})("s")],
        ids=["UNSIGNED", "SIGNED", "FLOAT", "x", "xy", "empty", "str-subclass"],
    )
    def test_true(self, value):
        assert is_data_type(value) is True

    @pytest.mark.parametrize(
        "make",
        [lambda: 1, lambda: None, lambda: b"s", lambda: DefaultDataType, lambda: ["s"], lambda: compound(S)],
        ids=["int", "None", "bytes", "enum-class", "list", "compound"],
    )
    def test_false(self, make):
        assert is_data_type(make()) is False


class TestDatatypeName:
    @pytest.mark.parametrize(
        "data_type, multiple, name",
        [
            (U, False, ""),
            (U, True, "u"),
            (S, False, "s"),
            (S, True, "s"),
            (F, False, "f"),
            (F, True, "f"),
            ("x", False, "x"),
            ("x", True, "x"),
            (U, [0], "u"),
            (U, [], ""),
            (U, "", ""),
        ],
        ids=repr,
    )
    def test_names(self, data_type, multiple, name):
        assert datatype_name(data_type, multiple) == name
        assert datatype_name(data_type, multiple_designators=multiple) == name

    def test_strings_and_none_come_back_unchanged(self):
        text = "".join(["lo", "ng"])
        assert datatype_name(text) is text
        assert datatype_name(None) is None and datatype_name(U) == ""
        assert datatype_name(None, True) is None

    @pytest.mark.parametrize("bad", [3, b"s", 2.5, [S]], ids=repr)
    def test_other_values_raise_type_error(self, bad):
        with pytest.raises(TypeError, match="data_type"):
            datatype_name(bad)

    def test_truth_value_errors_propagate(self):
        class NoTruth:
            def __bool__(self):
                raise RuntimeError("no truth")

        with pytest.raises(RuntimeError, match="no truth"):
            datatype_name(S, NoTruth())


class TestAbstractBase:
    def test_base_cannot_be_instantiated(self):
        class Reference(metaclass=abc.ABCMeta):
            for _name in ("designation", "__len__", "__getitem__"):
                locals()[_name] = abc.abstractmethod(lambda self: None)
            del _name

        with pytest.raises(TypeError) as expected:
            Reference()
        with pytest.raises(TypeError) as info:
            DataTypes()
        assert str(info.value) == str(expected.value).replace("Reference", "DataTypes")
        assert DataTypes.__abstractmethods__ == {"designation", "__len__", "__getitem__"}
        assert inspect.isabstract(DataTypes) and not inspect.isabstract(CompoundDataTypes)

    @pytest.mark.parametrize("left_out", ["designation", "__len__", "__getitem__"])
    def test_subclass_leaving_out_an_operation_cannot_be_instantiated(self, left_out, later_subclasses):
        Partial = make_part("Partial", omit=left_out)
        with pytest.raises(TypeError, match=re.escape(left_out)):
            Partial()
        assert inspect.isabstract(Partial)

    def test_base_from_designation_raises_without_message(self):
        with pytest.raises(NotImplementedError) as info:
            DataTypes.from_designation("s", 1)
        assert info.value.args == ()

    def test_parts_are_unhashable(self, later_subclasses):
        for part in (compound(S), make_part("Part")()):
            with pytest.raises(TypeError, match="unhashable"):
                hash(part)


class TestCompoundRecord:
    def test_keeps_the_given_list(self):
        entries = [S, "x"]
        part = CompoundDataTypes(entries)
        assert part.brintal is entries
        assert CompoundDataTypes(brintal=entries).brintal is entries

    def test_field_is_reassignable_without_revalidation(self):
        part = compound(S)
        part.brintal = []
        assert len(part) == 0
        part.brintal.append(3)
        assert part[0] == 3

    def test_empty_list_is_rejected(self):
        with pytest.raises(PixelFormatValueReject, match=exact("brintal must have length > 0")):
            CompoundDataTypes([])

    @pytest.mark.parametrize(
        "entries, shown",
        [([S, 3], "3"), ([S, None, 3], "None"), ([b"s"], "b's'"), ([U, [S]], "[<DefaultDataType.SIGNED: 's'>]")],
        ids=["int", "None-first", "bytes", "nested-list"],
    )
    def test_first_invalid_entry_is_reported(self, entries, shown):
        with pytest.raises(PixelFormatValueReject, match=exact("brintal must only contain DataTypes, got " + shown)):
            CompoundDataTypes(entries)

    @pytest.mark.parametrize(
        "bad", [(S,), None, "s", S, type("Entries", (list,), {})([S])], ids=["tuple", "None", "str", "member", "list-subclass"]
    )
    def test_argument_must_be_exactly_a_list(self, bad):
        with pytest.raises(TypeError, match="brintal must be list"):
            CompoundDataTypes(bad)

    def test_len_and_index_follow_list_rules(self):
        part = compound(S, F, "x")
        assert len(part) == 3
        assert part[0] is S and part[-1] == "x"
        with pytest.raises(IndexError):
            part[3]

    def test_repr(self):
        assert repr(compound(S, "x")) == "CompoundDataTypes(brintal=[<DefaultDataType.SIGNED: 's'>, 'x'])"

    def test_pickle_round_trip(self):
        part = compound(S, F, "x")
        assert pickle.loads(pickle.dumps(part)) == part

    def test_reference_cycle_is_collected(self):
        part = type("Part", (CompoundDataTypes,), {})([S])  # subclasses are weak-referenceable
        part.brintal = [part]
        ref = weakref.ref(part)
        del part
        gc.collect()
        assert ref() is None


class TestEquality:
    @pytest.mark.parametrize(
        "left, right, equal",
        [
            ([S, F], [S, F], True),
            (["x"], ["x"], True),
            ([S], ["s"], False),
            ([U], [""], False),
            ([S, F], [F, S], False),
            ([S], [S, S], False),
        ],
        ids=["same", "custom", "member-vs-str", "unsigned-vs-empty", "order", "length"],
    )
    def test_compounds(self, left, right, equal):
        assert (CompoundDataTypes(left) == CompoundDataTypes(right)) is equal
        assert (CompoundDataTypes(left) != CompoundDataTypes(right)) is not equal

    @pytest.mark.parametrize("other", [None, [S], "s", S, 1], ids=repr)
    def test_never_declines(self, other):
        assert compound(S).__eq__(other) is False
        assert (compound(S) == other) is False

    def test_lengths_are_compared_before_entries(self):
        class Explosive:
            def __eq__(self, other):
                raise AssertionError("compared")

            __ne__ = __eq__

        left, right = compound(S), compound(S)
        left.brintal = [Explosive()]
        right.brintal = [Explosive(), Explosive()]
        assert left != right

    def test_any_data_type_part_compares_by_entries(self, later_subclasses):
        Fixed = make_part("Fixed", [S, F])
        assert Fixed() == compound(S, F)
        assert compound(S, F) == Fixed()
        assert Fixed() != compound(S, S)


DESIGNATIONS = [
    ([S, S, S], "s"),
    ([U, U, U], ""),
    ([S, F], "sf"),
    ([S, F, S], "sfs"),
    ([U, S], "s"),
    (["x", "x"], "x"),
    ([S], "s"),
    ([F], "f"),
    ([U], ""),
    ([S, U, F], "sf"),
    (["x", S, "é"], "xsé"),
]


class TestDesignation:
    @pytest.mark.parametrize("entries, text", DESIGNATIONS, ids=[t or "(empty)" for _, t in DESIGNATIONS])
    def test_formatting(self, entries, text):
        assert CompoundDataTypes(entries).designation() == text

    def test_str_subclass_entries(self):
        Text = type("Text", (str,), {})
        assert compound(Text("x"), Text("x")).designation() == "x"
        assert compound(Text("x"), S).designation() == "xs"

    def test_reassigned_entries_that_are_not_data_types(self):
        part = compound(S)
        part.brintal = [S, 3]
        with pytest.raises(TypeError):
            part.designation()
        part.brintal = (S, F)
        assert part.designation() == "sf"


def parsed(result):
    return [(list(part.brintal), rest) for part, rest in result]


WORKED = [
    ("f", 3, [([U, U, U], "f"), ([F, F, F], "")]),
    ("sfu_x", 3, [([U, U, U], "sfu_x"), ([S, F, U], "_x")]),
    ("sf", 3, [([U, U, U], "sf")]),
    ("p", 3, [([U, U, U], "p")]),
    ("s", 1, [([U], "s"), ([S], "")]),
    ("", 2, [([U, U], "")]),
    ("sx", 2, [([U, U], "sx"), ([S, S], "x")]),
    ("ss", 2, [([U, U], "ss"), ([S, S], "")]),
    ("uf8", 2, [([U, U], "uf8"), ([U, F], "8")]),
    ("u", 4, [([U] * 4, "u"), ([U] * 4, "")]),
    ("sfs", 2, [([U, U], "sfs"), ([S, F], "s")]),
    ("p32", 3, [([U, U, U], "p32")]),
    ("é", 1, [([U], "é")]),
    ("s\ud800", 2, [([U, U], "s\ud800"), ([S, S], "\ud800")]),
]


class TestFromDesignation:
    @pytest.mark.parametrize("text, channels, expected", WORKED, ids=[f"{t or '(empty)'}-{n}" for t, n, _ in WORKED])
    def test_candidates(self, text, channels, expected):
        result = CompoundDataTypes.from_designation(text, channels)
        assert type(result) is list
        assert all(type(pair) is tuple and type(pair[0]) is CompoundDataTypes for pair in result)
        assert parsed(result) == expected

    def test_unsigned_reading_hands_back_the_same_text(self):
        text = "".join(["s", "f"])
        assert CompoundDataTypes.from_designation(text, 3)[0][1] is text

    def test_registered_custom_type_is_read(self):
        DATA_TYPE_REGISTRY.register("x")
        assert parsed(CompoundDataTypes.from_designation("x", 1)) == [([U], "x"), (["x"], "")]
        assert parsed(CompoundDataTypes.from_designation("xs_", 2)) == [([U, U], "xs_"), (["x", S], "_")]

    def test_alias_reads_as_its_data_type(self):
        DATA_TYPE_REGISTRY.register("é", F)
        assert parsed(CompoundDataTypes.from_designation("éé", 2)) == [([U, U], "éé"), ([F, F], "")]

    def test_restore_forgets_a_custom_type(self):
        DATA_TYPE_REGISTRY.register("x")
        DATA_TYPE_REGISTRY.restore(DataTypeRegistry.default_snapshot())
        assert parsed(CompoundDataTypes.from_designation("x", 1)) == [([U], "x")]

    def test_zero_channels_raises_after_logging(self, debug_log):
        with pytest.raises(PixelFormatValueReject, match=exact("brintal must have length > 0")):
            CompoundDataTypes.from_designation("s", 0)
        assert messages(debug_log) == ["Value rejected brintal must have length > 0"]

    @pytest.mark.parametrize("channels", [-1, -5, -(10**30)], ids=str)
    def test_negative_channels_give_nothing(self, channels, debug_log):
        assert CompoundDataTypes.from_designation("sss", channels) == []
        assert messages(debug_log) == ["Value rejected brintal must have length > 0"]

    def test_no_records_without_rejection(self, debug_log):
        CompoundDataTypes.from_designation("sfx", 3)
        assert messages(debug_log) == []

    def test_invalid_registered_value_in_the_per_channel_reading_propagates(self):
        DATA_TYPE_REGISTRY.register("x", 5)
        with pytest.raises(PixelFormatValueReject, match=exact("brintal must only contain DataTypes, got 5")):
            CompoundDataTypes.from_designation("x", 1)

    def test_invalid_registered_value_in_the_shared_reading_is_dropped(self, debug_log):
        DATA_TYPE_REGISTRY.register("x", 5)
        assert parsed(CompoundDataTypes.from_designation("x", 2)) == [([U, U], "x")]
        assert messages(debug_log) == ["Value rejected brintal must only contain DataTypes, got 5"]

    def test_registry_is_read_at_call_time(self, monkeypatch):
        registry = DataTypeRegistry()
        registry.register("q", S)
        monkeypatch.setattr(brintal, "DATA_TYPE_REGISTRY", registry)
        assert parsed(CompoundDataTypes.from_designation("q", 1)) == [([U], "q"), ([S], "")]

    def test_resolve_override_is_used(self, monkeypatch):
        asked = []

        class Spy(DataTypeRegistry):
            def resolve(self, name):
                asked.append(name)
                return super().resolve(name)

        monkeypatch.setattr(brintal, "DATA_TYPE_REGISTRY", Spy())
        assert parsed(CompoundDataTypes.from_designation("sfp", 3)) == [([U, U, U], "sfp")]
        assert asked == ["s", "f", "p"]

    def test_other_lookup_errors_propagate(self, monkeypatch):
        class Failing:
            def resolve(self, name):
                raise KeyError(name)

        monkeypatch.setattr(brintal, "DATA_TYPE_REGISTRY", Failing())
        with pytest.raises(KeyError):
            CompoundDataTypes.from_designation("s", 1)

    def test_only_as_many_characters_as_channels_are_read(self, monkeypatch):
        asked = []

        class Spy:
            def resolve(self, name):
                asked.append(name)
                return S

        monkeypatch.setattr(brintal, "DATA_TYPE_REGISTRY", Spy())
        CompoundDataTypes.from_designation("abcdef", 2)
        assert asked == ["a", "b"]

    @pytest.mark.parametrize("bad", [None, b"s", 1, type("Text", (str,), {})("s")], ids=["None", "bytes", "int", "str-subclass"])
    def test_text_must_be_exactly_str(self, bad):
        with pytest.raises(TypeError, match="full_designation"):
            CompoundDataTypes.from_designation(bad, 1)

    @pytest.mark.parametrize("bad", [None, "3", 3.0], ids=repr)
    def test_channel_count_must_be_an_integer(self, bad):
        with pytest.raises(TypeError, match="number_of_channels"):
            CompoundDataTypes.from_designation("s", bad)

    def test_huge_channel_count_fails_cleanly(self):
        with pytest.raises((OverflowError, MemoryError)):
            CompoundDataTypes.from_designation("s", 10**30)


class TestCreate:
    @pytest.mark.parametrize("text, channels, expected", WORKED, ids=[f"{t or '(empty)'}-{n}" for t, n, _ in WORKED])
    def test_same_as_the_one_implementation(self, text, channels, expected):
        assert DataTypes.create(text, channels) == CompoundDataTypes.from_designation(text, channels)
        assert parsed(DataTypes.create(text, channels)) == expected

    def test_zero_channels_is_not_a_parse_rejection(self):
        with pytest.raises(PixelFormatValueReject):
            DataTypes.create("s", 0)

    def test_later_subclass_takes_part(self, later_subclasses):
        before = DataTypes.create("s", 1)

        Whole = make_part("Whole", ["w"], lambda text, channels: [(Whole(), text[1:])])

        result = DataTypes.create("s", 1)
        assert result[: len(before)] == before
        assert type(result[-1][0]) is Whole and len(result) == len(before) + 1

    def test_parse_reject_is_logged_and_skipped(self, later_subclasses, debug_log):
        def refuse(text, channels):
            raise ParseReject(f"cannot read {text!r}")

        Refusing = make_part("Refusing", from_designation=refuse)

        assert DataTypes.create("s", 1) == CompoundDataTypes.from_designation("s", 1)
        assert messages(debug_log) == [f"Parsing rejected: cannot read 's' {Refusing.__name__}"]

    def test_compound_rejection_names_the_class(self, monkeypatch, debug_log):
        def refuse(full_designation, number_of_channels):
            raise ParseReject("no")

        monkeypatch.setattr(CompoundDataTypes, "from_designation", staticmethod(refuse))
        assert DataTypes.create("s", 1) == []
        assert messages(debug_log) == ["Parsing rejected: no CompoundDataTypes"]

    def test_other_errors_propagate(self, later_subclasses):
        def fail(text, channels):
            raise RuntimeError("broken")

        Failing = make_part("Failing", from_designation=fail)
        assert Failing in brintal.all_implementations(DataTypes)
        with pytest.raises(RuntimeError, match="broken"):
            DataTypes.create("s", 1)

    @pytest.mark.parametrize("found, factor", [([], 0), ([CompoundDataTypes], 1), ([CompoundDataTypes] * 2, 2)], ids=str)
    def test_all_implementations_is_read_at_call_time(self, monkeypatch, found, factor):
        asked = []

        def fake(base):
            asked.append(base)
            return iter(found)

        monkeypatch.setattr(brintal, "all_implementations", fake)
        assert DataTypes.create("sf", 2) == CompoundDataTypes.from_designation("sf", 2) * factor
        assert asked == [DataTypes]

    def test_text_must_be_exactly_str(self):
        with pytest.raises(TypeError, match="full_designation"):
            DataTypes.create(None, 1)

    def test_implementations_are_found_by_the_shared_utility(self):
        assert CompoundDataTypes in brintal.all_implementations(DataTypes)


@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_designation_is_among_its_own_candidates(channels):
    """All channels alike, or every channel with a designator: the text reads back."""
    DATA_TYPE_REGISTRY.register("x")
    DATA_TYPE_REGISTRY.register("y")
    for entries in itertools.product([U, S, F, "x", "y"], repeat=channels):
        if len(set(entries)) > 1 and U in entries:
            continue  # "s" for UNSIGNED, SIGNED reads back as two SIGNED channels
        part = CompoundDataTypes(list(entries))
        assert (part, "_8") in DataTypes.create(part.designation() + "_8", channels), entries


# Guards of the fast paths: each fallback gives what the general path gives.
import collections  # noqa: E402
import functools  # noqa: E402
import types  # noqa: E402


def _through_python(monkeypatch):
    """CompoundDataTypes.from_designation replaced by an equal callable that is not the bound one."""
    monkeypatch.setattr(CompoundDataTypes, "from_designation", functools.partial(CompoundDataTypes.from_designation))


class TestFactoryGuards:
    """The factory calls the module's own parse directly only while nothing could tell the difference."""

    @pytest.mark.parametrize("route", ["direct", "through-python"])
    @pytest.mark.parametrize("text, channels", [("sfu_x", 3), ("f", 3), ("", 2), ("s", 1), ("p", 3)])
    def test_same_candidates_on_both_routes(self, monkeypatch, route, text, channels):
        expected = parsed(CompoundDataTypes.from_designation(text, channels))
        if route == "through-python":
            _through_python(monkeypatch)
        assert parsed(DataTypes.create(text, channels)) == expected

    @pytest.mark.parametrize("route", ["direct", "through-python"])
    def test_errors_match_parse_reject_as_python_errors(self, monkeypatch, debug_log, route):
        if route == "through-python":
            _through_python(monkeypatch)
        monkeypatch.setattr(brintal, "ParseReject", TypeError)
        assert DataTypes.create("s", "3") == []
        assert messages(debug_log) == ["Parsing rejected: number_of_channels must be int, not str CompoundDataTypes"]

    def test_override_in_a_subclass_made_after_a_parse_is_called(self, later_subclasses):
        before = DataTypes.create("s", 1)

        class Custom(CompoundDataTypes):
            @staticmethod
            def from_designation(full_designation, number_of_channels):
                return [(Custom([DefaultDataType.FLOAT]), "!")]

        assert DataTypes.create("s", 1) == before + [(Custom([F]), "!")]

    def test_inherited_parse_counts_once_per_class(self, later_subclasses):
        DataTypes.create("s", 1)
        Inheriting = type("Inheriting", (CompoundDataTypes,), {})
        once = CompoundDataTypes.from_designation("s", 1)
        assert DataTypes.create("s", 1) == once + once
        assert Inheriting in brintal.all_implementations(DataTypes)

    def test_result_is_never_a_list_an_implementation_keeps(self, monkeypatch):
        kept = CompoundDataTypes.from_designation("s", 1)
        monkeypatch.setattr(CompoundDataTypes, "from_designation", staticmethod(lambda text, channels: kept))
        result = DataTypes.create("s", 1)
        assert result == kept and result is not kept

    def test_list_of_implementations_grown_by_a_parse_is_followed(self, monkeypatch, later_subclasses):
        found = []

        def grow(text, channels):
            found.append(CompoundDataTypes)
            return [("grown", text)]

        Growing = make_part("Growing", from_designation=grow)
        found.append(Growing)
        monkeypatch.setattr(brintal, "all_implementations", lambda base: found)
        assert DataTypes.create("s", 1) == [("grown", "s")] + CompoundDataTypes.from_designation("s", 1)


class TestRegistryReadAtCallTime:
    def test_replaced_registry_base_registers_the_defaults(self, monkeypatch):
        registered = []

        def register(self, name, value):
            registered.append(name)
            Registry.register(self, name, value)

        monkeypatch.setattr(brintal, "Registry", types.SimpleNamespace(register=register))
        registry = DataTypeRegistry()
        registry.register("q")
        assert registered == ["", "s", "f", "u", "q"]
        assert registry.resolve("q") == "q"

    @pytest.mark.parametrize(
        "mapping", [dict, collections.OrderedDict, type("Mapping", (dict,), {})], ids=lambda t: t.__name__
    )
    def test_registry_mapping_of_another_type_reads_alike(self, monkeypatch, mapping):
        registry = DATA_TYPE_REGISTRY
        # the shared registry's own dict comes back afterwards, not just its entries
        monkeypatch.setattr(registry, "_registry", mapping(registry._registry))
        first = parsed(CompoundDataTypes.from_designation("qs", 2))
        registry.register("q", F)
        assert first == [([U, U], "qs")]
        assert parsed(CompoundDataTypes.from_designation("qs", 2)) == [([U, U], "qs"), ([F, S], "")]


@pytest.mark.parametrize("container", [list, tuple, iter], ids=["list", "tuple", "iterator"])
@pytest.mark.parametrize("first", [True, False], ids=["before-compound", "after-compound"])
def test_candidates_of_any_iterable_are_added_in_order(monkeypatch, later_subclasses, container, first):
    Other = make_part("Other", from_designation=lambda text, channels: container([("other", text)]))
    order = [Other, CompoundDataTypes] if first else [CompoundDataTypes, Other]
    monkeypatch.setattr(brintal, "all_implementations", lambda base: order)
    own = CompoundDataTypes.from_designation("s", 1)
    expected = [("other", "s")] + own if first else own + [("other", "s")]
    assert DataTypes.create("s", 1) == expected
