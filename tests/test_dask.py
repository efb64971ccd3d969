"""The Dask examples on a two-process local cluster, against direct calls."""
import pathlib
import shutil
import sys

import numpy as np
import pyarrow.parquet as pq
import pytest
from dask.distributed import LocalCluster

import trevalin
from conftest import IMAGES, load_gray

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import dask_batch  # noqa: E402
import dask_remap  # noqa: E402


@pytest.fixture(scope="module")
def scheduler():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def test_batch_table_matches_direct_calls(tmp_path, scheduler):
    from PIL import Image

    folder = tmp_path / "scans"
    (folder / "b").mkdir(parents=True)
    crops = {"a.png": load_gray("camera.png")[:160, :200], "b/c.png": load_gray("text.png")[:120, :180]}
    for name, gray in crops.items():
        Image.fromarray(gray).save(folder / name)
    shutil.copy(IMAGES / "rocket.jpg", folder / "b" / "rocket.jpg")
    crops["b/rocket.jpg"] = load_gray("rocket.jpg")
    (folder / "broken.png").write_bytes(b"not an image")

    out = tmp_path / "segments.parquet"
    assert dask_batch.main([str(folder), str(out), "--scheduler", scheduler]) == 1  # broken.png
    table = pq.read_table(out).to_pydict()
    fields = dask_batch.FIELDS
    got = list(zip(table["file"], *(table[f] for f in fields)))
    expected = [(name, *(getattr(s, f) for f in fields)) for name in sorted(crops)
                for s in trevalin.detect(crops[name], 0.8)]
    assert len(expected) > 100 and got == expected  # floats compared exactly


@pytest.mark.parametrize("dtype, filter", [("uint8", "lanczos3"), ("uint16", "bilinear")])
def test_chunked_remap_gives_the_bytes_of_one_call(tmp_path, scheduler, dtype, filter):
    src = tmp_path / "src.npy"
    dask_remap.make_source(src, 150, 230, np.dtype(dtype))
    out = tmp_path / "out.npy"
    args = [str(out), "--source", str(src), "--chunk", "40", "--filter", filter, "--scheduler", scheduler]
    assert dask_remap.main(args) == 0
    image = np.load(src)
    gy, gx = np.meshgrid(np.arange(150.0), np.arange(230.0), indexing="ij")
    map_x, map_y = dask_remap.lens_maps(gy, gx, 150, 230)
    assert (map_x < -0.5).any() and (map_x > 229.5).any()  # the model reaches past the borders
    whole = trevalin.remap_rgb(image, map_x, map_y, filter)
    assert np.load(out).tobytes() == whole.tobytes()

    # A corner chunk reads only the source window its positions reach.
    seen = []

    class Recording(dask_remap.NpyImage):
        def window(self, *box):
            seen.append(box)
            return super().window(*box)

    dask_remap.remap_block(map_x[:40, :40], map_y[:40, :40], Recording(src), filter)
    (y0, y1, x0, x1), = seen
    assert (y0, x0) == (0, 0) and y1 < 60 and x1 < 60
