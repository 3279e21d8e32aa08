"""Lists of images of different sizes through `resize` and the border-mode warps, one launch per pass.

`resize_list` and `warp_list` take a Python list of images (CuPy arrays, or
PyTorch tensors and other libraries' device arrays, not mixed) of one element
type and channel count, and return a list of results, each equal value for
value to the single-image call. Every image gets a row in a table on the
device (its pointers, sizes, strides and weight tables or matrix), uploaded
in one copy on the current stream; one launch then covers the images of a
pass, its blocks mapped onto the images through the table (`_lists.cuh`):

- resize: the missing weight tables of all images in one launch per filter
  (kept as the single call keeps them), then each of the two passes in one
  launch, the images filtered along x first and those filtered along y first
  side by side (each image takes the cheaper order, as the single call does;
  a row of the table says along which axis its pass runs);
- warps: one launch for the whole list.

The results (and the resize intermediates) are views into one allocation
each, 256-byte aligned. An image whose strides the list kernels cannot
count in elements, or whose window would overflow 32-bit offsets, takes the
single-image call instead (which copies or refuses it as it always does).
"""

import contextlib
import math
from pathlib import Path

import cupy as cp
import numpy as np

from .. import _handoff
from . import _launch, _sources, arguments, filters, light, planning

_HERE = Path(__file__).parent
_HEADER = (_HERE / "_lists.cuh").read_text()
_sources.RESIZE.append(_HEADER + (_HERE / "_list_resize.cu").read_text())
_sources.WARP.append(_HEADER + (_HERE / "_list_warp.cu").read_text())

# Columns of the device tables, as the kernels' enums number them.
_RW_COLUMNS = 8  # first block, weights, offsets, out, n, taps, stride, scale bits
_RP_COLUMNS = 18  # first block, blocks along x, src, dst, weights, offsets, taps, stride, out w, out h, 6 strides,
# rows a thread, along y
_WB_COLUMNS = 14  # first block, blocks along x, src, dst, src h, w, sy, sx, dst h, w, sy, sx, sc, matrix row

_ALIGN = 256  # bytes: where each result and intermediate starts in its allocation
_WEIGHT_BLOCK = 128  # threads a block of the weight-table launch
_X_BLOCK, _X_ROWS = (32, 8, 1), 8  # pass along x: 32 columns a warp, 8 rows a thread
_Y_BLOCK, _Y_ROWS = (64, 4, 1), 4  # pass along y: rows side by side, 4 rows a thread
_WARP_BLOCK = (16, 16, 1)
_MAX_BLOCKS = 2**31 - 1


def weights_list_expression(row):
    return f"zemvara::resize_weights_list<{row.traits}>"


def pass_list_expression(src_element, dst_element, channels, axis):
    return f"zemvara::resize_pass_list<zemvara::{src_element}, zemvara::{dst_element}, {channels}, zemvara::{axis}>"


def warp_list_expression(traits, element, channels, perspective):
    return f"zemvara::warp_image_list<{traits}, zemvara::{element}, {channels}, {str(perspective).lower()}>"


def list_expressions():
    """Every list specialisation: (source, expression)."""
    rows = list({row.traits: row for row in filters.FILTERS}.values())
    out = [(_sources.RESIZE, weights_list_expression(r)) for r in rows]
    for element in _sources.KERNEL_ELEMENTS:
        for channels in (1, 2, 3, 4):
            for axis in _sources.PASS_AXES:
                out.append((_sources.RESIZE, pass_list_expression(element, "F32", channels, axis)))
                out.append((_sources.RESIZE, pass_list_expression("F32", element, channels, axis)))
            for traits in _sources.WARP_TRAITS:
                for perspective in (False, True):
                    out.append((_sources.WARP, warp_list_expression(traits, element, channels, perspective)))
    return list(dict.fromkeys(out))


# ---- shared steps ----------------------------------------------------------------------


def _views(who, images, name, dst=None):
    """(CuPy images, CuPy dsts or None, the hand-off or None) of a list, taken once; the list refused when
    empty or mixed."""
    images, dst = arguments.list_of_images(who, images, name, dst)
    hand = _handoff.handoff_list(who, images, dst, name)
    if hand is None:
        return images, dst, None
    return hand.src, hand.dst, hand


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


