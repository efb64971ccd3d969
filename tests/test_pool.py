"""The shared worker pool seen from Python: its size, threads and fork."""
import os

import pytest

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


def cpu_count():
    return len(os.sched_getaffinity(0))


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
