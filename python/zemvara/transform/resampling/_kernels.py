"""The resampling kernels: specialisations of `_source.cu`, compiled at first use and kept per device.

The source is one set of C++ templates over the filter, the source element type
and the channel count. A specialisation is compiled through `cp.RawModule` with
its name expression the first time a source of its kind comes along, and kept
for later calls on that device; no call after the first compiles.

`AffineKernel` is the callable that the six modules export: it checks the
arguments of a launch (so that the kernel can neither read outside `src` nor
write outside the output), picks the specialisation for `src` and launches it.
"""

import importlib
import operator
from pathlib import Path

import cupy as cp
import numpy as np

from . import filters

resampling_kernel_code = filters.FILTERS_CODE + (Path(__file__).parent / "_source.cu").read_text()

# Element types of the source: NumPy dtype -> the source's element code.
ELEMENTS = {
    np.dtype(np.uint8): "U8",
    np.dtype(np.uint16): "U16",
    np.dtype(np.float16): "F16",
    np.dtype(np.float32): "F32",
}
ACCEPTED_DTYPES = "uint8, uint16, float16 or float32"
ACCEPTED_SHAPES = "(H, W), (H, W, 1), (H, W, 3) or (H, W, 4)"

# Largest image axis: positions and tap indices stay exact in float32 below 2**24.
MAX_AXIS = 2**24 - 1

OPTIONS = ("--std=c++17",)

# (device id, name expression) -> compiled kernel.
_functions = {}


def function(expression):
    """The compiled kernel for a name expression of the source, on the current device."""
    key = (cp.cuda.Device().id, expression)
    kernel = _functions.get(key)
    if kernel is None:
        module = cp.RawModule(code=resampling_kernel_code, options=OPTIONS, name_expressions=(expression,))
        kernel = _functions[key] = module.get_function(expression)
    return kernel


def warp_expression(row, element, channels):
    """The warp specialisation for a filter row, a source element code and channel count."""
    return f"zemvara::affine_warp<{row.traits}, zemvara::{element}, {channels}>"


def resize_expression(row, element):
    return f"zemvara::resize_image<{row.traits}, zemvara::{element}>"


def all_expressions():
    """Every specialisation the kernels can ask for: one per kernel family, element type and channel count."""
    rows = [rows[0] for rows in filters.FAMILIES.values()]
    warps = [warp_expression(r, e, c) for r in rows for e in ELEMENTS.values() for c in (1, 3, 4)]
    return tuple(dict.fromkeys(warps + [resize_expression(r, e) for r in rows for e in ELEMENTS.values()]))


def element_of(image, who, what="src"):
    """The element code of a CuPy image; TypeError for anything else."""
    if not isinstance(image, cp.ndarray):
        raise TypeError(f"{who}: {what} must be a CuPy array of {ACCEPTED_DTYPES}, got {type(image).__name__}")
    element = ELEMENTS.get(image.dtype)
    if element is None:
        raise TypeError(f"{who}: {what} has element type {image.dtype}; accepted: {ACCEPTED_DTYPES}")
    return element


def check_axes(shape, who, what="src"):
    """Refuse empty images and axes that the kernels cannot index exactly."""
    height, width = shape
    if height == 0 or width == 0:
        raise ValueError(f"{who}: {what} of shape {shape} is empty")
    if height > MAX_AXIS or width > MAX_AXIS:
        raise ValueError(f"{who}: {what} of height {height} and width {width} is too large; axes up to {MAX_AXIS}")


def _check_source(src, who):
    """(element code, channel count) of a warp source; TypeError or ValueError when it is refused."""
    element = element_of(src, who)
    if src.ndim == 2:
        channels = 1
    elif src.ndim == 3 and src.shape[2] in (1, 3, 4):
        channels = src.shape[2]
    else:
        raise ValueError(f"{who}: src has shape {src.shape}; accepted: {ACCEPTED_SHAPES}")
    check_axes(src.shape[:2], who)
    if not src.flags.c_contiguous:
        raise ValueError(
            f"{who}: src of shape {src.shape} is not C-contiguous (strides {src.strides}); "
            "accepted: C-contiguous arrays (cp.ascontiguousarray makes one)"
        )
    return element, channels


def require_memory(array, who, what, access="reads", contiguous=False):
    """Refuse an array whose claimed extent leaves the allocation its data pointer lies in.

    The kernels index with the Python-level shape, strides (C-contiguous ones
    when `contiguous`) and dtype, which a subclass may misreport; the
    allocation (data.mem) is what the device holds.
    """
    itemsize = array.dtype.itemsize
    strides = [itemsize] * len(array.shape)
    for k in range(len(strides) - 2, -1, -1):
        strides[k] = strides[k + 1] * array.shape[k + 1]
    lo = hi = 0  # byte offsets of the first and last element from data.ptr
    for n, stride in zip(array.shape, strides if contiguous else array.strides):
        if n == 0:
            return
        if stride < 0:
            lo += (n - 1) * stride
        else:
            hi += (n - 1) * stride
    data = array.data
    offset = data.ptr - data.mem.ptr
    if offset + lo < 0 or offset + hi + itemsize > data.mem.size:
        raise ValueError(
            f"{who}: {what} claims bytes {offset + lo}..{offset + hi + itemsize} of an allocation of "
            f"{data.mem.size} bytes; the kernel {access} them all"
        )


