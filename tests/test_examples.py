"""The examples and the command line, run as a user would, on small inputs."""
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
# The command line under test is the installed one, beside this interpreter.
CLI = pathlib.Path(sys.executable).parent / "trevalin-detect"
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
    return subprocess.run([str(CLI), *args], capture_output=True, text=True, cwd=cwd)


def test_cli_json_csv_and_overlay(tmp_path):
    img = str(IMAGES / "camera.png")
    # One shape whatever the number of images: a parser of one image's output reads that of several.
    r = cli(img, "--json")
    assert r.returncode == 0, r.stderr
    (segs,) = json.loads(r.stdout).values()
    assert len(segs) > 50 and set(segs[0]) >= {"x1", "y1", "x2", "y2", "width", "log_nfa", "angle", "length"}
    for images in ([img], [img, str(IMAGES / "text.png")]):
        lines = cli(*images, "--csv", "--scale", "1").stdout.splitlines()
        assert lines[0].startswith("image,x1,y1,x2,y2") and len(lines) > 50
        assert {line.split(",")[0] for line in lines[1:]} == set(images)
    r = cli(img, str(IMAGES / "text.png"), "--overlay", str(tmp_path / "{stem}_seg.png"))
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "camera_seg.png").exists() and (tmp_path / "text_seg.png").exists()
    assert "[2/2]" in r.stderr and "2 images" in r.stderr


def test_cli_output_cut_short_by_its_reader_ends_quietly():
    p = subprocess.Popen([str(CLI), str(IMAGES / "camera.png"), str(IMAGES / "text.png"), "--json"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert p.stdout.readline().startswith("{")
    p.stdout.close()
    err = p.stderr.read()
    assert p.wait() == 0
    assert "Traceback" not in err and "Exception" not in err


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_cli_reports_a_bad_file_and_still_writes_the_others(tmp_path, jobs):
    good = [str(IMAGES / "camera.png"), str(IMAGES / "text.png")]
    bad = tmp_path / "broken.png"
    bad.write_bytes(b"not an image")
    r = cli(good[0], str(bad), good[1], "--json", "--jobs", jobs)
    assert r.returncode == 1
    assert [line for line in r.stderr.splitlines() if "broken.png" in line] == [
        f"trevalin-detect: cannot read {bad}: cannot identify image file '{bad}'"]
    results = json.loads(r.stdout)
    assert list(results) == good
    for path in good:
        direct = trevalin_detect_rows(path)
        assert results[path] == direct


def trevalin_detect_rows(path):
    import trevalin
    from trevalin_cli.detect import read_gray, rows

    return json.loads(json.dumps(rows(trevalin.detect(read_gray(path), 0.8))))


def test_cli_overlay_alone_prints_one_line_per_image_and_refuses_name_collisions(tmp_path):
    for d in ("a", "b"):
        (tmp_path / d).mkdir()
        (tmp_path / d / "x.png").write_bytes((IMAGES / "text.png").read_bytes())
    r = cli("a/x.png", "b/x.png", "--overlay", "ov_{stem}.png", cwd=tmp_path)
    assert r.returncode == 2 and "a/x.png and b/x.png" in r.stderr and r.stdout == ""
    assert not (tmp_path / "ov_x.png").exists()
    before = (tmp_path / "a" / "x.png").read_bytes()
    r = cli("a/x.png", "--overlay", "a/{stem}.png", cwd=tmp_path)
    assert r.returncode == 2 and "overwrite the input" in r.stderr
    assert (tmp_path / "a" / "x.png").read_bytes() == before
    r = cli("a/x.png", str(IMAGES / "camera.png"), "--overlay", "ov_{stem}.png", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and lines[0].startswith("a/x.png: ") and lines[0].endswith("drawn in ov_x.png")
    assert (tmp_path / "ov_x.png").exists() and (tmp_path / "ov_camera.png").exists()


@pytest.mark.parametrize("scale", ["0", "-1", "nan", "inf", "-inf", "x"])
def test_cli_scale_must_be_finite_and_above_zero(scale):
    r = cli(str(IMAGES / "text.png"), "--scale", scale)
    assert r.returncode == 2 and "--scale" in r.stderr and r.stdout == ""


@pytest.mark.parametrize("bad", ["missing.png", __file__])
def test_cli_unreadable_input_is_one_line_and_non_zero(bad):
    r = cli(bad)
    assert r.returncode != 0
    assert len(r.stderr.strip().splitlines()) == 1 and "cannot read" in r.stderr


def test_the_dask_extra_installs_what_its_examples_import():
    import ast
    import tomllib

    extra = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]["dask"]
    provided = {req.split("[")[0].split(">")[0].split("=")[0].strip().lower() for req in extra}
    # The distribution behind each module the examples import, functions' own imports included.
    distribution = {"PIL": "pillow", "dask": "dask", "distributed": "dask", "pyarrow": "pyarrow"}
    for example in ("dask_batch.py", "dask_remap.py"):
        tree = ast.parse((ROOT / "examples" / example).read_text())
        names = {alias.name.split(".")[0] for node in ast.walk(tree) if isinstance(node, ast.Import)
                 for alias in node.names}
        names |= {node.module.split(".")[0] for node in ast.walk(tree)
                  if isinstance(node, ast.ImportFrom) and node.module and node.level == 0}
        third_party = names - set(sys.stdlib_module_names) - {"numpy", "trevalin"}
        assert third_party <= set(distribution), (example, third_party - set(distribution))
        assert {distribution[n] for n in third_party} <= provided, (example, third_party)


def test_cli_adds_no_names_to_the_module():
    import trevalin
    import trevalin_cli.detect  # noqa: F401

    assert trevalin.__all__ == ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]