def _plan_resize(index, image, dsize, interpolation):
    """The plan of image `index`, with every check of the single call (same messages, the image named by
    index), and whether the single call takes it instead: strides the list kernels cannot count in
    elements, or a window too wide for 32-bit offsets (the single call copies or refuses it)."""
    what = f"image[{index}]"
    view = _launch.array_view(image, "resize", what, "reads")
    plan = planning.image_plan(view, dsize, interpolation, "resize", what)
    return view, plan, not plan.narrow


def _weight_tables(plans):
    """The weight tables (weights, offsets, taps, stride) of every axis of the plans, by key: those kept
    from earlier calls, the rest computed in one launch per filter and kept as the single call keeps them."""
    device = cp.cuda.Device().id
    wanted = {}
    for p in plans:
        for n, out, taps in ((p.width, p.out_w, p.x_taps), (p.height, p.out_h, p.y_taps)):
            key = planning.table_key(p.row, n, out, taps, device)
            wanted[key] = planning.kept_table(key)
    missing = [key for key, table in wanted.items() if table is None]
    if not missing:
        return wanted
    missing.sort(key=lambda key: key[0].inter)  # one launch per filter: its tables side by side
    strides = [planning.table_stride(taps) for (_, _, out, taps, _) in missing]
    for (_, _, out, _, _), stride in zip(missing, strides):
        planning.check_table_size(out, stride)
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
        kernel = _sources.RESIZE.function(weights_list_expression(row))
        kernel((totals[row],), (_WEIGHT_BLOCK,), (device_table[first:], np.int32(count),
                                                   *(np.float32(v) for v in row.values())))  # fmt: skip
    computed = {}
    for i, (key, stride) in enumerate(zip(missing, strides)):
        out, taps = key[2], key[3]
        w = weights[w_at[i] : w_at[i] + out * stride].reshape(out, stride)
        computed[key] = (w, offsets[o_at[i] : o_at[i] + out], taps, stride)
    wanted.update(planning.keep_tables(computed))
    return wanted


def resize_list(images, dsize, interpolation, single, mode=light.PLAIN):
    """`resize` of a list of images: a list of results, each the single call's (`single`, which also
    takes the images the list kernels cannot), in one launch per pass; `mode`: the call's `light.Light`."""
    images, _, hand = _views("resize", images, "image")
    sizes = arguments.per_image("resize", dsize, len(images))
    plans = [_plan_resize(i, image, size, interpolation) for i, (image, size) in enumerate(zip(images, sizes))]
    arguments.one_kind("resize", "image", [(view.dtype, p.channels) for view, p, _ in plans])
    route = arguments.light_route("resize", mode, plans[0][0].dtype, plans[0][1].channels, "image")
    with hand if hand is not None else contextlib.nullcontext():
        if route == "convert":  # as float32, converted back image by image
            axes = [0 if p.channel_first else -1 for _, p, _ in plans]
            prepared = [light.prepare(_launch.plain(view), mode, axis) for (view, _, _), axis in zip(plans, axes)]
            results = [light.finish(result, plans[0][0].dtype, mode, axis)
                       for result, axis in zip(resize_list(prepared, sizes, interpolation, single), axes)]  # fmt: skip
            return hand.back_list(results) if hand is not None else results
        results = [None] * len(plans)
        together = [(i, view, p) for i, (view, p, alone) in enumerate(plans) if not alone]
        if together:
            for (i, _, _), result in zip(together, _resize_together([(view, p) for _, view, p in together], route)):
                results[i] = result
        for i, (_, p, alone) in enumerate(plans):
            if alone:
                results[i] = single(images[i], sizes[i], interpolation, linear=mode.linear)
        return hand.back_list(results) if hand is not None else results


