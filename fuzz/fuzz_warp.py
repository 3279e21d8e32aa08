"""Fuzz target: warp_affine and warp_perspective of zemvara.transform.warp.

Hostile matrices (singular, huge, NaN, inf, wrong shapes, batches of the
wrong length), sizes, flags, border modes, fill values, element types,
strided and lying sources, and destinations of the wrong shape, type or
layout, or the source itself. Every call returns or refuses clearly. A result
has the requested shape and the source's element type and lies in dst when
one is given. A warp by a flip, transpose or shift with integer offsets moves
whole pixels, so with the nearest and the bilinear filter alike it must match
OpenCV's nearest warp to the bit, for every border mode (perspective: the
same matrix scaled by any positive power of two).
"""

import common
from common import Values, attempt, check, cp, cv2, np

from zemvara.transform import warp as W

FILTERS = [getattr(W, n) for n in dir(W) if n.startswith("INTER_")]
BORDERS = [getattr(W, n) for n in dir(W) if n.startswith("BORDER_")]
# OpenCV's element types among those the warps take (it has no float16 warp).
EXACT_DTYPES = [np.uint8, np.uint16, np.float32]


def integer_map(v):
    """A 3 x 3 flip, transpose or shift with integer offsets: whole pixels move, in every filter."""
    a, b = v.pick([(1, 0), (-1, 0), (0, 1), (0, -1)])
    c, d = (b, a) if v.flag() else (-b, -a)
    if a * d - b * c == 0:
        c, d = -b, a
    return np.array([[a, b, v.small(8) - 4], [c, d, v.small(8) - 4], [0, 0, 1]], np.float64)


def fill_value(v, channels):
    kind = v.below(6)
    if kind == 0:
        return v.small(255)
    if kind == 1:
        return tuple(float(v.small(255)) for _ in range(channels))
    if kind == 2:
        return tuple(v.float_() for _ in range(v.small(5)))
    if kind == 3:
        return v.float_()
    return v.value() if kind == 4 else 0


def finite(a):
    """Finite values: a bilinear tap of weight 0 on an infinity would give NaN."""
    return np.clip(np.nan_to_num(a, nan=0.0, posinf=1.0, neginf=-1.0), -1e3, 1e3) if a.dtype.kind == "f" else a


def exact(v):
    """An integer map, a small finite image and OpenCV's warp as the reference."""
    dtype = v.pick(EXACT_DTYPES)
    channels = v.pick([1, 3, 4])
    shape = (v.small(6) + 1, v.small(6) + 1) + ((channels,) if channels > 1 else ())  # OpenCV drops C = 1
    host = finite(v.host_array(shape, dtype))
    src = cp.asarray(host)
    if v.flag() and src.ndim == 3:
        src = cp.ascontiguousarray(src[:, ::-1])[:, ::-1]  # same values, negative strides
        host = cp.asnumpy(src)
    M = integer_map(v)
    perspective = v.flag()
    dsize = (v.small(8) + 1, v.small(8) + 1)
    flag = v.pick([W.INTER_NEAREST, W.INTER_LINEAR])
    inverse = v.flag()
    mode = v.pick(BORDERS)
    fill = tuple(float(v.small(255)) for _ in range(4))
    channels = 1 if host.ndim == 2 else host.shape[2]
    old = finite(v.host_array(dsize[::-1] + host.shape[2:], dtype))
    dst = cp.asarray(old) if mode == W.BORDER_TRANSPARENT or v.flag() else None
    flags = flag | (W.WARP_INVERSE_MAP if inverse else 0)
    nearest = W.INTER_NEAREST | (W.WARP_INVERSE_MAP if inverse else 0)  # whole pixels: bilinear gives the same
    if perspective:
        k = v.pick([1.0, 2.0, 0.5, 2.0**-10, 2.0**20])  # powers of two: the scaled map is exact
        ok, out = attempt(W.warp_perspective, src, M * k, dsize, flags, mode, fill[:channels], dst)
        want = cv2.warpPerspective(host, M, dsize, dst=old.copy(), flags=nearest, borderMode=mode, borderValue=fill)
    else:
        ok, out = attempt(W.warp_affine, src, cp.asarray(M[:2]) if v.flag() else M[:2], dsize, flags, mode,
                          fill[:channels], dst)
        want = cv2.warpAffine(host, M[:2], dsize, dst=old.copy(), flags=nearest, borderMode=mode, borderValue=fill)
    check(ok, f"a whole-pixel warp of {host.shape} {host.dtype} was refused: {out}")
    got = cp.asnumpy(out)
    check(got.shape == want.shape and got.dtype == want.dtype, f"warp gave {got.shape} {got.dtype}, not {want.shape}")
    check(np.array_equal(got, want, equal_nan=True), f"{'perspective' if perspective else 'affine'} warp by {M.tolist()} "
          f"flags {flags} border {mode} differs from OpenCV")


