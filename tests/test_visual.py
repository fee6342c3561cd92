"""Pictures to look at, checked against numpy references written here from the
rules (demosaic kernels, colour matrices, scaling by depth) and against OpenCV."""

import numpy as np
import pytest

from korvell.pfnc import decoders
from korvell.pfnc.decoders import _visual

try:
    import cv2
except ImportError:  # pragma: no cover - the test extra installs it
    cv2 = None

needs_cv2 = pytest.mark.skipif(cv2 is None, reason="OpenCV (opencv-python-headless) is not installed")

PATTERNS = {"BayerRG": "RGGB", "BayerGR": "GRBG", "BayerGB": "GBRG", "BayerBG": "BGGR"}
# PFNC names the top-left cell; OpenCV names the cell one pixel down and right.
CV_CODES = {"BayerRG": "COLOR_BayerBG2RGB", "BayerGR": "COLOR_BayerGB2RGB", "BayerGB": "COLOR_BayerGR2RGB",
            "BayerBG": "COLOR_BayerRG2RGB"}
STANDARDS = {"601": (0.299, 0.114), "709": (0.2126, 0.0722), "2020": (0.2627, 0.0593)}


def picture(name, image, **options):
    return _visual.visualization_image(decoders.layout(name), image, **options)


# ---------------------------------------------------------------------------
# Bayer: references by convolution of a mirrored mosaic.


