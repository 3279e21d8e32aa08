"""`resize_cv2`: an image resized to the values OpenCV's `cv2.resize` gives.

OpenCV's interpolations (its `cv2.INTER_*` values: NEAREST 0, LINEAR 1, CUBIC
2, AREA 3, LANCZOS4 4, NEAREST_EXACT 6) with its arithmetic throughout:

- source positions (x + 0.5) * W / width - 0.5 in double, rounded to float,
  split into a first tap and a fraction; the weights computed from the
  fraction in float (cubic a = -0.75, Lanczos with its window of 4 from
  OpenCV's sines), then, for 8-bit images, rounded to 11-bit fixed point;
  taps beyond an edge read the edge pixel. Along x, a linear tap beyond
  either edge takes the edge pixel alone (fraction 0);
- 8-bit passes: along x into exact int sums, along y by OpenCV's rules
  (linear: each row's sum shifted down 4 bits, times its weight, shifted
  down 16, then (t + 2) >> 2; cubic and Lanczos: (s + 2^21) >> 22, the
  cubic one's vector path in float); float32 passes in float;
- INTER_AREA reductions (both axes at least 1): by whole factors, the mean
  of each block (2 x 2 blocks of 1, 3 or 4 channels: (s + 2) >> 2);
  otherwise each destination pixel the area-weighted mean of the source
  pixels its cell covers, in float, in OpenCV's order. INTER_AREA when
  either axis grows is linear interpolation at OpenCV's area positions
  (first tap floor(x * W / width), fraction what lies past the next
  source pixel's edge). INTER_LINEAR reducing by exactly 2 along both axes
  is the 2 x 2 block mean;
- INTER_NEAREST: source index floor(x * W / width) in double;
  INTER_NEAREST_EXACT: the pixel centre's, (x + 0.5) * W / width, by
  Pillow's nearest-neighbour stepping (positions accumulated in double);
- a destination of the source's size is a copy.

The weight tables are computed once per (size, destination size,
interpolation, element type) and kept.
"""

import functools
import math
from typing import NamedTuple

import cupy as cp
import numpy as np

from ..schema import INTER_AREA, INTER_CUBIC, INTER_LANCZOS4, INTER_LINEAR, INTER_NEAREST
from . import _sources, pil, planning

__all__ = ["INTER_AREA", "INTER_CUBIC", "INTER_LANCZOS4", "INTER_LINEAR", "INTER_NEAREST", "INTER_NEAREST_EXACT",
           "resize_cv2"]  # fmt: skip

INTER_NEAREST_EXACT = 6
CV2_INTERPOLATIONS = {INTER_NEAREST: "INTER_NEAREST", INTER_LINEAR: "INTER_LINEAR", INTER_CUBIC: "INTER_CUBIC",
                      INTER_AREA: "INTER_AREA", INTER_LANCZOS4: "INTER_LANCZOS4",
                      INTER_NEAREST_EXACT: "INTER_NEAREST_EXACT"}  # fmt: skip

COEF_BITS = 11  # 8-bit images: weights in fixed point, 2^11 the unit
CUBIC_A = np.float32(-0.75)
DBL_EPSILON = np.finfo(np.float64).eps
# The cubic rule's vector path (Cubic in _resize_cv.cu) covers a row's first values in whole vectors
# of 8 (128-bit vectors of int16 lanes).
_VECTOR = 8
_BLOCK = 256
_MAX_BLOCKS = 65535  # the kernels loop over what a grid this size does not cover
_TABLES_KEPT = 256
_TAPS = {INTER_LINEAR: 2, INTER_AREA: 2, INTER_CUBIC: 4, INTER_LANCZOS4: 8}
_S45 = 0.70710678118654752440084436210485
# Lanczos: tap i's sine, sin(-(x + 3 - i) * pi / 4), from sin and cos of -(x + 3) * pi / 4.
_LANCZOS_CS = ((1, 0), (-_S45, -_S45), (0, 1), (_S45, -_S45), (-1, 0), (_S45, _S45), (0, -1), (-_S45, _S45))


def _cubic(x):
    """The four cubic weights for fractions x (float32 array), in float32 as OpenCV evaluates them."""
    a, one = CUBIC_A, np.float32(1)
    c0 = ((a * (x + one) - 5 * a) * (x + one) + 8 * a) * (x + one) - 4 * a
    c1 = ((a + 2) * x - (a + 3)) * x * x + one
    c2 = ((a + 2) * (one - x) - (a + 3)) * (one - x) * (one - x) + one
    c3 = one - c0 - c1 - c2
    return np.stack([c0, c1, c2, c3], axis=1)


