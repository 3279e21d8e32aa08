"""`resize_pil`: an image resized to the bytes Pillow's `Image.resize` gives.

Pillow's filters (`PIL.Image.Resampling`: NEAREST 0, LANCZOS 1, BILINEAR 2,
BICUBIC 3, BOX 4, HAMMING 5) with its arithmetic throughout:

- weights per destination index computed in double, on the host, with the
  C library's sin and cos (Python's `math`), as Pillow computes them:
  centre (i + 0.5) * scale, support widened by the reduction factor, taps
  from round(centre - support) to round(centre + support) within the source,
  normalised to sum 1, then for 8-bit images rounded to 22-bit fixed point;
- 8-bit passes sum in int32 from half a unit and clip to 0..255 after each
  pass, through an 8-bit intermediate; float32 passes sum in double and
  store float32;
- x first, on the source rows the y pass reads, then y; but y first, over
  the whole width, when the height shrinks by more than twice the columns the
  width loses. An axis whose size does not change is not filtered;
- nearest neighbour through Pillow's scaled-copy stepping: source
  positions accumulated in double from half a step, truncated;
- two- and four-channel uint8 images (LA and RGBA, alpha last) are
  premultiplied before the passes and divided back after, in Pillow's
  integer formulas; nearest neighbour copies them as they are;
- a destination of the source's size is a copy.

Pillow has no multi-channel float mode: each channel of a float32 image is
resized as its own mode "F" image. The weight tables are computed once per
(size, destination size, filter, element type) and kept.
"""

import functools
import math

import cupy as cp
import numpy as np

from . import _sources, planning

__all__ = ["BICUBIC", "BILINEAR", "BOX", "HAMMING", "LANCZOS", "NEAREST", "resize_pil"]

NEAREST, LANCZOS, BILINEAR, BICUBIC, BOX, HAMMING = 0, 1, 2, 3, 4, 5
PIL_FILTERS = {NEAREST: "NEAREST", LANCZOS: "LANCZOS", BILINEAR: "BILINEAR", BICUBIC: "BICUBIC", BOX: "BOX",
               HAMMING: "HAMMING"}  # fmt: skip

PRECISION_BITS = 32 - 8 - 2
_BLOCK = 256
_MAX_BLOCKS = 65535  # the kernels loop over what a grid this size does not cover
_TABLES_KEPT = 256
# Pillow evaluates 0.54f + 0.46f * cos(x): float32 constants widened to double.
_HAMMING_A = float(np.float32(0.54))
_HAMMING_B = float(np.float32(0.46))


def _box(x):
    return 1.0 if -0.5 < x <= 0.5 else 0.0


def _bilinear(x):
    x = abs(x)
    return 1.0 - x if x < 1.0 else 0.0


def _hamming(x):
    x = abs(x)
    if x == 0.0:
        return 1.0
    if x >= 1.0:
        return 0.0
    x = x * math.pi
    return math.sin(x) / x * (_HAMMING_A + _HAMMING_B * math.cos(x))


def _bicubic(x, a=-0.5):
    x = abs(x)
    if x < 1.0:
        return ((a + 2.0) * x - (a + 3.0)) * x * x + 1
    if x < 2.0:
        return (((x - 5) * x + 8) * x - 4) * a
    return 0.0


def _sinc(x):
    if x == 0.0:
        return 1.0
    x = x * math.pi
    return math.sin(x) / x


def _lanczos(x):
    return _sinc(x) * _sinc(x / 3) if -3.0 <= x < 3.0 else 0.0


# filter -> (function, support)
_KERNELS = {BOX: (_box, 0.5), BILINEAR: (_bilinear, 1.0), HAMMING: (_hamming, 1.0), BICUBIC: (_bicubic, 2.0),
            LANCZOS: (_lanczos, 3.0)}  # fmt: skip


