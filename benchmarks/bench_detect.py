"""Speed and memory of trevalin.detect against OpenCV's FastLineDetector, EdgeDrawing lines and Canny + HoughLinesP.

    python benchmarks/bench_detect.py            # full table (about a minute and a half)
    python benchmarks/bench_detect.py --quick    # the two smaller sizes only

Images are mosaics of crops of the bundled real photographs (the same mix at every size). Each thread count runs in its own process;
OpenCV gets the same thread count (cv2.setNumThreads). Every call of every size and peer is timed in the same
alternating rounds. Ratios below 1 mean trevalin is faster; "vs best" is against the fastest peer of the row.
"""
import argparse
import json
import sys

import numpy as np

from common import best_ms_interleaved, detect_peak_bytes_per_pixel, machine, mosaic, run_per_thread_count

SIZES = [(640, 480), (1920, 1080), (4000, 3000)]
# Steady state, the same number of runs at every size: the first calls with a new image size also pay for the
# allocator settling (fresh pages, its thresholds), and a minimum over more runs would favour the sizes that
# fit more runs into a time budget. All sizes and peers are timed in the same rounds, so that the ratios between
# sizes (time per pixel) and against the peers compare times taken under the same machine load.
ROUNDS = 7


def rings(width, height):
    """Concentric rings, sin(r / 3): curved edges everywhere, the hardest content for the seed loop."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    r = np.hypot(x - width / 2, y - height / 2)
    return np.round(127.5 + 127.5 * np.sin(r / 3)).astype(np.uint8)


def worker(threads, sizes, with_rings):
    import cv2

    import trevalin

    cv2.setNumThreads(threads)
    fld = cv2.ximgproc.createFastLineDetector()
    ed = cv2.ximgproc.createEdgeDrawing()

    def edge_drawing(img):
        ed.detectEdges(img)
        return ed.detectLines()
    images = {(w, h): mosaic(w, h) for w, h in sizes}
    fns = {}
    if with_rings:
        ring_img = rings(4000, 3000)
        fns["rings", "fld"] = lambda: fld.detect(ring_img)
        fns["rings", 0.8] = lambda: trevalin.detect(ring_img, 0.8)
    for size, img in images.items():
        fns[size, "fld"] = lambda img=img: fld.detect(img)
        fns[size, "ed"] = lambda img=img: edge_drawing(img)
        fns[size, "hough"] = lambda img=img: cv2.HoughLinesP(cv2.Canny(img, 50, 150), 1, np.pi / 180, 50,
                                                             minLineLength=20, maxLineGap=5)
        for scale in (0.8, 1.0):
            fns[size, scale] = lambda img=img, scale=scale: trevalin.detect(img, scale)
    best = best_ms_interleaved(fns, rounds=ROUNDS)
    if with_rings:
        print(json.dumps(dict(rings=True, threads=threads, ms=best["rings", 0.8], fld=best["rings", "fld"],
                              n=len(trevalin.detect(ring_img, 0.8)))))
    for (w, h), img in images.items():
        for scale in (0.8, 1.0):
            n = len(trevalin.detect(img, scale))
            print(json.dumps(dict(w=w, h=h, threads=threads, scale=scale, ms=best[(w, h), scale], n=n,
                                  fld=best[(w, h), "fld"], ed=best[(w, h), "ed"], hough=best[(w, h), "hough"])))


def memory(w, h, scale):
    return detect_peak_bytes_per_pixel(f"from common import mosaic\nimg = mosaic({w}, {h})", scale)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--worker", type=int)
    p.add_argument("--quick", action="store_true")
    args = p.parse_args()
    sizes = SIZES[:2] if args.quick else SIZES
    if args.worker:
        worker(args.worker, sizes, not args.quick)
        return
    rows = [json.loads(l) for l in run_per_thread_count(__file__, [1, 2], ["--quick"] if args.quick else [])]
    ring_rows = [r for r in rows if r.get("rings")]
    rows = [r for r in rows if not r.get("rings")]
    print(f"detect on real-photo mosaics; {machine()}")
    print(f"{'size':>10} {'thr':>3} {'scale':>5} {'segs':>6} {'ms':>8} {'ns/px':>6} {'FLD ms':>8} {'vs FLD':>6} "
          f"{'ED ms':>8} {'vs ED':>6} {'Hough ms':>8} {'vs Hough':>8} {'vs best':>7}")
    for r in rows:
        px = r["w"] * r["h"]
        best = min(r["fld"], r["ed"], r["hough"])
        print(f"{r['w']:>5}x{r['h']:<4} {r['threads']:>3} {r['scale']:>5} {r['n']:>6} {r['ms']:>8.1f} "
              f"{r['ms'] * 1e6 / px:>6.1f} {r['fld']:>8.1f} {r['ms'] / r['fld']:>6.2f} {r['ed']:>8.1f} "
              f"{r['ms'] / r['ed']:>6.2f} {r['hough']:>8.1f} {r['ms'] / r['hough']:>8.2f} {r['ms'] / best:>7.2f}")
    for threads in (1, 2):
        for scale in (0.8, 1.0):
            per_px = [r["ms"] / (r["w"] * r["h"]) for r in rows if r["threads"] == threads and r["scale"] == scale]
            print(f"time per pixel, {threads} thread(s), scale {scale}: largest / smallest = "
                  f"{max(per_px) / min(per_px):.2f}")
    for r1 in rows:
        if r1["threads"] == 1:
            (r2,) = [r for r in rows if r["threads"] == 2 and (r["w"], r["h"], r["scale"]) == (r1["w"], r1["h"], r1["scale"])]
            print(f"two threads over one, {r1['w']}x{r1['h']} scale {r1['scale']}: {r1['ms'] / r2['ms']:.2f}x")
    for r in ring_rows:
        print(f"rings 4000x3000 (sin(r / 3)), {r['threads']} thread(s), scale 0.8: {r['n']} segments, "
              f"{r['ms']:.0f} ms, FastLineDetector {r['fld']:.0f} ms, ratio {r['ms'] / r['fld']:.2f}")
    print("peak additional memory of one call (bytes per input pixel, fresh process):")
    for w, h in sizes:
        for scale in (0.8, 1.0):
            print(f"  {w}x{h} scale {scale}: {memory(w, h, scale):.1f}")


if __name__ == "__main__":
    main()
