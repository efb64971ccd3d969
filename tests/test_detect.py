"""detect() on real photographs and on images with known answers."""
import math

import numpy as np
import pytest

import trevalin

from conftest import load_gray, run_python

PHOTOS = ["rocket.jpg", "camera.png", "text.png", "brick.png", "coffee.png"]


def digest(segments):
    return [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in segments]


def gradient_along(gray, s, samples=15):
    """Mean gradient magnitude (0..255 scale) along a segment's centre line."""
    g = gray.astype(np.float64)
    gy, gx = np.gradient(g)
    mag = np.hypot(gx, gy)
    t = np.linspace(0.1, 0.9, samples)
    # the segment coordinates put pixel centres on integers
    x = np.clip(np.round(s.x1 + t * (s.x2 - s.x1)).astype(int), 0, g.shape[1] - 1)
    y = np.clip(np.round(s.y1 + t * (s.y2 - s.y1)).astype(int), 0, g.shape[0] - 1)
    # strongest response within one pixel across the line (edges fall between pixel centres)
    best = np.zeros(samples)
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            yy = np.clip(y + dy, 0, g.shape[0] - 1)
            xx = np.clip(x + dx, 0, g.shape[1] - 1)
            best = np.maximum(best, mag[yy, xx])
    return best.mean()


@pytest.mark.parametrize("name", PHOTOS)
@pytest.mark.parametrize("scale", [0.8, 1.0, 0.5])
def test_invariants_on_photographs(name, scale):
    gray = load_gray(name)
    h, w = gray.shape
    segs = trevalin.detect(gray, scale)
    assert len(segs) > 20
    lengths = [s.length for s in segs]
    assert lengths == sorted(lengths, reverse=True)
    for s in segs:
        assert s.log_nfa > 0
        assert 0 < s.precision <= 0.125
        assert s.width >= 0.5 * (1.0 if scale >= 1 else 1.0 / scale) - 1e-12
        # end points lie on the centre line of a rectangle fitted to pixels of the image
        margin = 1.0 if scale >= 1 else 1.0 / scale
        for x in (s.x1, s.x2):
            assert -margin <= x <= w + margin
        for y in (s.y1, s.y2):
            assert -margin <= y <= h + margin


@pytest.mark.parametrize("name", ["rocket.jpg", "camera.png", "text.png"])
def test_segments_lie_on_real_edges(name):
    gray = load_gray(name)
    segs = trevalin.detect(gray)
    strong = [gradient_along(gray, s) > 8 for s in segs]
    assert np.mean(strong) > 0.9


@pytest.mark.parametrize("name", ["camera.png", "rocket.jpg"])
def test_sample_types_and_layouts_give_the_same_segments(name):
    g8 = load_gray(name)
    ref = digest(trevalin.detect(g8))
    assert ref
    variants = [
        g8.astype(np.float64),
        g8.astype(np.float32),
        g8.astype(np.uint16) * 257,
        np.asfortranarray(g8),
        np.ascontiguousarray(g8[::-1])[::-1],  # negative strides
    ]
    for v in variants:
        assert digest(trevalin.detect(v)) == ref
    stepped = np.repeat(g8, 2, axis=0)[::2]  # every second row of a taller array
    assert not stepped.flags.c_contiguous
    assert digest(trevalin.detect(stepped)) == ref


def test_scale_argument_forms(camera):
    ref = digest(trevalin.detect(camera))
    assert digest(trevalin.detect(camera, 0.8)) == ref
    assert digest(trevalin.detect(gray=camera, scale=0.8)) == ref
    assert digest(trevalin.detect(camera, np.float64(0.8))) == ref
    full = digest(trevalin.detect(camera, scale=1))
    assert digest(trevalin.detect(camera, 1.5)) == full
    assert digest(trevalin.detect(camera, float("inf"))) == full
    assert digest(trevalin.detect(camera, float("nan"))) == full
    assert full != ref


