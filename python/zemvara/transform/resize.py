"""`resize`: an image to a new width and height on the GPU, with the filters of the affine warp.

Two separable passes of the resize source (`resampling/_resize.cu`): a
weight table per axis, computed once per destination column and once per
destination row by the filter's traits block, then one pass along each axis
(the cheaper order first) through a float32 intermediate. The same filters,
antialiasing rule and float32 arithmetic as the warps, for any channel count
and either axis order, writing the source's element type.

Reductions by up to four along both axes, once their tables are kept, run
both passes in one launch (`resampling/_resize_fused.cu`): each block
filters along the first axis the source its output tile reaches into shared
memory, then along the second out of it, with the same sums in the same
order, so the result is the two passes' bit for bit. A repeated call looks
up its whole plan (see `_plans`) and only allocates and launches.
"""

import functools
import operator
import threading
from typing import NamedTuple

import cupy as cp
import numpy as np

from ._handoff import handoff
from .resampling import _batched, _launch, _sources, filters
from .schema import INTER_AREA, INTER_AUTO, INTER_MITCHELL

__all__ = ["INTER_AUTO", "resize"]

_BLOCK = (32, 8, 1)  # along x: a warp spans 32 destination columns, coalesced
_Y_BLOCK = 256  # along y: threads a block, up to 256 columns side by side
_Y_ROWS = 4  # along y: destination rows per thread
_MAX_GRID_Y = 65535  # past this a pass thread takes more rows
_MAX_GRID_Z = 65535
_ROWS = 8  # along x: destination rows per thread (its table row is the same for all)
_INT32 = 2**31 - 1
# Weight tables kept by (filter row, size, destination size, taps, device):
# computed once, then only read. The computing stream is synchronised before a
# table is kept, so it is complete whichever stream reads it later, and a kept
# table is never freed (a freed one could be handed out again while a pass on
# another stream still reads it): past _TABLES_KEPT tables, or for a table
# over _TABLE_BYTES, new tables are computed per call instead.
_TABLES_KEPT = 64
_TABLE_BYTES = 1 << 20
_tables = {}
_tables_lock = threading.Lock()


class _Shape(NamedTuple):
    """An array's shape as the layout rule reads it (`ndim` and `shape`, nothing else)."""

    shape: tuple

    @property
    def ndim(self):
        return len(self.shape)


def _is_channel_first(shape):
    """Whether a rank-3 shape is (C, H, W): the layout rule of `axisform.guess_image_layout`,
    whose "CHW" is channel-first; "HWC" and "ambiguous" are taken as channel-last."""
    from ..utils.axisform import guess_image_layout  # here, not above: axisform imports this module

    return guess_image_layout(_Shape(shape)) == "CHW"


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



