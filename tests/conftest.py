"""Shared fixtures and helpers of the Python suite, and the C++ suite's build."""
import os
import pathlib
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
IMAGES = ROOT / "data" / "images"


class CppSuite:
    """The C++ test executable, built in build/cpp-tests in the background from
    the end of collection on, so that the build overlaps the Python tests.

    TREVALIN_CPP_TESTS names an executable already built (CI builds it once).
    Otherwise the build links the compute library of the module build that
    made the installed module, when that build directory is still in the
    tree, and compiles only the tests."""

    BUILD = ROOT / "build" / "cpp-tests"

    def __init__(self):
        self.proc = None
        self.log = None

    @staticmethod
    def build_id(path):
        """The GNU build ID of an ELF file (kept when an install strips it), or None."""
        note = b"\x04\x00\x00\x00\x14\x00\x00\x00\x03\x00\x00\x00GNU\x00"
        data = path.read_bytes()
        at = data.find(note)
        return data[at + len(note):at + len(note) + 20] if at >= 0 else None

    def core_library(self):
        try:
            import trevalin
        except ImportError:
            return ""
        installed = pathlib.Path(trevalin.__file__)
        wanted = self.build_id(installed)
        for built in (ROOT / "build").glob("*/" + installed.name):
            lib = built.parent / "libtrevalin_core.a"
            if wanted and lib.exists() and self.build_id(built) == wanted:
                return str(lib)
        return ""

    def start(self):
        if self.proc or os.environ.get("TREVALIN_CPP_TESTS"):
            return
        cmake = shutil.which("cmake")
        if not cmake:
            return
        self.BUILD.mkdir(parents=True, exist_ok=True)
        self.log = open(self.BUILD / "pytest-build.log", "w")
        configure = [cmake, "-S", str(ROOT), "-B", str(self.BUILD), "-DTREVALIN_BUILD_MODULE=OFF",
                     "-DTREVALIN_BUILD_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release",
                     "-DTREVALIN_CORE_LIBRARY=" + self.core_library()]
        build = [cmake, "--build", str(self.BUILD), "-j", str(min(os.cpu_count() or 1, 4))]
        script = " && ".join(subprocess.list2cmdline(c) for c in (configure, build))
        self.proc = subprocess.Popen(script, shell=True, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)

    def wait(self):
        given = os.environ.get("TREVALIN_CPP_TESTS")
        if given:
            return pathlib.Path(given)
        assert shutil.which("cmake"), "cmake is needed to build the C++ tests"
        self.start()
        rc = self.proc.wait()
        self.log.close()
        output = (self.BUILD / "pytest-build.log").read_text(errors="replace")
        assert rc == 0, "building the C++ tests failed:\n" + output[-8000:]
        return self.BUILD / "trevalin_tests"


CPP_SUITE = CppSuite()


def pytest_collection_modifyitems(items):
    # The C++ suite runs last, so that its build has the whole Python suite's time.
    items.sort(key=lambda item: item.path.name == "test_cpp.py")


def pytest_collection_finish(session):
    if any(item.path.name == "test_cpp.py" for item in session.items):
        CPP_SUITE.start()


def pytest_sessionfinish(session):
    # An interrupted run does not leave the build running.
    if CPP_SUITE.proc and CPP_SUITE.proc.poll() is None:
        os.killpg(CPP_SUITE.proc.pid, signal.SIGTERM)
        CPP_SUITE.proc.wait()


def load_gray(name):
    """A bundled photograph as a uint8 (height, width) array."""
    from PIL import Image

    with Image.open(IMAGES / name) as im:
        return np.asarray(im.convert("L"))


def load_rgb(name):
    from PIL import Image

    with Image.open(IMAGES / name) as im:
        return np.asarray(im.convert("RGB"))


# Objects that convert, or fail to, as the arguments of hostile calls.


class Boom(Exception):
    pass


class _Gives:
    """Converts to `value`, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def _give(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Float(_Gives):
    __float__ = _Gives._give


class Index(_Gives):
    __index__ = _Gives._give


class Seq:
    """Reports a length of `length` and serves items from `items`; `raise_at`
    makes that index raise Boom."""

    def __init__(self, items, length=None, raise_at=None):
        self.items, self.length, self.raise_at = items, length, raise_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.raise_at:
            raise Boom(i)
        return self.items[i]


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
