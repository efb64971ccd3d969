"""Speed of trevalin's resampling against OpenCV, SciPy and scikit-image.

    python benchmarks/bench_resample.py           # full table (about 2-3 minutes)
    python benchmarks/bench_resample.py --quick   # uint8 only, no SciPy / scikit-image
    python benchmarks/bench_resample.py --opencv  # both dtypes, OpenCV only

A module built with `pip install -Ccmake.define.TREVALIN_MAX_ISA=avx2 .` (or scalar) runs the narrower
kernels on any CPU; the table's header names the path that ran. OpenCV is then held to the same width
(OPENCV_CPU_DISABLE): AVX-512 off for the AVX2 path, AVX and wider off for the scalar path, as on a CPU
without them.

1920x1080 RGB mosaics of the bundled photographs, uint8 and uint16; a realistic homography (a
page seen at an angle) and a realistic dense map (radial lens undistortion). Each thread count
runs in its own process, OpenCV with the same count. Ratios below 1 mean trevalin is faster.
"""
import argparse
import json

import numpy as np

from common import best_ms, cap_opencv, kernel_path, machine, mosaic, run_per_thread_count

W, H = 1920, 1080


def homography():
    """Inverse homography of a mild perspective view (output pixel -> source position)."""
    src = np.array([[0, 0], [W, 0], [W, H], [0, H]], float)
    dst = np.array([[80, 40], [W - 30, 100], [W - 120, H - 20], [20, H - 90]], float)
    a = []
    for (x, y), (u, v) in zip(dst, src):
        a.append([x, y, 1, 0, 0, 0, -u * x, -u * y])
        a.append([0, 0, 0, x, y, 1, -v * x, -v * y])
    h = np.linalg.solve(np.array(a), src.ravel())
    return np.append(h, 1.0).reshape(3, 3)  # maps output (x, y) to source (u, v)


def undistort_maps(w=W, h=H):
    """Maps of a radial lens model: output pixel (x, y) reads the distorted source position."""
    f = 0.9 * w
    cx, cy = (w - 1) / 2, (h - 1) / 2
    x, y = np.meshgrid(np.arange(w, dtype=np.float64), np.arange(h, dtype=np.float64))
    xn, yn = (x - cx) / f, (y - cy) / f
    r2 = xn * xn + yn * yn
    k = 1 + -0.25 * r2 + 0.08 * r2 * r2
    return (xn * k * f + cx).astype(np.float32), (yn * k * f + cy).astype(np.float32)


def worker(threads, quick, opencv_only):
    cap_opencv(kernel_path()[0])
    import cv2

    import trevalin

    cv2.setNumThreads(threads)
    inv = homography()
    mx, my = undistort_maps()
    rows = []

    def add(op, dtype, peer, ours_ms, peer_ms):
        rows.append(dict(op=op, dtype=dtype, threads=threads, peer=peer, ours=ours_ms, theirs=peer_ms))

    for dtype in (["uint8"] if quick else ["uint8", "uint16"]):
        img = mosaic(W, H, "RGB")
        if dtype == "uint16":
            img = img.astype(np.uint16) * 257
        flat = inv.ravel().tolist()
        for filt, interp, cvname in (("bilinear", cv2.INTER_LINEAR, "cv2 LINEAR"),
                                     ("lanczos3", cv2.INTER_LANCZOS4, "cv2 LANCZOS4")):
            ours = best_ms(lambda: trevalin.warp_rgb(img, flat, 1.0, 0.0, 0.0, filt))
            theirs = best_ms(lambda: cv2.warpPerspective(img, inv, (W, H), flags=interp | cv2.WARP_INVERSE_MAP,
                                                         borderMode=cv2.BORDER_CONSTANT, borderValue=0))
            add(f"warp {filt}", dtype, cvname, ours, theirs)
            ours = best_ms(lambda: trevalin.remap_rgb(img, mx, my, filt))
            theirs = best_ms(lambda: cv2.remap(img, mx, my, interp, borderMode=cv2.BORDER_CONSTANT, borderValue=0))
            add(f"remap {filt}", dtype, cvname, ours, theirs)
        if not (quick or opencv_only) and dtype == "uint8":
            from scipy import ndimage
            from skimage import transform

            ours = best_ms(lambda: trevalin.remap_rgb(img, mx, my, "bilinear"))
            coords = np.array([my, mx])
            theirs = best_ms(lambda: [ndimage.map_coordinates(img[:, :, c], coords, order=1, cval=0)
                                      for c in range(3)], min_runs=1, max_runs=3)
            add("remap bilinear", dtype, "scipy map_coordinates", ours, theirs)
            tform = transform.ProjectiveTransform(matrix=inv)
            ours = best_ms(lambda: trevalin.warp_rgb(img, flat, 1.0, 0.0, 0.0, "bilinear"))
            theirs = best_ms(lambda: transform.warp(img, tform, order=1, preserve_range=True), min_runs=1, max_runs=3)
            add("warp bilinear", dtype, "skimage warp", ours, theirs)
    tiny = np.arange(48, dtype=np.uint8).reshape(4, 4, 3)
    tx, ty = np.meshgrid(np.arange(4, dtype=np.float32) + 0.3, np.arange(4, dtype=np.float32) + 0.2)
    ours = best_ms(lambda: trevalin.remap_rgb(tiny, tx, ty), min_time=0.2, max_runs=20000)
    theirs = best_ms(lambda: cv2.remap(tiny, tx, ty, cv2.INTER_LINEAR), min_time=0.2, max_runs=20000)
    add("remap 4x4 (per call)", "uint8", "cv2 LINEAR", ours, theirs)
    for r in rows:
        print(json.dumps(r))
    if threads == 1:
        print(json.dumps(dict(cv2_features=cv2.getCPUFeaturesLine())))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--worker", type=int)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--opencv", action="store_true")
    args = p.parse_args()
    if args.worker:
        worker(args.worker, args.quick, args.opencv)
        return
    flags = ["--quick"] * args.quick + ["--opencv"] * args.opencv
    rows = [json.loads(l) for l in run_per_thread_count(__file__, [1, 2], flags)]
    features = [r.pop("cv2_features") for r in rows if "cv2_features" in r]
    rows = [r for r in rows if r]
    print(f"resampling {W}x{H} RGB; {machine()}")
    print(f"trevalin runs its {kernel_path()[1]}; OpenCV's CPU features (? = switched off to match): {features[0]}")
    print(f"{'operation':<22} {'dtype':<6} {'thr':>3} {'trevalin ms':>11} {'peer':<22} {'peer ms':>9} {'ratio':>6}")
    for r in rows:
        digits = 4 if r["theirs"] < 0.1 else 2
        print(f"{r['op']:<22} {r['dtype']:<6} {r['threads']:>3} {r['ours']:>11.{digits}f} {r['peer']:<22} "
              f"{r['theirs']:>9.{digits}f} {r['ours'] / r['theirs']:>6.2f}")
    print("speed-up of 2 threads over 1 (trevalin):")
    one = {(r["op"], r["dtype"], r["peer"]): r["ours"] for r in rows if r["threads"] == 1}
    for r in rows:
        if r["threads"] == 2 and "4x4" not in r["op"] and r["peer"].startswith("cv2"):
            print(f"  {r['op']:<22} {r['dtype']:<6} {one[(r['op'], r['dtype'], r['peer'])] / r['ours']:.2f}x")


if __name__ == "__main__":
    main()
