"""Linear algebra on device arrays."""

import numpy

from ._core import _from_host, ndarray


def inv(a):
    """Inverse of a square matrix (or a stack of them).

    Like CuPy with its default error state, a singular matrix raises nothing:
    the result then holds non-finite values.
    """
    if not isinstance(a, ndarray):
        raise TypeError('Unsupported type {}'.format(type(a)))
    host = a._a
    if host.ndim < 2 or host.shape[-1] != host.shape[-2]:
        raise numpy.linalg.LinAlgError(
            'Last 2 dimensions of the array must be square')
    dtype = host.dtype if host.dtype.kind in 'fc' else numpy.float64
    if dtype == numpy.float16:
        raise TypeError('dtype float16 is not supported in linalg')
    try:
        with numpy.errstate(all='ignore'):
            res = numpy.linalg.inv(host.astype(dtype, copy=False))
    except numpy.linalg.LinAlgError:
        res = numpy.full(host.shape, numpy.nan, dtype)
    return _from_host(res.astype(dtype, copy=False))
