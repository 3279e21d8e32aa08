"""The warp kernels with border modes, as the warp module launches them: `warp_affine_kernel`, `warp_perspective_kernel`.

The kernels are the `WARP` source of `_sources` (`_warp.cu`): one
template over the filter's traits block, the element type, the channel count
and the projection (affine or perspective); the border mode, the fill value
and the filter's parameters are run-time arguments. It is compiled behind the
shared filter definitions (`_filters.cuh`), so every filter of the table in
`filters.py` warps with the same weights as `affine`.

`warp_affine_kernel` and `warp_perspective_kernel` are launched as
`kernel(grid, block, args)`; see `WarpKernel`. `WARP_FILTERS` maps each
INTER_* constant to what the kernels take for it; `WARP_BORDERS` is the border
table; `WARP_ACCEPTS` words what the kernels accept for the warp module's
messages.
"""

import cupy as cp
import numpy as np

from . import _sources, borders, filters, light
from ._launch import (
    ACCEPTED_DTYPES,
    ELEMENTS,
    MAX_AXIS,
    array_view,
    byte_range,
    check_axes,
    check_batch_grid,
    element_strides,
    overlaps_itself,
    plain,
    whole_elements,
)

# The traits blocks of the table, one specialisation family each.
FAMILIES = _sources.WARP_TRAITS
CHANNELS = _sources.WARP_CHANNELS
BORDERS = borders.VALUES  # the values of the border modes

# INTER_* value -> (traits block, its two parameters), from the filter table.
WARP_FILTERS = {row.inter: (row.traits, *row.values()) for row in filters.FILTERS}

# The border table, whose rows the warp module binds as its BORDER_* constants.
WARP_BORDERS = borders.BORDERS

# What the warp module's messages say the kernels accept, from the tables.
WARP_ACCEPTS = {"flags": filters.accepted_names(), "border_mode": borders.accepted_names(), "max_axis": MAX_AXIS}


class WarpKernel:
    """The warp kernel of one projection, launched as `kernel(grid, block, args)`.

    `args` is `(src, dst, matrices, traits, border, fill, p0, p1)`, or the same and a light route
    ("kernel": uint8 values taken as sRGB-encoded, decoded in the loads and encoded in the stores, the
    fill already decoded; see light.py):
    - `src`, `dst`: CuPy arrays (N, H, W, C) and (N, H', W', C) of one element
      type (uint8, uint16, float16, float32) and 1 to 4 channels, any strides
      (the kernel counts strides in elements and reads a pixel's channels side
      by side: a source otherwise is copied first, a destination written
      through a copy); they must not overlap each other, nor dst itself.
    - `matrices`: a C-contiguous float32 CuPy array (1, 9) or (N, 9), the
      inverse maps (destination to source), row-major 3 x 3; an affine map
      uses the first six values. One row serves the whole batch.
    - `traits`: a filter's traits block (`FAMILIES`), `p0`, `p1` its parameters.
    - `border`: 0..5, the border mode; `fill`: one float per channel.
    - `grid`, `block`: x along the destination width, y along its height, z
      along the batch, at most 256 threads a block; rows and images beyond
      the grid are walked in turn.

    Bad arguments raise TypeError or ValueError before anything is launched.
    The launch is asynchronous on the current stream.
    """

    def __init__(self, perspective):
        self.perspective = perspective
        self.__name__ = f"warp_{'perspective' if perspective else 'affine'}_kernel"

    def __repr__(self):
        return f"<resampling kernel {self.__name__}>"

    def __call__(self, grid, block, args):
        who = self.__name__
        src, dst, matrices, traits, border, fill, p0, p1, *route = args
        source = array_view(src, who, "src")
        output = array_view(dst, who, "dst", "writes")
        table = array_view(matrices, who, "matrices")
        for what, view in (("src", source), ("dst", output)):
            if view.ndim != 4 or view.dtype not in ELEMENTS or view.shape[3] not in CHANNELS:
                raise ValueError(f"{who}: {what} must be (N, H, W, C) of {ACCEPTED_DTYPES}, C from 1 to 4")
        n, h, w, channels = source.shape
        if output.dtype != source.dtype or output.shape[0] != n or output.shape[3] != channels:
            raise ValueError(f"{who}: src {source.dtype} {source.shape} and dst {output.dtype} {output.shape} do not match")
        check_axes((h, w), who)
        if max(output.shape[1:3]) > MAX_AXIS:
            raise ValueError(f"{who}: dst of shape {output.shape} is too large; axes up to {MAX_AXIS}")
        if table.dtype != np.float32 or table.shape not in ((1, 9), (n, 9)) or not table.c_contiguous:
            raise ValueError(f"{who}: matrices must be a C-contiguous float32 CuPy array (1, 9) or ({n}, 9)")
        if traits not in FAMILIES or border not in BORDERS or len(fill) != channels:
            raise ValueError(f"{who}: traits {traits}, border {border} or fill {fill} out of range")
        if output.size == 0:
            return
        if not whole_elements(source) or (channels > 1 and source.strides[3] != source.itemsize):
            source = array_view(cp.ascontiguousarray(plain(source)), who, "src")
        (src_lo, src_hi), (dst_lo, dst_hi) = byte_range(source), byte_range(output)
        if src_lo < dst_hi and dst_lo < src_hi:
            raise ValueError(f"{who}: dst overlaps src; the kernel reads src while it writes dst")
        if overlaps_itself(output):
            raise ValueError(
                f"{who}: dst overlaps itself (shape {output.shape}, strides {output.strides}); "
                "the kernel writes each element of dst once"
            )
        target = None  # the caller's dst, when the kernel writes a copy of it
        if not whole_elements(output):
            target = plain(output)
            output = array_view(cp.ascontiguousarray(target), who, "dst", "writes")
        src_strides = element_strides(source, who, "src")
        if abs(src_strides[2]) * (w - 1) + abs(src_strides[3]) * (channels - 1) >= 2**31:
            raise ValueError(f"{who}: a row of src spans 2**31 elements or more; the kernel indexes within a row in 32 bits")
        dst_strides = element_strides(output, who, "dst")
        check_batch_grid(grid, block, output.shape, who)
        if int(block[0]) * int(block[1]) > 256:
            raise ValueError(f"{who}: blocks {block} hold more than the 256 threads the kernels are built for")
        fill4 = tuple(np.float32(v) for v in fill) + (np.float32(0),) * (4 - channels)
        kernel = _sources.WARP.function(
            _sources.warp_expression(traits, light.element(ELEMENTS[source.dtype], route[0] if route else None), channels,
                                     self.perspective)  # fmt: skip
        )
        step = np.int64(9 if table.shape[0] > 1 else 0)
        kernel(
            grid,
            block,
            (source.data, output.data, table.data, step, np.int64(n), np.int64(h), np.int64(w), *src_strides[:3],
             np.int64(output.shape[1]), np.int64(output.shape[2]), *dst_strides, np.int64(border), *fill4,
             np.float32(p0), np.float32(p1)),
        )  # fmt: skip
        if target is not None:
            target[...] = cp.ndarray(output.shape, output.dtype, memptr=output.data)


warp_affine_kernel = WarpKernel(perspective=False)
warp_perspective_kernel = WarpKernel(perspective=True)
