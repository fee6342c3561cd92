"""Hostile input to the compiled modules: Python code that runs in the middle of
an operation (an entry's __eq__, an index's __index__, a key's hash collision)
and changes the objects being worked on, malformed pickle states, channel
counts beyond the machine range, texts with lone surrogates, and random text.
Every one must end in a Python result or a clear Python error, never a crash."""

import gc
import os
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from korvell.pfnc._internal.registry import Registry
from korvell.pfnc.exceptions import NotRegisteredError, PixelFormatValueReject
from korvell.pfnc.genicam import ostrevo
from korvell.pfnc.genicam.brintal import CompoundDataTypes, DataTypes, DefaultDataType
from korvell.pfnc.genicam.components import Component, GenicamComponents, LMNLocation
from korvell.pfnc.genicam.ostrevo import Packing, PaddingType, PaddingTypeNameRegistry
from korvell.pfnc.genicam.quenmar import ComponentsSequencing, InterfaceSpecific, Planar, SemiPlanar
from korvell.pfnc.genicam.tesselk import Size
from korvell.pfnc.halvenor import DecoderRegistry
from korvell.pfnc.pixel_format import PixelFormat

# ---------------------------------------------------------------------------
# Objects freed while the compiled code still works on them.  Each case runs in
# a child interpreter with the debug allocator, which overwrites freed memory,
# so that a use after free crashes the child instead of passing by luck; the
# containers are subclasses so that they bypass the free lists.

PRELUDE = """
import gc
from korvell.pfnc._internal.registry import Registry
from korvell.pfnc.genicam import brintal, ostrevo
from korvell.pfnc.genicam.brintal import CompoundDataTypes, DataTypeRegistry
from korvell.pfnc.genicam.components import GenicamComponents, LMNLocation
from korvell.pfnc.genicam.ostrevo import Packing, PaddingType, PaddingTypeNameRegistry
from korvell.pfnc.genicam.quenmar import ComponentsSequencing
from korvell.pfnc.genicam.tesselk import Size

class L(list): pass
class T(tuple): pass
class D(dict): pass
class S(set): pass
class SubSize(Size): pass

def collides_with(text, action):
    # A key that lands in the same hash slot as `text` and runs `action`
    # when the two are compared.
    class Key:
        def __hash__(self): return hash(text)
        def __eq__(self, other):
            action(); gc.collect(); return False
    return Key()
"""

