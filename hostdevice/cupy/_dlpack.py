"""DLPack both ways: arrays export capsules, `from_dlpack` takes them in.

The host device's memory is the CPU's, so an array's DLPack device is the
CPU (kDLCPU with the array's device id) where CuPy's is CUDA; everything else
follows CuPy. Memory is shared, never copied unless `copy=True` asks for it:
an exported capsule points into the array's memory and keeps the array alive
until the consumer lets it go, and an imported array points into the
producer's memory and keeps the producer's tensor alive.

Streams follow CuPy's rules for a consumer's `stream`: None or 1 is the legacy
default stream, 2 the per-thread default stream, -1 asks for no ordering, and
any other value is a stream handle. When the consumer's stream is not the
current one, an event recorded on the current stream is waited for on the
consumer's (both logged in `_hostdevice.events`); nothing synchronises the
host.
"""

import numpy

from . import _hostdevice, _memory

# DLPack device types.
CPU = 1
CUDA = 2


def device_of(arr):
    """`__dlpack_device__` of a host-device array: (kDLCPU, its device id)."""
    return CPU, arr.data.device_id


class _Keeper:
    """A NumPy view's owner: the array interface of a device array, and the array itself.

    A NumPy array made from this holds it as its base, so a capsule taken
    from that NumPy array keeps the device array (and so its memory) alive.
    """

    __slots__ = ('__array_interface__', '_owner')

    def __init__(self, arr):
        host = arr._a
        self.__array_interface__ = dict(host.__array_interface__)
        self._owner = arr


def _order_for_consumer(stream):
    """Make the consumer's stream wait for the work queued on the current stream."""
    if stream is not None and not isinstance(stream, int):
        raise TypeError('stream must be an int or None, got {}'.format(
            type(stream).__name__))
    if stream == -1:
        return
    if stream == 0:
        raise ValueError('stream 0 is ambiguous in DLPack; pass 1 for the '
                         'legacy default stream or 2 for the per-thread one')
    from . import cuda
    current = cuda.get_current_stream()
    # The legacy default stream is CuPy's null stream (handle 0).
    wanted = 0 if stream in (None, 1) else stream
    if wanted != current.ptr:
        event = current.record()
        cuda.ExternalStream(wanted).wait_event(event)


def export(arr, stream=None, max_version=None, dl_device=None, copy=None):
    """`ndarray.__dlpack__`: a capsule over the array's memory (over a copy with copy=True)."""
    if dl_device is not None and tuple(dl_device) != device_of(arr):
        raise BufferError('the array lives on device {}; it cannot be '
                          'exported to {}'.format(device_of(arr),
                                                  tuple(dl_device)))
    _order_for_consumer(stream)
    if copy:
        arr = arr.copy()
    host = numpy.asarray(_Keeper(arr))
    if max_version is None or max_version[0] < 1:
        return host.__dlpack__()
    return host.__dlpack__(max_version=(1, 0))


class _Capsule:
    """A bare capsule as a DLPack producer, for NumPy to consume."""

    __slots__ = ('capsule',)

    def __init__(self, capsule):
        self.capsule = capsule

    def __dlpack__(self, **kwargs):
        return self.capsule

    def __dlpack_device__(self):
        return CPU, 0


class ForeignMemory(_memory._Buffer):
    """Device memory that a DLPack producer lent: kept alive through `_owner`
    (the NumPy array that holds the consumed capsule) and findable by its
    pointer like any other device memory while it lives."""

    def __init__(self, ptr, size, owner, device_id):
        self.ptr = int(ptr)
        self.size = int(size)
        self._owner = owner
        self.device_id = device_id
        if self.size:
            _memory.register_foreign(self)


def _capsule_of(obj, stream):
    """The capsule a producer gives, and its DLPack device."""
    if not hasattr(obj, '__dlpack__'):
        # A bare capsule, as CuPy still takes for backward compatibility.
        return obj, (CPU, 0)
    device = tuple(obj.__dlpack_device__())
    if device[0] != CPU:
        raise BufferError(
            'the tensor lives on DLPack device {}; this device reads device '
            'type {} (kDLCPU)'.format(device, CPU))
    from ._core import ndarray
    if not isinstance(obj, ndarray):
        # Host-memory producers (NumPy, PyTorch on the CPU) refuse a stream.
        stream = None
    try:
        return obj.__dlpack__(stream=stream, max_version=(1, 0)), device
    except TypeError:
        return obj.__dlpack__(stream=stream), device


def from_dlpack(array, *, device=None, copy=None):
    """An array over the memory of a DLPack producer or capsule, shared (copied with copy=True)."""
    from . import cuda
    from ._core import ndarray
    if device is not None:
        raise NotImplementedError('from_dlpack: device= is not supported')
    current = cuda.get_current_stream()
    capsule, dev = _capsule_of(array, current.ptr or 1)
    try:
        host = numpy.from_dlpack(_Capsule(capsule))
    except (BufferError, TypeError, RuntimeError) as e:
        raise BufferError('from_dlpack: the capsule cannot be read: '
                          '{}'.format(e)) from None
    found = _memory.find(_data_ptr(host)) if host.size else None
    device_id = found[0].device_id if found else _hostdevice.current_device()
    with cuda.Device(device_id):
        if not host.size:
            return ndarray(host.shape, host.dtype)
        low = sum(min(0, (n - 1) * s) for n, s in zip(host.shape, host.strides))
        extent = sum(max(0, (n - 1) * s) for n, s in zip(host.shape, host.strides)) - low + host.itemsize
        start = _data_ptr(host) + low
        if found:
            mem = cuda.UnownedMemory(start, extent, host, device_id)
        else:
            mem = ForeignMemory(start, extent, host, device_id)
        out = ndarray(host.shape, host.dtype,
                      memptr=cuda.MemoryPointer(mem, -low),
                      strides=host.strides)
        return out.copy() if copy else out


def _data_ptr(host):
    return host.__array_interface__['data'][0]
