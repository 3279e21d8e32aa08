"""Warp kernels with border modes: specialisations of `_warp.cu`, compiled at first use and kept per device.

`_warp.cu` is one template over the filter family, the element type, the
channel count and the projection (affine or perspective); the border mode, the
fill value and the filter's parameters are run-time arguments. The source is
compiled with the shared filter definitions in front.

`warp_affine_kernel` and `warp_perspective_kernel` are the callables the warp
module launches, as `kernel(grid, block, args)`; see `WarpKernel`.
"""

from pathlib import Path

import cupy as cp
import numpy as np

from .. import schema
from . import _kernels
from ._kernels import AREA, BILINEAR, ELEMENTS, LANCZOS, MAX_AXIS, MITCHELL, NEAREST

# The filter definitions, then the warp kernels.
warp_kernel_code = _kernels.resampling_kernel_code + "\n" + (Path(__file__).parent / "_warp.cu").read_text()

# Filter families of the warp kernels (the cubic family takes B and C).
FAMILIES = (NEAREST, BILINEAR, AREA, MITCHELL, LANCZOS)
_FAMILY_EXPR = {NEAREST: "NEAREST", BILINEAR: "BILINEAR", AREA: "AREA", MITCHELL: "MITCHELL", LANCZOS: "LANCZOS"}
CHANNELS = (1, 2, 3, 4)
BORDERS = range(6)  # BORDER_CONSTANT .. BORDER_TRANSPARENT

# (device id, name expression) -> compiled kernel.
_functions = {}


def expression(family, element, channels, perspective):
    return f"zemvara::warp_image<zemvara::{_FAMILY_EXPR[family]}, zemvara::{element}, {channels}, {str(perspective).lower()}>"


def all_expressions():
    """Every specialisation the warp kernels can ask for."""
    return tuple(
        expression(k, e, c, p) for p in (False, True) for k in FAMILIES for e in ELEMENTS.values() for c in CHANNELS
    )


def function(name_expression):
    key = (cp.cuda.Device().id, name_expression)
    kernel = _functions.get(key)
    if kernel is None:
        module = cp.RawModule(code=warp_kernel_code, options=_kernels.OPTIONS, name_expressions=(name_expression,))
        kernel = _functions[key] = module.get_function(name_expression)
    return kernel


def _extent(array):
    """(first, last + itemsize) byte offsets from data.ptr of the elements an array's strides reach."""
    lo = hi = 0
    for n, stride in zip(array.shape, array.strides):
        if n == 0:
            return 0, 0
        if stride < 0:
            lo += (n - 1) * stride
        else:
            hi += (n - 1) * stride
    return lo, hi + array.dtype.itemsize


def require_memory(array, who, what, access):
    """Refuse an array whose strides reach outside the allocation its data pointer lies in."""
    lo, hi = _extent(array)
    data = cp.ndarray.data.__get__(array)
    offset = data.ptr - data.mem.ptr
    if offset + lo < 0 or offset + hi > data.mem.size:
        raise ValueError(
            f"{who}: {what} claims bytes {offset + lo}..{offset + hi} of an allocation of "
            f"{data.mem.size} bytes; the kernel {access} them all"
        )
    return data.ptr + lo, data.ptr + hi


