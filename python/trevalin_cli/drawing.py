"""Drawing detected segments over an image (needs Pillow)."""
import numpy as np


def overlay(gray, segments, color=(255, 40, 40)):
    """An RGB PIL image of `gray` (dimmed) with every segment drawn on it."""
    from PIL import Image, ImageDraw

    gray = np.asarray(gray)
    g = gray.astype(np.float64)
    if gray.dtype != np.uint8 and g.size:
        # other sample types are stretched to 0..255 for display
        finite = g[np.isfinite(g)]
        lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
        g = (g - lo) / (hi - lo or 1.0) * 255.0
    base = (np.nan_to_num(g) * 0.6).astype(np.uint8)
    im = Image.fromarray(np.dstack([base] * 3), "RGB")
    draw = ImageDraw.Draw(im)
    for s in segments:
        draw.line([(s.x1, s.y1), (s.x2, s.y2)], fill=color, width=max(1, int(round(s.width / 2))))
    return im
