"""The package's front door: lazy re-exports, every parse a PixelFormat, vendor names."""

import subprocess
import sys

import numpy as np
import pytest

import korvell.pfnc as pfnc
from korvell.pfnc import decoders, vendor
from korvell.pfnc.exceptions import PixelFormatDecodeNotSupportedError, PixelFormatValueReject
from korvell.pfnc.halvenor import PixelFormatDecoder


def test_import_loads_neither_numpy_nor_the_compiled_parts():
    code = "import sys, korvell.pfnc; print(sorted(m for m in ('numpy', 'korvell.pfnc.genicam.tesselk') if m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"


@pytest.mark.parametrize("name", pfnc.__all__)
def test_every_export_is_the_home_modules_object(name):
    home = __import__(f"korvell.pfnc{pfnc._EXPORTS[name]}", fromlist=[name])
    assert getattr(pfnc, name) is getattr(home, name) and name in dir(pfnc)


def test_unknown_attribute():
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        pfnc.nothing  # noqa: B018


class TestOpaque:
    fmt = pfnc.parse("RGB10V1Packed")

    def test_is_a_pixel_format_without_parts(self):
        assert isinstance(self.fmt, pfnc.PixelFormat) and self.fmt.bits_per_pixel == 32
        with pytest.raises(AttributeError, match="RGB10V1Packed is known by name and value only: it has no size"):
            self.fmt.size  # noqa: B018

    def test_equality_both_ways(self):
        parsed = pfnc.parse("RGB10p32")
        assert self.fmt == pfnc.OpaquePixelFormat("RGB10V1Packed")
        assert self.fmt != parsed and parsed != self.fmt
        assert not pfnc.PixelFormat.__eq__(parsed, self.fmt)

    def test_decoders_refuse_it_by_name(self):
        with pytest.raises(PixelFormatDecodeNotSupportedError, match="^RGB10V1Packed: "):
            pfnc.decode(self.fmt, bytes(4), width=1, height=1)


def test_vendor_bit_is_named():
    with pytest.raises(PixelFormatValueReject, match=r"^0x80000001 is a vendor-specific value \(bit 31 set\)"):
        pfnc.from_code(0x80000001)


@pytest.fixture
def vendor_names():
    snap = vendor.VENDOR_NAMES.snapshot()
    yield vendor.VENDOR_NAMES
    vendor.VENDOR_NAMES.restore(snap)


class TestVendorNames:
    def test_parses_with_the_targets_parts_and_its_own_name(self, vendor_names):
        pfnc.register_vendor_name("Mono10g40IDS", "Mono10g")
        fmt = pfnc.parse("Mono10g40IDS")
        target = pfnc.parse("Mono10g")
        assert isinstance(fmt, pfnc.VendorPixelFormat) and fmt.target == "Mono10g"
        assert (fmt.designation(), fmt.size, fmt.packing, fmt.code) == ("Mono10g40IDS", target.size, target.packing, None)
        assert fmt != target and target != fmt
        # 0x3A5, 0x15A, 0x2C3, 0x0F0: high bytes, then the low bits, pixel 0 lowest
        assert pfnc.decode(fmt, bytes.fromhex("E956B03C39"), width=4, height=1).tolist() == [[0x3A5, 0x15A, 0x2C3, 0x0F0]]

    def test_restore_forgets(self, vendor_names):
        snap = vendor_names.snapshot()
        pfnc.register_vendor_name("Mono12g24IDS", "Mono12g")
        vendor_names.restore(snap)
        with pytest.raises(PixelFormatValueReject):
            pfnc.parse("Mono12g24IDS")

    @pytest.mark.parametrize(
        "name, target, error, match",
        [
            ("Mono8", "Mono16", ValueError, "is a published pixel-format name"),
            ("", "Mono16", ValueError, "cannot be empty"),
            ("X", "Mono13q", PixelFormatValueReject, "not a pixel-format designation"),
            ("X", "RGB10V1Packed", ValueError, "has no parts"),
            (b"X", "Mono16", TypeError, "name must be str"),
            ("X", None, TypeError, "designation must be str"),
        ],
    )
    def test_refused(self, vendor_names, name, target, error, match):
        with pytest.raises(error, match=match):
            pfnc.register_vendor_name(name, target)
        assert len(vendor_names) == 0

    def test_a_user_back_end_claims_it(self, vendor_names):
        class Vendor(PixelFormatDecoder):
            def is_applicable(self, pixel_format):
                return pixel_format.designation() == "Special8X"

            def decode(self, pixel_format, buffer, *, width, height, stride=None, copy=False):
                return np.frombuffer(buffer, np.uint8).reshape(height, width) ^ 0xFF

            def get_buffer_size(self, pixel_format, *, width, height, stride=None):
                return width * height

        pfnc.register_vendor_name("Special8X", "Mono8")
        registry = decoders.default_registry()
        registry.register(1, Vendor("vendor"))
        assert pfnc.decode("Special8X", b"\x00\x0f", width=2, height=1, registry=registry).tolist() == [[255, 240]]
        assert pfnc.decode("Mono8", b"\x00\x0f", width=2, height=1, registry=registry).tolist() == [[0, 15]]
