"""Shared pieces of the benchmark scripts: real-photo test images, timing, subprocess per thread count."""
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

IMAGES = pathlib.Path(__file__).resolve().parent.parent / "data" / "images"
PHOTOS = ["rocket.jpg", "camera.png", "coffee.png", "chelsea.png", "text.png", "brick.png"]


def _load(name, mode):
    from PIL import Image

    with Image.open(IMAGES / name) as im:
        return np.asarray(im.convert(mode))


def mosaic(width, height, mode="L"):
    """A width x height image tiled from the bundled photographs at their own resolution
    (every other tile mirrored, so that no two neighbours repeat)."""
    tiles = [_load(n, mode) for n in PHOTOS]
    shape = (height, width) if mode == "L" else (height, width, 3)
    out = np.zeros(shape, np.uint8)
    y, row = 0, 0
    while y < height:
        x, k = 0, row
        th = min(t.shape[0] for t in tiles)
        while x < width:
            t = tiles[k % len(tiles)][:th]
            if (k + row) % 2:
                t = t[:, ::-1]
            w = min(t.shape[1], width - x)
            h = min(th, height - y)
            out[y : y + h, x : x + w] = t[:h, :w]
            x += w
            k += 1
        y += th
        row += 1
    return out


def best_ms(fn, min_time=0.6, max_runs=50, min_runs=3):
    """The fastest of several runs, in milliseconds (after one warm-up call)."""
    fn()
    times = []
    start = time.perf_counter()
    while len(times) < min_runs or (time.perf_counter() - start < min_time and len(times) < max_runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times) * 1000


def run_per_thread_count(script, thread_counts, extra_args=()):
    """Runs `script --worker N` in a fresh process for each thread count (the pool size is
    decided once per process) and returns their stdout lines."""
    lines = []
    for n in thread_counts:
        env = dict(os.environ, RAYON_NUM_THREADS=str(n), OMP_NUM_THREADS=str(n))
        r = subprocess.run([sys.executable, script, "--worker", str(n), *extra_args], env=env,
                           capture_output=True, text=True)
        if r.returncode != 0:
            sys.stderr.write(r.stderr)
            raise SystemExit(r.returncode)
        lines += r.stdout.splitlines()
    return lines


def machine():
    import platform

    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {len(os.sched_getaffinity(0))} CPUs available, Python {platform.python_version()}"
