"""The device array of the host device.

An ndarray keeps a NumPy view (`_a`) of the device memory that it describes.
Operations run NumPy on those views; whatever NumPy returns that lies inside
the array's memory becomes a view (sharing memory exactly like CuPy's views),
anything else is copied into a new device allocation on the current device.
"""

import functools
import math
import operator

import numpy

from . import _hostdevice
from ._memory import Memory, MemoryPointer
from .cuda import runtime

_SUPPORTED_KINDS = 'biufc'
# cp.empty() memory is filled with this byte, so that a kernel that leaves
# elements unwritten gives visibly wrong results (NaN for floats) instead of
# the zeros that fresh host pages would hold.
_EMPTY_FILL = 0xFF


def _dtype(dtype):
    dt = numpy.dtype(dtype)
    if dt.kind not in _SUPPORTED_KINDS or dt.fields is not None:
        raise ValueError('Unsupported dtype {}'.format(dt))
    return dt


def _shape(shape):
    if isinstance(shape, (int, numpy.integer)):
        return (int(shape),)
    return tuple(map(operator.index, shape))


def _allocate(nbytes, reuse=False):
    return Memory(nbytes, runtime.getDevice(), reuse)


def _unsupported(value):
    return TypeError('Unsupported type {}'.format(type(value)))


def _data_ptr(host):
    return host.__array_interface__['data'][0]


class _Flags:
    __slots__ = ('c_contiguous', 'f_contiguous', 'owndata')

    def __init__(self, c, f, own):
        self.c_contiguous = c
        self.f_contiguous = f
        self.owndata = own

    def __getitem__(self, name):
        return {'C_CONTIGUOUS': self.c_contiguous,
                'F_CONTIGUOUS': self.f_contiguous,
                'OWNDATA': self.owndata}[name]

    def __repr__(self):
        return ('  C_CONTIGUOUS : {}\n  F_CONTIGUOUS : {}\n  OWNDATA : {}'
                .format(self.c_contiguous, self.f_contiguous, self.owndata))


