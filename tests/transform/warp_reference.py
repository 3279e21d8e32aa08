"""A float64 NumPy evaluation of the warps with border modes, the oracle of the warp tests.

Destination pixel (x, y) samples the source at the inverse map of (x, y)
(divided by its third coordinate for a perspective map). Per source axis: the
stretch s (the length of that row of the map's Jacobian, >= 1; 1 for nearest
and bilinear), the taps i with |i - p| < reach, weights w((i - p) / s)
normalised over all taps; then every tap reads the pixel its border mode
gives, or the fill value. The 2-D weight is the product of the axis weights.
"""

import numpy as np

import resampling_reference as ref
from zemvara.transform.resampling import borders


def _constant(i, n):
    return np.where((i >= 0) & (i < n), i, -1)


def _replicate(i, n):
    return np.clip(i, 0, n - 1)


def _reflect(i, n):
    j = np.mod(i, 2 * n)
    return np.where(j < n, j, 2 * n - 1 - j)


def _wrap(i, n):
    return np.mod(i, n)


def _reflect_101(i, n):
    if n == 1:
        return np.zeros_like(i)
    j = np.mod(i, 2 * n - 2)
    return np.where(j < n, j, 2 * n - 2 - j)


# A fold of the border table (its name in borders.FOLDS) -> the source index of a tap i of an
# axis of n pixels; -1: the fill.
FOLDS = {"constant": _constant, "clamp": _replicate, "mirror": _reflect, "wrap": _wrap, "mirror-101": _reflect_101}
# Border mode (its name in the table) -> its fold's index function.
INDEX = {row.name: FOLDS[row.fold] for row in borders.BORDERS}
CONSTANT = borders.BY_NAME["BORDER_CONSTANT"].value


def border_row(mode):
    """The table's row of a mode (read as the table stands), its fold checked against FOLDS."""
    row = borders.row_of(mode)
    borders.check_fold(row, FOLDS, "warp_reference", "the tests' reference")
    return row


def border_index(i, n, mode):
    """The source index of tap i under a border mode; -1 for a constant border."""
    return FOLDS[border_row(mode).fold](i, n)


def axis_taps(p, s, n, name, mode):
    """(indices, weights), each (len(p), taps), for positions p and stretches s."""
    p = p[:, None]
    if name == "nearest":
        return border_index(np.floor(p + 0.5).astype(np.int64), n, mode), np.ones_like(p)
    if name == "area":
        reach = (s + 1) / 2
    else:
        w, radius, widens = ref.FILTERS[name]
        s = s if widens else np.ones_like(s)
        reach = radius * s
    reach = reach[:, None]
    i = np.floor(p - reach) + 1 + np.arange(int(np.ceil(2 * reach.max())) + 1)
    t = i - p
    s = s[:, None]
    if name == "area":
        weights = np.maximum(0.0, np.minimum(t + 0.5, s / 2) - np.maximum(t - 0.5, -s / 2))
    else:
        weights = np.where(np.abs(t) < reach, w(t / s), 0.0)
    weights = weights / weights.sum(axis=1, keepdims=True)
    return border_index(i.astype(np.int64), n, mode), weights


def warp(src, inverse, dsize, name, mode=CONSTANT, fill=0.0, dst=None):
    """src (H, W, C) warped by the 3 x 3 inverse map into (height, width, C) float64; dsize = (width, height).

    With a mode that keeps dst (TRANSPARENT), pixels outside the source keep the values of dst.
    """
    src = np.asarray(src, dtype=np.float64)
    h, w, channels = src.shape
    m = np.asarray(inverse, dtype=np.float64).reshape(3, 3)
    y, x = np.mgrid[0 : dsize[1], 0 : dsize[0]].astype(np.float64)
    x, y = x.ravel(), y.ravel()
    den = m[2, 0] * x + m[2, 1] * y + m[2, 2]
    with np.errstate(divide="ignore", invalid="ignore"):
        px = (m[0, 0] * x + m[0, 1] * y + m[0, 2]) / den
        py = (m[1, 0] * x + m[1, 1] * y + m[1, 2]) / den
        # Rows of the Jacobian of (px, py) with respect to (x, y).
        sx = np.hypot(m[0, 0] - px * m[2, 0], m[0, 1] - px * m[2, 1]) / np.abs(den)
        sy = np.hypot(m[1, 0] - py * m[2, 0], m[1, 1] - py * m[2, 1]) / np.abs(den)
    outside = ~(den > 0)
    px, py = np.where(outside, 0.0, px), np.where(outside, 0.0, py)
    sx, sy = np.maximum(1.0, np.nan_to_num(sx)), np.maximum(1.0, np.nan_to_num(sy))
    keeps = border_row(mode).needs_dst
    ix, wx = axis_taps(px, sx, w, name, mode)
    iy, wy = axis_taps(py, sy, h, name, mode)
    fill = np.broadcast_to(np.asarray(fill, dtype=np.float64), (channels,))
    padded = np.concatenate([src, np.broadcast_to(fill, (h, 1, channels))], axis=1)
    padded = np.concatenate([padded, np.broadcast_to(fill, (1, w + 1, channels))], axis=0)  # index -1: the fill
    rows = padded[iy[:, :, None], ix[:, None, :]]  # (P, Ty, Tx, C)
    out = np.einsum("py,px,pyxc->pc", wy, wx, rows)
    out[outside] = fill
    if keeps:
        keep = outside | ~((px >= 0) & (px <= w - 1) & (py >= 0) & (py <= h - 1))
        out[keep] = np.asarray(dst, dtype=np.float64).reshape(-1, channels)[keep]
    return out.reshape(dsize[1], dsize[0], channels)


def snapping_tolerance(src, inverse, dsize, name, mode=CONSTANT, fill=0.0, dst=None):
    """(exact result, per-pixel tolerance): how far the result moves when the position moves by SNAP along x and y.

    OpenCV rounds the two terms of an affine position to 1/1024 pixel
    (AB_BITS = 10) and snaps their sum to 1/32 pixel, so its sample position
    lies up to SNAP = 1/64 + 2/2048 pixel from the exact one along each axis.
    Where the result is locally linear, the largest change within that square
    is at one of its corners.
    """
    exact = warp(src, inverse, dsize, name, mode, fill, dst)
    worst = np.zeros_like(exact)
    m = np.asarray(inverse, dtype=np.float64).reshape(3, 3)
    for dx in (-SNAP, SNAP):
        for dy in (-SNAP, SNAP):
            # The position moved by (dx, dy): X / W + dx = (X + dx W) / W.
            moved = m + np.outer([dx, dy, 0], m[2])
            worst = np.maximum(worst, np.abs(warp(src, moved, dsize, name, mode, fill, dst) - exact))
    return exact, worst


SNAP = 1 / 64 + 2 / 2048