def _target_and_filter(dsize, interpolation, width, height, who):
    """(out width, out height, filter row) for a `dsize` and an `interpolation`, INTER_AUTO resolved; refuses both."""
    out_w, out_h = _target_size(dsize)
    if out_w <= 0 or out_h <= 0 or out_w > _launch.MAX_AXIS or out_h > _launch.MAX_AXIS:
        raise ValueError(f"{who}: dsize (width, height) must lie in 1..{_launch.MAX_AXIS}, got {tuple(dsize)}")
    if isinstance(interpolation, np.integer):
        interpolation = int(interpolation)
    if type(interpolation) is int and interpolation == INTER_AUTO:
        interpolation = INTER_MITCHELL if out_w > width or out_h > height else INTER_AREA
    row = filters.BY_INTER.get(interpolation) if type(interpolation) is int else None
    if row is None:
        raise ValueError("Unsupported interpolation: " + str(interpolation))
    return out_w, out_h, row

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
    if type(image) is not cp.ndarray:
        if isinstance(image, list):  # images of different sizes, one launch per pass
            return _batched.resize_list(image, dsize, interpolation)
        if (hand := handoff("resize", image, name="image")) is not None:  # a tensor or another library's array, (N, H, W, C) too
            return hand.run(lambda one: resize(one, dsize, interpolation))
    view = _launch.array_view(image, "resize", "image", "reads")
    data = view.data
    # A repeated call finds everything but its two arrays planned: the plan
    # depends on the view's shape, strides and element type, the target, the
    # filter, the device and the source's place within 16 bytes, nothing else.
    # Only a dsize tuple of two ints and an int interpolation are looked up:
    # equal values of other types (1920.0, True) must still meet their errors.
    key = None
    if type(dsize) is tuple and type(interpolation) is int and len(dsize) == 2 and type(dsize[0]) is type(dsize[1]) is int:
        key = (view.shape, view.strides, view.dtype, dsize, interpolation, data.device_id, data.ptr % 16)
        plan = _plans.get(key)
        if plan is not None:
            return _run(plan, data, view.dtype)
    plan = _plan_call(view, dsize, interpolation)
    if plan is None:  # strides the kernels cannot take: a contiguous copy
        plain = cp.ndarray(view.shape, view.dtype, memptr=data, strides=view.strides)
        return resize(cp.ascontiguousarray(plain), dsize, interpolation)
    if key is not None and plan.kept and len(_plans) < _PLANS_KEPT:
        _plans[key] = plan
    return _run(plan, data, view.dtype)


class _CallPlan(NamedTuple):
    """What a resize of one shape, layout and target launches: its arrays' shapes and its two passes."""

    out_shape: tuple
    mid_shape: tuple  # None for a fused resize: one launch, no intermediate
    first: tuple  # (kernel, grid, block, weights, offsets, scalars)
    second: tuple  # the same, planned for a 16-byte aligned intermediate
    second_args: tuple  # what plans the second pass anew should the intermediate not be aligned
    kept: bool  # whether both weight tables are kept ones (the plan may be kept then)


def _run(plan, src, dtype):
    """The output of a planned resize of src (a memory pointer)."""
    output = cp.empty(plan.out_shape, dtype=dtype)
    if plan.mid_shape is None:  # one fused launch
        _run_pass(plan.first, src, output)
        return output
    middle = cp.empty(plan.mid_shape, dtype=cp.float32)
    second = plan.second
    if middle.data.ptr % 16:  # not so from CuPy's pools, but planned for all the same
        second = _plan_pass(*plan.second_args, False)
    _run_pass(plan.first, src, middle)
    _run_pass(second, middle, output)
    return output


def _run_pass(launch, src, dst):
    """One planned pass (or fused resize) from src into dst."""
    kernel, grid, block, weights, offsets, scalars = launch
    kernel(grid, block, (src, dst, weights, offsets) + scalars)


def _pass(src, src_element, dst, dst_element, group, groups, table, out_w, out_h, src_strides, dst_strides, device):
    """One pass along x or y (`table[1]`) into dst, out_h x out_w destination pixels, planned now
    (for tables of its own, as the tiled resize's; `device`: the current one)."""
    aligned = (src.ptr if isinstance(src, cp.cuda.MemoryPointer) else src.data.ptr) % 16 == 0
    launch = _plan_pass(src_element, dst_element, group, groups, table, out_w, out_h, src_strides, dst_strides,
                        aligned)  # fmt: skip
    _run_pass(launch, src, dst)


def _x_first(height, width, out_h, out_w, x_taps, y_taps):
    """Whether a resize filters along x first: the cheaper order, by taps. Along x first costs
    height * out_w * x_taps + out_h * out_w * y_taps taps; along y first out_h * width * y_taps +
    out_h * out_w * x_taps. At equal cost the pass along x, whose taps are the costlier loads, runs
    over the fewer rows: along y first where the height shrinks. Every road that must give the
    single call's values (lists, tiles) takes its order from here."""
    x_cost = height * out_w * x_taps + out_h * out_w * y_taps
    y_cost = out_h * width * y_taps + out_h * out_w * x_taps
    return x_cost < y_cost or (x_cost == y_cost and height <= out_h)


