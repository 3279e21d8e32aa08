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


def _grid(count):
    return (max(1, min(_MAX_BLOCKS, -(-count // _BLOCK))),)


def _pass(src, out_shape, pil_filter, along_y, row_offset=0, rows=None):
    """One pass of `src` (h, w, c) to out_shape (h', w', c) along one axis; along x, the rows
    row_offset .. row_offset + h' of src. Along y, `rows`: the source rows the tables start from."""
    in_h, in_w, channels = src.shape
    out_h, out_w = out_shape[:2]
    fixed = src.dtype == np.uint8
    if along_y:
        bounds, weights, ksize = _coefficients(rows if rows is not None else in_h, out_h, pil_filter, fixed)
    else:
        bounds, weights, ksize = _coefficients(in_w, out_w, pil_filter, fixed)
    dst = cp.empty(out_shape, src.dtype)
    kernel = _sources.RESIZE_PIL.function(_sources.pil_pass_expression(src.dtype, channels, along_y))
    kernel(_grid(out_h * out_w), (_BLOCK,),
           (src, dst, cp.asarray(bounds), cp.asarray(weights), np.int32(ksize), np.int32(row_offset),
            np.int32(in_h), np.int32(in_w), np.int32(out_h), np.int32(out_w)))  # fmt: skip
    return dst


def _first_and_last_rows(in_h, out_h, pil_filter, fixed):
    """The source rows the y pass reads: the x pass filters those alone."""
    bounds = _coefficients(in_h, out_h, pil_filter, fixed)[0]
    return int(bounds[0, 0]), int(bounds[-1, 0] + bounds[-1, 1])


def _y_first(in_w, in_h, out_w, out_h):
    """Whether Pillow filters along y first: when the height shrinks by more than twice the rows
    the width loses columns (the y pass then leaves the x pass fewer rows)."""
    return out_h < in_h and in_h - out_h > 2 * (in_w - out_w)


def _resample(src, out_w, out_h, pil_filter, y_first=None):
    """The two passes of Pillow's resampling, (h, w, c) contiguous in, (out_h, out_w, c) out."""
    in_h, in_w, channels = src.shape
    fixed = src.dtype == np.uint8
    if y_first is None:
        y_first = _y_first(in_w, in_h, out_w, out_h)
    if y_first:  # along y on the whole width, then along x
        if out_h != in_h:
            src = _pass(src, (out_h, in_w, channels), pil_filter, True)
        if out_w != in_w:
            src = _pass(src, (out_h, out_w, channels), pil_filter, False)
        return src
    if out_w != in_w:
        if out_h != in_h:
            first, last = _first_and_last_rows(in_h, out_h, pil_filter, fixed)
            middle = _pass(src, (last - first, out_w, channels), pil_filter, False, row_offset=first)
            return _pass(middle, (out_h, out_w, channels), pil_filter, True, row_offset=first, rows=in_h)
        return _pass(src, (in_h, out_w, channels), pil_filter, False)
    return _pass(src, (out_h, out_w, channels), pil_filter, True)


def _nearest(src, out_w, out_h):
    in_h, in_w, channels = src.shape
    dst = cp.empty((out_h, out_w, channels), src.dtype)
    kernel = _sources.RESIZE_PIL.function(_sources.pil_nearest_expression(src.dtype, channels))
    kernel(_grid(out_h * out_w), (_BLOCK,),
           (src, dst, cp.asarray(nearest_indices(in_w, out_w)), cp.asarray(nearest_indices(in_h, out_h)),
            np.int32(in_h), np.int32(in_w), np.int32(out_h), np.int32(out_w)))  # fmt: skip
    return dst


def _alpha_kernel(name, channels, args, pixels):
    kernel = _sources.RESIZE_PIL.function(f"zemvara::pil::{name}<{channels}>")
    kernel(_grid(pixels), (_BLOCK,), args + (np.int64(pixels),))


def _checked(image, dsize, pil_filter):
    """(contiguous (h, w, c) image, out width, out height, filter, channel-first, rank 2) or a clear error."""
    src, out_w, out_h, channel_first, grey = planning.compat_image(image, dsize, "resize_pil")
    if isinstance(pil_filter, np.integer):
        pil_filter = int(pil_filter)
    if type(pil_filter) is not int and not (isinstance(pil_filter, int) and not isinstance(pil_filter, bool)):
        raise TypeError(f"resize_pil: filter must be one of Pillow's filter values, got {pil_filter!r}")
    pil_filter = int(pil_filter)  # an IntEnum such as PIL.Image.Resampling.LANCZOS
    if pil_filter not in PIL_FILTERS:
        raise ValueError(f"resize_pil: unknown filter {pil_filter}; Pillow's are "
                         + ", ".join(f"{name} ({value})" for value, name in PIL_FILTERS.items()))  # fmt: skip
    return src, out_w, out_h, pil_filter, channel_first, grey


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
    if (out_w, out_h) == (in_w, in_h):
        out = src.copy()
    elif pil_filter == NEAREST:
        out = _nearest(src, out_w, out_h)
    elif channels in (2, 4) and src.dtype == np.uint8:  # LA and RGBA
        premultiplied = cp.empty_like(src)
        _alpha_kernel("premultiply", channels, (src, premultiplied), in_h * in_w)
        out = _resample(premultiplied, out_w, out_h, pil_filter)
        _alpha_kernel("unpremultiply", channels, (out,), out_h * out_w)
    else:
        out = _resample(src, out_w, out_h, pil_filter)
    if grey:  # a rank-2 image
        return out[:, :, 0]
    return cp.ascontiguousarray(out.transpose(2, 0, 1)) if channel_first else out
