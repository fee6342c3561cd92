"""The rule for what a compiled module may keep from its import: every name it
binds from elsewhere (error types, helper functions, registries, classes of
other modules) is read from its namespace on every use, so a replacement takes
effect on the next call, and putting the original back takes effect too."""

import pytest

import korvell.pfnc as pfnc
from korvell.pfnc import exceptions, halvenor
from korvell.pfnc._internal import _registry
from korvell.pfnc._internal.registry import Registry
from korvell.pfnc.genicam import brintal, ostrevo, quenmar, tesselk
from korvell.pfnc.genicam.components import GenicamComponents, LMNLocation
from korvell.pfnc.genicam.tesselk import Size

YUV422 = GenicamComponents(["Y", "Cb", "Cr"], LMNLocation((4, 2, 2)))

# (module, name of an error type it binds, an operation that raises it)
ERRORS = [
    (_registry, "NotRegisteredError", lambda: Registry().resolve("x")),
    (tesselk, "PixelFormatValueReject", lambda: tesselk.Size([-1]).designation()),
    (brintal, "PixelFormatValueReject", lambda: brintal.DataTypes.create("s", 0)),
    (brintal, "DuplicateRegistrationError", lambda: brintal.DataTypeRegistry().register("s")),
    (ostrevo, "PixelFormatValueReject", lambda: ostrevo.Packing("zz")),
    (ostrevo, "DuplicateRegistrationError", lambda: ostrevo.PaddingTypeNameRegistry().register("p", None)),
    (halvenor, "PixelFormatDecodeNotSupportedError", lambda: halvenor.DecoderRegistry().resolve(pfnc.parse("Mono8"))),
]

# (module, name of a function it binds, an operation that calls it)
FUNCTIONS = [
    (brintal, "all_implementations", lambda: brintal.DataTypes.create("s", 1)),
    (ostrevo, "join_designators", lambda: ostrevo.Packing("p", False, 32, 3).designation()),
    (quenmar, "all_implementations", lambda: quenmar.InterfaceSpecific.create("_Planar", YUV422, Size([8, 8, 8]))),
    (quenmar, "channel_name", lambda: quenmar.ComponentsSequencing.from_designation("YCbYCr", YUV422, Size([8] * 3))),
]


def _ids(rows):
    return [f"{module.__name__.rsplit('.', 1)[-1]}.{name}" for module, name, _ in rows]


@pytest.mark.parametrize("module, name, operation", ERRORS, ids=_ids(ERRORS))
def test_error_types_are_read_on_every_use(monkeypatch, module, name, operation):
    original = getattr(exceptions, name)
    for _ in range(2):  # the second round after a call that served the original
        with pytest.raises(original) as info:
            operation()
        assert type(info.value) is original
    replaced = type(name, (original,), {})
    monkeypatch.setattr(module, name, replaced)
    with pytest.raises(replaced):
        operation()
    monkeypatch.undo()
    with pytest.raises(original) as info:
        operation()
    assert type(info.value) is original


@pytest.mark.parametrize("module, name, operation", FUNCTIONS, ids=_ids(FUNCTIONS))
def test_functions_are_read_on_every_use(monkeypatch, module, name, operation):
    original = getattr(module, name)
    expected = repr(operation())
    calls = []

    def stand_in(*args):
        calls.append(args)
        return original(*args)

    monkeypatch.setattr(module, name, stand_in)
    assert repr(operation()) == expected and calls
    monkeypatch.undo()
    calls.clear()
    assert repr(operation()) == expected and not calls
