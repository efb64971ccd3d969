"""Detect the line segments of a real photograph and save them drawn over it.

    python examples/detect_photo.py [IMAGE] [OUT.png] [--scale S]
"""
import argparse
import pathlib
import sys

import numpy as np
from PIL import Image

import trevalin

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from trevalin_cli_path import overlay  # noqa: E402


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("image", nargs="?", default=str(HERE.parent / "data" / "images" / "rocket.jpg"))
    p.add_argument("out", nargs="?", default="segments.png")
    p.add_argument("--scale", type=float, default=0.8)
    args = p.parse_args(argv)

    with Image.open(args.image) as im:
        gray = np.asarray(im.convert("L"))
    segments = trevalin.detect(gray, args.scale)
    overlay(gray, segments).save(args.out)
    print(f"{len(segments)} segments, longest {segments[0].length:.1f} px" if segments else "no segments")
    print(f"saved {args.out}")
    return segments


if __name__ == "__main__":
    main()
