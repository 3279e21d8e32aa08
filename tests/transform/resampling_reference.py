"""A float64 NumPy evaluation of the resampling definitions, the oracle for filters no library has.

Per source axis: the stretch s (>= 1, 1 for nearest and bilinear), the taps i
with |i - p| < reach, weights w((i - p) / s) (area: the overlap of
[i - 1/2, i + 1/2] with [p - s/2, p + s/2]) normalised over all taps, then taps
outside the image dropped; the 2-D weight is the product of the axis weights.
"""

import numpy as np

from zemvara.transform.resampling import filters
from zemvara.transform.resampling._affine import kernel_of


def _call_args(row):
    """The extra arguments a row's family kernel takes, with the row's values."""
    names = {p.name for p in filters.call_params(row.family)}
    return tuple(p.kind(p.value) if p.kind is int else np.float32(p.value) for p in row.params if p.name in names)


# The filters as the warp kernels take them: filter name -> (kernel, its extra arguments).
KERNELS = {row.name: (kernel_of(row.family), _call_args(row)) for row in filters.FILTERS}


def _cubic(b, c):
    def w(x):
        x = np.abs(x)
        near = ((12 - 9 * b - 6 * c) * x**3 + (-18 + 12 * b + 6 * c) * x**2 + (6 - 2 * b)) / 6
        far = ((-b - 6 * c) * x**3 + (6 * b + 30 * c) * x**2 + (-12 * b - 48 * c) * x + (8 * b + 24 * c)) / 6
        return np.where(x < 1, near, np.where(x < 2, far, 0.0))

    return w


def _keys(a):
    # Keys' cubic convolution is the Mitchell-Netravali cubic with B = 0, C = -a.
    return _cubic(0.0, -a)


def _lanczos(a):
    return lambda x: np.where(np.abs(x) < a, np.sinc(x) * np.sinc(x / a), 0.0)


# Weight functions of x = t / s in float64, one per traits block, from the row's parameters.
_WEIGHTS = {
    "zemvara::Bilinear": lambda: lambda x: np.maximum(0.0, 1 - np.abs(x)),
    "zemvara::Keys": _keys,
    "zemvara::MitchellNetravali": _cubic,
    "zemvara::Lanczos": _lanczos,
}

# Filter name -> (weight function of x = t / s, radius, widens on reduction); nearest and area apart.
FILTERS = {
    row.name: (_WEIGHTS[row.traits](*(p.value for p in row.params)), row.radius, row.widens)
    for row in filters.FILTERS
    if row.traits in _WEIGHTS
}


def axis_weights(p, s, n, name, edge=False):
    """(indices, weights), each (len(p), taps): the taps of each position.

    Taps outside 0..n-1 weigh zero, or with edge=True stand for the nearest edge pixel.
    """
    p = np.asarray(p, dtype=np.float64)[:, None]
    if name == "nearest":
        i = np.floor(p + 0.5)
        return np.clip(i, 0, n - 1).astype(np.int64), ((i >= 0) & (i < n) | edge).astype(np.float64)
    if name == "area":
        reach = (s + 1) / 2
    else:
        w, radius, widens = FILTERS[name]
        s = s if widens else 1.0
        reach = radius * s
    i = np.floor(p - reach) + 1 + np.arange(int(np.ceil(2 * reach)) + 1)
    t = i - p
    if name == "area":
        weights = np.maximum(0.0, np.minimum(t + 0.5, s / 2) - np.maximum(t - 0.5, -s / 2))
    else:
        weights = np.where(np.abs(t) < reach, w(t / s), 0.0)
    weights = weights / weights.sum(axis=1, keepdims=True)
    if not edge:
        weights[(i < 0) | (i >= n)] = 0
    return np.clip(i, 0, n - 1).astype(np.int64), weights


def resample(image, px, py, sx, sy, name, edge=False):
    """image (H, W, C) sampled at the positions px, py (same shape) with the stretches sx, sy."""
    image = np.asarray(image, dtype=np.float64)
    h, w = image.shape[:2]
    ix, wx = axis_weights(px.ravel(), sx, w, name, edge)
    iy, wy = axis_weights(py.ravel(), sy, h, name, edge)
    rows = image[iy[:, :, None], ix[:, None, :]]  # (P, Ty, Tx, C)
    out = np.einsum("py,px,pyxc->pc", wy, wx, rows)
    return out.reshape(*px.shape, image.shape[2])


def warp(src, inv, dsize, name):
    """The float32-free definition of a warp: (H', W', 3) float64 from an (H, W[, C]) source."""
    src = np.asarray(src, dtype=np.float64)
    if src.ndim == 2:
        src = src[:, :, None]
    src = np.repeat(src, 3, axis=2) if src.shape[2] == 1 else src[:, :, :3]
    m = np.asarray(inv, dtype=np.float64).reshape(2, 3)
    y, x = np.mgrid[0 : dsize[0], 0 : dsize[1]].astype(np.float64)
    px = m[0, 0] * x + m[0, 1] * y + m[0, 2]
    py = m[1, 0] * x + m[1, 1] * y + m[1, 2]
    sx = max(1.0, np.hypot(m[0, 0], m[0, 1]))
    sy = max(1.0, np.hypot(m[1, 0], m[1, 1]))
    return resample(src, px, py, sx, sy, name)


def resize(src, dsize, name):
    """The definition of a half-pixel-centred resize (edges replicated) of an (H, W, C) image to dsize = (width, height)."""
    h, w = src.shape[:2]
    out_w, out_h = dsize
    scale_x, scale_y = w / out_w, h / out_h
    y, x = np.mgrid[0:out_h, 0:out_w].astype(np.float64)
    return resample(src, (x + 0.5) * scale_x - 0.5, (y + 0.5) * scale_y - 0.5, max(1, scale_x), max(1, scale_y), name, True)
