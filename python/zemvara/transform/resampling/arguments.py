"""The argument rules of `warp_affine`, `warp_perspective` and `resize`, each written once.

Every form of a call (one image, an (N, H, W, C) batch, a list of images, a
host-side image tile by tile) checks its arguments here and gets the same
exception and message for the same argument. `what` names the argument in a
message: "src", or "src[2]" for an image of a list.

A function returns what the call needs (a filter, inverse maps, a size) or
raises TypeError or ValueError; `verdict(rule, *args)` returns
`(value, None)` or `(None, the refusal)` instead, for a caller that raises the
refusal from its own frame (the warp module does, so that a traceback points
at the step that refused).

Nothing here imports the modules that call it: the order is the tables
(`filters`, `borders`, `_launch`), these rules, the whole-image modules, then
the lists and the tiled functions.
"""

import numbers
import operator
from typing import NamedTuple

import cupy as cp
import numpy as np

from ..schema import INTER_AREA, INTER_AUTO, INTER_MITCHELL
from . import _launch, borders, filters, light

# flags | WARP_INVERSE_MAP: M maps the destination to the source.
WARP_INVERSE_MAP = 16


def verdict(rule, *args):
    """(rule(*args), None), or (None, the TypeError or ValueError it raised)."""
    try:
        return rule(*args), None
    except (TypeError, ValueError) as refusal:
        return None, refusal


def is_integer(value):
    """A Python or NumPy integer, not a bool."""
    return not isinstance(value, (bool, np.bool_)) and isinstance(value, numbers.Integral)


def is_real(value):
    """A Python or NumPy real number, not a bool."""
    return not isinstance(value, (bool, np.bool_)) and isinstance(value, numbers.Real)


def require_int(name, value):
    """An int argument: the argument type test's TypeError for anything but an integer (bools too)."""
    if not is_integer(value):
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})")
    return operator.index(value)


# ----- the filter ------------------------------------------------------------------


def auto_interpolation(enlarges):
    """The filter INTER_AUTO stands for: INTER_MITCHELL where the map enlarges along either axis,
    INTER_AREA otherwise. Every call that takes INTER_AUTO (resize in every form, the affine warp,
    the road's steps) resolves it here."""
    return INTER_MITCHELL if enlarges else INTER_AREA


def resize_filter(interpolation, enlarges):
    """The filter row of a resize's `interpolation` (INTER_AUTO resolved); ValueError for any other value."""
    if isinstance(interpolation, np.integer):
        interpolation = int(interpolation)
    chosen = interpolation
    if type(chosen) is int and chosen == INTER_AUTO:
        chosen = auto_interpolation(enlarges)
    row = filters.BY_INTER.get(chosen) if type(chosen) is int else None
    if row is None:
        raise ValueError("Unsupported interpolation: " + str(interpolation))
    return row


class WarpFilter(NamedTuple):
    row: filters.Filter  # the filter table's row
    inverse: bool  # whether M already maps destination to source

    @property
    def traits(self):
        return self.row.traits

    @property
    def p0(self):
        return self.row.values()[0]

    @property
    def p1(self):
        return self.row.values()[1]


def warp_filter(who, flags):
    """The filter and the WARP_INVERSE_MAP bit of a warp's `flags` (an int, see `require_int`)."""
    value = operator.index(flags)
    inverse = value >= 0 and bool(value & WARP_INVERSE_MAP)
    row = filters.BY_INTER.get(value if value < 0 else value & ~WARP_INVERSE_MAP)
    if row is None:
        raise ValueError(f"{who}: flags {flags} names no warp filter; accepted: {filters.accepted_names()}, "
                         "optionally | WARP_INVERSE_MAP")  # fmt: skip
    return WarpFilter(row, inverse)


