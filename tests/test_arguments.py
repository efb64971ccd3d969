"""Argument binding, conversions, array acceptance and result arrays, shared by all functions."""
import sys

import numpy as np
import pytest

import trevalin

from conftest import Boom, Float, Index

EYE = [1, 0, 0, 0, 1, 0, 0, 0, 1]
RGB = np.arange(4 * 5 * 3, dtype=np.uint8).reshape(4, 5, 3)
GRAY = np.arange(4 * 5, dtype=np.uint8).reshape(4, 5)
MX = np.zeros((2, 3), np.float32)


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


# --- binding ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, words",
    [
        (lambda: trevalin.detect(), ["detect()", "gray"]),
        (lambda: trevalin.detect(GRAY, 0.8, 1), ["detect()", "2", "3"]),
        (lambda: trevalin.detect(GRAY, sigma=1), ["sigma"]),
        (lambda: trevalin.detect(GRAY, gray=GRAY), ["gray"]),
        (lambda: trevalin.warp_rgb(RGB, EYE, 1, 0), ["warp_rgb()", "off_y"]),
        (lambda: trevalin.remap_rgb(RGB, MX), ["remap_rgb()", "map_y"]),
        (lambda: trevalin.remap_gray(GRAY, MX, MX, "bilinear", None), ["remap_gray()"]),
    ],
)
def test_binding_errors(call, words):
    with pytest.raises(TypeError) as e:
        call()
    for w in words:
        assert w in str(e.value)


def test_every_parameter_by_keyword():
    out = trevalin.warp_rgb(
        src=RGB, inverse=EYE, scale=1.0, off_x=0.0, off_y=0.0, filter="lanczos3", out_size=(5, 4)
    )
    assert out.shape == (4, 5, 3)
    mx = np.tile(np.arange(5, dtype=np.float32), (4, 1))
    my = np.tile(np.arange(4, dtype=np.float32)[:, None], (1, 5))
    assert trevalin.remap_gray(src=GRAY, map_x=mx, map_y=my, filter="bilinear").shape == (4, 5)


# --- conversions -------------------------------------------------------------------


@pytest.mark.parametrize("value", [1, 1.0, np.float32(1), Float(1.0), Index(1), True])
def test_float_conversion_accepts_numbers(value):
    assert trevalin.warp_rgb(RGB, EYE, value, 0, 0).shape == RGB.shape


@pytest.mark.parametrize(
    "kwargs, exc, name",
    [
        (dict(scale="x"), TypeError, "scale"),
        (dict(scale=None), TypeError, "scale"),
        (dict(off_x=Float(Boom("off_x"))), Boom, "off_x"),
        (dict(off_y=[1]), TypeError, "off_y"),
        (dict(inverse=5), TypeError, "inverse"),
        (dict(inverse=EYE[:8]), ValueError, "inverse"),
        (dict(inverse=EYE[:8] + ["a"]), TypeError, "inverse"),
        (dict(filter=None), TypeError, "filter"),
        (dict(filter=b"bilinear"), TypeError, "filter"),
        (dict(out_size=[4, 5]), TypeError, "out_size"),
        (dict(out_size=(4, 5, 3)), ValueError, "out_size"),
        (dict(out_size=(-1, 10)), OverflowError, "out_size"),
        (dict(out_size=(1.5, 10)), TypeError, "out_size"),
        (dict(out_size=(2**64, 10)), OverflowError, "out_size"),
    ],
)
def test_conversion_failures_carry_the_parameter_note(kwargs, exc, name):
    args = dict(src=RGB, inverse=EYE, scale=1, off_x=0, off_y=0)
    args.update(kwargs)
    with pytest.raises(exc) as e:
        trevalin.warp_rgb(**args)
    if sys.version_info >= (3, 11):
        assert notes(e) == [f"while processing '{name}'"]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(inverse=5), "'int' object is not an instance of 'Sequence'"),
        (dict(inverse=np.eye(3)), "expected a sequence of length 9 (got 3)"),
        (dict(filter=None), "'None' is not an instance of 'str'"),
        (dict(filter=3), "'int' object is not an instance of 'str'"),
        (dict(out_size=[4, 5]), "'list' object is not an instance of 'tuple'"),
        (dict(out_size=(4, 5, 3)), "expected tuple of length 2, but got tuple of length 3"),
    ],
)
def test_conversion_messages(kwargs, message):
    args = dict(src=RGB, inverse=EYE, scale=1, off_x=0, off_y=0)
    args.update(kwargs)
    with pytest.raises((TypeError, ValueError)) as e:
        trevalin.warp_rgb(**args)
    assert str(e.value) == message