@pytest.mark.parametrize(
    "gray, scale",
    [
        (np.zeros((0, 0), np.uint8), 0.8),
        (np.zeros((0, 7), np.uint8), 0.8),
        (np.zeros((2, 100), np.uint8), 1.0),
        (np.zeros((100, 2), np.float32), 1.0),
        (np.full((50, 60), 7, np.uint8), 1.0),  # constant: no gradient, no seed
        (np.arange(9, dtype=np.uint8).reshape(3, 3) * 30, 0.8),  # 3 * 0.8 < 3
        (np.tile(np.arange(64, dtype=np.uint8) * 4, (64, 1)), -1.0),
        (np.tile(np.arange(64, dtype=np.uint8) * 4, (64, 1)), 0.0),
        (np.tile(np.arange(64, dtype=np.uint8) * 4, (64, 1)), 1e-300),
        (np.tile(np.arange(64, dtype=np.uint8) * 4, (64, 1)), 0.01),
    ],
)
def test_nothing_to_find(gray, scale):
    assert trevalin.detect(gray, scale) == []


def test_square_gives_its_four_sides():
    img = np.full((120, 160), 30, np.uint8)
    img[30:90, 50:110] = 220
    segs = trevalin.detect(img, 1.0)
    assert len(segs) >= 4
    # the edges lie between pixel rows/columns 29|30, 89|90 and columns 49|50, 109|110
    sides = {"top": 29.5, "bottom": 89.5, "left": 49.5, "right": 109.5}
    found = set()
    for s in segs[:4]:
        assert s.length > 50
        if abs(s.angle) < 1:
            y = (s.y1 + s.y2) / 2
            found |= {k for k in ("top", "bottom") if abs(y - sides[k]) < 0.75}
        elif abs(abs(s.angle) - 90) < 1:
            x = (s.x1 + s.x2) / 2
            found |= {k for k in ("left", "right") if abs(x - sides[k]) < 0.75}
    assert found == set(sides)


def test_vertical_and_horizontal_edges_have_the_documented_angles():
    img = np.zeros((60, 60), np.uint8)
    img[:, 30:] = 200
    (v,) = [s for s in trevalin.detect(img, 1.0) if s.length > 40]
    assert v.angle == pytest.approx(90, abs=1e-6) and v.angle <= 90
    (hz,) = [s for s in trevalin.detect(np.ascontiguousarray(img.T), 1.0) if s.length > 40]
    assert hz.angle == pytest.approx(0, abs=1e-6)


@pytest.mark.parametrize(
    "make",
    [
        lambda g: np.where(g > 128, np.nan, g),
        lambda g: np.where(g > 200, np.inf, g),
        lambda g: np.where(g > 200, -np.inf, g),
        lambda g: (g > 128) * 1e300,
        lambda g: (g > 128) * 3e38,
        lambda g: np.full(g.shape, np.nan),
    ],
)
def test_extreme_float_values_end_with_a_list(make):
    g = load_gray("camera.png")[:200, :200].astype(np.float64)
    img = make(g)
    for dtype in (np.float64, np.float32):
        with np.errstate(over="ignore"):
            arr = img.astype(dtype)
        out = trevalin.detect(arr, 1.0)
        assert isinstance(out, list)
        assert all(s.log_nfa > 0 for s in out)


def test_too_many_pixels_is_a_clear_error():
    huge = np.zeros((1 << 16, 1 << 16), np.uint8)  # 4 GiB of untouched virtual memory
    with pytest.raises(ValueError, match="2\\*\\*32"):
        trevalin.detect(huge, 1.0)