def border_row(who, border_mode):
    """The row of the border table whose value border_mode is (an int, see `require_int`)."""
    for row in borders.BORDERS:
        if row.value == border_mode:
            return row
    raise ValueError(f"{who}: border_mode {border_mode} is not a border mode; accepted: {borders.accepted_names()}")


# ----- light and alpha ---------------------------------------------------------------


def light_mode(who, linear, alpha, compat=None):
    """The `light.Light` of a call's `linear` (True or False) and `alpha` (None or "premultiplied");
    neither applies with a `compat` mode, which gives another library's values."""
    if not isinstance(linear, (bool, np.bool_)):
        raise TypeError(f"{who}: linear must be True or False, got {linear!r}")
    if not (alpha is None or (isinstance(alpha, str) and alpha in light.ALPHA_MODES)):
        raise ValueError(f"{who}: alpha must be None or 'premultiplied', got {alpha!r}")
    mode = light.Light(bool(linear), alpha is not None)
    if compat is not None and not mode.plain:
        raise ValueError(f"{who}: linear and alpha apply to the default resampling, not to compat={compat!r}")
    return mode


def light_route(who, mode, dtype, channels, what="src"):
    """The route (`light.Light.route`) of an image of `channels` channels; refuses premultiplied alpha
    for an image without four channels."""
    if mode.premultiplied and channels != 4:
        raise ValueError(f"{who}: alpha='premultiplied' weighs colour by the alpha channel of a 4-channel image; "
                         f"{what} has {channels} channel{'s' if channels != 1 else ''}")  # fmt: skip
    return mode.route(dtype, channels)


# ----- images --------------------------------------------------------------------


class WarpSource(NamedTuple):
    view: _launch.ArrayView  # src as the kernels will read it
    images: cp.ndarray  # src as (N, H, W, C), a view
    channels: int
    batch: object  # N of an (N, H, W, C) src, None for one image


def warp_source(who, src, what="src", batch=True):
    """The `WarpSource` of a warp's src: a CuPy array of the kernels' element types, (H, W), (H, W, C)
    or, with `batch`, (N, H, W, C), C from 1 to 4, no axis empty or too long to index."""
    if not isinstance(src, cp.ndarray):
        raise TypeError(f"{who}: {what} must be a CuPy array, got {type(src).__name__}")
    view = _launch.array_view(src, who, what)
    _launch.element_of(view, who, what)
    shape = view.shape
    ranks = {2: (None, ..., None), 3: (None,), 4: ()} if batch else {2: (None, ..., None), 3: (None,)}
    images = src[ranks[view.ndim]] if view.ndim in ranks else None
    if images is None or not 1 <= images.shape[3] <= 4:
        accepted = "accepted: (H, W), (H, W, C) or (N, H, W, C)" if batch else "accepted in a list: (H, W) or (H, W, C)"
        raise ValueError(f"{who}: {what} has shape {shape}; {accepted} with C from 1 to 4")
    check_image_axes(who, what, shape, images.shape[1:3])
    return WarpSource(view, images, images.shape[3], shape[0] if view.ndim == 4 else None)


def check_image_axes(who, what, shape, size):
    """Refuses an image (height, width) = size with an empty axis or one the kernels cannot index."""
    if 0 in size:
        raise ValueError(f"{who}: {what} of shape {shape} is empty")
    if max(size) > _launch.MAX_AXIS:
        raise ValueError(f"{who}: {what} of shape {shape} is too large; axes up to {_launch.MAX_AXIS}")


def list_of_images(who, images, name, dst=None):
    """The images of a list call as a list taken once (a list whose len() and iteration disagree gets
    one answer), refused when empty; dst, when given, one per image."""
    images = list(images)
    if not images:
        raise ValueError(f"{who}: {name} is an empty list; give at least one image")
    if dst is not None:
        if not isinstance(dst, list):
            raise ValueError(f"{who}: dst must be a list of {len(images)} arrays, one per image, got {type(dst).__name__}")
        dst = list(dst)
        if len(dst) != len(images):
            raise ValueError(f"{who}: dst must be a list of {len(images)} arrays, one per image, got {type(dst).__name__}")
    return images, dst


