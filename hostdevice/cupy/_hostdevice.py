"""State of the host device that tests may inspect: devices, streams, launches.

Everything runs synchronously, but the current device and stream are tracked
per thread as CUDA does, and every kernel launch and event operation is
recorded here.
"""

import collections
import itertools
import os
import threading

# The most recent kernel launches, newest last (Launch records).  Bounded, so
# that long runs do not grow: compare launch_count() values to tell whether
# something launched, since the length stops growing once the log is full.
LOG_LENGTH = 1000
launches = collections.deque(maxlen=LOG_LENGTH)
# Event records, stream waits and host synchronisations, newest last:
# ('record', event_ptr, stream_ptr, device), ('wait', stream_ptr, event_ptr,
# device), ('synchronize', 'stream' | 'event' | 'device', handle, device)
# (handle None for the whole device).
events = collections.deque(maxlen=LOG_LENGTH)
_launched = 0

Launch = collections.namedtuple(
    'Launch', 'name device stream grid block shared_mem arg_devices')

_local = threading.local()
_handles = itertools.count(0x7e5700)


def device_count():
    """Number of simulated devices: HOSTDEVICE_DEVICES, default 1."""
    return int(os.environ.get('HOSTDEVICE_DEVICES', '1'))


def current_device():
    return getattr(_local, 'device', 0)


def set_current_device(device_id):
    _local.device = device_id


def current_stream(device_id=None):
    """The current stream of a device in this thread (None: the null one)."""
    streams = getattr(_local, 'streams', None)
    if streams is None:
        return None
    return streams.get(current_device() if device_id is None else device_id)


def set_current_stream(stream, device_id=None):
    streams = getattr(_local, 'streams', None)
    if streams is None:
        streams = _local.streams = {}
    streams[current_device() if device_id is None else device_id] = stream


def new_handle():
    """A unique fake handle for a stream or an event."""
    return next(_handles) << 4


def record_launch(launch):
    global _launched
    launches.append(launch)
    _launched += 1


def launch_count():
    """Launches since the process started (not reset by clear())."""
    return _launched


def record_synchronize(what, handle):
    """Log a host synchronisation: nothing waits here, but a test can tell
    whether the host would have waited for a stream, an event or the whole
    device."""
    events.append(('synchronize', what, handle, current_device()))


def last_launch():
    return launches[-1] if launches else None


def clear():
    launches.clear()
    events.clear()
