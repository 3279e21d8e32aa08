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
