"""Type information for the native module trevalin (installed as the stub-only package trevalin-stubs)."""

from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final
from collections.abc import Sequence

import numpy as np

_Filter: TypeAlias = Literal["bilinear", "lanczos3"]

__all__ = ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]

# Whatever the interpreter's float conversion takes: floats, ints, NumPy scalars.
_Float = SupportsFloat | SupportsIndex
_Sample = TypeVar("_Sample", np.uint8, np.uint16)
_GrayDtype = np.dtype[np.uint8] | np.dtype[np.uint16] | np.dtype[np.float32] | np.dtype[np.float64]
_Map = np.ndarray[tuple[int, int], np.dtype[np.float32]]
# The nine coefficients of the 3x3 matrix in row-major order: a flat sequence, or
# a one-dimensional array such as `matrix.ravel()` (a (3, 3) array is refused).
_Inverse = Sequence[_Float] | np.ndarray[tuple[int], np.dtype[np.floating[Any] | np.integer[Any]]]

@final
class Segment:
    """One detected line segment, in input-image coordinates."""

    @property
    def x1(self) -> float: ...
    @property
    def y1(self) -> float: ...
    @property
    def x2(self) -> float: ...
    @property
    def y2(self) -> float: ...
    @property
    def width(self) -> float: ...
    @property
    def precision(self) -> float: ...
    @property
    def log_nfa(self) -> float: ...
    @property
    def angle(self) -> float:
        """Direction in degrees, -90 to 90, 0 = horizontal."""
    @property
    def length(self) -> float:
        """Length in pixels."""

def detect(gray: np.ndarray[tuple[int, int], _GrayDtype], scale: _Float = ...) -> list[Segment]:
    """Find the validated line segments of a grayscale image."""

def warp_rgb(
    src: np.ndarray[tuple[int, int, int], np.dtype[_Sample]],
    inverse: _Inverse,
    scale: _Float,
    off_x: _Float,
    off_y: _Float,
    filter: _Filter = "bilinear",
    out_size: tuple[SupportsIndex, SupportsIndex] | None = None,
) -> np.ndarray[tuple[int, int, int], np.dtype[_Sample]]:
    """Perspective-warp an RGB image through an inverse homography."""

def remap_rgb(
    src: np.ndarray[tuple[int, int, int], np.dtype[_Sample]],
    map_x: _Map,
    map_y: _Map,
    filter: _Filter = "bilinear",
) -> np.ndarray[tuple[int, int, int], np.dtype[_Sample]]:
    """Resample an RGB image through a coordinate map: output pixel (x, y)
    takes its value from source position (map_x[y, x], map_y[y, x])."""

def remap_gray(
    src: np.ndarray[tuple[int, int], np.dtype[_Sample]],
    map_x: _Map,
    map_y: _Map,
    filter: _Filter = "bilinear",
) -> np.ndarray[tuple[int, int], np.dtype[_Sample]]:
    """Resample a single-channel image (a mask) through a coordinate map."""
