"""Hostile arguments through every form of the warps and of resize: one image, an (N, H, W, C) batch, a
list, a host-side image in tiles. Each refusal must be the same exception with the same message in every
form that takes the argument (an image of a list is named src[0] where the others say src)."""

import re

import cupy as cp
import numpy as np
import pytest
import torch

from zemvara.transform import tiled, warp
from zemvara.transform.resize import resize
from zemvara.transform.resampling import arguments, planning

SRC = np.random.default_rng(5).random((9, 11, 3), np.float32)
AFFINE = np.array([[1.1, 0.2, 0.5], [-0.1, 0.9, 1.0]])
PERSPECTIVE = np.array([[1.0, 0.1, 0.0], [0.0, 1.1, 0.5], [1e-3, 2e-3, 1.0]])


def _forms(f, t):
    """The four forms of a call: each takes the host image and the other arguments."""
    return {
        "single": lambda src, **kw: f(cp.asarray(src), **kw),
        "batch": lambda src, **kw: f(cp.asarray(src)[None], **kw),
        "list": lambda src, **kw: f([cp.asarray(src)], **kw),
        "tiled": lambda src, **kw: t(src, **kw),
    }


def _refusal(call, **kw):
    with pytest.raises((TypeError, ValueError)) as info:
        call(SRC, **kw)
    return type(info.value), re.sub(r"(src|dst|image)\[0\]", r"\1", str(info.value))


WARP_TABLE = [
    dict(flags=True), dict(flags=99), dict(flags=np.int64(-1)), dict(flags=1.0),
    dict(border_mode=True), dict(border_mode=9), dict(border_mode="0"),
    dict(dsize=(True, 4)), dict(dsize=(3,)), dict(dsize=(0, 4)), dict(dsize=(4, 2**24)), dict(dsize="ab"),
    dict(border_value=None), dict(border_value="0"), dict(border_value=(1, 2)), dict(border_value=np.array("0")),
    dict(border_value=(1, "2", 3)),
    dict(M=np.eye(4)), dict(M=[[1, 0, np.nan], [0, 1, 0], [0, 0, 1]]), dict(M=[["1", 0, 0], [0, 1, 0], [0, 0, 1]]),
    dict(M=np.zeros((3, 3))),
]  # fmt: skip
# Not in the table: dst and BORDER_TRANSPARENT without it (the tiled functions write into `out`, a host
# array or a path, whose rules are their own, and a batch's dst is (N, H, W, C)); stacks of M (their
# count is the batch's or the list's).


@pytest.mark.parametrize("perspective", [False, True], ids=["affine", "perspective"])
@pytest.mark.parametrize("change", WARP_TABLE, ids=lambda c: ",".join(f"{k}={v!r}"[:24] for k, v in c.items()))
def test_a_warp_argument_is_refused_alike_in_every_form(perspective, change):
    f, t, m = (warp.warp_perspective, tiled.warp_perspective, PERSPECTIVE) if perspective else \
        (warp.warp_affine, tiled.warp_affine, AFFINE)  # fmt: skip
    args = dict(M=m, dsize=(7, 6))
    args.update(change)
    if not perspective and np.shape(args["M"]) == (3, 3):
        args["M"] = np.asarray(args["M"])[:2]
    got = {name: _refusal(call, **args) for name, call in _forms(f, t).items()}
    assert len(set(got.values())) == 1, got


@pytest.mark.parametrize("perspective", [False, True], ids=["affine", "perspective"])
def test_arguments_the_whole_call_takes_every_form_takes(perspective):
    f, t, m = (warp.warp_perspective, tiled.warp_perspective, PERSPECTIVE) if perspective else \
        (warp.warp_affine, tiled.warp_affine, AFFINE)  # fmt: skip
    want = cp.asnumpy(f(cp.asarray(SRC), m, (7, 6), border_value=5.0))
    for name, call in _forms(f, t).items():
        for kw in (dict(border_value=np.array(5)), dict(M=m[None]), dict(flags=np.int32(warp.INTER_LINEAR))):
            args = dict(M=m, dsize=(7, 6), border_value=5.0)
            args.update(kw)
            got = call(SRC, **args)
            got = got[0] if name in ("batch", "list") else got
            np.testing.assert_array_equal(cp.asnumpy(got) if isinstance(got, cp.ndarray) else got, want, err_msg=name)