def _element_strides(array, who, what):
    itemsize = array.dtype.itemsize
    if any(s % itemsize for s in array.strides):
        raise ValueError(f"{who}: {what} has strides {array.strides}, not whole elements of {itemsize} bytes")
    return tuple(s // itemsize for s in array.strides)


class WarpKernel:
    """The warp kernel of one projection, launched as `kernel(grid, block, args)`.

    `args` is `(src, dst, matrices, family, border, fill, B, C, A)`:
    - `src`, `dst`: CuPy arrays (N, H, W, C) and (N, H', W', C) of one element
      type (uint8, uint16, float16, float32) and 1 to 4 channels, any strides
      in whole elements; they must not overlap.
    - `matrices`: a C-contiguous float32 CuPy array (1, 9) or (N, 9), the
      inverse maps (destination to source), row-major 3 x 3; an affine map
      uses the first six values. One row serves the whole batch.
    - `family`: NEAREST, BILINEAR, AREA, MITCHELL (B, C) or LANCZOS (A).
    - `border`: 0..5, the border mode; `fill`: one float per channel.
    - `grid`, `block`: x along the destination width, y along its height,
      z along the batch (rows and images beyond the grid are walked in turn).

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
        src, dst, matrices, family, border, fill, b, c, a = args
        for what, array in (("src", src), ("dst", dst)):
            if not isinstance(array, cp.ndarray) or array.ndim != 4 or array.dtype not in ELEMENTS:
                raise ValueError(f"{who}: {what} must be a 4-D CuPy array of {_kernels.ACCEPTED_DTYPES}")
        n, h, w, channels = src.shape
        if dst.dtype != src.dtype or dst.shape[0] != n or dst.shape[3] != channels or channels not in CHANNELS:
            raise ValueError(f"{who}: src {src.dtype} {src.shape} and dst {dst.dtype} {dst.shape} do not match")
        _kernels.check_axes((h, w), who)
        if max(dst.shape[1:3]) > MAX_AXIS:
            raise ValueError(f"{who}: dst of shape {dst.shape} is too large; axes up to {MAX_AXIS}")
        if (
            not isinstance(matrices, cp.ndarray)
            or matrices.dtype != np.float32
            or matrices.ndim != 2
            or matrices.shape[1] != 9
            or matrices.shape[0] not in (1, n)
            or not matrices.flags.c_contiguous
        ):
            raise ValueError(f"{who}: matrices must be a C-contiguous float32 CuPy array (1, 9) or ({n}, 9)")
        if family not in FAMILIES or border not in BORDERS or len(fill) != channels:
            raise ValueError(f"{who}: family {family}, border {border} or fill {fill} out of range")
        if dst.size == 0:
            return
        src_strides = _element_strides(src, who, "src")
        dst_strides = _element_strides(dst, who, "dst")
        src_lo, src_hi = require_memory(src, who, "src", "reads")
        dst_lo, dst_hi = require_memory(dst, who, "dst", "writes")
        require_memory(matrices, who, "matrices", "reads")
        if src_lo < dst_hi and dst_lo < src_hi:
            raise ValueError(f"{who}: dst overlaps src; the kernel reads src while it writes dst")
        fill4 = tuple(np.float32(v) for v in fill) + (np.float32(0),) * (4 - channels)
        kernel = function(expression(family, ELEMENTS[src.dtype], channels, self.perspective))
        step = 9 if matrices.shape[0] > 1 else 0
        kernel(
            grid,
            block,
            (src, dst, matrices, step, n, h, w, *src_strides, *dst.shape[1:3], *dst_strides, border, *fill4,
             np.float32(b), np.float32(c), np.float32(a)),
        )  # fmt: skip


warp_affine_kernel = WarpKernel(perspective=False)
warp_perspective_kernel = WarpKernel(perspective=True)

# INTER_* value -> (family, B, C, A): the filters a warp takes.
_B_C = {"mitchell": (1 / 3, 1 / 3), "catmull_rom": (0.0, 0.5), "b_spline": (1.0, 0.0), "cubic": (0.0, 0.75)}
WARP_FILTERS = {
    schema.INTER_NEAREST: (NEAREST, 0.0, 0.0, 0),
    schema.INTER_LINEAR: (BILINEAR, 0.0, 0.0, 0),
    schema.INTER_CUBIC: (MITCHELL, *_B_C["cubic"], 0),
    schema.INTER_AREA: (AREA, 0.0, 0.0, 0),
    schema.INTER_MITCHELL: (MITCHELL, *_B_C["mitchell"], 0),
    schema.INTER_CATMULL_ROM: (MITCHELL, *_B_C["catmull_rom"], 0),
    schema.INTER_B_SPLINE: (MITCHELL, *_B_C["b_spline"], 0),
    schema.INTER_LANCZOS2: (LANCZOS, 0.0, 0.0, 2),
    schema.INTER_LANCZOS3: (LANCZOS, 0.0, 0.0, 3),
    schema.INTER_LANCZOS4: (LANCZOS, 0.0, 0.0, 4),
}
