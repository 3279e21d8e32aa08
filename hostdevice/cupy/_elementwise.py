"""ElementwiseKernel: an operation text made into a real CUDA C kernel.

The parameter syntax, type placeholders, output allocation and the loop
variable `i` follow CuPy.  The generated source goes through the same
compile-and-launch path as RawKernel; for NVRTC it is preceded by a small
header of our own that supplies the `float16` type that CuPy's headers give.
"""

import math
import re

import numpy

from ._core import _empty, _from_host, ndarray, own
from ._kernel import _build, _launch
from .cuda import runtime

_TYPENAMES = {
    numpy.dtype(numpy.bool_): 'bool',
    numpy.dtype(numpy.int8): 'signed char',
    numpy.dtype(numpy.uint8): 'unsigned char',
    numpy.dtype(numpy.int16): 'short',
    numpy.dtype(numpy.uint16): 'unsigned short',
    numpy.dtype(numpy.int32): 'int',
    numpy.dtype(numpy.uint32): 'unsigned int',
    numpy.dtype(numpy.int64): 'long long',
    numpy.dtype(numpy.uint64): 'unsigned long long',
    numpy.dtype(numpy.float16): 'float16',
    numpy.dtype(numpy.float32): 'float',
    numpy.dtype(numpy.float64): 'double',
}

# What CuPy's own headers give a generated kernel, for NVRTC: no standard
# headers, float16 stored as a half and computed in float.
_GPU_PRELUDE = r'''
struct float16 {
    unsigned short __x;
    __device__ float16() {}
    __device__ float16(float f) {
        asm("cvt.rn.f16.f32 %0, %1;" : "=h"(__x) : "f"(f));
    }
    __device__ operator float() const {
        float f;
        asm("cvt.f32.f16 %0, %1;" : "=f"(f) : "h"(__x));
        return f;
    }
};
'''

_VALID_NAME = re.compile(r'^[A-Za-z_][A-Za-z_0-9]*$')
_SCALARS = (bool, int, float, numpy.generic)


def _typename(dtype):
    try:
        return _TYPENAMES[numpy.dtype(dtype)]
    except KeyError:
        raise TypeError('Type {} is not supported by the host device\'s '
                        'ElementwiseKernel'.format(numpy.dtype(dtype)))


class _Param:
    """One parameter: `[raw] TYPE NAME`, TYPE a dtype name or a placeholder."""

    def __init__(self, text, is_const):
        words = text.split()
        if len(words) < 2:
            raise Exception('Syntax error: %s' % text)
        t, self.name = words[-2:]
        self.is_const = is_const
        self.raw = False
        if len(t) == 1:
            self.dtype = None
            self.ctype = t
        else:
            dtype = numpy.dtype(t)
            if dtype.name != t:
                raise ValueError('Wrong type %s' % t)
            self.dtype = dtype
            self.ctype = _typename(dtype)
        for w in words[:-2]:
            if w == 'raw':
                self.raw = True
            else:
                raise Exception('Unknown keyword "%s"' % w)
        if self.raw:
            raise NotImplementedError(
                'raw parameters are not supported by the host device')


def _params(text, is_const):
    text = text.strip()
    return tuple(_Param(p, is_const) for p in text.split(',')) if text else ()


def _decide_types(in_params, out_params, in_dtypes, out_dtypes):
    """Resolve the type placeholders as CuPy does: outputs first."""
    types = {}

    def bind(p, a):
        if p.dtype is not None:
            if numpy.dtype(a) != p.dtype:
                raise TypeError(
                    'Type is mismatched. %s %s %s' % (p.name, a, p.dtype))
        elif p.ctype in types:
            t = types[p.ctype]
            if numpy.dtype(t) != numpy.dtype(a):
                raise TypeError('Type is mismatched. %s %s %s %s' % (
                    p.name, a, t, p.ctype))
        else:
            types[p.ctype] = numpy.dtype(a)

    for p, a in zip(out_params, out_dtypes):
        bind(p, a)
    for p, a in zip(in_params, in_dtypes):
        if a is not None:
            bind(p, a)
    in_types = tuple(types[p.ctype] if p.dtype is None else p.dtype
                     for p in in_params)
    out_types = tuple(types[p.ctype] if p.dtype is None else p.dtype
                      for p in out_params)
    return in_types, out_types, tuple(sorted(types.items()))


def _kernel_code(name, params, kinds, types, type_map, operation, preamble,
                 ndim):
    """CUDA C for one specialisation.

    kinds[k] is 'array' or 'scalar'; ndim is None when every array is
    C-contiguous with the loop shape, so that element i is simply [i].
    """
    lines = ['typedef %s %s;' % (_typename(t), c) for c, t in type_map]
    lines.append(preamble)
    sig = []
    body = []
    arrays = [k for k, kind in enumerate(kinds) if kind == 'array']
    for k, p in enumerate(params):
        ctype = _typename(types[k])
        const = 'const ' if p.is_const else ''
        if kinds[k] == 'scalar':
            sig.append('const %s %s' % (ctype, p.name))
            continue
        sig.append('%sunsigned char* _raw_%s' % (const, p.name))
        if ndim is None:
            where = '_raw_%s + i * (long long)sizeof(%s)' % (p.name, ctype)
        else:
            where = '_raw_%s + _off%d' % (p.name, arrays.index(k))
        body.append('%s%s &%s = *(%s%s*)(%s);' % (
            const, ctype, p.name, const, ctype, where))
    sig.append('const long long* _ind')
    index = []
    if ndim is not None:
        index.append('long long _r = i, _q;')
        for a in range(len(arrays)):
            index.append('long long _off%d = 0;' % a)
        for d in reversed(range(ndim)):
            index.append('_q = _r %% _ind[%d]; _r /= _ind[%d];' % (1 + d,
                                                                  1 + d))
            for a in range(len(arrays)):
                index.append('_off%d += _q * _ind[%d];' % (
                    a, 1 + ndim + a * ndim + d))
    lines.append('extern "C" __global__ void %s(%s) {' % (name,
                                                         ', '.join(sig)))
    lines.append('    const long long _n = _ind[0];')
    lines.append('    for (long long i = (long long)blockIdx.x * blockDim.x '
                 '+ threadIdx.x; i < _n; '
                 'i += (long long)blockDim.x * gridDim.x) {')
    lines.extend('        ' + s for s in index + body)
    lines.append(operation)
    lines.append(';\n    }\n}\n')
    return '\n'.join(lines)