def _resize_together(plans, route=None):
    """The results of (view, plan) pairs, in one launch per pass; route: see light.Light.route."""
    channels, dtype = plans[0][1].channels, plans[0][0].dtype
    element = light.element(_launch.ELEMENTS[dtype], route)
    tables = _weight_tables([p for _, p in plans])
    # Channels in groups when every image's channels lie side by side, as the single call groups them.
    side_by_side = all(p.src_strides[2] == 1 and p.dst_strides[2] == 1 for _, p in plans)
    group = planning.channel_group(channels, side_by_side, "resize", plans[0][1].shape)
    mids = [(p.height, p.out_w) if p.x_first else (p.out_h, p.width) for _, p in plans]
    middle, mid_at = _buffer([h * w * channels for h, w in mids], np.float32)
    output, out_at = _buffer([p.out_h * p.out_w * channels for _, p in plans], dtype)
    device = cp.cuda.Device().id
    passes = {}  # pass 0 or 1 -> (axis, the row) of its images
    for (view, p), (mid_h, mid_w), m_at, o_at in zip(plans, mids, mid_at, out_at):
        mid_ptr, out_ptr = middle.data.ptr + 4 * m_at, output.data.ptr + dtype.itemsize * o_at
        mid = (mid_w * channels, channels, group)
        x_table = tables[planning.table_key(p.row, p.width, p.out_w, p.x_taps, device)]
        y_table = tables[planning.table_key(p.row, p.height, p.out_h, p.y_taps, device)]
        sy, sx, sc = p.src_strides
        dy, dx, dc = p.dst_strides
        first = (view.data.ptr, (sy, sx, group * sc), mid_ptr, mid, mid_w, mid_h)
        second = (mid_ptr, mid, out_ptr, (dy, dx, group * dc), p.out_w, p.out_h)
        order = ((x_table, "x"), (y_table, "y")) if p.x_first else ((y_table, "y"), (x_table, "x"))
        for n, ((table, axis), (src, src_st, dst, dst_st, out_w, out_h)) in enumerate(zip(order, (first, second))):
            weights, offsets, taps, stride = table
            per_thread = _Y_ROWS if axis == "y" else _X_ROWS
            passes.setdefault(n, []).append((axis, (src, dst, weights.data.ptr, offsets.data.ptr, taps, stride,
                                                    out_w, out_h, *src_st, *dst_st, per_thread, axis == "y")))
    rows = np.zeros((sum(map(len, passes.values())), _RP_COLUMNS), np.int64)
    launches, start = [], 0
    for n in sorted(passes):  # one launch a pass, the first pass of every image before any second pass
        part = rows[start : start + len(passes[n])]
        part[:, 2:] = [row for _, row in passes[n]]
        along_x = [r for (axis, _), r in zip(passes[n], part) if axis == "x"]
        block = _X_BLOCK if along_x else _Y_BLOCK
        counts = []
        for r in part:  # r[8], r[9]: the destination's width and height; r[16]: the rows a thread takes
            r[1], count = _blocks(int(r[8]), int(r[9]), block, int(r[16]))
            counts.append(count)
        total = _first_blocks(part, counts, "resize")
        if not along_x:
            name = "ALONG_Y"
        else:  # packed where every image's pixels lie `group` elements apart (r[11], the source's x step)
            name = "ALONG_PACKED_X" if all(r[11] == group for r in along_x) else "ALONG_X"
        elements = (element, "F32") if n == 0 else ("F32", element)
        launches.append((start, len(part), total, block, pass_list_expression(*elements, group, name)))
        start += len(part)
    device_rows = cp.asarray(rows)
    for begin, count, total, block, expression in launches:
        _sources.RESIZE.function(expression)((total, 1, channels // group), block,
                                             (device_rows[begin:], np.int32(count)))
    results = []
    for (_, p), at in zip(plans, out_at):
        results.append(output[at : at + p.out_h * p.out_w * channels].reshape(p.out_shape))
    return results


# ---- warps ------------------------------------------------------------------------------


def warp_list(who, perspective, src, M, dsize, flags, border_mode, border_value, dst, mode=light.PLAIN):
    """A warp of a list of images: a list of results, each the single call's, in one launch; `mode`:
    the call's `light.Light`."""
    flags, border_mode = arguments.require_int("flags", flags), arguments.require_int("border_mode", border_mode)
    images, dsts, hand = _views(who, src, "src", dst)
    sources = [arguments.warp_source(who, image, f"src[{i}]", batch=False) for i, image in enumerate(images)]
    arguments.one_kind(who, "src", [(s.view.dtype, s.channels) for s in sources])
    route = arguments.light_route(who, mode, sources[0].view.dtype, sources[0].channels)
    wanted = arguments.warp_filter(who, flags)
    border = arguments.border_row(who, border_mode)
    with hand if hand is not None else contextlib.nullcontext():
        count = len(images)
        matrices = arguments.warp_matrices(who, M, 3 if perspective else 2, wanted.inverse,
                                           (count, f"a list of {count} images"))  # fmt: skip
        sizes = [arguments.warp_size(who, size, *s.images.shape[1:3])
                 for size, s in zip(arguments.per_image(who, dsize, count), sources)]  # fmt: skip
        fill = arguments.fill_values(who, border_value, sources[0].channels)
        outputs = _warp_outputs(who, dsts, sources, sizes, border)
        if route == "convert":  # as float32, converted back into the results
            dtype = sources[0].view.dtype
            inner = [light.prepare(out, mode) for out, _ in outputs] if dsts is not None else None
            floats = warp_list(who, perspective, [light.prepare(_launch.plain(s.view), mode) for s in sources],
                               M, [(w, h) for (h, w) in sizes], flags, border_mode, light.fill(fill, dtype, mode), inner)  # fmt: skip
            for result, (out, _) in zip(floats, outputs):
                light.finish(result, dtype, mode, out=out)
        else:
            if route is not None:
                fill = light.decode_values(fill, sources[0].view.dtype)
            _launch_warps(who, perspective, sources, outputs, matrices, wanted, border_mode, fill, route)
        results = [out for out, _ in outputs]
        if dst is not None:
            return dst
        return hand.back_list(results) if hand is not None else results


def _warp_outputs(who, dsts, sources, sizes, border):
    """(array, view) of each result: dst's arrays, checked, or views of one new allocation."""
    dtype, channels = sources[0].view.dtype, sources[0].channels
    shapes = [(h, w, channels) if s.view.ndim == 3 else (h, w) for s, (h, w) in zip(sources, sizes)]
    if dsts is None:
        arguments.needs_no_dst(who, border)
        buffer, at = _buffer([math.prod(s) for s in shapes], dtype)
        dsts = [buffer[a : a + math.prod(s)].reshape(s) for a, s in zip(at, shapes)]
    outputs = []
    for i, (array, shape) in enumerate(zip(dsts, shapes)):
        array = arguments.warp_destination(who, array, shape, dtype, border, f"dst[{i}]")
        outputs.append((array, _launch.array_view(array, who, f"dst[{i}]", "writes")))
    return outputs


def _launch_warps(who, perspective, sources, outputs, matrices, wanted, border_mode, fill, route=None):
    channels = sources[0].channels
    table = np.zeros((len(sources), _WB_COLUMNS), np.int64)
    counts = []
    keep = []  # contiguous copies of sources whose channels do not lie side by side
    pairs = []  # (src name, view, dst name, view) per image
    for i, (source, (_, out)) in enumerate(zip(sources, outputs)):
        view, (h, w) = source.view, source.images.shape[1:3]
        strides = _launch.element_strides(view, who, f"src[{i}]")
        if view.ndim == 3 and channels > 1 and strides[2] != 1:
            copy = cp.ascontiguousarray(cp.ndarray(view.shape, view.dtype, memptr=view.data, strides=view.strides))
            keep.append(copy)
            view = _launch.array_view(copy, who, f"src[{i}]")
            strides = _launch.element_strides(view, who, f"src[{i}]")
        if abs(strides[1]) * (w - 1) + (channels - 1) >= 2**31:
            raise ValueError(f"{who}: a row of src[{i}] spans 2**31 elements or more; the kernel indexes within a row in 32 bits")
        pairs.append((f"src[{i}]", view, f"dst[{i}]", out))
        d = _launch.element_strides(out, who, f"dst[{i}]")
        dst_h, dst_w = out.shape[:2]
        blocks_x, count = _blocks(dst_w, dst_h, _WARP_BLOCK)
        counts.append(count)
        table[i, 1:] = (blocks_x, view.data.ptr, out.data.ptr, h, w, strides[0], strides[1], dst_h, dst_w, d[0], d[1],
                        d[2] if out.ndim == 3 else 0, i if matrices.shape[0] > 1 else 0)  # fmt: skip
    arguments.refuse_overlaps(who, pairs)
    total = _first_blocks(table, counts, who)
    fill4 = [np.float32(v) for v in fill] + [np.float32(0)] * (4 - channels)
    element = light.element(_launch.ELEMENTS[sources[0].view.dtype], route)
    expression = warp_list_expression(wanted.traits, element, channels, perspective)
    kernel = _sources.WARP.function(expression)
    kernel((total,), _WARP_BLOCK, (cp.asarray(table), np.int32(len(sources)), matrices, np.int64(border_mode),
                                   *fill4, np.float32(wanted.p0), np.float32(wanted.p1)))  # fmt: skip
