"""Tensors and other libraries' arrays through the warps and resize: no copy in, the caller's kind out, the caller's stream."""

import cupy as cp
import numpy as np
import pytest
import torch

from zemvara.transform import _handoff, warp
from zemvara.transform.resampling import planning
from zemvara.transform.resize import resize

SHIFT = np.array([[1.0, 0.2, 2.0], [0.1, 1.0, 1.0]])
TILT = np.array([[1.0, 0.1, 1.0], [0.0, 1.1, 0.0], [0.001, 0.0, 1.0]])
CALLS = {
    "warp_affine": lambda x, **kw: warp.warp_affine(x, SHIFT, (25, 18), **kw),
    "warp_perspective": lambda x, **kw: warp.warp_perspective(x, TILT, (25, 18), **kw),
    "resize": lambda x: resize(x, (25, 18)),
}
pytestmark = pytest.mark.skipif(
    cp.zeros(0).__dlpack_device__()[0] != torch.zeros(0).__dlpack_device__()[0] and not torch.cuda.is_available(),
    reason="PyTorch sees no CUDA device",
)


def tensor(shape, dtype=torch.float32):
    t = torch.from_numpy((np.arange(np.prod(shape)) * 7 % 251).reshape(shape).astype(np.float32)).to(dtype)
    return t.cuda() if cp.zeros(0).__dlpack_device__()[0] == 2 and torch.cuda.is_available() else t


def as_cupy(t):
    return cp.asarray(t.cpu().numpy())


class Producer:
    """Another library's array: DLPack only, or the CUDA array interface only."""

    def __init__(self, arr, protocol):
        self._arr = arr
        if protocol == "dlpack":
            self.__dlpack__, self.__dlpack_device__ = arr.__dlpack__, arr.__dlpack_device__
        else:
            self.__cuda_array_interface__ = arr.__cuda_array_interface__


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("shape", [(20, 30, 3), (3, 20, 30, 4), (20, 30)])
@pytest.mark.parametrize("dtype", [torch.uint8, torch.float32])
def test_tensors_in_tensors_out_as_the_cupy_call(name, shape, dtype):
    if name == "resize" and len(shape) == 4:
        expected = cp.stack([CALLS[name](image) for image in as_cupy(tensor(shape, dtype))])
    else:
        expected = CALLS[name](as_cupy(tensor(shape, dtype)))
    got = CALLS[name](tensor(shape, dtype))
    assert isinstance(got, torch.Tensor) and got.dtype == dtype
    np.testing.assert_array_equal(got.cpu().numpy(), expected.get())


@pytest.mark.parametrize("protocol", ["dlpack", "cuda_array_interface"])
def test_other_producers_are_read_in_place(protocol):
    src = cp.asarray(np.random.default_rng(1).random((20, 30, 3), np.float32))
    hand = _handoff.handoff("warp_affine", Producer(src, protocol))
    assert hand.src.data.ptr == src.data.ptr and hand.src.strides == src.strides
    got = warp.warp_affine(Producer(src, protocol), SHIFT, (25, 18))
    assert isinstance(got, cp.ndarray)
    np.testing.assert_array_equal(got.get(), warp.warp_affine(src, SHIFT, (25, 18)).get())


def test_a_tensor_is_read_and_written_in_place():
    src, dst = tensor((20, 30, 3)), tensor((18, 25, 3)) * 0
    assert _handoff.handoff("warp_affine", src).src.data.ptr == src.data_ptr()
    assert warp.warp_affine(src, SHIFT, (25, 18), dst=dst) is dst
    np.testing.assert_array_equal(dst.cpu().numpy(), warp.warp_affine(as_cupy(src), SHIFT, (25, 18)).get())


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize(
    "src, message",
    [(tensor((3, 20, 30)), r"channel-first \(C, H, W\).*permute\(1, 2, 0\)"),
     (tensor((2, 4, 20, 30)), r"channel-first \(N, C, H, W\).*permute\(0, 2, 3, 1\)"),
     (tensor((20, 30, 3)).requires_grad_(), r"requires grad, and \w+ has no backward; pass \w+\.detach\(\)")],
)  # fmt: skip
def test_refusals(name, src, message):
    with pytest.raises(ValueError, match=f"^{name}: .*" + message):
        CALLS[name](src)
    assert cp.cuda.get_current_stream() == cp.cuda.Stream.null


@pytest.mark.host_only
def test_two_streams_each_run_their_own_work_in_order(monkeypatch):
    """CuPy's current stream for CuPy arrays, PyTorch's for tensors; nothing synchronises the host once
    resize's weight tables are kept."""
    from cupy import _hostdevice

    monkeypatch.setattr(planning, "_tables", {})  # room to keep them, whatever ran before
    images = [cp.asarray(np.random.default_rng(i).random((40, 30, 3), np.float32)) for i in range(2)]
    a, b = cp.cuda.Stream(), cp.cuda.Stream()
    for first in (True, False):
        _hostdevice.clear()
        with a:
            small = resize(images[0], (12, 15))
            with b:
                turned = warp.warp_affine(images[1], SHIFT, (25, 18))
            again = resize(small, (30, 40))
        syncs = {e[1:3] for e in _hostdevice.events if e[0] == "synchronize"}
        # A weight table's first fill waits for its own stream only; a kept one for nothing.
        assert syncs <= {("stream", a.ptr)} if first else not syncs
    streams = [launch.stream for launch in _hostdevice.launches]
    assert streams == [a.ptr] * 2 + [b.ptr] + [a.ptr] * 2
    np.testing.assert_array_equal(turned.get(), warp.warp_affine(images[1], SHIFT, (25, 18)).get())
    np.testing.assert_array_equal(again.get(), resize(resize(images[0], (12, 15)), (30, 40)).get())


@pytest.mark.host_only
def test_tensors_run_on_pytorchs_current_stream(monkeypatch):
    torch_stream = cp.cuda.Stream()  # stands for the handle torch.cuda.current_stream() gives
    monkeypatch.setattr(_handoff, "_torch_stream", lambda t: torch_stream.ptr)
    monkeypatch.setattr(planning, "_tables", {})  # room to keep them, whatever ran before
    from cupy import _hostdevice

    resize(as_cupy(tensor((20, 30, 3))), (12, 15))  # the weight tables kept
    _hostdevice.clear()
    warp.warp_affine(tensor((20, 30, 3)), SHIFT, (25, 18))
    resize(tensor((20, 30, 3)), (12, 15))
    assert {launch.stream for launch in _hostdevice.launches} == {torch_stream.ptr}
    assert not [e for e in _hostdevice.events if e[0] == "synchronize"]
    assert cp.cuda.get_current_stream() == cp.cuda.Stream.null