def _size(value, who, what):
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{who}: {what} must be an integer, got {type(value).__name__}") from None
    if not 0 <= value <= MAX_AXIS:
        raise ValueError(f"{who}: {what} must lie in 0..{MAX_AXIS}, got {value}")
    return value


class AffineKernel:
    """An affine-warp kernel of one filter, launched as `kernel(grid, block, args)`.

    `args` is `(src, output_image, inv_M_flat, src_h, src_w, dst_h, dst_w)`,
    followed by `B, C` (float32, the Mitchell-Netravali parameters) for the
    Mitchell kernel or by `A` (int >= 1, the Lanczos window) for the Lanczos
    kernel.

    - `src`: a C-contiguous CuPy array (H, W), (H, W, 1), (H, W, 3) or
      (H, W, 4) of uint8, uint16, float16 or float32; grey is replicated into
      the three output channels, alpha is ignored, values are not rescaled.
      `src_h`, `src_w` must be its height and width.
    - `output_image`: a C-contiguous float32 CuPy array (dst_h, dst_w, 3); each
      pixel (x, y) is written with the source sampled at
      (m0 x + m1 y + m2, m3 x + m4 y + m5), m = `inv_M_flat` (six float32
      values, pixel centres at integer coordinates). Positions outside the
      image see zeros.
    - `grid`, `block`: the launch geometry, one thread per destination pixel
      (x along the width, y along the height).

    Bad arguments raise TypeError or ValueError before anything is launched.
    The launch is asynchronous on the current stream.
    """

    def __init__(self, family):
        self.family = family
        self._row = filters.FAMILIES[family][0]
        self.__name__ = f"{family}_affine_kernel"
        self._extra = filters.call_params(family)
        self._params = ("src", "output_image", "inv_M_flat", "src_h", "src_w", "dst_h", "dst_w") + tuple(
            p.name for p in self._extra
        )

    def __repr__(self):
        return f"<resampling kernel {self.__name__}{self._params}>"

    def __call__(self, grid, block, args):
        who = self.__name__
        args = tuple(args)
        if len(args) != len(self._params):
            raise TypeError(f"{who} takes {len(self._params)} arguments {self._params}, got {len(args)}")
        src, output_image, inv_m, src_h, src_w, dst_h, dst_w = args[:7]
        element, channels = _check_source(src, who)
        if (_size(src_h, who, "src_h"), _size(src_w, who, "src_w")) != src.shape[:2]:
            raise ValueError(f"{who}: src_h, src_w ({src_h}, {src_w}) differ from the shape of src {src.shape}")
        dst_h, dst_w = _size(dst_h, who, "dst_h"), _size(dst_w, who, "dst_w")
        if (
            not isinstance(output_image, cp.ndarray)
            or output_image.dtype != np.float32
            or output_image.shape != (dst_h, dst_w, 3)
            or not output_image.flags.c_contiguous
        ):
            raise ValueError(
                f"{who}: output_image must be a C-contiguous float32 CuPy array of shape "
                f"{(dst_h, dst_w, 3)}, got {_describe(output_image)}"
            )
        if not isinstance(inv_m, cp.ndarray) or inv_m.dtype != np.float32 or inv_m.size != 6 or not inv_m.flags.c_contiguous:
            raise ValueError(f"{who}: inv_M_flat must be a contiguous float32 CuPy vector of 6 values, got {_describe(inv_m)}")
        values = self._values(args[7:], who)
        if dst_h == 0 or dst_w == 0:
            return  # nothing to write
        require_memory(src, who, "src", contiguous=True)
        require_memory(output_image, who, "output_image", "writes", contiguous=True)
        require_memory(inv_m, who, "inv_M_flat", contiguous=True)
        kernel = function(warp_expression(self._row, element, channels))
        kernel(grid, block, (src, output_image, inv_m, np.int32(src.shape[0]), np.int32(src.shape[1]),
                             np.int32(dst_h), np.int32(dst_w)) + tuple(np.float32(v) for v in values))  # fmt: skip

    def _values(self, given, who):
        """The two parameter values for the traits block: the row's, with the call's arguments in their place."""
        values = {p.name: p.value for p in self._row.params}
        for param, value in zip(self._extra, given):
            if param.kind is int:
                if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
                    raise TypeError(f"{who}: {param.name} must be an int, got {type(value).__name__}")
            elif isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
                raise TypeError(f"{who}: {param.name} must be a real number, got {type(value).__name__}")
            if not param.low <= value <= param.high:
                raise ValueError(f"{who}: {param.name} must lie in {param.low:g}..{param.high:g}, got {value}")
            values[param.name] = value
        return tuple(float(v) for v in values.values()) + (0.0,) * (2 - len(values))


def _describe(value):
    if isinstance(value, cp.ndarray):
        contiguity = "" if value.flags.c_contiguous else "non-contiguous "
        return f"a {contiguity}{value.dtype} CuPy array of shape {value.shape}"
    return type(value).__name__


def kernel_of(family):
    """The exported kernel callable of a family: `resampling.<family>.<family>_affine_kernel`."""
    module = importlib.import_module(f"{__package__}.{family}")
    return getattr(module, f"{family}_affine_kernel")
