"""Warp kernels with border modes: specialisations of `_warp.cu`, compiled at first use and kept per device.

`_warp.cu` is one template over the filter's traits block, the element type,
the channel count and the projection (affine or perspective); the border mode,
the fill value and the filter's parameters are run-time arguments. It is
compiled behind the shared filter definitions (`_filters.cuh`), so every
filter of the table in `filters.py` warps with the same weights as `affine`.

`warp_affine_kernel` and `warp_perspective_kernel` are the callables the warp
module launches, as `kernel(grid, block, args)`; see `WarpKernel`.
`WARP_FILTERS` maps each INTER_* constant to what the kernels take for it.
"""

from pathlib import Path

import cupy as cp
import numpy as np

from . import _kernels, filters
from ._kernels import ELEMENTS, MAX_AXIS, array_view

warp_kernel_code = filters.FILTERS_CODE + (Path(__file__).parent / "_warp.cu").read_text()

# The traits blocks of the table, one specialisation family each.
FAMILIES = tuple(dict.fromkeys(row.traits for row in filters.FILTERS))
CHANNELS = (1, 2, 3, 4)
BORDERS = range(6)  # BORDER_CONSTANT .. BORDER_TRANSPARENT

# INTER_* value -> (traits block, its two parameters), from the filter table.
WARP_FILTERS = {row.inter: (row.traits, *row.values()) for row in filters.FILTERS}

# (device id, name expression) -> compiled kernel.
_functions = {}


def expression(traits, element, channels, perspective):
    return f"zemvara::warp_image<{traits}, zemvara::{element}, {channels}, {str(perspective).lower()}>"


def all_expressions():
    """Every specialisation the warp kernels can ask for."""
    return tuple(
        expression(t, e, c, p) for p in (False, True) for t in FAMILIES for e in ELEMENTS.values() for c in CHANNELS
    )


def function(name_expression):
    key = (cp.cuda.Device().id, name_expression)
    kernel = _functions.get(key)
    if kernel is None:
        module = cp.RawModule(code=warp_kernel_code, options=_kernels.OPTIONS, name_expressions=(name_expression,))
        kernel = _functions[key] = module.get_function(name_expression)
    return kernel