class ElementwiseKernel:
    """User-defined elementwise kernel, as CuPy's."""

    def __init__(self, in_params, out_params, operation, name='kernel',
                 reduce_dims=True, preamble='', no_return=False,
                 return_tuple=False, **kwargs):
        if not _VALID_NAME.match(name):
            raise ValueError('Invalid kernel name: "%s"' % name)
        self.in_params = _params(in_params, True)
        self.out_params = _params(out_params, False)
        self.nin = len(self.in_params)
        self.nout = len(self.out_params)
        self.nargs = self.nin + self.nout
        self.params = self.in_params + self.out_params
        if 'i' in [p.name for p in self.params]:
            raise ValueError('Can not use \'i\' as a parameter name')
        self.operation = operation
        self.name = self.__name__ = name
        self.preamble = preamble
        self.no_return = no_return
        self.return_tuple = return_tuple
        self.options = tuple(kwargs.pop('options', ()))
        self._kernels = {}

    def __call__(self, *args, **kwargs):
        size = kwargs.pop('size', -1)
        stream = kwargs.pop('stream', None)
        block_size = kwargs.pop('block_size', 128)
        if kwargs:
            raise TypeError('Wrong arguments %s' % kwargs)
        if block_size <= 0:
            raise ValueError('block_size must be greater than zero')
        if len(args) not in (self.nin, self.nargs):
            raise TypeError(
                'Wrong number of arguments for {!r}. It must be either {} or '
                '{} (with outputs), but given {}.'.format(
                    self.name, self.nin, self.nargs, len(args)))
        runtime.getDevice()
        given_outs = list(args[self.nin:])
        args = [_preprocess(a) for a in args]
        ins, outs = args[:self.nin], args[self.nin:]
        arrays = [a for a in args if isinstance(a, ndarray)]
        if size != -1:
            raise ValueError('Specified \'size\' can be used only if all of '
                             'the ndarray are \'raw\'.')
        if not arrays:
            raise ValueError('Loop size is undecided.')
        shape = numpy.broadcast_shapes(*[a.shape for a in arrays])

        in_types, out_types, type_map = _decide_types(
            self.in_params, self.out_params,
            [a.dtype if isinstance(a, ndarray) else None for a in ins],
            [a.dtype if isinstance(a, ndarray) else None for a in outs])
        if outs:
            for a in outs:
                if not isinstance(a, ndarray):
                    raise TypeError(
                        'Output arguments type must be cupy.ndarray')
                if a.shape != shape:
                    raise ValueError('Out shape is mismatched')
        else:
            outs = given_outs = [_empty(shape, t) for t in out_types]
        if self.no_return:
            ret = None
        elif not self.return_tuple and self.nout == 1:
            ret = given_outs[0]
        else:
            ret = tuple(given_outs)
        n = math.prod(shape)
        if n == 0:
            return ret

        values = []
        kinds = []
        for a, t in zip(ins, in_types):
            if isinstance(a, ndarray):
                values.append(a)
                kinds.append('array')
            else:
                values.append(numpy.asarray(a).astype(t)[()])
                kinds.append('scalar')
        values.extend(outs)
        kinds.extend(['array'] * len(outs))
        array_args = [v for v in values if isinstance(v, ndarray)]
        contiguous = all(v.shape == shape and v.flags.c_contiguous
                         for v in array_args)
        ndim = None if contiguous else len(shape)
        ind = [n]
        if ndim is not None:
            ind.extend(shape)
            for v in array_args:
                ind.extend(numpy.broadcast_to(v._a, shape).strides)
        types = in_types + out_types
        key = (tuple(kinds), types, type_map, ndim)
        binary = self._kernels.get(key)
        if binary is None:
            code = _kernel_code(self.name, self.params, kinds, types,
                                type_map, self.operation, self.preamble, ndim)
            binary = _build(code, self.name, self.options,
                            gpu_source=_GPU_PRELUDE + code)
            self._kernels[key] = binary
        indexer = _from_host(numpy.array(ind, dtype=numpy.int64))
        grid = min(0x7fffffff, (n + block_size - 1) // block_size)
        _launch(binary, self.name, (grid,), (min(block_size, n),),
                values + [indexer], 0, stream)
        return ret


def _preprocess(arg):
    if isinstance(arg, ndarray):
        return own(arg)
    if hasattr(arg, '__cuda_array_interface__'):
        import cupy
        return cupy.asarray(arg)
    if isinstance(arg, _SCALARS) and not isinstance(arg, numpy.ndarray):
        return arg
    raise TypeError('Unsupported type %s' % type(arg))
