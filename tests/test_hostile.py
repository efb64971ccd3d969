"""Hostile sizes, numbers and objects: a result or a clear Python exception, never a crash or a hang."""
import os
import time

import numpy as np
import pytest

import trevalin

from conftest import Boom, Float, Index, Seq, run_python

SANITIZED = bool(os.environ.get("TREVALIN_SANITIZED"))
EYE = [1, 0, 0, 0, 1, 0, 0, 0, 1]
NAN, INF = float("nan"), float("inf")


def blocks(height, width, block=8, seed=0):
    rng = np.random.default_rng(seed)
    cells = rng.integers(0, 256, (height // block, width // block), dtype=np.uint8)
    return np.kron(cells, np.ones((block, block), np.uint8))


GRAY = blocks(96, 128)
RGB = np.dstack([GRAY, GRAY // 2, 255 - GRAY])


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


# --- sizes -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "out_size, error",
    [
        ((2**63 - 1, 2**63 - 1), MemoryError),
        ((2**62, 4), MemoryError),
        ((2**32, 2**32), MemoryError),
        ((2**40, 1), MemoryError),  # a real request for 3 TiB
        ((1, 2**40), MemoryError),
        ((2**64 - 1, 1), MemoryError),
        ((0, 2**64 - 1), MemoryError),
        ((2**64, 1), OverflowError),
        ((0, 2**63 - 1), MemoryError),  # empty, but NumPy bounds the non-zero dimensions too
    ],
)
@pytest.mark.parametrize("filter", ["bilinear", "lanczos3"])
def test_enormous_out_size(out_size, error, filter):
    with pytest.raises(error):
        trevalin.warp_rgb(RGB, EYE, 1, 0, 0, filter, out_size)
    assert trevalin.warp_rgb(RGB, EYE, 1, 0, 0, filter).shape == RGB.shape


@pytest.mark.parametrize("out_size", [(0, 2**62), (2**62, 0), (0, 0)])
def test_empty_out_size_with_a_huge_side_is_instant(out_size):
    t0 = time.monotonic()
    try:
        out = trevalin.warp_rgb(RGB, EYE, 1, 0, 0, "lanczos3", out_size)
        assert out.size == 0
    except MemoryError:
        pass  # a side NumPy cannot hold, even with nothing in it
    assert time.monotonic() - t0 < 1.0


@pytest.mark.parametrize("function", ["remap_rgb", "remap_gray"])
@pytest.mark.parametrize("side", [2**17, 2**20])
def test_maps_larger_than_memory(function, side):
    # Broadcast maps cost nothing to make; read row-major they would need
    # 64 GiB or 4 TiB, far beyond this machine.
    m = np.broadcast_to(np.float32(1), (side, side))
    src = RGB if function == "remap_rgb" else GRAY
    with pytest.raises(MemoryError):
        getattr(trevalin, function)(src, m, m)


@pytest.mark.parametrize("shape, scale, outcome", [
    ((1, 2**32), 0.8, []), ((2**32, 1), 1.0, []), ((2, 2**31), 0.8, []), ((2**16, 2), 1.0, []),
    ((2**16, 2**16), 1.0, ValueError), ((2**20, 2**20), 0.8, ValueError),
])
def test_detect_decides_from_the_shape_before_reading(shape, scale, outcome):
    # A view of one byte standing for gigabytes: what its shape decides is answered at once, copying nothing.
    view = np.broadcast_to(np.uint8(7), shape)
    t0 = time.monotonic()
    if outcome is ValueError:
        with pytest.raises(ValueError, match="2\\*\\*32"):
            trevalin.detect(view, scale)
    else:
        assert trevalin.detect(view, scale) == outcome
    assert time.monotonic() - t0 < 0.5


def test_image_larger_than_memory():
    # Few enough pixels after downscaling, but a row-major copy of a TiB: the message says what failed.
    with pytest.raises(MemoryError, match="could not allocate a working buffer of 1099511627776 bytes"):
        trevalin.detect(np.broadcast_to(np.uint8(7), (2**20, 2**20)), 0.06)
    with pytest.raises(MemoryError):
        trevalin.warp_rgb(np.broadcast_to(np.uint8(7), (2**19, 2**19, 3)), EYE, 1, 0, 0)


# --- numbers -----------------------------------------------------------------------

SCALES = [0.0, -0.0, 1e-300, 5e-324, -1.0, NAN, INF, -INF, 1e300, 0.004, 0.9999999]


@pytest.mark.parametrize("scale", SCALES)
def test_detect_with_degenerate_scale(scale):
    t0 = time.monotonic()
    segments = trevalin.detect(GRAY, scale)
    assert time.monotonic() - t0 < 10
    if not scale < 1.0:
        # No downscaling: the full-size result.
        assert [repr(s) for s in segments] == [repr(s) for s in trevalin.detect(GRAY, 1.0)]
    elif not scale * 96 >= 3:
        assert segments == []  # shrinks below 3 x 3
    for s in segments:
        assert np.isfinite([s.x1, s.y1, s.x2, s.y2, s.width]).all()


@pytest.mark.parametrize(
    "image",
    [
        np.full((40, 50), NAN),
        np.full((40, 50), INF),
        np.where(np.indices((40, 50)).sum(0) % 2 == 0, 1e308, -1e308),
        np.where(np.arange(40 * 50).reshape(40, 50) % 7 == 0, NAN, GRAY[:40, :50].astype(np.float64)),
        np.full((40, 50), 5e-324),
        np.where(GRAY[:40, :50] > 128, np.float32(3e38), np.float32(-3e38)),
    ],
    ids=["nan", "inf", "huge checker", "nan holes", "subnormal", "float32 extremes"],
)
@pytest.mark.parametrize("scale", [1.0, 0.8, 0.5])
def test_detect_with_non_finite_samples(image, scale):
    segments = trevalin.detect(image, scale)
    assert isinstance(segments, list)
    # Whatever the samples, a segment is kept only on a score above 0, and the list runs longest first.
    assert all(s.log_nfa > 0 for s in segments)
    lengths = [s.length for s in segments if not np.isnan(s.length)]
    assert lengths == sorted(lengths, reverse=True)


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("filter", ["bilinear", "lanczos3"])
def test_warp_with_degenerate_scale(scale, filter):
    out = trevalin.warp_rgb(RGB, EYE, scale, 0.5, -0.5, filter, (60, 40))
    assert out.shape == (40, 60, 3) and out.dtype == np.uint8


@pytest.mark.parametrize(
    "inverse",
    [
        [NAN] * 9,
        [INF] * 9,
        [1, 0, INF, 0, 1, 0, 0, 0, 1],
        [1, 0, 0, 0, 1, 0, 0, 0, NAN],
        [1e308, 0, 0, 0, 1e308, 0, 0, 0, 1e-308],
        [0.0] * 9,
        [1, 0, 0, 0, 1, 0, 0, 0, -0.0],
        [-INF, INF, 0, INF, -INF, 0, 1, 1, 1],
        [1, 0, 0, 0, 1, 0, 1e-300, 1e-300, 1e-300],
    ],
)
@pytest.mark.parametrize("offsets", [(0, 0), (1e308, -1e308), (NAN, 0), (INF, -INF)])
@pytest.mark.parametrize("filter", ["bilinear", "lanczos3"])
def test_warp_with_non_finite_matrix(inverse, offsets, filter):
    out = trevalin.warp_rgb(RGB, inverse, 1.0, *offsets, filter)
    assert out.shape == RGB.shape


@pytest.mark.parametrize(
    "value", [NAN, INF, -INF, 1e30, -1e30, 3e9, -3e9, 2.1e9, 65535.6, -0.5000001, 5e-45, np.float32(3.4e38)]
)
@pytest.mark.parametrize("filter", ["bilinear", "lanczos3"])
def test_remap_with_extreme_positions(value, filter):
    mx = np.full((7, 9), value, np.float32)
    mx[::2] = np.arange(9, dtype=np.float32)  # mixed with positions inside
    my = np.full((7, 9), 3.0, np.float32)
    for fn, src in ((trevalin.remap_rgb, RGB), (trevalin.remap_gray, GRAY)):
        out = fn(src, mx, my, filter)
        out_t = fn(src, my, mx, filter)
        assert out.shape[:2] == out_t.shape[:2] == (7, 9)
        if not np.isfinite(value) or abs(value) > 1e6:
            assert not out[1::2].any() and not out_t[1::2].any()


# --- objects -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "inverse, error",
    [
        (Seq(EYE, raise_at=4), Boom),
        (Seq(EYE, raise_at=0), Boom),
        (Seq(EYE[:5], length=9), IndexError),  # __len__ claims more than there is
        (Seq(EYE * 2, length=9), None),  # ... or less: the first nine are used
        (Seq(EYE, length=8), ValueError),
        (Seq(EYE, length=-1), ValueError),
        (Seq(EYE, length=2**70), OverflowError),
        (Seq(EYE, length=Boom("len")), Boom),
        (Seq(EYE[:8] + [Float(Boom("float"))]), Boom),
        (Seq(EYE[:8] + [Float("1")]), TypeError),
        (Seq(EYE[:8] + [Index(2**2000)]), OverflowError),
        (Seq(EYE[:8] + [Index(Boom("index"))]), Boom),
        ([1, 0, 0, 0, 1, 0, 0, 0, 10**400], OverflowError),
    ],
)
def test_hostile_inverse(inverse, error):
    if error is None:
        assert trevalin.warp_rgb(RGB, inverse, 1, 0, 0).shape == RGB.shape
        return
    with pytest.raises(error) as e:
        trevalin.warp_rgb(RGB, inverse, 1, 0, 0)
    assert "while processing 'inverse'" in notes(e)


@pytest.mark.parametrize(
    "value, error",
    [
        (Float(Boom("float")), Boom),
        (Float(None), TypeError),
        (Float(NAN), None),
        (Index(2**2000), OverflowError),
        (Index(-(2**2000)), OverflowError),
        (Index(Boom("index")), Boom),
        (Index(2**53 + 1), None),
        (10**400, OverflowError),
    ],
)
@pytest.mark.parametrize("parameter", ["detect.scale", "warp_rgb.scale", "warp_rgb.off_x", "warp_rgb.off_y"])
def test_hostile_numbers(value, error, parameter):
    function, name = parameter.split(".")
    if function == "detect":
        call = lambda: trevalin.detect(GRAY, **{name: value})  # noqa: E731
    else:
        args = dict(src=RGB, inverse=EYE, scale=1, off_x=0, off_y=0, out_size=(16, 8))
        args[name] = value
        call = lambda: trevalin.warp_rgb(**args)  # noqa: E731
    if error is None:
        call()
        return
    with pytest.raises(error) as e:
        call()
    assert f"while processing '{name}'" in notes(e)


@pytest.mark.parametrize(
    "out_size, error",
    [
        ((Index(2**80), 1), OverflowError),
        ((Index(-1), 1), OverflowError),
        ((1, Index(Boom("index"))), Boom),
        ((Index(2**63), Index(2)), MemoryError),
        ((Index(2**64 - 1), Index(2**64 - 1)), MemoryError),
        ((Index(16), Index(8)), None),
        ((np.uint64(2**64 - 1), np.int8(2)), MemoryError),
    ],
)
def test_hostile_out_size(out_size, error):
    if error is None:
        assert trevalin.warp_rgb(RGB, EYE, 1, 0, 0, "bilinear", out_size).shape == (8, 16, 3)
        return
    with pytest.raises(error) as e:
        trevalin.warp_rgb(RGB, EYE, 1, 0, 0, "bilinear", out_size)
    if error is not MemoryError:
        assert "while processing 'out_size'" in notes(e)


@pytest.mark.parametrize("text, error", [("\ud800", UnicodeEncodeError), ("bilinear\x00", ValueError),
                                         ("x" * 100_000, ValueError), ("\u0301\U0010ffff", ValueError)])
def test_hostile_filter_names(text, error):
    with pytest.raises(error):
        trevalin.warp_rgb(RGB, EYE, 1, 0, 0, text)
    with pytest.raises(error):
        trevalin.remap_gray(GRAY, np.zeros((2, 2), np.float32), np.zeros((2, 2), np.float32), text)


# --- arrays whose memory is unusual ------------------------------------------------------


def misaligned(a):
    """A copy of `a` whose data starts one byte past an aligned address."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    view = raw[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    assert view.ctypes.data % a.dtype.alignment != 0
    return view


@pytest.mark.parametrize("dtype", [np.uint16, np.float32, np.float64])
def test_detect_reads_misaligned_arrays(dtype):
    image = GRAY.astype(dtype)
    assert [repr(s) for s in trevalin.detect(misaligned(image))] == [repr(s) for s in trevalin.detect(image)]


def test_resamplers_read_misaligned_arrays():
    src16 = RGB.astype(np.uint16) * 257
    mx = np.tile(np.linspace(-1, 128, 50, dtype=np.float32), (30, 1))
    my = np.tile(np.linspace(-1, 96, 30, dtype=np.float32)[:, None], (1, 50))
    for filter in ("bilinear", "lanczos3"):
        np.testing.assert_array_equal(trevalin.remap_rgb(misaligned(src16), misaligned(mx), misaligned(my), filter),
                                      trevalin.remap_rgb(src16, mx, my, filter))
        np.testing.assert_array_equal(trevalin.remap_gray(misaligned(src16[:, :, 0]), mx, misaligned(my), filter),
                                      trevalin.remap_gray(src16[:, :, 0], mx, my, filter))
        np.testing.assert_array_equal(trevalin.warp_rgb(misaligned(src16), EYE, 1, 0.5, 0.5, filter),
                                      trevalin.warp_rgb(src16, EYE, 1, 0.5, 0.5, filter))


# --- memory exhaustion ---------------------------------------------------------------

LIMITED = """
import resource, numpy as np, trevalin

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))