FREED_WHILE_IN_USE = {
    "Size.__getitem__ index replaces sizes": (
        """
        class I:
            def __index__(self):
                a.sizes = None; gc.collect(); return 1
        a = Size([1]); a.sizes = L([5, 6])
        print(a[I()])
        """,
        "6",
    ),
    "CompoundDataTypes.__getitem__ index replaces brintal": (
        """
        class I:
            def __index__(self):
                a.brintal = None; gc.collect(); return 1
        a = CompoundDataTypes(["x"]); a.brintal = L(["x", "y"])
        print(a[I()])
        """,
        "y",
    ),
    "Size.__eq__ entry replaces sizes": (
        """
        class E:
            def __eq__(self, other):
                a.sizes = None; gc.collect(); return True
        a = Size([1]); a.sizes = L([E(), 7, 8])
        b = Size([1]); b.sizes = L([E(), 7, 8])
        print(a == b)
        """,
        "True",
    ),
    "CompoundDataTypes.__eq__ entry replaces brintal": (
        """
        class E(str):
            def __ne__(self, other):
                a.brintal = None; gc.collect(); return False
        a = CompoundDataTypes(["x"]); a.brintal = L([E("x"), "y", "z"])
        print(a == CompoundDataTypes(["x", "y", "z"]))
        """,
        "True",
    ),
    "ComponentsSequencing.__eq__ entry replaces components": (
        """
        class E:
            def __eq__(self, other):
                a.components = None; gc.collect(); return True
        a = ComponentsSequencing(("Y",)); a.components = T((E(), "x", "y"))
        print(a == ComponentsSequencing(("Y", "x", "y")))
        """,
        "True",
    ),
    "Packing.__eq__ field declines after replacing the other's": (
        """
        class Theirs:
            def __eq__(self, other): return True
        class Mine:
            def __eq__(self, other):
                b.lsb = None; gc.collect(); return NotImplemented
        a = Packing("p"); b = Packing("p"); a.lsb = Mine(); b.lsb = Theirs()
        print(a == b)
        """,
        "True",
    ),
    "Registry.resolve key replaces _registry": (
        """
        r = Registry()
        r._registry = D({collides_with("x", lambda: setattr(r, "_registry", {})): 0, "x": 1})
        print(r.resolve("x"))
        """,
        "1",
    ),
    "Registry.__contains__ key replaces _registry": (
        """
        r = Registry()
        r._registry = D({collides_with("x", lambda: setattr(r, "_registry", {})): 0, "x": 1})
        print("x" in r)
        """,
        "True",
    ),
    "Registry.register key replaces _registry": (
        """
        r = Registry()
        r._registry = D({collides_with("x", lambda: setattr(r, "_registry", {})): 0})
        r.register("x", 1)
        print(r._registry)
        """,
        "{}",
    ),
    "DataTypeRegistry.register key replaces _default_keys": (
        """
        r = DataTypeRegistry()
        r._default_keys = S({collides_with("x", lambda: setattr(r, "_default_keys", set()))})
        r.register("x")
        print(r.resolve("x"))
        """,
        "x",
    ),
    "DataTypeRegistry.restore key replaces both fields": (
        """
        class K(str):
            def __hash__(self): return hash("s")
            def __eq__(self, other):
                r._default_keys = set(r._default_keys); r._registry = dict(r._registry)
                gc.collect(); return str.__eq__(self, other)
        r = DataTypeRegistry()
        snap = r.snapshot()
        r._default_keys = S({K("s"), "", "f", "u"})
        r.restore(snap)
        print(list(r._registry))
        """,
        "['', 's', 'f', 'u']",
    ),
    "PaddingTypeNameRegistry.register key replaces _default_keys": (
        """
        r = PaddingTypeNameRegistry()
        r._default_keys = S({collides_with("x", lambda: setattr(r, "_default_keys", set()))})
        r.register("x", PaddingType.GROUPED)
        print(r.resolve("x"))
        """,
        "PaddingType.GROUPED",
    ),
    "Packing name lookup key replaces _registry": (
        """
        r = ostrevo.PADDING_TYPE_NAME_REGISTRY
        key = collides_with("x", lambda: setattr(r, "_registry", {"x": PaddingType.GROUPED}))
        mapping = {key: PaddingType.PACKED}; mapping.update(r._registry); mapping["x"] = PaddingType.PACKED
        r._registry = mapping; del mapping
        packing = Packing("x")
        print(packing.padding_type_name, r._registry)
        """,
        "x {'x': <PaddingType.GROUPED: 'g'>}",
    ),
    "Packing.padding_type key replaces padding_type_name": (
        """
        r = ostrevo.PADDING_TYPE_NAME_REGISTRY
        packing = Packing("p")
        key = collides_with("xyz", lambda: setattr(packing, "padding_type_name", None))
        r._registry = D({key: PaddingType.GROUPED, "xyz": PaddingType.PACKED})
        packing.padding_type_name = "".join(["xy", "z"])
        print(packing.padding_type)
        """,
        "PaddingType.PACKED",
    ),
    "Size.__post_init__ entry replaces sizes": (
        """
        class Entry:
            def __le__(self, other):
                size.sizes = None; gc.collect(); return True
        class Entries:
            def __iter__(self): return iter([Entry()])
            def __repr__(self): return "Entries"
        size = Size([8]); size.sizes = Entries()
        try:
            size.__post_init__()
        except Exception as err:
            print(type(err).__name__, err)
        """,
        "PixelFormatValueReject Sizes must all be larger than 0 Entries.",
    ),
    "CompoundDataTypes.from_designation key replaces _registry": (
        """
        r = brintal.DATA_TYPE_REGISTRY
        key = collides_with("x", lambda: setattr(r, "_registry", dict(r._registry)))
        mapping = {key: "q"}; mapping.update(r._registry); mapping["x"] = "x"
        r._registry = mapping; del mapping
        print(CompoundDataTypes.from_designation("xx", 2)[1][0].brintal)
        """,
        "['x', 'x']",
    ),
    "ComponentsSequencing.from_designation fields change while compared": (
        """
        class Loc(LMNLocation):
            @property
            def fields(self): return fields
        class N(int):
            def __gt__(self, other):
                fields.clear(); fields.extend([None] * 1000); gc.collect(); return False
            def __mul__(self, other):
                fields.clear(); gc.collect(); return int(self) * other
        fields = [N(1), N(1)]
        found = ComponentsSequencing.from_designation("YU", GenicamComponents(["Y", "U"], Loc((1, 1))), Size([8, 8]))
        print(found[0][0].components)
        """,
        "('Y', 'U')",
    ),
}


