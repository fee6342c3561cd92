"""The command line: describe, list and decode, as a subprocess and through main()."""

import io
import json
import os
import subprocess
import sys
import types
from importlib import metadata

import numpy as np
import pytest

from korvell.pfnc import cli, names
from korvell.pfnc.cli import main


def run(*args, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "korvell.pfnc", *args],
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=60,
        **kwargs,
    )


def rows_of(text):
    """The describe output as one {label: value} dict per name (sub-rows keep their indent)."""
    blocks = []
    for block in text.strip("\n").split("\n\n"):
        rows = {}
        for line in block.splitlines():
            label = line[: len(line) - len(line.lstrip())] + line.strip().split("  ")[0]
            rows[label] = line[len(label):].strip()
        blocks.append(rows)
    return blocks


def describe_text(capsys, *names_):
    status = main(["describe", *names_])
    out, err = capsys.readouterr()
    return status, rows_of(out) if out else [], err


class TestSubprocess:
    def test_describe_prints_one_aligned_table_per_name(self):
        done = run("describe", "YCbCr422_8_CbYCrY", "Mono12Packed", "RGB10V1Packed", "YUV422_YUYV_Packed")
        assert done.returncode == 0, done.stderr
        assert done.stderr == ""
        ycbcr, packed, v1, deprecated = rows_of(done.stdout)
        assert ycbcr["components"] == "YCbCr"
        assert ycbcr["  channels"] == "Y, Cb, Cr"
        assert ycbcr["  location"] == "4:2:2"
        assert ycbcr["bits per channel"] == "8, 8, 8"
        assert ycbcr["interface-specific"] == "CbYCrY"
        assert ycbcr["value"] == "0x02100043"
        assert ycbcr["bits per pixel"] == "16 (from the value)"
        assert packed["  padding name"] == "Packed"
        assert packed["  padding type"] == "packed"
        assert packed["value"] == "0x010C0006"
        assert packed["status"] == "GigE Vision specific"
        assert v1["designation"] == "RGB10V1Packed"
        assert v1["value"] == "0x0220001C"
        assert v1["bits per pixel"] == "32 (from the value)"
        assert "components" not in v1
        assert deprecated["name"] == "YUV422_YUYV_Packed"
        assert deprecated["designation"] == "YUV422_8"
        assert deprecated["status"] == "deprecated \u2192 YUV422_8"
        # One label column for every table: the values start at the same place.
        starts = {line.index(line.split()[-1]) for line in done.stdout.splitlines() if line.startswith("value ")}
        assert len(starts) == 1

    def test_describe_json(self):
        done = run("describe", "--json", "Mono12p", "Mono12Packed", "RGB10V1Packed")
        assert done.returncode == 0, done.stderr
        mono12p, packed, v1 = json.loads(done.stdout)
        assert mono12p["packing"] == {
            "designation": "p",
            "padding_type": "packed",
            "padding_name": "p",
            "bit_order": "lsb",
            "alignment": None,
            "cluster_marker": None,
        }
        assert (mono12p["value"], mono12p["value_hex"]) == (0x010C0047, "0x010C0047")
        # Same parts, different layouts: the padding name tells them apart.
        assert packed["packing"]["padding_name"] == "Packed"
        assert packed["bits_per_channel"] == mono12p["bits_per_channel"] == [12]
        assert v1["opaque"] is True and v1["components"] is None and v1["bits_per_pixel"] == 32

    def test_list_prints_current_and_deprecated_names(self):
        done = run("list")
        assert done.returncode == 0, done.stderr
        lines = done.stdout.splitlines()
        assert lines[0].split() == ["name", "value", "bpp", "status"]
        assert len(lines) == 1 + 258 + 12 + 24
        assert lines[1].split() == ["Mono1p", "0x01010037", "1", "standard"]
        assert "RGB10V2Packed 0x0220001D 32 deprecated \u2192 RGB10p32" in {" ".join(line.split()) for line in lines}

    def test_unknown_name_is_reported_and_the_others_described(self):
        done = run("describe", "Mono8", "Mono8x", "RGB8")
        assert done.returncode == 1
        assert done.stderr == (
            "korvell-pfnc: unknown pixel format: 'Mono8x' is not a pixel-format designation: "
            "it reads only up to character 5 ('Mono8'), not 'x'; did you mean Mono8 or Mono8s?\n"
        )
        assert [t["name"] for t in rows_of(done.stdout)] == ["Mono8", "RGB8"]

    @pytest.mark.parametrize("args", [["--help"], ["describe", "--help"], ["list", "--help"], ["decode", "--help"]], ids=" ".join)
    def test_help(self, args):
        done = run(*args)
        assert done.returncode == 0
        assert done.stdout.startswith("usage: korvell-pfnc")
        assert done.stderr == ""
        assert "Exit status: 0 on success;" in " ".join(done.stdout.split())

    def test_closed_pipe_is_quiet(self):
        proc = subprocess.Popen(
            [sys.executable, "-m", "korvell.pfnc", "list"], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        proc.stdout.close()  # before the program has written anything
        err = proc.stderr.read()
        proc.stderr.close()
        assert proc.wait(timeout=60) == 1
        assert err == b""

    def test_console_script_points_at_main(self):
        try:
            found = metadata.entry_points(group="console_scripts", name="korvell-pfnc")
        except TypeError:  # pragma: no cover - interpreters before 3.10's selection API
            pytest.skip("no entry-point selection")
        if not found:
            pytest.skip("package not installed")
        (entry,) = found
        assert entry.load() is main


class TestDescribe:
    @pytest.mark.parametrize(
        "name, expected",
        [
            ("Mono8s", {"data_types": ["signed"], "bits_per_channel": [8], "value_hex": "0x01080002"}),
            ("Mono10pmsb", {"packing": {"bit_order": "msb", "padding_type": "packed"}, "value": None}),
            ("Mono12c3", {"packing": {"cluster_marker": 3, "padding_type": "unpacked"}, "status": "unpublished"}),
            ("RGB10p32", {"packing": {"alignment": 32, "designation": "p32"}, "bits_per_pixel": 32}),
            ("RGB565p", {"bits_per_channel": [5, 6, 5], "bits_per_pixel": 16}),
            ("Coord3D_AC12p", {"components": {"set": "Coord3D_AC", "channels": ["A", "C"]}, "bits_per_channel": [12, 12]}),
            (
                "YCbCr709_422_8",
                {"components": {"set": "YCbCr", "location": "4:2:2", "colour_standard": "709", "designation": "YCbCr709_422"}},
            ),
            ("YCbCr420_8_YY_CbCr_Semiplanar", {"interface_specific": "YY_CbCr_Semiplanar", "bits_per_pixel": 12}),
            ("RGB8_Planar", {"interface_specific": "Planar", "components": {"location": None, "colour_standard": None}}),
            ("BayerRG8", {"components": {"set": "BayerRG", "channels": ["BayerRG"]}, "data_types": ["unsigned"]}),
            ("RGB12V1Packed", {"opaque": True, "value_hex": "0x02240034", "bits_per_pixel": 36}),
            ("Mono8Signed", {"designation": "Mono8s", "status": "deprecated", "replacement": "Mono8s"}),
            ("BGR10V2Packed", {"designation": "BGR10p32", "value": None, "bits_per_pixel_source": "computed"}),
            ("BGR16Packed", {"designation": "BGR16", "value_hex": "0x0230004B", "status": "deprecated"}),
            ("B12", {"description": "Blue 12-bit", "value_hex": "0x01100125"}),
        ],
        ids=lambda v: v if isinstance(v, str) else "",
    )
    def test_parts(self, name, expected):
        record = cli.describe(name)
        for key, value in expected.items():
            if isinstance(value, dict):
                for sub, sub_value in value.items():
                    assert record[key][sub] == sub_value, (key, sub)
            else:
                assert record[key] == value, key

    def test_unpublished_format_computes_its_bits(self, capsys):
        status, (table,), _ = describe_text(capsys, "Mono12c3")
        assert status == 0
        assert table["status"] == "not published"
        assert table["value"] == "none"
        assert table["bits per pixel"] == "16 (computed)"
        assert table["  cluster marker"] == "3"

    def test_value_and_parts_disagreeing_shows_both(self, capsys, monkeypatch):
        from korvell.pfnc.pixel_format import PixelFormat

        monkeypatch.setattr(PixelFormat, "computed_bits_per_pixel", lambda self: 99)
        _, (table,), _ = describe_text(capsys, "Mono8")
        assert table["bits per pixel"] == "8 (from the value); the parts give 99"

    def test_every_published_name_is_described(self, capsys):
        rows = [e for e in names.entries() if e.status != "superseded"]
        assert main(["describe", "--json", *(e.name for e in rows)]) == 0
        records = json.loads(capsys.readouterr().out)
        assert [r["name"] for r in records] == [e.name for e in rows]
        for entry, record in zip(rows, records):
            assert record["status"] == entry.status
            if entry.current:
                assert (record["value"], record["bits_per_pixel"]) == (entry.code, entry.bits_per_pixel), entry.name
                assert record["designation"] == entry.name

    def test_arrow_falls_back_to_ascii(self, capsys, monkeypatch):
        raw = io.BytesIO()
        stream = io.TextIOWrapper(raw, encoding="ascii")
        monkeypatch.setattr(sys, "stdout", stream)
        assert main(["describe", "YUYVPacked"]) == 0
        stream.flush()
        assert b"deprecated -> YUV422_8" in raw.getvalue()

    def test_argv_defaults_to_the_process_arguments(self, capsys, monkeypatch):
        monkeypatch.setattr(sys, "argv", ["korvell-pfnc", "describe", "Mono8"])
        assert main() == 0
        assert rows_of(capsys.readouterr().out)[0]["value"] == "0x01080001"


class TestErrors:
    @pytest.mark.parametrize(
        "name, reason",
        [
            ("", "'' is not a pixel-format designation: no component set of the vocabulary begins it"),
            ("Foo8", "'Foo8' is not a pixel-format designation: no component set of the vocabulary begins it"),
            ("RGB8_x", "'RGB8_x' is not a pixel-format designation: it reads only up to character 4 ('RGB8'), not '_x'"),
            (
                "Mono\n8",
                "'Mono\\n8' is not a pixel-format designation: it reads only up to character 4 ('Mono'), not '\\n8'; "
                "did you mean Mono8?",
            ),
        ],
        ids=["empty", "Foo8", "RGB8_x", "newline"],
    )
    def test_one_line_naming_the_name_and_the_reason(self, capsys, name, reason):
        status, tables_, err = describe_text(capsys, name, "Mono8")
        assert status == 1
        assert err == f"korvell-pfnc: unknown pixel format: {reason}\n"
        assert [t["name"] for t in tables_] == ["Mono8"]

    def test_huge_name_gives_a_short_message(self, capsys):
        status, _, err = describe_text(capsys, "Mono8" + "x" * 1_000_000)
        assert status == 1
        assert err.count("\n") == 1 and len(err) < 400
        assert "(1000005 characters)" in err

    def test_json_keeps_one_object_per_name(self, capsys):
        assert main(["describe", "--json", "Nope", "Mono8"]) == 1
        out, err = capsys.readouterr()
        nope, mono8 = json.loads(out)
        assert nope == {"name": "Nope", "error": err.split("unknown pixel format: ", 1)[1].rstrip("\n"), "suggestions": []}
        assert mono8["designation"] == "Mono8"

    @pytest.mark.parametrize(
        "argv", [[], ["describe"], ["list", "--status", "bogus"], ["frobnicate"]], ids=["none", "describe", "status", "command"]
    )
    def test_usage_errors_exit_2(self, capsys, argv):
        assert main(argv) == 2
        out, err = capsys.readouterr()
        assert out == "" and err.startswith("usage: korvell-pfnc")


class TestValues:
    @pytest.mark.parametrize(
        "text, name, value",
        [
            ("0X010c0047", "Mono12p", 0x010C0047),
            ("17301505", "Mono8", 0x01080001),
            ("0x0230004B", "BGR16", 0x0230004B),  # shared with the deprecated BGR16Packed: the current name
            ("0x010A00CA", "R10", 0x01100120),  # superseded: the name's current value
        ],
    )
    def test_value_is_described_as_its_name(self, text, name, value):
        record = cli.describe(text)
        assert (record["name"], record["designation"], record["value"]) == (name, name, value)
        assert record["from_value"]["text"] == text and record["from_value"]["value"] == int(text, 0)

    @pytest.mark.parametrize(
        "text, shown",
        [
            ("17301505", "value 17301505 (0x01080001)"),
            ("0x010a00ca", "value 0x010A00CA, a superseded value of R10"),
        ],
    )
    def test_table_says_which_value(self, capsys, text, shown):
        status, (table,), _ = describe_text(capsys, text)
        assert status == 0 and table["resolved from"] == shown
        assert list(table)[:3] == ["name", "resolved from", "designation"]

    @pytest.mark.parametrize(
        "text, message",
        [
            ("2147483649", "2147483649 (0x80000001) is a vendor-specific value (bit 31 set); "),
            ("0x" + "0" * 5000 + "1", "(0x00000001) is not a published pixel-format value"),
            ("4294967296", "4294967296 is not a pixel-format value: values have 32 bits"),
            ("9" * 5000, "(5000 characters) is not a pixel-format value: values have 32 bits"),
        ],
        ids=["vendor", "unpublished", "33-bits", "long-decimal"],
    )
    def test_value_refusals(self, capsys, text, message):
        status, tables_, err = describe_text(capsys, text, "Mono8")
        assert status == 1 and [t["name"] for t in tables_] == ["Mono8"]
        assert err.startswith("korvell-pfnc: unknown pixel format: ") and err.count("\n") == 1
        assert message in err and len(err) < 300 and "did you mean" not in err

    def test_over_long_digit_run_gets_the_library_message(self, capsys):
        status, _, err = describe_text(capsys, "Mono" + "8" * 5000)
        assert status == 1 and "5000 digits" in err
        assert "set_int_max_str_digits" not in err


class TestHints:
    @pytest.mark.parametrize(
        "argv",
        [["describe", "mono8"], ["describe", "--json", "mono8"], ["decode", "mono8", "--width", "1", "--height", "1", "f", "-o", "o"]],
        ids=["describe", "json", "decode"],
    )
    def test_near_miss_gets_a_hint(self, capsys, argv):
        assert main(argv) == 1
        out, err = capsys.readouterr()
        assert err.endswith("; did you mean Mono8?\n")
        if "--json" in argv:
            assert json.loads(out)[0]["suggestions"] == ["Mono8"]


class TestList:
    @pytest.mark.parametrize(
        "statuses, count",
        [
            ([], 258 + 12 + 24),
            (["standard"], 258),
            (["gev"], 12),
            (["deprecated"], 24),
            (["superseded"], 6),
            (["current"], 270),
            (["all"], 300),
            (["gev", "superseded"], 18),
        ],
        ids=lambda v: "+".join(v) or "default" if isinstance(v, list) else str(v),
    )
    def test_status_filter(self, capsys, statuses, count):
        argv = ["list"] + [a for s in statuses for a in ("--status", s)]
        assert main(argv) == 0
        assert len(capsys.readouterr().out.splitlines()) == 1 + count
        assert main(argv + ["--json"]) == 0
        assert len(json.loads(capsys.readouterr().out)) == count

    def test_json_rows_match_the_table(self, capsys):
        assert main(["list", "--json", "--status", "all"]) == 0
        rows = json.loads(capsys.readouterr().out)
        assert [(r["name"], r["value"], r["bits_per_pixel"], r["status"], r["replacement"]) for r in rows] == [
            (e.name, e.code, e.bits_per_pixel, e.status, e.replacement) for e in names.entries()
        ]
        assert {r["value_hex"] for r in rows if r["name"] == "BGR10V2Packed"} == {None}

    def test_superseded_and_missing_values_are_marked(self, capsys):
        assert main(["list", "--status", "all"]) == 0
        lines = {" ".join(line.split()) for line in capsys.readouterr().out.splitlines()}
        assert "R10 0x010A00CA 10 superseded value" in lines
        assert "BGR10V2Packed none deprecated \u2192 BGR10p32" in lines
        assert "BGR16Packed 0x0230004B 48 deprecated \u2192 BGR16" in lines


class TestDescribeLayout:
    @pytest.mark.parametrize(
        "name, expected",
        [
            ("Mono12p", {"packing": "lsb", "group_bits": 24, "group_pixels": 2, "dtype": "uint16", "granularity": 1}),
            ("Mono12Packed", {"packing": "gige", "granularity": 2, "container": None}),
            ("BGR8", {"channels": ["B", "G", "R"], "container": 8, "dtype": "uint8"}),
            ("YCbCr420_8_YY_CbCr_Semiplanar", {"subsampling": [4, 2, 0], "planes": [["Y"], ["Cb", "Cr"]], "granularity": 2}),
        ],
        ids=lambda v: v if isinstance(v, str) else "",
    )
    def test_json_object(self, name, expected):
        layout = cli.describe(name)["layout"]
        assert layout["decoded"] is True and layout["designation"] == name
        assert {key: layout[key] for key in expected} == expected

    @pytest.mark.parametrize("name", ["Mono14Packed", "RGB10V1Packed"])
    def test_format_the_engine_does_not_decode(self, capsys, name):
        layout = cli.describe(name)["layout"]
        assert layout["decoded"] is False and name in layout["reason"]
        _, (table,), _ = describe_text(capsys, name)
        assert table["layout"] == f"not decoded: {layout['reason']}"

    def test_table_rows_follow_the_existing_ones(self, capsys):
        status, (table,), _ = describe_text(capsys, "BGR10p")
        assert status == 0
        labels = list(table)
        assert labels[labels.index("bits per pixel") + 1 :] == ["layout", "  output channels", "  granularity"]
        assert table["layout"] == cli.describe("BGR10p")["layout"]["description"]
        assert (table["  output channels"], table["  granularity"]) == ("B, G, R", "1 pixel")


def lsb_stream(values, bits):
    """Values packed lsb first into one bit stream, straight from the bit rule."""
    word = sum(v << (bits * i) for i, v in enumerate(values))
    return word.to_bytes(-(-bits * len(values) // 8), "little")


def decode_argv(tmp_path, name, *options, raws=(), out="out.npy"):
    # pathlib drops a trailing separator, which tells a directory to be made.
    target = str(tmp_path / out) + (os.sep if out.endswith("/") else "")
    return ["decode", name, *options, *(str(tmp_path / r) for r in raws), "-o", target]


class TerminalStream(io.StringIO):
    def isatty(self):
        return True


class TestDecode:
    @pytest.mark.parametrize(
        "name, options, data, expected",
        [
            # An odd width: the second line starts in the middle of a byte.
            ("Mono12p", ["--width", "3", "--height", "2"], lsb_stream(range(0x7F0, 0x7F6), 12), [[0x7F0, 0x7F1, 0x7F2], [0x7F3, 0x7F4, 0x7F5]]),
            # With a stride each line is a stream of its own, padding after it.
            (
                "Mono12p",
                ["--width", "3", "--height", "2", "--stride", "7"],
                lsb_stream([1, 2, 0xFFF], 12) + b"\xee\xee" + lsb_stream([4, 5, 6], 12) + b"\xee\xee",
                [[1, 2, 0xFFF], [4, 5, 6]],
            ),
            ("Mono12p", ["--width", "2", "--height", "1", "--msb-aligned"], bytes.fromhex("BC3A12"), [[0xABC0, 0x1230]]),
            ("Mono12Packed", ["--width", "2", "--height", "1"], bytes.fromhex("AB3C12"), [[0xABC, 0x123]]),
            ("Mono16", ["--width", "2", "--height", "1", "--byte-order", "big"], bytes.fromhex("1234ABCD"), [[0x1234, 0xABCD]]),
            ("RGB565p", ["--width", "1", "--height", "1"], bytes.fromhex("5F2D"), [[[0x1F, 0x2A, 0x05]]]),
        ],
        ids=["Mono12p-odd-width", "Mono12p-stride", "msb-aligned", "Mono12Packed", "big-endian", "RGB565p"],
    )
    def test_writes_the_decoded_values(self, tmp_path, capsys, name, options, data, expected):
        (tmp_path / "frame.raw").write_bytes(data)
        assert main(decode_argv(tmp_path, name, *options, raws=["frame.raw"])) == 0
        image = np.load(tmp_path / "out.npy")
        assert image.dtype == (np.uint8 if name == "RGB565p" else np.uint16)
        assert image.tolist() == expected
        out, err = capsys.readouterr()
        assert (out, err) == (f"{tmp_path / 'frame.raw'} \u2192 {tmp_path / 'out.npy'}: {image.dtype} {image.shape}\n", "")

    @pytest.mark.parametrize("out", ["existing", "new/"])
    def test_one_input_into_a_directory(self, tmp_path, capsys, out):
        (tmp_path / "existing").mkdir()
        (tmp_path / "f.bin").write_bytes(bytes([7, 8]))
        argv = decode_argv(tmp_path, "Mono8", "--width", "2", "--height", "1", raws=["f.bin"], out=out)
        assert main(argv) == 0
        assert np.load(tmp_path / out / "f.npy").tolist() == [[7, 8]]

    def test_several_inputs_into_a_new_directory(self, tmp_path, capsys):
        for i in range(3):
            (tmp_path / f"frame{i}.raw").write_bytes(bytes([i, i + 1]))
        argv = decode_argv(tmp_path, "Mono8", "--width", "1", "--height", "2", raws=[f"frame{i}.raw" for i in range(3)], out="a/b")
        assert main(argv) == 0
        for i in range(3):
            assert np.load(tmp_path / "a" / "b" / f"frame{i}.npy").tolist() == [[i], [i + 1]]
        out, err = capsys.readouterr()
        assert len(out.splitlines()) == 3 and err == ""  # no bar: stderr is not a terminal

    def test_progress_bar_on_a_terminal_keeps_messages_on_their_own_lines(self, tmp_path, capsys, monkeypatch):
        for stem, data in [("a", b"\x01"), ("short", b""), ("c", b"\x03")]:
            (tmp_path / f"{stem}.raw").write_bytes(data)
        stream = TerminalStream()
        monkeypatch.setattr(sys, "stderr", stream)
        argv = decode_argv(tmp_path, "Mono8", "--width", "1", "--height", "1", raws=["a.raw", "short.raw", "c.raw"], out="d")
        assert main(argv) == 1
        lines = stream.getvalue().split("\n")
        assert lines[-1] == ""
        assert lines[-2].rstrip().endswith("[########################] 3/3")
        (message,) = [line.rsplit("\r", 1)[-1] for line in lines if "korvell-pfnc:" in line]
        assert message == f"korvell-pfnc: {tmp_path / 'short.raw'} holds 0 bytes; one Mono8 frame of 1 x 1 takes 1"
        assert sorted(p.name for p in (tmp_path / "d").iterdir()) == ["a.npy", "c.npy"]

    @pytest.mark.parametrize(
        "name, options, raws, out, message",
        [
            ("Mono12p", ["--width", "4", "--height", "2"], {"f.raw": 11}, "o.npy", "f.raw holds 11 bytes; one Mono12p frame of 4 x 2 takes 12"),
            ("Mono12p", ["--width", "4", "--height", "2"], {"f.raw": 13}, "o.npy", "f.raw holds 13 bytes; one Mono12p frame of 4 x 2 takes 12"),
            ("Mono8", ["--width", "4", "--height", "1", "--stride", "6"], {"f.raw": 4}, "o.npy", "frame of 4 x 1 with a stride of 6 takes 6"),
            ("Mono14Packed", ["--width", "2", "--height", "1"], {"f.raw": 4}, "o.npy", "cannot decode: Mono14Packed"),
            ("RGB10V1Packed", ["--width", "1", "--height", "1"], {"f.raw": 4}, "o.npy", "cannot decode: RGB10V1Packed"),
            ("Mono8x", ["--width", "1", "--height", "1"], {"f.raw": 1}, "o.npy", "unknown pixel format: 'Mono8x'"),
            ("Mono12Packed", ["--width", "3", "--height", "1"], {"f.raw": 5}, "o.npy", "3 pixels"),
            ("Mono12p", ["--width", "4", "--height", "1", "--stride", "5"], {"f.raw": 5}, "o.npy", "stride 5"),
            ("Mono8", ["--width", "1", "--height", "1"], {"a/f.raw": 1, "b/f.raw": 1}, "o", "would both be written to"),
            ("Mono8", ["--width", "1", "--height", "1"], {"f.raw": 1, "g.raw": 1}, "taken", "is not a directory"),
            ("Mono8", ["--width", "1", "--height", "1"], {"f.raw": 1}, "f.raw", "overwritten by its own output"),
            ("Mono8", ["--width", "1", "--height", "1"], {"f.raw": 1}, "o.jpg", "not .jpg"),
            ("Mono8", ["--width", "1", "--height", "1", "--format", "tiff"], {"f.raw": 1}, "o.png", "names a png file, but --format says tiff"),
            # Refused by the first frame, before anything is written: the others would be refused alike.
            ("RGB16", ["--width", "1", "--height", "1"], {"f.raw": 6}, "o.png", "holds 16-bit grey but not 16-bit RGB: write a .tiff file, or use --show"),
            ("BGR8", ["--width", "1", "--height", "1", "--format", "png"], {"f.raw": 3, "g.raw": 3}, "d", "holds B, G, R, which a PNG file would show as R, G, B"),
            ("Coord3D_C32f", ["--width", "1", "--height", "1"], {"f.raw": 4}, "o.png", "not one channel of float32"),
        ],
        ids=[
            "short", "long", "stride-size", "no-layout", "opaque", "unknown", "group", "stride", "same-stem", "out-file",
            "own-input", "suffix", "format-disagrees", "png-rgb16", "png-bgr", "png-float",
        ],
    )
    def test_refusals_are_one_line_and_exit_1(self, tmp_path, capsys, name, options, raws, out, message):
        (tmp_path / "taken").write_bytes(b"keep")
        for raw, size in raws.items():
            (tmp_path / raw).parent.mkdir(exist_ok=True)
            (tmp_path / raw).write_bytes(bytes(size))
        before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
        assert main(decode_argv(tmp_path, name, *options, raws=list(raws), out=out)) == 1
        out_text, err = capsys.readouterr()
        assert out_text == ""
        assert err.startswith("korvell-pfnc: ") and err.count("\n") == 1 and message in err
        assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before

    def test_missing_input_is_reported_and_the_others_written(self, tmp_path, capsys):
        (tmp_path / "here.raw").write_bytes(b"\x05")
        argv = decode_argv(tmp_path, "Mono8", "--width", "1", "--height", "1", raws=["gone.raw", "here.raw"], out="d")
        assert main(argv) == 1
        assert capsys.readouterr().err == f"korvell-pfnc: {tmp_path / 'gone.raw'}: No such file or directory\n"
        assert np.load(tmp_path / "d" / "here.npy").tolist() == [[5]]

    @pytest.mark.parametrize(
        "option",
        [["--width", "0"], ["--height", "x"], ["--stride", "-1"], ["--byte-order", "middle"], ["--range", "full"], ["--show", "--algorithm", "vng"]],
    )
    def test_bad_arguments_are_usage_errors(self, tmp_path, capsys, option):
        argv = ["decode", "Mono8", "--width", "1", "--height", "1", *option, "f.raw", "-o", str(tmp_path / "o.npy")]
        assert main(argv) == 2
        assert capsys.readouterr().err.startswith("usage: korvell-pfnc decode")


def visual_module():
    """The visualisation, or a skip while the built-in back-end draws no pictures yet."""
    visual = pytest.importorskip("korvell.pfnc.decoders._visual", reason="this build has no visualisation module yet")
    if visual.visualize("BayerRG8", np.zeros((2, 2), np.uint8)).shape != (2, 2, 3):
        pytest.skip("the built-in back-end does not demosaic yet")
    return visual


class TestPictures:
    @pytest.mark.parametrize(
        "name, size, data, out, mode, expected",
        [
            ("Mono8", (3, 1), bytes([0, 128, 255]), "o.png", "L", [[0, 128, 255]]),
            ("Mono12p", (2, 1), bytes.fromhex("BC3A12"), "o.PNG", "I;16", [[0xABC, 0x123]]),
            ("RGB8", (1, 2), bytes([1, 2, 3, 4, 5, 6]), "o.png", "RGB", [[[1, 2, 3]], [[4, 5, 6]]]),
            ("RGB16", (1, 1), bytes.fromhex("3412 7856 BC9A"), "o.tiff", 2, [[[0x1234, 0x5678, 0x9ABC]]]),
            # Not R, G, B: plain samples, which no viewer takes for colours.
            ("BGR8", (1, 1), bytes([1, 2, 3]), "o.tif", 1, [[[1, 2, 3]]]),
            ("Coord3D_C32f", (2, 1), np.array([1.5, -2.0], "<f4").tobytes(), "o.tiff", 1, [[1.5, -2.0]]),
        ],
        ids=["Mono8-png", "Mono12p-png16", "RGB8-png", "RGB16-tiff", "BGR8-tiff", "Coord3D_C32f-tiff"],
    )
    def test_files_hold_the_decoded_values(self, tmp_path, capsys, name, size, data, out, mode, expected):
        from PIL import Image
        import tifffile

        (tmp_path / "f.raw").write_bytes(data)
        argv = decode_argv(tmp_path, name, "--width", str(size[0]), "--height", str(size[1]), raws=["f.raw"], out=out)
        assert main(argv) == 0, capsys.readouterr().err
        if out.lower().endswith(".png"):
            with Image.open(tmp_path / out) as picture:
                assert (picture.format, picture.mode) == ("PNG", mode)
                assert np.asarray(picture).tolist() == expected
        else:
            with tifffile.TiffFile(tmp_path / out) as tiff:
                assert int(tiff.pages[0].photometric) == mode  # 2: RGB, 1: grey samples
                assert tiff.asarray().tolist() == expected

    @pytest.mark.parametrize("out, module, package", [("o.png", "PIL.Image", "Pillow"), ("o.tiff", "tifffile", "tifffile")])
    def test_missing_package_names_the_extra(self, tmp_path, capsys, monkeypatch, out, module, package):
        monkeypatch.setitem(sys.modules, module, None)  # import raises ImportError
        (tmp_path / "f.raw").write_bytes(b"\x01")
        assert main(decode_argv(tmp_path, "Mono8", "--width", "1", "--height", "1", raws=["f.raw"], out=out)) == 1
        assert capsys.readouterr().err == (
            f"korvell-pfnc: writing {out[2:].upper()} files needs {package}, which is not installed: "
            'pip install "korvell-pfnc[image]"\n'
        )
        assert sorted(p.name for p in tmp_path.iterdir()) == ["f.raw"]

    def test_show_writes_what_visualize_returns(self, tmp_path, capsys, monkeypatch):
        from PIL import Image

        calls = []

        def visualize(fmt, image, **options):
            calls.append((fmt.designation(), image.tolist(), options))
            return np.full(image.shape + (3,), 7, np.uint8)

        monkeypatch.setitem(sys.modules, "korvell.pfnc.decoders._visual", types.SimpleNamespace(visualize=visualize))
        (tmp_path / "f.raw").write_bytes(bytes.fromhex("BC3A12"))
        argv = decode_argv(tmp_path, "Mono12p", "--width", "2", "--height", "1", "--show", "--algorithm", "malvar", "--msb-aligned", raws=["f.raw"], out="o.png")
        assert main(argv) == 0
        # Only the options given, and the values as sent: a picture is scaled by the format's bit depth.
        assert calls == [("Mono12p", [[0xABC, 0x123]], {"algorithm": "malvar"})]
        with Image.open(tmp_path / "o.png") as picture:
            assert picture.mode == "RGB" and np.asarray(picture).tolist() == [[[7] * 3] * 2]

    @pytest.mark.parametrize(
        "name, bits, options, out",
        [("BayerRG8", 8, [], "o.png"), ("BayerRG12p", 12, ["--dtype", "native"], "o.tiff")],
    )
    def test_show_demosaics_like_opencv(self, tmp_path, capsys, name, bits, options, out):
        visual_module()
        cv2 = pytest.importorskip("cv2", reason="OpenCV is the reference demosaic")
        from PIL import Image
        import tifffile

        rng = np.random.default_rng(13)
        mosaic = rng.integers(0, 1 << bits, (8, 10), dtype=np.uint16 if bits > 8 else np.uint8)
        raw = mosaic.tobytes() if bits == 8 else lsb_stream(mosaic.ravel().tolist(), bits)
        (tmp_path / "f.raw").write_bytes(raw)
        assert main(decode_argv(tmp_path, name, "--width", "10", "--height", "8", "--show", *options, raws=["f.raw"], out=out)) == 0
        if out.endswith(".png"):
            with Image.open(tmp_path / out) as picture:
                assert picture.mode == "RGB"
                shown = np.asarray(picture)
        else:
            shown = tifffile.imread(tmp_path / out)
        # OpenCV names the pattern by the second line's first two pixels: our BayerRG is its BayerBG.
        expected = cv2.cvtColor(mosaic, cv2.COLOR_BayerBG2RGB)
        assert shown.dtype == mosaic.dtype and shown.shape == (8, 10, 3)
        inner = (slice(2, -2), slice(2, -2))
        assert np.abs(shown[inner].astype(np.int32) - expected[inner]).max() <= 1

    def test_show_native_rgb16_refuses_png_pointing_to_uint8(self, tmp_path, capsys):
        visual_module()
        (tmp_path / "f.raw").write_bytes(bytes(2 * 2 * 2))
        argv = decode_argv(tmp_path, "BayerRG16", "--width", "2", "--height", "2", "--show", "--dtype", "native", raws=["f.raw"], out="o.png")
        assert main(argv) == 1
        assert capsys.readouterr().err.endswith("write a .tiff file, or use --dtype uint8\n")
        assert not (tmp_path / "o.png").exists()