def test_conversion_order_reports_the_first_failure():
    # scale is converted before gray is looked at
    with pytest.raises(TypeError) as e:
        trevalin.detect(None, "x")
    assert "detect expects" not in str(e.value)
    # out_size is converted before the filter name is parsed, the filter before src
    with pytest.raises(TypeError) as e:
        trevalin.warp_rgb(None, EYE, 1, 0, 0, "nope", [1, 2])
    assert "tuple" in str(e.value)
    with pytest.raises(ValueError, match="unknown filter"):
        trevalin.warp_rgb(None, EYE, 1, 0, 0, "Lanczos3")
    with pytest.raises(ValueError, match="unknown filter"):
        trevalin.remap_rgb(None, MX, MX, "x")
    # maps before the filter, the source before the map shapes
    with pytest.raises(TypeError) as e:
        trevalin.remap_rgb(None, MX.astype(np.float64), MX, "x")
    assert "ndarray" in str(e.value)
    with pytest.raises(TypeError, match="remap_rgb expects"):
        trevalin.remap_rgb(GRAY, MX, MX.T)


def test_inverse_accepts_flat_sequences_of_numbers():
    ref = trevalin.warp_rgb(RGB, EYE, 1, 0, 0)
    for inv in [tuple(EYE), np.eye(3, dtype=np.float32).ravel(), [float(v) for v in EYE]]:
        assert np.array_equal(trevalin.warp_rgb(RGB, inv, 1, 0, 0), ref)


@pytest.mark.parametrize(
    "text, shown",
    [
        ("Bilinear", '"Bilinear"'),
        ("bilinear ", '"bilinear "'),
        ("", '""'),
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("\t\r\n\0", '"\\t\\r\\n\\0"'),
        ("\x07\x7f", '"\\u{7}\\u{7f}"'),
        ("e\u0301", '"e\\u{301}"'),
        ("'é✓", "\"'é✓\""),
        ("\u200b", '"\\u{200b}"'),
    ],
)
def test_unknown_filter_message(text, shown):
    with pytest.raises(ValueError) as e:
        trevalin.remap_gray(GRAY, MX, MX, text)
    assert str(e.value) == f'unknown filter {shown}, expected "bilinear" or "lanczos3"'


# --- arrays ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "bad",
    [
        np.zeros((3, 3), np.int32),
        np.zeros((3, 3), bool),
        np.zeros((3, 3), ">f8"),
        np.zeros((3, 3), ">u2"),
        np.zeros((3, 3, 1), np.uint8),
        np.zeros(3, np.uint8),
        [[1, 2, 3]] * 3,
        None,
    ],
)
def test_detect_refuses(bad):
    with pytest.raises(TypeError) as e:
        trevalin.detect(bad)
    assert str(e.value) == "detect expects a (height, width) array of uint8, uint16, float32 or float64"


@pytest.mark.parametrize(
    "fn, bad, message",
    [
        ("warp_rgb", np.zeros((4, 5, 4), np.uint8), "warp_rgb expects a (height, width, 3) array of uint8 or uint16"),
        ("warp_rgb", GRAY, "warp_rgb expects a (height, width, 3) array of uint8 or uint16"),
        ("warp_rgb", RGB.astype(np.float32), "warp_rgb expects a (height, width, 3) array of uint8 or uint16"),
        ("warp_rgb", RGB.tolist(), "warp_rgb expects a (height, width, 3) array of uint8 or uint16"),
        ("remap_rgb", GRAY, "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps"),
        ("remap_rgb", RGB.astype(np.int16), "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps"),
        ("remap_gray", RGB, "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps"),
        ("remap_gray", GRAY[:, :, None], "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps"),
        ("remap_gray", GRAY.astype(bool), "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps"),
    ],
)
def test_resamplers_refuse(fn, bad, message):
    args = (bad, EYE, 1, 0, 0) if fn == "warp_rgb" else (bad, MX, MX)
    with pytest.raises(TypeError) as e:
        getattr(trevalin, fn)(*args)
    assert str(e.value) == message


