"""Shared pieces of the benchmark scripts: real-photo test images, timing, subprocess per thread count."""
import os
import pathlib
import re
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


def mosaic(width, height, mode="L", tile=(224, 160), seed=1):
    """A width x height image tiled from crops of the bundled photographs at their own resolution.
    Every size gets the same mix of content (tiles of one size, photos and crop positions drawn
    with a fixed seed), so time per pixel can be compared across sizes."""
    rng = np.random.default_rng(seed)
    photos = [_load(n, mode) for n in PHOTOS]
    tw, th = tile
    shape = (height, width) if mode == "L" else (height, width, 3)
    out = np.zeros(shape, np.uint8)
    for y in range(0, height, th):
        for x in range(0, width, tw):
            p = photos[rng.integers(len(photos))]
            oy = rng.integers(p.shape[0] - th + 1)
            ox = rng.integers(p.shape[1] - tw + 1)
            crop = p[oy : oy + th, ox : ox + tw]
            if rng.integers(2):
                crop = crop[:, ::-1]
            h, w = min(th, height - y), min(tw, width - x)
            out[y : y + h, x : x + w] = crop[:h, :w]
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


def best_ms_interleaved(fns, rounds=7, warmups=2):
    """The fastest of `rounds` timed runs of each function in the dict `fns`, in milliseconds, by key. Each round
    goes through all the functions in turn, so a spell of load on a shared machine slows them alike instead of
    whichever was being timed; each timed run follows an untimed run of the same function, so it finds caches and
    allocator as back-to-back calls leave them."""
    for fn in fns.values():
        for _ in range(warmups):
            fn()
    best = dict.fromkeys(fns, float("inf"))
    for _ in range(rounds):
        for key, fn in fns.items():
            fn()
            t0 = time.perf_counter()
            fn()
            best[key] = min(best[key], time.perf_counter() - t0)
    return {key: t * 1000 for key, t in best.items()}


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


ISAS = ["scalar", "avx2", "avx512"]


def kernel_path():
    """The instruction set whose kernels the imported trevalin runs, as it decides it: the widest that the CPU
    offers, capped by the build (TREVALIN_MAX_ISA, noted in the binary). Returns (path, description)."""
    import trevalin

    flags = set()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    except OSError:
        pass
    cpu = "avx512" if {"avx512f", "avx512bw", "avx512dq", "avx512vl"} <= flags else "avx2" if "avx2" in flags \
        else "scalar"
    found = re.search(rb"trevalin TREVALIN_MAX_ISA=(\w+);", pathlib.Path(trevalin.__file__).read_bytes())
    cap = found.group(1).decode() if found else "avx512"
    path = min(cpu, cap, key=ISAS.index)
    return path, f"{path} kernels (CPU offers {cpu}, build capped at {cap})"


# OpenCV features to switch off so that it runs no wider code than trevalin's path: the peer then runs as on a
# CPU without those instruction sets (read by OpenCV when it is imported).
OPENCV_ABOVE = {"avx2": "AVX512F,AVX512-SKX,AVX512-CLX",
                "scalar": "AVX512F,AVX512-SKX,AVX512-CLX,AVX2,FMA3,FP16,AVX"}


def cap_opencv(path):
    """Call before importing cv2 in a benchmark worker."""
    if path in OPENCV_ABOVE:
        os.environ["OPENCV_CPU_DISABLE"] = OPENCV_ABOVE[path]


PEAK = r"""
import ctypes, sys
sys.path.insert(0, %(dir)r)
import numpy as np, trevalin
%(setup)s
trevalin.detect(img[:8, :8])             # load NumPy's API and start the pool
ctypes.CDLL("libc.so.6").malloc_trim(0)  # give back what making the image freed, so that the call's pages count
def vm(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
open('/proc/self/clear_refs', 'w').write('5')   # reset the peak to the current size
base = vm('VmRSS:')
trevalin.detect(img, %(scale)r)
print((vm('VmHWM:') - base) / img.size)
"""


def detect_peak_bytes_per_pixel(setup, scale, threads=None):
    """Peak additional memory of one detect call, in bytes per input pixel, in a fresh process; `setup` is code
    run in the benchmarks folder that makes `img`."""
    code = PEAK % dict(dir=os.path.dirname(os.path.abspath(__file__)), setup=setup, scale=scale)
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads)) if threads else None
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    return float(r.stdout.strip())
