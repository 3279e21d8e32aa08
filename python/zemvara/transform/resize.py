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

linear=True and alpha="premultiplied" take one of the routes of
`resampling/light.py`: uint8 without alpha decoded in the passes' loads and
encoded in their stores, anything else converted to float32 around the plain
call.
"""

from typing import NamedTuple

import cupy as cp
import numpy as np

from ._handoff import handoff
from .resampling import _launch, _lists, _sources, arguments, light, opencv, pil, planning
from .schema import INTER_AUTO

__all__ = ["INTER_AUTO", "resize"]


def resize(image, dsize, interpolation=INTER_AUTO, *, compat=None, linear=False, alpha=None):
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

    compat="pil" gives Pillow's bytes instead (`PIL.Image.resize`, RGBA
    premultiplied as Pillow does): interpolation is then one of Pillow's filter
    values (`PIL.Image.Resampling.NEAREST` ... `LANCZOS`). compat="cv2" gives
    OpenCV's values (`cv2.resize`, uint8 within 1 on every value):
    interpolation is then one of OpenCV's `cv2.INTER_*` values (NEAREST,
    LINEAR, CUBIC, AREA, LANCZOS4, NEAREST_EXACT).

    linear=True takes the values as sRGB-encoded and resamples them in linear
    light (decoded, filtered, encoded again; integers rounded to the nearest
    encoded level); the alpha channel of a 4-channel image stays as it is.
    alpha="premultiplied" (4-channel images) weighs colour by alpha while
    resampling, so that transparent pixels give no colour; the source and the
    result hold straight alpha.
    """
    mode = arguments.light_mode("resize", linear, alpha, compat)
    if compat is not None:
        compat_resize = _COMPAT.get(compat) if isinstance(compat, str) else None
        if compat_resize is None:
            raise ValueError(f"resize: compat must be None, 'pil' or 'cv2', got {compat!r}")
        if type(image) is not cp.ndarray and not isinstance(image, list):
            if (hand := handoff("resize", image, name="image")) is not None:  # tensors, (N, H, W, C) batches
                return hand.run(lambda one: compat_resize(one, dsize, interpolation))
        return compat_resize(image, dsize, interpolation)
    if type(image) is not cp.ndarray:
        if isinstance(image, list):  # images of different sizes, one launch per pass
            return _lists.resize_list(image, dsize, interpolation, resize, mode)
        if (hand := handoff("resize", image, name="image")) is not None:  # a tensor or another library's array, (N, H, W, C) too
            return hand.run(lambda one: resize(one, dsize, interpolation, linear=linear, alpha=alpha))
    view = _launch.array_view(image, "resize", "image", "reads")
    route = None
    if not mode.plain:  # every check of the plain call first
        p = planning.image_plan(view, dsize, interpolation)
        route = arguments.light_route("resize", mode, view.dtype, p.channels, "image")
        if route == "convert":
            axis = 0 if p.channel_first else -1
            result = resize(light.prepare(_launch.plain(view), mode, axis), dsize, interpolation)
            return light.finish(result, view.dtype, mode, axis)
    data = view.data
    # A repeated call finds everything but its two arrays planned: the plan
    # depends on the view's shape, strides and element type, the target, the
    # filter, the device and the source's place within 16 bytes, nothing else.
    # Only a dsize tuple of two ints and an int interpolation are looked up:
    # equal values of other types (1920.0, True) must still meet their errors.
    key = None
    if type(dsize) is tuple and type(interpolation) is int and len(dsize) == 2 and type(dsize[0]) is type(dsize[1]) is int:
        key = (view.shape, view.strides, view.dtype, dsize, interpolation, data.device_id, data.ptr % 16, route)
        plan = _plans.get(key)
        if plan is not None:
            return _run(plan, data, view.dtype)
    plan = _plan_call(view, dsize, interpolation, route)
    if plan is None:  # strides the kernels cannot take: a contiguous copy
        plain = cp.ndarray(view.shape, view.dtype, memptr=data, strides=view.strides)
        return resize(cp.ascontiguousarray(plain), dsize, interpolation, linear=linear, alpha=alpha)
    if key is not None and plan.kept and len(_plans) < _PLANS_KEPT:
        _plans[key] = plan
    return _run(plan, data, view.dtype)


# compat -> the resize that gives that library's values (an image or a list of images).
_COMPAT = {"pil": pil.resize_pil, "cv2": opencv.resize_cv2}


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
        planning.run_pass(plan.first, src, output)
        return output
    middle = cp.empty(plan.mid_shape, dtype=cp.float32)
    second = plan.second
    if middle.data.ptr % 16:  # not so from CuPy's pools, but planned for all the same
        second = planning.plan_pass(*plan.second_args, False)
    planning.run_pass(plan.first, src, middle)
    planning.run_pass(second, middle, output)
    return output