@functools.lru_cache(maxsize=_TABLES_KEPT)
def _coefficients(in_size, out_size, pil_filter, fixed):
    """(bounds (out_size, 2) int32 of first tap and tap count, weights (out_size, ksize), ksize) for
    resampling the whole of an axis of in_size to out_size; weights int32 in fixed point when `fixed`,
    float64 otherwise. Read-only: the tables are kept and shared."""
    function, support = _KERNELS[pil_filter]
    scale = filterscale = float(in_size) / out_size  # the box (0, in_size) as float32 holds it exactly
    if filterscale < 1.0:
        filterscale = 1.0
    support = support * filterscale
    ksize = int(math.ceil(support)) * 2 + 1
    inv_filterscale = 1.0 / filterscale
    bounds = np.empty((out_size, 2), np.int32)
    weights = np.zeros((out_size, ksize), np.float64)
    for xx in range(out_size):
        center = 0.0 + (xx + 0.5) * scale
        xmin = max(int(center - support + 0.5), 0)  # int(): truncation toward zero, as C's cast
        xmax = min(int(center + support + 0.5), in_size) - xmin
        row = [function((x + xmin - center + 0.5) * inv_filterscale) for x in range(xmax)]
        ww = 0.0
        for w in row:
            ww += w
        if ww != 0.0:
            row = [w / ww for w in row]
        weights[xx, : len(row)] = row
        bounds[xx] = xmin, max(xmax, 0)
    if fixed:
        unit = float(1 << PRECISION_BITS)
        weights = np.where(weights < 0, np.trunc(-0.5 + weights * unit), np.trunc(0.5 + weights * unit))
        weights = weights.astype(np.int32)
    bounds.flags.writeable = weights.flags.writeable = False
    return bounds, weights, ksize


@functools.lru_cache(maxsize=_TABLES_KEPT)
def nearest_indices(in_size, out_size):
    """Source index per destination index (-1: outside): positions from half a step, a step added at
    a time in double and truncated, as Pillow's scaled copy steps."""
    step = float(in_size) / out_size
    positions = np.add.accumulate(np.concatenate(([0.0 + step * 0.5], np.full(out_size - 1, step))))
    indices = np.where(positions < 0.0, -1, np.trunc(positions)).astype(np.int64)
    indices[(indices < 0) | (indices >= in_size)] = -1
    indices = indices.astype(np.int32)
    indices.flags.writeable = False
    return indices


@functools.lru_cache(maxsize=_TABLES_KEPT)
def x_tile_columns(in_size, out_size, pil_filter):
    """The destination columns a block of the tiled 8-bit pass along x takes: the most (a multiple
    of 8 up to PIL_X_COLUMNS) whose taps reach at most PIL_X_SPAN source pixels from whichever
    column they start; 0 where 8 columns reach further (a reduction by more than about 16: the
    plain pass then)."""
    bounds = _coefficients(in_size, out_size, pil_filter, True)[0]
    first, end = bounds[:, 0], bounds[:, 0] + bounds[:, 1]
    if (np.diff(first) < 0).any() or (np.diff(end) < 0).any():
        return 0
    for columns in range(_sources.PIL_X_COLUMNS, 7, -8):
        n = min(columns, out_size)
        if (end[n - 1:] - first[:out_size - n + 1]).max() <= _sources.PIL_X_SPAN:
            return columns
    return 0


