"""Typed usage, checked by mypy --strict (tools/check_typing.py), never run by pytest.

Each line is what an application writes; ``assert_type`` pins what an editor
shows for it, so a stub or annotation that drifts fails the check.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from typing_extensions import assert_type

import korvell.pfnc as pfnc
from korvell.pfnc.decoders import Layout, LayoutDecoder
from korvell.pfnc.genicam.ostrevo import Packing, PaddingType
from korvell.pfnc.genicam.tesselk import Size


def parsing() -> None:
    fmt = pfnc.parse("Mono12p")
    assert_type(fmt, pfnc.PixelFormat)
    assert_type(pfnc.from_code(0x010C0047), pfnc.PixelFormat)
    assert_type(fmt.size, Size)
    assert_type(fmt.size.sizes, list[int])
    assert_type(fmt.designation(), str)
    assert_type(fmt.bits_per_pixel, int)
    packing: Packing = fmt.packing
    assert_type(packing.padding_type, PaddingType)
    opaque: pfnc.PixelFormat = pfnc.OpaquePixelFormat("RGB10V1Packed")
    assert_type(opaque.code, "int | None")


def decoding(buffer: bytes) -> None:
    image: np.ndarray[Any, Any] = pfnc.decode("Mono12p", buffer, width=4, height=2)
    assert_type(pfnc.encode("Mono12p", image), bytes)
    assert_type(pfnc.get_buffer_size("Mono12p", width=4, height=2, stride=8), int)
    lay = pfnc.layout("Mono12p")
    assert_type(lay, Layout)
    assert_type(lay.channels, tuple[str, ...])
    registry = pfnc.default_registry()
    assert_type(registry, pfnc.DecoderRegistry)
    registry.register(1, LayoutDecoder(byte_order="big"))
    mono16: np.ndarray[Any, Any] = registry.decode(pfnc.parse("Mono16"), buffer, width=2, height=1)


def errors() -> None:
    try:
        pfnc.parse("Mono13q")
    except pfnc.PixelFormatValueReject as err:
        assert_type(str(err), str)
    except pfnc.PixelFormatError:
        pass
