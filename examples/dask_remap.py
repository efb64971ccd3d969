"""Undistort an image larger than a worker's memory on a Dask cluster, chunk by chunk, with remap_rgb.

The output is a dask.array: each chunk of it knows its coordinate maps (here a radial lens
model, computed per chunk), reads from the source only the window that those coordinates reach,
widened by the filter's reach, and remaps it. The result has the same bytes as one remap_rgb call
over the whole image, which --check verifies (that needs the whole image in this process).

The source is a (height, width, 3) uint8 or uint16 array in a .npy file, read by the workers
through a memory map; without --source one is made by tiling a bundled photograph, at --size.
The output goes to a .npy file the same way. With --scheduler the workers of that cluster must see
both files under the same paths.

    python examples/dask_remap.py [OUT.npy] [--source SRC.npy] [--size H W] [--chunk N]
                                  [--filter bilinear|lanczos3] [--scheduler ADDRESS] [--check]
"""
import argparse
import math
import os
import pathlib
import sys
import tempfile

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import trevalin

HERE = pathlib.Path(__file__).resolve().parent

# Source pixels a filter reads on either side of floor(position): bilinear
# floor(x) and floor(x) + 1, Lanczos-3 floor(x) - 2 to floor(x) + 3.
REACH = {"bilinear": (0, 1), "lanczos3": (2, 3)}


class NpyImage:
    """A (height, width, 3) image in a .npy file; workers read windows of it through a memory map.
    Only the path travels to the workers."""

    def __init__(self, path):
        self.path = str(path)
        image = np.load(self.path, mmap_mode="r")
        self.shape, self.dtype = image.shape, image.dtype

    def window(self, y0, y1, x0, x1):
        return np.array(np.load(self.path, mmap_mode="r")[y0:y1, x0:x1])

    def __setitem__(self, index, block):  # as the target of dask.array.store
        image = np.load(self.path, mmap_mode="r+")
        image[index] = block
        image.flush()


def remap_block(map_x, map_y, source, filter):
    """One output chunk: the source window that the chunk's coordinates reach, remapped. Inside
    the window every tap of every position is the same source pixel as in the whole image, and
    the window's borders are the image's wherever a position could reach past them."""
    out = np.zeros(map_x.shape + (3,), source.dtype)
    finite = np.isfinite(map_x) & np.isfinite(map_y)
    if not finite.any():
        return out  # NaN and infinite positions give 0
    height, width = source.shape[:2]
    before, after = REACH[filter]
    xs, ys = map_x[finite], map_y[finite]
    x0 = max(math.floor(xs.min()) - before, 0)
    x1 = min(math.floor(xs.max()) + after + 1, width)
    y0 = max(math.floor(ys.min()) - before, 0)
    y1 = min(math.floor(ys.max()) + after + 1, height)
    if x0 >= x1 or y0 >= y1:
        return out  # every position lies outside the image
    # x0 and y0 are whole numbers no greater than any finite position, so
    # the float32 subtractions are exact and keep each position's fraction.
    window = source.window(y0, y1, x0, x1)
    return trevalin.remap_rgb(window, map_x - np.float32(x0), map_y - np.float32(y0), filter)


def remap_rgb_lazy(source, map_x, map_y, filter="bilinear"):
    """remap_rgb(source, map_x, map_y, filter) as a dask.array with the chunks of the maps."""
    return da.map_blocks(remap_block, map_x, map_y, source=source, filter=filter, dtype=source.dtype,
                         new_axis=2, chunks=map_x.chunks + ((3,),), meta=np.empty((0, 0, 0), source.dtype))


def lens_maps(ys, xs, height, width, k1=0.12, k2=0.02):
    """Where pixel (x, y) of the corrected image lies in the distorted source, as float32 maps:
    r_d = r (1 + k1 r^2 + k2 r^4), r normalised by a focal length of 0.9 * width. Only + - * /,
    so that NumPy and dask.array give the same bits chunk by chunk."""
    f = 0.9 * width
    cx, cy = (width - 1) / 2, (height - 1) / 2
    xn, yn = (xs - cx) / f, (ys - cy) / f
    r2 = xn * xn + yn * yn
    factor = 1 + k1 * r2 + k2 * r2 * r2
    return (cx + xn * factor * f).astype(np.float32), (cy + yn * factor * f).astype(np.float32)


