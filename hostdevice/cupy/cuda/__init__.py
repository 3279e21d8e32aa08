"""Devices, streams and events of the host device."""

import time

from .. import _hostdevice
from . import compiler, driver, memory, memory_hook, pinned_memory, runtime  # NOQA
from .memory import Memory, MemoryPointer, UnownedMemory  # NOQA
from .memory_hook import MemoryHook  # NOQA
from .pinned_memory import PinnedMemoryPointer, alloc_pinned_memory  # NOQA


class Device:
    """A CUDA device; as a context manager it is current inside the block."""

    def __init__(self, device=None):
        if device is None:
            device = runtime.getDevice()
        self.id = int(device)
        self._previous = []

    def __enter__(self):
        previous = runtime.getDevice()
        self._previous.append(previous)
        if self.id != previous:
            runtime.setDevice(self.id)
        return self

    def __exit__(self, *exc):
        runtime.setDevice(self._previous.pop())

    def use(self):
        runtime.setDevice(self.id)

    def synchronize(self):
        runtime.deviceSynchronize()

    def __int__(self):
        return self.id

    def __index__(self):
        return self.id

    def __eq__(self, other):
        if not isinstance(other, Device):
            return NotImplemented
        return self.id == other.id

    def __hash__(self):
        return hash(self.id)

    def __repr__(self):
        return '<CUDA Device {}>'.format(self.id)


class Stream:
    """A blocking CUDA stream (work runs at once; only identity is kept)."""

    null = None

    def __init__(self, null=False, non_blocking=False, ptr=0, priority=0):
        self.ptr = 0 if null else _hostdevice.new_handle()
        self.device_id = runtime.getDevice() if not null else -1
        self.non_blocking = non_blocking
        self._previous = []

    def __enter__(self):
        self._previous.append(_hostdevice.current_stream())
        _hostdevice.set_current_stream(self)
        return self

    def __exit__(self, *exc):
        _hostdevice.set_current_stream(self._previous.pop())

    def use(self):
        _hostdevice.set_current_stream(self)
        return self

    def synchronize(self):
        _hostdevice.record_synchronize('stream', self.ptr)

    @property
    def done(self):
        return True

    def record(self, event=None):
        if event is None:
            event = Event()
        event.record(self)
        return event

    def wait_event(self, event):
        _hostdevice.events.append(
            ('wait', self.ptr, event.ptr, runtime.getDevice()))

    def __eq__(self, other):
        if not isinstance(other, Stream):
            return NotImplemented
        return self.ptr == other.ptr

    def __hash__(self):
        return hash(self.ptr)

    def __repr__(self):
        return '<Stream {} (device {})>'.format(self.ptr, self.device_id)


Stream.null = Stream(null=True)


class ExternalStream(Stream):
    """A stream made elsewhere, known by its raw handle (not owned here)."""

    def __init__(self, ptr, device_id=-1):
        self.ptr = int(ptr)
        self.device_id = runtime.getDevice() if device_id < 0 else device_id
        self.non_blocking = False
        self._previous = []


def get_current_stream(device_id=None):
    stream = _hostdevice.current_stream(device_id)
    return Stream.null if stream is None else stream


class Event:
    """A CUDA event; recording and waiting are logged."""

    def __init__(self, block=False, disable_timing=False, interprocess=False):
        self.ptr = _hostdevice.new_handle()
        self.device_id = runtime.getDevice()

    def record(self, stream=None):
        if stream is None:
            stream = get_current_stream()
        # CUDA records an event only on a stream of the event's own device
        # (the null stream stands for the current device's).
        device = runtime.getDevice() if stream.ptr == 0 else stream.device_id
        if device != self.device_id:
            raise runtime.CUDARuntimeError(400)
        self._time = time.perf_counter()
        _hostdevice.events.append(
            ('record', self.ptr, stream.ptr, runtime.getDevice()))

    def synchronize(self):
        _hostdevice.record_synchronize('event', self.ptr)

    @property
    def done(self):
        return True

    def __repr__(self):
        return '<Event {}>'.format(self.ptr)


def get_elapsed_time(start_event, end_event):
    """Milliseconds between two recorded events: host wall time here, since
    work finishes when it is issued (no GPU clock to read)."""
    for e in (start_event, end_event):
        if getattr(e, '_time', None) is None:
            raise runtime.CUDARuntimeError(400)
    return (end_event._time - start_event._time) * 1e3