RESIZE_TABLE = [
    dict(dsize="ab"), dict(dsize=(1, 2, 3)), dict(dsize=(0, 4)), dict(dsize=(4.0, 4)), dict(dsize=(4, 2**24)),
    dict(interpolation=999), dict(interpolation=1.5), dict(interpolation=None),
]  # fmt: skip


def _resize_forms():
    forms = _forms(resize, tiled.resize)
    # CuPy takes no (N, H, W, C) resize: the batch form is a tensor's.
    forms["batch"] = lambda src, **kw: resize(torch.from_numpy(src[None].copy()), **kw)
    if cp.zeros(0).__dlpack_device__()[0] == 2:  # tensors in host memory are not on CuPy's device
        del forms["batch"]
    return forms


@pytest.mark.parametrize("change", RESIZE_TABLE, ids=lambda c: ",".join(f"{k}={v!r}" for k, v in c.items()))
def test_a_resize_argument_is_refused_alike_in_every_form(change):
    args = dict(dsize=(5, 4), interpolation=warp.INTER_LINEAR)
    args.update(change)
    got = {name: _refusal(call, **args) for name, call in _resize_forms().items()}
    assert len(set(got.values())) == 1, got


def test_inter_auto_has_one_rule():
    from zemvara.transform import schema

    assert [arguments.auto_interpolation(e) for e in (False, True)] == [schema.INTER_AREA, schema.INTER_MITCHELL]
    assert arguments.resize_filter(schema.INTER_AUTO, True).inter == schema.INTER_MITCHELL


def test_the_channel_first_rule_is_axisforms():
    from zemvara.utils.axisform import guess_image_layout

    for shape in np.ndindex(7, 7, 7):
        image = np.empty(shape, np.uint8)
        assert planning.is_channel_first(shape) == (guess_image_layout(image) == "CHW"), shape


class _Longer(list):
    """A list whose len() claims more images than it holds."""

    def __len__(self):
        return super().__len__() + 2


def _tensor(array):
    if cp.zeros(0).__dlpack_device__()[0] == 2:
        pytest.skip("tensors in host memory are not on CuPy's device")
    return torch.from_numpy(array)


class TestListFaults:
    @pytest.mark.parametrize("call", ["resize", "warp_affine", "warp_perspective"])
    def test_a_list_is_what_it_iterates(self, call):
        srcs = _Longer([cp.asarray(SRC), cp.asarray(SRC[:6])])
        f = {"resize": lambda s: resize(s, (5, 4)), "warp_affine": lambda s: warp.warp_affine(s, AFFINE, (5, 4)),
             "warp_perspective": lambda s: warp.warp_perspective(s, PERSPECTIVE, (5, 4))}[call]  # fmt: skip
        got = f(srcs)
        assert len(got) == 2
        for g, s in zip(got, list.__iter__(srcs)):
            cp.testing.assert_array_equal(g, f(s))

    def test_an_empty_batch_gives_an_empty_batch_everywhere(self):
        empty = _tensor(np.zeros((0, 9, 11, 3), np.float32))
        assert tuple(resize(empty, (5, 4)).shape) == (0, 4, 5, 3)
        assert tuple(warp.warp_affine(empty, AFFINE, (5, 4)).shape) == (0, 4, 5, 3)
        assert warp.warp_affine(cp.zeros((0, 9, 11, 3), cp.float32), AFFINE, (5, 4)).shape == (0, 4, 5, 3)

    @pytest.mark.parametrize(
        "dst, words",
        [(cp.ndarray((4, 5, 3), cp.float32, memptr=cp.zeros(15, cp.float32).data, strides=(0, 12, 4)),
          r"warp_affine: dst overlaps itself \(shape \(4, 5, 3\), strides \(0, 12, 4\)\)"),
         (None, "warp_affine: dst overlaps src")],
    )  # fmt: skip
    def test_dst_faults_name_the_call_and_the_callers_shape(self, dst, words):
        src = cp.asarray(SRC)
        with pytest.raises(ValueError, match=words) as info:
            warp.warp_affine(src, AFFINE, (5, 4) if dst is not None else (11, 9), dst=dst if dst is not None else src)
        assert "kernel" not in str(info.value) and "(1, " not in str(info.value)

    @pytest.mark.parametrize("call, name", [(lambda t: resize(t, (5, 4)), "resize: image"),
                                            (lambda t: warp.warp_affine(t, AFFINE, (5, 4)), "warp_affine: src")])
    def test_a_bfloat16_tensor_is_refused_by_name(self, call, name):
        tensor = _tensor(SRC).to(torch.bfloat16)
        with pytest.raises(TypeError, match=f"{name} has element type torch.bfloat16; accepted"):
            call(tensor)


