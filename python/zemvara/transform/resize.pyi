"""`resize`: an image to a new (width, height) on the GPU, with the filters of the affine warp."""

from typing import List, Literal, Optional, Tuple, TypeVar, Union

import cupy as cp

from .schema import INTER_AUTO as INTER_AUTO

__all__ = ["INTER_AUTO", "resize"]

# A CuPy array, a PyTorch tensor or another library's device array, or a list of
# one kind of them: the result is of its kind.
_Image = TypeVar("_Image")

def resize(
    image: _Image,
    dsize: Union[Tuple[int, int], List[Tuple[int, int]]],
    interpolation: int = INTER_AUTO,
    *,
    compat: Optional[Literal["pil", "cv2"]] = None,
    linear: bool = False,
    alpha: Optional[Literal["premultiplied"]] = None,
) -> _Image:
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

    image may also be a PyTorch tensor or another library's device array
    (DLPack or the CUDA array interface), (H, W), (H, W, C) or (N, H, W, C),
    read in place on PyTorch's current stream; the result is then a tensor. A
    channel-first tensor, or one that requires grad, is refused.

    image may also be a list of images of different sizes, of one element type
    and channel count (CuPy arrays or tensors, not mixed), with dsize one
    (width, height) or a list of one per image: a list of results, each equal
    to the single call's, in one launch per pass.

    compat="pil" gives Pillow's bytes instead (PIL.Image.resize, RGBA
    premultiplied as Pillow does); interpolation is then a Pillow filter value.
    compat="cv2" gives OpenCV's values (cv2.resize, uint8 within 1 on every
    value); interpolation is then a cv2.INTER_* value.

    linear=True resamples in linear light: values taken as sRGB-encoded are
    decoded, filtered and encoded again (integers to the nearest level); the
    alpha channel of a 4-channel image stays as it is. alpha="premultiplied"
    (4-channel images) weighs colour by alpha, so that transparent pixels give
    no colour; straight alpha in and out.
    """