def _grid(count):
    return (max(1, min(_MAX_BLOCKS, -(-count // _BLOCK))),)


class _Axis:
    """One axis of a resampling: in_size to out_size by nearest neighbour (an index table),
    filtered (weight tables) or, where a filter's size does not change, not at all."""

    def __init__(self, in_size, out_size, pil_filter, fixed):
        self.sizes = in_size, out_size, pil_filter
        self.nearest = pil_filter == NEAREST
        self.kept = in_size == out_size and not self.nearest
        if self.nearest:
            self.tables = (nearest_indices(in_size, out_size),)
        elif self.kept:
            self.tables = None
        else:
            bounds, weights, self.ksize = _coefficients(in_size, out_size, pil_filter, fixed)
            self.tables = (bounds, weights)
        self._device = None

    def reach(self, lo, hi):
        """(first, end): the source indices that destination indices lo .. hi read."""
        if self.kept:
            return lo, hi
        if self.nearest:
            inside = self.tables[0][lo:hi]
            inside = inside[inside >= 0]
            return (int(inside.min()), int(inside.max()) + 1) if inside.size else (0, 0)
        bounds = self.tables[0][lo:hi]
        return int(bounds[:, 0].min()), int((bounds[:, 0] + bounds[:, 1]).max())

    def device(self, lo, hi):
        """The tables of destination indices lo .. hi on the device (the whole tables go up once)."""
        if self._device is None:
            self._device = tuple(cp.asarray(t) for t in self.tables)
        return tuple(t[lo:hi] for t in self._device)


class Plan:
    """Pillow's resampling of an in_w x in_h image (`dtype`, `channels`) to out_w x out_h, tile
    by tile: `window(tile)` names the source rows and columns the tile (y0, y1, x0, x1) of the
    result reads, and `run` computes the tile from a window of the source holding them. Each
    value is Pillow's whole-image one: the passes run over the same table rows, the first
    pass over the rows (or columns) of the source the tile's second pass reads, however
    far they reach into the neighbouring tiles' windows."""

    def __init__(self, in_w, in_h, out_w, out_h, pil_filter, dtype, channels):
        self.dtype, self.channels = np.dtype(dtype), channels
        fixed = self.dtype == np.uint8
        self.x = _Axis(in_w, out_w, pil_filter, fixed)
        self.y = _Axis(in_h, out_h, pil_filter, fixed)
        self.same = (in_w, in_h) == (out_w, out_h)
        self.nearest = pil_filter == NEAREST and not self.same
        self.premultiplies = channels in (2, 4) and fixed and not (self.nearest or self.same)
        self.y_first = _y_first(in_w, in_h, out_w, out_h)

    def window(self, tile):
        """(y0, y1, x0, x1) of the source the tile (y0, y1, x0, x1) of the result reads."""
        ty0, ty1, tx0, tx1 = tile
        return self.y.reach(ty0, ty1) + self.x.reach(tx0, tx1)

    def middle_shape(self, tile):
        """(h, w) of the intermediate between the passes of the tile, or None (one pass or none)."""
        ty0, ty1, tx0, tx1 = tile
        if self.same or self.nearest or self.x.kept or self.y.kept:
            return None
        if self.y_first:
            lo, hi = self.x.reach(tx0, tx1)
            return ty1 - ty0, hi - lo
        lo, hi = self.y.reach(ty0, ty1)
        return hi - lo, tx1 - tx0

    def table_nbytes(self):
        """The bytes of each table `run` reads on the device."""
        return [t.nbytes for axis in (self.x, self.y) if axis.tables is not None for t in axis.tables]

    def upload(self):
        """The tables to the device now, on the current stream (else the first `run` sends them)."""
        for axis in (self.x, self.y):
            if axis.tables is not None:
                axis.device(0, 0)

    def run(self, src, tile, origin=(0, 0), alloc=None):
        """The tile (y0, y1, x0, x1) of the result, (h, w, channels), from src (h', w', channels)
        contiguous: the source from row and column `origin` on, holding the tile's window.
        alloc(name, shape, dtype) gives the arrays written ("premultiplied", "middle", "out");
        cp.empty by default."""
        alloc = alloc or (lambda name, shape, dtype: cp.empty(shape, dtype))
        ty0, ty1, tx0, tx1 = tile
        oy, ox = origin
        out = alloc("out", (ty1 - ty0, tx1 - tx0, self.channels), self.dtype)
        if self.same:  # the source's size: a copy
            out[...] = src[ty0 - oy:ty1 - oy, tx0 - ox:tx1 - ox]
            return out
        if self.nearest:
            xs, = self.x.device(tx0, tx1)
            ys, = self.y.device(ty0, ty1)
            kernel = _sources.RESIZE_PIL.function(_sources.pil_nearest_expression(self.dtype, self.channels))
            kernel(_grid(out.shape[0] * out.shape[1]), (_BLOCK,),
                   (src, out, xs, ys, np.int32(oy), np.int32(ox), np.int32(src.shape[0]), np.int32(src.shape[1]),
                    np.int32(out.shape[0]), np.int32(out.shape[1])))  # fmt: skip
            return out
        if self.premultiplies:  # LA and RGBA
            straight, src = src, alloc("premultiplied", src.shape, self.dtype)
            _alpha_kernel("premultiply", self.channels, (straight, src), src.shape[0] * src.shape[1])
        if self.y.kept:
            self._pass(src, out, self.x, tx0, tx1, ox, ty0 - oy)
        elif self.x.kept:
            self._pass(src[:, tx0 - ox:tx1 - ox], out, self.y, ty0, ty1, oy)
        elif self.y_first:  # along y on the columns the x pass reads, then along x
            middle = alloc("middle", self.middle_shape(tile) + (self.channels,), self.dtype)
            cx0 = self.x.reach(tx0, tx1)[0]
            self._pass(src[:, cx0 - ox:cx0 - ox + middle.shape[1]], middle, self.y, ty0, ty1, oy)
            self._pass(middle, out, self.x, tx0, tx1, cx0)
        else:  # along x on the rows the y pass reads, then along y
            middle = alloc("middle", self.middle_shape(tile) + (self.channels,), self.dtype)
            ry0 = self.y.reach(ty0, ty1)[0]
            self._pass(src, middle, self.x, tx0, tx1, ox, ry0 - oy)
            self._pass(middle, out, self.y, ty0, ty1, ry0)
        if self.premultiplies:
            _alpha_kernel("unpremultiply", self.channels, (out,), out.shape[0] * out.shape[1])
        return out

    def _pass(self, src, dst, axis, lo, hi, tap_offset, row_offset=0):
        """One pass into dst of the destination indices lo .. hi along `axis`, from src whose first
        index along that axis is tap_offset; along x, dst's rows are src's from row_offset on."""
        if not src.flags.c_contiguous:
            src = cp.ascontiguousarray(src)
        bounds, weights = axis.device(lo, hi)
        along_y = axis is self.y
        args = (src, dst, bounds, weights, np.int32(axis.ksize), np.int32(tap_offset), np.int32(row_offset),
                np.int32(src.shape[0]), np.int32(src.shape[1]), np.int32(dst.shape[0]), np.int32(dst.shape[1]))
        columns = 0 if along_y or self.dtype != np.uint8 else x_tile_columns(*axis.sizes)
        if columns:  # 8-bit along x: tiles of rows by columns through shared memory
            kernel = _sources.RESIZE_PIL.function(_sources.pil_x_tiles_expression(self.channels))
            grid = (-(-dst.shape[1] // columns), min(_MAX_BLOCKS, -(-dst.shape[0] // _sources.PIL_X_ROWS)))
            kernel(grid, (_sources.PIL_X_THREADS,), args + (np.int32(columns),))
            return
        if along_y and self.dtype == np.uint8:  # a warp a row, each lane several columns
            kernel = _sources.RESIZE_PIL.function(_sources.pil_y_columns_expression(self.channels))
            grid = (-(-dst.shape[1] // (32 * _sources.PIL_Y_COLUMNS)),
                    min(_MAX_BLOCKS, -(-dst.shape[0] // (_sources.PIL_Y_THREADS // 32))))
            kernel(grid, (_sources.PIL_Y_THREADS,), args)
            return
        kernel = _sources.RESIZE_PIL.function(_sources.pil_pass_expression(self.dtype, self.channels, along_y))
        kernel(_grid(dst.shape[0] * dst.shape[1]), (_BLOCK,), args)


def _y_first(in_w, in_h, out_w, out_h):
    """Whether Pillow filters along y first: when the height shrinks by more than twice the rows
    the width loses columns (the y pass then leaves the x pass fewer rows)."""
    return out_h < in_h and in_h - out_h > 2 * (in_w - out_w)


def _alpha_kernel(name, channels, args, pixels):
    kernel = _sources.RESIZE_PIL.function(f"zemvara::pil::{name}<{channels}>")
    kernel(_grid(pixels), (_BLOCK,), args + (np.int64(pixels),))


def check_element(dtype, channels, who, what):
    """A clear error unless Pillow has a mode for `channels` channels of `dtype`."""
    if np.dtype(dtype) not in _sources.PIL_ELEMENTS:
        raise TypeError(f"{who}: {what} must be uint8 or float32, got {dtype}")
    if channels not in _sources.PIL_CHANNELS:
        raise ValueError(f"{who}: {what} must have 1 to 4 channels, got {channels}")


def check_target(dsize, pil_filter, who):
    """(out width, out height, filter) of a dsize and a Pillow filter value, or a clear error."""
    out_w, out_h = planning.compat_dsize(dsize, who)
    return out_w, out_h, check_filter(pil_filter, who)


def check_filter(pil_filter, who):
    """Pillow's filter value as an int, or a clear error."""
    if isinstance(pil_filter, np.integer):
        pil_filter = int(pil_filter)
    if type(pil_filter) is not int and not (isinstance(pil_filter, int) and not isinstance(pil_filter, bool)):
        raise TypeError(f"{who}: filter must be one of Pillow's filter values, got {pil_filter!r}")
    pil_filter = int(pil_filter)  # an IntEnum such as PIL.Image.Resampling.LANCZOS
    if pil_filter not in PIL_FILTERS:
        raise ValueError(f"{who}: unknown filter {pil_filter}; Pillow's are "
                         + ", ".join(f"{name} ({value})" for value, name in PIL_FILTERS.items()))  # fmt: skip
    return pil_filter


def _checked(image, dsize, pil_filter):
    """(contiguous (h, w, c) image, out width, out height, filter, channel-first, rank 2) or a clear error."""
    src, out_w, out_h, channel_first, grey = planning.compat_image(image, dsize, "resize_pil")
    return src, out_w, out_h, check_filter(pil_filter, "resize_pil"), channel_first, grey


def resize_pil(image, dsize, filter):  # noqa: A002 (Pillow's name for it)
    """Resize an image to dsize = (width, height) with the bytes Pillow's `Image.resize` gives.

    image: a CuPy array (H, W), (H, W, C) or (C, H, W), C from 1 to 4, of uint8
    or float32 (a rank-3 image is taken as channel-first by the layout rule of
    `resize`). filter: one of Pillow's filter values (`PIL.Image.Resampling`,
    or the integers 0 to 5). A two- or four-channel uint8 image is LA or RGBA,
    alpha last, and is premultiplied for the filtering as Pillow does; each
    channel of a float32 image is resized as a Pillow mode "F" image.

    Returns a new array of the image's rank, axis order and element type. A
    list of images gives a list, every image checked before any is resized.
    """
    if isinstance(image, list):
        checked = [_checked(one, dsize, filter) for one in image]
        return [_resized(*c) for c in checked]
    return _resized(*_checked(image, dsize, filter))


def _resized(src, out_w, out_h, pil_filter, channel_first, grey):
    """resize_pil of one checked image."""
    in_h, in_w, channels = src.shape
    out = Plan(in_w, in_h, out_w, out_h, pil_filter, src.dtype, channels).run(src, (0, out_h, 0, out_w))
    if grey:  # a rank-2 image
        return out[:, :, 0]
    return cp.ascontiguousarray(out.transpose(2, 0, 1)) if channel_first else out