@pytest.mark.parametrize("which", [1, 2])
@pytest.mark.parametrize("bad", [MX.astype(np.float64), MX[:, :, None], MX.astype(">f4"), [[0.0]], None])
def test_maps_refused_with_note(which, bad):
    args = [GRAY, MX, MX]
    args[which] = bad
    with pytest.raises(TypeError) as e:
        trevalin.remap_gray(*args)
    name = ["src", "map_x", "map_y"][which]
    if bad is None:
        assert str(e.value) == "'None' is not an instance of 'ndarray'"
    else:
        assert str(e.value).endswith("object is not an instance of 'ndarray'")
    if sys.version_info >= (3, 11):
        # The parameter first, then what it should have been and what it was.
        got = f"{bad.dtype} {bad.shape}" if isinstance(bad, np.ndarray) else type(bad).__name__
        assert notes(e) == [f"while processing '{name}'",
                            f"expected a float32 array of shape (height, width) in native byte order, got {got}"]


def test_maps_of_different_shapes():
    with pytest.raises(ValueError) as e:
        trevalin.remap_gray(GRAY, np.zeros((4, 5), np.float32), np.zeros((5, 4), np.float32))
    assert str(e.value) == "map_x and map_y must have the same shape"


def test_read_only_and_subclassed_arrays_are_read_through_their_data():
    ro = RGB.copy()
    ro.flags.writeable = False
    assert np.array_equal(trevalin.warp_rgb(ro, EYE, 1, 0, 0), RGB)
    masked = np.ma.masked_array(RGB, mask=RGB > 100)
    assert np.array_equal(trevalin.warp_rgb(masked, EYE, 1, 0, 0), RGB)


def test_results_are_fresh_owned_arrays():
    out = trevalin.warp_rgb(RGB, EYE, 1, 0, 0)
    assert out.flags.c_contiguous and out.flags.writeable
    assert not np.shares_memory(out, RGB)
    out[:] = 0  # writing the result never touches the input
    assert RGB.sum() > 0
    assert out.dtype == np.uint8


# --- failures that must not kill the interpreter ------------------------------------


@pytest.mark.parametrize("size", [(2**40, 2**40), (2**63, 2), (2**64 - 1, 1), (2**31, 2**31)])
def test_impossible_output_sizes_raise_memory_error(size):
    with pytest.raises(MemoryError):
        trevalin.warp_rgb(RGB, EYE, 1, 0, 0, "bilinear", size)


def test_empty_outputs():
    assert trevalin.warp_rgb(RGB, EYE, 1, 0, 0, out_size=(10, 0)).shape == (0, 10, 3)
    assert trevalin.warp_rgb(RGB, EYE, 1, 0, 0, out_size=(0, 10)).shape == (10, 0, 3)
    assert trevalin.remap_rgb(RGB, np.zeros((0, 7), np.float32), np.zeros((0, 7), np.float32)).shape == (0, 7, 3)
    assert trevalin.remap_gray(GRAY, np.zeros((7, 0), np.float32), np.zeros((7, 0), np.float32)).shape == (7, 0)


_BASE = np.random.default_rng(0).integers(0, 255, (30, 35, 3), dtype=np.uint8)


@pytest.mark.parametrize(
    "view",
    [
        _BASE[::2],
        _BASE[:, ::3],
        _BASE[::-1, ::-1],
        _BASE[:, :, ::-1],
        np.asfortranarray(_BASE),
        _BASE.transpose(1, 0, 2),
        _BASE[5:6],
        _BASE[:, 4:5],
        np.broadcast_to(_BASE[:1], _BASE.shape),
    ],
    ids=["rows", "columns", "reversed", "channels", "fortran", "transposed", "one-row", "one-column", "broadcast"],
)
def test_every_layout_reads_as_its_contiguous_copy(view):
    mx, my = np.meshgrid(np.arange(view.shape[1], dtype=np.float32), np.arange(view.shape[0], dtype=np.float32))
    assert np.array_equal(trevalin.remap_rgb(view, mx, my), np.ascontiguousarray(view))
    gray = view[:, :, 1]
    assert np.array_equal(trevalin.remap_gray(gray, mx, my), np.ascontiguousarray(gray))
