"""The type stub matches the real module, and typical code type-checks against it."""
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def mypy_env():
    # the stub beside the sources; an installed copy sits next to the module itself
    return dict(os.environ, MYPYPATH=str(ROOT / "src" / "python"))


def test_stubtest_agrees_with_the_module():
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "trevalin"], capture_output=True, text=True,
                       env=mypy_env(), cwd=ROOT / "tests")
    assert r.returncode == 0, r.stdout + r.stderr


def test_usage_type_checks(tmp_path):
    code = tmp_path / "usage.py"
    code.write_text(
        "import numpy as np\nimport numpy.typing as npt\nimport trevalin\n"
        "img: npt.NDArray[np.uint16] = np.zeros((4, 4, 3), np.uint16)\n"
        "out: npt.NDArray[np.uint16] = trevalin.warp_rgb(img, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, 'lanczos3')\n"
        "segs: list[trevalin.Segment] = trevalin.detect(np.zeros((4, 4), np.float32), scale=1)\n"
        "angles: list[float] = [s.angle for s in segs]\n"
    )
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(code)], capture_output=True, text=True,
                       env=mypy_env(), cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
