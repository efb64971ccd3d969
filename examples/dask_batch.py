"""Detect the line segments of every image in a folder on a Dask cluster, into one Parquet table.

Each image is read and searched by a worker; the table has one row per segment: the file name
(relative to the folder) and the seven fields x1, y1, x2, y2, width, precision, log_nfa, images in
name order and each image's segments longest first. Without --scheduler the work runs on a local
cluster of worker processes; with it, on the cluster of that scheduler, whose workers must see the
folder under the same path.

    python examples/dask_batch.py FOLDER OUT.parquet [--scheduler ADDRESS] [--workers N] [--scale S]
"""
import argparse
import os
import pathlib
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from dask.distributed import Client, LocalCluster

FIELDS = ["x1", "y1", "x2", "y2", "width", "precision", "log_nfa"]
SCHEMA = pa.schema([("file", pa.string())] + [(f, pa.float64()) for f in FIELDS])
SUFFIXES = {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".pgm", ".ppm", ".webp"}


def detect_file(path, name, scale):
    """Runs on a worker: the segments of one image as a table, or the reason it failed as text."""
    import trevalin
    from PIL import Image

    try:
        with Image.open(path) as im:
            gray = np.asarray(im.convert("L"))
        segments = trevalin.detect(gray, scale)
    except Exception as e:  # unreadable, not an image, too large
        return f"{name}: {e}"
    columns = {"file": [name] * len(segments)}
    columns.update({f: [getattr(s, f) for s in segments] for f in FIELDS})
    return pa.table(columns, schema=SCHEMA)


def run(client, folder, out, scale):
    """Writes the table of every image under `folder` to `out`; returns (segments, failures)."""
    folder = pathlib.Path(folder).resolve()
    paths = sorted(p for p in folder.rglob("*") if p.suffix.lower() in SUFFIXES and p.is_file())
    names = [p.relative_to(folder).as_posix() for p in paths]
    futures = client.map(detect_file, [str(p) for p in paths], names, scale=scale, pure=False)
    failures, rows = [], 0
    with pq.ParquetWriter(out, SCHEMA) as writer:
        # Collected in name order while the cluster works on the rest; each
        # image's table is released as soon as it is written.
        for future in futures:
            result = future.result()
            future.release()
            if isinstance(result, str):
                failures.append(result)
                continue
            writer.write_table(result)
            rows += result.num_rows
    return rows, failures


def worker_env(workers):
    """One task at a time per worker, and trevalin's thread pool in each worker sized so that
    together they use each CPU once."""
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return {"RAYON_NUM_THREADS": str(max(1, cpus // workers))}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("folder")
    p.add_argument("out", help="the Parquet file to write")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://10.0.0.5:8786")
    p.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    p.add_argument("--scale", type=float, default=0.8)
    args = p.parse_args(argv)

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, env=worker_env(args.workers))
        client = Client(cluster)
    try:
        rows, failures = run(client, args.folder, args.out, args.scale)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    for failure in failures:
        print(f"dask_batch: cannot process {failure}", file=sys.stderr)
    print(f"{rows} segments written to {args.out}" + (f"; {len(failures)} images failed" if failures else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
