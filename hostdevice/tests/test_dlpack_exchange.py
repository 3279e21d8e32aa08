"""DLPack both ways, as CuPy does it on a GPU.

The one necessary difference: the host device's memory is the CPU's, so an
array's DLPack device is (kDLCPU, id) where CuPy's is (kDLCUDA, id), and the
capsules are CPU ones that NumPy and PyTorch on the CPU read. Everything else
matches CuPy: memory is shared in both directions (never copied unless
copy=True), a capsule keeps its producer alive, the consumer's stream waits
for the current stream through an event (no host synchronisation), a capsule
is taken as it is, and a tensor on another device is refused.
"""

import gc

import numpy as np
import pytest
import torch

import cupy as cp
from cupy import _hostdevice

KDL_CPU, KDL_CUDA = 1, 2
DTYPES = [np.uint8, np.uint16, np.float16, np.float32, np.float64, np.int32, np.int64, np.bool_]


def values(dtype, shape=(4, 6, 3)):
    return (np.arange(np.prod(shape)) % 7).reshape(shape).astype(dtype)


def test_the_device_is_the_cpu_where_cupy_says_cuda():
    assert cp.zeros(2).__dlpack_device__() == (KDL_CPU, 0)


@pytest.mark.parametrize("dtype", DTYPES)
def test_memory_is_shared_both_ways(dtype):
    arr = cp.asarray(values(dtype))[:, ::2]  # a strided view keeps its strides
    tensor = torch.from_dlpack(arr)
    assert tensor.data_ptr() == arr.data.ptr
    assert tensor.stride() == tuple(s // arr.itemsize for s in arr.strides)
    back = cp.from_dlpack(tensor)
    assert (back.data.ptr, back.strides, back.dtype) == (arr.data.ptr, arr.strides, arr.dtype)

    own = torch.from_numpy(values(dtype))
    shared = cp.from_dlpack(own)
    assert shared.data.ptr == own.data_ptr() and shared.shape == tuple(own.shape)
    shared[0, 0, 0] = 1 if dtype is not np.bool_ else False
    assert own[0, 0, 0].item() == shared[0, 0, 0].item()
    np.testing.assert_array_equal((shared * 1).get(), own.numpy())  # kernels read it like device memory
    assert cp.from_dlpack(shared.__dlpack__()).data.ptr == own.data_ptr()  # a bare capsule


def test_capsules_keep_their_producers_alive():
    tensor = torch.from_dlpack(cp.arange(6, dtype=cp.float32))
    lent = cp.from_dlpack(torch.arange(6, dtype=torch.float32))
    gc.collect()
    assert tensor.tolist() == lent.get().tolist() == list(range(6))
    # Lent memory is device memory while it lives: the CUDA array interface finds it.
    view = cp.asarray(type("Foreign", (), {"__cuda_array_interface__": lent[2:].__cuda_array_interface__})())
    assert view.get().tolist() == [2, 3, 4, 5]


def test_copy_true_copies():
    arr = cp.zeros(3, cp.float32)
    assert torch.from_dlpack(type("P", (), {
        "__dlpack__": lambda self, **kw: arr.__dlpack__(copy=True, **kw),
        "__dlpack_device__": lambda self: arr.__dlpack_device__()})()).data_ptr() != arr.data.ptr
    tensor = torch.zeros(3)
    assert cp.from_dlpack(tensor, copy=True).data.ptr != tensor.data_ptr()


@pytest.mark.parametrize("consumer", [None, 1, "other", "current", -1])
def test_the_consumer_stream_waits_for_the_current_one_through_an_event(consumer):
    other, current = cp.cuda.Stream(), cp.cuda.Stream()
    stream = {"other": other.ptr, "current": current.ptr}.get(consumer, consumer)
    arr = cp.zeros(2)
    with current:
        _hostdevice.clear()
        arr.__dlpack__(stream=stream)
    log = list(_hostdevice.events)
    if consumer in ("current", -1):
        assert log == []
    else:
        waiting = other.ptr if consumer == "other" else 0  # None and 1: the legacy default stream
        (_, event, on, _), wait = log
        assert on == current.ptr and wait == ("wait", waiting, event, 0)


def test_refusals():
    arr = cp.zeros(2)
    with pytest.raises(BufferError):
        arr.__dlpack__(dl_device=(KDL_CUDA, 0))
    gpu = type("OnGPU", (), {"__dlpack__": lambda self, **kw: None,
                             "__dlpack_device__": lambda self: (KDL_CUDA, 0)})()
    with pytest.raises(BufferError, match="device"):
        cp.from_dlpack(gpu)
    with pytest.raises(TypeError):
        arr.__dlpack__(stream="1")