def test_results_do_not_depend_on_the_thread_count():
    # Photographs, and images where neighbouring seeds' regions meet all the time: dense lines, crossings,
    # a checkerboard, a grid under noise, and rings, whose curved regions are cut back by refinement so
    # that seeds grown ahead meet pixels the loop has freed again; and gratings, on which refinement uses up
    # its budget, so that seeds grown ahead must have been allowed what the loop allows them.
    code = """
import sys; sys.path.insert(0, %r)
import hashlib, numpy as np, trevalin
from conftest import load_gray
y, x = np.mgrid[0:300, 0:400].astype(float)
u, v = 0.8 * x + 0.6 * y, -0.6 * x + 0.8 * y
noise = np.random.default_rng(1).normal(0, 6, x.shape)
images = [load_gray("rocket.jpg"), load_gray("brick.png"),
          np.where(u %% 5 < 2, 200.0, 40.0) + noise,
          np.where((u %% 7 < 2) != (v %% 9 < 3), 210.0, 30.0) + noise,
          np.where((x // 16 + y // 16) %% 2 == 1, 220.0, 20.0) + noise,
          128 + 2 * noise + np.where((x %% 23 < 2) | (y %% 19 < 2), 60.0, 0.0),
          np.round(127.5 + 127.5 * np.sin(np.hypot(x - 200, y - 150) / 3)),
          # fine gratings, whose refinement runs out of its budget: the seeds after it are given up alike
          np.round(127.5 + 127.5 * np.sin(2 * np.pi * (x * 0.87 + y * 0.5) / 2.6)),
          np.round(127.5 + 127.5 * np.sign(np.sin(2 * np.pi * (x * 0.26 + y * 0.97) / 2.4)))]
h = hashlib.sha256()
for img in images:
    for scale in (0.8, 1.0):
        for s in trevalin.detect(img, scale):
            h.update(repr((s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa)).encode())
print(h.hexdigest())
""" % (str(__import__("pathlib").Path(__file__).parent),)
    digests = {run_python(code, env={"RAYON_NUM_THREADS": n}).strip() for n in ("1", "2", "3", "8")}
    assert len(digests) == 1


def edge_image(n, angle, offset=0.0, contrast=30.0, noise=4.0, seed=0):
    """A straight edge through the centre (moved by `offset` along its normal), anti-aliased by 4 x 4
    supersampling; pixel centres on integers. Returns the image and the signed distance to the edge."""
    t = np.deg2rad(angle)
    nx, ny = -np.sin(t), np.cos(t)
    ys, xs = np.mgrid[0:n, 0:n].astype(float)
    sub = (np.arange(4) - 1.5) / 4
    cover = sum(((xs + a - n / 2) * nx + (ys + b - n / 2) * ny > offset) for a in sub for b in sub) / 16
    img = 100 + contrast * cover + np.random.default_rng(seed).normal(0, noise, (n, n))
    return img, lambda x, y: (x - n / 2) * nx + (y - n / 2) * ny - offset


@pytest.mark.parametrize("scale", [0.8, 0.6])
def test_a_straight_edge_at_any_angle_is_one_segment(scale):
    for angle in (10, 20, 30, 60, 75):
        img, distance = edge_image(320, angle, seed=angle)
        on_edge = [s for s in trevalin.detect(img, scale)
                   if abs(distance(s.x1, s.y1)) < 2 and abs(distance(s.x2, s.y2)) < 2]
        assert len(on_edge) == 1, angle
        assert on_edge[0].length > 300


@pytest.mark.parametrize("scale", [0.8, 0.6])
def test_downscaling_does_not_shift_edges(scale):
    # The edge swept over 5 pixels: every phase against the downscaled grid.
    shifts = []
    for k in range(40):
        img, distance = edge_image(160, 90, offset=k / 8, contrast=60, noise=0)
        (s,) = [s for s in trevalin.detect(img, scale) if s.length > 100]
        shifts.append(distance((s.x1 + s.x2) / 2, (s.y1 + s.y2) / 2))
    # No shift on average; each phase within about a tenth of a pixel (0.037 on average, 0.11 at most).
    assert abs(np.mean(shifts)) < 0.01
    assert np.mean(np.abs(shifts)) < 0.05
    assert np.max(np.abs(shifts)) < 0.15


# Segments at scales 1/2 and 1/4, where each output pixel sits on an input pixel, as first released.
UNCHANGED_DIGESTS = {
    ("camera.png", 0.5): "ad97c3abce714c1a", ("camera.png", 0.25): "2cd9b406beefbd28",
    ("rocket.jpg", 0.5): "e89c6e806ba73701", ("rocket.jpg", 0.25): "572ddeb8d0a3fd55",
}


@pytest.mark.parametrize("name, scale", sorted(UNCHANGED_DIGESTS))
def test_scales_of_one_over_a_whole_number_keep_their_segments(name, scale):
    import hashlib

    segs = np.array(digest(trevalin.detect(load_gray(name), scale)), dtype="<f8")
    assert hashlib.sha256(segs.tobytes()).hexdigest()[:16] == UNCHANGED_DIGESTS[name, scale]
