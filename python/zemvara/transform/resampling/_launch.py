"""What a launch touches: the array view that every check derives from, and the grid checks.

`array_view` reads what a kernel depends on in an array (pointer, shape,
strides, dtype) once, through `cp.ndarray`'s own descriptors, and refuses an
array whose reported attributes differ from them or leave its allocation;
every check, allocation and launch argument then derives from that view, and
the launch passes its memory pointer, not the array object.

`check_launch` refuses a grid that misses part of a single output or runs
past it; `check_batch_grid` does the same for the batch warps, whose kernels
walk rows and images beyond the grid in turn.
"""

import math
import operator
from typing import NamedTuple

import cupy as cp
import numpy as np

# Element types of the kernels: NumPy dtype -> the sources' element code.
ELEMENTS = {
    np.dtype(np.uint8): "U8",
    np.dtype(np.uint16): "U16",
    np.dtype(np.float16): "F16",
    np.dtype(np.float32): "F32",
}
ACCEPTED_DTYPES = "uint8, uint16, float16 or float32"

# Largest image axis, for every kernel: positions and tap indices stay exact
# in float32 below 2**24.
MAX_AXIS = 2**24 - 1


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


def check_batch_grid(grid, block, shape, who):
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


def element_strides(view, who, what):
    """The strides of an array view in elements; ValueError where one is not a whole number of them."""
    if any(s % view.itemsize for s in view.strides):
        raise ValueError(f"{who}: {what} has strides {view.strides}, not whole elements of {view.itemsize} bytes")
    return tuple(np.int64(s // view.itemsize) for s in view.strides)


def whole_elements(view):
    """Whether every stride of an array view is a whole number of elements, as the kernels count them."""
    return not any(s % view.itemsize for s in view.strides)


def overlaps_itself(view):
    """Whether two elements of an array view may share memory (a zero stride along an axis of more
    than one element, say): taken from the smallest stride up, each axis must step past all the
    bytes that the axes inside it span."""
    span = view.itemsize
    for stride, n in sorted((abs(s), n) for n, s in zip(view.shape, view.strides) if n > 1):
        if stride < span:
            return True
        span += stride * (n - 1)
    return False


def plain(view):
    """A plain `cp.ndarray` over an array view's memory, with its shape, strides and dtype."""
    return cp.ndarray(view.shape, view.dtype, memptr=view.data, strides=view.strides)


def byte_range(view):
    """The byte range [lo, hi) of device memory an array view's elements occupy."""
    lo, hi = _extent(view.shape, view.strides)
    return view.data.ptr + lo, view.data.ptr + hi + view.itemsize


def size_of(value, who, what):
    """An axis length given to a kernel: an integer in 0..MAX_AXIS."""
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{who}: {what} must be an integer, got {type(value).__name__}") from None
    if not 0 <= value <= MAX_AXIS:
        raise ValueError(f"{who}: {what} must lie in 0..{MAX_AXIS}, got {value}")
    return value


def float32_array(array, shape, who, what, access):
    """The view of a C-contiguous float32 CuPy array of the given shape (a flat vector: any shape of that size)."""
    view = array_view(array, who, what, access) if isinstance(array, cp.ndarray) else None
    if (
        view is None
        or view.dtype != np.float32
        or (view.shape if len(shape) > 1 else (view.size,)) != shape
        or not view.c_contiguous
    ):
        kind = "vector of" if len(shape) == 1 else "array of shape"
        raise ValueError(f"{who}: {what} must be a C-contiguous float32 CuPy {kind} {shape}, got {describe(array, view)}")
    return view


def describe(value, view):
    if view is not None:
        contiguity = "" if view.c_contiguous else "non-contiguous "
        return f"a {contiguity}{view.dtype} CuPy array of shape {view.shape}"
    return type(value).__name__