def _element_strides(view, who, what):
    if any(s % view.itemsize for s in view.strides):
        raise ValueError(f"{who}: {what} has strides {view.strides}, not whole elements of {view.itemsize} bytes")
    return tuple(np.int64(s // view.itemsize) for s in view.strides)


def _bytes(view):
    """The byte range [lo, hi) of device memory an array view's elements occupy."""
    lo, hi = _kernels._extent(view.shape, view.strides)
    return view.data.ptr + lo, view.data.ptr + hi + view.itemsize


class WarpKernel:
    """The warp kernel of one projection, launched as `kernel(grid, block, args)`.

    `args` is `(src, dst, matrices, traits, border, fill, p0, p1)`:
    - `src`, `dst`: CuPy arrays (N, H, W, C) and (N, H', W', C) of one element
      type (uint8, uint16, float16, float32) and 1 to 4 channels, any strides
      in whole elements (a source whose channels do not lie side by side is
      copied first); they must not overlap.
    - `matrices`: a C-contiguous float32 CuPy array (1, 9) or (N, 9), the
      inverse maps (destination to source), row-major 3 x 3; an affine map
      uses the first six values. One row serves the whole batch.
    - `traits`: a filter's traits block (`FAMILIES`), `p0`, `p1` its parameters.
    - `border`: 0..5, the border mode; `fill`: one float per channel.
    - `grid`, `block`: x along the destination width, y along its height, z
      along the batch; rows and images beyond the grid are walked in turn.

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
        src, dst, matrices, traits, border, fill, p0, p1 = args
        source = array_view(src, who, "src")
        output = array_view(dst, who, "dst", "writes")
        table = array_view(matrices, who, "matrices")
        for what, view in (("src", source), ("dst", output)):
            if view.ndim != 4 or view.dtype not in ELEMENTS or view.shape[3] not in CHANNELS:
                raise ValueError(f"{who}: {what} must be (N, H, W, C) of {_kernels.ACCEPTED_DTYPES}, C from 1 to 4")
        n, h, w, channels = source.shape
        if output.dtype != source.dtype or output.shape[0] != n or output.shape[3] != channels:
            raise ValueError(f"{who}: src {source.dtype} {source.shape} and dst {output.dtype} {output.shape} do not match")
        _kernels.check_axes((h, w), who)
        if max(output.shape[1:3]) > MAX_AXIS:
            raise ValueError(f"{who}: dst of shape {output.shape} is too large; axes up to {MAX_AXIS}")
        if table.dtype != np.float32 or table.shape not in ((1, 9), (n, 9)) or not table.c_contiguous:
            raise ValueError(f"{who}: matrices must be a C-contiguous float32 CuPy array (1, 9) or ({n}, 9)")
        if traits not in FAMILIES or border not in BORDERS or len(fill) != channels:
            raise ValueError(f"{who}: traits {traits}, border {border} or fill {fill} out of range")
        if output.size == 0:
            return
        src_strides = _element_strides(source, who, "src")
        if channels > 1 and src_strides[3] != 1:  # the kernel reads a pixel's channels side by side
            src = cp.ascontiguousarray(src)
            source = array_view(src, who, "src")
            src_strides = _element_strides(source, who, "src")
        if abs(src_strides[2]) * (w - 1) + abs(src_strides[3]) * (channels - 1) >= 2**31:
            raise ValueError(f"{who}: a row of src spans 2**31 elements or more; the kernel indexes within a row in 32 bits")
        dst_strides = _element_strides(output, who, "dst")
        (src_lo, src_hi), (dst_lo, dst_hi) = _bytes(source), _bytes(output)
        if src_lo < dst_hi and dst_lo < src_hi:
            raise ValueError(f"{who}: dst overlaps src; the kernel reads src while it writes dst")
        _check_grid(grid, block, output.shape, who)
        fill4 = tuple(np.float32(v) for v in fill) + (np.float32(0),) * (4 - channels)
        kernel = function(expression(traits, ELEMENTS[source.dtype], channels, self.perspective))
        step = np.int64(9 if table.shape[0] > 1 else 0)
        kernel(
            grid,
            block,
            (source.data, output.data, table.data, step, np.int64(n), np.int64(h), np.int64(w), *src_strides[:3],
             np.int64(output.shape[1]), np.int64(output.shape[2]), *dst_strides, np.int64(border), *fill4,
             np.float32(p0), np.float32(p1)),
        )  # fmt: skip


def _check_grid(grid, block, shape, who):
    """Refuse a launch whose blocks miss part of a row or run more than one block past it along x or y.

    Rows and images beyond the grid's y and z extent are walked in turn, so
    those may be fewer than the output holds.
    """
    try:
        (gx, gy, gz), (bx, by, bz) = (tuple(int(v) for v in t) for t in (grid, block))
    except (TypeError, ValueError):
        raise ValueError(f"{who}: grid and block must be three integers each, got {grid!r} and {block!r}") from None
    _, height, width, _ = shape
    if (
        min(gx, gy, gz, bx, by) < 1 or bz != 1 or gz > 65535
        or not -(-width // bx) <= gx <= -(-width // bx) + 1
        or gy > -(-height // by) + 1
    ):  # fmt: skip
        raise ValueError(f"{who}: grid {grid} of blocks {block} does not fit an output of width {width}, height {height}")


warp_affine_kernel = WarpKernel(perspective=False)
warp_perspective_kernel = WarpKernel(perspective=True)


def report_expressions():
    """(expression, per_tap, count) of every specialisation, for the compiled-kernel report: a tap
    is one global load per channel."""
    return [(e, int(e.split(",")[2]), "loads") for e in all_expressions()]
