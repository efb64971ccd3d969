"""The package's type stubs, as a user gets them from an install: mypy run from outside the source
tree with no search path set."""
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

GOOD = """
import numpy as np
import numpy.typing as npt
import trevalin

img: npt.NDArray[np.uint16] = np.zeros((4, 4, 3), np.uint16)
h = np.eye(3)
out: npt.NDArray[np.uint16] = trevalin.warp_rgb(img, h.ravel(), 1, 0, 0, "lanczos3", out_size=(8, np.int64(6)))
out = trevalin.warp_rgb(img, [1, 0, 0, 0, 1, 0, 0, 0, 1.5], 1.0, 0, 0)
mask = trevalin.remap_gray(np.zeros((4, 4), np.uint8), np.zeros((2, 3), np.float32), np.zeros((2, 3), np.float32))
segs: list[trevalin.Segment] = trevalin.detect(np.zeros((4, 4), np.float32), scale=1)
angles: list[float] = [s.angle for s in segs]
"""

# Each line is refused by the module at run time, and so by the stub.
BAD = """
import numpy as np
import trevalin

img = np.zeros((4, 4, 3), np.uint8)
trevalin.warp_rgb(img, [[1, 0, 0], [0, 1, 0], [0, 0, 1]], 1, 0, 0)
trevalin.warp_rgb(img, list(range(9)), 1, 0, 0, out_size=[4, 4])
trevalin.warp_rgb(img, list(range(9)), 1, 0, 0, out_size=(4.0, 4))
trevalin.warp_rgb(img, list(range(9)), 1, 0, 0, filter=None)
trevalin.remap_rgb(img, np.zeros((2, 2)), np.zeros((2, 2)))
trevalin.detect(np.zeros((4, 4), np.int32))
trevalin.detect(np.zeros((4, 4)), scale="x")
trevalin.remap_gray(np.zeros((4, 4), np.uint8), np.zeros((2, 2), np.float32), np.zeros((2, 2), np.float32), "Bilinear")
"""


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    # The environment that runs the tests has the package installed as a user
    # installs it, its stubs included; mypy runs from outside the source tree.
    return pathlib.Path(sys.executable), tmp_path_factory.mktemp("typing")


def mypy(venv, *args):
    python, cwd = venv
    # Both runs work in one directory: mypy's cache there holds NumPy's stubs analysed once.
    return subprocess.run([str(python), "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


def test_stubtest_agrees_with_the_module(venv):
    r = mypy(venv, "mypy.stubtest", "trevalin")
    assert r.returncode == 0, r.stdout + r.stderr


def test_usage_type_checks_and_misuse_does_not(venv):
    good = venv[1] / "good.py"
    good.write_text(textwrap.dedent(GOOD))
    r = mypy(venv, "mypy", "--strict", str(good))
    assert r.returncode == 0, r.stdout + r.stderr
    bad = venv[1] / "bad.py"
    bad.write_text(textwrap.dedent(BAD))
    r = mypy(venv, "mypy", "--strict", str(bad))
    flagged = {int(line.split(":")[1]) for line in r.stdout.splitlines() if ": error:" in line}
    expected = {i for i, line in enumerate(BAD.splitlines(), 1) if line.startswith("trevalin.")}
    assert flagged == expected, r.stdout
