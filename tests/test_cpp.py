"""Builds the C++ test suite of the compute code with CMake and runs it."""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "cpp-tests"


@pytest.fixture(scope="module")
def cpp_tests():
    cmake = shutil.which("cmake")
    assert cmake, "cmake is needed to build the C++ tests"
    configure = [cmake, "-S", str(ROOT), "-B", str(BUILD), "-DTREVALIN_BUILD_MODULE=OFF",
                 "-DTREVALIN_BUILD_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release"]
    r = subprocess.run(configure, capture_output=True, text=True)
    assert r.returncode == 0, "configuring the C++ tests failed:\n" + r.stdout + r.stderr
    r = subprocess.run([cmake, "--build", str(BUILD), "-j", str(min(os.cpu_count() or 1, 4))],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout[-5000:] + r.stderr[-5000:]
    return BUILD / "trevalin_tests"


@pytest.mark.parametrize("threads", ["1", "3"])
def test_cpp_suite(cpp_tests, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    r = subprocess.run([str(cpp_tests)], capture_output=True, text=True, env=env, timeout=1200)
    print(r.stdout[-3000:])
    assert r.returncode == 0, r.stdout[-8000:] + r.stderr[-3000:]
    assert "Status: SUCCESS" in r.stdout