def one_kind(who, name, kinds):
    """Refuses a list whose images differ in element type or channel count: kinds (dtype, channels) per image."""
    dtype, channels = kinds[0]
    for i, (d, c) in enumerate(kinds):
        if d != dtype or c != channels:
            raise ValueError(f"{who}: {name}[{i}] holds {c} channels of {d}, {name}[0] {channels} of {dtype}; "
                             "a list takes one element type and channel count")  # fmt: skip


def per_image(who, dsize, count):
    """(width, height) per image of a list: dsize one (width, height) for all, or a list of one per image."""
    each = isinstance(dsize, list) and bool(dsize) and isinstance(dsize[0], (tuple, list))
    sizes = list(dsize) if each else [dsize] * count
    if len(sizes) != count:
        raise ValueError(f"{who}: dsize holds {len(sizes)} sizes for {count} images; give one for all or one per image")
    return sizes


# ----- the warps' M, dsize, border_value and dst ------------------------------------


def inverse_maps(who, M, rows, inverse, images=None):
    """The inverse maps (destination to source) of M as float64 (K, 3, 3) on the host: M is a rows x 3
    matrix, or a stack (K, rows, 3), K = 1 or one per image, of finite real numbers (NumPy, CuPy or
    nested sequences), inverted in float64 unless `inverse`. `images`: None for one image, else
    (count, "a batch of N" or "a list of N images") for the messages."""
    m = cp.asnumpy(M) if isinstance(M, cp.ndarray) else np.asarray(M)
    if m.dtype.kind not in "iuf":
        raise TypeError(f"{who}: M must hold real numbers, got element type {m.dtype}")
    accepted = "; accepted: (2, 3) or (K, 2, 3)" if rows == 2 else "; accepted: (3, 3) or (K, 3, 3)"
    if not (m.ndim in (2, 3) and m.shape[-2:] == (rows, 3)):
        raise ValueError(f"{who}: M has shape {m.shape}{accepted}")
    count = 1 if m.ndim == 2 else m.shape[0]
    if count != 1 and (images is None or count != images[0]):
        images_words = "a single image" if images is None else images[1]
        raise ValueError(f"{who}: M holds {count} matrices for {images_words}; give one matrix or one per image")
    if not np.isfinite(m).all():
        raise ValueError(f"{who}: M holds a non-finite entry: {m.tolist()}")
    m = m.astype(np.float64).reshape(count, rows, 3)
    if rows == 2:  # the row (0, 0, 1)
        m = np.concatenate([m, np.broadcast_to(np.array([0.0, 0.0, 1.0]), (count, 1, 3))], axis=1)
    if inverse:
        return m
    if (np.linalg.det(m) == 0).any():
        raise ValueError(f"{who}: M is singular (determinant 0), so it has no inverse; give an invertible map, "
                         "or the inverse map itself with WARP_INVERSE_MAP")  # fmt: skip
    m = np.linalg.inv(m)
    if not np.isfinite(m).all():
        raise ValueError(f"{who}: M is too close to singular: its inverse is not finite")
    return m


def device_maps(maps):
    """Inverse maps (K, 3, 3) as the kernels take them: float32 (K, 9) on the device, row-major."""
    return cp.asarray(maps.reshape(len(maps), 9), dtype=cp.float32)


def warp_matrices(who, M, rows, inverse, images=None):
    """`inverse_maps` on the device (see `device_maps`)."""
    return device_maps(inverse_maps(who, M, rows, inverse, images))