def matrix(v, rows):
    kind = v.below(6)
    if kind == 0:
        return v.value()
    if kind == 1:
        cols = v.pick([2, 3, 4])
        return np.array([[v.float_() for _ in range(cols)] for _ in range(v.pick([1, 2, 3]))])
    if kind == 2:
        return [[v.float_() for _ in range(3)] for _ in range(rows)]  # nested lists
    m = np.array([[v.float_() for _ in range(3)] for _ in range(rows)])
    if kind == 3:
        m = np.broadcast_to(m, (v.small(3),) + m.shape).copy()  # a batch, maybe of the wrong length
    return cp.asarray(m) if v.flag() else m


def hostile(v):
    """Anything at all in each argument; a result must still keep to its shape and type and to dst."""
    perspective = v.flag()
    rows = 3 if perspective else 2
    dtype = v.pick(common.IMAGE_DTYPES + common.DTYPES)
    src = v.pick([lambda: v.device_array(v.shape(v.pick([2, 3, 4]), 5), dtype), v.liar, v.value])()
    M = matrix(v, rows)
    dsize = v.pick([(v.small(9), v.small(9)), (v.int_(), v.int_()), (0, 0), v.value()])
    flags = v.pick(FILTERS + [v.int_(), v.pick(FILTERS) | W.WARP_INVERSE_MAP, v.value()])
    mode = v.pick(BORDERS + [v.int_(), v.value()])
    channels = src.shape[-1] if type(src) is cp.ndarray and src.ndim >= 3 else 1
    fill = fill_value(v, channels)
    dst = None
    if v.flag() and type(src) is cp.ndarray:
        dst = v.pick([lambda: src, lambda: v.device_array(None, v.pick(common.IMAGE_DTYPES)), v.liar,
                      lambda: v.device_array(src.shape, src.dtype)])()
    f = W.warp_perspective if perspective else W.warp_affine
    ok, out = attempt(f, src, M, dsize, flags, mode, fill, dst)
    if not ok or type(src) is not cp.ndarray:  # a lying source has no true shape to check against
        return
    check(isinstance(out, cp.ndarray), f"{f.__name__} returned {type(out)}")
    check(out.dtype == src.dtype, f"{f.__name__} turned {src.dtype} into {out.dtype}")
    check(out.ndim == src.ndim, f"{f.__name__} turned rank {src.ndim} into {out.ndim}")
    if type(dsize) is tuple and len(dsize) == 2 and dsize != (0, 0):
        height_width = out.shape[:2] if out.ndim == 2 else out.shape[-3:-1]
        check(height_width == tuple(dsize)[::-1], f"{f.__name__} to dsize {dsize} gave shape {out.shape}")
    if type(dst) is cp.ndarray and dst is not src:
        check(out.data.ptr == dst.data.ptr or np.array_equal(cp.asnumpy(out), cp.asnumpy(dst), equal_nan=True),
              f"{f.__name__} did not write its result into dst")


def TestOneInput(data):
    v = Values(data)
    (exact if v.below(3) == 0 else hostile)(v)
    cp.cuda.Stream.null.synchronize()


def seeds():
    return [bytes([k, j]) + bytes(range(i, i + 56)) for k in (0, 1, 2) for j in (0, 3, 7) for i in (0, 90, 180)]


if __name__ == "__main__":
    common.run(TestOneInput, seeds)
