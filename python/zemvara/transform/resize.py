"""`resize`: an image to a new width and height on the GPU, with the filters of the affine warp.

It runs the resize kernel of the resampling source (`resampling/_source.cu`):
the same filters, antialiasing rule and float32 arithmetic as the warps, for
any channel count and either axis order, writing the source's element type.
"""

import operator

import cupy as cp
import numpy as np

from .resampling import _kernels, filters
from .schema import INTER_AREA, INTER_AUTO, INTER_MITCHELL

__all__ = ["INTER_AUTO", "resize"]

_BLOCK = (16, 16, 1)
_MAX_GRID_Y = 65535  # the kernel walks rows grid-stride past this


def _is_channel_first(shape):
    """Whether a rank-3 shape is (C, H, W): the layout inference rule for three axes.

    Channel-first when only the first axis can be a channel count (1, 3 or 4),
    or, both or neither being one, when the first axis has at most 4 entries and
    the other two more than 4; channel-last otherwise.
    """
    first, last = shape[0] in (1, 3, 4), shape[-1] in (1, 3, 4)
    if first != last:
        return first
    return shape[0] <= 4 and shape[1] > 4 and shape[2] > 4


def _target_size(dsize):
    if not isinstance(dsize, (tuple, list)):
        raise TypeError(f"resize: dsize must be a (width, height) tuple, got {type(dsize).__name__}")
    if len(dsize) != 2:
        raise ValueError(f"resize: dsize must be (width, height), two items, got {len(dsize)}")
    try:
        width, height = (operator.index(v) for v in dsize)
    except TypeError:
        raise TypeError(f"resize: dsize must hold two integers (width, height), got {dsize!r}") from None
    return width, height


def resize(image, dsize, interpolation=INTER_AUTO):
    """Resize an image to the size dsize = (width, height), the order of OpenCV's dsize.

    image: a CuPy array (H, W), (H, W, C) or (C, H, W) of uint8, uint16,
    float16 or float32, any strides; a rank-3 image is taken as channel-first
    when its shape says so (first axis a channel count of at most 4 and the two
    others larger than 4, or only the first axis a channel count 1, 3 or 4) and
    as channel-last otherwise.

    Returns a new array of the same rank, axis order, channel count (alpha
    included) and element type, height and width replaced; integer results are
    rounded to the nearest value and clipped to the type's range.

    Pixel centres are half-pixel aligned (output x samples the input at
    (x + 0.5) * W / width - 0.5), as OpenCV's resize does. Reductions are
    antialiased: the cubic, Lanczos and area filters widen by the reduction
    factor (nearest and bilinear do not). INTER_AUTO is Mitchell-Netravali
    (B = C = 1/3) when either axis grows, area averaging otherwise.
    """
    view = _kernels.array_view(image, "resize", "image", "reads")
    element = _kernels.element_of(view, "resize", "image")
    shape = view.shape
    if view.ndim == 2:
        height, width = shape
        channels, strides = 1, view.strides + (0,)
        channel_first = False
    elif view.ndim == 3:
        channel_first = _is_channel_first(shape)
        if channel_first:
            channels, height, width = shape
            strides = view.strides[1:] + view.strides[:1]
        else:
            height, width, channels = shape
            strides = view.strides
    else:
        raise ValueError(f"resize: image has shape {shape}; accepted: (H, W), (H, W, C) or (C, H, W)")
    if channels == 0:
        raise ValueError(f"resize: image of shape {shape} has no channels")
    _kernels.check_axes((height, width), "resize", "image")
    out_w, out_h = _target_size(dsize)
    if out_w <= 0 or out_h <= 0 or out_w > _kernels.MAX_AXIS or out_h > _kernels.MAX_AXIS:
        raise ValueError(f"resize: dsize (width, height) must lie in 1..{_kernels.MAX_AXIS}, got {tuple(dsize)}")

    if isinstance(interpolation, np.integer):
        interpolation = int(interpolation)
    if type(interpolation) is int and interpolation == INTER_AUTO:
        interpolation = INTER_MITCHELL if out_w > width or out_h > height else INTER_AREA
    row = filters.BY_INTER.get(interpolation) if type(interpolation) is int else None
    if row is None:
        raise ValueError("Unsupported interpolation: " + str(interpolation))

    itemsize = view.itemsize
    if any(s % itemsize for s in strides):  # strides the kernel cannot count in elements: a contiguous copy
        plain = cp.ndarray(shape, view.dtype, memptr=view.data, strides=view.strides)
        return resize(cp.ascontiguousarray(plain), dsize, interpolation)
    src_sy, src_sx, src_sc = (s // itemsize for s in strides)
    if view.ndim == 2:
        output = cp.empty((out_h, out_w), dtype=view.dtype)
        dst_sy, dst_sx, dst_sc = out_w, 1, 0
    elif channel_first:
        output = cp.empty((channels, out_h, out_w), dtype=view.dtype)
        dst_sy, dst_sx, dst_sc = out_w, 1, out_h * out_w
    else:
        output = cp.empty((out_h, out_w, channels), dtype=view.dtype)
        dst_sy, dst_sx, dst_sc = out_w * channels, channels, 1

    grid = ((out_w + _BLOCK[0] - 1) // _BLOCK[0], min((out_h + _BLOCK[1] - 1) // _BLOCK[1], _MAX_GRID_Y))
    kernel = _kernels.function(_kernels.resize_expression(row, element))
    kernel(
        grid,
        _BLOCK,
        (
            view.data, output, height, width, channels, src_sy, src_sx, src_sc,
            out_h, out_w, dst_sy, dst_sx, dst_sc,
            np.float32(width / out_w), np.float32(height / out_h), *(np.float32(v) for v in row.values()),
        ),
    )  # fmt: skip
    return output
