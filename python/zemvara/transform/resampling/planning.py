"""How a resize is planned, for every form of the call (one image, a list, a host-side image in tiles).

- `image_plan`: an image's layout (rank, channel axis, strides in elements),
  its target size and filter, the taps of each axis, the order of the two
  passes and the result's strides, with every check of the call;
- `taps`, `table_stride`, `x_first`, `channel_group`: the rules the plans
  are made of;
- `compat_image`: the image and target of a resize that gives another
  library's values (Pillow's, OpenCV's), with every check of its call;
- the weight-table store: `table` computes (or finds) one axis's table,
  `kept_table` and `keep_tables` look tables up and keep them, as one store
  for every form of the call.

The order of the modules: the tables and kernels (`filters`, `_launch`,
`_sources`), the argument rules (`arguments`), this planning, then the
whole-image `resize`, the lists and the tiled functions.
"""

import functools
import operator
import threading
from typing import NamedTuple

import cupy as cp
import numpy as np

from . import _launch, _sources, arguments

INT32 = 2**31 - 1
MAX_GROUPS = 65535  # channel groups: along the grid's z axis
# Weight tables kept by (filter row, size, destination size, taps, device):
# computed once, then only read. The computing stream is synchronised before a
# table is kept, so it is complete whichever stream reads it later, and a kept
# table is never freed (a freed one could be handed out again while a pass on
# another stream still reads it): past TABLES_KEPT tables, or for a table
# over TABLE_BYTES, new tables are computed per call instead.
TABLES_KEPT = 64
TABLE_BYTES = 1 << 20
_tables = {}
_tables_lock = threading.Lock()


# ----- layout ----------------------------------------------------------------------


def is_channel_first(shape):
    """Whether a rank-3 shape is (C, H, W): channel-first when only the first axis holds a channel count
    (1, 3 or 4), or when neither or both do and the first is at most 4 while the others are larger;
    channel-last otherwise. The same rule as `zemvara.utils.axisform.guess_image_layout`'s "CHW"."""
    first, last = shape[0] in (1, 3, 4), shape[-1] in (1, 3, 4)
    if first != last:
        return first
    return shape[0] <= 4 and shape[1] > 4 and shape[2] > 4


def target_size(dsize):
    """(width, height) of a resize's dsize: a tuple or list of two integers."""
    if not isinstance(dsize, (tuple, list)):
        raise TypeError(f"resize: dsize must be a (width, height) tuple, got {type(dsize).__name__}")
    if len(dsize) != 2:
        raise ValueError(f"resize: dsize must be (width, height), two items, got {len(dsize)}")
    try:
        width, height = (operator.index(v) for v in dsize)
    except TypeError:
        raise TypeError(f"resize: dsize must hold two integers (width, height), got {dsize!r}") from None
    return width, height


def target_and_filter(dsize, interpolation, width, height, who):
    """(out width, out height, filter row) of a resize of width x height; refuses both arguments."""
    out_w, out_h = target_size(dsize)
    if out_w <= 0 or out_h <= 0 or out_w > _launch.MAX_AXIS or out_h > _launch.MAX_AXIS:
        raise ValueError(f"{who}: dsize (width, height) must lie in 1..{_launch.MAX_AXIS}, got {tuple(dsize)}")
    return out_w, out_h, arguments.resize_filter(interpolation, out_w > width or out_h > height)


def compat_image(image, dsize, who):
    """(contiguous (h, w, c) image, out width, out height, channel-first, rank 2) of a resize that gives
    another library's values: a CuPy array (H, W), (H, W, C) or (C, H, W) of uint8 or float32 with 1 to
    4 channels, read as the values it shows; dsize a (width, height) pair of integers. Or a clear error."""
    if type(image) is not cp.ndarray:
        raise TypeError(f"{who}: image must be a CuPy array, got {type(image).__name__}")
    view = _launch.array_view(image, who, "image", "reads")
    if view.dtype not in _sources.COMPAT_ELEMENTS:
        raise TypeError(f"{who}: image must be uint8 or float32, got {view.dtype}")
    if view.ndim not in (2, 3):
        raise ValueError(f"{who}: image must be (H, W), (H, W, C) or (C, H, W), got shape {view.shape}")
    out_w, out_h = compat_dsize(dsize, who)
    plain = cp.ndarray(view.shape, view.dtype, memptr=view.data, strides=view.strides)
    channel_first = False
    if plain.ndim == 2:
        plain = plain[:, :, None]
    else:
        channel_first = is_channel_first(plain.shape)
        if channel_first:
            plain = plain.transpose(1, 2, 0)
    if not 1 <= plain.shape[2] <= 4:
        raise ValueError(f"{who}: image must have 1 to 4 channels, got {plain.shape[2]}")
    _launch.check_axes(plain.shape[:2], who, "image")
    return cp.ascontiguousarray(plain), out_w, out_h, channel_first, view.ndim == 2


