"""trevalin-detect: find the line segments of photographs from the command line."""
import argparse
import csv
import json
import math
import os
import sys
import time
from pathlib import Path

import numpy as np

import trevalin

FIELDS = ["x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "angle", "length"]


def read_gray(path):
    """The image at `path` as a 2-D uint8 or uint16 array."""
    from PIL import Image

    with Image.open(path) as im:
        if im.mode.startswith("I;16"):
            return np.asarray(im).astype(np.uint16)  # native byte order
        if im.mode == "I":
            return np.clip(np.asarray(im), 0, 65535).astype(np.uint16)
        return np.asarray(im.convert("L"))


def rows(segments):
    return [{f: getattr(s, f) for f in FIELDS} for s in segments]


def write_text(out, name, segments):
    out.write(f"# {name}: {len(segments)} segments\n")
    out.write("#      x1       y1       x2       y2   width   log_nfa\n")
    for s in segments:
        out.write(f"{s.x1:8.2f} {s.y1:8.2f} {s.x2:8.2f} {s.y2:8.2f} {s.width:7.2f} {s.log_nfa:9.3f}\n")


def scale_value(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a finite number above 0 (got {text})")
    return value


def jobs_value(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more (got {text})")
    return value


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="trevalin-detect",
        description="Find the validated line segments of images (coordinates in input pixels, longest first).",
    )
    p.add_argument("images", nargs="+", metavar="IMAGE", help="image files (any format Pillow reads)")
    p.add_argument("--scale", type=scale_value, default=0.8,
                   help="downscaling factor before detection, above 0 (default 0.8; 1 or more = none)")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true",
                     help="print the segments as one JSON object that maps each image's path to its list of "
                     "segments, also for a single image")
    fmt.add_argument("--csv", action="store_true",
                     help="print the segments as CSV, one row per segment, the image's path in the first column "
                     "(\"image\"), also for a single image")
    p.add_argument(
        "--overlay",
        metavar="OUT.png",
        help="save the segments drawn over the image; with several images, put {stem} in the name. "
        "Alone (without --json or --csv) it prints one summary line per image instead of the segments",
    )
    p.add_argument("--jobs", "-j", type=jobs_value, default=1, metavar="N",
                   help="images processed at once, each in its own process (default 1; never more processes than "
                   "images or CPUs)")
    return p.parse_args(argv)


def main(argv=None):
    try:
        status = detect_images(parse_args(sys.argv[1:] if argv is None else argv))
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader stopped early (`trevalin-detect x.png | head`): not an
        # error of ours, and nothing more is worth doing. Standard output goes
        # nowhere from here on, so that flushing it at exit raises nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0


class Failure(Exception):
    """One image could not be processed; the message says why."""


def reason(e):
    text = str(e).splitlines()[0] if str(e) else ""
    return text or type(e).__name__


def process(path, scale, target):
    """Reads, detects and draws one image: (segments, milliseconds), or Failure."""
    try:
        gray = read_gray(path)
    except Exception as e:  # unreadable or not an image
        raise Failure(f"cannot read {path}: {reason(e)}") from None
    t0 = time.perf_counter()
    try:
        segments = trevalin.detect(gray, scale)
    except Exception as e:  # too large for memory or for the detector's indices
        raise Failure(f"cannot process {path}: {reason(e)}") from None
    ms = (time.perf_counter() - t0) * 1000
    if target:
        from trevalin_cli.drawing import overlay

        try:
            overlay(gray, segments).save(target)
        except Exception as e:
            raise Failure(f"cannot write {target}: {reason(e)}") from None
    return segments, ms


def cpu_count():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)


def share_the_cpus(jobs):
    # Each worker process has its own pool of compute threads: together they
    # use the CPUs once rather than `jobs` times over.
    if "RAYON_NUM_THREADS" not in os.environ:
        os.environ["RAYON_NUM_THREADS"] = str(max(1, cpu_count() // jobs))


def outcomes(args, targets):
    """(path, segments, ms) or (path, Failure, None) per image, in the order given."""
    work = [(path, args.scale, targets.get(path)) for path in args.images]
    jobs = min(args.jobs, len(work), cpu_count())
    if jobs == 1:
        for item in work:
            try:
                yield (item[0], *process(*item))
            except Failure as f:
                yield item[0], f, None
        return
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(max_workers=jobs, initializer=share_the_cpus, initargs=(jobs,)) as pool:
        futures = [pool.submit(process, *item) for item in work]
        try:
            for item, future in zip(work, futures):
                try:
                    yield (item[0], *future.result())
                except Failure as f:
                    yield item[0], f, None
                except Exception as e:  # the worker process died (out of memory, killed)
                    yield item[0], Failure(f"cannot process {item[0]}: {reason(e)}"), None
        finally:
            for future in futures:
                future.cancel()


def overlay_targets(args):
    """The overlay file of each image, or a message when two images would share one."""
    if not args.overlay:
        return {}, None
    if len(args.images) > 1 and "{stem}" not in args.overlay:
        return {}, "with several images, --overlay needs {stem} in its name"
    inputs = {os.path.realpath(path) for path in args.images}
    targets, owner = {}, {}
    for path in args.images:
        target = args.overlay.replace("{stem}", Path(path).stem)
        key = os.path.realpath(target)
        if key in owner and owner[key] != path:
            return {}, f"{owner[key]} and {path} would both write their overlay to {target}"
        if key in inputs:
            return {}, f"the overlay of {path} would overwrite the input image {target}"
        owner[key] = path
        targets[path] = target
    return targets, None


def detect_images(args):
    try:
        import PIL  # noqa: F401
    except ImportError:
        print("trevalin-detect: reading images needs Pillow: pip install 'trevalin[image]'", file=sys.stderr)
        return 2
    targets, clash = overlay_targets(args)
    if clash:
        print(f"trevalin-detect: {clash}", file=sys.stderr)
        return 2

    many = len(args.images) > 1
    summary_only = args.overlay and not (args.json or args.csv)
    results = {}
    total = failed = 0
    writer = None
    for i, (path, segments, ms) in enumerate(outcomes(args, targets), 1):
        if isinstance(segments, Failure):
            failed += 1
            print(f"trevalin-detect: {segments}", file=sys.stderr)
            continue
        total += len(segments)
        if many:
            print(f"[{i}/{len(args.images)}] {path}: {len(segments)} segments in {ms:.1f} ms", file=sys.stderr)
        if args.json:
            results[path] = rows(segments)
        elif args.csv:
            if writer is None:
                writer = csv.DictWriter(sys.stdout, fieldnames=["image"] + FIELDS)
                writer.writeheader()
            for r in rows(segments):
                writer.writerow({"image": path} | r)
        elif summary_only:
            print(f"{path}: {len(segments)} segments, drawn in {targets[path]}")
        else:
            write_text(sys.stdout, path, segments)

    if args.json:
        json.dump(results, sys.stdout, indent=1)
        sys.stdout.write("\n")
    if many:
        failures = f", {failed} failed" if failed else ""
        print(f"{len(args.images)} images, {total} segments{failures}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
