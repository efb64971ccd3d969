"""The README's claims about results, measured: where edges are found, and what the bits depend on.

    python benchmarks/claims.py

1. Edge position. A vertical step edge between columns 79 and 80 of a 160 x 160 image (exact: 60 on the left, 120
   on the right) is found at x = 79.5 at scale 1; at scales below 1 the working grid is resampled, so the found
   position moves a little with the edge's sub-pixel phase. The edge is swept over 5 pixels in steps of 1/8 (each
   pixel taking the exact share of it that it covers) and the signed and absolute errors of the found centre line
   printed.
2. Value ranges. The same photograph as 16-bit samples at full scale, as 12-bit samples in uint16, and as floats
   in [0, 1].
3. The C library. detect's arithmetic is the module's own except for atan2, hypot, cos, sin, exp and log, which come
   from the C library; glibc picks versions of them per CPU (with or without FMA). The same detections are run with
   glibc told to ignore the CPU's AVX/FMA and compared field by field.
"""
import hashlib
import os
import subprocess
import sys

import numpy as np

import trevalin

HERE = os.path.dirname(os.path.abspath(__file__))


def step(n, offset):
    """A vertical edge at x = n/2 - 0.5 + offset (pixel centres on integers): each pixel takes the exact share
    of its width that lies right of the edge."""
    x = np.arange(n, dtype=float)
    cover = np.clip(x + 0.5 - (n / 2 - 0.5 + offset), 0.0, 1.0)
    return np.tile(60 + 60 * cover, (n, 1))


def edge_errors(scale, n=160, steps=40):
    errors = []
    for k in range(steps):
        offset = k / 8
        (s,) = [s for s in trevalin.detect(step(n, offset), scale) if s.length > n / 2]
        errors.append((s.x1 + s.x2) / 2 - (n / 2 - 0.5 + offset))
    return np.array(errors)


DIGESTS = r"""
import hashlib, sys
sys.path.insert(0, %r)
import numpy as np, trevalin
from PIL import Image
sys.path.insert(0, %r)
from conftest import load_gray, IMAGES
out = []
for name in sorted(p.name for p in IMAGES.glob("*.*") if p.suffix in (".png", ".jpg")):
    for scale in (0.5, 0.8, 1.0):
        segs = trevalin.detect(load_gray(name), scale)
        out.append((name, scale, [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in segs]))
print(repr(out))
"""


def c_library_dependence():
    code = DIGESTS % (HERE, os.path.join(HERE, "..", "tests"))
    runs = {}
    for label, tunables in [("as the CPU allows", None),
                            ("glibc without AVX/FMA", "glibc.cpu.hwcaps=-AVX2,-FMA,-AVX,-FMA4,-AVX512F")]:
        env = dict(os.environ)
        if tunables:
            env["GLIBC_TUNABLES"] = tunables
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
        runs[label] = eval(r.stdout)
    a, b = runs.values()
    differing = [(x[0], x[1]) for x, y in zip(a, b) if x != y]
    fields, ulps, counts = set(), 0, 0
    for x, y in zip(a, b):
        counts += len(x[2]) != len(y[2])
        for s, t in zip(x[2], y[2]):
            for i in range(7):
                if s[i] != t[i] and not (np.isnan(s[i]) and np.isnan(t[i])):
                    fields.add(i)
                    ulps = max(ulps, abs(int(np.float64(s[i]).view(np.int64)) - int(np.float64(t[i]).view(np.int64))))
    names = ["x1", "y1", "x2", "y2", "width", "precision", "log_nfa"]
    print(f"detections differing between the two C-library builds: {len(differing)} of {len(a)} "
          f"{differing}; fields that differ: {sorted(names[i] for i in fields)}, by at most {ulps} units in the "
          f"last place; detections with another number of segments: {counts}")


def value_range():
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    from conftest import load_gray

    gray = load_gray("camera.png")
    full = len(trevalin.detect(gray.astype(np.uint16) * 257))
    twelve = len(trevalin.detect((gray.astype(np.uint16) * 4095 // 255)))
    unit = len(trevalin.detect(gray / 255.0))
    print(f"value range, camera.png: uint16 at full scale {full} segments, as 12-bit samples {twelve}, "
          f"as floats in [0, 1] {unit}")


def main():
    value_range()
    for scale in (1.0, 0.8, 0.6, 0.5):
        e = edge_errors(scale)
        print(f"edge position, scale {scale}: signed mean {e.mean():+.4f} px, mean |error| {np.abs(e).mean():.3f}, "
              f"max |error| {np.abs(e).max():.3f}")
    c_library_dependence()


if __name__ == "__main__":
    main()
