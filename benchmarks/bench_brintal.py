"""Data types: the factory, the parse and the designation."""

from korvell.pfnc.genicam.brintal import CompoundDataTypes, DataTypeRegistry, DataTypes, DefaultDataType

SIGNED, FLOAT = DefaultDataType.SIGNED, DefaultDataType.FLOAT
_SFS = CompoundDataTypes([SIGNED, FLOAT, SIGNED])

CASES = [
    ('DataTypes.create("sfu_x", 3)', lambda: DataTypes.create("sfu_x", 3)),
    ('CompoundDataTypes.from_designation("f", 3)', lambda: CompoundDataTypes.from_designation("f", 3)),
    (
        "CompoundDataTypes([SIGNED, FLOAT, SIGNED]).designation()",
        lambda: CompoundDataTypes([SIGNED, FLOAT, SIGNED]).designation(),
    ),
    ("<prebuilt CompoundDataTypes([SIGNED, FLOAT, SIGNED])>.designation()", _SFS.designation),
    ("DataTypeRegistry.default_snapshot()", DataTypeRegistry.default_snapshot),
]