# A fault that builds an oversized list one entry at a time must not take the
# machine's memory with it: the child's memory is capped, and the cap is met
# as MemoryError.  Normally the cap is on the address space; under
# AddressSanitizer (tools/check-sanitized sets KORVELL_SANITIZED), whose shadow
# memory alone reserves terabytes of address space, it is the sanitizer's own
# limit on one allocation, which then fails as MemoryError in the same way.
SANITIZED = os.environ.get("KORVELL_SANITIZED") == "1"
MEMORY_CAP_MB = 2048


def limit_memory():
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP_MB << 20, MEMORY_CAP_MB << 20))


def isolated_env():
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    if SANITIZED:
        # The debug hooks over malloc itself, so that the sanitizer sees every block.
        env["PYTHONMALLOC"] = "malloc_debug"
        options = [env.get("ASAN_OPTIONS", ""), "allocator_may_return_null=1", f"max_allocation_size_mb={MEMORY_CAP_MB}"]
        env["ASAN_OPTIONS"] = ":".join(filter(None, options))
    else:
        env["PYTHONMALLOC"] = "debug"
    return env


def run_isolated(code):
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env=isolated_env(),
        preexec_fn=None if SANITIZED else limit_memory,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    return proc.stdout.strip()


@pytest.mark.parametrize("code, expected", FREED_WHILE_IN_USE.values(), ids=FREED_WHILE_IN_USE.keys())
def test_objects_replaced_during_an_operation_stay_alive(code, expected):
    assert run_isolated(code) == expected


# ---------------------------------------------------------------------------
# Long chains of instances, each held directly by a field of the one before:
# freeing the first must not recurse once per link on the C stack (the child
# runs with a small stack so that such a recursion would surely overflow it).

CHAINS = {
    "Size.sizes": ("Size([1])", "sizes"),
    "CompoundDataTypes.brintal": ("CompoundDataTypes(['x'])", "brintal"),
    "ComponentsSequencing.components": ("ComponentsSequencing(())", "components"),
    "Packing.alignment": ("Packing('p')", "alignment"),
    "Registry._registry": ("Registry()", "_registry"),
    "DataTypeRegistry._default_keys": ("DataTypeRegistry()", "_default_keys"),
    "PaddingTypeNameRegistry._registry": ("PaddingTypeNameRegistry()", "_registry"),
    "subclass of Size": ("SubSize([1])", "sizes"),
}


# From 3.13 the interpreter itself lets deallocation nest about 10,000 levels
# before its trashcan defers the rest, which takes more than 1 MB of stack; 4 MB
# holds that and is still far below what 100,000 nested levels would take.
SMALL_STACK = (4 if sys.version_info >= (3, 13) else 1) << 20


def small_stack():
    import resource

    resource.setrlimit(resource.RLIMIT_STACK, (SMALL_STACK, SMALL_STACK))


