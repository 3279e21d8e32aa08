"""The resampling kernels: specialisations of `_source.cu`, compiled at first use and kept per device.

The source is one set of C++ templates over the filter, the source element type
and the channel count. A specialisation is compiled through `cp.RawModule` with
its name expression the first time a source of its kind comes along, and kept
for later calls on that device; no call after the first compiles.

`array_view` reads what a kernel depends on in an array (pointer, shape,
strides, dtype) once, through `cp.ndarray`'s own descriptors, and refuses an
array whose reported attributes differ from them or leave its allocation;
every check, allocation and launch argument then derives from that view, and
the launch passes its memory pointer, not the array object. `check_launch`
refuses a grid that misses part of the output or runs past it.

`AffineKernel` is the callable that the six modules export: it checks the
arguments of a launch (so that the kernel can neither read outside `src` nor
write outside the output), picks the specialisation for `src` and launches it.
"""

import importlib
import math
import operator
from pathlib import Path
from typing import NamedTuple

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


def weights_expression(row):
    """The kernel that computes a resize weight table for a filter row."""
    return f"zemvara::resize_weights<{row.traits}>"


PASS_AXES = ("ALONG_Y", "ALONG_X", "ALONG_PACKED_X")


def pass_expression(src_element, dst_element, channels, axis):
    """The resize pass from one element type to another, `channels` adjacent channels per thread, along `axis`."""
    return f"zemvara::resize_pass<zemvara::{src_element}, zemvara::{dst_element}, {channels}, zemvara::{axis}>"


def _traits_rows():
    """One row per traits block: the kernels depend on the traits, not on the parameter values."""
    return list({row.traits: row for row in filters.FILTERS}.values())


def pass_expressions():
    """Every resize pass: into the float32 intermediate and out of it, 1 to 4 channels, either axis."""
    out = []
    for element in ELEMENTS.values():
        for channels in (1, 2, 3, 4):
            for axis in PASS_AXES:
                out.append(pass_expression(element, "F32", channels, axis))
                out.append(pass_expression("F32", element, channels, axis))
    return list(dict.fromkeys(out))


def all_expressions():
    """Every specialisation the kernels can ask for."""
    warps = [warp_expression(r, e, c) for r in _traits_rows() for e in ELEMENTS.values() for c in (1, 3, 4)]
    return tuple(warps + [weights_expression(r) for r in _traits_rows()] + pass_expressions())


def report_expressions():
    """(expression, per_tap, count) of every specialisation, for the compiled-kernel report: a warp's
    tap is one load per channel (one per pixel for four channels, read as a vector), a resize pass's
    one FFMA per channel."""
    warps = [
        (warp_expression(r, e, c), 1 if c == 4 else c, "loads")
        for r in _traits_rows()
        for e in ELEMENTS.values()
        for c in (1, 3, 4)
    ]
    weights = [(weights_expression(r), 1, "fmas") for r in _traits_rows()]
    passes = [(e, int(e.split(",")[2]), "fmas") for e in pass_expressions()]
    return warps + weights + passes


class ArrayView(NamedTuple):
    """What a kernel depends on in a CuPy array, read once through `cp.ndarray`'s own descriptors.

    `data` is the memory pointer that the launch passes (the kernels get it,
    never the array object); shape, strides (bytes) and dtype are the array's
    real ones. Every check, allocation and launch argument derives from one view.
    """

    data: object  # cp.cuda.MemoryPointer
    shape: tuple
    strides: tuple
    dtype: np.dtype
    itemsize: int
    size: int

    @property
    def ndim(self):
        return len(self.shape)

    @property
    def c_contiguous(self):
        expected = self.itemsize
        for n, stride in zip(reversed(self.shape), reversed(self.strides)):
            if n == 0:
                return True
            if n != 1 and stride != expected:
                return False
            expected *= n
        return True


_ATTRIBUTES = ("shape", "strides", "dtype", "itemsize", "data")


