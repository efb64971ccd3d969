"""The examples and the command line, run as a user would, on small inputs."""
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
IMAGES = ROOT / "data" / "images"


def test_detect_photo_example(tmp_path):
    import detect_photo

    out = tmp_path / "seg.png"
    segs = detect_photo.main([str(IMAGES / "text.png"), str(out)])
    assert len(segs) > 20 and out.stat().st_size > 0


def test_rectify_document_example(tmp_path):
    import rectify_document

    corner_error, err, mask = rectify_document.main([str(tmp_path / "doc"), "--page", "360", "480"])
    assert corner_error < 1.5
    assert err < 6
    assert np.mean(mask > 127) > 0.98
    for part in ("photo", "segments", "rectified", "mask"):
        assert (tmp_path / f"doc_{part}.png").exists()


def test_undistort_example(tmp_path):
    import undistort

    err = undistort.main([str(IMAGES / "chelsea.png"), str(tmp_path / "u")])
    assert err < 3


def cli(*args, cwd=None):
    code = "import sys; sys.path.insert(0, %r); from trevalin_cli.detect import main; sys.exit(main())" % str(
        ROOT / "python"
    )
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, cwd=cwd)


def test_cli_json_csv_and_overlay(tmp_path):
    img = str(IMAGES / "camera.png")
    r = cli(img, "--json")
    assert r.returncode == 0, r.stderr
    segs = json.loads(r.stdout)
    assert len(segs) > 50 and set(segs[0]) >= {"x1", "y1", "x2", "y2", "width", "log_nfa", "angle", "length"}
    r = cli(img, "--csv", "--scale", "1")
    lines = r.stdout.splitlines()
    assert lines[0].startswith("x1,y1,x2,y2") and len(lines) > 50
    r = cli(img, str(IMAGES / "text.png"), "--overlay", str(tmp_path / "{stem}_seg.png"))
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "camera_seg.png").exists() and (tmp_path / "text_seg.png").exists()
    assert "[2/2]" in r.stderr and "2 images" in r.stderr


def test_cli_output_cut_short_by_its_reader():
    code = "import sys; sys.path.insert(0, %r); from trevalin_cli.detect import main; sys.exit(main())" % str(
        ROOT / "python"
    )
    p = subprocess.Popen([sys.executable, "-c", code, str(IMAGES / "camera.png")], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    assert p.stdout.readline().startswith("#")
    p.stdout.close()
    err = p.stderr.read()
    p.wait()
    assert "Traceback" not in err and "Exception" not in err


@pytest.mark.parametrize("bad", ["missing.png", __file__])
def test_cli_unreadable_input_is_one_line_and_non_zero(bad):
    r = cli(bad)
    assert r.returncode != 0
    assert len(r.stderr.strip().splitlines()) == 1 and "cannot read" in r.stderr


def test_cli_adds_no_names_to_the_module():
    import trevalin
    import trevalin_cli.detect  # noqa: F401

    assert trevalin.__all__ == ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]
