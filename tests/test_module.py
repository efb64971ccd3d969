import ctypes
import ctypes.util
import inspect
import math
import sys

import numpy as np
import pytest

import trevalin

from conftest import run_python


def test_names_in_registration_order():
    assert trevalin.__all__ == ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]
    assert trevalin.__doc__ == ""
    for name in trevalin.__all__[1:]:
        assert getattr(trevalin, name).__module__ == "trevalin"


@pytest.mark.parametrize(
    "name, signature, first_line",
    [
        ("detect", "(gray, scale=Ellipsis)", "Find the validated line segments of a grayscale image."),
        (
            "warp_rgb",
            "(src, inverse, scale, off_x, off_y, filter='bilinear', out_size=None)",
            "Perspective-warp an RGB image through an inverse homography.",
        ),
        ("remap_rgb", "(src, map_x, map_y, filter='bilinear')", "Resample an RGB image through a coordinate map: output pixel (x, y)"),
        ("remap_gray", "(src, map_x, map_y, filter='bilinear')", "Resample a single-channel image (a mask) through a coordinate map."),
    ],
)
def test_signatures_and_docstrings(name, signature, first_line):
    fn = getattr(trevalin, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__.splitlines()[0] == first_line


def test_import_does_not_load_numpy():
    out = run_python("import sys, trevalin; print('numpy' in sys.modules)")
    assert out.strip() == "False"


def some_segment():
    img = np.zeros((40, 40), np.uint8)
    img[:, 20:] = 200
    segs = trevalin.detect(img, 1.0)
    assert segs
    return segs[0]


def test_segment_class_is_closed():
    S = trevalin.Segment
    assert S.__module__ == "trevalin" and S.__name__ == "Segment"
    assert S.__doc__ == "One detected line segment, in input-image coordinates."
    with pytest.raises(TypeError):
        S()
    with pytest.raises(TypeError):
        type("Sub", (S,), {})
    s = some_segment()
    assert not hasattr(s, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(s)
    for attr in ["x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "angle", "length", "other"]:
        with pytest.raises(AttributeError):
            setattr(s, attr, 1.0)
    with pytest.raises(AttributeError):
        del s.x1
    assert s == s and s != some_segment()  # identity equality
    assert str(s) == repr(s)


def test_segment_properties_docs():
    S = trevalin.Segment
    assert S.angle.__doc__ == "Direction in degrees, -90 to 90, 0 = horizontal."
    assert S.length.__doc__ == "Length in pixels."
    assert S.x1.__doc__ is None


# The C library's hypot: Python's math.hypot may differ from it in the last bit.
libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.hypot.restype = ctypes.c_double
libm.hypot.argtypes = [ctypes.c_double, ctypes.c_double]


def reference_angle(x1, y1, x2, y2):
    d = math.atan2(y2 - y1, x2 - x1) * 57.29577951308232
    if d > 90:
        d -= 180
    if d <= -90:
        d += 180
    return d


def reference_repr_number(v):
    from decimal import ROUND_HALF_EVEN, Decimal

    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    text = str(Decimal(v).quantize(Decimal("0.1"), rounding=ROUND_HALF_EVEN))
    if math.copysign(1.0, v) < 0 and not text.startswith("-"):
        text = "-" + text
    return text


def test_segment_values_angle_length_repr_on_a_photo(camera):
    segs = trevalin.detect(camera)
    assert len(segs) > 50
    for s in segs:
        assert s.angle == reference_angle(s.x1, s.y1, s.x2, s.y2)
        assert -90 < s.angle <= 90
        assert s.length == libm.hypot(s.x2 - s.x1, s.y2 - s.y1)
        expected = "Segment(({}, {})-({}, {}), width={})".format(
            *(reference_repr_number(v) for v in (s.x1, s.y1, s.x2, s.y2, s.width))
        )
        assert repr(s) == expected
        assert all(isinstance(getattr(s, f), float) for f in ["x1", "y1", "x2", "y2", "width", "precision", "log_nfa"])


FIELDS = ["x1", "y1", "x2", "y2", "width", "precision", "log_nfa"]


def field_bits(s):
    import struct

    return struct.pack("<7d", *(getattr(s, f) for f in FIELDS))


@pytest.mark.parametrize("how", [f"pickle{p}" for p in range(__import__("pickle").HIGHEST_PROTOCOL + 1)]
                         + ["copy", "deepcopy"])
def test_segment_survives_pickle_and_copy_bit_for_bit(how):
    import copy
    import pickle
    import struct

    # detected segments, and one whose fields no float text could carry (NaN payload, -0.0)
    odd = trevalin.Segment._unpickle(struct.pack("<7Q", 0x7FF8_0000_DEAD_BEEF, 0x8000_0000_0000_0000, 1, 2, 3, 4, 5))
    for s in trevalin.detect(np.kron(np.eye(4, dtype=np.uint8) * 200, np.ones((16, 16), np.uint8)))[:3] + [odd]:
        if how == "copy":
            t = copy.copy(s)
        elif how == "deepcopy":
            t = copy.deepcopy([s])[0]
        else:
            t = pickle.loads(pickle.dumps(s, int(how[6:])))
        assert type(t) is trevalin.Segment and field_bits(t) == field_bits(s) and repr(t) == repr(s)
    assert [n for n in dir(trevalin) if not n.startswith("__")] == sorted(trevalin.__all__)
    with pytest.raises(ValueError):
        trevalin.Segment._unpickle(b"short")
