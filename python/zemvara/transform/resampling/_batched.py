"""Lists of images of different sizes through `resize` and the border-mode warps, one launch per pass.

`resize_list` and `warp_list` take a Python list of images (CuPy arrays, or
PyTorch tensors and other libraries' device arrays, not mixed) of one element
type and channel count, and return a list of results, each equal value for
value to the single-image call. Every image gets a row in a table on the
device (its pointers, sizes, strides and weight tables or matrix), uploaded
in one copy on the current stream; one launch then covers the images of a
pass, its blocks mapped onto the images through the table (`_batched.cuh`):

- resize: the missing weight tables of all images in one launch per filter
  (kept as the single call keeps them), then each of the two passes in at
  most two launches, one for the images filtered along x first and one for
  those filtered along y first (each image takes the cheaper order, as the
  single call does);
- warps: one launch for the whole list.

The results (and the resize intermediates) are views into one allocation
each, 256-byte aligned. An image whose strides the batched kernels cannot
count in elements, or whose window would overflow 32-bit offsets, takes the
single-image call instead (which copies or refuses it as it always does).
"""

import contextlib
import math
import numbers
import operator
from pathlib import Path

import cupy as cp
import numpy as np

from .. import _handoff
from . import _launch, _sources, filters
from .warping import WARP_ACCEPTS, WARP_BORDERS, WARP_FILTERS

_HERE = Path(__file__).parent
_HEADER = (_HERE / "_batched.cuh").read_text()
_sources.RESIZE.append(_HEADER + (_HERE / "_batched_resize.cu").read_text())
_sources.WARP.append(_HEADER + (_HERE / "_batched_warp.cu").read_text())

# Columns of the device tables, as the kernels' enums number them.
_RW_COLUMNS = 8  # first block, weights, offsets, out, n, taps, stride, scale bits
_RP_COLUMNS = 16  # first block, blocks along x, src, dst, weights, offsets, taps, stride, out w, out h, 6 strides
_WB_COLUMNS = 14  # first block, blocks along x, src, dst, src h, w, sy, sx, dst h, w, sy, sx, sc, matrix row

_ALIGN = 256  # bytes: where each result and intermediate starts in its allocation
_WEIGHT_BLOCK = 128  # threads a block of the weight-table launch
_X_BLOCK, _X_ROWS = (32, 8, 1), 8  # pass along x: 32 columns a warp, 8 rows a thread
_Y_BLOCK, _Y_ROWS = (64, 4, 1), 4  # pass along y: rows side by side, 4 rows a thread
_WARP_BLOCK = (16, 16, 1)
_MAX_BLOCKS = 2**31 - 1
_INT32 = 2**31 - 1


def weights_batch_expression(row):
    return f"zemvara::resize_weights_batch<{row.traits}>"


def pass_batch_expression(src_element, dst_element, channels, axis):
    return f"zemvara::resize_pass_batch<zemvara::{src_element}, zemvara::{dst_element}, {channels}, zemvara::{axis}>"


def warp_batch_expression(traits, element, channels, perspective):
    return f"zemvara::warp_image_batch<{traits}, zemvara::{element}, {channels}, {str(perspective).lower()}>"


def batch_expressions():
    """Every batched specialisation: (source, expression)."""
    rows = list({row.traits: row for row in filters.FILTERS}.values())
    out = [(_sources.RESIZE, weights_batch_expression(r)) for r in rows]
    for element in _launch.ELEMENTS.values():
        for channels in (1, 2, 3, 4):
            for axis in _sources.PASS_AXES:
                out.append((_sources.RESIZE, pass_batch_expression(element, "F32", channels, axis)))
                out.append((_sources.RESIZE, pass_batch_expression("F32", element, channels, axis)))
            for traits in _sources.WARP_TRAITS:
                for perspective in (False, True):
                    out.append((_sources.WARP, warp_batch_expression(traits, element, channels, perspective)))
    return list(dict.fromkeys(out))


# ---- shared steps ----------------------------------------------------------------------


