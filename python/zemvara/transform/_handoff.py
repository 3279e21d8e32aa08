"""Tensors and other libraries' device arrays through the warps and `resize`: taken without a copy, given back in kind.

`handoff(who, src, dst)` is None for a CuPy array (and for anything that is
no device array at all, which the caller then refuses with its own message);
the caller runs as it always has, on CuPy's current stream. For a PyTorch
tensor, or an object with `__dlpack__` on CuPy's device or with
`__cuda_array_interface__`, it returns a `Handoff`:

- `src` and `dst` are CuPy arrays over the same memory (DLPack or the CUDA
  array interface, never a copy), so the kernels read the tensor and write
  into a `dst` tensor in place;
- as a context manager it makes the tensor's stream current: PyTorch's
  current stream of the tensor's device for a tensor (through
  `cupy.cuda.ExternalStream`), CuPy's current stream otherwise. Nothing waits
  on the host, and no other stream is synchronised;
- `back(result)` gives the result as the caller's kind: a tensor for a
  tensor (sharing the result's memory), the producer's own `from_dlpack` for
  another DLPack producer that has one, else the CuPy array itself (which
  carries both `__dlpack__` and `__cuda_array_interface__`); the caller's own
  `dst` object when one was given.

Layouts stay (H, W), (H, W, C) and (N, H, W, C). A channel-first tensor
(C, H, W) or (N, C, H, W), by the shape rule `resize` applies to CuPy arrays,
is refused with the permutation that makes it channel-last; so is a tensor
that requires grad, since no function here has a backward.

PyTorch is not imported here: a tensor can only exist once the caller has
imported it, so the test for one looks in `sys.modules`.
"""

import sys

import cupy as cp
import numpy as np

from .resampling import planning
from .resampling._launch import ACCEPTED_DTYPES

# The DLPack device type of CuPy's arrays (CUDA on a GPU), read once.
_device_type = None


def _cupy_device_type():
    global _device_type
    if _device_type is None:
        _device_type = cp.empty(0, cp.uint8).__dlpack_device__()[0]
    return _device_type


def _torch_of(obj):
    """The torch module when obj is a tensor, else None."""
    torch = sys.modules.get("torch")
    return torch if torch is not None and isinstance(obj, torch.Tensor) else None


def is_foreign(obj):
    """Whether obj is another library's array on CuPy's device (a tensor, a DLPack producer, a CUDA array interface)."""
    if isinstance(obj, (cp.ndarray, np.ndarray, np.generic)):
        return False
    if _torch_of(obj) is not None or hasattr(obj, "__cuda_array_interface__"):
        return True
    if not hasattr(obj, "__dlpack__"):
        return False
    try:
        return obj.__dlpack_device__()[0] == _cupy_device_type()
    except (AttributeError, TypeError, ValueError, IndexError):
        return False


def _channel_first(shape):
    """Whether (A, B, C) reads as (C, H, W): the layout rule `resize` applies to CuPy arrays."""
    return planning.is_channel_first(shape)


def _check_tensor(who, name, tensor):
    if tensor.requires_grad:
        raise ValueError(
            f"{who}: {name} requires grad, and {who} has no backward; pass {name}.detach() to use its values"
        )
    device_type = tensor.__dlpack_device__()[0]
    if device_type != _cupy_device_type():
        raise ValueError(f"{who}: {name} is a tensor on {tensor.device}, not on the GPU that CuPy uses; move it there first")
    shape = tuple(tensor.shape)
    if len(shape) == 3 and _channel_first(shape):
        raise ValueError(
            f"{who}: {name} has shape {shape}, channel-first (C, H, W); tensors are taken as (H, W, C): "
            f"pass {name}.permute(1, 2, 0)"
        )
    if len(shape) == 4 and _channel_first(shape[1:]):
        raise ValueError(
            f"{who}: {name} has shape {shape}, channel-first (N, C, H, W); tensors are taken as (N, H, W, C): "
            f"pass {name}.permute(0, 2, 3, 1)"
        )


def _torch_stream(tensor):
    """PyTorch's current stream handle for a CUDA tensor's device, or None (a tensor in host memory has none)."""
    torch = sys.modules["torch"]
    if tensor.device.type != "cuda":
        return None
    return torch.cuda.current_stream(tensor.device).cuda_stream


