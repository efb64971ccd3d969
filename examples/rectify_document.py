"""Rectify a photographed document: find the page's four edges with detect, fit the homography
with NumPy, warp the page to a fronto-parallel view with Lanczos-3, and carry its mask along.

The "photograph" is made here from the bundled photo of text on a wall: the text is laid on a
white page, and the page is put in perspective on a photographed table, so the true answer is known.

    python examples/rectify_document.py [OUT_PREFIX]
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
IMAGES = HERE.parent / "data" / "images"


def fit_homography(src, dst):
    """The 3x3 matrix H (H[2, 2] = 1) with H (x, y, 1) ~ (u, v, 1) for four point pairs."""
    a, b = [], []
    for (x, y), (u, v) in zip(src, dst):
        a.append([x, y, 1, 0, 0, 0, -u * x, -u * y])
        a.append([0, 0, 0, x, y, 1, -v * x, -v * y])
        b += [u, v]
    return np.append(np.linalg.solve(np.array(a, float), np.array(b, float)), 1.0).reshape(3, 3)


def make_page(width, height):
    text_image = Image.open(IMAGES / "text.png").convert("L")
    if text_image.width > 0.9 * width:
        fit = 0.86 * width / text_image.width
        text_image = text_image.resize((int(text_image.width * fit), int(text_image.height * fit)))
    text = np.asarray(text_image)
    page = np.full((height, width), 245, np.uint8)
    y = height // 10
    while y + text.shape[0] <= height - height // 10:
        x = (width - text.shape[1]) // 2
        page[y : y + text.shape[0], x : x + text.shape[1]] = np.maximum(text, 60)
        y += text.shape[0] + height // 20
    return np.dstack([page] * 3)


def make_scene(page, corners, size):
    """The page seen in perspective on a table: corners are where the page's outer corners land."""
    w, h = size
    table = np.asarray(Image.open(IMAGES / "coffee.png").convert("RGB"))
    # enlarge the table photo to the scene size (output pixel x reads x / s)
    s = max(w / table.shape[1], h / table.shape[0])
    background = trevalin.warp_rgb(table, [1, 0, 0, 0, 1, 0, 0, 0, 1], s, 0, 0, "bilinear", (w, h))
    background = (background * 0.55).astype(np.uint8)
    ph, pw = page.shape[:2]
    outer = [(-0.5, -0.5), (pw - 0.5, -0.5), (pw - 0.5, ph - 0.5), (-0.5, ph - 0.5)]
    to_page = fit_homography(corners, outer)  # scene pixel -> page position
    seen = trevalin.warp_rgb(page, to_page.ravel(), 1, 0, 0, "lanczos3", (w, h))
    coverage = trevalin.warp_rgb(np.full_like(page, 255), to_page.ravel(), 1, 0, 0, "bilinear", (w, h))
    alpha = coverage[:, :, :1] / 255.0
    scene = np.clip(seen + (1 - alpha) * background, 0, 255).astype(np.uint8)
    return scene, coverage[:, :, 0]


def side_means(gray, s, offset=6.0, samples=9):
    """Mean intensity a few pixels to the left and to the right of a segment."""
    h, w = gray.shape
    nx, ny = -(s.y2 - s.y1) / s.length, (s.x2 - s.x1) / s.length
    t = np.linspace(0.15, 0.85, samples)
    px, py = s.x1 + t * (s.x2 - s.x1), s.y1 + t * (s.y2 - s.y1)
    out = []
    for sign in (1, -1):
        x = np.clip(np.round(px + sign * offset * nx).astype(int), 0, w - 1)
        y = np.clip(np.round(py + sign * offset * ny).astype(int), 0, h - 1)
        out.append(gray[y, x].mean())
    return out


def page_edges(gray, segments):
    """Four lines (point, unit direction) bounding the bright page, from the long segments whose
    one side is page-bright and the other clearly darker."""
    longest = segments[0].length
    cands = []
    for s in segments:
        if s.length < 0.25 * longest:
            break
        a, b = side_means(gray, s)
        if max(a, b) > 170 and abs(a - b) > 50:
            cands.append(s)
    lines = []
    for family in (lambda s: abs(s.angle) < 45, lambda s: abs(s.angle) >= 45):
        group = [s for s in cands if family(s)]
        if len(group) < 2:
            raise RuntimeError("could not find the page's edges")
        # the two outermost lines across the family's direction
        d = np.mean([[np.cos(np.radians(s.angle)), np.sin(np.radians(s.angle))] for s in group], axis=0)
        n = np.array([-d[1], d[0]])
        offsets = [n @ [(s.x1 + s.x2) / 2, (s.y1 + s.y2) / 2] for s in group]
        for s in (group[int(np.argmin(offsets))], group[int(np.argmax(offsets))]):
            lines.append(fit_line(s, group))
    return lines