def _plan_call(view, dsize, interpolation, route=None):
    """The _CallPlan of a resize of view, with every check; None when its strides need a contiguous copy.
    route: None, or "kernel" for values decoded and encoded in the kernels (see light.py)."""
    p = planning.image_plan(view, dsize, interpolation)
    if p.src_strides is None:  # strides the kernel cannot count in elements
        return None
    if not p.narrow:  # the passes offset a window's taps from its first in 32 bits
        if view.c_contiguous or not planning.fits_copied(p):
            planning.refuse_wide(p)
        return None
    (height, width), (out_h, out_w), channels, row = (p.height, p.width), (p.out_h, p.out_w), p.channels, p.row
    (src_sy, src_sx, src_sc), (dst_sy, dst_sx, dst_sc) = p.src_strides, p.dst_strides
    element = light.element(_launch.ELEMENTS[view.dtype], route)
    group = planning.channel_group(channels, src_sc == 1 and dst_sc == 1, "resize", p.shape)
    groups = channels // group

    device = view.data.device_id  # the current device: array_view refuses an array on another
    x_table = planning.table(row, width, out_w, p.x_taps, device)
    y_table = planning.table(row, height, out_h, p.y_taps, device)
    x_first = p.x_first
    kept = planning.tables_hold(x_table[0]) and planning.tables_hold(y_table[0])
    src_group_strides, dst_group_strides = (src_sy, src_sx, group * src_sc), (dst_sy, dst_sx, group * dst_sc)
    if kept and src_sx == group:  # one launch through shared memory where it pays and fits
        fused = _plan_fused(element, group, groups, x_table, y_table, x_first, (row, device), (height, width),
                            (out_h, out_w), src_group_strides, dst_group_strides,
                            view.data.ptr % (4 * view.itemsize) == 0)  # fmt: skip
        if fused is not None:
            return _CallPlan(p.out_shape, None, fused, None, None, kept)
    mid_h, mid_w = (height, out_w) if x_first else (out_h, width)
    mid = (mid_w * channels, channels, group)
    first_pass = (x_table, "x") if x_first else (y_table, "y")
    second_pass = (y_table, "y") if x_first else (x_table, "x")
    # Whether the source starts on a 16-byte boundary (the intermediate, a new array, does).
    aligned = view.data.ptr % 16 == 0
    first = planning.plan_pass(element, "F32", group, groups, first_pass, mid_w, mid_h, src_group_strides, mid,
                               aligned)  # fmt: skip
    second_args = ("F32", element, group, groups, second_pass, out_w, out_h, mid, dst_group_strides)
    return _CallPlan(p.out_shape, (mid_h, mid_w, channels), first, planning.plan_pass(*second_args, True),
                     second_args, kept)  # fmt: skip


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
# sRGB-encoded uint8 along y first in vector loads: the tile's rows and its source rows, decoded once,
# in this many floats of shared memory (FusedTile::LINEAR_FLOATS).
_FUSED_LINEAR_FLOATS = 12288
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
    quads = (not x_first and aligned and (width * group) % 4 == 0 and src_strides[0] % 4 == 0
             and (groups == 1 or src_strides[2] % 4 == 0))  # fmt: skip
    if not x_first:
        most, spans, device_spans = _tile_spans(x_table, (*row_device, width, out_w, pixels))
        tile_h = min(_FUSED_TILE_H, _FUSED_FLOATS // (most * group + 6))  # up to 6 more values in quads
        if quads and element == light.SRGB_ELEMENT:
            # The tile's rows and its source rows, decoded once, share _FUSED_LINEAR_FLOATS.
            heights = (_FUSED_TILE_H >> k for k in range(_FUSED_TILE_H.bit_length()))
            tile_h = next((h for h in heights if (h + _tile_spans(y_table, (*row_device, height, out_h, h))[0])
                           * (most * group + 6) <= _FUSED_LINEAR_FLOATS), 0)  # fmt: skip
        fits = tile_h >= 1
        taps = spans[:, 1].sum() * out_h * taps_y + out_h * out_w * taps_x
        two_passes = out_h * width * taps_y + out_h * out_w * taps_x
    if not fits or taps > _FUSED_TAPS * two_passes:
        return None
    grid = (-(-out_w // pixels), -(-out_h // tile_h), groups)
    if grid[1] > planning.MAX_GRID_Y or grid[0] * grid[1] * grid[2] < _FUSED_BLOCKS:
        return None
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