def _views(who, images, name, dst=None):
    """(CuPy images, CuPy dsts or None, the hand-off or None) of a list; the list refused when empty or mixed."""
    if not images:
        raise ValueError(f"{who}: {name} is an empty list; give at least one image")
    if dst is not None and (not isinstance(dst, list) or len(dst) != len(images)):
        raise ValueError(f"{who}: dst must be a list of {len(images)} arrays, one per image, got {type(dst).__name__}")
    hand = _handoff.handoff_list(who, images, dst, name)
    if hand is None:
        return images, dst, None
    return hand.src, hand.dst, hand


def _sizes(who, dsize, count):
    """(width, height) per image: dsize one (width, height) for all, or a list of one per image."""
    per_image = isinstance(dsize, list) and bool(dsize) and isinstance(dsize[0], (tuple, list))
    sizes = list(dsize) if per_image else [dsize] * count
    if len(sizes) != count:
        raise ValueError(f"{who}: dsize holds {len(sizes)} sizes for {count} images; give one for all or one per image")
    return sizes


def _buffer(extents, dtype):
    """One allocation holding each extent (in elements) at a 256-byte boundary, and each part's element offset."""
    itemsize = np.dtype(dtype).itemsize
    step = _ALIGN // itemsize
    offsets, total = [], 0
    for n in extents:
        offsets.append(total)
        total += -(-n // step) * step
    return cp.empty(max(total, 1), dtype=dtype), offsets


def _blocks(width, height, block, rows=1):
    blocks_x = -(-width // block[0])
    return blocks_x, blocks_x * -(-height // (block[1] * rows))


def _first_blocks(table, counts, who):
    """Writes each row's first block; refuses a launch past the grid's limit along x."""
    total = 0
    for i, n in enumerate(counts):
        table[i, 0] = total
        total += n
    if total > _MAX_BLOCKS:
        raise ValueError(f"{who}: the list takes {total} blocks in one launch, more than {_MAX_BLOCKS}; split it")
    return total


# ---- resize ------------------------------------------------------------------------------


class _Plan:
    """One image of a resize list: what the single call would do with it."""

    __slots__ = ("view", "out_w", "out_h", "width", "height", "channels", "row", "x_taps", "y_taps",
                 "src_strides", "dst_strides", "shape", "x_first", "single", "dsize", "channel_first")  # fmt: skip


def _plan_resize(index, image, dsize, interpolation, resize):
    """The plan of image `index`, with every check of the single call (same messages, the image named by index)."""
    what = f"image[{index}]"
    view = _launch.array_view(image, "resize", what, "reads")
    _launch.element_of(view, "resize", what)
    p = _Plan()
    p.view, p.dsize, p.single = view, dsize, False
    shape = view.shape
    if view.ndim == 2:
        (p.height, p.width), p.channels, strides, p.channel_first = shape, 1, view.strides + (0,), False
    elif view.ndim == 3:
        p.channel_first = resize._is_channel_first(shape)
        if p.channel_first:
            (p.channels, p.height, p.width), strides = shape, view.strides[1:] + view.strides[:1]
        else:
            (p.height, p.width, p.channels), strides = shape, view.strides
    else:
        raise ValueError(f"resize: {what} has shape {shape}; accepted: (H, W), (H, W, C) or (C, H, W)")
    if p.channels == 0:
        raise ValueError(f"resize: {what} of shape {shape} has no channels")
    _launch.check_axes((p.height, p.width), "resize", what)
    p.out_w, p.out_h = resize._target_size(dsize)
    if not (0 < p.out_w <= _launch.MAX_AXIS and 0 < p.out_h <= _launch.MAX_AXIS):
        raise ValueError(f"resize: dsize (width, height) must lie in 1..{_launch.MAX_AXIS}, got {tuple(dsize)}")
    inter = int(interpolation) if isinstance(interpolation, np.integer) else interpolation
    if type(inter) is int and inter == resize.INTER_AUTO:
        grows = p.out_w > p.width or p.out_h > p.height
        inter = resize.INTER_MITCHELL if grows else resize.INTER_AREA
    p.row = filters.BY_INTER.get(inter) if type(inter) is int else None
    if p.row is None:
        raise ValueError("Unsupported interpolation: " + str(interpolation))
    p.shape = shape
    itemsize = view.itemsize
    if any(st % itemsize for st in strides):
        p.single = True  # the single call copies it first
        return p
    p.src_strides = tuple(st // itemsize for st in strides)
    p.x_taps, p.y_taps = resize._taps(p.row, p.width, p.out_w), resize._taps(p.row, p.height, p.out_h)
    sy, sx, _ = p.src_strides
    if max(p.x_taps * abs(sx), p.y_taps * abs(sy), p.y_taps * p.out_w * p.channels) > _INT32:
        p.single = True  # the single call copies or refuses it
        return p
    if view.ndim == 2:
        p.dst_strides = (p.out_w, 1, 0)
    elif p.channel_first:
        p.dst_strides = (p.out_w, 1, p.out_h * p.out_w)
    else:
        p.dst_strides = (p.out_w * p.channels, p.channels, 1)
    p.x_first = resize._x_first(p.height, p.width, p.out_h, p.out_w, p.x_taps, p.y_taps)  # the single call's order
    return p


def _weight_tables(plans, resize):
    """The weight tables (weights, offsets, taps, stride) of every axis of the plans, by key: those kept
    from earlier calls, the rest computed in one launch per filter and kept as the single call keeps them."""
    device = cp.cuda.Device().id
    wanted = {}
    for p in plans:
        for n, out, taps in ((p.width, p.out_w, p.x_taps), (p.height, p.out_h, p.y_taps)):
            wanted[(p.row, n, out, taps, device)] = None
    with resize._tables_lock:
        for key in wanted:
            wanted[key] = resize._tables.get(key)
    missing = [key for key, table in wanted.items() if table is None]
    if not missing:
        return wanted
    missing.sort(key=lambda key: key[0].inter)  # one launch per filter: its tables side by side
    strides = [-(-taps // 4) * 4 for (_, _, out, taps, _) in missing]
    for (_, _, out, _, _), stride in zip(missing, strides):
        if out * stride > _INT32:
            raise ValueError(f"resize: a weight table of {out} x {stride} entries is too large to index")
    weights, w_at = _buffer([out * s for (_, _, out, _, _), s in zip(missing, strides)], np.float32)
    offsets, o_at = _buffer([out for (_, _, out, _, _) in missing], np.int32)
    table = np.zeros((len(missing), _RW_COLUMNS), np.int64)
    launches = {}  # filter row -> (first table, tables)
    for i, ((row, n, out, taps, _), stride) in enumerate(zip(missing, strides)):
        scale = np.float32(n / out).view(np.int32)
        table[i, 1:] = (weights.data.ptr + 4 * w_at[i], offsets.data.ptr + 4 * o_at[i], out, n, taps, stride, scale)
        first, count = launches.get(row, (i, 0))
        launches[row] = (first, count + 1)
    totals = {row: _first_blocks(table[first : first + count], [-(-int(out) // _WEIGHT_BLOCK) for out in table[first : first + count, 3]], "resize")
              for row, (first, count) in launches.items()}  # fmt: skip
    device_table = cp.asarray(table)
    for row, (first, count) in launches.items():
        kernel = _sources.RESIZE.function(weights_batch_expression(row))
        kernel((totals[row],), (_WEIGHT_BLOCK,), (device_table[first:], np.int32(count),
                                                   *(np.float32(v) for v in row.values())))  # fmt: skip
    keep = []
    for i, (key, stride) in enumerate(zip(missing, strides)):
        out, taps = key[2], key[3]
        w = weights[w_at[i] : w_at[i] + out * stride].reshape(out, stride)
        o = offsets[o_at[i] : o_at[i] + out]
        wanted[key] = (w, o, taps, stride)
        if w.nbytes <= resize._TABLE_BYTES:
            keep.append(key)
    if keep and len(resize._tables) < resize._TABLES_KEPT:
        # As the single call: the computing stream finishes once before the tables are kept, so
        # that a pass on any stream may read them later.
        cp.cuda.get_current_stream().synchronize()
        with resize._tables_lock:
            for key in keep:
                if len(resize._tables) < resize._TABLES_KEPT:
                    wanted[key] = resize._tables.setdefault(key, wanted[key])
    return wanted


def resize_list(images, dsize, interpolation):
    """`resize` of a list of images: a list of results, each the single call's, in one launch per pass."""
    from .. import resize as resize_module

    images, _, hand = _views("resize", images, "image")
    sizes = _sizes("resize", dsize, len(images))
    plans = [_plan_resize(i, image, size, interpolation, resize_module) for i, (image, size) in enumerate(zip(images, sizes))]
    first = plans[0]
    for i, p in enumerate(plans):
        if p.view.dtype != first.view.dtype or p.channels != first.channels:
            raise ValueError(
                f"resize: image[{i}] holds {p.channels} channels of {p.view.dtype}, image[0] {first.channels} of "
                f"{first.view.dtype}; a list takes one element type and channel count"
            )
    with hand if hand is not None else contextlib.nullcontext():
        results = _resize_plans(plans, images, interpolation, resize_module)
        return hand.back_list(results) if hand is not None else results


def _resize_plans(plans, images, interpolation, resize):
    """The results of the plans: the batched ones in one launch per pass and axis, the rest one by one."""
    results = [None] * len(plans)
    batched = [(i, p) for i, p in enumerate(plans) if not p.single]
    if batched:
        for (i, _), result in zip(batched, _resize_batched([p for _, p in batched], resize)):
            results[i] = result
    for i, p in enumerate(plans):
        if p.single:
            results[i] = resize.resize(images[i], p.dsize, interpolation)
    return results


def _resize_batched(plans, resize):
    channels, dtype = plans[0].channels, plans[0].view.dtype
    element = _launch.ELEMENTS[dtype]
    tables = _weight_tables(plans, resize)
    # Channels in groups of `group` adjacent ones when every image's channels lie side by side,
    # as the single call groups them; one at a time otherwise (the same values either way).
    side_by_side = all(p.src_strides[2] == 1 and p.dst_strides[2] == 1 for p in plans)
    group = next(g for g in (4, 3, 2, 1) if channels % g == 0) if side_by_side else 1
    if channels // group > 65535:
        raise ValueError(f"resize: images with {channels} channels take more than 65535 channel groups")
    mids = [(p.height, p.out_w) if p.x_first else (p.out_h, p.width) for p in plans]
    middle, mid_at = _buffer([h * w * channels for h, w in mids], np.float32)
    output, out_at = _buffer([p.out_h * p.out_w * channels for p in plans], dtype)
    device = cp.cuda.Device().id
    passes = {}  # (pass 0 or 1, axis) -> the rows of its images
    for p, (mid_h, mid_w), m_at, o_at in zip(plans, mids, mid_at, out_at):
        mid_ptr, out_ptr = middle.data.ptr + 4 * m_at, output.data.ptr + dtype.itemsize * o_at
        mid = (mid_w * channels, channels, group)
        x_table = tables[(p.row, p.width, p.out_w, p.x_taps, device)]
        y_table = tables[(p.row, p.height, p.out_h, p.y_taps, device)]
        sy, sx, sc = p.src_strides
        dy, dx, dc = p.dst_strides
        first = (p.view.data.ptr, (sy, sx, group * sc), mid_ptr, mid, mid_w, mid_h)
        second = (mid_ptr, mid, out_ptr, (dy, dx, group * dc), p.out_w, p.out_h)
        order = ((x_table, "x"), (y_table, "y")) if p.x_first else ((y_table, "y"), (x_table, "x"))
        for n, ((table, axis), (src, src_st, dst, dst_st, out_w, out_h)) in enumerate(zip(order, (first, second))):
            weights, offsets, taps, stride = table
            passes.setdefault((n, axis), []).append(
                (src, dst, weights.data.ptr, offsets.data.ptr, taps, stride, out_w, out_h, *src_st, *dst_st)
            )
    rows = np.zeros((sum(map(len, passes.values())), _RP_COLUMNS), np.int64)
    launches, start = [], 0
    for n, axis in sorted(passes):  # the first pass of every image before any second pass
        part = rows[start : start + len(passes[(n, axis)])]
        part[:, 2:] = passes[(n, axis)]
        block, per_thread = (_Y_BLOCK, _Y_ROWS) if axis == "y" else (_X_BLOCK, _X_ROWS)
        counts = []
        for r in part:  # r[8], r[9]: the destination's width and height
            r[1], count = _blocks(int(r[8]), int(r[9]), block, per_thread)
            counts.append(count)
        total = _first_blocks(part, counts, "resize")
        if axis == "y":
            name = "ALONG_Y"
        else:  # packed where every image's pixels lie `group` elements apart (r[11], the source's x step)
            name = "ALONG_PACKED_X" if all(r[11] == group for r in part) else "ALONG_X"
        elements = (element, "F32") if n == 0 else ("F32", element)
        launches.append((start, len(part), total, block, per_thread, pass_batch_expression(*elements, group, name)))
        start += len(part)
    device_rows = cp.asarray(rows)
    for begin, count, total, block, per_thread, expression in launches:
        _sources.RESIZE.function(expression)(
            (total, 1, channels // group), block, (device_rows[begin:], np.int32(count), np.int32(per_thread))
        )
    results = []
    for p, at in zip(plans, out_at):
        if p.view.ndim == 2:
            shape = (p.out_h, p.out_w)
        else:
            shape = (channels, p.out_h, p.out_w) if p.channel_first else (p.out_h, p.out_w, channels)
        results.append(output[at : at + p.out_h * p.out_w * channels].reshape(shape))
    return results


# ---- warps -------------------------------------------------------------------------------

_INVERSE_MAP = 16


def _is_integer(value):
    return not isinstance(value, (bool, np.bool_)) and isinstance(value, numbers.Integral)


def _is_real(value):
    return not isinstance(value, (bool, np.bool_)) and isinstance(value, numbers.Real)


def _warp_source(who, index, image):
    """(view, height, width, channels) of image `index`: (H, W) or (H, W, C), C from 1 to 4."""
    what = f"src[{index}]"
    if not isinstance(image, cp.ndarray):
        raise TypeError(f"{who}: {what} must be a CuPy array, got {type(image).__name__}")
    view = _launch.array_view(image, who, what)
    if view.dtype not in _launch.ELEMENTS:
        raise TypeError(f"{who}: {what} has element type {view.dtype}; accepted: {_launch.ACCEPTED_DTYPES}")
    shape = view.shape
    if not (view.ndim == 2 or (view.ndim == 3 and 1 <= shape[2] <= 4)):
        raise ValueError(f"{who}: {what} has shape {shape}; accepted in a list: (H, W) or (H, W, C) with C from 1 to 4")
    _launch.check_axes(shape[:2], who, what)
    return view, shape[0], shape[1], shape[2] if view.ndim == 3 else 1


def _require_int(name, value):
    """The single call's argument type test: an int (Python or NumPy), not a bool."""
    if not _is_integer(value):
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})")
    return operator.index(value)


def _warp_filter(who, flags):
    value = operator.index(flags)
    inverse = value >= 0 and bool(value & _INVERSE_MAP)
    entry = WARP_FILTERS.get(value if value < 0 else value & ~_INVERSE_MAP)
    if entry is None:
        raise ValueError(f"{who}: flags {flags} names no warp filter; accepted: {WARP_ACCEPTS['flags']}, "
                         "optionally | WARP_INVERSE_MAP")  # fmt: skip
    return entry, inverse


def _warp_matrices(who, M, count, inverse, rows):
    """The inverse maps as float32 (K, 9) on the device, K = 1 or count (the single call's rules)."""
    m = cp.asnumpy(M) if isinstance(M, cp.ndarray) else np.asarray(M)
    if m.dtype.kind not in "iuf":
        raise TypeError(f"{who}: M must hold real numbers, got element type {m.dtype}")
    accepted = "; accepted: (2, 3) or (K, 2, 3)" if rows == 2 else "; accepted: (3, 3) or (K, 3, 3)"
    if not (m.ndim in (2, 3) and m.shape[-2:] == (rows, 3)):
        raise ValueError(f"{who}: M has shape {m.shape}{accepted}")
    k = 1 if m.ndim == 2 else m.shape[0]
    if k not in (1, count):
        raise ValueError(f"{who}: M holds {k} matrices for a list of {count} images; give one matrix or one per image")
    if not np.isfinite(m).all():
        raise ValueError(f"{who}: M holds a non-finite entry: {m.tolist()}")
    m = m.astype(np.float64).reshape(k, rows, 3)
    if rows == 2:
        m = np.concatenate([m, np.broadcast_to(np.array([0.0, 0.0, 1.0]), (k, 1, 3))], axis=1)
    if not inverse:
        if (np.linalg.det(m) == 0).any():
            raise ValueError(f"{who}: M is singular (determinant 0), so it has no inverse; give an invertible map, "
                             "or the inverse map itself with WARP_INVERSE_MAP")  # fmt: skip
        m = np.linalg.inv(m)
        if not np.isfinite(m).all():
            raise ValueError(f"{who}: M is too close to singular: its inverse is not finite")
    return cp.asarray(m.reshape(k, 9), dtype=cp.float32)


def _warp_size(who, dsize, height, width):
    if not (isinstance(dsize, (tuple, list)) and len(dsize) == 2 and all(_is_integer(v) for v in dsize)):
        raise TypeError(f"{who}: dsize must be (width, height), two ints, got {dsize!r}")
    w, h = (operator.index(v) for v in dsize)
    if w == 0 and h == 0:
        return height, width
    if not (1 <= w <= _launch.MAX_AXIS and 1 <= h <= _launch.MAX_AXIS):
        raise ValueError(f"{who}: dsize {dsize!r} is not a size; width and height from 1 to {_launch.MAX_AXIS}, "
                         "or (0, 0) for the source's size")  # fmt: skip
    return h, w


def _warp_fill(who, border_value, channels):
    if isinstance(border_value, np.ndarray) and border_value.ndim == 0:  # counts as its number
        border_value = border_value[()]
        if not _is_real(border_value):
            raise TypeError(f"{who}: border_value holds {border_value!r}, not a real number")
    if _is_real(border_value):
        return [border_value] * channels
    if not isinstance(border_value, (tuple, list, np.ndarray)):
        raise TypeError(f"{who}: border_value must be a number or one number per channel, got {type(border_value).__name__}")
    if len(border_value) != channels:
        raise ValueError(f"{who}: border_value holds {len(border_value)} values for {channels} channels; "
                         "give one number, or one per channel")  # fmt: skip
    for v in border_value:
        if not _is_real(v):
            raise TypeError(f"{who}: border_value holds {v!r}, not a real number")
    return list(border_value)


def warp_list(who, perspective, src, M, dsize, flags, border_mode, border_value, dst):
    """A warp of a list of images: a list of results, each the single call's, in one launch."""
    flags, border_mode = _require_int("flags", flags), _require_int("border_mode", border_mode)
    images, dsts, hand = _views(who, src, "src", dst)
    sources = [_warp_source(who, i, image) for i, image in enumerate(images)]
    dtype, channels = sources[0][0].dtype, sources[0][3]
    for i, (view, _, _, c) in enumerate(sources):
        if view.dtype != dtype or c != channels:
            raise ValueError(f"{who}: src[{i}] holds {c} channels of {view.dtype}, src[0] {channels} of {dtype}; "
                             "a list takes one element type and channel count")  # fmt: skip
    (traits, p0, p1), inverse = _warp_filter(who, flags)
    border = next((row for row in WARP_BORDERS if row.value == border_mode), None)
    if border is None:
        raise ValueError(f"{who}: border_mode {border_mode} is not a border mode; accepted: {WARP_ACCEPTS['border_mode']}")
    with hand if hand is not None else contextlib.nullcontext():
        matrices = _warp_matrices(who, M, len(images), inverse, 3 if perspective else 2)
        sizes = [_warp_size(who, size, h, w) for size, (_, h, w, _) in zip(_sizes(who, dsize, len(images)), sources)]
        fill = _warp_fill(who, border_value, channels)
        outputs = _warp_outputs(who, dsts, sources, sizes, border)
        _launch_warps(who, perspective, sources, outputs, matrices, traits, border_mode, fill, p0, p1)
        results = [out for out, _ in outputs]
        if dst is not None:
            return dst
        return hand.back_list(results) if hand is not None else results


def _warp_outputs(who, dsts, sources, sizes, border):
    """(array, view) of each result: dst's arrays, checked, or views of one new allocation."""
    dtype, channels = sources[0][0].dtype, sources[0][3]
    shapes = [(h, w, channels) if view.ndim == 3 else (h, w) for (view, _, _, _), (h, w) in zip(sources, sizes)]
    if dsts is None:
        if border.needs_dst:
            raise ValueError(f"{who}: BORDER_TRANSPARENT leaves pixels outside the source as dst holds them; pass dst")
        buffer, at = _buffer([math.prod(s) for s in shapes], dtype)
        arrays = [buffer[a : a + math.prod(s)].reshape(s) for a, s in zip(at, shapes)]
    else:
        arrays = dsts
    outputs = []
    for i, (array, shape) in enumerate(zip(arrays, shapes)):
        if not isinstance(array, cp.ndarray):
            raise TypeError(f"{who}: dst[{i}] must be a CuPy array, got {type(array).__name__}")
        view = _launch.array_view(array, who, f"dst[{i}]", "writes")
        if view.dtype != dtype:
            raise TypeError(f"{who}: dst[{i}] has element type {view.dtype}; the result has src's, {dtype}")
        if view.shape != shape:
            raise ValueError(f"{who}: dst[{i}] has shape {view.shape}; the result has shape {shape}")
        outputs.append((array, view))
    return outputs


def _launch_warps(who, perspective, sources, outputs, matrices, traits, border_mode, fill, p0, p1):
    channels = sources[0][3]
    table = np.zeros((len(sources), _WB_COLUMNS), np.int64)
    counts = []
    keep = []  # contiguous copies of sources whose channels do not lie side by side
    ranges = []  # ((src lo, hi), (dst lo, hi)) per image, in bytes
    for i, ((view, h, w, _), (_, out)) in enumerate(zip(sources, outputs)):
        strides = _launch.element_strides(view, who, f"src[{i}]")
        if view.ndim == 3 and channels > 1 and strides[2] != 1:
            copy = cp.ascontiguousarray(cp.ndarray(view.shape, view.dtype, memptr=view.data, strides=view.strides))
            keep.append(copy)
            view = _launch.array_view(copy, who, f"src[{i}]")
            strides = _launch.element_strides(view, who, f"src[{i}]")
        if abs(strides[1]) * (w - 1) + (channels - 1) >= 2**31:
            raise ValueError(f"{who}: a row of src[{i}] spans 2**31 elements or more; the kernel indexes within a row in 32 bits")
        if _launch.overlaps_itself(out):
            raise ValueError(f"{who}: dst[{i}] overlaps itself (shape {out.shape}, strides {out.strides}); "
                             "each pixel needs memory of its own")  # fmt: skip
        ranges.append((_launch.byte_range(view), _launch.byte_range(out)))
        d = _launch.element_strides(out, who, f"dst[{i}]")
        dst_h, dst_w = out.shape[:2]
        blocks_x, count = _blocks(dst_w, dst_h, _WARP_BLOCK)
        counts.append(count)
        table[i, 1:] = (blocks_x, view.data.ptr, out.data.ptr, h, w, strides[0], strides[1], dst_h, dst_w, d[0], d[1],
                        d[2] if out.ndim == 3 else 0, i if matrices.shape[0] > 1 else 0)  # fmt: skip
    _refuse_overlaps(who, ranges)
    total = _first_blocks(table, counts, who)
    fill4 = [np.float32(v) for v in fill] + [np.float32(0)] * (4 - channels)
    kernel = _sources.WARP.function(warp_batch_expression(traits, _launch.ELEMENTS[sources[0][0].dtype], channels, perspective))
    kernel((total,), _WARP_BLOCK, (cp.asarray(table), np.int32(len(sources)), matrices, np.int64(border_mode),
                                   *fill4, np.float32(p0), np.float32(p1)))  # fmt: skip


def _refuse_overlaps(who, ranges):
    """ValueError where a destination shares memory with any source or another destination: one launch
    writes every dst while it reads every src, in no order."""
    spans = sorted([(lo, hi, f"src[{i}]") for i, ((lo, hi), _) in enumerate(ranges)]
                   + [(lo, hi, f"dst[{i}]") for i, (_, (lo, hi)) in enumerate(ranges)])  # fmt: skip
    reach, holder = None, None
    for lo, hi, name in spans:
        if reach is not None and lo < reach and "dst" in (name[:3], holder[:3]):
            raise ValueError(f"{who}: {name} overlaps {holder}; the launch reads every src while it writes every dst")
        if reach is None or hi > reach:
            reach, holder = hi, name
