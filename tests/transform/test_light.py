"""Linear light and premultiplied alpha through resize and the warps, in every form (one image, an
(N, H, W, C) batch, a list)."""

import math

import cupy as cp
import numpy as np
import pytest
import torch

from zemvara.transform import schema, warp
from zemvara.transform.resampling import light
from zemvara.transform.resize import resize

TOPS = {np.uint8: 255.0, np.uint16: 65535.0, np.float32: 1.0}
SHRINK16 = np.array([[1 / 16, 0, 7.5 / 16], [0, 1 / 16, 7.5 / 16]])  # 512 to 32, pixel centres kept


def _rotation(deg, size):
    a, c = math.radians(deg), (size - 1) / 2
    r = np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])
    return np.hstack([r, (np.array([c, c]) - r @ [c, c])[:, None]])


def _calls(kind, dsize, flags, M=None):
    """The forms of one call, each taking a host image and the keywords and giving a host result."""
    if kind == "resize":
        f = lambda src, **kw: resize(src, dsize, flags, **kw)  # noqa: E731
    else:
        f = lambda src, **kw: warp.warp_affine(src, M, dsize, flags, **kw)  # noqa: E731
    forms = {
        "single": lambda src, **kw: cp.asnumpy(f(cp.asarray(src), **kw)),
        "list": lambda src, **kw: cp.asnumpy(f([cp.asarray(src), cp.asarray(src[:-3])], **kw)[0]),
        "batch": lambda src, **kw: cp.asnumpy(f(cp.asarray(np.stack([src, src])), **kw)[1]),
    }
    if kind == "resize":  # CuPy takes no (N, H, W, C) resize: the batch form is a tensor's
        forms["batch"] = lambda src, **kw: cp.asnumpy(cp.asarray(f(torch.from_numpy(src[None].copy()), **kw)[0]))
        if cp.zeros(0).__dlpack_device__()[0] == 2:  # tensors in host memory are not on CuPy's device
            del forms["batch"]
    return forms


FORMS = [(k, form) for k in ("resize", "warp") for form in ("single", "list", "batch")]


def _board(dtype, channels, size=512):
    board = (np.indices((size, size)).sum(0) % 2).astype(np.float64) * TOPS[dtype]
    return (np.dstack([board] * channels) if channels > 1 else board).astype(dtype)


# Every route in one form; the forms on one route (they share their routes).
BOARDS = [(kind, "single", dtype, channels) for kind in ("resize", "warp")
          for dtype, channels in ((np.uint8, 1), (np.uint8, 4), (np.uint16, 3), (np.float32, 3))]
BOARDS += [(kind, form, np.uint8, 3) for kind, form in FORMS]  # fmt: skip


@pytest.mark.parametrize("kind,form,dtype,channels", BOARDS, ids=lambda v: getattr(v, "__name__", str(v)))
def test_a_checkerboard_reduces_to_its_mean_in_linear_light(kind, form, dtype, channels):
    call = _calls(kind, (32, 32), schema.INTER_AREA, SHRINK16)[form]
    src = _board(dtype, channels)
    got = call(src, linear=True).astype(np.float64).reshape(32, 32, -1)
    top = TOPS[dtype]
    colour = got[4:-4, 4:-4, :3]  # the warp's edge pixels weigh the fill too
    assert np.abs(colour - 187.5 / 255 * top).max() <= 0.5 / 255 * top
    plain = call(src).astype(np.float64).reshape(32, 32, -1)[4:-4, 4:-4, :3]
    assert np.abs(plain - top / 2).max() <= 0.5 / 255 * top  # the encoded mean, as ever
    if channels == 4:  # alpha stays as it is: its plain mean
        assert np.abs(got[4:-4, 4:-4, 3] - top / 2).max() <= 0.5 / 255 * top


def _decoded(src):
    return (light.decode(src / 255.0) * 255.0).astype(np.float32)


def _encoded(values):
    return np.clip(np.rint(light.encode(np.asarray(values, np.float64) / 255.0) * 255.0), 0, 255)