class ndarray:
    """Multi-dimensional array on a (host) device."""

    __slots__ = ('_a', 'data', 'base', '__weakref__')
    __array_priority__ = 100
    __hash__ = None

    def __init__(self, shape, dtype=float, memptr=None, strides=None,
                 order='C'):
        dtype = _dtype(dtype)
        shape = _shape(shape)
        if min(shape, default=0) < 0:
            raise ValueError('Negative dimensions are not allowed')
        size = math.prod(shape)
        if memptr is None:
            memptr = MemoryPointer(_allocate(size * dtype.itemsize), 0)
        if strides is None:
            strides = _contiguous_strides(shape, dtype.itemsize, order)
        mem = memptr.mem
        offset = memptr.ptr - mem.ptr if mem.ptr else 0
        # The fields are set through ndarray's own slots, as CuPy sets its C
        # fields, so that a subclass may override the attributes' properties.
        _A.__set__(self, numpy.ndarray(shape, dtype, buffer=mem._host(),
                                       offset=offset, strides=strides))
        _DATA.__set__(self, memptr)
        _BASE.__set__(self, None)

    # -- construction helpers -------------------------------------------

    @classmethod
    def _view(cls, parent, host):
        """An array over `host`, a NumPy view inside parent's memory."""
        arr = object.__new__(cls)
        _A.__set__(arr, host)
        data = _DATA.__get__(parent)
        mem = data.mem
        ptr = _data_ptr(host) if host.size else data.ptr
        _DATA.__set__(arr, MemoryPointer(mem, ptr - mem.ptr if mem.ptr else 0))
        base = _BASE.__get__(parent)
        _BASE.__set__(arr, parent if base is None else base)
        return arr

    def _wrap(self, host):
        """A view when NumPy returned memory of this array, else a copy."""
        if numpy.may_share_memory(host, self._a):
            return ndarray._view(self, host)
        return _from_host(host)

    # -- attributes -----------------------------------------------------

    @property
    def shape(self):
        return self._a.shape

    @property
    def ndim(self):
        return self._a.ndim

    @property
    def dtype(self):
        return self._a.dtype

    @property
    def size(self):
        return self._a.size

    @property
    def nbytes(self):
        return self._a.nbytes

    @property
    def itemsize(self):
        return self._a.itemsize

    @property
    def strides(self):
        return self._a.strides

    @property
    def flags(self):
        f = self._a.flags
        return _Flags(f.c_contiguous, f.f_contiguous, self.base is None)

    @property
    def device(self):
        from .cuda import Device
        return Device(self.data.device_id)

    @property
    def T(self):
        return ndarray._view(self, self._a.T)

    @property
    def __cuda_array_interface__(self):
        stream = _hostdevice.current_stream()
        desc = {
            'shape': self.shape,
            'typestr': self.dtype.str,
            'descr': self.dtype.descr,
            # Version 3 forbids 0; the legacy default stream is 1.
            'stream': 1 if stream is None or stream.ptr == 0 else stream.ptr,
            'version': 3,
            'strides': None if self._a.flags.c_contiguous else self.strides,
            'data': (self.data.ptr if self.size else 0, False),
        }
        return desc

    def __dlpack__(self, *, stream=None, max_version=None, dl_device=None,
                   copy=None):
        from . import _dlpack
        return _dlpack.export(self, stream, max_version, dl_device, copy)

    def __dlpack_device__(self):
        from . import _dlpack
        return _dlpack.device_of(self)

    # -- conversion -----------------------------------------------------

    def __array__(self, dtype=None, copy=None):
        raise TypeError(
            'Implicit conversion to a NumPy array is not allowed. '
            'Please use `.get()` to construct a NumPy array explicitly.')

    def get(self, stream=None, order='C', out=None, blocking=True):
        if out is not None:
            if not isinstance(out, numpy.ndarray):
                raise TypeError('Only numpy.ndarray can be obtained from '
                                'cupy.ndarray')
            if out.shape != self.shape:
                raise ValueError('Shape mismatch')
            out[...] = self._a
            return out
        return numpy.array(self._a, order=order)

    def set(self, arr, stream=None):
        if not isinstance(arr, numpy.ndarray):
            raise TypeError('Only numpy.ndarray can be set to cupy.ndarray')
        if arr.shape != self.shape or arr.dtype != self.dtype:
            raise ValueError('Shape or dtype mismatch')
        self._a[...] = arr

    def item(self):
        return self._a.item()

    def tolist(self):
        return self._a.tolist()

    def __bool__(self):
        return bool(self._a)

    def __int__(self):
        return int(self._a)

    def __float__(self):
        return float(self._a)

    def __complex__(self):
        return complex(self._a)

    def __index__(self):
        return operator.index(self._a)

    def __repr__(self):
        return repr(self._a)

    def __str__(self):
        return str(self._a)

    def __format__(self, spec):
        return format(self._a[()] if self.ndim == 0 else self._a, spec)

    # -- shape manipulation (views where NumPy gives views) ---------------

    def reshape(self, *shape, order='C'):
        if len(shape) == 1 and not isinstance(shape[0], (int, numpy.integer)):
            shape = shape[0]
        return self._wrap(self._a.reshape(shape, order=order))

    def transpose(self, *axes):
        if len(axes) == 1 and (axes[0] is None
                               or not isinstance(axes[0], (int,
                                                           numpy.integer))):
            axes = axes[0]
        return ndarray._view(self, self._a.transpose(axes or None))

    def swapaxes(self, axis1, axis2):
        return ndarray._view(self, self._a.swapaxes(axis1, axis2))

    def ravel(self, order='C'):
        return self._wrap(self._a.ravel(order))

    def flatten(self, order='C'):
        return _from_host(self._a, order=order)

    def squeeze(self, axis=None):
        return ndarray._view(self, self._a.squeeze(axis))

    def view(self, dtype=None):
        if dtype is None:
            return ndarray._view(self, self._a.view())
        return ndarray._view(self, self._a.view(_dtype(dtype)))

    def astype(self, dtype, order='K', casting=None, subok=None, copy=True):
        dtype = _dtype(dtype)
        if not copy and dtype == self.dtype:
            return self
        if casting is not None and not numpy.can_cast(self.dtype, dtype,
                                                      casting):
            raise TypeError('Cannot cast array data from {!r} to {!r} '
                            'according to the rule {!r}'.format(
                                self.dtype, dtype, casting))
        if order in ('K', 'k'):
            # The source's axis order, packed: a transposed array stays
            # transposed, as CuPy's order 'K' keeps it.
            out = _to_fill(self.shape, dtype,
                           strides=_k_strides(self._a, dtype.itemsize))
        else:
            out = _to_fill(self.shape, dtype, order=_c_or_f(self._a, order))
        if out.size:
            # A device cast overflows silently, as CuPy's does.
            with numpy.errstate(all='ignore'):
                numpy.copyto(out._a, self._a, casting='unsafe')
        return out

    def copy(self, order='C'):
        return self.astype(self.dtype, order=order)

    def take(self, indices, axis=None, out=None):
        import cupy
        return cupy.take(self, indices, axis, out)

    def fill(self, value):
        self._a.fill(_operand(value))

    # -- reductions (0-d arrays for full reductions, as CuPy) --------------

    def _reduce(self, name, *args, **kwargs):
        with numpy.errstate(all='ignore'):
            res = getattr(self._a, name)(*args, **kwargs)
        out = kwargs.get('out')
        if out is not None:
            return out
        return _from_host(numpy.asarray(res))

    def sum(self, axis=None, dtype=None, out=None, keepdims=False):
        return self._reduce('sum', axis=axis, dtype=dtype, keepdims=keepdims,
                            **_out_kw(out))

    def mean(self, axis=None, dtype=None, out=None, keepdims=False):
        return self._reduce('mean', axis=axis, dtype=dtype,
                            keepdims=keepdims, **_out_kw(out))

    def min(self, axis=None, out=None, keepdims=False):
        return self._reduce('min', axis=axis, keepdims=keepdims,
                            **_out_kw(out))

    def max(self, axis=None, out=None, keepdims=False):
        return self._reduce('max', axis=axis, keepdims=keepdims,
                            **_out_kw(out))

    def any(self, axis=None, out=None, keepdims=False):
        return self._reduce('any', axis=axis, keepdims=keepdims,
                            **_out_kw(out))

    def all(self, axis=None, out=None, keepdims=False):
        return self._reduce('all', axis=axis, keepdims=keepdims,
                            **_out_kw(out))

    # -- sequence protocol and indexing ----------------------------------

    def __len__(self):
        if self.ndim == 0:
            raise TypeError('len() of unsized object')
        return self._a.shape[0]

    def __iter__(self):
        if self.ndim == 0:
            raise TypeError('iteration over a 0-d array')
        return (self[i] for i in range(self._a.shape[0]))

    def __getitem__(self, key):
        hkey = _index_key(key, self.shape)
        res = self._a[hkey]
        if not isinstance(res, numpy.ndarray):
            # Integer indices on every axis: CuPy returns a 0-d view.
            key_t = hkey if isinstance(hkey, tuple) else (hkey,)
            res = self._a[key_t + (Ellipsis,)]
        return self._wrap(res)

    def __setitem__(self, key, value):
        self._a[_index_key(key, self.shape)] = _value(value)

    # -- interoperability with NumPy's dispatch ---------------------------

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        if method != '__call__':
            return NotImplemented
        return _ufunc(ufunc, *inputs, **kwargs)

    def __array_function__(self, func, types, args, kwargs):
        import cupy
        try:
            module = functools.reduce(
                getattr, func.__module__.split('.')[1:], cupy)
            cupy_func = getattr(module, func.__name__)
        except AttributeError:
            return NotImplemented
        if cupy_func is func:
            return NotImplemented
        return cupy_func(*args, **kwargs)


