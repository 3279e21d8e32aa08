"""Host NumPy arrays from device arrays and tensors: `to_numpy`.

`to_numpy(array)` takes a CuPy array or a PyTorch tensor on any device and
returns a NumPy array in host memory with the same shape, element type and
values. It copies only what must cross from a device:

- a PyTorch tensor in host memory is shared, not copied: the result is a view
  of the tensor's own storage (`Tensor.numpy()`), after dropping the autograd
  record, so writes to either show in both;
- a PyTorch tensor on another device (CUDA and the like) takes one
  device-to-host copy (`Tensor.cpu()`), whose host tensor is then shared;
- a CuPy array takes one device-to-host copy (`cupy.asnumpy`), after the work
  queued on the current stream;
- a NumPy array is returned as it is; any other object goes through
  `cupy.asnumpy` as well (objects with `__cuda_array_interface__` are copied
  from the device, host sequences converted).

PyTorch is not imported here: a tensor can only exist once the caller has
imported it, so the test for one looks in `sys.modules`.
"""

import sys

import cupy as cp
import numpy as np


def _tensor_to_numpy(tensor):
    tensor = tensor.detach()
    if tensor.device.type != "cpu":
        tensor = tensor.cpu()
    # Lazily conjugated or negated views carry a flag instead of their values;
    # materialise them (a no-op returning the tensor itself for every other one).
    return tensor.resolve_conj().resolve_neg().numpy()


def to_numpy(array):
    """Return a CuPy array or a PyTorch tensor (on any device) as a host NumPy array with the same shape, element type and values."""
    if isinstance(array, np.ndarray):
        return array
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(array, torch.Tensor):
        return _tensor_to_numpy(array)
    return cp.asnumpy(array)