def _lanczos4(x):
    """The eight Lanczos weights for fractions x (float32 array): sines in double (the C library's, as
    Python's `math` has them), each weight rounded to float, normalised by their float sum."""
    y0 = [-float(v + np.float32(3)) * math.pi * 0.25 for v in x]
    s0 = np.array([math.sin(v) for v in y0])
    c0 = np.array([math.cos(v) for v in y0])
    coeffs = np.empty((len(x), 8), np.float32)
    total = np.zeros(len(x), np.float32)
    for i, (cs0, cs1) in enumerate(_LANCZOS_CS):
        offset = (x + np.float32(3)) - np.float32(i)  # float32, rounded twice as OpenCV's x + 3 - i
        y = -offset.astype(np.float64) * math.pi * 0.25
        with np.errstate(divide="ignore", invalid="ignore"):
            value = ((cs0 * s0 + cs1 * c0) / (y * y)).astype(np.float32)
        coeffs[:, i] = np.where(np.abs(offset) >= np.float32(1e-6), value, np.float32(1e30))
        total = total + coeffs[:, i]
    return coeffs * (np.float32(1) / total)[:, None]


class _Table(NamedTuple):
    """One axis's table: source indices (out, k) int32 clamped to the axis, weights (out, k), tap counts
    (out,) int32; and for a y pass, the source rows it reads (the x pass filters those alone) and its
    indices into them. Read-only: tables are kept and shared."""

    indices: np.ndarray
    weights: np.ndarray
    counts: np.ndarray
    rows: np.ndarray
    local: np.ndarray


def _table(indices, weights, counts):
    rows, local = np.unique(indices, return_inverse=True)  # padding repeats a cell's last index
    table = _Table(indices, weights, counts, rows.astype(np.int32), local.reshape(indices.shape).astype(np.int32))
    for a in table:
        a.flags.writeable = False
    return table


