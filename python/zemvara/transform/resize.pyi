"""`resize`: an image to a new (width, height) on the GPU, with the filters of the affine warp."""

import cupy as cp

from .schema import INTER_AUTO as INTER_AUTO

__all__ = ["INTER_AUTO", "resize"]

def resize(image: cp.ndarray, dsize: tuple[int, int], interpolation: int = INTER_AUTO) -> cp.ndarray:
    """Resize an image to dsize = (width, height), OpenCV's order.

    image: a CuPy array (H, W), (H, W, C) or (C, H, W) of uint8, uint16,
    float16 or float32, any strides. A rank-3 image is channel-first when its
    shape says so (first axis 1, 3 or 4 and the others larger than 4).

    Returns a new array of the same rank, axis order, channel count and element
    type; integer results are rounded and clipped. Pixel centres are
    half-pixel aligned, as in OpenCV's resize. On reduction the cubic, Lanczos,
    Mitchell-family and area filters widen by the reduction factor
    (antialiased); nearest and bilinear do not. INTER_AUTO is Mitchell when
    either axis grows, area otherwise.
    """
