"""Affine and perspective warps shaped like OpenCV's: border modes, fill values, any element type and batches."""

from typing import Any, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

import cupy as cp
import numpy as np

from .schema import INTER_AREA as INTER_AREA
from .schema import INTER_AUTO as INTER_AUTO
from .schema import INTER_B_SPLINE as INTER_B_SPLINE
from .schema import INTER_CATMULL_ROM as INTER_CATMULL_ROM
from .schema import INTER_CUBIC as INTER_CUBIC
from .schema import INTER_LANCZOS2 as INTER_LANCZOS2
from .schema import INTER_LANCZOS3 as INTER_LANCZOS3
from .schema import INTER_LANCZOS4 as INTER_LANCZOS4
from .schema import INTER_LINEAR as INTER_LINEAR
from .schema import INTER_MITCHELL as INTER_MITCHELL
from .schema import INTER_NEAREST as INTER_NEAREST

BORDER_CONSTANT: int = 0  # iiiiii|abcdefgh|iiiiiii: `border_value` (i): one number for every channel, or one per channel
BORDER_REPLICATE: int = 1  # aaaaaa|abcdefgh|hhhhhhh: the edge pixel
BORDER_REFLECT: int = 2  # fedcba|abcdefgh|hgfedcb: the mirror image, edge repeated
BORDER_WRAP: int = 3  # cdefgh|abcdefgh|abcdefg: the opposite side
BORDER_REFLECT_101: int = 4  # gfedcb|abcdefgh|gfedcba: the mirror image about the edge pixel
BORDER_TRANSPARENT: int = 5  # uvwxyz|abcdefgh|ijklmno: nothing: pixels whose position lies outside the source keep what `dst` holds (`dst` required; taps near the edge as `BORDER_REFLECT_101`)
WARP_INVERSE_MAP: int = 16  # 16: M already maps destination to source

# A CuPy array, a PyTorch tensor or another library's device array, or a list of
# one kind of them: the result is of its kind.
_Image = TypeVar("_Image")

WARP_ACCEPTS: Dict[str, Any]  # what the messages say the kernels accept: "flags", "border_mode", "max_axis"
WARP_BORDERS: Tuple[Any, ...]  # the border table: (name, value, diagram, reads, needs_dst) per mode
WARP_FILTERS: Dict[int, Tuple[str, float, float]]  # INTER_* value -> (traits block, its parameters)
warp_affine_kernel: Any
warp_perspective_kernel: Any

def warp_affine(
    src: _Image,
    M: Union[np.ndarray, cp.ndarray, Sequence[Sequence[float]]],
    dsize: Union[Tuple[int, int], List[Tuple[int, int]]],
    flags: Union[int, np.integer] = INTER_LINEAR,
    border_mode: Union[int, np.integer] = BORDER_CONSTANT,
    border_value: Union[float, Sequence[float]] = 0,
    dst: Optional[_Image] = None,
    linear: bool = False,
    alpha: Optional[str] = None,
) -> _Image:
    """Warp an image or a batch by an affine matrix, as cv2.warpAffine does.

    dst(x, y) = src(M^-1 (x, y)) with pixel centres at integer coordinates,
    positions computed exactly. src is (H, W), (H, W, C) or (N, H, W, C) with
    1 to 4 channels of uint8, uint16, float16 or float32; M is 2 x 3, or
    (N, 2, 3) with one matrix per image; dsize is (width, height), (0, 0) for
    the source's size. flags is an INTER_* filter, | WARP_INVERSE_MAP when M
    maps destination to source. Widening filters are antialiased on
    reduction. border_mode applies to every tap; border_value is one value
    for every channel or one per channel. The result has src's element type
    and channels (integers rounded and saturated); it is written into dst
    when given (BORDER_TRANSPARENT requires it). One launch per call.

    linear=True takes the values as sRGB-encoded and warps in linear light
    (border_value too; the alpha channel of a 4-channel image as it is);
    alpha="premultiplied" (4 channels) weighs colour by alpha, straight alpha
    in and out. Both as resize takes them.

    src (and dst) may be a PyTorch tensor or another library's device array
    (DLPack or the CUDA array interface), (H, W), (H, W, C) or (N, H, W, C),
    read and written in place; the warp then runs on PyTorch's current stream
    and returns a tensor. A channel-first tensor, or one that requires grad, is
    refused.

    src may also be a list of images of different sizes, (H, W) or (H, W, C)
    of one element type and channel count (CuPy arrays or tensors, not
    mixed), with M one matrix or one per image, dsize one (width, height) or a
    list of one per image, and dst None or a list: a list of results, each
    equal to the single call's, in one launch.
    """

def warp_perspective(
    src: _Image,
    M: Union[np.ndarray, cp.ndarray, Sequence[Sequence[float]]],
    dsize: Union[Tuple[int, int], List[Tuple[int, int]]],
    flags: Union[int, np.integer] = INTER_LINEAR,
    border_mode: Union[int, np.integer] = BORDER_CONSTANT,
    border_value: Union[float, Sequence[float]] = 0,
    dst: Optional[_Image] = None,
    linear: bool = False,
    alpha: Optional[str] = None,
) -> _Image:
    """Warp an image or a batch by a 3 x 3 projective matrix, as cv2.warpPerspective does.

    The arguments are those of warp_affine, with M 3 x 3 or (N, 3, 3). Where
    the projection's denominator is zero or negative the pixel lies outside
    the source. Reductions are antialiased from the local Jacobian of the
    inverse map at each pixel: the stretch along each axis is the length of
    that row of the Jacobian, never below 1.
    """