# The slots behind an array's fields, which no subclass property shadows.
_A, _DATA, _BASE = ndarray._a, ndarray.data, ndarray.base


def own(x):
    """A CuPy array as CuPy's own code reads it: for a subclass, a plain
    ndarray over the memory, shape, strides and dtype of its fields, whatever
    the subclass's properties answer (CuPy reads its C fields, never the
    Python attributes)."""
    if type(x) is ndarray:
        return x
    arr = object.__new__(ndarray)
    _A.__set__(arr, _A.__get__(x))
    _DATA.__set__(arr, _DATA.__get__(x))
    _BASE.__set__(arr, _BASE.__get__(x))
    return arr


def _out_kw(out):
    if out is None:
        return {}
    if not isinstance(out, ndarray):
        raise TypeError('Output argument must be cupy.ndarray')
    return {'out': out._a}


def _contiguous_strides(shape, itemsize, order):
    strides = []
    step = itemsize
    dims = shape if order == 'F' else reversed(shape)
    for s in dims:
        strides.append(step)
        step *= max(s, 1)
    return tuple(strides) if order == 'F' else tuple(reversed(strides))


def _c_or_f(host, order):
    """'C' or 'F' for an order letter; 'K' and 'A' follow the array."""
    if order in ('K', 'k', 'A', 'a', None):
        f = host.flags
        return 'F' if f.f_contiguous and not f.c_contiguous else 'C'
    return order.upper()


