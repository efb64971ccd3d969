"""Many Python threads calling the module at once: same results, no deadlock, the interpreter lock released."""
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import trevalin

from conftest import load_gray, load_rgb

SANITIZED = bool(os.environ.get("TREVALIN_SANITIZED"))
THREADS = 8
SECONDS = 1.0 if SANITIZED else 3.0


def blocks(height, width, block, seed):
    """A piecewise-constant image: plenty of edges, hence segments."""
    rng = np.random.default_rng(seed)
    cells = rng.integers(0, 256, (height // block, width // block), dtype=np.uint8)
    return np.kron(cells, np.ones((block, block), np.uint8))


def maps(height, width, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    return (x * 0.9 + rng.uniform(-2, 2, x.shape)).astype(np.float32), (y * 1.1 + 3.5).astype(np.float32)


def result_key(value):
    if isinstance(value, list):
        return [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in value]
    return value.dtype.str, value.shape, value.tobytes()


def build_calls(seed, shared):
    """(name, thunk) pairs over all four functions and both filters."""
    if shared is not None:
        gray, rgb = shared
    else:
        gray = blocks(180, 240, 6, seed)
        rgb = np.dstack([gray, 255 - gray, gray // 2])
    mx, my = maps(gray.shape[0], gray.shape[1], seed)
    homography = [0.9, 0.05, 3.0, -0.04, 1.1, 2.0, 1e-4, 2e-4, 1.0]
    gray16 = gray.astype(np.uint16) * 257
    return [
        ("detect", lambda: trevalin.detect(gray)),
        ("detect float strided", lambda: trevalin.detect(gray.astype(np.float32)[:, ::2], 1.0)),
        ("detect uint16", lambda: trevalin.detect(gray16, 0.5)),
        ("warp bilinear", lambda: trevalin.warp_rgb(rgb, homography, 1.0, 0.5, -0.5)),
        ("warp lanczos3", lambda: trevalin.warp_rgb(rgb, homography, 0.75, 0, 0, "lanczos3", (200, 150))),
        ("remap_rgb", lambda: trevalin.remap_rgb(rgb, mx, my, "lanczos3")),
        ("remap_gray", lambda: trevalin.remap_gray(gray16, mx.T, my.T)),
        ("remap_gray bilinear", lambda: trevalin.remap_gray(gray, mx, my, "bilinear")),
    ]


def hammer(calls_per_thread):
    """Runs every thread's calls in a loop for SECONDS; returns mismatches and per-thread counts."""
    expected = [{name: result_key(fn()) for name, fn in calls} for calls in calls_per_thread]
    barrier = threading.Barrier(len(calls_per_thread))
    mismatches, counts, errors = [], [0] * len(calls_per_thread), []

    def worker(i):
        try:
            barrier.wait()
            deadline = time.monotonic() + SECONDS
            calls = calls_per_thread[i]
            k = i  # threads start at different functions
            # Every thread calls every function at least once, however slow the build (sanitizers) or the machine.
            while time.monotonic() < deadline or counts[i] < len(calls):
                name, fn = calls[k % len(calls)]
                if result_key(fn()) != expected[i][name]:
                    mismatches.append((i, name))
                counts[i] += 1
                k += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(len(calls_per_thread))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 120)
    assert not any(t.is_alive() for t in threads), "a thread is stuck (deadlock?)"
    assert not errors, errors
    return mismatches, counts


@pytest.mark.parametrize("shared", [False, True], ids=["own inputs", "shared inputs"])
def test_threads_give_the_single_threaded_results(shared):
    inputs = None
    if shared:
        gray = load_gray("camera.png")[:300, :400]
        inputs = (gray, np.ascontiguousarray(load_rgb("coffee.png")[:300, :400]))
        for a in inputs:
            a.flags.writeable = False
    calls = [build_calls(seed, inputs) for seed in range(THREADS)]
    mismatches, counts = hammer(calls)
    assert mismatches == []


def counter_runs_during(fn):
    """Whether a pure-Python loop in another thread keeps counting through the
    middle half of fn()'s run (a call holding the lock stops it there)."""
    stamps = []
    running = threading.Event()
    stop = threading.Event()

    def counter():
        n = 0
        running.set()
        while not stop.is_set():
            n += 1
            if n % 256 == 0:
                stamps.append(time.monotonic())

    t = threading.Thread(target=counter, daemon=True)
    t.start()
    running.wait()
    try:
        t0 = time.monotonic()
        fn()
        t1 = time.monotonic()
    finally:
        stop.set()
        t.join()
    assert t1 - t0 > 0.05, "the call is too short to tell"
    lo, hi = t0 + (t1 - t0) / 4, t1 - (t1 - t0) / 4
    return sum(lo < s < hi for s in stamps)


@pytest.mark.parametrize("function", ["detect", "warp_rgb", "remap_rgb", "remap_gray"])
def test_the_interpreter_lock_is_released_while_computing(function):
    # While a call holds the lock the counter cannot run at all; released, it
    # counts for the whole call.
    height, width = 3000, 4000
    big = blocks(height, width, 10, 1)
    rgb = np.dstack([big] * 3)
    if function == "detect":
        call = lambda: trevalin.detect(big, 1.0)  # noqa: E731
    elif function == "warp_rgb":
        call = lambda: trevalin.warp_rgb(rgb, [0.7, 0.1, 0, 0.1, 0.7, 0, 0, 0, 1], 1, 0, 0, "lanczos3")  # noqa: E731
    else:
        mx, my = maps(height, width, 2)
        src = rgb if function == "remap_rgb" else big
        call = lambda: getattr(trevalin, function)(src, mx, my, "lanczos3")  # noqa: E731
    assert counter_runs_during(call) > 10


def test_interpreter_exit_while_daemon_threads_compute():
    # At exit, daemon threads still inside a call must not take the process
    # down with them when their call returns.
    code = """
import threading, time, numpy as np, trevalin
rng = np.random.default_rng(0)
img = np.kron(rng.integers(0, 256, (150, 200), dtype=np.uint8), np.ones((10, 10), np.uint8))
def loop():
    while True:
        trevalin.detect(img, 1.0)
        trevalin.warp_rgb(np.dstack([img] * 3), [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, "lanczos3")
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
"""
    for _ in range(8):
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
