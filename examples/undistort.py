"""Undistort a photograph with a radial lens model through remap_rgb.

The example first simulates a barrel-distorted shot of a real photograph, then undoes the
distortion: for every pixel of the corrected image, the lens model says where it lies in the
distorted one, and remap_rgb samples it there.

    python examples/undistort.py [IMAGE] [OUT_PREFIX]
"""
import argparse
import pathlib

import numpy as np
from PIL import Image

import trevalin

HERE = pathlib.Path(__file__).resolve().parent


def radial_maps(width, height, k1, k2, inverse=False):
    """float32 maps of the model r_d = r (1 + k1 r^2 + k2 r^4), in normalised coordinates
    (focal length 0.9 * width, centre in the middle). Forward: ideal -> distorted position.
    inverse=True: distorted -> ideal, by a few fixed-point iterations."""
    f = 0.9 * width
    cx, cy = (width - 1) / 2, (height - 1) / 2
    x, y = np.meshgrid(np.arange(width, dtype=np.float64), np.arange(height, dtype=np.float64))
    xn, yn = (x - cx) / f, (y - cy) / f
    if not inverse:
        r2 = xn * xn + yn * yn
        k = 1 + k1 * r2 + k2 * r2 * r2
        ux, uy = xn * k, yn * k
    else:
        ux, uy = xn.copy(), yn.copy()
        for _ in range(20):
            r2 = ux * ux + uy * uy
            k = 1 + k1 * r2 + k2 * r2 * r2
            ux, uy = xn / k, yn / k
    return (ux * f + cx).astype(np.float32), (uy * f + cy).astype(np.float32)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("image", nargs="?", default=str(HERE.parent / "data" / "images" / "rocket.jpg"))
    p.add_argument("prefix", nargs="?", default="undistort")
    p.add_argument("--k1", type=float, default=-0.25)
    p.add_argument("--k2", type=float, default=0.05)
    args = p.parse_args(argv)

    with Image.open(args.image) as im:
        ideal = np.asarray(im.convert("RGB"))
    h, w = ideal.shape[:2]
    # Simulated shot: distorted pixel (x, y) shows the ideal image at the inverse-model position.
    dx, dy = radial_maps(w, h, args.k1, args.k2, inverse=True)
    distorted = trevalin.remap_rgb(ideal, dx, dy, "lanczos3")
    # Correction: ideal pixel (x, y) is found at the forward-model position of the distorted image.
    ux, uy = radial_maps(w, h, args.k1, args.k2)
    corrected = trevalin.remap_rgb(distorted, ux, uy, "lanczos3")

    Image.fromarray(distorted).save(f"{args.prefix}_distorted.png")
    Image.fromarray(corrected).save(f"{args.prefix}_corrected.png")
    inside = (ux >= 0) & (ux <= w - 1) & (uy >= 0) & (uy <= h - 1)
    inside[:8], inside[-8:], inside[:, :8], inside[:, -8:] = False, False, False, False
    err = np.abs(corrected.astype(int) - ideal.astype(int))[inside].mean()
    print(f"mean absolute error of the corrected image against the original: {err:.2f} grey levels")
    print(f"saved {args.prefix}_distorted.png and {args.prefix}_corrected.png")
    return err


if __name__ == "__main__":
    main()