def compat_dsize(dsize, who):
    """(out width, out height) of a (width, height) pair of integers, or a clear error."""
    if not isinstance(dsize, (tuple, list)) or len(dsize) != 2 or not all(map(arguments.is_integer, dsize)):
        raise TypeError(f"{who}: dsize must be a (width, height) pair of integers, got {dsize!r}")
    out_w, out_h = (operator.index(v) for v in dsize)
    if not (0 < out_w <= _launch.MAX_AXIS and 0 < out_h <= _launch.MAX_AXIS):
        raise ValueError(f"{who}: dsize (width, height) must lie in 1..{_launch.MAX_AXIS}, got {tuple(dsize)}")
    return out_w, out_h


# ----- the rules a plan is made of -----------------------------------------------------


@functools.lru_cache(maxsize=1024)
def taps(row, n, out):
    """The most taps any destination index of an axis has: the integers i with |i - p| < reach.

    Kept per (filter row, size, destination size): a repeated resize plans nothing anew.
    """
    scale = n / out
    reach = row.reach(scale)
    p = (np.arange(out, dtype=np.float64) + 0.5) * scale - 0.5
    return min(n, max(1, int((np.ceil(p + reach) - np.floor(p - reach) - 1).max())))


def table_stride(taps):
    """Floats a weight table's row holds for `taps` taps: a multiple of four (vector loads)."""
    return -(-taps // 4) * 4


def x_first(height, width, out_h, out_w, x_taps, y_taps):
    """Whether a resize filters along x first: the cheaper order, by taps. Along x first costs
    height * out_w * x_taps + out_h * out_w * y_taps taps; along y first out_h * width * y_taps +
    out_h * out_w * x_taps. At equal cost the pass along x, whose taps are the costlier loads, runs
    over the fewer rows: along y first where the height shrinks. Every form of the call takes its
    order from here, so that it gives the single call's values."""
    x_cost = height * out_w * x_taps + out_h * out_w * y_taps
    y_cost = out_h * width * y_taps + out_h * out_w * x_taps
    return x_cost < y_cost or (x_cost == y_cost and height <= out_h)


def channel_group(channels, side_by_side, who, shape):
    """Channels a pass thread takes at once: all of an image's channels in groups of 4, 3, 2 or 1
    where they lie side by side in source and result, one at a time otherwise; the groups run along
    the grid's z axis, which bounds their count."""
    group = next(g for g in (4, 3, 2, 1) if channels % g == 0) if side_by_side else 1
    if channels // group > MAX_GROUPS:
        raise ValueError(f"{who}: image of shape {shape} has more than {MAX_GROUPS * group} channels")
    return group


# ----- one image's plan ---------------------------------------------------------------


class ImagePlan(NamedTuple):
    """What a resize of one image takes, as every form of the call plans it."""

    shape: tuple  # the source's
    channel_first: bool
    height: int
    width: int
    channels: int
    out_w: int
    out_h: int
    row: object  # the filter table's row
    out_shape: tuple  # the result's, in the source's layout
    src_strides: tuple  # (y, x, channel) in elements; None where the kernels cannot count them so
    dst_strides: tuple  # (y, x, channel) of a new contiguous result, in elements
    x_taps: int
    y_taps: int
    x_first: bool
    narrow: bool  # whether every window's offsets fit 32 bits (see `image_plan`)


def image_plan(view, dsize, interpolation, who="resize", what="image"):
    """The `ImagePlan` of a resize of an array view (H, W), (H, W, C) or (C, H, W), with every check.

    `narrow` is False where a window of the source, or a column of the intermediate, spans more
    than 32-bit offsets reach: a contiguous copy may fit (see `fits_copied`)."""
    _launch.element_of(view, who, what)
    shape = view.shape
    channel_first = False
    if view.ndim == 2:
        (height, width), channels, strides = shape, 1, view.strides + (0,)
    elif view.ndim == 3:
        channel_first = is_channel_first(shape)
        if channel_first:
            (channels, height, width), strides = shape, view.strides[1:] + view.strides[:1]
        else:
            (height, width, channels), strides = shape, view.strides
    else:
        raise ValueError(f"{who}: {what} has shape {shape}; accepted: (H, W), (H, W, C) or (C, H, W)")
    if channels == 0:
        raise ValueError(f"{who}: {what} of shape {shape} has no channels")
    _launch.check_axes((height, width), who, what)
    out_w, out_h, row = target_and_filter(dsize, interpolation, width, height, who)
    x_taps, y_taps = taps(row, width, out_w), taps(row, height, out_h)
    src_strides = None if any(st % view.itemsize for st in strides) else tuple(st // view.itemsize for st in strides)
    narrow = src_strides is not None and max(x_taps * abs(src_strides[1]), y_taps * abs(src_strides[0]),
                                             y_taps * out_w * channels) <= INT32  # fmt: skip
    if view.ndim == 2:
        out_shape, dst_strides = (out_h, out_w), (out_w, 1, 0)
    elif channel_first:
        out_shape, dst_strides = (channels, out_h, out_w), (out_w, 1, out_h * out_w)
    else:
        out_shape, dst_strides = (out_h, out_w, channels), (out_w * channels, channels, 1)
    order = x_first(height, width, out_h, out_w, x_taps, y_taps)
    return ImagePlan(shape, channel_first, height, width, channels, out_w, out_h, row, out_shape, src_strides,
                     dst_strides, x_taps, y_taps, order, narrow)  # fmt: skip


def fits_copied(plan):
    """Whether a contiguous copy of a source whose plan is not `narrow` fits 32-bit offsets."""
    return plan.y_taps * plan.out_w * plan.channels <= INT32


def refuse_wide(plan, who="resize"):
    raise ValueError(f"{who}: image of shape {plan.shape} to {(plan.out_w, plan.out_h)} spans too much memory "
                     "per window to index")  # fmt: skip


# ----- the weight-table store -------------------------------------------------------------


def table_key(row, n, out, taps, device):
    return row, n, out, taps, device


def kept_table(key):
    """The kept table (weights, offsets, taps, stride) of a key, or None."""
    with _tables_lock:
        return _tables.get(key)


def keep_tables(tables):
    """Keep the computed tables {key: table} the store has room for; returns them, each replaced by the
    kept one where another call kept that key first. The computing stream finishes once before, so
    that a pass on any stream may read them later."""
    small = [key for key, table in tables.items() if table[0].nbytes <= TABLE_BYTES]
    if not small or len(_tables) >= TABLES_KEPT:
        return tables
    cp.cuda.get_current_stream().synchronize()
    with _tables_lock:
        for key in small:
            if len(_tables) < TABLES_KEPT:
                tables[key] = _tables.setdefault(key, tables[key])
    return tables


def tables_hold(weights):
    """Whether a weight table is one of the kept ones (a plan may refer to it then)."""
    with _tables_lock:
        return any(t[0] is weights for t in _tables.values())


def check_table_size(out, stride, who="resize"):
    if out * stride > INT32:
        raise ValueError(f"{who}: a weight table of {out} x {stride} entries is too large to index")


def table(row, n, out, taps, device):
    """(weights, offsets, taps, stride) of one axis on a device: per destination index the first
    of `taps` source pixels and their normalised weights, a row of `stride` floats each.

    Kept after the first call for the same axis (see the store above); otherwise computed on the
    caller's stream like the passes that read it.
    """
    key = table_key(row, n, out, taps, device)
    found = kept_table(key)
    if found is not None:
        return found
    stride = table_stride(taps)
    check_table_size(out, stride)
    weights = cp.empty((out, stride), dtype=cp.float32)
    offsets = cp.empty(out, dtype=cp.int32)
    kernel = _sources.RESIZE.function(_sources.weights_expression(row))
    kernel(
        (-(-out // 128),), (128,),
        (weights, offsets, np.int32(out), np.int32(n), np.int32(taps), np.int32(stride), np.float32(n / out),
         *(np.float32(v) for v in row.values())),
    )  # fmt: skip
    return keep_tables({key: (weights, offsets, taps, stride)})[key]


# ----- the passes -------------------------------------------------------------------------

_BLOCK = (32, 8, 1)  # along x: a warp spans 32 destination columns, coalesced
_Y_BLOCK = 256  # along y: threads a block, up to 256 columns side by side
_Y_ROWS = 4  # along y: destination rows per thread
MAX_GRID_Y = 65535  # past this a pass thread takes more rows
_ROWS = 8  # along x: destination rows per thread (its table row is the same for all)


def run_pass(launch, src, dst):
    """One planned pass (or fused resize) from src into dst."""
    kernel, grid, block, weights, offsets, scalars = launch
    kernel(grid, block, (src, dst, weights, offsets) + scalars)


def launch_pass(src, src_element, dst, dst_element, group, groups, table, out_w, out_h, src_strides, dst_strides):
    """One pass along x or y (`table[1]`) into dst, out_h x out_w destination pixels, planned now
    (for tables of its own, as the tiled resize's)."""
    aligned = (src.ptr if isinstance(src, cp.cuda.MemoryPointer) else src.data.ptr) % 16 == 0
    launch = plan_pass(src_element, dst_element, group, groups, table, out_w, out_h, src_strides, dst_strides,
                       aligned)  # fmt: skip
    run_pass(launch, src, dst)


def plan_pass(src_element, dst_element, group, groups, table, out_w, out_h, src_strides, dst_strides, aligned):
    """(kernel, grid, block, weights, offsets, scalar arguments) of one pass; `aligned`: whether
    src starts on a 16-byte boundary."""
    (weights, offsets, taps, stride), axis = table
    kernel_w, threads_w = out_w, out_w
    if axis == "y" and src_strides[1] == dst_strides[1] == group:
        # Rows of packed pixels in both arrays: a y pass weighs every value of a
        # row alike, so it runs over each row as a flat run of values, a warp's
        # loads and stores on adjacent values; four a thread in vector loads
        # where every row of both arrays starts on a multiple of four values.
        kernel_w = out_w * group
        quads = (aligned and kernel_w % 4 == 0 and src_strides[0] % 4 == 0 and dst_strides[0] % 4 == 0
                 and (groups == 1 or src_strides[2] % 4 == dst_strides[2] % 4 == 0))  # fmt: skip
        axis, group = "ROWS_Y", 4 if quads else 1
        threads_w = kernel_w // group
    elif axis == "y":
        axis = "ALONG_Y"
    elif group > 1 and src_strides[1] == group:
        axis, kernel_w = "ALONG_VALUES_X", out_w * group
        threads_w = kernel_w
    else:
        axis = "ALONG_PACKED_X" if src_strides[1] == group else "ALONG_X"
    if axis in ("ALONG_Y", "ROWS_Y"):
        # Wide blocks of few rows: a block reads a few long row segments (each
        # thread's table row changes with its row anyway).
        width = min(_Y_BLOCK, -(-threads_w // 32) * 32)
        block, rows = (width, _Y_BLOCK // width, 1), _Y_ROWS
    else:
        block, rows = _BLOCK, _ROWS * (2 if axis == "ALONG_VALUES_X" else 1)
    grid = (-(-threads_w // block[0]), min(-(-out_h // (block[1] * rows)), MAX_GRID_Y), groups)
    kernel = _sources.RESIZE.function(_sources.pass_expression(src_element, dst_element, group, axis))
    scalars = (np.int32(taps), np.int32(stride), np.int32(kernel_w), np.int32(out_h),
               *map(np.int64, src_strides), *map(np.int64, dst_strides))  # fmt: skip
    return kernel, grid, block, weights, offsets, scalars