def _plan_call(view, dsize, interpolation):
    """The _CallPlan of a resize of view, with every check; None when its strides need a contiguous copy."""
    element = _launch.element_of(view, "resize", "image")
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
    _launch.check_axes((height, width), "resize", "image")
    out_w, out_h, row = _target_and_filter(dsize, interpolation, width, height, "resize")

    itemsize = view.itemsize
    if any(st % itemsize for st in strides):  # strides the kernel cannot count in elements
        return None
    src_sy, src_sx, src_sc = (st // itemsize for st in strides)
    # The passes offset a window's taps from its first in 32 bits.
    x_taps, y_taps = _taps(row, width, out_w), _taps(row, height, out_h)
    if max(x_taps * abs(src_sx), y_taps * abs(src_sy), y_taps * out_w * channels) > _INT32:
        if view.c_contiguous or y_taps * out_w * channels > _INT32:
            raise ValueError(f"resize: image of shape {shape} to {(out_w, out_h)} spans too much memory per window to index")
        return None
    if view.ndim == 2:
        out_shape = (out_h, out_w)
        dst_sy, dst_sx, dst_sc = out_w, 1, 0
    elif channel_first:
        out_shape = (channels, out_h, out_w)
        dst_sy, dst_sx, dst_sc = out_w, 1, out_h * out_w
    else:
        out_shape = (out_h, out_w, channels)
        dst_sy, dst_sx, dst_sc = out_w * channels, channels, 1

    # Channels in groups of `group` adjacent ones (one kernel thread each), the
    # groups along grid z: all of a channel-last image's channels at once when
    # they divide up so, one plane at a time otherwise.
    group = next(g for g in (4, 3, 2, 1) if channels % g == 0) if src_sc == 1 and dst_sc == 1 else 1
    groups = channels // group
    if groups > _MAX_GRID_Z:
        raise ValueError(f"resize: image of shape {shape} has more than {_MAX_GRID_Z * group} channels")

    device = view.data.device_id  # the current device: array_view refuses an array on another
    x_table = _table(row, width, out_w, x_taps, device)
    y_table = _table(row, height, out_h, y_taps, device)
    x_first = _x_first(height, width, out_h, out_w, x_taps, y_taps)
    kept = _tables_hold(x_table[0]) and _tables_hold(y_table[0])
    src_group_strides, dst_group_strides = (src_sy, src_sx, group * src_sc), (dst_sy, dst_sx, group * dst_sc)
    if kept and src_sx == group:  # one launch through shared memory where it pays and fits
        fused = _plan_fused(element, group, groups, x_table, y_table, x_first, (row, device), (height, width),
                            (out_h, out_w), src_group_strides, dst_group_strides,
                            view.data.ptr % (4 * itemsize) == 0)  # fmt: skip
        if fused is not None:
            return _CallPlan(out_shape, None, fused, None, None, kept)
    mid_h, mid_w = (height, out_w) if x_first else (out_h, width)
    mid = (mid_w * channels, channels, group)
    first_pass = (x_table, "x") if x_first else (y_table, "y")
    second_pass = (y_table, "y") if x_first else (x_table, "x")
    # Whether the source starts on a 16-byte boundary (the intermediate, a new array, does).
    aligned = view.data.ptr % 16 == 0
    first = _plan_pass(element, "F32", group, groups, first_pass, mid_w, mid_h, src_group_strides, mid, aligned)
    second_args = ("F32", element, group, groups, second_pass, out_w, out_h, mid, dst_group_strides)
    return _CallPlan(out_shape, (mid_h, mid_w, channels), first, _plan_pass(*second_args, True), second_args, kept)


def _table(row, n, out, taps, device):
    """(weights, offsets, taps, stride) of one axis on a device: per destination index the first
    of `taps` source pixels and their normalised weights, a row of `stride` floats each.

    Kept after the first call for the same axis (see _tables); otherwise computed on the
    caller's stream like the passes that read it.
    """
    key = (row, n, out, taps, device)
    with _tables_lock:
        table = _tables.get(key)
    if table is not None:
        return table
    scale = n / out
    stride = -(-taps // 4) * 4
    if out * stride > _INT32:
        raise ValueError(f"resize: a weight table of {out} x {stride} entries is too large to index")
    weights = cp.empty((out, stride), dtype=cp.float32)
    offsets = cp.empty(out, dtype=cp.int32)
    kernel = _sources.RESIZE.function(_sources.weights_expression(row))
    kernel(
        (-(-out // 128),), (128,),
        (weights, offsets, np.int32(out), np.int32(n), np.int32(taps), np.int32(stride), np.float32(scale),
         *(np.float32(v) for v in row.values())),
    )  # fmt: skip
    table = weights, offsets, taps, stride
    if weights.nbytes <= _TABLE_BYTES and len(_tables) < _TABLES_KEPT:
        cp.cuda.get_current_stream().synchronize()
        with _tables_lock:
            if len(_tables) < _TABLES_KEPT:
                table = _tables.setdefault(key, table)
    return table


@functools.lru_cache(maxsize=1024)
def _taps(row, n, out):
    """The most taps any destination index of an axis has: the integers i with |i - p| < reach.

    Kept per (filter row, size, destination size): a repeated resize plans nothing anew.
    """
    scale = n / out
    reach = row.reach(scale)
    p = (np.arange(out, dtype=np.float64) + 0.5) * scale - 0.5
    return min(n, max(1, int((np.ceil(p + reach) - np.floor(p - reach) - 1).max())))


# Plans of whole calls (see resize): kept up to _PLANS_KEPT, computed per call past that.
_PLANS_KEPT = 256
_plans = {}


# The fused resize (resampling/_resize_fused.cu), in the axis order the two
# passes would take: a block's tile is 96 values wide for three channels, 128
# otherwise, and _FUSED_ROWS thread rows tall; it filters along the first axis
# the source its tile's windows reach into _FUSED_FLOATS floats of shared
# memory, for up to _FUSED_TILE_H destination rows. Taken for reductions by
# more than one and at most _FUSED_REDUCTION along both axes: there the
# intermediate two passes write and read is half to a quarter of the source,
# and a tile's source fits shared memory tens of rows tall. Beyond, the tiles
# shrink to a few rows and the intermediate to a sliver; enlargements and
# mixed resizes keep the two passes too (an enlarged tile's source columns
# overlap its neighbours' by a third or more). Also only while its taps, the
# tiles' overlaps included, stay within _FUSED_TAPS times those of the two
# passes, and where its grid has _FUSED_BLOCKS blocks or more: with fewer,
# most of a GPU would sit idle while each block filters its whole tile, and
# the two passes spread a small resize over more threads.
_FUSED_ROWS = 1
_FUSED_FLOATS = 8192
_FUSED_TILE_H = 32
_FUSED_TAPS = 1.5
_FUSED_REDUCTION = 4
_FUSED_BLOCKS = 64
# Tile spans by (filter row, device, source and destination size, taps, tile
# size): per tile the first source pixel (or row) its windows read and how
# many, read once from a kept offset table.
_spans = {}


def _plan_fused(element, group, groups, x_table, y_table, x_first, row_device, size, out_size, src_strides,
                dst_strides, aligned):  # fmt: skip
    """The launch of a fused resize (as _plan_pass's), or None where it would not pay or fit; `aligned`:
    whether the source starts on a multiple of four elements."""
    (height, width), (out_h, out_w) = size, out_size
    if not (out_w < width <= _FUSED_REDUCTION * out_w and out_h < height <= _FUSED_REDUCTION * out_h):
        return None
    (wx, ox, taps_x, stride_x), (wy, oy, taps_y, stride_y) = x_table, y_table
    values = 96 if group == 3 else 128
    pixels = values // group
    if x_first:
        # Tiles as tall as their source rows fit shared memory, up to _FUSED_TILE_H.
        tile_h = _FUSED_TILE_H
        while True:
            most, spans, device_spans = _tile_spans(y_table, (*row_device, height, out_h, tile_h))
            if most <= _FUSED_FLOATS // values or tile_h == 1:
                break
            tile_h //= 2
        fits = most <= _FUSED_FLOATS // values
        taps = spans[:, 1].sum() * out_w * taps_x + out_h * out_w * taps_y
        two_passes = height * out_w * taps_x + out_h * out_w * taps_y
    else:
        most, spans, device_spans = _tile_spans(x_table, (*row_device, width, out_w, pixels))
        tile_h = min(_FUSED_TILE_H, _FUSED_FLOATS // (most * group + 6))  # up to 6 more values in quads
        fits = tile_h >= 1
        taps = spans[:, 1].sum() * out_h * taps_y + out_h * out_w * taps_x
        two_passes = out_h * width * taps_y + out_h * out_w * taps_x
    if not fits or taps > _FUSED_TAPS * two_passes:
        return None
    grid = (-(-out_w // pixels), -(-out_h // tile_h), groups)
    if grid[1] > _MAX_GRID_Y or grid[0] * grid[1] * grid[2] < _FUSED_BLOCKS:
        return None
    quads = (not x_first and aligned and (width * group) % 4 == 0 and src_strides[0] % 4 == 0
             and (groups == 1 or src_strides[2] % 4 == 0))  # fmt: skip
    kernel = _sources.RESIZE_FUSED.function(_sources.fused_expression(element, element, group, not x_first, quads))
    scalars = (np.int32(taps_x), np.int32(stride_x), wy, oy, np.int32(taps_y), np.int32(stride_y), device_spans,
               np.int32(tile_h), np.int32(out_w), np.int32(out_h), np.int64(src_strides[0]), np.int64(src_strides[2]),
               *map(np.int64, dst_strides))  # fmt: skip
    return kernel, grid, (values, _FUSED_ROWS, 1), wx, ox, scalars


def _tile_spans(table, key):
    """(most, spans, spans on the device) of a kept table of key (filter row, device, n, out, tile) in
    tiles of `tile` destination indices: spans an int32 array of (first source index, count) per tile,
    `most` the largest count. Reads the offsets back once (kept tables are complete: their stream was
    synchronised before they were kept)."""
    found = _spans.get(key)
    if found is None:
        offsets, taps, tile = table[1].get(), table[2], key[-1]
        count = -(-len(offsets) // tile)
        padded = np.concatenate([offsets, np.repeat(offsets[-1:], count * tile - len(offsets))])
        first = padded.reshape(count, tile).min(axis=1)
        counts = padded.reshape(count, tile).max(axis=1) + taps - first
        spans = np.stack([first, counts], axis=1).astype(np.int32)
        device_spans = cp.asarray(spans)
        cp.cuda.get_current_stream().synchronize()  # complete for a launch on any stream
        found = _spans[key] = int(counts.max()), spans, device_spans
    return found


def _tables_hold(weights):
    """Whether a weight table is one of the kept ones (a plan may refer to it then)."""
    with _tables_lock:
        return any(t[0] is weights for t in _tables.values())


def _plan_pass(src_element, dst_element, group, groups, table, out_w, out_h, src_strides, dst_strides, aligned):
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
    grid = (-(-threads_w // block[0]), min(-(-out_h // (block[1] * rows)), _MAX_GRID_Y), groups)
    kernel = _sources.RESIZE.function(_sources.pass_expression(src_element, dst_element, group, axis))
    scalars = (np.int32(taps), np.int32(stride), np.int32(kernel_w), np.int32(out_h),
               *map(np.int64, src_strides), *map(np.int64, dst_strides))  # fmt: skip
    return kernel, grid, block, weights, offsets, scalars