def warp_size(who, dsize, height, width):
    """(height, width) of a warp's destination: dsize (width, height), two ints; (0, 0) the source's size."""
    if not (isinstance(dsize, (tuple, list)) and len(dsize) == 2 and all(is_integer(v) for v in dsize)):
        raise TypeError(f"{who}: dsize must be (width, height), two ints, got {dsize!r}")
    w, h = (operator.index(v) for v in dsize)
    if w == 0 and h == 0:
        return height, width
    if not (1 <= w <= _launch.MAX_AXIS and 1 <= h <= _launch.MAX_AXIS):
        raise ValueError(f"{who}: dsize {dsize!r} is not a size; width and height from 1 to {_launch.MAX_AXIS}, "
                         "or (0, 0) for the source's size")  # fmt: skip
    return h, w


def fill_values(who, border_value, channels):
    """One fill value per channel: border_value one real number (a NumPy array of no dimensions counts
    as its number) or one per channel."""
    if isinstance(border_value, np.ndarray) and border_value.ndim == 0:
        border_value = border_value[()]
        if not is_real(border_value):
            raise TypeError(f"{who}: border_value holds {border_value!r}, not a real number")
    if is_real(border_value):
        return [border_value] * channels
    if not isinstance(border_value, (tuple, list, np.ndarray)):
        raise TypeError(f"{who}: border_value must be a number or one number per channel, got {type(border_value).__name__}")
    if len(border_value) != channels:
        raise ValueError(f"{who}: border_value holds {len(border_value)} values for {channels} channels; "
                         "give one number, or one per channel")  # fmt: skip
    for v in border_value:
        if not is_real(v):
            raise TypeError(f"{who}: border_value holds {v!r}, not a real number")
    return list(border_value)


def needs_no_dst(who, border):
    """Refuses a border mode that keeps dst's pixels (BORDER_TRANSPARENT) where no dst was given."""
    if border.needs_dst:
        raise ValueError(f"{who}: {border.name} leaves pixels outside the source as dst holds them; pass dst")


def warp_destination(who, dst, shape, dtype, border, what="dst", src=None):
    """The result array of a warp: dst checked (a CuPy array of the result's shape and element type, no
    two pixels in one place, apart from `src` when given), or a new array when dst is None."""
    if dst is None:
        needs_no_dst(who, border)
        return cp.empty(shape, dtype=dtype)
    if not isinstance(dst, cp.ndarray):
        raise TypeError(f"{who}: {what} must be a CuPy array, got {type(dst).__name__}")
    view = _launch.array_view(dst, who, what, "writes")
    if view.dtype != dtype:
        raise TypeError(f"{who}: {what} has element type {view.dtype}; the result has src's, {dtype}")
    if view.shape != tuple(shape):
        raise ValueError(f"{who}: {what} has shape {view.shape}; the result has shape {tuple(shape)}")
    if _launch.overlaps_itself(view):
        raise ValueError(f"{who}: {what} overlaps itself (shape {view.shape}, strides {view.strides}); "
                         "each pixel needs memory of its own")  # fmt: skip
    if src is not None:
        (src_lo, src_hi), (dst_lo, dst_hi) = _launch.byte_range(_launch.array_view(src, who, "src")), _launch.byte_range(view)
        if src_lo < dst_hi and dst_lo < src_hi:
            raise ValueError(f"{who}: {what} overlaps src; the warp reads src while it writes {what}")
    return dst


def refuse_overlaps(who, pairs):
    """ValueError where a destination shares memory with any source or another destination: pairs are
    (src name, src view, dst name, dst view); a launch writes every dst while it reads every src, in no order."""
    spans = sorted([(*_launch.byte_range(view), name) for name, view, _, _ in pairs]
                   + [(*_launch.byte_range(view), name) for _, _, name, view in pairs])  # fmt: skip
    reach, holder = None, None
    for lo, hi, name in spans:
        if reach is not None and lo < reach and "dst" in (name[:3], holder[:3]):
            raise ValueError(f"{who}: {name} overlaps {holder}; the launch reads every src while it writes every dst")
        if reach is None or hi > reach:
            reach, holder = hi, name
