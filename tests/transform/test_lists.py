"""Lists of images of different sizes through resize and the warps: each result the single call's, one launch per pass."""

import cupy as cp
import numpy as np
import pytest
import torch

from zemvara.transform import schema, warp
from zemvara.transform.resampling import _lists, planning
from zemvara.transform.resize import resize

RNG = np.random.default_rng(7)


def images(count, dtype=np.float32, channels=3, low=5, high=50):
    out = []
    for _ in range(count):
        shape = (int(RNG.integers(low, high)), int(RNG.integers(low, high))) + ((channels,) if channels else ())
        out.append(cp.asarray((RNG.random(shape) * 250).astype(dtype)))
    return out


def launches(call):
    """(result, launches it made) on the host device; on a GPU the count is not checked."""
    log = getattr(cp, "_hostdevice", None)
    before = log.launch_count() if log else 0
    result = call()
    return result, (log.launch_count() - before if log else None)


def assert_each_equal(results, singles):
    assert isinstance(results, list) and len(results) == len(singles)
    for got, want in zip(results, singles):
        assert got.shape == want.shape and got.dtype == want.dtype
        np.testing.assert_array_equal(cp.asnumpy(got), cp.asnumpy(want))


AFFINE = RNG.normal(size=(6, 2, 3)) * 0.2 + [[1, 0, 2], [0, 1, 1]]
SHARED = list(cp.zeros((3, 8, 8, 3), cp.float32))  # three images in one allocation
PERSPECTIVE = np.concatenate([AFFINE, np.tile([[[0.002, -0.001, 1.0]]], (6, 1, 1))], axis=1)


class TestResults:
    @pytest.mark.parametrize("dtype, channels", [(np.float32, 3), (np.uint8, 4), (np.uint16, None), (np.float16, 1)])
    @pytest.mark.parametrize("per_image", [False, True], ids=["one_dsize", "dsize_each"])
    def test_resize(self, dtype, channels, per_image):
        srcs = images(6, dtype, channels)
        dsize = [(int(RNG.integers(3, 70)), int(RNG.integers(3, 70))) for _ in srcs] if per_image else (19, 23)
        sizes = dsize if per_image else [dsize] * len(srcs)
        assert_each_equal(resize(srcs, dsize), [resize(s, d) for s, d in zip(srcs, sizes)])

    def test_resize_channel_first_and_strided_views(self):
        srcs = [cp.asarray(RNG.random((3, 20 + i, 31 - i), np.float32)) for i in range(3)]
        srcs += [s.transpose(1, 2, 0)[::2] for s in srcs] + [images(1)[0][:, ::-1]]
        dsize = (11, 17)
        assert_each_equal(resize(srcs, dsize, schema.INTER_LANCZOS3), [resize(s, dsize, schema.INTER_LANCZOS3) for s in srcs])

    @pytest.mark.parametrize("perspective", [False, True], ids=["affine", "perspective"])
    @pytest.mark.parametrize("dtype, channels, border", [(np.float32, 3, 0), (np.uint8, 4, 4), (np.uint16, None, 1), (np.float16, 1, 2)])
    def test_warps(self, perspective, dtype, channels, border):
        f, M = (warp.warp_perspective, PERSPECTIVE) if perspective else (warp.warp_affine, AFFINE)
        srcs = [s[::-1, ::2] if i % 2 else s for i, s in enumerate(images(6, dtype, channels))]  # views too
        results, count = launches(lambda: f(srcs, M, (23, 17), schema.INTER_CUBIC, border, 7))
        assert_each_equal(results, [f(s, m, (23, 17), schema.INTER_CUBIC, border, 7) for s, m in zip(srcs, M)])
        assert count in (None, 1)

    def test_warp_into_dst_with_one_matrix_and_sizes_each(self):
        srcs = images(4, channels=None)
        sizes = [(9, 7), (30, 12), (0, 0), (5, 40)]
        singles = [warp.warp_affine(s, AFFINE[0], d, schema.INTER_LINEAR) for s, d in zip(srcs, sizes)]
        dst = [cp.zeros((s.shape[0], 2 * s.shape[1]), s.dtype)[:, ::2] for s in singles]  # strided views
        assert warp.warp_affine(srcs, AFFINE[0], sizes, schema.INTER_LINEAR, dst=dst) is dst
        assert_each_equal(dst, singles)

    @pytest.mark.parametrize("call", ["resize", "warp_affine"])
    def test_tensors_come_back_as_tensors(self, call):
        srcs = [torch.from_numpy(RNG.random((10 + 3 * i, 20 - i, 3), np.float32)) for i in range(3)]
        if cp.zeros(0).__dlpack_device__()[0] == 2:
            if not torch.cuda.is_available():
                pytest.skip("PyTorch sees no CUDA device")
            srcs = [s.cuda() for s in srcs]
        f = (lambda x: resize(x, (8, 9))) if call == "resize" else (lambda x: warp.warp_affine(x, AFFINE[0], (8, 9)))
        results = f(srcs)
        assert all(isinstance(r, torch.Tensor) for r in results)
        assert_each_equal([r.cpu().numpy() for r in results], [f(s).cpu().numpy() for s in srcs])