def array_view(array, who, what, access="reads"):
    """The `ArrayView` of a CuPy array that a kernel will use, or an error saying why it cannot.

    TypeError for anything but a CuPy array. ValueError when a subclass reports
    a shape, strides, dtype, itemsize or data pointer other than its own (what
    it reports is read once each and compared; nothing after relies on it),
    when the array's extent leaves the allocation its pointer lies in, or when
    the array lives on another device than the current one.
    """
    if not isinstance(array, cp.ndarray):
        raise TypeError(f"{who}: {what} must be a CuPy array of {ACCEPTED_DTYPES}, got {type(array).__name__}")
    base = cp.ndarray
    data = base.data.__get__(array)
    if type(data) is not cp.cuda.MemoryPointer:
        raise ValueError(f"{who}: {what} holds a {type(data).__name__} where CuPy keeps its memory pointer")
    shape, strides, dtype = base.shape.__get__(array), base.strides.__get__(array), base.dtype.__get__(array)
    view = ArrayView(data, tuple(shape), tuple(strides), dtype, dtype.itemsize, math.prod(shape))
    if type(array) is not base:
        claimed = {name: getattr(array, name) for name in _ATTRIBUTES}
        if claimed["data"] is not data or not all(_same(claimed[k], getattr(view, k)) for k in _ATTRIBUTES[:4]):
            _refuse_claim(view, claimed, who, what, access)
    lo, hi = _extent(view.shape, view.strides)
    mem = data.mem
    offset = data.ptr - mem.ptr
    if view.size and (offset + lo < 0 or offset + hi + view.itemsize > mem.size):
        raise ValueError(
            f"{who}: {what} claims bytes {offset + lo}..{offset + hi + view.itemsize} of an allocation of "
            f"{mem.size} bytes; the kernel {access} them all"
        )
    device = cp.cuda.Device().id
    if data.device_id != device:
        raise ValueError(f"{who}: {what} is on device {data.device_id}, the kernel runs on device {device}")
    return view


def _extent(shape, strides):
    """Byte offsets (lowest, highest) of the first byte of any element, from the data pointer."""
    lo = hi = 0
    for n, stride in zip(shape, strides):
        if n == 0:
            return 0, 0
        if stride < 0:
            lo += (n - 1) * stride
        else:
            hi += (n - 1) * stride
    return lo, hi


def _refuse_claim(view, claimed, who, what, access):
    """ValueError for a subclass whose attributes differ from its memory, worded by what it claims."""
    outside = False
    if claimed["data"] is view.data:  # measured in the allocation the claim points into
        try:
            shape, dtype = tuple(claimed["shape"]), np.dtype(claimed["dtype"])
            itemsize = dtype.itemsize
            strides = [itemsize] * len(shape)
            for k in range(len(shape) - 2, -1, -1):
                strides[k] = strides[k + 1] * shape[k + 1]
            lo, hi = _extent(shape, strides)
            mem = view.data.mem
            offset = view.data.ptr - mem.ptr
            outside = math.prod(shape) and (offset + lo < 0 or offset + hi + itemsize > mem.size)
        except Exception:  # a claim that is not even a shape or dtype
            pass
    if outside:
        raise ValueError(
            f"{who}: {what} claims bytes {offset + lo}..{offset + hi + itemsize} of an allocation of "
            f"{mem.size} bytes; the kernel {access} them all"
        )
    actual = view._asdict()
    actual["data"] = f"pointer {view.data.ptr:#x}"
    if claimed["data"] is view.data:
        claimed["data"] = actual["data"]
    else:
        claimed["data"] = f"pointer {getattr(claimed['data'], 'ptr', 0):#x}" if hasattr(claimed["data"], "ptr") else claimed["data"]
    differ = ", ".join(
        f"{k} {claimed[k]!r} (its memory: {actual[k]!r})" for k in _ATTRIBUTES if not _same(claimed[k], actual[k])
    )
    raise ValueError(f"{who}: {what} reports {differ}; an array must describe its own memory")


def _same(a, b):
    try:
        return bool(a == b)
    except Exception:
        return False


def element_of(view, who, what="src"):
    """The element code of an array view; TypeError for element types the kernels do not take."""
    element = ELEMENTS.get(view.dtype)
    if element is None:
        raise TypeError(f"{who}: {what} has element type {view.dtype}; accepted: {ACCEPTED_DTYPES}")
    return element


def check_axes(shape, who, what="src"):
    """Refuse empty images and axes that the kernels cannot index exactly."""
    height, width = shape
    if height == 0 or width == 0:
        raise ValueError(f"{who}: {what} of shape {shape} is empty")
    if height > MAX_AXIS or width > MAX_AXIS:
        raise ValueError(f"{who}: {what} of height {height} and width {width} is too large; axes up to {MAX_AXIS}")