@pytest.mark.parametrize("make, field", CHAINS.values(), ids=CHAINS.keys())
def test_long_chain_is_freed_without_deep_recursion(make, field):
    code = f"""
    first = link = {make}
    for _ in range(100_000):
        nxt = {make}
        link.{field} = nxt
        link = nxt
    del link, nxt, first
    gc.collect()
    print("freed")
    """
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=small_stack,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "freed"


# ---------------------------------------------------------------------------
# An object whose field is the object itself: the operations that hand on to
# the field end in RecursionError (run apart: without a limit they overflow
# the C stack).

SELF_DELEGATION = {
    "iter(Registry)": ("Registry()", "_registry", "list(obj)", "Registry.__iter__"),
    "len(Registry)": ("Registry()", "_registry", "len(obj)", "Registry.__len__"),
    "in Registry": ("Registry()", "_registry", "'x' in obj", "Registry.__contains__"),
    "Registry.resolve": ("Registry()", "_registry", "obj.resolve('x')", "Registry.__contains__"),
    "DataTypeRegistry.restore": (
        "DataTypeRegistry()", "_registry", "obj.restore(DataTypeRegistry.default_snapshot())", "Registry.__iter__",
    ),
    "len(Size)": ("Size([8])", "sizes", "len(obj)", "Size.__len__"),
    "Size[0]": ("Size([8])", "sizes", "obj[0]", "Size.__getitem__"),
    "Size.designation": ("Size([8])", "sizes", "obj.designation()", "Size.__getitem__"),
    "len(CompoundDataTypes)": ("CompoundDataTypes(['s'])", "brintal", "len(obj)", "CompoundDataTypes.__len__"),
    "CompoundDataTypes[0]": ("CompoundDataTypes(['s'])", "brintal", "obj[0]", "CompoundDataTypes.__getitem__"),
    "CompoundDataTypes ==": (
        "CompoundDataTypes(['s'])", "brintal", "obj == CompoundDataTypes(['s'])", "CompoundDataTypes.__len__",
    ),
}


@pytest.mark.parametrize("make, field, call, where", SELF_DELEGATION.values(), ids=SELF_DELEGATION.keys())
def test_field_holding_its_own_object_ends_in_recursion_error(make, field, call, where):
    code = f"""
    obj = {make}
    obj.{field} = obj
    try:
        {call}
    except RecursionError as err:
        print(err)
    """
    assert run_isolated(code) == f"maximum recursion depth exceeded in {where}"


# ---------------------------------------------------------------------------
# __init__ entered again, on the same object, from the Python code of its own
# arguments: the nested initialisation is replaced, and what it stored is let go.


def reinit_size(inner):
    size = Size.__new__(Size)

    class Entry:
        def __le__(self, other):
            size.__init__(inner)
            return False

    size.__init__([Entry()])
    return size, "sizes"


def reinit_compound(inner):
    compound = CompoundDataTypes.__new__(CompoundDataTypes)

    class Entry:
        @property
        def __class__(self):
            compound.__init__(inner)
            return DefaultDataType

    compound.__init__([Entry()])
    return compound, "brintal"


def reinit_packing(inner):
    packing = Packing.__new__(Packing)

    class Flag:
        def __bool__(self):
            packing.__init__(inner)
            return True

    packing.__init__("p", Flag())
    return packing, "padding_type_name"


@pytest.mark.parametrize(
    "reinit, inner",
    [(reinit_size, [8]), (reinit_compound, ["s"]), (reinit_packing, "".join(["gro", "up"]))],
    ids=["Size", "CompoundDataTypes", "Packing"],
)
def test_nested_init_of_the_same_object_leaks_nothing(monkeypatch, reinit, inner):
    registry = PaddingTypeNameRegistry()
    registry.register(inner if isinstance(inner, str) else "group", PaddingType.GROUPED)
    monkeypatch.setattr(ostrevo, "PADDING_TYPE_NAME_REGISTRY", registry)
    registry = None
    before = sys.getrefcount(inner)
    obj, field = reinit(inner)
    assert getattr(obj, field) is not inner
    del obj  # its entries' code holds `inner` too
    gc.collect()
    assert sys.getrefcount(inner) == before