def _as_cupy(obj, who, name):
    """A CuPy array over obj's memory (no copy); TypeError naming the call for an element type that
    CuPy cannot take over (bfloat16, complex halves)."""
    try:
        if hasattr(obj, "__dlpack__"):
            return cp.from_dlpack(obj)
        return cp.asarray(obj)
    except BufferError:
        raise TypeError(f"{who}: {name} has element type {getattr(obj, 'dtype', '?')}; accepted: {ACCEPTED_DTYPES}") from None


class Handoff:
    """The CuPy views of a foreign src (and dst), the stream to run on, and the way back; see the module.

    src (and dst) may also be lists of one kind of array, for the list calls: the views are then lists.
    """

    def __init__(self, who, src, dst, name="src"):
        self._src, self._dst = src, dst
        first = src[0] if isinstance(src, list) else src
        self._kind = first
        for label, obj in _labelled(name, src) + _labelled("dst", dst):
            if _torch_of(obj) is not None:
                _check_tensor(who, label, obj)
        handle = _torch_stream(first) if _torch_of(first) is not None else None
        index = first.device.index if handle is not None else None
        self._stream = None if handle is None else cp.cuda.ExternalStream(handle, -1 if index is None else index)
        with self:  # the views are taken on the stream that will use them
            self.src = _view_of(src, who, name)
            self.dst = _view_of(dst, who, "dst")

    def __enter__(self):
        if self._stream is not None:
            self._stream.__enter__()
        return self

    def __exit__(self, *exc):
        if self._stream is not None:
            self._stream.__exit__(*exc)
        return False

    def back(self, result):
        """The result as the caller's kind (see the module); called inside the `with` block."""
        if self._dst is not None:
            return self._dst
        return self._out(result)

    def back_list(self, results):
        """Each result of a list call as the caller's kind."""
        return [self._out(r) for r in results]

    def _out(self, result):
        torch = _torch_of(self._kind)
        if torch is not None:
            return torch.from_dlpack(result)
        if hasattr(self._kind, "__dlpack__"):
            producer = sys.modules.get(type(self._kind).__module__.split(".")[0])
            from_dlpack = getattr(producer, "from_dlpack", None)
            if callable(from_dlpack) and producer is not cp:
                return from_dlpack(result)
        return result

    def run(self, function):
        """function(src as CuPy) on the stream, the result given back; an (N, H, W, C) src goes as a list
        of its images (one call for all), the results stacked."""
        with self:
            src = self.src
            if src.ndim == 4 and len(src) == 0:  # an empty batch: one image's checks, an empty result
                one = function(cp.zeros(src.shape[1:], src.dtype))
                result = cp.empty((0, *one.shape), one.dtype)
            elif src.ndim == 4:
                result = cp.stack(function(list(src)))
            else:
                result = function(src)
            return self.back(result)


def _labelled(name, obj):
    if obj is None:
        return []
    if isinstance(obj, list):
        return [(f"{name}[{i}]", item) for i, item in enumerate(obj)]
    return [(name, obj)]


def _view_of(obj, who, name):
    if obj is None or isinstance(obj, cp.ndarray):
        return obj
    if isinstance(obj, list):
        return [_view_of(item, who, f"{name}[{i}]") for i, item in enumerate(obj)]
    return _as_cupy(obj, who, name)


def handoff(who, src, dst=None, name="src"):
    """A Handoff when src is a foreign device array, else None (see the module); `name` is src's in messages."""
    if not is_foreign(src):
        return None
    return Handoff(who, src, dst, name)


def handoff_list(who, images, dst=None, name="src"):
    """A Handoff over a list of foreign device arrays of one type; None when none is foreign, TypeError when mixed."""
    foreign = [is_foreign(image) for image in images]
    if not any(foreign):
        return None
    if not all(foreign) or len({type(image) for image in images}) > 1:
        kinds = sorted({type(image).__name__ for image in images})
        raise TypeError(f"{who}: {name} mixes {', '.join(kinds)}; a list holds CuPy arrays or tensors, not both")
    return Handoff(who, images, dst, name)
