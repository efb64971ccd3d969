"""trevalin-detect: find the line segments of photographs from the command line."""
import argparse
import csv
import json
import os
import sys
import time

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


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="trevalin-detect",
        description="Find the validated line segments of images (coordinates in input pixels, longest first).",
    )
    p.add_argument("images", nargs="+", metavar="IMAGE", help="image files (any format Pillow reads)")
    p.add_argument("--scale", type=float, default=0.8, help="downscaling factor before detection (default 0.8; 1 = none)")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true", help="print the segments as JSON")
    fmt.add_argument("--csv", action="store_true", help="print the segments as CSV")
    p.add_argument(
        "--overlay",
        metavar="OUT.png",
        help="save the segments drawn over the image; with several images, put {stem} in the name",
    )
    return p.parse_args(argv)


def main(argv=None):
    try:
        return detect_images(parse_args(sys.argv[1:] if argv is None else argv))
    except BrokenPipeError:
        # The reader stopped early (`trevalin-detect x.png | head`): that is
        # not an error of ours. Standard output goes nowhere from here on, so
        # that flushing it at exit raises nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def detect_images(args):
    try:
        import PIL  # noqa: F401
    except ImportError:
        print("trevalin-detect: reading images needs Pillow: pip install 'trevalin[image]'", file=sys.stderr)
        return 2
    if args.overlay and len(args.images) > 1 and "{stem}" not in args.overlay:
        print("trevalin-detect: with several images, --overlay needs {stem} in its name", file=sys.stderr)
        return 2

    many = len(args.images) > 1
    results = {}
    total = 0
    writer = None
    for i, path in enumerate(args.images, 1):
        try:
            gray = read_gray(path)
        except Exception as e:  # unreadable or not an image
            reason = str(e).splitlines()[0] if str(e) else type(e).__name__
            print(f"trevalin-detect: cannot read {path}: {reason}", file=sys.stderr)
            return 1
        t0 = time.perf_counter()
        segments = trevalin.detect(gray, args.scale)
        ms = (time.perf_counter() - t0) * 1000
        total += len(segments)
        if many:
            print(f"[{i}/{len(args.images)}] {path}: {len(segments)} segments in {ms:.1f} ms", file=sys.stderr)

        if args.json:
            results[path] = rows(segments)
        elif args.csv:
            if writer is None:
                writer = csv.DictWriter(sys.stdout, fieldnames=(["image"] if many else []) + FIELDS)
                writer.writeheader()
            for r in rows(segments):
                writer.writerow(({"image": path} if many else {}) | r)
        else:
            write_text(sys.stdout, path, segments)

        if args.overlay:
            from pathlib import Path

            from trevalin_cli.drawing import overlay

            target = args.overlay.replace("{stem}", Path(path).stem)
            overlay(gray, segments).save(target)

    if args.json:
        json.dump(results if many else results[args.images[0]], sys.stdout, indent=1)
        sys.stdout.write("\n")
    if many:
        print(f"{len(args.images)} images, {total} segments", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