@pytest.mark.host_only
def test_sixty_four_sizes_take_one_launch_per_pass(monkeypatch):
    """Two passes of one launch each (images along x first beside images along y first), and the
    weight tables that are not kept (128 here, past the 64 kept) in one more."""

    monkeypatch.setattr(planning, "_tables", {})  # the same store as an empty one, whatever ran before
    srcs = images(64, low=8, high=120)
    dsize = [(int(RNG.integers(4, 90)), int(RNG.integers(4, 90))) for _ in srcs]
    for _ in range(2):
        cp._hostdevice.clear()
        resize(srcs, dsize, schema.INTER_LANCZOS3)
        names = [launch.name for launch in cp._hostdevice.launches]
        assert len([n for n in names if "resize_pass_list" in n]) == 2
        assert len([n for n in names if "resize_weights_list" in n]) <= 1 and len(names) <= 3


@pytest.mark.parametrize(
    "call, message",
    [(lambda: resize([], (4, 4)), "resize: image is an empty list"),
     (lambda: resize(images(1, channels=3) + images(1, channels=4), (4, 4)), r"image\[1\] holds 4 channels"),
     (lambda: resize(images(1) + images(1, np.uint8), (4, 4)), r"image\[1\] holds 3 channels of uint8"),
     (lambda: resize(images(2), [(4, 4)]), "dsize holds 1 sizes for 2 images"),
     (lambda: warp.warp_affine(images(3), AFFINE[:2], (4, 4)), "M holds 2 matrices for a list of 3 images"),
     (lambda: warp.warp_affine(images(1) + [torch.zeros(4, 4, 3)], AFFINE[0], (4, 4)), "mixes"),
     (lambda: warp.warp_affine(images(2), AFFINE[0], (4, 4), border_mode=5), "BORDER_TRANSPARENT .* pass dst"),
     (lambda: warp.warp_affine(images(2), AFFINE[0], (4, 4), dst=[None]), "dst must be a list of 2 arrays"),
     (lambda: warp.warp_affine(SHARED[:2], AFFINE[0], (4, 4), dst=[SHARED[1][:4, :4], cp.zeros((4, 4, 3), cp.float32)]),
      r"(src\[1\]|dst\[0\]) overlaps (src\[1\]|dst\[0\])")],
)  # fmt: skip
def test_refusals_launch_nothing(call, message):
    with pytest.raises((TypeError, ValueError), match=message):
        _, count = launches(call)
    log = getattr(cp, "_hostdevice", None)
    assert not log or not [launch for launch in log.launches if "batch" in launch.name]


def test_every_list_specialisation_compiles():
    from zemvara.transform.resampling import _sources

    for source in {s for s, _ in _lists.list_expressions()}:
        expressions = tuple(e for s, e in _lists.list_expressions() if s is source)
        cp.RawModule(code=source.code, options=_sources.OPTIONS, name_expressions=expressions).compile()
