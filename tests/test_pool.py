"""The shared worker pool seen from Python: its size, threads and fork."""
import multiprocessing
import os

import numpy as np
import pytest

import trevalin

from conftest import run_python

CALL = """
import os, numpy as np, trevalin
img = (np.arange(200 * 300) % 251).astype(np.uint8).reshape(200, 300)
before = len(os.listdir('/proc/self/task'))
trevalin.warp_rgb(np.dstack([img] * 3), [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0)
after = len(os.listdir('/proc/self/task'))
print(after - before)
"""


def started_workers(env):
    clean = {k: "" for k in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    clean.update(env)
    # an empty value counts as absent
    return int(run_python(CALL, env=clean).strip())


def cgroup_quota():
    """The smallest CPU quota (quota // period, at least 1) on the way from this
    process's cgroups up to their roots, or None."""
    best = None
    try:
        lines = open("/proc/self/cgroup").read().splitlines()
    except OSError:
        return None
    for line in lines:
        hid, controllers, path = line.split(":", 2)
        if hid == "0" and not controllers:
            roots, v2 = ["/sys/fs/cgroup"], True
        elif "cpu" in controllers.split(","):
            roots, v2 = ["/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"], False
        else:
            continue
        for root in roots:
            p = path
            while True:
                try:
                    if v2:
                        quota, period = open(f"{root}{p.rstrip('/')}/cpu.max").read().split()
                    else:
                        quota = open(f"{root}{p.rstrip('/')}/cpu.cfs_quota_us").read().strip()
                        period = open(f"{root}{p.rstrip('/')}/cpu.cfs_period_us").read().strip()
                    if quota not in ("max", "-1") and int(period) > 0:
                        q = max(int(quota) // int(period), 1)
                        best = q if best is None else min(best, q)
                except (OSError, ValueError):
                    pass
                if p in ("", "/"):
                    break
                p = p[: p.rfind("/")] or "/"
    return best


def cpu_count():
    n = len(os.sched_getaffinity(0))
    quota = cgroup_quota()
    return min(n, quota) if quota else n


@pytest.mark.parametrize(
    "env, threads",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "2"}, 5),
        ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "7"}, None),
        ({"RAYON_RS_NUM_CPUS": "0"}, None),
        ({}, None),
    ],
)
def test_pool_size_follows_the_environment(env, threads):
    # The calling thread is one of the working threads, so the pool starts
    # one thread fewer than the count.
    expected = (threads if threads is not None else cpu_count()) - 1
    assert started_workers(env) == expected


def test_pool_is_shared_by_all_calls():
    code = CALL + """
for _ in range(20):
    trevalin.remap_gray(img, np.zeros((50, 60), np.float32), np.zeros((50, 60), np.float32))
print(len(os.listdir('/proc/self/task')) - before)
"""
    first, later = run_python(code, env={"RAYON_NUM_THREADS": "4"}).split()
    assert first == later == "3"


def test_forked_child_gets_a_working_pool():
    code = """
import os, numpy as np, trevalin
img = np.zeros((120, 160), np.uint8); img[:, 80:] = 200
ref = [repr(s) for s in trevalin.detect(img)]
rgb = np.dstack([img] * 3)
wref = trevalin.warp_rgb(rgb, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0.5, 0.5, "lanczos3")
pid = os.fork()
if pid == 0:
    ok = [repr(s) for s in trevalin.detect(img)] == ref
    ok = ok and np.array_equal(trevalin.warp_rgb(rgb, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0.5, 0.5, "lanczos3"), wref)
    os._exit(0 if ok and ref else 3)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
"""
    assert run_python(code, env={"RAYON_NUM_THREADS": "2"}, timeout=60).strip() == "0"


# --- multiprocessing -------------------------------------------------------------

def mp_inputs():
    img = np.zeros((120, 160), np.uint8)
    img[:, 80:] = 200
    img[40:90, 20:60] = 90
    rgb = np.dstack([img, img // 2, 255 - img])
    mx = np.tile(np.linspace(-1, 160, 70, dtype=np.float32), (50, 1))
    my = np.tile(np.linspace(-1, 120, 50, dtype=np.float32)[:, None], (1, 70))
    return img, rgb, mx, my


def mp_task(i):
    """One call of every function; a picklable digest of the results."""
    img, rgb, mx, my = mp_inputs()
    segments = [repr(s) for s in trevalin.detect(img, 0.8 if i % 2 else 1.0)]
    warped = trevalin.warp_rgb(rgb, [1, 0.1 * i, 0, 0, 1, 0, 0, 0, 1], 1, 0.5, 0.5, "lanczos3")
    remapped = trevalin.remap_rgb(rgb, mx, my, "bilinear")
    gray = trevalin.remap_gray(img, mx, my, "lanczos3")
    threads = len(os.listdir("/proc/self/task"))
    return segments, warped.tobytes(), remapped.tobytes(), gray.tobytes(), threads >= min(2, cpu_count())


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_children_after_the_parent_used_the_pool(method):
    expected = [mp_task(i) for i in range(6)]  # the parent's pool is running now
    assert expected[0][0], "the test image should have segments"
    # Every child must end with pool threads of its own (the last field).
    assert expected[0][-1]
    ctx = multiprocessing.get_context(method)
    with ctx.Pool(2) as workers:
        got = workers.map_async(mp_task, range(6)).get(timeout=120)
    assert got == expected


@pytest.mark.skipif(bool(os.environ.get("TREVALIN_SANITIZED")),
                    reason="the sanitizer's allocator is not fork-safe: a child can inherit its lock held")
def test_fork_while_other_threads_compute():
    # Forks land at arbitrary points of the parent's calls: a worker may hold
    # the pool's locks. Each child must still finish its own calls.
    code = """
import os, sys, threading, numpy as np, trevalin
rgb = np.dstack([(np.arange(300 * 400) % 251).astype(np.uint8).reshape(300, 400)] * 3)
eye = [1, 0.01, 0, 0, 1, 0, 0, 0, 1]
ref = trevalin.warp_rgb(rgb, eye, 1, 0, 0, "lanczos3")
stop = False
def busy():
    while not stop:
        trevalin.warp_rgb(rgb, eye, 1, 0, 0, "lanczos3")
        trevalin.detect(rgb[:, :, 0])
threads = [threading.Thread(target=busy) for _ in range(3)]
for t in threads: t.start()
bad = 0
for i in range(20):
    pid = os.fork()
    if pid == 0:
        ok = np.array_equal(trevalin.warp_rgb(rgb, eye, 1, 0, 0, "lanczos3"), ref)
        trevalin.detect(rgb[:, :, 0])
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    bad += os.waitstatus_to_exitcode(status) != 0
stop = True
for t in threads: t.join()
print(bad)
"""
    assert run_python(code, env={"RAYON_NUM_THREADS": "3"}, timeout=120).strip() == "0"
