"""Many calls of every function, successful and failing: no reference and no memory is left behind."""
import os

from conftest import run_python

SANITIZED = bool(os.environ.get("TREVALIN_SANITIZED"))

CODE = """
import gc, sys, tracemalloc, numpy as np, trevalin

ITERATIONS = {iterations}
CHECK_RSS = {check_rss}

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

class Boom(Exception):
    pass

class BadItem:
    def __float__(self):
        raise Boom()

gray = np.zeros((24, 24), np.uint8); gray[6:18, 6:18] = 200
gray_t = gray.T
gray_f = gray.astype(np.float64)
gray_i8 = gray.astype(np.int8)
raw = np.zeros(24 * 24 * 2 + 1, np.uint8)
gray_odd = raw[1:].view(np.uint16).reshape(24, 24)
rgb = np.dstack([gray, gray, 255 - gray])
rgb_step = rgb[:, ::2]
mx = np.tile(np.arange(6, dtype=np.float32), (5, 1))
my = np.tile(np.arange(5, dtype=np.float32)[:, None], (1, 6))
mx_t, my_t = mx.T.copy().T, my.T.copy().T
mx64 = mx.astype(np.float64)
huge = np.broadcast_to(np.float32(0), (2**20, 2**20))
eye = [1, 0, 0, 0, 1, 0, 0, 0, 1]
eye_t = (1.0, 0.1, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)
bad_inverse = [1, 0, 0, 0, BadItem(), 0, 0, 0, 1]
short_inverse = eye[:8]
scale = 0.8
lanczos, bilinear, unknown = "lanczos3", "bilinear", "Bilinear\\n"
size, big_size, list_size = (7, 5), (2**40, 1), [7, 5]

calls = [
    # detect
    lambda: trevalin.detect(gray),
    lambda: trevalin.detect(gray_t, scale),
    lambda: trevalin.detect(gray_odd, scale=1),
    lambda: trevalin.detect(gray_f, "x"),
    lambda: trevalin.detect(rgb),
    lambda: trevalin.detect(gray_i8),
    # warp_rgb
    lambda: trevalin.warp_rgb(rgb, eye, 1, 0, 0, lanczos, size),
    lambda: trevalin.warp_rgb(rgb_step, eye_t, scale, 0.5, 0.5),
    lambda: trevalin.warp_rgb(rgb, bad_inverse, 1, 0, 0),
    lambda: trevalin.warp_rgb(rgb, short_inverse, 1, 0, 0),
    lambda: trevalin.warp_rgb(rgb, eye, 1, 0, 0, unknown),
    lambda: trevalin.warp_rgb(rgb, eye, 1, 0, 0, bilinear, big_size),
    lambda: trevalin.warp_rgb(rgb, eye, 1, 0, 0, bilinear, list_size),
    # remap_rgb
    lambda: trevalin.remap_rgb(rgb, mx, my, lanczos),
    lambda: trevalin.remap_rgb(rgb_step, mx_t, my_t),
    lambda: trevalin.remap_rgb(rgb, mx64, my),
    lambda: trevalin.remap_rgb(gray, mx, my),
    # remap_gray
    lambda: trevalin.remap_gray(gray, mx, my),
    lambda: trevalin.remap_gray(gray_t, mx_t, my, lanczos),
    lambda: trevalin.remap_gray(gray, mx, my[:4]),
    lambda: trevalin.remap_gray(gray, huge, huge),
    lambda: trevalin.remap_gray(gray, mx, my, unknown),
]
watched = [gray, gray_t, gray_f, gray_i8, gray_odd, rgb, rgb_step, mx, my, mx_t, my_t, mx64, huge, eye, eye_t,
           bad_inverse, short_inverse, scale, lanczos, bilinear, unknown, size, big_size, list_size]

def run(n):
    outcomes = set()
    for _ in range(n):
        for call in calls:
            try:
                call()
                outcomes.add("ok")
            except (TypeError, ValueError, MemoryError, Boom) as e:
                outcomes.add(type(e).__name__)
    return outcomes

# Python objects and NumPy buffers are traced by the line that made them,
# one line per call: an object kept per call adds ITERATIONS there, while
# the interpreter's own churn leaves a few hundred at most, however many the
# calls. The warm-up fills caches and the allocator under tracing too.
tracemalloc.start()
run(max(ITERATIONS // 10, 50))
gc.collect()
refs = [sys.getrefcount(o) for o in watched]
first = tracemalloc.take_snapshot()
before = rss()
outcomes = run(ITERATIONS)
gc.collect()
after = rss()
kept = max(tracemalloc.take_snapshot().compare_to(first, "lineno"), key=lambda d: d.count_diff)
tracemalloc.stop()
assert [sys.getrefcount(o) for o in watched] == refs, "reference counts changed"
assert kept.count_diff < ITERATIONS // 2, f"objects kept: {{kept}}"
assert outcomes == {{"ok", "TypeError", "ValueError", "MemoryError", "Boom"}}, outcomes
assert trevalin.detect(gray), "the square should give segments"
growth = after - before
assert not CHECK_RSS or growth < 2 * 2**20, f"RSS grew by {{growth}} bytes"
print(growth)
"""


def test_repeated_calls_leak_no_references_and_no_memory():
    # A reference kept shows in the first call, an object kept per call once
    # the calls outnumber the churn (about a thousand), a compute buffer of
    # 1 KiB kept per call in 3000 (RSS).
    iterations = 1_500 if SANITIZED else 3_000
    run_python(CODE.format(iterations=iterations, check_rss=not SANITIZED), env={"RAYON_NUM_THREADS": "2"},
               timeout=900)