@functools.lru_cache(maxsize=_TABLES_KEPT)
def _interpolation_table(in_size, out_size, interpolation, fixed, along_x):
    """The _Table of an axis resampled by OpenCV's linear, cubic or Lanczos interpolation (INTER_AREA:
    linear at its area positions); weights int32 in fixed point when `fixed`, float32 otherwise."""
    inv_scale = out_size / in_size
    scale = 1.0 / inv_scale
    ksize = _TAPS[interpolation]
    d = np.arange(out_size, dtype=np.float64)
    if interpolation == INTER_AREA:
        first = np.floor(d * scale)
        fx = ((d + 1) - (first + 1) * inv_scale).astype(np.float32)
        fx = np.where(fx <= 0, np.float32(0), fx - np.floor(fx))
    else:
        fx = ((d + 0.5) * scale - 0.5).astype(np.float32)
        first = np.floor(fx)
        fx = fx - first.astype(np.float32)
    first = first.astype(np.int64)
    if along_x and ksize == 2:  # a linear tap beyond an edge: the edge pixel alone
        fx = np.where(first < 0, np.float32(0), fx)
        first = np.maximum(first, 0)
        fx = np.where(first >= in_size - 1, np.float32(0), fx)
        first = np.minimum(first, in_size - 1)
    if interpolation == INTER_CUBIC:
        weights = _cubic(fx)
    elif interpolation == INTER_LANCZOS4:
        weights = _lanczos4(fx)
    else:
        weights = np.stack([np.float32(1) - fx, fx], axis=1)
    if fixed:  # saturate_cast<short>(w * 2^11): rounded half to even
        weights = np.clip(np.rint(weights * np.float32(1 << COEF_BITS)), -32768, 32767).astype(np.int32)
    indices = np.clip(first[:, None] - ksize // 2 + 1 + np.arange(ksize), 0, in_size - 1).astype(np.int32)
    return _table(indices, weights, np.full(out_size, ksize, np.int32))


@functools.lru_cache(maxsize=_TABLES_KEPT)
def _area_table(in_size, out_size):
    """The _Table (float32 weights) of an axis reduced by OpenCV's area rule:
    destination cell [d * scale, (d + 1) * scale), each source pixel weighted by the part of the cell it
    covers over the cell's width, in double, rounded to float; parts of 1e-3 pixel or less left out."""
    scale = 1.0 / (out_size / in_size)  # as OpenCV derives it, from the inverse
    entries = []
    for d in range(out_size):
        start = d * scale
        end = start + scale
        width = min(scale, in_size - start)
        first, last = math.ceil(start), math.floor(end)
        last = min(last, in_size - 1)
        first = min(first, last)
        cell = []
        if first - start > 1e-3:
            cell.append((first - 1, (first - start) / width))
        cell.extend((s, 1.0 / width) for s in range(first, last))
        if end - last > 1e-3:
            cell.append((last, min(min(end - last, 1.0), width) / width))
        entries.append(cell)
    ksize = max(len(cell) for cell in entries)
    indices = np.zeros((out_size, ksize), np.int32)
    weights = np.zeros((out_size, ksize), np.float32)
    counts = np.array([len(cell) for cell in entries], np.int32)
    for d, cell in enumerate(entries):
        indices[d] = cell[-1][0]
        for t, (s, w) in enumerate(cell):
            indices[d, t], weights[d, t] = s, w
    return _table(indices, weights, counts)


@functools.lru_cache(maxsize=_TABLES_KEPT)
def _nearest_indices(in_size, out_size, exact):
    """Source index per destination index: floor(d * (in / out)) in double (INTER_NEAREST), or the pixel
    centre's, stepped as Pillow steps it (INTER_NEAREST_EXACT); clamped to the axis."""
    if exact:
        indices = pil.nearest_indices(in_size, out_size)
        indices = np.where(indices < 0, in_size - 1, indices)  # only past the far edge
    else:
        indices = np.floor(np.arange(out_size) * (1.0 / (out_size / in_size)))
    indices = np.clip(indices, 0, in_size - 1).astype(np.int32)
    indices.flags.writeable = False
    return indices


def _grid(count):
    return (max(1, min(_MAX_BLOCKS, -(-count // _BLOCK))),)


def _round_half_even(value):
    return int(np.rint(value))


def _two_passes(src, out_w, out_h, x_table, y_table, mode):
    """Along x over the source rows the y table reads, into an int (8-bit fixed point) or float
    intermediate, then along y by `mode` (a rule of _resize_cv.cu's vpass)."""
    in_h, in_w, channels = src.shape
    accumulator = "float" if mode == "Float" else "int"
    rows, local = y_table.rows, y_table.local
    x_indices, x_weights, x_counts = x_table[:3]
    middle = cp.empty((len(rows), out_w, channels), np.float32 if accumulator == "float" else np.int32)
    kernel = _sources.RESIZE_CV.function(_sources.cv_hpass_expression(src.dtype, accumulator, channels))
    kernel(_grid(len(rows) * out_w), (_BLOCK,),
           (src, middle, cp.asarray(rows), cp.asarray(x_indices), cp.asarray(x_weights), cp.asarray(x_counts),
            np.int32(x_indices.shape[1]), np.int32(len(rows)), np.int32(in_h), np.int32(in_w),
            np.int32(out_w)))  # fmt: skip
    y_weights, y_counts = y_table.weights, y_table.counts
    dst = cp.empty((out_h, out_w, channels), src.dtype)
    vec_end = (out_w * channels) // _VECTOR * _VECTOR if mode == "Cubic" else 0
    kernel = _sources.RESIZE_CV.function(_sources.cv_vpass_expression(accumulator, src.dtype, channels, mode))
    kernel(_grid(out_h * out_w), (_BLOCK,),
           (middle, dst, cp.asarray(local), cp.asarray(y_weights), cp.asarray(y_counts), np.int32(local.shape[1]),
            np.int32(len(rows)), np.int32(out_h), np.int32(out_w), np.int32(vec_end)))  # fmt: skip
    return dst


def _area_fast(src, out_w, out_h, fx, fy):
    in_h, in_w, channels = src.shape
    dst = cp.empty((out_h, out_w, channels), src.dtype)
    quarter = fx == fy == 2 and channels != 2 and src.dtype == np.uint8
    kernel = _sources.RESIZE_CV.function(_sources.cv_area_expression(src.dtype, channels))
    kernel(_grid(out_h * out_w), (_BLOCK,),
           (src, dst, np.int32(fx), np.int32(fy), np.int32(in_h), np.int32(in_w), np.int32(out_h), np.int32(out_w),
            np.float32(np.float32(1) / np.float32(fx * fy)), np.int32(quarter)))  # fmt: skip
    return dst


def _nearest(src, out_w, out_h, exact):
    in_h, in_w, channels = src.shape
    dst = cp.empty((out_h, out_w, channels), src.dtype)
    kernel = _sources.RESIZE_PIL.function(_sources.pil_nearest_expression(src.dtype, channels))
    kernel(_grid(out_h * out_w), (_BLOCK,),
           (src, dst, cp.asarray(_nearest_indices(in_w, out_w, exact)),
            cp.asarray(_nearest_indices(in_h, out_h, exact)), np.int32(0), np.int32(0),
            np.int32(in_h), np.int32(in_w), np.int32(out_h), np.int32(out_w)))  # fmt: skip
    return dst


def _resample(src, out_w, out_h, interpolation):
    """OpenCV's choice of path for a resize of src (h, w, c) contiguous to out_w x out_h."""
    in_h, in_w, channels = src.shape
    if (out_w, out_h) == (in_w, in_h):
        return src.copy()
    if interpolation in (INTER_NEAREST, INTER_NEAREST_EXACT):
        return _nearest(src, out_w, out_h, interpolation == INTER_NEAREST_EXACT)
    scale_x, scale_y = 1.0 / (out_w / in_w), 1.0 / (out_h / in_h)
    whole_x, whole_y = _round_half_even(scale_x), _round_half_even(scale_y)
    whole = abs(scale_x - whole_x) < DBL_EPSILON and abs(scale_y - whole_y) < DBL_EPSILON
    if interpolation == INTER_LINEAR and whole and whole_x == whole_y == 2:
        interpolation = INTER_AREA  # the same values, by the block mean
    fixed = src.dtype == np.uint8
    if interpolation == INTER_AREA and scale_x >= 1 and scale_y >= 1:
        if whole:
            return _area_fast(src, out_w, out_h, whole_x, whole_y)
        return _two_passes(src, out_w, out_h, _area_table(in_w, out_w), _area_table(in_h, out_h), "Float")
    x_table = _interpolation_table(in_w, out_w, interpolation, fixed, True)
    y_table = _interpolation_table(in_h, out_h, interpolation, fixed, False)
    mode = "Float" if not fixed else {INTER_CUBIC: "Cubic", INTER_LANCZOS4: "Fixed"}.get(interpolation, "Linear")
    return _two_passes(src, out_w, out_h, x_table, y_table, mode)


def _checked(image, dsize, interpolation):
    """(contiguous (h, w, c) image, out width, out height, interpolation, channel-first, rank 2) or a clear
    error."""
    src, out_w, out_h, channel_first, grey = planning.compat_image(image, dsize, "resize_cv2")
    if isinstance(interpolation, np.integer):
        interpolation = int(interpolation)
    if not isinstance(interpolation, int) or isinstance(interpolation, bool):
        raise TypeError(f"resize_cv2: interpolation must be one of OpenCV's INTER_* values, got {interpolation!r}")
    interpolation = int(interpolation)  # an IntEnum too
    if interpolation not in CV2_INTERPOLATIONS:
        raise ValueError(f"resize_cv2: unknown interpolation {interpolation}; OpenCV's are "
                         + ", ".join(f"{name} ({value})" for value, name in CV2_INTERPOLATIONS.items()))  # fmt: skip
    return src, out_w, out_h, interpolation, channel_first, grey


def resize_cv2(image, dsize, interpolation):
    """Resize an image to dsize = (width, height) with the values OpenCV's `cv2.resize` gives.

    image: a CuPy array (H, W), (H, W, C) or (C, H, W), C from 1 to 4, of uint8
    or float32 (a rank-3 image is taken as channel-first by the layout rule of
    `resize`). interpolation: one of OpenCV's `cv2.INTER_*` values
    INTER_NEAREST, INTER_LINEAR, INTER_CUBIC, INTER_AREA, INTER_LANCZOS4 and
    INTER_NEAREST_EXACT (0 to 4 and 6). uint8 results are OpenCV's own
    code's, value for value (within 1 of Intel's IPP, which OpenCV uses for
    some resizes); float32 results lie within 1e-5 of the value range of its
    own code's (2e-4 of IPP's).

    Returns a new array of the image's rank, axis order and element type. A
    list of images gives a list, every image checked before any is resized.
    """
    if isinstance(image, list):
        checked = [_checked(one, dsize, interpolation) for one in image]
        return [_resized(*c) for c in checked]
    return _resized(*_checked(image, dsize, interpolation))


def _resized(src, out_w, out_h, interpolation, channel_first, grey):
    """resize_cv2 of one checked image."""
    out = _resample(src, out_w, out_h, interpolation)
    if grey:  # a rank-2 image
        return out[:, :, 0]
    return cp.ascontiguousarray(out.transpose(2, 0, 1)) if channel_first else out
