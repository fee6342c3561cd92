"""The compiled helpers behind korvell.pfnc._internal.utils: the subclass walk
reused between calls must follow every change of the hierarchy, and the
compiled join must answer every argument as the plain expression does."""

import abc
import gc
import inspect

import pytest

from korvell.pfnc._internal.utils import all_implementations, join_designators
from korvell.pfnc.genicam.components import Components
from korvell.pfnc.genicam.quenmar import InterfaceSpecific
from korvell.pfnc.genicam.tesselk import Size

RGB, SIZES = Components(["R", "G", "B"]), Size([8, 8, 8])


def reference_walk(base):
    """The walk written out with the interpreter's own answers."""
    found, seen = [], {base}

    def visit(cls):
        for sub in type.__subclasses__(cls):
            if sub not in seen:
                seen.add(sub)
                if not inspect.isabstract(sub):
                    found.append(sub)
                visit(sub)

    visit(base)
    return found


def check(base):
    # twice: the second call is answered from the first call's walk
    assert all_implementations(base) == reference_walk(base)
    assert all_implementations(base) == reference_walk(base)


def tree(meta=type):
    Base = meta("Base", (), {})
    A = meta("A", (Base,), {})
    B = meta("B", (Base,), {})
    A1 = meta("A1", (A,), {})
    return Base, A, B, A1


def add_leaf(classes):
    type("Late", (classes[3],), {})


def add_diamond(classes):
    type("D", (classes[2], classes[1]), {})


def delete_leaf(classes):
    leaf = classes[3]
    classes[1:] = classes[1:3]
    del leaf
    gc.collect()


def make_abstract(classes):
    classes[1].__abstractmethods__ = frozenset({"f"})


def make_concrete(classes):
    classes[1].__abstractmethods__ = frozenset({"f"})
    check(classes[0])
    classes[1].__abstractmethods__ = frozenset()


def move_leaf(classes):
    classes[3].__bases__ = (classes[2],)


@pytest.mark.parametrize("change", [add_leaf, add_diamond, delete_leaf, make_abstract, make_concrete, move_leaf])
def test_a_reused_walk_sees_every_change(change):
    classes = list(tree())
    check(classes[0])
    change(classes)
    check(classes[0])


def test_abc_classes_still_ask_inspect():
    class Base(abc.ABC):
        @abc.abstractmethod
        def f(self): ...

    class Mid(Base):
        pass

    check(Base)

    class Leaf(Mid):
        def f(self): ...

    check(Base)
    assert all_implementations(Base) == [Leaf]


def test_a_subclass_of_a_compiled_base_created_after_a_parse_takes_part():
    before = all_implementations(InterfaceSpecific)
    InterfaceSpecific.create("_Planar", RGB, SIZES)

    class Late(InterfaceSpecific):
        def designation(self):
            return "Late"

        @classmethod
        def from_designation(cls, full_designation, components, sizes):
            return [(cls(), full_designation[4:])] if full_designation.startswith("Late") else []

    assert all_implementations(InterfaceSpecific) == [*before, Late]
    assert [type(part) for part, _ in InterfaceSpecific.create("_Late", RGB, SIZES)] == [Late]
    del Late
    gc.collect()
    assert all_implementations(InterfaceSpecific) == before


def test_many_bases_each_keep_their_own_answer():
    trees = [tree() for _ in range(40)]
    for classes in trees:
        check(classes[0])
    add_leaf(list(trees[0]))
    for classes in trees:
        check(classes[0])


def test_static_types_are_walked_as_before():
    assert all_implementations(BaseException)[:2] == reference_walk(BaseException)[:2]
    assert all_implementations(bool) == []


class Text(str):
    pass


class Formatting(str):
    def __format__(self, format_spec):
        return "F"

    def __add__(self, other):
        return "A"


def reference_join(left, right):
    if left and right and "0" <= left[-1] <= "9" and "0" <= right[0] <= "9":
        return f"{left}_{right}"
    return left + right


def outcome(func, left, right):
    try:
        result = func(left, right)
    except Exception as err:  # noqa: BLE001 - the error is the outcome compared
        return type(err), str(err)
    return type(result), result


@pytest.mark.parametrize(
    "left, right",
    [
        ("YCbCr422", "8"), ("c3", "p32"), ("", "7"), ("7", ""), ("", ""), ("a٣", "8"), ("9", "é"),
        ("x\ud8001", "2"), ("\U0001f6001", "2y"),
        (Text("1"), "2"), ("1", Text("2")), (Formatting("1"), "2"), (Formatting("a"), "2"), (Text(""), "1"),
        (None, "x"), ("x", None), (None, None), (1, "2"), ("1", 2), (0, "x"), ("", 0),
        (b"1", b"2"), (b"", b"2"), (["1"], ["2"]), (("a",), ("2",)),
    ],
)  # fmt: skip
def test_join_answers_as_the_expression_does(left, right):
    assert outcome(join_designators, left, right) == outcome(reference_join, left, right)