rng = np.random.default_rng(0)
big = np.kron(rng.integers(0, 256, (300, 400), dtype=np.uint8), np.ones((10, 10), np.uint8))
rgb = np.dstack([big] * 3)
mx = np.broadcast_to(np.float32(5), (15000, 15000))
small = big[:200, :300].copy()
calls = {
    "detect": lambda: trevalin.detect(big, 1.0),
    "detect scaled": lambda: trevalin.detect(big, 0.8),
    "warp": lambda: trevalin.warp_rgb(rgb, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, "lanczos3", (15000, 15000)),
    "remap": lambda: trevalin.remap_gray(small, mx, mx),
}
small_calls = [lambda: [repr(s) for s in trevalin.detect(small)],
               lambda: trevalin.warp_rgb(rgb[:50, :60], [1, 0.1, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0).tobytes(),
               lambda: trevalin.remap_gray(small, mx[:40, :50], mx[:40, :50], "lanczos3").tobytes()]
results = [[c() for c in small_calls]] if START_POOL else []
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
failures = 0
for extra_mb in (24, 96, 320):
    for name, call in calls.items():
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + extra_mb * 2**20, hard))
        try:
            call()
        except MemoryError:
            failures += 1
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        results.append([c() for c in small_calls])
assert all(r == results[0] for r in results)
assert results[0][0], "the small image has segments"
print(failures)
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space")
@pytest.mark.parametrize("pool_started", [True, False], ids=["pool started", "pool not started"])
def test_memory_exhaustion_raises_memory_error_and_the_module_keeps_working(pool_started):
    code = f"START_POOL = {pool_started}\n" + LIMITED
    failures = int(run_python(code, env={"RAYON_NUM_THREADS": "3"}, timeout=600).strip())
    assert failures >= 4  # every call fails under the smallest limit