class TestSameBits:
    """The same positions give the same bits whatever form the map or the source takes."""

    @pytest.mark.parametrize("inter", [warp.INTER_AREA, warp.INTER_LANCZOS3, warp.INTER_CUBIC, warp.INTER_LINEAR])
    def test_an_affine_3x3_in_perspective_is_the_affine_warp(self, inter):
        src = cp.asarray(SRC)
        for m in (np.array([[1.7, 0.3, -2.0], [-0.2, 1.3, 1.5], [0, 0, 1]]), np.vstack([AFFINE, [0, 0, 1]])):
            for row in warp.WARP_BORDERS:
                if not row.needs_dst:
                    cp.testing.assert_array_equal(warp.warp_perspective(src, m, (7, 6), inter, row.value, 0.5),
                                                  warp.warp_affine(src, m[:2], (7, 6), inter, row.value, 0.5))

    @pytest.mark.parametrize("inter", [warp.INTER_LANCZOS3, warp.INTER_LANCZOS4, warp.INTER_AREA])
    def test_a_strided_view_is_its_contiguous_copy(self, inter):
        wide = cp.asarray(np.random.default_rng(7).random((60, 80, 6), np.float32))
        for view in (wide[:, ::2, :3], wide[::-2, :, 1:4], wide[:, :, ::2]):
            copy = cp.ascontiguousarray(view)
            for f in (lambda s: resize(s, (23, 17), inter), lambda s: resize(s, (90, 70), inter),
                      lambda s: warp.warp_affine(s, AFFINE * 2.5, (23, 17), inter, warp.BORDER_REFLECT)):
                cp.testing.assert_array_equal(f(view), f(copy))


# linear and alpha: every form but the tiled ones, which take neither.
LIGHT_TABLE = [dict(linear=1), dict(linear="yes"), dict(linear=None), dict(alpha="straight"), dict(alpha=True),
               dict(alpha="premultiplied")]  # SRC has three channels  # fmt: skip


@pytest.mark.parametrize("call", ["resize", "warp_affine", "warp_perspective"])
@pytest.mark.parametrize("change", LIGHT_TABLE, ids=lambda c: ",".join(f"{k}={v!r}" for k, v in c.items()))
def test_light_and_alpha_are_refused_alike_in_every_form(call, change):
    if call == "resize":
        forms, args = _resize_forms(), dict(dsize=(5, 4))
    else:
        f = warp.warp_affine if call == "warp_affine" else warp.warp_perspective
        forms, args = _forms(f, None), dict(M=AFFINE if call == "warp_affine" else PERSPECTIVE, dsize=(7, 6))
    forms.pop("tiled")
    args.update(change)
    got = {name: _refusal(form, **args) for name, form in forms.items()}
    assert len(set(got.values())) == 1, got
