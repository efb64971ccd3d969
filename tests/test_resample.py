"""remap_rgb, remap_gray and warp_rgb: exact results, geometry conventions and layouts."""
import numpy as np
import pytest

import trevalin

from conftest import load_rgb, run_python
from resample_reference import sample, warp_positions

EYE = [1, 0, 0, 0, 1, 0, 0, 0, 1]
FILTERS = ["bilinear", "lanczos3"]
DTYPES = [np.uint8, np.uint16]


def photo(dtype, size=None):
    img = load_rgb("coffee.png")
    if size:
        img = img[: size[1], : size[0]]
    return img if dtype == np.uint8 else img.astype(np.uint16) * 257 + (img & 7)


def identity_maps(h, w):
    mx, my = np.meshgrid(np.arange(w, dtype=np.float32), np.arange(h, dtype=np.float32))
    return mx, my


def remap(src, mx, my, filt):
    return (trevalin.remap_rgb if src.ndim == 3 else trevalin.remap_gray)(src, mx, my, filt)


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [1, 3])
def test_identity_reproduces_the_source(filt, dtype, channels):
    src = photo(dtype, (157, 93))
    if channels == 1:
        src = np.ascontiguousarray(src[:, :, 1])
    out = remap(src, *identity_maps(*src.shape[:2]), filt)
    assert out.dtype == src.dtype and out.shape == src.shape
    assert np.array_equal(out, src)
    if channels == 3:
        assert np.array_equal(trevalin.warp_rgb(src, EYE, 1, 0, 0, filt), src)
        negated = [-v for v in EYE]
        assert np.array_equal(trevalin.warp_rgb(src, negated, 1, 0, 0, filt), src)


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [1, 3])
def test_remap_matches_the_reference_arithmetic(filt, dtype, channels):
    rng = np.random.default_rng(7 + channels)
    src = photo(dtype, (61, 47))
    if channels == 1:
        src = np.ascontiguousarray(src[:, :, 0])
    h, w = src.shape[:2]
    mx = rng.uniform(-3, w + 2, (40, 70)).astype(np.float32)
    my = rng.uniform(-3, h + 2, (40, 70)).astype(np.float32)
    # exact limits, just beyond them, grid points, half steps of the table, NaN and infinities
    specials = np.array([-0.5, np.nextafter(np.float32(-0.5), np.float32(-1)), w - 0.5, h - 0.5,
                         np.nextafter(np.float32(w - 0.5), np.float32(w)), 0, 1, 2.5, w - 1, 3 + 0.5 / 1024,
                         3 + 1.5 / 1024, np.nan, np.inf, -np.inf], np.float32)
    mx[0, : specials.size] = specials
    my[1, : specials.size] = specials
    mx[2, : specials.size] = specials
    my[2, : specials.size] = specials[::-1]
    out = remap(src, mx, my, filt)
    assert np.array_equal(out, sample(src, mx, my, filt))


@pytest.mark.parametrize("every", [1, 3, 20])
def test_long_rows_of_sums_on_a_half_match_the_reference(every):
    # One pixel in every `every`-th run of eight sits halfway between two samples of odd sum, which
    # no single-precision estimate can round; the rest sit on pixels. Rows of 12800 pixels hold more
    # such runs than a row keeps aside to weigh again.
    rng = np.random.default_rng(every)
    src = rng.integers(0, 256, (16, 120, 3), dtype=np.uint8)
    src[7, 100], src[7, 101] = (1, 3, 5), (2, 6, 8)
    mx = rng.integers(0, 120, (2, 12800)).astype(np.float32)
    my = rng.integers(0, 16, (2, 12800)).astype(np.float32)
    mx[:, 3::8 * every], my[:, 3::8 * every] = 100.5, 7
    assert np.array_equal(trevalin.remap_rgb(src, mx, my), sample(src, mx, my, "bilinear"))


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_warp_matches_the_reference_arithmetic(filt, dtype):
    src = photo(dtype, (80, 60))
    inverse = [0.9, 0.12, 3.5, -0.07, 1.05, -2.25, 0.0011, -0.0007, 1.0]
    for scale, ox, oy, size in [(1.0, 0.0, 0.0, (90, 70)), (1.7, -4.25, 3.5, (101, 77)), (0.6, 10, -5, (33, 20))]:
        out = trevalin.warp_rgb(src, inverse, scale, ox, oy, filt, size)
        X, Y = warp_positions(inverse, scale, ox, oy, *size)
        assert np.array_equal(out, sample(src, X, Y, filt))


