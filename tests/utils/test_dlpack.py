"""`to_numpy`: device arrays and tensors to host NumPy arrays, copying only what crosses from a device."""

import cupy as cp
import numpy as np
import pytest
import torch

from zemvara.utils.dlpack import to_numpy

TYPES = [np.uint8, np.uint16, np.float16, np.float32, np.float64, np.bool_, np.int32]


def sample(dtype, shape=(5, 7, 3)):
    values = np.random.default_rng(3).uniform(-2, 300, shape)
    return values.astype(dtype)


def same(result, expected):
    assert type(result) is np.ndarray
    assert result.shape == expected.shape and result.dtype == expected.dtype
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("dtype", TYPES)
def test_cupy_arrays_come_back_with_their_values(dtype):
    host = sample(dtype)
    same(to_numpy(cp.asarray(host)), host)
    same(to_numpy(cp.asarray(host)[1:, ::-2, :2]), host[1:, ::-2, :2])  # a strided view


@pytest.mark.parametrize("dtype", TYPES)
def test_cpu_tensors_are_shared_not_copied(dtype):
    tensor = torch.from_numpy(sample(dtype))
    result = to_numpy(tensor)
    same(result, sample(dtype))
    assert np.shares_memory(result, tensor.numpy())
    view = tensor.permute(2, 0, 1)[:, ::2]
    assert np.shares_memory(to_numpy(view), result)
    same(to_numpy(view), sample(dtype).transpose(2, 0, 1)[:, ::2])


def test_tensors_with_autograd_or_lazy_flags():
    base = torch.linspace(0, 1, 12).reshape(3, 4).requires_grad_()
    same(to_numpy(base), base.detach().numpy())
    same(to_numpy(base * 2), base.detach().numpy() * 2)
    values = torch.tensor([1 + 2j, 3 - 1j])
    same(to_numpy(values.conj()), np.array([1 - 2j, 3 + 1j], np.complex64))  # conjugate bit
    same(to_numpy(values.conj().imag), np.array([-2, 1], np.float32))  # negative bit


def test_numpy_arrays_pass_as_they_are():
    host = sample(np.float32)[:, ::2]
    assert to_numpy(host) is host


@pytest.mark.gpu_only
@pytest.mark.skipif(not torch.cuda.is_available(), reason="PyTorch sees no CUDA device")
def test_gpu_tensors_take_one_copy():
    host = sample(np.float16)
    same(to_numpy(torch.from_numpy(host).cuda()), host)
    same(to_numpy(torch.from_numpy(host).cuda().permute(1, 0, 2)), host.transpose(1, 0, 2))