def make_source(path, height, width, dtype):
    """A large source image: a bundled photograph tiled to height x width, written row band by row band."""
    from PIL import Image

    with Image.open(HERE.parent / "data" / "images" / "coffee.png") as im:
        tile = np.asarray(im.convert("RGB"))
    if dtype == np.uint16:
        tile = tile.astype(np.uint16) * 257
    out = np.lib.format.open_memmap(path, mode="w+", dtype=dtype, shape=(height, width, 3))
    reps = -(-width // tile.shape[1])
    band = np.tile(tile, (1, reps, 1))[:, :width]
    for y in range(0, height, tile.shape[0]):
        out[y : y + tile.shape[0]] = band[: height - y]
    out.flush()
    del out


def worker_env(workers):
    # trevalin's thread pool in each worker sized so that together they use each CPU once
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return {"RAYON_NUM_THREADS": str(max(1, cpus // workers))}


def run(args, folder):
    if args.source:
        source = NpyImage(args.source)
    else:
        path = pathlib.Path(folder) / "source.npy"
        make_source(path, *args.size, np.uint16 if args.dtype == "uint16" else np.uint8)
        source = NpyImage(path)
    height, width = source.shape[:2]
    ys = da.arange(height, dtype=np.float64, chunks=args.chunk)[:, None]
    xs = da.arange(width, dtype=np.float64, chunks=args.chunk)[None, :]
    map_x, map_y = lens_maps(ys, xs, height, width)
    corrected = remap_rgb_lazy(source, map_x, map_y, args.filter)

    np.lib.format.open_memmap(args.out, mode="w+", dtype=source.dtype, shape=(height, width, 3)).flush()
    da.store(corrected, NpyImage(args.out), lock=False)
    print(f"{height}x{width} {source.dtype} image remapped in {corrected.npartitions} chunks to {args.out}")

    if not args.check:
        return None
    gy, gx = np.meshgrid(np.arange(height, dtype=np.float64), np.arange(width, dtype=np.float64), indexing="ij")
    whole = trevalin.remap_rgb(np.load(source.path), *lens_maps(gy, gx, height, width), args.filter)
    same = np.array_equal(whole, np.load(args.out)) and whole.tobytes() == np.load(args.out).tobytes()
    print("same bytes as one remap_rgb call" if same else "DIFFERS from one remap_rgb call")
    return same


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("out", nargs="?", default="corrected.npy")
    p.add_argument("--source", metavar="SRC.npy", help="a (height, width, 3) uint8 or uint16 .npy file")
    p.add_argument("--size", type=int, nargs=2, default=(12000, 16000), metavar=("H", "W"),
                   help="size of the made-up source (default 12000 16000: 576 MB)")
    p.add_argument("--dtype", choices=["uint8", "uint16"], default="uint8", help="of the made-up source")
    p.add_argument("--chunk", type=int, default=2048, help="output chunk side (default 2048)")
    p.add_argument("--filter", choices=["bilinear", "lanczos3"], default="lanczos3")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler; default: a local cluster")
    p.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    p.add_argument("--memory-limit", default="400MiB", help="per worker of the local cluster (default 400MiB)")
    p.add_argument("--check", action="store_true", help="compare with one remap_rgb call over the whole image")
    args = p.parse_args(argv)

    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               memory_limit=args.memory_limit, dashboard_address=None,
                               env=worker_env(args.workers))
        client = Client(cluster)
    try:
        with tempfile.TemporaryDirectory(dir=pathlib.Path(args.out).resolve().parent) as folder:
            same = run(args, folder)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 1 if same is False else 0


if __name__ == "__main__":
    sys.exit(main())