def test_border_conventions():
    src = np.arange(1, 13, dtype=np.uint8).reshape(3, 4) * 20
    h, w = src.shape
    below = np.nextafter(np.float32(-0.5), np.float32(-1))
    cases = [((-0.5, 1), src[1, 0]), ((w - 0.5, 1), src[1, w - 1]), ((-0.25, 2), src[2, 0]),
             ((w - 0.75, 0), src[0, w - 1]), ((2, -0.5), src[0, 2]), ((2, h - 0.5), src[h - 1, 2]),
             ((below, 1), 0), ((1, below), 0), ((np.nan, 1), 0), ((1, np.nan), 0), ((w, 1), 0)]
    mx = np.array([[c[0][0] for c in cases]], np.float32)
    my = np.array([[c[0][1] for c in cases]], np.float32)
    # bilinear taps clamp to the edge pixel inside the half-pixel band
    assert trevalin.remap_gray(src, mx, my, "bilinear")[0].tolist() == [int(c[1]) for c in cases]
    # either filter writes exactly the inside positions
    lanczos = trevalin.remap_gray(src, mx, my, "lanczos3")[0]
    assert (lanczos > 0).tolist() == [c[1] > 0 for c in cases]


@pytest.mark.parametrize("filt", FILTERS)
def test_constant_image_stays_constant_up_to_the_half_pixel_band(filt):
    src = np.full((5, 6, 3), 77, np.uint16)
    mx, my = np.meshgrid(np.linspace(-0.5, 5.5, 31, dtype=np.float32), np.linspace(-0.5, 4.5, 23, dtype=np.float32))
    assert (trevalin.remap_rgb(src, mx, my, filt) == 77).all()


@pytest.mark.parametrize("dtype, top", [(np.uint8, 255), (np.uint16, 65535)])
def test_lanczos_lobes_saturate_next_to_a_step(dtype, top):
    src = np.zeros((8, 16), dtype)
    src[:, 8:] = top
    xs = np.linspace(4, 12, 200, dtype=np.float32)[None, :]
    out = trevalin.remap_gray(src, xs, np.full_like(xs, 3.3), "lanczos3")
    assert out.min() == 0 and out.max() == top
    ref = sample(src, xs, np.full_like(xs, 3.3), "lanczos3")
    assert np.array_equal(out, ref)


def test_lanczos_table_index_rounds_half_away_from_zero():
    src = np.zeros((1, 12), np.uint16)
    src[0, 6] = 65535
    for k in (0, 100, 511, 1023):
        x_half = np.float32(5 + (k + 0.5) / 1024)
        x_next = np.float32(5 + (k + 1) / 1024)
        x_this = np.float32(5 + k / 1024)
        xs = np.array([[x_half, x_next, x_this]], np.float32)
        out = trevalin.remap_gray(src, xs, np.zeros_like(xs), "lanczos3")[0]
        assert out[0] == out[1]
        if k != 1023:
            assert out[0] != out[2]


def test_warp_geometry():
    src = photo(np.uint8, (30, 20))
    h, w = src.shape[:2]
    big = trevalin.warp_rgb(src, EYE, 2, 0, 0, "bilinear", (2 * w, 2 * h))
    assert big.shape == (2 * h, 2 * w, 3)
    assert np.array_equal(big[::2, ::2], src)
    assert big[:, -1].any()  # x = w - 0.5 is still inside
    wider = trevalin.warp_rgb(src, EYE, 2, 0, 0, "bilinear", (2 * w + 1, 2 * h))
    assert not wider[:, -1].any()
    shifted = trevalin.warp_rgb(src, EYE, 1, 10, 0)
    assert np.array_equal(shifted[:, : w - 10], src[:, 10:])
    assert not shifted[:, w - 10 :].any()
    assert not trevalin.warp_rgb(src, [1, 0, 0, 0, 1, 0, 0, 0, 0], 1, 0, 0).any()
    assert not trevalin.warp_rgb(src, EYE, 0, 0, 0).any()
    for bad in ([np.nan] + EYE[1:], EYE[:8] + [np.inf]):
        assert trevalin.warp_rgb(src, bad, 1, 0, 0).shape == src.shape
    assert trevalin.warp_rgb(src, EYE, 3, 0, 0).shape == src.shape  # scale never sets the size
    assert trevalin.warp_rgb(src, EYE, 1, 0, 0, out_size=(64, 48)).shape == (48, 64, 3)


