"""CUDA driver errors as the host device raises them."""

_ERRORS = {
    1: ('CUDA_ERROR_INVALID_VALUE', 'invalid argument'),
    500: ('CUDA_ERROR_NOT_FOUND', 'named symbol not found'),
}

CUDA_ERROR_INVALID_VALUE = 1
CUDA_ERROR_NOT_FOUND = 500


class CUDADriverError(RuntimeError):

    def __init__(self, status):
        self.status = status
        name, text = _ERRORS.get(status, ('CUDA_ERROR_UNKNOWN', 'unknown error'))
        super().__init__('{}: {}'.format(name, text))

    def __reduce__(self):
        return (type(self), (self.status,))