def colour_masks(cell, height, width):
    sites = np.array(list(cell)).reshape(2, 2)
    grid = np.tile(sites, (height // 2 + 1, width // 2 + 1))[:height, :width]
    return {c: grid == c for c in "RGB"}


def convolve(padded, kernel, height, width):
    out = np.zeros((height, width), np.int64)
    for dy in range(5):
        for dx in range(5):
            if kernel[dy][dx]:
                out += kernel[dy][dx] * padded[dy:dy + height, dx:dx + width]
    return out


def kernel(entries):
    k = [[0] * 5 for _ in range(5)]
    for (dy, dx), w in entries.items():
        k[dy + 2][dx + 2] += w
    return k


def star(centre, near, far, near_taps, far_taps):
    entries = {(0, 0): centre}
    for t in near_taps:
        entries[t] = entries.get(t, 0) + near
    for t in far_taps:
        entries[t] = entries.get(t, 0) + far
    return entries


CROSS = [(-1, 0), (1, 0), (0, -1), (0, 1)]
DIAG = [(-1, -1), (-1, 1), (1, -1), (1, 1)]
AXIAL2 = [(-2, 0), (2, 0), (0, -2), (0, 2)]


def malvar_kernels():
    """The published 5x5 filters (times 16): G at R/B, R/B at G in a row or
    column of that colour, R at B and B at R."""
    g_at_rb = kernel(star(8, 4, -2, CROSS, AXIAL2))
    along = {(0, 0): 10, (0, -1): 8, (0, 1): 8, (0, -2): -2, (0, 2): -2, (-2, 0): 1, (2, 0): 1}
    along.update({t: -2 for t in DIAG})
    across = {(dx, dy): w for (dy, dx), w in along.items()}
    opposite = kernel(star(12, 4, -3, DIAG, AXIAL2))
    return g_at_rb, kernel(along), kernel(across), opposite


def reference_demosaic(mosaic, cell, algorithm, bits):
    height, width = mosaic.shape
    padded = np.pad(mosaic.astype(np.int64), 2, mode="reflect")
    masks = colour_masks(cell, height, width)
    sites = np.array(list(cell)).reshape(2, 2)
    # Which colour shares a green site's row.
    row_has_red = np.array(["R" in sites[y % 2] for y in range(height)])[:, None]
    if algorithm == "bilinear":
        g_at_rb = kernel({(0, 0): 0, **{t: 4 for t in CROSS}})
        along = kernel({(0, -1): 8, (0, 1): 8})
        across = kernel({(-1, 0): 8, (1, 0): 8})
        opposite = kernel({t: 4 for t in DIAG})
    else:
        g_at_rb, along, across, opposite = malvar_kernels()
    top = (1 << bits) - 1

    def through(k):
        return np.clip((convolve(padded, k, height, width) + 8) >> 4, 0, top)

    g_rb, alo, acr, opp = through(g_at_rb), through(along), through(across), through(opposite)
    own = mosaic.astype(np.int64)
    green = np.where(masks["G"], own, g_rb)
    red = np.where(masks["R"], own, np.where(masks["B"], opp, np.where(row_has_red, alo, acr)))
    blue = np.where(masks["B"], own, np.where(masks["R"], opp, np.where(row_has_red, acr, alo)))
    return np.stack([red, green, blue], axis=-1)


def to_eight(values, bits):
    top = (1 << bits) - 1
    return np.rint(np.asarray(values, np.float64) * 255 / top).astype(np.uint8)


@pytest.mark.parametrize("algorithm", ["bilinear", "malvar"])
@pytest.mark.parametrize("bits", [8, 12, 16])
@pytest.mark.parametrize("channel", sorted(PATTERNS))
def test_demosaic_matches_the_kernels_everywhere(channel, bits, algorithm):
    rng = np.random.default_rng(bits * 7 + len(channel))
    height, width = 9, 75  # borders, two vector steps of 32 pixels, and the plain columns after them
    dtype = np.uint8 if bits == 8 else np.uint16
    mosaic = rng.integers(0, 1 << bits, (height, width)).astype(dtype)
    name = f"{channel}{bits}"
    expected = reference_demosaic(mosaic, PATTERNS[channel], algorithm, bits)
    before = mosaic.copy()
    native = picture(name, mosaic, algorithm=algorithm, dtype="native")
    assert native.dtype == dtype and native.shape == (height, width, 3)
    np.testing.assert_array_equal(native, expected)
    np.testing.assert_array_equal(picture(name, mosaic, algorithm=algorithm), to_eight(expected, bits))
    np.testing.assert_array_equal(mosaic, before)


@needs_cv2
@pytest.mark.parametrize("bits", [8, 16])
@pytest.mark.parametrize("channel", sorted(PATTERNS))
def test_bilinear_matches_opencv_inside(channel, bits):
    rng = np.random.default_rng(bits + 3 * len(channel))
    dtype = np.uint8 if bits == 8 else np.uint16
    mosaic = rng.integers(0, 1 << bits, (40, 62)).astype(dtype)
    ours = picture(f"{channel}{bits}", mosaic, dtype="native").astype(np.int64)
    theirs = cv2.cvtColor(mosaic, getattr(cv2, CV_CODES[channel])).astype(np.int64)
    assert np.abs(ours - theirs)[2:-2, 2:-2].max() <= 1


@pytest.mark.parametrize("name", ["BayerRG12p", "BayerGB4p", "BayerBG10"])
def test_demosaic_of_packed_and_shallow_frames(name):
    lay = decoders.layout(name)
    bits = lay.bits[0]
    rng = np.random.default_rng(5)
    image = rng.integers(0, 1 << bits, (6, 8)).astype(lay.dtype)
    expected = reference_demosaic(image, PATTERNS[name[:7]], "bilinear", bits)
    np.testing.assert_array_equal(picture(name, image), to_eight(expected, bits))


def test_a_flat_mosaic_stays_flat_and_out_of_range_samples_saturate():
    flat = np.full((6, 6), 1000, np.uint16)
    for algorithm in ("bilinear", "malvar"):
        assert (picture("BayerRG10", flat, algorithm=algorithm, dtype="native") == 1000).all()
    garbage = np.full((6, 6), 0xFFFF, np.uint16)
    assert (picture("BayerRG12", garbage) == 255).all()
    assert (picture("BayerRG12", garbage, dtype="native") == 4095).all()


# ---------------------------------------------------------------------------
# YCbCr: pure colours at every standard and range, encoded here from RGB.


def ycbcr_of(rgb, kr, kb, bits, limited):
    rgb = np.asarray(rgb, np.float64) / 255.0
    y = kr * rgb[..., 0] + (1 - kr - kb) * rgb[..., 1] + kb * rgb[..., 2]
    cb = (rgb[..., 2] - y) / (2 * (1 - kb))
    cr = (rgb[..., 0] - y) / (2 * (1 - kr))
    scale = 1 << (bits - 8)
    if limited:
        planes = (16 + 219 * y) * scale, (128 + 224 * cb) * scale, (128 + 224 * cr) * scale
    else:
        top = (1 << bits) - 1
        planes = y * top, cb * top + (1 << (bits - 1)), cr * top + (1 << (bits - 1))
    samples = np.clip(np.rint(np.stack(planes, axis=-1)), 0, (1 << bits) - 1)
    return samples.astype(np.uint8 if bits == 8 else np.uint16)


PURE = np.array([[[255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 255]],
                 [[0, 0, 0], [255, 255, 0], [0, 255, 255], [128, 64, 32]]], np.uint8)


@pytest.mark.parametrize("bits", [8, 10])
@pytest.mark.parametrize("standard", ["", "601", "709", "2020"])
@pytest.mark.parametrize("range_", [None, "full", "limited"])
def test_pure_colours(standard, bits, range_):
    name = f"YCbCr{standard}_{bits}_CbYCr" if standard else f"YCbCr{bits}_CbYCr"
    if standard == "" and bits == 10:
        name = "YCbCr10_CbYCr"
    limited = range_ == "limited" or (range_ is None and standard != "")
    kr, kb = STANDARDS.get(standard, STANDARDS["601"])
    image = ycbcr_of(PURE, kr, kb, bits, limited)
    out = picture(name, image, range=range_)
    assert out.dtype == np.uint8
    assert np.abs(out.astype(int) - PURE).max() <= 1
    if bits == 10:
        native = picture(name, image, range=range_, dtype="native")
        assert native.dtype == np.uint16
        assert np.abs(native.astype(float) - PURE * (1023 / 255)).max() <= 2.5


def test_grey_ramp_of_limited_range_clips_outside_16_to_235():
    y = np.arange(256, dtype=np.uint8)
    image = np.stack([y, np.full(256, 128, np.uint8), np.full(256, 128, np.uint8)], axis=-1)[None]
    out = picture("YCbCr709_8_CbYCr", image)
    expected = np.clip(np.rint((y.astype(float) - 16) * 255 / 219), 0, 255)
    assert (out[0, :, 0] == out[0, :, 1]).all() and (out[0, :, 1] == out[0, :, 2]).all()
    assert np.abs(out[0, :, 0] - expected).max() <= 1


def rgb_of(ycbcr, kr, kb, bits, limited, top):
    """RGB of 0..top from YCbCr samples, in float64, rounded half up."""
    step = 2.0 ** (bits - 8)
    y, cb, cr = np.moveaxis(ycbcr.astype(np.float64), -1, 0)
    if limited:
        y, cb, cr = (y - 16 * step) / (219 * step), (cb - 128 * step) / (224 * step), (cr - 128 * step) / (224 * step)
    else:
        full = 2.0 ** bits - 1
        y, cb, cr = y / full, (cb - 2.0 ** (bits - 1)) / full, (cr - 2.0 ** (bits - 1)) / full
    r, b = y + 2 * (1 - kr) * cr, y + 2 * (1 - kb) * cb
    g = (y - kr * r - kb * b) / (1 - kr - kb)
    return np.clip(np.floor(np.stack([r, g, b], axis=-1) * top + 0.5), 0, top)


@pytest.mark.parametrize("name, standard", [("YCbCr8_CbYCr", ""), ("YCbCr601_8_CbYCr", "601"),
                                            ("YCbCr709_10_CbYCr", "709"), ("YCbCr2020_12_CbYCr", "2020"),
                                            ("YCbCr16_CbYCr", ""), ("YCbCr709_16_CbYCr", "709")])
@pytest.mark.parametrize("dtype", ["uint8", "native"])
def test_random_frames_round_as_the_exact_conversion(name, standard, dtype):
    lay = decoders.layout(name)
    bits = lay.bits[0]
    kr, kb = STANDARDS.get(standard, STANDARDS["601"])
    # 67 columns: pixels that go through vector lanes and pixels after them.
    image = np.random.default_rng(bits).integers(0, 1 << bits, (9, 67, 3)).astype(lay.dtype)
    out = picture(name, image, dtype=dtype)
    top = 255 if dtype == "uint8" else (1 << bits) - 1
    assert np.abs(out.astype(np.int64) - rgb_of(image, kr, kb, bits, standard != "", top)).max() <= 1
    # The same pixels alone (too few for a vector) come out identical.
    assert (picture(name, image[:1, :31], dtype=dtype) == out[:1, :31]).all()


def test_ycbcr_samples_above_their_depth_count_as_its_largest():
    image = np.full((2, 40, 3), 0xFFFF, np.uint16)
    assert (picture("YCbCr10_CbYCr", image) == picture("YCbCr10_CbYCr", np.full_like(image, 1023))).all()


DECODES_422 = True
try:
    decoders.decode("YCbCr422_8", bytes(8), width=2, height=2)
except Exception:
    DECODES_422 = False


@needs_cv2
@pytest.mark.skipif(not DECODES_422, reason="subsampled YCbCr does not decode yet")
@pytest.mark.parametrize("name, code, rows", [
    ("YCbCr601_422_8", "COLOR_YUV2RGB_YUYV", 1),
    ("YCbCr601_422_8_CbYCrY", "COLOR_YUV2RGB_UYVY", 1),
    ("YCbCr601_420_8_YY_CbCr_Semiplanar", "COLOR_YUV2RGB_NV12", 1.5),
    ("YCbCr601_420_8_YY_CrCb_Semiplanar", "COLOR_YUV2RGB_NV21", 1.5),
])
def test_subsampled_against_opencv(name, code, rows):
    # OpenCV converts these with the BT.601 weights in the limited range.
    from korvell.pfnc import pixel_format

    try:
        decoders.layout(name)
    except Exception:
        name = name.replace("601_", "")
    width, height = 16, 8
    rng = np.random.default_rng(len(name))
    size = decoders.get_buffer_size(name, width=width, height=height)
    raw = rng.integers(16, 236, size).astype(np.uint8).tobytes()
    ours = picture(name, decoders.decode(name, raw, width=width, height=height), range="limited")
    shape = (int(height * rows), width) if rows != 1 else (height, width, 2)
    theirs = cv2.cvtColor(np.frombuffer(raw, np.uint8).reshape(shape), getattr(cv2, code))
    assert np.abs(ours.astype(int) - theirs).max() <= 2
    assert pixel_format  # the module the names come from is importable


# ---------------------------------------------------------------------------
# The other families.


def test_bicolor_takes_the_missing_colour_from_its_neighbours():
    colour = np.array([[10, 20, 30, 40]], np.uint8)
    green = np.array([[1, 2, 3, 4]], np.uint8)
    image = np.stack([colour, green], axis=-1)
    rgbg = picture("BiColorRGBG8", image)
    # Even pixels hold R, odd ones B; the line's ends mirror.
    np.testing.assert_array_equal(rgbg[0, :, 0], [10, 20, 30, 30])
    np.testing.assert_array_equal(rgbg[0, :, 2], [20, 20, 30, 40])
    np.testing.assert_array_equal(rgbg[0, :, 1], [1, 2, 3, 4])
    bgrg = picture("BiColorBGRG8", image)
    np.testing.assert_array_equal(bgrg, rgbg[..., ::-1])


@pytest.mark.parametrize("name, bits", [("Mono10p", 10), ("Mono12", 12), ("Mono16", 16), ("Mono4p", 4),
                                        ("Mono1p", 1), ("Confidence16", 16), ("SCF1WBWG10", 10), ("Data32", 32)])
def test_depths_scale_by_bit_depth_not_by_the_frame(name, bits):
    top = (1 << bits) - 1
    values = np.array([[0, 1, top // 3, top // 2, top - 1, top]], dtype=decoders.layout(name).dtype)
    np.testing.assert_array_equal(picture(name, values), to_eight(values, bits))
    # A dark frame stays dark: the scale is the depth's, not the frame's maximum.
    assert picture(name, values // 4).max() <= 64


def test_signed_data_is_offset_and_floats_use_the_finite_range():
    np.testing.assert_array_equal(picture("Data8s", np.array([[-128, 0, 127]], np.int8)), [[0, 128, 255]])
    floats = np.array([[np.nan, -1.0, 0.0, 3.0, np.inf]], np.float32)
    np.testing.assert_array_equal(picture("Data32f", floats), [[0, 0, 64, 255, 0]])
    assert (picture("Coord3D_C32f", np.full((2, 2), 7.0, np.float32)) == 0).all()
    np.testing.assert_array_equal(picture("Data32f", floats, dtype="native"), floats)


def test_rgb_orders_planes_and_coordinates():
    rgb = np.array([[[10, 20, 30]]], np.uint8)
    np.testing.assert_array_equal(picture("BGRa8", np.array([[[30, 20, 10, 99]]], np.uint8)), rgb)
    np.testing.assert_array_equal(picture("RGB8_Planar", rgb), rgb)
    np.testing.assert_array_equal(picture("RGB565p", np.array([[[31, 63, 0]]], np.uint8)), [[[255, 255, 0]]])
    abc = np.array([[[1, 2, 4095]]], np.uint16)
    np.testing.assert_array_equal(picture("Coord3D_ABC12p", abc), [[255]])
    np.testing.assert_array_equal(picture("Coord3D_AC16", np.array([[[7, 65535]]], np.uint16)), [[255]])


@pytest.mark.parametrize("option, value", [("dtype", "float"), ("algorithm", "vng"), ("range", "video"),
                                           ("range", 1)])
def test_unknown_option_values_name_the_option(option, value):
    with pytest.raises(ValueError, match=option):
        picture("BayerRG8", np.zeros((4, 4), np.uint8), **{option: value})


@pytest.mark.parametrize("name, image", [
    ("BayerRG8", np.zeros((1, 4), np.uint8)),
    ("BiColorRGBG8", np.zeros((2, 1, 2), np.uint8)),
    ("RGB8", np.zeros((2, 2), np.uint8)),
])
def test_frames_without_a_picture_raise_value_error(name, image):
    with pytest.raises(ValueError):
        picture(name, image)


def test_visualize_and_decode_rgb_go_through_the_registry():
    if "visualization_image" not in vars(decoders.LayoutDecoder):
        pytest.skip("the built-in back-end does not make pictures through the registry yet")
    mosaic = np.arange(16, dtype=np.uint8).reshape(4, 4)
    expected = picture("BayerGR8", mosaic, algorithm="malvar")
    np.testing.assert_array_equal(_visual.visualize("BayerGR8", mosaic, algorithm="malvar"), expected)
    got = _visual.decode_rgb("BayerGR8", mosaic.tobytes(), width=4, height=4, algorithm="malvar")
    np.testing.assert_array_equal(got, expected)