def fit_line(s, group):
    """The line through segment s, refined with every segment of its group lying on it
    (an edge often comes as several pieces): total least squares over their end points,
    first with a loose tolerance around the piece, then a tight one around the fit."""
    p = np.array([s.x1, s.y1])
    d = (np.array([s.x2, s.y2]) - p) / s.length
    for tolerance in (8.0, 1.5):
        n = np.array([-d[1], d[0]])
        pts = []
        for t in group:
            ends = np.array([[t.x1, t.y1], [t.x2, t.y2]])
            if np.abs((ends - p) @ n).max() < tolerance:
                pts += [ends[0], ends[1]]
        pts = np.array(pts)
        p = pts.mean(axis=0)
        _, _, vt = np.linalg.svd(pts - p)
        d = vt[0]
    return p, d


def intersect(l1, l2):
    (p, d), (q, e) = l1, l2
    t = np.linalg.solve(np.array([d, -e]).T, q - p)[0]
    return p + t * d


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("prefix", nargs="?", default="document")
    p.add_argument("--page", type=int, nargs=2, default=(520, 680), metavar=("W", "H"))
    args = p.parse_args(argv)

    pw, ph = args.page
    page = make_page(pw, ph)
    size = (int(pw * 1.6), int(ph * 1.25))
    truth = np.array([[0.22, 0.08], [0.80, 0.13], [0.74, 0.93], [0.12, 0.86]]) * size
    scene, coverage = make_scene(page, truth, size)
    gray = np.asarray(Image.fromarray(scene).convert("L"))

    segments = trevalin.detect(gray)
    top, bottom, left, right = page_edges(gray, segments)  # horizontal pair, then vertical pair
    if top[0][1] > bottom[0][1]:
        top, bottom = bottom, top
    if left[0][0] > right[0][0]:
        left, right = right, left
    found = np.array([intersect(top, left), intersect(top, right), intersect(bottom, right), intersect(bottom, left)])

    # Output pixel (x, y) of the rectified page -> scene position: the inverse homography.
    outer = [(-0.5, -0.5), (pw - 0.5, -0.5), (pw - 0.5, ph - 0.5), (-0.5, ph - 0.5)]
    inverse = fit_homography(outer, found)
    rectified = trevalin.warp_rgb(scene, inverse.ravel(), 1, 0, 0, "lanczos3", (pw, ph))

    # The same mapping as coordinate maps, to carry the page mask along.
    x, y = np.meshgrid(np.arange(pw, dtype=np.float64), np.arange(ph, dtype=np.float64))
    wgt = inverse[2, 0] * x + inverse[2, 1] * y + inverse[2, 2]
    map_x = ((inverse[0, 0] * x + inverse[0, 1] * y + inverse[0, 2]) / wgt).astype(np.float32)
    map_y = ((inverse[1, 0] * x + inverse[1, 1] * y + inverse[1, 2]) / wgt).astype(np.float32)
    mask = trevalin.remap_gray(coverage, map_x, map_y, "bilinear")

    overlay(gray, segments).save(f"{args.prefix}_segments.png")
    Image.fromarray(scene).save(f"{args.prefix}_photo.png")
    Image.fromarray(rectified).save(f"{args.prefix}_rectified.png")
    Image.fromarray(mask).save(f"{args.prefix}_mask.png")

    corner_error = np.abs(found - truth).max()
    inner = (slice(8, ph - 8), slice(8, pw - 8))
    err = np.abs(rectified[inner].astype(int) - page[inner].astype(int)).mean()
    print(f"{len(segments)} segments; page corners found within {corner_error:.2f} px of the truth")
    print(f"rectified page: mean absolute error {err:.2f} grey levels; mask covers {np.mean(mask > 127):.1%}")
    print(f"saved {args.prefix}_photo.png, _segments.png, _rectified.png, _mask.png")
    return corner_error, err, mask


if __name__ == "__main__":
    main()