# ---------------------------------------------------------------------------
# Pickle states of the wrong length.


@pytest.mark.parametrize(
    "cls, state, message",
    [
        (Size, (), "Size state must hold 1 field"),
        (Size, ([8], [8]), "Size state must hold 1 field"),
        (CompoundDataTypes, (), "CompoundDataTypes state must hold 1 field"),
        (CompoundDataTypes, (["s"], None), "CompoundDataTypes state must hold 1 field"),
        (ComponentsSequencing, (), "ComponentsSequencing state must hold 1 field"),
        (ComponentsSequencing, (("Y",), ("U",)), "ComponentsSequencing state must hold 1 field"),
    ],
    ids=["Size()", "Size(2)", "Compound()", "Compound(2)", "Sequencing()", "Sequencing(2)"],
)
def test_state_of_wrong_length_is_a_value_error(cls, state, message):
    obj = cls.__new__(cls)
    with pytest.raises(ValueError) as err:
        obj.__setstate__(state)
    assert str(err.value) == message


# ---------------------------------------------------------------------------
# Channel counts beyond the machine range read like any count larger than the
# digit run: the shared reading, whose list of copies the interpreter refuses.


@pytest.mark.parametrize(
    "text, channels, expected",
    [
        ("8", -5, (Size([]), "")),
        ("8p", -(2**63), (Size([]), "p")),
        ("", 2**64, None),
        ("p8", 2**64, None),
        ("", -(2**64), None),
    ],
    ids=["8,-5", "8p,-2**63", "empty,2**64", "p8,2**64", "empty,-2**64"],
)
def test_extreme_channel_counts_parse(text, channels, expected):
    assert Size.from_designation(text, channels) == expected


@pytest.mark.parametrize(
    "text, channels, error",
    [
        ("8", 2**64, "OverflowError"),
        ("8", -(2**64), "OverflowError"),
        ("8", 2**61, "MemoryError"),
        ("_10", 2**62 + 1, "MemoryError"),
    ],
    ids=["8,2**64", "8,-2**64", "8,2**61", "_10,2**62+1"],
)
def test_shared_count_for_too_many_channels_fails_at_once(text, channels, error):
    code = f"""
    try:
        Size.from_designation({text!r}, {channels})
    except Exception as err:
        print(type(err).__name__)
    """
    assert run_isolated(code) == error


class ClaimsToBeLong:
    """Components whose length is far larger than the entries they hold."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(f"component {index} is missing")
        return "Y"


@pytest.mark.parametrize("length", [sys.maxsize, 10**12], ids=["maxsize", "10**12"])
def test_components_with_a_false_length_fail_at_the_first_missing_item(length):
    with pytest.raises(IndexError, match=re.escape("component 2 is missing")):
        ComponentsSequencing.from_designation("YY", ClaimsToBeLong(length), Size([8]))


def test_child_memory_is_capped():
    code = f"""
    try:
        block = bytearray({MEMORY_CAP_MB + 1} << 20)
    except MemoryError:
        print("capped")
    """
    assert run_isolated(code) == "capped"


# ---------------------------------------------------------------------------
# Out of memory at each allocation of an operation in turn: the interpreter's
# test hooks fail the k-th allocation only, for k = 0, 1, ... until the
# operation no longer meets a failure.  Each run ends in a Python error (the
# MemoryError itself, or nanobind's RuntimeError where its own conversion of
# a literal failed) or in the same result as without the failure: never a
# crash, a result built on a missing object, or an error left set behind a
# result (which the interpreter reports as SystemError).

OUT_OF_MEMORY = {
    "Size digit runs": "Size.from_designation('300400', 2), Size([1000, 2000]).designation()",
    "DataTypes": "DataTypes.create('suf', 3), CompoundDataTypes(['s', 'u', 'f']).designation()",
    "Packing": "Packing.from_designation('g300'), Packing.from_designation('lsb12msb')",
    "ComponentsSequencing proportions": (
        "ComponentsSequencing.from_designation('YU' * 300, GenicamComponents(['Y', 'U'], LMNLocation((2**64, 2**64))),"
        " Size([8, 8]))"
    ),
    "registries": (
        "DataTypeRegistry().snapshot(), PaddingTypeNameRegistry().resolve('g'), Registry().register('a', 1000),"
        " CompoundDataTypes.from_designation('sf', 2)"
    ),
    # restored first, so that every run resolves afresh instead of from the cache
    "DecoderRegistry": "REGISTRY.restore(SNAPSHOT), REGISTRY.resolve(MONO12P).name, REGISTRY.snapshot() == SNAPSHOT",
}

OUT_OF_MEMORY_SWEEP = """
import _testcapi
from korvell.pfnc import decoders
from korvell.pfnc.genicam.brintal import DataTypes
from korvell.pfnc.pixel_format import PixelFormat