def _k_strides(host, itemsize):
    """Contiguous strides in the axis order of `host` (innermost = smallest
    stride), ties broken towards the last axis."""
    order = sorted(range(host.ndim), key=lambda i: (abs(host.strides[i]), -i))
    strides = [0] * host.ndim
    step = itemsize
    for i in order:
        strides[i] = step
        step *= max(host.shape[i], 1)
    return tuple(strides)


def _from_host(host, order='C', dtype=None):
    """Copy a NumPy array (or anything NumPy accepts) into new device memory."""
    host = numpy.asarray(host)
    dt = _dtype(host.dtype if dtype is None else dtype)
    out = _to_fill(host.shape, dt, order=_c_or_f(host, order))
    if out.size:
        numpy.copyto(out._a, host, casting='unsafe')
    return out


def _to_fill(shape, dtype, order='C', strides=None):
    """A new array of which the caller writes every element at once (a copy,
    a cast): like CuPy's pool, it may hand out memory freed earlier, so that
    the mappings `cupy.empty` would reuse do not pile up unused."""
    memptr = MemoryPointer(_allocate(math.prod(shape) * dtype.itemsize, True), 0)
    return ndarray(shape, dtype, memptr=memptr, strides=strides, order=order)


def _empty(shape, dtype, order='C'):
    # Memory freed earlier may come back here: it is filled all the same.
    dtype = _dtype(dtype)
    if min(shape, default=0) < 0:
        raise ValueError('Negative dimensions are not allowed')
    memptr = MemoryPointer(_allocate(math.prod(shape) * dtype.itemsize, True), 0)
    out = ndarray(shape, dtype, memptr=memptr, order=order)
    if out.size:
        out.data.mem._host().fill(_EMPTY_FILL)
    return out


_SCALARS = (bool, int, float, complex, numpy.generic)


def _operand(x):
    """A ufunc operand: the host view of a device array, or a scalar."""
    if isinstance(x, ndarray):
        return x._a
    if isinstance(x, _SCALARS):
        return x
    raise _unsupported(x)


def _value(x):
    """A value assigned into a device array."""
    if isinstance(x, ndarray):
        return x._a
    return x


