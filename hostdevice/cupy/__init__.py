"""CuPy on the CPU: the host device's stand-in for the `cupy` package.

Placed first on sys.path, this package is what `import cupy` loads.  Arrays
live in host memory owned by this package; kernels given as CUDA C source are
compiled with the host C++ compiler (and checked with NVRTC when available)
and run on the CPU cores.
"""

import numpy

from numpy import (bool_, complex64, complex128, dtype, float16,  # NOQA
                   float32, float64, int8, int16, int32, int64, uint8,
                   uint16, uint32, uint64, inf, nan, pi, e)

from . import _hostdevice  # NOQA
from . import cuda  # NOQA
from ._core import ndarray, _from_host, _empty, _ufunc, _dtype, _shape
from ._kernel import RawKernel  # NOQA
from ._module import RawModule  # NOQA
from ._elementwise import ElementwiseKernel  # NOQA
from ._dlpack import from_dlpack  # NOQA
from . import linalg, random, testing  # NOQA

newaxis = None
__version__ = '14.0.0+hostdevice'


# -- transfers ----------------------------------------------------------------

def _host_of(obj):
    """Host data for `obj`: device arrays (also nested in lists) are read."""
    if isinstance(obj, ndarray):
        return obj._a
    if hasattr(obj, '__cuda_array_interface__'):
        return _from_cuda_array_interface(obj)._a
    if isinstance(obj, (list, tuple)) and any(
            isinstance(o, (ndarray, list, tuple)) for o in obj):
        return numpy.array([_host_of(o) for o in obj])
    return obj


def _from_cuda_array_interface(obj):
    desc = obj.__cuda_array_interface__
    shape = tuple(desc['shape'])
    dt = _dtype(desc['typestr'])
    if desc.get('mask') is not None:
        raise ValueError('CUDA array interface masks are not supported')
    ptr = desc['data'][0]
    strides = desc.get('strides')
    size = 1
    for s in shape:
        size *= s
    if size == 0:
        return ndarray(shape, dt)
    if strides is None:
        extent = size * dt.itemsize
        low = 0
    else:
        low = sum(min(0, (n - 1) * s) for n, s in zip(shape, strides))
        extent = sum(max(0, (n - 1) * s) for n, s in zip(shape, strides)) \
            - low + dt.itemsize
    mem = cuda.UnownedMemory(ptr + low, extent, obj)
    return ndarray(shape, dt, memptr=cuda.MemoryPointer(mem, -low),
                   strides=strides)


def asarray(a, dtype=None, order=None, *, blocking=False):
    if isinstance(a, ndarray):
        if dtype is None or numpy.dtype(dtype) == a.dtype:
            if order in ('C', 'F') and not getattr(
                    a.flags, order == 'C' and 'c_contiguous'
                    or 'f_contiguous'):
                return a.copy(order)
            return a
        return a.astype(dtype, order=order or 'K')
    if hasattr(a, '__cuda_array_interface__'):
        arr = _from_cuda_array_interface(a)
        return asarray(arr, dtype, order)
    host = numpy.asarray(_host_of(a), dtype=dtype)
    return _from_host(host, order=order or 'K')


def array(obj, dtype=None, copy=True, order='K', subok=False, ndmin=0, *,
          blocking=False):
    if isinstance(obj, ndarray) and not copy and (
            dtype is None or numpy.dtype(dtype) == obj.dtype):
        return obj
    host = numpy.array(_host_of(obj), dtype=dtype, ndmin=ndmin, copy=None)
    return _from_host(host, order=order)


def asnumpy(a, stream=None, order='C', out=None, *, blocking=True):
    if isinstance(a, ndarray):
        return a.get(stream=stream, order=order, out=out)
    if hasattr(a, '__cuda_array_interface__'):
        return asarray(a).get(stream=stream, order=order, out=out)
    host = numpy.asarray(a, order=order)
    if out is not None:
        out[...] = host
        return out
    return host


def ascontiguousarray(a, dtype=None):
    if not isinstance(a, ndarray):
        raise TypeError("Argument 'a' has incorrect type (expected "
                        "cupy._core.core._ndarray_base, got {})"
                        .format(type(a).__name__))
    same = dtype is None or numpy.dtype(dtype) == a.dtype
    if same and a.flags.c_contiguous:
        # A 0-d array becomes a view of shape (1,), as in CuPy.
        return a.ravel() if a.ndim == 0 else a
    return _from_host(a._a.reshape(-1) if a.ndim == 0 else a._a, dtype=dtype)


def take(a, indices, axis=None, out=None):
    """Out-of-range indices wrap around the axis, as in CuPy."""
    if not isinstance(a, ndarray):
        raise TypeError('Unsupported type {}'.format(type(a)))
    ind = indices._a if isinstance(indices, ndarray) else indices
    res = numpy.take(a._a, ind, axis=axis, mode='wrap')
    if out is not None:
        out._a[...] = res
        return out
    return _from_host(res)


def get_array_module(*args):
    for a in args:
        if isinstance(a, ndarray):
            import cupy
            return cupy
    return numpy


# -- creation -----------------------------------------------------------------

def empty(shape, dtype=float, order='C'):
    return _empty(_shape(shape), dtype, order)


def zeros(shape, dtype=float, order='C'):
    # Fresh mappings read as zero.
    return ndarray(_shape(shape), dtype, order=order)


def ones(shape, dtype=float, order='C'):
    return full(shape, 1, dtype, order)


