"""The shared contracts: error types, the registry base, the utilities."""

import abc
import inspect
import pickle

import pytest

from korvell.pfnc import exceptions as exc
from korvell.pfnc._internal.registry import MappingSnapshot, Registry
from korvell.pfnc._internal.utils import all_implementations, join_designators


class TestExceptions:
    @pytest.mark.parametrize(
        "cls, bases",
        [
            (exc.ParseReject, (exc.PixelFormatError,)),
            (exc.PixelFormatValueReject, (exc.PixelFormatError, ValueError)),
            (exc.DuplicateRegistrationError, (exc.PixelFormatError, ValueError)),
            (exc.NotRegisteredError, (exc.PixelFormatError, LookupError)),
            (exc.PixelFormatDecodeNotSupportedError, (exc.PixelFormatError,)),
        ],
        ids=lambda v: getattr(v, "__name__", None),
    )
    def test_hierarchy_and_message(self, cls, bases):
        assert all(issubclass(cls, b) for b in bases)
        err = cls("'x' is not registered")
        assert str(err) == "'x' is not registered"
        assert pickle.loads(pickle.dumps(err)).args == err.args

    def test_value_reject_is_not_a_parse_reject(self):
        assert not issubclass(exc.PixelFormatValueReject, exc.ParseReject)

    def test_not_registered_is_not_a_key_error(self):
        assert not issubclass(exc.NotRegisteredError, KeyError)

    @pytest.mark.parametrize("args", [(), ("a", "b")])
    def test_exactly_one_message(self, args):
        with pytest.raises(TypeError):
            exc.ParseReject(*args)


class TestRegistry:
    def test_register_resolve_and_order(self):
        reg = Registry()
        reg.register("b", 1)
        reg.register("a", 2)
        reg.register("b", 3)  # overwritten names keep their place
        assert list(reg) == ["b", "a"]
        assert reg.resolve("b") == 3
        assert len(reg) == 2 and "a" in reg and "z" not in reg
        assert reg._registry == {"b": 3, "a": 2}

    def test_missing_name(self):
        with pytest.raises(exc.NotRegisteredError) as info:
            Registry().resolve("x")
        assert str(info.value) == "'x' is not registered"

    def test_snapshot_is_independent(self):
        reg = Registry()
        reg.register("a", 1)
        snap = reg.snapshot()
        reg.register("b", 2)
        reg._registry.clear()
        assert dict(snap.mapping) == {"a": 1}
        assert snap == MappingSnapshot({"a": 1})
        assert snap != MappingSnapshot({"a": 2})

    def test_snapshot_is_immutable(self):
        snap = MappingSnapshot({"a": 1})
        with pytest.raises(TypeError):
            snap.mapping["a"] = 2  # type: ignore[index]
        with pytest.raises(AttributeError):
            snap.mapping = {}  # type: ignore[misc]
        with pytest.raises(TypeError):
            hash(snap)

    def test_snapshot_copies_its_source(self):
        source = {"a": 1}
        snap = MappingSnapshot(source)
        source["b"] = 2
        assert list(snap.mapping.items()) == [("a", 1)]

    def test_generic_subclass_and_validation_hook_is_not_called(self):
        calls = []

        class Typed(Registry[str, int]):
            def _validate(self, name, value):
                calls.append(name)

        reg = Typed()
        reg.register("x", 1)
        assert issubclass(Typed, Registry)
        assert reg.resolve("x") == 1 and calls == []

    def test_subclass_may_replace_the_mapping(self):
        class Custom(Registry):
            def __init__(self):
                super().__init__()
                self._registry = {"pre": 0}

        assert list(Custom()) == ["pre"]

    def test_registry_holding_itself_is_collected(self):
        import gc
        import weakref

        class Holder(Registry):
            pass

        reg = Holder()
        reg.register("me", reg)
        ref = weakref.ref(reg)
        del reg
        gc.collect()
        assert ref() is None

    def test_unhashable_name(self):
        with pytest.raises(TypeError):
            Registry().resolve([])


class TestAllImplementations:
    def test_depth_first_creation_order_skipping_abstract(self):
        class Base(abc.ABC):
            @abc.abstractmethod
            def f(self): ...

        class A(Base):
            def f(self): ...

        class AbstractMid(Base):
            pass

        class A1(A):
            pass

        class M1(AbstractMid):
            def f(self): ...

        class B(Base):
            def f(self): ...

        assert inspect.isabstract(AbstractMid)
        assert all_implementations(Base) == [A, A1, M1, B]

    def test_diamond_yields_each_class_once(self):
        class Base:
            pass

        class L(Base):
            pass

        class R(Base):
            pass

        class D(L, R):
            pass

        assert all_implementations(Base) == [L, D, R]

    def test_classes_defined_later_take_part(self):
        class Base:
            pass

        assert all_implementations(Base) == []

        class Late(Base):
            pass

        assert all_implementations(Base) == [Late]


@pytest.mark.parametrize(
    "left, right, joined",
    [
        ("YCbCr422", "8", "YCbCr422_8"),
        ("c3", "p32", "c3p32"),
        ("", "x", "x"),
        ("x", "", "x"),
        ("", "", ""),
        ("Mono", "8", "Mono8"),
        ("8", "p", "8p"),
        ("a٣", "8", "a٣8"),
    ],
)
def test_join_designators(left, right, joined):
    assert join_designators(left, right) == joined
