"""The worst case of trevalin.detect: periodic texture near the sampling limit, against the photo mosaic.

    python benchmarks/bench_worst_case.py            # 0.3, 2 and 12 megapixels (about five minutes)
    python benchmarks/bench_worst_case.py --quick    # 0.3 and 2 megapixels

First every family of hostile patterns is timed at 0.3 megapixels; the slowest (per pixel, against the mosaic
of the same size) is then timed at every size, with the mosaic and OpenCV's FastLineDetector on the same image
in the same rounds. Each thread count runs in its own process. Ratios are of time per input pixel.
"""
import argparse
import json
import sys

import numpy as np

from common import best_ms_interleaved, detect_peak_bytes_per_pixel, machine, mosaic, run_per_thread_count

SIZES = [(640, 480), (1600, 1200), (4000, 3000)]


def stripes(w, h, period, degrees, square=False):
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    a = np.deg2rad(degrees)
    v = np.sin(2 * np.pi * (x * np.cos(a) + y * np.sin(a)) / period)
    return np.sign(v) if square else v


def to_u8(v):
    return np.round(127.5 + 127.5 * v / np.abs(v).max()).astype(np.uint8)


# name -> function of (width, height) giving a uint8 image.
FAMILIES = {f"grating {p} px at {a} deg": (lambda w, h, p=p, a=a: to_u8(stripes(w, h, p, a)))
            for p in (2.4, 2.6, 2.8, 3.0, 3.3) for a in (15, 30, 60, 75)}
FAMILIES["square wave 2.8 px at 30 deg"] = lambda w, h: to_u8(stripes(w, h, 2.8, 30, square=True))
FAMILIES["moire of 2.7 px at 20 deg and 2.9 px at 70 deg"] = lambda w, h: to_u8(stripes(w, h, 2.7, 20) +
                                                                                 stripes(w, h, 2.9, 70))
FAMILIES["noise"] = lambda w, h: np.random.default_rng(1).integers(0, 256, (h, w), dtype=np.uint8)
FAMILIES["checkerboard of 2 px"] = lambda w, h: to_u8((np.add.outer(np.arange(h) // 2, np.arange(w) // 2) % 2) - 0.5)


def worker(threads, sizes):
    import cv2

    import trevalin

    cv2.setNumThreads(threads)
    fld = cv2.ximgproc.createFastLineDetector()
    w0, h0 = sizes[0]
    small = mosaic(w0, h0)
    for scale in (0.8, 1.0):
        # The family that costs most per pixel at the smallest size, at this scale.
        fns = {"mosaic": lambda: trevalin.detect(small, scale)}
        for name, make in FAMILIES.items():
            fns[name] = lambda img=make(w0, h0): trevalin.detect(img, scale)
        best = best_ms_interleaved(fns, rounds=3, warmups=1)
        worst = max((n for n in FAMILIES), key=lambda n: best[n])
        print(json.dumps(dict(threads=threads, scale=scale, scan=True, worst=worst,
                              ratios={n: best[n] / best["mosaic"] for n in FAMILIES})))
        for w, h in sizes:
            photo, hostile = mosaic(w, h), FAMILIES[worst](w, h)
            best = best_ms_interleaved({"mosaic": lambda: trevalin.detect(photo, scale),
                                        "hostile": lambda: trevalin.detect(hostile, scale),
                                        "fld": lambda: fld.detect(hostile)}, rounds=3, warmups=1)
            print(json.dumps(dict(threads=threads, scale=scale, w=w, h=h, worst=worst, **best)))


def memory(name, w, h, scale, threads):
    setup = f"from bench_worst_case import FAMILIES\nimg = FAMILIES[{name!r}]({w}, {h})"
    return detect_peak_bytes_per_pixel(setup, scale, threads)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--worker", type=int)
    p.add_argument("--quick", action="store_true")
    args = p.parse_args()
    sizes = SIZES[:2] if args.quick else SIZES
    if args.worker:
        worker(args.worker, sizes)
        return
    rows = [json.loads(l) for l in run_per_thread_count(__file__, [1, 2], ["--quick"] if args.quick else [])]
    print(f"detect on the slowest hostile pattern against the photo mosaic; {machine()}")
    for r in rows:
        if r.get("scan"):
            top = sorted(r["ratios"].items(), key=lambda kv: -kv[1])[:3]
            print(f"{r['threads']} thread(s), scale {r['scale']}, {SIZES[0][0]}x{SIZES[0][1]}: slowest families "
                  + ", ".join(f"{n} {v:.1f}x" for n, v in top))
    print(f"{'size':>10} {'thr':>3} {'scale':>5} {'pattern':>28} {'ms':>8} {'mosaic ms':>9} {'vs mosaic':>9} "
          f"{'FLD ms':>8} {'vs FLD':>6}")
    for r in rows:
        if not r.get("scan"):
            print(f"{r['w']:>5}x{r['h']:<4} {r['threads']:>3} {r['scale']:>5} {r['worst']:>28} {r['hostile']:>8.1f} "
                  f"{r['mosaic']:>9.1f} {r['hostile'] / r['mosaic']:>9.2f} {r['fld']:>8.1f} "
                  f"{r['hostile'] / r['fld']:>6.2f}")
    for threads in (1, 2):
        for scale in (0.8, 1.0):
            per_px = [r["hostile"] / (r["w"] * r["h"]) for r in rows
                      if not r.get("scan") and r["threads"] == threads and r["scale"] == scale]
            print(f"hostile time per pixel, {threads} thread(s), scale {scale}: largest / smallest = "
                  f"{max(per_px) / min(per_px):.2f}")
    print("peak additional memory of one call on the slowest pattern (bytes per input pixel, fresh process):")
    w, h = sizes[-1]
    for r in rows:
        if r.get("scan"):
            print(f"  {w}x{h} scale {r['scale']}, {r['threads']} thread(s), {r['worst']}: "
                  f"{memory(r['worst'], w, h, r['scale'], r['threads']):.1f}")


if __name__ == "__main__":
    main()