def full(shape, fill_value, dtype=None, order='C'):
    if dtype is None:
        dtype = (fill_value.dtype if isinstance(fill_value, ndarray)
                 else numpy.array(fill_value).dtype)
    out = ndarray(_shape(shape), dtype, order=order)
    out.fill(fill_value)
    return out


def _like(a, dtype, order, shape):
    if shape is None:
        shape = a.shape
    if dtype is None:
        dtype = a.dtype
    if order == 'K' or order == 'A':
        order = 'F' if a.flags.f_contiguous and not a.flags.c_contiguous \
            else 'C'
    return _shape(shape), dtype, order


def empty_like(a, dtype=None, order='K', subok=None, shape=None):
    return _empty(*_like(a, dtype, order, shape))


def zeros_like(a, dtype=None, order='K', subok=None, shape=None):
    shape, dtype, order = _like(a, dtype, order, shape)
    return ndarray(shape, dtype, order=order)


def ones_like(a, dtype=None, order='K', subok=None, shape=None):
    shape, dtype, order = _like(a, dtype, order, shape)
    return full(shape, 1, dtype, order)


def full_like(a, fill_value, dtype=None, order='K', subok=None, shape=None):
    shape, dtype, order = _like(a, dtype, order, shape)
    return full(shape, fill_value, dtype, order)


def arange(start, stop=None, step=1, dtype=None):
    return _from_host(numpy.arange(start, stop, step, dtype=dtype))


def frombuffer(*args, **kwargs):
    return _from_host(numpy.frombuffer(*args, **kwargs))


# -- joining ------------------------------------------------------------------

def _device_arrays(tup):
    arrays = list(tup)
    if not arrays:
        raise ValueError('Cannot concatenate from empty tuple')
    for a in arrays:
        if not isinstance(a, ndarray):
            raise TypeError('Only cupy arrays can be concatenated')
    return [a._a for a in arrays]


def concatenate(tup, axis=0, out=None, *, dtype=None, casting='same_kind'):
    hs = _device_arrays(tup)
    if any(h.ndim == 0 for h in hs):
        raise TypeError('zero-dimensional arrays cannot be concatenated')
    if out is not None:
        numpy.concatenate(hs, axis=axis, out=out._a, dtype=dtype,
                          casting=casting)
        return out
    return _from_host(numpy.concatenate(hs, axis=axis, dtype=dtype,
                                        casting=casting))


def stack(tup, axis=0, out=None, *, dtype=None, casting='same_kind'):
    hs = _device_arrays(tup)
    if out is not None:
        numpy.stack(hs, axis=axis, out=out._a, dtype=dtype, casting=casting)
        return out
    return _from_host(numpy.stack(hs, axis=axis, dtype=dtype,
                                  casting=casting))


def dstack(tup):
    return _from_host(numpy.dstack(_device_arrays(tup)))


def hstack(tup, *, dtype=None, casting='same_kind'):
    return _from_host(numpy.hstack(_device_arrays(tup), dtype=dtype,
                                   casting=casting))


def vstack(tup, *, dtype=None, casting='same_kind'):
    return _from_host(numpy.vstack(_device_arrays(tup), dtype=dtype,
                                   casting=casting))


# -- element-wise functions ---------------------------------------------------

def _elementwise(uf, name):
    def f(*args, out=None, **kwargs):
        return _ufunc(uf, *args, out=out, **kwargs)
    f.__name__ = f.__qualname__ = name
    return f


abs = absolute = _elementwise(numpy.absolute, 'absolute')
sqrt = _elementwise(numpy.sqrt, 'sqrt')
rint = _elementwise(numpy.rint, 'rint')
isnan = _elementwise(numpy.isnan, 'isnan')
isfinite = _elementwise(numpy.isfinite, 'isfinite')
minimum = _elementwise(numpy.minimum, 'minimum')
maximum = _elementwise(numpy.maximum, 'maximum')


def clip(a, a_min=None, a_max=None, out=None):
    if not isinstance(a, ndarray):
        raise TypeError('Unsupported type {}'.format(type(a)))
    if a_min is None and a_max is None:
        raise ValueError('array_clip: must set either max or min')
    if a_min is None:
        return _ufunc(numpy.minimum, a, a_max, out=out)
    if a_max is None:
        return _ufunc(numpy.maximum, a, a_min, out=out)
    return _ufunc(numpy.clip, a, a_min, a_max, out=out)


def around(a, decimals=0, out=None):
    if not isinstance(a, ndarray):
        raise TypeError('Unsupported type {}'.format(type(a)))
    res = numpy.round(a._a, decimals)
    if out is not None:
        out._a[...] = res
        return out
    return _from_host(res)


round = around


def where(condition, x=None, y=None):
    if (x is None) != (y is None):
        raise ValueError('Must provide both \'x\' and \'y\' or neither.')
    if x is None:
        return tuple(_from_host(i) for i in numpy.nonzero(
            condition._a if isinstance(condition, ndarray) else condition))
    return _ufunc(numpy.where, condition, x, y)


def array_equal(a1, a2, equal_nan=False):
    return _from_host(numpy.asarray(numpy.array_equal(
        _host_of(a1), _host_of(a2), equal_nan=equal_nan)))


def allclose(a, b, rtol=1.e-5, atol=1.e-8, equal_nan=False):
    return _from_host(numpy.asarray(numpy.allclose(
        _host_of(a), _host_of(b), rtol=rtol, atol=atol, equal_nan=equal_nan)))