def _check_source(src, who):
    """(view, element code, channel count) of a warp source; TypeError or ValueError when it is refused."""
    view = array_view(src, who, "src")
    element = element_of(view, who)
    shape = view.shape
    if view.ndim == 2:
        channels = 1
    elif view.ndim == 3 and shape[2] in (1, 3, 4):
        channels = shape[2]
    else:
        raise ValueError(f"{who}: src has shape {shape}; accepted: {ACCEPTED_SHAPES}")
    check_axes(shape[:2], who)
    if not view.c_contiguous:
        raise ValueError(
            f"{who}: src of shape {shape} is not C-contiguous (strides {view.strides}); "
            "accepted: C-contiguous arrays (cp.ascontiguousarray makes one)"
        )
    if channels == 4 and view.data.ptr % (4 * view.itemsize):
        raise ValueError(
            f"{who}: src of shape {shape} starts {view.data.ptr % (4 * view.itemsize)} bytes into a pixel; "
            "a four-channel source is read a pixel at a time and must start on a pixel boundary (src.copy() makes one)"
        )
    return view, element, channels


def check_launch(grid, block, width, height, who):
    """Refuse a 2-D launch whose grid of blocks misses part of a width x height output or runs
    more than one block past it along an axis (an endless launch otherwise)."""
    try:
        grid = tuple(operator.index(v) for v in grid) + (1, 1)
        block = tuple(operator.index(v) for v in block) + (1, 1)
    except TypeError:
        raise TypeError(f"{who}: grid and block must be tuples of integers, got {grid!r} and {block!r}") from None
    (gx, gy, gz), (bx, by, bz) = grid[:3], block[:3]
    blocks = lambda n, b: -(-n // b)  # noqa: E731
    if (
        min(gx, gy, gz, bx, by, bz) < 1
        or gz != 1 or bz != 1 or len(grid) > 5 or len(block) > 5
        or not blocks(width, bx) <= gx <= blocks(width, bx) + 1
        or not blocks(height, by) <= gy <= blocks(height, by) + 1
    ):  # fmt: skip
        raise ValueError(
            f"{who}: grid {grid[:-2]} of blocks {block[:-2]} does not fit an output of width {width} and height "
            f"{height}: each axis needs enough blocks to cover it, and at most one more"
        )
    if gx > 2**31 - 1 or gy > 65535 or bx * by > 1024:
        raise ValueError(
            f"{who}: grid {grid[:-2]} of blocks {block[:-2]} exceeds the launch limits (2**31 - 1 blocks along x, "
            f"65535 along y, 1024 threads a block): an output of height {height} takes blocks of more than "
            f"{-(-height // 65535)} rows"
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
        source, element, channels = _check_source(src, who)
        if (_size(src_h, who, "src_h"), _size(src_w, who, "src_w")) != source.shape[:2]:
            raise ValueError(f"{who}: src_h, src_w ({src_h}, {src_w}) differ from the shape of src {source.shape}")
        dst_h, dst_w = _size(dst_h, who, "dst_h"), _size(dst_w, who, "dst_w")
        output = _float32_array(output_image, (dst_h, dst_w, 3), who, "output_image", "writes")
        matrix = _float32_array(inv_m, (6,), who, "inv_M_flat", "reads")
        values = self._values(args[7:], who)
        if dst_h == 0 or dst_w == 0:
            return  # nothing to write
        check_launch(grid, block, dst_w, dst_h, who)
        kernel = function(warp_expression(self._row, element, channels))
        kernel(grid, block, (source.data, output.data, matrix.data, np.int32(source.shape[0]),
                             np.int32(source.shape[1]), np.int32(dst_h), np.int32(dst_w))
                            + tuple(np.float32(v) for v in values))  # fmt: skip

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


def _float32_array(array, shape, who, what, access):
    """The view of a C-contiguous float32 CuPy array of the given shape (a flat vector: any shape of that size)."""
    view = array_view(array, who, what, access) if isinstance(array, cp.ndarray) else None
    if (
        view is None
        or view.dtype != np.float32
        or (view.shape if len(shape) > 1 else (view.size,)) != shape
        or not view.c_contiguous
    ):
        kind = "vector of" if len(shape) == 1 else "array of shape"
        raise ValueError(f"{who}: {what} must be a C-contiguous float32 CuPy {kind} {shape}, got {_describe(array, view)}")
    return view


def _describe(value, view):
    if view is not None:
        contiguity = "" if view.c_contiguous else "non-contiguous "
        return f"a {contiguity}{view.dtype} CuPy array of shape {view.shape}"
    return type(value).__name__


def kernel_of(family):
    """The exported kernel callable of a family: `resampling.<family>.<family>_affine_kernel`."""
    module = importlib.import_module(f"{__package__}.{family}")
    return getattr(module, f"{family}_affine_kernel")
