#!/usr/bin/env python3
"""Coverage-guided fuzzing of trevalin's four functions.

Each input is decoded into one call: a function, and for each of its
parameters a random value (arrays of any dtype, shape, layout, byte order and
alignment with arbitrary sample bits; numbers of every kind including NaN,
infinities and huge integers; sequences, sizes and filter names, well formed
or hostile). A call must either return a well-formed result or raise one of
the exceptions the module documents for bad arguments; anything else, a
crash or a hang (libFuzzer's -timeout) is a finding.

    python fuzz/fuzz_trevalin.py CORPUS_DIR fuzz/corpus -max_total_time=60

Work per call is kept small: every image and map holds at most a few
thousand pixels, and an output size is either small or so large that it can
never be allocated.
"""
import os
import sys

import atheris
import numpy as np

import trevalin

# Exceptions that bad arguments may legitimately raise.
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError)


class HostileError(RuntimeError):
    """Raised by the harness's own hostile objects; allowed to pass through."""


class FloatRaises:
    def __float__(self):
        raise HostileError("__float__")


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __index__(self):
        raise HostileError("__index__")


class Sequence:
    """A sequence whose __len__ may lie and whose items may raise."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at or not 0 <= i < len(self.items):
            raise HostileError("__getitem__")
        return self.items[i]


class TupleSubclass(tuple):
    pass


class StrSubclass(str):
    pass


DTYPES = [
    np.uint8, np.uint16, np.float32, np.float64,
    np.dtype(">u2"), np.dtype(">f4"), np.dtype(">f8"),
    np.int8, np.int16, np.int32, np.int64, np.uint32, np.bool_, np.float16, np.complex64, object,
]
LAYOUTS = ["c", "f", "transposed", "stepped", "reversed", "broadcast", "misaligned", "readonly", "subclass"]


def consume_scalar(fdp):
    kind = fdp.ConsumeIntInRange(0, 14)
    if kind == 0:
        return fdp.ConsumeFloat()
    if kind == 1:
        return fdp.ConsumeRegularFloat()
    if kind == 2:
        return fdp.PickValueInList([0.0, -0.0, 1e-300, -1.0, 1.0, 0.5, float("nan"), float("inf"), -float("inf"),
                                    5e-324, 1.7976931348623157e308, 1e-5, 0.25, 2.0])
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 20))
    if kind == 4:
        return np.float32(fdp.ConsumeFloat())
    if kind == 5:
        return FloatRaises()
    if kind == 6:
        return FloatReturnsText()
    if kind == 7:
        return Index(fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 20)))
    if kind == 8:
        return fdp.ConsumeUnicode(4)
    if kind == 9:
        return None
    if kind == 10:
        return [fdp.ConsumeFloat()]
    if kind == 11:
        return complex(fdp.ConsumeFloat(), 1.0)
    if kind == 12:
        return True
    if kind == 13:
        return np.array([fdp.ConsumeFloat()])
    return fdp.ConsumeFloatInRange(-4.0, 4.0)


def consume_dims(fdp, ndim):
    dims = []
    for _ in range(ndim):
        if fdp.ConsumeIntInRange(0, 7) == 0:
            dims.append(0)
        else:
            dims.append(fdp.ConsumeIntInRange(1, 48))
    # Keep the work of one call small.
    while int(np.prod(dims, dtype=np.int64)) > 4096:
        i = dims.index(max(dims))
        dims[i] //= 2
    return tuple(dims)


def fill(fdp, shape, dtype):
    dtype = np.dtype(dtype)
    n = int(np.prod(shape, dtype=np.int64))
    if dtype == object:
        arr = np.empty(shape, dtype=object)
        arr.reshape(-1)[:] = [1.0] * n
        return arr
    raw = fdp.ConsumeBytes(n * dtype.itemsize)
    raw = raw + bytes(n * dtype.itemsize - len(raw))
    return np.frombuffer(raw, dtype=dtype).reshape(shape).copy()


def consume_array(fdp, ndim=None, dtype=None, channels=None):
    if ndim is None:
        ndim = fdp.PickValueInList([0, 1, 2, 2, 2, 3, 3, 3, 4])
    if dtype is None:
        dtype = fdp.PickValueInList(DTYPES)
    shape = list(consume_dims(fdp, ndim))
    if channels is not None and ndim == 3 and fdp.ConsumeIntInRange(0, 5) != 0:
        shape[2] = channels
    shape = tuple(shape)
    layout = fdp.PickValueInList(LAYOUTS)
    if layout == "f":
        return np.asfortranarray(fill(fdp, shape, dtype))
    if layout == "transposed":
        return fill(fdp, shape[::-1], dtype).T
    if layout == "stepped" and ndim > 0:
        big = fill(fdp, (shape[0] * 2,) + shape[1:], dtype)
        return big[::2]
    if layout == "reversed" and ndim > 0:
        return fill(fdp, shape, dtype)[::-1]
    if layout == "broadcast" and ndim > 0:
        small = fill(fdp, (1,) + shape[1:], dtype)
        return np.broadcast_to(small, shape)
    if layout == "misaligned" and np.dtype(dtype) != object:
        dt = np.dtype(dtype)
        n = int(np.prod(shape, dtype=np.int64))
        raw = bytearray(1 + n * dt.itemsize)
        body = fdp.ConsumeBytes(n * dt.itemsize)
        raw[1:1 + len(body)] = body
        return np.frombuffer(raw, dtype=dt, count=n, offset=1).reshape(shape)
    arr = fill(fdp, shape, dtype)
    if layout == "readonly":
        arr.flags.writeable = False
    if layout == "subclass":
        arr = np.ma.masked_array(arr)
    return arr


def consume_image_argument(fdp, ndim, channels):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return fdp.PickValueInList([None, 3, "image", [[1, 2], [3, 4]], b"\x00" * 9])
    if kind <= 6:
        return consume_array(fdp, ndim, fdp.PickValueInList([np.uint8, np.uint16, np.float32, np.float64]), channels)
    return consume_array(fdp, channels=channels)


def consume_map(fdp, shape=None):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return consume_array(fdp)
    if kind == 1:
        return fdp.PickValueInList([None, 1.0, [[0.0]]])
    if shape is None:
        return consume_array(fdp, 2, np.float32)
    if kind == 2:
        return np.full(shape, fdp.ConsumeFloat(), np.float32)
    arr = fill(fdp, shape, np.float32)
    if kind == 3:
        # Mostly positions inside a small source.
        arr = np.nan_to_num(arr, nan=1.0, posinf=9.0, neginf=-1.0) % 12.0 - 1.0
    return arr


def consume_filter(fdp):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind <= 2:
        return "bilinear"
    if kind <= 4:
        return "lanczos3"
    if kind == 5:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    if kind == 6:
        return StrSubclass(fdp.PickValueInList(["bilinear", "lanczos3", "nearest"]))
    return fdp.PickValueInList([None, b"bilinear", 1, "bilinear\x00", "\ud800"])


def consume_inverse(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 3:
        return [consume_scalar(fdp) if fdp.ConsumeIntInRange(0, 3) == 0 else fdp.ConsumeFloat() for _ in range(9)]
    if kind == 4:
        return tuple(fdp.ConsumeRegularFloat() for _ in range(9))
    if kind == 5:
        return np.array([fdp.ConsumeFloat() for _ in range(9)],
                        dtype=fdp.PickValueInList([np.float32, np.float64, np.int64, object]))
    if kind == 6:
        n = fdp.ConsumeIntInRange(0, 12)
        return [1.0] * n
    if kind == 7:
        length = fdp.PickValueInList([9, 9, 8, 10, -1, 2 ** 70, HostileError("__len__")])
        items = [fdp.ConsumeFloat() for _ in range(fdp.ConsumeIntInRange(0, 9))]
        return Sequence(items, length, fdp.ConsumeIntInRange(-1, 9))
    if kind == 8:
        return np.eye(3)
    return fdp.PickValueInList([None, 1.0, "123456789", b"\x01\x00\x00\x00\x01\x00\x00\x00\x01", {}, range(9)])


def consume_size(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind <= 2:
        return fdp.ConsumeIntInRange(0, 64)
    if kind == 3:
        return fdp.PickValueInList([2 ** 40, 2 ** 62, 2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64, -1, -(2 ** 70)])
    if kind == 4:
        return fdp.PickValueInList([Index(5), Index(2 ** 80), IndexRaises(), 3.0, "4", None, np.int64(7)])
    return fdp.ConsumeInt(9)


def consume_out_size(fdp):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind <= 1:
        return None
    if kind <= 4:
        size = (consume_size(fdp), consume_size(fdp))
        return TupleSubclass(size) if kind == 4 else size
    if kind == 5:
        return [consume_size(fdp), consume_size(fdp)]
    return tuple(consume_size(fdp) for _ in range(fdp.PickValueInList([0, 1, 3])))


def bounded_out_size(out_size):
    """Refuses output sizes whose work is real but large (the harness would be slow, not the module wrong)."""
    if not (isinstance(out_size, tuple) and len(out_size) == 2):
        return True
    try:
        w, h = (int(v.__index__()) if hasattr(v, "__index__") else None for v in out_size)
    except Exception:
        return True
    if w is None or h is None or w < 0 or h < 0:
        return True
    n = w * h * 3 * 2
    return n <= 1 << 22 or n >= 1 << 37


def check_array(out, dtype, shape):
    assert isinstance(out, np.ndarray) and type(out) is np.ndarray, type(out)
    assert out.dtype == dtype, (out.dtype, dtype)
    assert out.shape == shape, (out.shape, shape)
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata is False or out.size == 0


def call_detect(fdp):
    gray = consume_image_argument(fdp, 2, None)
    args = [gray]
    if fdp.ConsumeBool():
        args.append(consume_scalar(fdp))
    out = trevalin.detect(*args)
    assert type(out) is list
    for s in out:
        assert type(s) is trevalin.Segment
        assert all(type(getattr(s, f)) is float for f in ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa"))
        repr(s), s.angle, s.length


def call_warp(fdp):
    src = consume_image_argument(fdp, 3, 3)
    inverse = consume_inverse(fdp)
    scale, off_x, off_y = (consume_scalar(fdp) if fdp.ConsumeIntInRange(0, 4) == 0 else fdp.ConsumeFloat()
                           for _ in range(3))
    kwargs = {}
    if fdp.ConsumeBool():
        kwargs["filter"] = consume_filter(fdp)
    if fdp.ConsumeBool():
        kwargs["out_size"] = consume_out_size(fdp)
        if not bounded_out_size(kwargs["out_size"]):
            return
    out = trevalin.warp_rgb(src, inverse, scale, off_x, off_y, **kwargs)
    out_size = kwargs.get("out_size")
    if out_size is None:
        shape = src.shape
    else:
        shape = (int(out_size[1].__index__()), int(out_size[0].__index__()), 3)
    check_array(out, src.dtype, shape)


def call_remap(fdp, channels):
    src = consume_image_argument(fdp, 3 if channels == 3 else 2, 3)
    map_x = consume_map(fdp)
    same = fdp.ConsumeIntInRange(0, 5) != 0 and isinstance(map_x, np.ndarray) and map_x.ndim == 2
    map_y = consume_map(fdp, map_x.shape if same else None)
    args = [src, map_x, map_y]
    if fdp.ConsumeBool():
        args.append(consume_filter(fdp))
    fn = trevalin.remap_rgb if channels == 3 else trevalin.remap_gray
    out = fn(*args)
    check_array(out, src.dtype, map_x.shape + ((3,) if channels == 3 else ()))


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    which = fdp.ConsumeIntInRange(0, 3)
    try:
        if which == 0:
            call_detect(fdp)
        elif which == 1:
            call_warp(fdp)
        else:
            call_remap(fdp, 3 if which == 2 else 1)
    except DOCUMENTED + (HostileError,):
        pass


def main():
    atheris.instrument_func(call_detect)
    atheris.instrument_func(call_warp)
    atheris.instrument_func(call_remap)
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
