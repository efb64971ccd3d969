"""Type information for the native module trevalin."""

from typing import Literal, Sequence, SupportsFloat, SupportsIndex, TypeVar, Union, final

import numpy as np
import numpy.typing as npt

__all__ = ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]

_Float = Union[SupportsFloat, SupportsIndex]
_Filter = Literal["bilinear", "lanczos3"]
_Sample = TypeVar("_Sample", np.uint8, np.uint16)
_Gray = Union[
    npt.NDArray[np.uint8], npt.NDArray[np.uint16], npt.NDArray[np.float32], npt.NDArray[np.float64]
]

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

def detect(gray: _Gray, scale: _Float = ...) -> list[Segment]:
    """Find the validated line segments of a grayscale image."""

def warp_rgb(
    src: npt.NDArray[_Sample],
    inverse: Sequence[_Float] | npt.NDArray[np.floating],
    scale: _Float,
    off_x: _Float,
    off_y: _Float,
    filter: _Filter | str = "bilinear",
    out_size: tuple[int, int] | None = None,
) -> npt.NDArray[_Sample]:
    """Perspective-warp an RGB image through an inverse homography."""

def remap_rgb(
    src: npt.NDArray[_Sample],
    map_x: npt.NDArray[np.float32],
    map_y: npt.NDArray[np.float32],
    filter: _Filter | str = "bilinear",
) -> npt.NDArray[_Sample]:
    """Resample an RGB image through a coordinate map: output pixel (x, y)
    takes its value from source position (map_x[y, x], map_y[y, x])."""

def remap_gray(
    src: npt.NDArray[_Sample],
    map_x: npt.NDArray[np.float32],
    map_y: npt.NDArray[np.float32],
    filter: _Filter | str = "bilinear",
) -> npt.NDArray[_Sample]:
    """Resample a single-channel image (a mask) through a coordinate map."""
