import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
IMAGES = ROOT / "data" / "images"


def load_gray(name):
    """A bundled photograph as a uint8 (height, width) array."""
    from PIL import Image

    with Image.open(IMAGES / name) as im:
        return np.asarray(im.convert("L"))


def load_rgb(name):
    from PIL import Image

    with Image.open(IMAGES / name) as im:
        return np.asarray(im.convert("RGB"))


def run_python(code, env=None, timeout=300):
    """Runs code in a fresh interpreter; returns its stdout (fails on error)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full_env, timeout=timeout)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.fixture(scope="session")
def camera():
    return load_gray("camera.png")


@pytest.fixture(scope="session")
def rocket_gray():
    return load_gray("rocket.jpg")


@pytest.fixture(scope="session")
def coffee_rgb():
    return load_rgb("coffee.png")
