"""Runs the C++ test suite of the compute code, built by conftest.py while the Python tests run."""
import os
import subprocess

import pytest

from conftest import CPP_SUITE


@pytest.fixture(scope="module")
def cpp_tests():
    return CPP_SUITE.wait()


# Two threads on small fields take the seed loop's other path; one and three bracket it.
@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_cpp_suite(cpp_tests, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    r = subprocess.run([str(cpp_tests)], capture_output=True, text=True, env=env, timeout=1200)
    print(r.stdout[-3000:])
    assert r.returncode == 0, r.stdout[-8000:] + r.stderr[-3000:]
    assert "Status: SUCCESS" in r.stdout


def test_cpp_digests_agree_across_thread_counts(cpp_tests):
    # The suite prints a digest of its thread test's segments; one pool size must print what another does.
    digests = set()
    for threads in ("1", "2", "3"):
        r = subprocess.run([str(cpp_tests), "-tc=results do not depend on threads*"], capture_output=True, text=True,
                           env=dict(os.environ, RAYON_NUM_THREADS=threads), timeout=600)
        assert r.returncode == 0, r.stdout[-3000:]
        (line,) = [line for line in r.stdout.splitlines() if "MESSAGE: threads" in line]
        digests.add(line.split(" digest ", 1)[1])
    assert len(digests) == 1, digests
