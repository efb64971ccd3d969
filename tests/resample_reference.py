"""A plain NumPy model of the resampling arithmetic (double precision, the same operations in the
same order per pixel), used to check the native code bit for bit."""
import math

import numpy as np


def _lanczos(d):
    if d == 0:
        return 1.0
    if abs(d) >= 3:
        return 0.0
    a = d * 3.141592653589793
    b = a / 3
    return (math.sin(a) / a) * (math.sin(b) / b)


def lanczos3_table():
    table = np.zeros((1025, 6))
    for i in range(1025):
        t = i * 0.0009765625
        raw = [_lanczos(t - k) for k in (-2, -1, 0, 1, 2, 3)]
        s = 0.0
        for r in raw:
            s += r
        table[i] = [r / s for r in raw]
    return table


_TABLE = None


def _table():
    global _TABLE
    if _TABLE is None:
        _TABLE = lanczos3_table()
    return _TABLE


def _store(s, dtype):
    top = 255.0 if dtype == np.uint8 else 65535.0
    v = s + 0.5
    v = np.where(v < 0, 0.0, v)
    v = np.where(v > top, top, v)
    return np.trunc(v).astype(dtype)


def _round_half_away(v):
    r = np.trunc(v)
    return (r + (v - r >= 0.5)).astype(np.int64)


def sample(src, xs, ys, filt):
    """Samples src ((h, w) or (h, w, C)) at positions xs, ys (float64 arrays of one shape)."""
    img = src if src.ndim == 3 else src[:, :, None]
    h, w, c = img.shape
    xs = np.asarray(xs, np.float64)
    ys = np.asarray(ys, np.float64)
    out = np.zeros(xs.shape + (c,), src.dtype)
    with np.errstate(invalid="ignore"):
        inside = (xs >= -0.5) & (xs <= w - 0.5) & (ys >= -0.5) & (ys <= h - 0.5)
    if w == 0 or h == 0:
        inside[...] = False
    x, y = xs[inside], ys[inside]
    fx, fy = np.floor(x), np.floor(y)
    pix = img.astype(np.float64)
    if filt == "bilinear":
        tx, ty = x - fx, y - fy
        x0 = np.clip(fx, 0, w - 1).astype(np.int64)
        x1 = np.clip(fx + 1, 0, w - 1).astype(np.int64)
        y0 = np.clip(fy, 0, h - 1).astype(np.int64)
        y1 = np.clip(fy + 1, 0, h - 1).astype(np.int64)
        w00 = (1 - tx) * (1 - ty)
        w10 = tx * (1 - ty)
        w01 = (1 - tx) * ty
        w11 = tx * ty
        s = ((pix[y0, x0] * w00[:, None] + pix[y0, x1] * w10[:, None]) + pix[y1, x0] * w01[:, None]) + pix[
            y1, x1
        ] * w11[:, None]
    else:
        table = _table()
        wx = table[_round_half_away(1024 * (x - fx))]
        wy = table[_round_half_away(1024 * (y - fy))]
        s = np.zeros((x.size, c))
        for j in range(6):
            rows = np.clip(fy + j - 2, 0, h - 1).astype(np.int64)
            for i in range(6):
                cols = np.clip(fx + i - 2, 0, w - 1).astype(np.int64)
                s = s + pix[rows, cols] * (wx[:, i] * wy[:, j])[:, None]
    out[inside] = _store(s, src.dtype)
    return out if src.ndim == 3 else out[..., 0]


def warp_positions(inverse, scale, off_x, off_y, out_w, out_h):
    """Source positions of every output pixel; NaN where W is zero (skipped)."""
    h0, h1, h2, h3, h4, h5, h6, h7, h8 = [float(v) for v in inverse]
    x = np.arange(out_w, dtype=np.float64)[None, :]
    y = np.arange(out_h, dtype=np.float64)[:, None]
    with np.errstate(all="ignore"):
        v = y / scale + off_y
        cx, cy, cw = h1 * v + h2, h4 * v + h5, h7 * v + h8
        u = x / scale + off_x
        wgt = h6 * u + cw
        X = (h0 * u + cx) / wgt
        Y = (h3 * u + cy) / wgt
    skip = wgt == 0
    X = np.where(skip, np.nan, X)
    Y = np.where(skip, np.nan, Y)
    return np.broadcast_to(X, (out_h, out_w)), np.broadcast_to(Y, (out_h, out_w))