@pytest.mark.parametrize("filt", FILTERS)
def test_non_contiguous_inputs_equal_their_contiguous_copies(filt):
    src = photo(np.uint16, (120, 90))
    stepped = src[::2, 1::3]
    mx = np.random.default_rng(1).uniform(-1, 40, (25, 35)).astype(np.float32)
    my = np.random.default_rng(2).uniform(-1, 45, (35, 25)).astype(np.float32).T  # transposed view
    assert not stepped.flags.c_contiguous and not my.flags.c_contiguous
    contiguous = [np.ascontiguousarray(a) for a in (stepped, mx, my)]
    assert np.array_equal(trevalin.remap_rgb(stepped, mx, my, filt), trevalin.remap_rgb(*contiguous, filt))
    gray = stepped[:, :, 2]
    assert np.array_equal(trevalin.remap_gray(gray, mx, my, filt),
                          trevalin.remap_gray(np.ascontiguousarray(gray), *contiguous[1:], filt))
    assert np.array_equal(trevalin.warp_rgb(stepped, EYE, 1.5, 0.25, 0.5, filt),
                          trevalin.warp_rgb(contiguous[0], EYE, 1.5, 0.25, 0.5, filt))


def test_shapes_of_results():
    src = np.zeros((100, 100, 3), np.uint8)
    m = np.zeros((2, 5), np.float32)
    assert trevalin.remap_rgb(src, m, m).shape == (2, 5, 3)
    assert trevalin.remap_gray(src[:, :, 0], m, m).shape == (2, 5)
    one = np.zeros((1, 1), np.float32)
    assert trevalin.remap_rgb(src, one, one).shape == (1, 1, 3)
    empty_src = np.zeros((0, 4, 3), np.uint8)
    assert not trevalin.remap_rgb(empty_src, m, m).any()
    assert not trevalin.warp_rgb(empty_src, EYE, 1, 0, 0, out_size=(3, 3)).any()


@pytest.mark.parametrize("filt", FILTERS)
def test_sources_wider_than_32767_pixels(filt):
    src = (np.arange(40000 * 8 * 3) % 251).astype(np.uint8).reshape(8, 40000, 3)
    mx, my = identity_maps(8, 40000)
    assert np.array_equal(trevalin.remap_rgb(src, mx, my, filt), src)
    assert np.array_equal(trevalin.warp_rgb(src, EYE, 1, 0, 0, filt), src)
    tall = np.ascontiguousarray(src[:, :, 0].T)  # 40000 rows
    assert np.array_equal(trevalin.remap_gray(tall, *identity_maps(40000, 8), filt), tall)


def test_bilinear_agrees_with_scipy_on_a_photograph():
    from scipy import ndimage

    src = load_rgb("chelsea.png")
    h, w = src.shape[:2]
    rng = np.random.default_rng(3)
    # a smooth, realistic map (rotation + slight zoom) kept away from the border
    y, x = np.mgrid[0:200, 0:300].astype(np.float64)
    a = 0.3
    mx = (np.cos(a) * (x - 150) - np.sin(a) * (y - 100)) * 0.9 + w / 2 + rng.uniform(-0.5, 0.5, x.shape)
    my = (np.sin(a) * (x - 150) + np.cos(a) * (y - 100)) * 0.9 + h / 2 + rng.uniform(-0.5, 0.5, x.shape)
    mx, my = mx.astype(np.float32), my.astype(np.float32)
    ours = trevalin.remap_rgb(src, mx, my, "bilinear")
    coords = np.array([my, mx]).astype(np.float64)
    for c in range(3):
        theirs = ndimage.map_coordinates(src[:, :, c].astype(np.float64), coords, order=1)
        stored = np.trunc(np.clip(theirs + 0.5, 0, 255)).astype(np.uint8)
        diff = ours[:, :, c].astype(int) - stored
        # SciPy sums the same four products in another order: only a sum within a rounding
        # error of a .5 tie can land on the other integer
        assert np.abs(diff).max() <= 1
        assert np.mean(diff != 0) < 1e-3


def test_results_do_not_depend_on_the_thread_count():
    code = """
import sys; sys.path.insert(0, %r)
import hashlib, numpy as np, trevalin
from conftest import load_rgb
src = load_rgb("coffee.png")
h = hashlib.sha256()
mx = np.random.default_rng(0).uniform(-5, 605, (300, 500)).astype(np.float32)
my = np.random.default_rng(1).uniform(-5, 405, (300, 500)).astype(np.float32)
for f in ("bilinear", "lanczos3"):
    h.update(trevalin.remap_rgb(src, mx, my, f).tobytes())
    h.update(trevalin.remap_gray(src[:, :, 0].copy(), mx, my, f).tobytes())
    h.update(trevalin.warp_rgb(src, [0.9, 0.1, 5, -0.1, 1.1, 3, 1e-4, 2e-4, 1], 1.3, 2, 1, f).tobytes())
print(h.hexdigest())
""" % (str(__import__("pathlib").Path(__file__).parent),)
    digests = {run_python(code, env={"RAYON_NUM_THREADS": n}).strip() for n in ("1", "2", "5")}
    assert len(digests) == 1