# Made beforehand: nanobind itself does not check the allocation of a bound
# method (as super().__init__ makes one), so a run there would crash in it.
REGISTRY = decoders.default_registry()
SNAPSHOT = REGISTRY.snapshot()
MONO12P = PixelFormat.from_designation("Mono12p")

def operation():
    return ({call},)

expected = operation()
failed = ok_in_a_row = k = 0
while ok_in_a_row < 50:
    _testcapi.set_nomemory(k, k + 1)
    try:
        try:
            got = operation()
        finally:
            _testcapi.remove_mem_hooks()
    except SystemError:
        raise
    except (MemoryError, RuntimeError):
        failed += 1
        ok_in_a_row = 0
    else:
        assert got == expected, (k, got, expected)
        ok_in_a_row += 1
    k += 1
print(failed > 0)
"""


@pytest.mark.parametrize("call", OUT_OF_MEMORY.values(), ids=OUT_OF_MEMORY.keys())
@pytest.mark.skipif(
    sys.version_info >= (3, 12), reason="the interpreter's own code crashes under this sweep from 3.12 on"
)
def test_out_of_memory_at_any_allocation_is_an_error(call):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation hooks in this interpreter")
    assert run_isolated(OUT_OF_MEMORY_SWEEP.format(call=call)) == "True"


def test_out_of_memory_in_an_applicability_check_is_raised_not_remembered(caplog):
    class Starved:
        name = "starved"

        def is_applicable(self, pixel_format):
            raise MemoryError

    registry = DecoderRegistry()
    registry.register(1, Starved())
    with pytest.raises(MemoryError):
        registry.resolve(PixelFormat.from_designation("Mono8"))
    assert registry._resolve_cache == {} and not caplog.records


def test_garbage_collection_of_a_decoder_registry_allocates_nothing():
    # The collector's clear runs while every allocation fails; an allocating
    # clear would leave its MemoryError to the interpreter's unraisable hook.
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation hooks in this interpreter")
    code = """
    import sys, _testcapi
    from korvell.pfnc.halvenor import DecoderRegistry
    unraisable = []
    sys.unraisablehook = unraisable.append
    class Holder: pass
    for _ in range(10):
        registry, holder = DecoderRegistry(), Holder()
        holder.registry = registry
        registry.register(0, holder)
    del registry, holder
    _testcapi.set_nomemory(0)
    gc.collect()
    _testcapi.remove_mem_hooks()
    print(len(unraisable))
    """
    assert run_isolated(code) == "0"


# ---------------------------------------------------------------------------
# Errors raised by the caller's own objects propagate as they are, not as an
# internal error of the interpreter.


class ContainsFails:
    def __contains__(self, key):
        raise LookupError("contains failed")

    def __getitem__(self, key):
        return 1


def registry_over(mapping):
    registry = Registry()
    registry._registry = mapping
    return registry


def abstract_flag_without_names(base):
    cls = type("Flagged", (base,), {})
    cls.__abstractmethods__ = 5  # truthy, so the class is flagged abstract
    return cls


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: registry_over(ContainsFails()).resolve("x"), LookupError, "contains failed"),
        (lambda: "x" in registry_over(ContainsFails()), LookupError, "contains failed"),
        (lambda: abstract_flag_without_names(Planar)(), TypeError, "'int' object is not iterable"),
        (lambda: abstract_flag_without_names(DataTypes)(), TypeError, "'int' object is not iterable"),
    ],
    ids=["Registry.resolve", "Registry.__contains__", "Planar subclass", "DataTypes subclass"],
)
def test_errors_of_the_callers_objects_propagate(call, error, message):
    with pytest.raises(error) as err:
        call()
    assert str(err.value) == message


# ---------------------------------------------------------------------------
# The error types a module reads from its namespace may be replaced by any
# callable: what it returns is raised when it is an exception (with its cause
# when there is one), and is the interpreter's TypeError otherwise, never a
# write into an object that is no exception.  Run apart: the fault this
# guards against corrupts memory.

ERROR_FACTORIES = {
    "Size, exception": (
        "korvell.pfnc.genicam.tesselk", "PixelFormatValueReject", "LookupError('wrapped: ' + msg)", "Size([0])",
        "LookupError wrapped: Sizes must all be larger than 0 [0]. NoneType",
    ),
    "Size, no exception": (
        "korvell.pfnc.genicam.tesselk", "PixelFormatValueReject", "42", "Size([0])",
        "TypeError exceptions must derive from BaseException NoneType",
    ),
    "Packing with a cause, exception": (
        "korvell.pfnc.genicam.ostrevo", "PixelFormatValueReject", "LookupError(msg)", "Packing('zz')",
        "LookupError zz is not a valid padding type name. NotRegisteredError",
    ),
    "Packing with a cause, no exception": (
        "korvell.pfnc.genicam.ostrevo", "PixelFormatValueReject", "Slotted()", "Packing('zz')",
        "TypeError exceptions must derive from BaseException NotRegisteredError",
    ),
    "Registry.resolve, no exception": (
        "korvell.pfnc._internal._registry", "NotRegisteredError", "Slotted()", "Registry().resolve('q')",
        "TypeError exceptions must derive from BaseException NoneType",
    ),
    "DataTypeRegistry.register, no exception": (
        "korvell.pfnc.genicam.brintal", "DuplicateRegistrationError", "Slotted()", "DataTypeRegistry().register('s')",
        "TypeError exceptions must derive from BaseException NoneType",
    ),
}


@pytest.mark.parametrize("module, name, made, call, expected", ERROR_FACTORIES.values(), ids=ERROR_FACTORIES.keys())
def test_replaced_error_types_raise_what_they_make(module, name, made, call, expected):
    code = f"""
    import importlib
    class Slotted:
        __slots__ = ("a", "b")
    setattr(importlib.import_module({module!r}), {name!r}, lambda msg: {made})
    for _ in range(3):
        try:
            {call}
        except BaseException as err:
            found = f"{{type(err).__name__}} {{err}} {{type(err.__context__).__name__}}"
    gc.collect()
    print(found)
    """
    assert run_isolated(code) == expected


# ---------------------------------------------------------------------------
# Messages built from the text form of objects whose text holds lone surrogates.


class SurrogateText:
    def __le__(self, other):
        return True

    def __repr__(self):
        return "\ud800"

    __str__ = __repr__


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: Size([SurrogateText()]), PixelFormatValueReject, "Sizes must all be larger than 0 [\ud800]."),
        (
            lambda: CompoundDataTypes([SurrogateText()]),
            PixelFormatValueReject,
            "brintal must only contain DataTypes, got \ud800",
        ),
        (lambda: Registry().resolve(SurrogateText()), NotRegisteredError, "\ud800 is not registered"),
    ],
    ids=["Size", "CompoundDataTypes", "Registry.resolve"],
)
def test_messages_keep_lone_surrogates(call, error, message):
    with pytest.raises(error) as err:
        call()
    assert str(err.value) == message


# ---------------------------------------------------------------------------
# Random text and random objects at the parse functions: only the documented
# errors, and every candidate formats back without error.

PARSE_ERRORS = (PixelFormatValueReject,)
texts = st.text(alphabet=st.sampled_from("0123456789_cpgamsbfuxYUVRGBCbCrPlanarSemi\ud800é"), max_size=12) | st.text(
    max_size=8
)
channel_counts = st.integers(min_value=-3, max_value=5)
not_text = st.one_of(st.none(), st.integers(), st.floats(), st.binary(max_size=4), st.lists(st.text(max_size=2)))


def parse_everything(text, channels):
    candidates = []
    sized = Size.from_designation(text, channels)
    if sized is not None:
        candidates.append(sized)
    candidates += DataTypes.create(text, channels)
    candidates += Packing.from_designation(text)
    components = GenicamComponents([Component.Y, Component.CB, Component.CR], LMNLocation((2, 1, 1)))
    candidates += InterfaceSpecific.create(text, components, Size([8, 8, 8]))
    candidates += InterfaceSpecific.create("_" + text, components, Size([8] * max(channels, 0)))
    return candidates


@settings(max_examples=300, deadline=None)
@given(texts, channel_counts)
def test_random_text_parses_or_raises_documented_errors(text, channels):
    try:
        candidates = parse_everything(text, channels)
    except PARSE_ERRORS:
        return
    for part, rest in candidates:
        assert isinstance(rest, str)
        assert text.endswith(rest)
        assert isinstance(part.designation(), str)


@settings(max_examples=100, deadline=None)
@given(not_text, channel_counts)
def test_random_objects_as_text_are_type_errors(obj, channels):
    calls = [
        lambda: Size.from_designation(obj, channels),
        lambda: CompoundDataTypes.from_designation(obj, channels),
        lambda: DataTypes.create(obj, channels),
        lambda: Packing.from_designation(obj),
        lambda: InterfaceSpecific.create(obj, GenicamComponents([Component.Y]), Size([8])),
        lambda: Planar.from_designation(obj, GenicamComponents([Component.Y]), Size([8])),
        lambda: SemiPlanar.from_designation(obj, GenicamComponents([Component.Y]), Size([8])),
        lambda: ComponentsSequencing.from_designation(obj, GenicamComponents([Component.Y]), Size([8])),
    ]
    for call in calls:
        with pytest.raises(TypeError, match="full_designation must be str|designation must be str"):
            call()


def test_parsing_after_the_modules_let_go_of_their_own_objects_at_exit():
    # A hook registered before the package is imported runs after the package's
    # own exit hooks, which let go of the classes and functions kept for the
    # direct routes: parses then take the general route, with the same results.
    code = """
    import atexit

    def readings():
        from korvell.pfnc.genicam.brintal import DataTypes
        from korvell.pfnc.genicam.ostrevo import Packing
        from korvell.pfnc.pixel_format import PixelFormat
        names = ["YCbCr422_8_CbYCrY", "YCbCr420_8_YY_CbCr_Semiplanar", "Mono10c3p32", "Coord3D_ABC32f_Planar"]
        print([PixelFormat.from_designation(n).designation() for n in names],
              [(p.designation(), rest) for p, rest in Packing.from_designation("c3p32")],
              [(d.designation(), rest) for d, rest in DataTypes.create("sfu_x", 3)])

    atexit.register(readings)
    readings()
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60,
                          env=isolated_env())
    assert proc.returncode == 0 and not proc.stderr, proc.stderr[-2000:]
    during, after = proc.stdout.splitlines()
    assert after == during and "Mono10c3p32" in during
