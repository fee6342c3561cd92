"""Methods called on foreign objects, or on instances whose __init__ never ran,
raise TypeError instead of reading memory that is not there."""

import pytest

from korvell.pfnc._internal.registry import Registry
from korvell.pfnc.genicam.brintal import DataTypeRegistry
from korvell.pfnc.genicam.ostrevo import Packing, PaddingTypeNameRegistry
from korvell.pfnc.genicam.quenmar import ComponentsSequencing
from korvell.pfnc.genicam.tesselk import Size

CALLS = {
    "Registry.resolve(object)": lambda: Registry.resolve(object(), "x"),
    "Registry.register(int)": lambda: Registry.register(1, "x", 1),
    "Registry.__len__(str)": lambda: Registry.__len__("abc"),
    "Registry.resolve(uninitialised)": lambda: Registry.__new__(Registry).resolve("x"),
    "DataTypeRegistry.resolve(uninitialised)": lambda: DataTypeRegistry.__new__(DataTypeRegistry).resolve("s"),
    "PaddingTypeNameRegistry.snapshot(uninitialised)": lambda: PaddingTypeNameRegistry.__new__(
        PaddingTypeNameRegistry
    ).snapshot(),
    "Size.__repr__(object)": lambda: Size.__repr__(object()),
    "Size.__post_init__(int)": lambda: Size.__post_init__(1),
    "Packing.__eq__(object)": lambda: Packing.__eq__(object(), 1),
    "Packing.designation(object)": lambda: Packing.designation(object()),
    "ComponentsSequencing.__repr__(object)": lambda: ComponentsSequencing.__repr__(object()),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_type_error_not_a_crash(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "make",
    [lambda: Size([8]), lambda: Packing("p", True, None, 0), lambda: ComponentsSequencing(("Y",))],
    ids=["Size", "Packing", "ComponentsSequencing"],
)
def test_uninitialised_other_is_simply_unequal(make):
    obj = make()
    assert (obj == type(obj).__new__(type(obj))) is False