def _index_key(key, shape):
    """The NumPy index for a CuPy index: device arrays read on the host, and
    integer-array indices wrapped around their axis as CuPy does (NumPy
    would raise IndexError for an out-of-range one)."""
    parts = list(key) if isinstance(key, tuple) else [key]
    parts = [_host_index(k) for k in parts]
    used = sum(k.ndim if _is_bool_array(k) else 1 for k in parts
               if k is not None and k is not Ellipsis)
    axis = 0
    for n, k in enumerate(parts):
        if k is Ellipsis:
            axis += len(shape) - used
        elif _is_bool_array(k):
            axis += k.ndim
        elif k is not None:
            if (isinstance(k, numpy.ndarray) and k.dtype.kind in 'iu'
                    and axis < len(shape) and shape[axis] > 0):
                parts[n] = k % shape[axis]
            axis += 1
    return tuple(parts) if isinstance(key, tuple) else parts[0]


def _host_index(k):
    if isinstance(k, ndarray):
        return k._a
    if isinstance(k, list):
        arr = numpy.asarray(k)
        if arr.dtype.kind in 'biu':
            return arr
    return k


def _is_bool_array(k):
    return isinstance(k, numpy.ndarray) and k.dtype.kind == 'b'


def _ufunc(uf, *args, out=None, **kwargs):
    hargs = [_operand(a) for a in args]
    if out is not None:
        outs = out if isinstance(out, tuple) else (out,)
        for o in outs:
            if not isinstance(o, ndarray):
                raise TypeError('Output argument must be cupy.ndarray')
        with numpy.errstate(all='ignore'):
            uf(*hargs, out=tuple(o._a for o in outs), **kwargs)
        return out
    with numpy.errstate(all='ignore'):
        res = uf(*hargs, **kwargs)
    if isinstance(res, tuple):
        return tuple(_from_host(r) for r in res)
    return _from_host(res)


def _binary(uf):
    def op(self, other):
        if not isinstance(other, (ndarray,) + _SCALARS):
            if isinstance(other, (numpy.ndarray, list, tuple)):
                raise _unsupported(other)
            return NotImplemented
        return _ufunc(uf, self, other)

    def rop(self, other):
        if not isinstance(other, _SCALARS):
            if isinstance(other, (numpy.ndarray, list, tuple)):
                raise _unsupported(other)
            return NotImplemented
        return _ufunc(uf, other, self)

    def iop(self, other):
        _ufunc(uf, self, other, out=self)
        return self

    return op, rop, iop


for _name, _uf in [('add', numpy.add), ('sub', numpy.subtract),
                   ('mul', numpy.multiply), ('truediv', numpy.true_divide),
                   ('floordiv', numpy.floor_divide), ('mod', numpy.remainder),
                   ('pow', numpy.power), ('matmul', numpy.matmul),
                   ('and', numpy.bitwise_and), ('or', numpy.bitwise_or),
                   ('xor', numpy.bitwise_xor), ('lshift', numpy.left_shift),
                   ('rshift', numpy.right_shift)]:
    _op, _rop, _iop = _binary(_uf)
    setattr(ndarray, '__%s__' % _name, _op)
    setattr(ndarray, '__r%s__' % _name, _rop)
    setattr(ndarray, '__i%s__' % _name, _iop)

for _name, _uf in [('lt', numpy.less), ('le', numpy.less_equal),
                   ('eq', numpy.equal), ('ne', numpy.not_equal),
                   ('gt', numpy.greater), ('ge', numpy.greater_equal)]:
    setattr(ndarray, '__%s__' % _name, _binary(_uf)[0])

for _name, _uf in [('neg', numpy.negative), ('pos', numpy.positive),
                   ('abs', numpy.absolute), ('invert', numpy.invert)]:
    setattr(ndarray, '__%s__' % _name,
            (lambda uf: lambda self: _ufunc(uf, self))(_uf))

del _name, _uf, _op, _rop, _iop

ndarray.__module__ = 'cupy'