@pytest.mark.parametrize("kind,form", FORMS, ids=lambda v: v)
def test_uint8_decoded_in_the_kernels_gives_the_float_resampling_encoded(kind, form):
    """The loads' table and the stores' rounding against float32 resampling of the decoded values
    (512 x 384 to 203 x 155: the resize's one-launch path; a rotation with a fill of 100)."""
    src = np.random.default_rng(3).integers(0, 256, (384, 512, 3), dtype=np.uint8)
    M = _rotation(20, 384)[:, :] @ np.diag([0.4, 0.4, 1.0])
    call = _calls(kind, (203, 155), schema.INTER_LANCZOS3, M)[form]
    extra = {} if kind == "resize" else {"border_value": 100}
    want = call(_decoded(src), **({} if kind == "resize" else {"border_value": float(_decoded(np.uint8(100)))}))
    got = call(src, linear=True, **extra).astype(np.int64)
    assert np.abs(got - _encoded(want)).max() <= 1


def test_every_level_comes_back_as_it_was():
    levels = np.arange(256, dtype=np.uint8).reshape(16, 16)
    for channels in (1, 3):
        src = np.dstack([levels] * channels) if channels > 1 else levels
        for call in (lambda s: resize(s, (16, 16), schema.INTER_NEAREST, linear=True),
                     lambda s: warp.warp_affine(s, np.eye(2, 3), (16, 16), schema.INTER_NEAREST, linear=True)):  # fmt: skip
            np.testing.assert_array_equal(cp.asnumpy(call(cp.asarray(src))), src)
    # Values past either end and NaN store as the plain stores clip them (a fill beyond the source).
    outside = np.array([[1, 0, 100], [0, 1, 100]], np.float64)
    got = warp.warp_affine(cp.zeros((4, 4, 3), cp.uint8), outside, (4, 4), border_value=(300, -5, float("nan")),
                           linear=True)  # fmt: skip
    assert cp.asnumpy(got[0, 0]).tolist() == [255, 0, 0]


def _square(dtype):
    """A red opaque square on a transparent green background (straight alpha)."""
    top = TOPS[dtype]
    image = np.zeros((64, 64, 4), np.float64)
    image[...] = (0, top, 0, 0)
    image[20:44, 20:44] = (top, 0, 0, top)
    return image.astype(dtype)


@pytest.mark.parametrize("kind,form", FORMS, ids=lambda v: v)
@pytest.mark.parametrize("dtype", [np.uint8, np.float32], ids=lambda d: np.dtype(d).name)
def test_transparent_pixels_give_no_colour(kind, form, dtype):
    call = _calls(kind, (24, 24) if kind == "resize" else (64, 64), schema.INTER_LANCZOS3, _rotation(30, 64))[form]
    src = _square(dtype)
    for linear in (False, True):
        got = call(src, alpha="premultiplied", linear=linear).astype(np.float64)
        edge = (got[..., 3] > 0) & (got[..., 3] < TOPS[dtype])
        assert edge.sum() > 20
        assert np.abs(got[..., 1][got[..., 3] > 0]).max() == 0  # no green where anything shows
        assert got[..., 0][got[..., 3] >= TOPS[dtype] / 4].min() >= 0.9 * TOPS[dtype]  # red, straight
    bled = call(src).astype(np.float64)
    assert bled[..., 1][(bled[..., 3] > 0) & (bled[..., 3] < TOPS[dtype])].max() > 0.1 * TOPS[dtype]


def test_premultiplied_keeps_a_warps_fill_and_dst():
    """The fill is straight too, and BORDER_TRANSPARENT keeps dst's pixels outside the source."""
    src = cp.asarray(_square(np.uint8))
    fill = (10, 20, 30, 255)
    got = cp.asnumpy(warp.warp_affine(src, _rotation(30, 64), (64, 64), schema.INTER_LINEAR, border_value=fill,
                                      alpha="premultiplied", linear=True))  # fmt: skip
    assert tuple(got[0, 0]) == fill
    dst = cp.full((64, 64, 4), 77, cp.uint8)
    out = warp.warp_affine(src, _rotation(30, 64), (64, 64), schema.INTER_LINEAR, warp.BORDER_TRANSPARENT, dst=dst,
                           alpha="premultiplied")  # fmt: skip
    assert out is dst and tuple(cp.asnumpy(dst[0, 0])) == (77, 77, 77, 77)
