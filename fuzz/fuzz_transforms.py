"""Fuzz target: affine_transform, resize and the subsampling functions.

Random small images, matrices (singular, huge, NaN, inf, exact integer maps)
and flags. Where a NumPy reference is cheap the result must match it: the
subsampling round trip is exact, and a warp by an integer matrix moves pixels
exactly with the nearest and bilinear filters; every warp keeps to the output
shape and zero outside the source.
"""

import common
from common import Values, call, check, cp, np

from zemvara.transform import schema
from zemvara.transform.affine import affine_transform
from zemvara.transform.resize import resize
from zemvara.transform.subsample import subsample_image, subsample_image_back
from zemvara.transform.weavepack import subsample_image_back_flattened, subsample_image_back_gather

FLAGS = [getattr(schema, n) for n in dir(schema) if n.startswith("INTER_")]
RECONSTRUCTIONS = [subsample_image_back, subsample_image_back_flattened, subsample_image_back_gather]


def integer_map(v, shape):
    """A matrix of 0 and +-1 entries with integer offsets: a flip, transpose or shift, exact in every filter."""
    a, b = v.pick([(1, 0), (-1, 0), (0, 1), (0, -1)])
    c, d = (b, a) if v.flag() else (-b, -a)
    if a * d - b * c == 0:
        c, d = -b, a
    return np.array([[a, b, v.small(6) - 3], [c, d, v.small(6) - 3]], np.float64)


def nearest_reference(src, M, dsize):
    """dst(y, x) = src at the inverse image of (x, y) when that is a pixel, else 0 (integer maps only)."""
    inv = np.linalg.inv(np.vstack([M, [0, 0, 1]]))[:2]
    h, w = dsize
    y, x = np.mgrid[0:h, 0:w]
    sx = np.rint(inv[0, 0] * x + inv[0, 1] * y + inv[0, 2]).astype(int)
    sy = np.rint(inv[1, 0] * x + inv[1, 1] * y + inv[1, 2]).astype(int)
    inside = (sx >= 0) & (sx < src.shape[1]) & (sy >= 0) & (sy < src.shape[0])
    out = np.zeros((h, w, 3), np.float32)
    out[inside] = src[sy[inside], sx[inside]]
    return out


def warp(v):
    src_host = v.host_array((v.small(6) + 1, v.small(6) + 1, 3), np.float32)
    src_host = np.nan_to_num(src_host, nan=0.0, posinf=0.0, neginf=0.0)
    dsize = (v.small(9), v.small(9))
    kind = v.below(3)
    if kind == 0:
        M = integer_map(v, src_host.shape)
        flag = v.pick([schema.INTER_NEAREST, schema.INTER_LINEAR])
    else:
        M = np.array([[v.float_() for _ in range(3)] for _ in range(2 + v.below(2))])
        flag = v.pick(FLAGS + [v.int_()])
    out = call(affine_transform, cp.asarray(src_host), M if v.flag() else cp.asarray(M), dsize, flag)
    if out is None:
        return
    check(out.shape == dsize + (3,) and out.dtype == np.float32, f"warp to {dsize} gave {out.shape} {out.dtype}")
    if kind == 0:
        want = nearest_reference(src_host, M, dsize)
        got = cp.asnumpy(out)
        check(np.allclose(got, want, rtol=1e-5, atol=1e-4), f"integer warp {M.tolist()} flag {flag} differs")


def resized(v):
    dtype = v.pick(common.IMAGE_DTYPES)
    shape = v.pick([(v.small(6) + 1, v.small(6) + 1), (v.small(6) + 1, v.small(6) + 1, v.pick([1, 3, 4]))])
    image = v.device_array(shape, dtype)
    dsize = (v.small(9), v.small(9))
    flag = v.pick(FLAGS)
    out = call(resize, image, dsize, flag)
    if out is None:
        return
    check(out.dtype == image.dtype and out.ndim == image.ndim, f"resize {image.shape} {image.dtype} gave {out.shape} {out.dtype}")
    if flag == schema.INTER_NEAREST and dtype != np.float16:
        host = cp.asnumpy(image)
        got = cp.asnumpy(out)
        finite = np.isfinite(host).all() if host.dtype.kind == "f" else True
        if finite and got.size:
            check(np.isin(got, host).all(), "nearest resize made values that are not in the image")


def subsampled(v):
    dim = v.pick([1, 2, 3, 4, v.int_()])
    rank = v.pick([2, 3])
    if isinstance(dim, int) and 1 <= dim <= 4:
        shape = (dim * (v.small(4) + 1), dim * (v.small(4) + 1)) + ((v.pick([1, 3]),) if rank == 3 else ())
    else:
        shape = v.shape(rank)
    image = v.device_array(shape, v.pick([np.float32, np.float32, np.uint8, np.float16]))
    parts = call(subsample_image, image, dim)
    if parts is None:
        return
    host = cp.asnumpy(image)
    check(len(parts) == dim * dim, f"{len(parts)} sub-images for dim {dim}")
    for i, part in enumerate(parts):
        check(np.array_equal(cp.asnumpy(part), host[i // dim::dim, i % dim::dim], equal_nan=True),
              f"sub-image {i} of dim {dim} is not the interleaved pixels")
    batch = cp.stack([p if p.ndim == 3 else p[:, :, None] for p in parts]).transpose(0, 3, 1, 2)
    for back in RECONSTRUCTIONS:
        out = call(back, v.pick([batch, list(parts)]), dim)
        if out is None:
            continue
        want = host.astype(np.float32)
        got = cp.asnumpy(out)
        check(np.array_equal(got.reshape(want.shape), want, equal_nan=True), f"{back.__name__} did not invert dim {dim}")


def TestOneInput(data):
    v = Values(data)
    v.pick([warp, resized, subsampled])(v)
    cp.cuda.Stream.null.synchronize()


def seeds():
    return [bytes([k]) + bytes(range(i, i + 48)) for k in range(3) for i in range(0, 200, 40)]


if __name__ == "__main__":
    common.run(TestOneInput, seeds)
