"""Behaviour the compiled records share through one set of binding helpers."""

import pickle

import pytest

from korvell.pfnc.genicam import brintal, ostrevo, quenmar, tesselk


def _packing():
    return ostrevo.Packing.from_designation("c3p32")[-1][0]


RECORDS = [
    pytest.param(lambda: tesselk.Size([5, 6, 5]), "Size", 1, id="Size"),
    pytest.param(lambda: brintal.CompoundDataTypes(["s", "f"]), "CompoundDataTypes", 1, id="Compound"),
    pytest.param(lambda: quenmar.ComponentsSequencing(("Cb", "Y")), "ComponentsSequencing", 1, id="Sequencing"),
    pytest.param(_packing, "Packing", 4, id="Packing"),
]


@pytest.mark.parametrize("make, name, fields", RECORDS)
def test_state_round_trip_and_wrong_size(make, name, fields):
    record = make()
    assert pickle.loads(pickle.dumps(record)) == record
    assert len(record.__getstate__()) == fields
    fresh = type(record).__new__(type(record))
    plural = "field" if fields == 1 else "fields"
    with pytest.raises(ValueError, match=f"^{name} state must hold {fields} {plural}$"):
        fresh.__setstate__((None,) * (fields + 1))


@pytest.mark.parametrize(
    "record, field, item_type",
    [(tesselk.Size([3, 4]), "sizes", int), (brintal.CompoundDataTypes(["s", "f"]), "brintal", str)],
)
def test_list_field_len_getitem_and_self_reference(record, field, item_type):
    assert len(record) == len(getattr(record, field))
    assert isinstance(record[1], item_type) and record[-1] == getattr(record, field)[-1]
    name = type(record).__name__
    setattr(record, field, record)   # the field is the record itself
    with pytest.raises(RecursionError, match=f"in {name}.__len__"):
        len(record)
    with pytest.raises(RecursionError, match=f"in {name}.__getitem__"):
        record[0]


@pytest.mark.parametrize(
    "cls, field",
    [(tesselk.Size, "sizes"), (brintal.CompoundDataTypes, "brintal"), (quenmar.ComponentsSequencing, "components")],
)
def test_field_record_class_attributes(cls, field):
    assert cls.__match_args__ == (field,)
    assert cls.__hash__ is None


@pytest.mark.parametrize("cls", [brintal.DataTypeRegistry, ostrevo.PaddingTypeNameRegistry])
def test_defaults_registry_members(cls):
    assert cls.default_snapshot.__qualname__ == f"{cls.__name__}.default_snapshot"
    registry = cls()
    keys = registry._default_keys
    assert isinstance(keys, set) and keys
    registry._default_keys = {"x"}
    assert registry._default_keys == {"x"}
    assert cls.default_snapshot() == cls().snapshot()


class _Refused(Exception):
    pass


@pytest.mark.parametrize(
    "base, hook, args, probe",
    [
        (brintal.DataTypeRegistry, "_register_defaults", (), lambda o: o._default_keys),
        (ostrevo.PaddingTypeNameRegistry, "_register_defaults", (), lambda o: o._default_keys),
        (tesselk.Size, "__post_init__", ([1, 2],), repr),
    ],
)
def test_failing_construction_hook_leaves_instance_uninitialised(base, hook, args, probe):
    seen = []

    def refuse(self):
        seen.append(len(self) if base is tesselk.Size else self._default_keys)
        raise _Refused

    sub = type("Sub", (base,), {hook: refuse})
    obj = sub.__new__(sub)
    with pytest.raises(_Refused):
        obj.__init__(*args)
    assert seen   # the hook ran on a ready object
    with pytest.raises(TypeError, match="not initialized"):
        probe(obj)
