"""The CUDA runtime calls of the host device."""

from .. import _hostdevice

_ERRORS = {
    1: ('cudaErrorInvalidValue', 'invalid argument'),
    100: ('cudaErrorNoDevice', 'no CUDA-capable device is detected'),
    101: ('cudaErrorInvalidDevice', 'invalid device ordinal'),
    400: ('cudaErrorInvalidResourceHandle', 'invalid resource handle'),
}


class CUDARuntimeError(RuntimeError):

    def __init__(self, status):
        self.status = status
        name, text = _ERRORS.get(status, ('cudaErrorUnknown', 'unknown error'))
        super().__init__('{}: {}'.format(name, text))

    def __reduce__(self):
        return (type(self), (self.status,))


def getDeviceCount():
    count = _hostdevice.device_count()
    if count < 1:
        raise CUDARuntimeError(100)
    return count


def getDevice():
    getDeviceCount()
    return _hostdevice.current_device()


def setDevice(device):
    if not 0 <= device < getDeviceCount():
        raise CUDARuntimeError(101)
    _hostdevice.set_current_device(device)


def deviceSynchronize():
    getDeviceCount()
    _hostdevice.record_synchronize('device', None)


def getDeviceProperties(device):
    """The few properties callers read; the name says what this device is."""
    if not 0 <= device < getDeviceCount():
        raise CUDARuntimeError(101)
    return {'name': b'zemvara host device (CPU stand-in)',
            'totalGlobalMem': 0, 'multiProcessorCount': 1,
            'major': 9, 'minor': 0}


def memGetInfo():
    """(free, total) bytes of the current device: its CUPY_GPU_MEMORY_LIMIT
    less what it holds, or else the host's available and total RAM, which
    stands in for the device's."""
    import os

    from .. import _memory
    device = getDevice()
    cap = _memory.limit()
    if cap is not None:
        return max(0, cap - _memory._in_use.get(device, 0)), cap
    total = os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES')
    free = total
    try:
        with open('/proc/meminfo') as f:
            for line in f:
                if line.startswith('MemAvailable:'):
                    free = int(line.split()[1]) * 1024
                    break
    except OSError:
        pass
    return free, total
