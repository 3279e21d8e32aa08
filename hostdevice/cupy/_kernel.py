"""Kernels from CUDA C source, compiled for and run on the host CPU.

A source is built once into a shared library: our prelude (the CUDA C
built-ins), then the exact source text, then a launcher for the named kernel
(see _launcher.h).  Libraries are cached on disk under a hash of everything
that goes into them.  Each source is also compiled with NVRTC when it is
available, so that a source that would not build for a GPU fails here too.
"""

import ctypes
import hashlib
import itertools
import json
import operator
import os
import platform
import re
import struct
import subprocess
import sys
import tempfile
import threading

import numpy

from . import _hostdevice, _nvrtc
from ._core import ndarray, own
from ._memory import MemoryPointer
from .cuda import driver, get_current_stream, runtime
from .cuda.compiler import CompileException

_HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(_HERE, '_prelude.h')) as _f:
    _PRELUDE = _f.read()
with open(os.path.join(_HERE, '_launcher.h')) as _f:
    _LAUNCHER = _f.read()

# -fno-semantic-interposition: a kernel is called from its own library's
# launcher, which may then inline it into its loop over the block's threads
# (otherwise every thread is a call through the PLT with its arguments on the
# stack); -fno-plt: the C library's functions called through the GOT.
_CXX_FLAGS = ('-std=c++17', '-O3', '-fPIC', '-shared', '-pthread', '-fwrapv',
              '-fno-strict-aliasing', '-w', '-fno-semantic-interposition', '-fno-plt',
              '-ffp-contract=off')


def _cpu_flags():
    """The instruction sets of this x86-64 CPU that the kernels may use, as g++ options.

    fmaf becomes one instruction instead of a call into the C library, the
    float16 conversions one each (F16C), and loops may vectorise over AVX2.
    None of these changes a value: fmaf rounds once either way, the
    conversions round to nearest even as the software ones do, and
    -ffp-contract=off (above) keeps the compiler from fusing a multiply
    and an add that the source writes apart. The flags name the build in
    the cache keys, so a library built for another CPU is not reused.
    """
    if platform.machine() not in ('x86_64', 'AMD64'):
        return ()
    try:
        with open('/proc/cpuinfo') as f:
            have = next((line.split(':', 1)[1].split() for line in f if line.startswith('flags')), [])
    except OSError:
        return ()
    return ('-mavx2', '-mfma', '-mf16c') if {'avx2', 'fma', 'f16c'} <= set(have) else ()


_CXX_FLAGS += _cpu_flags()
# HOSTDEVICE_SANITIZE=1 (set by `make test-sanitize`): kernels are built with
# AddressSanitizer and UndefinedBehaviorSanitizer, every report fatal, and
# without -fwrapv, so that a signed overflow (undefined on a GPU too) is
# reported.  They are cached apart from the normal builds.
SANITIZE = os.environ.get('HOSTDEVICE_SANITIZE') == '1'
if SANITIZE:
    _CXX_FLAGS = tuple(f for f in _CXX_FLAGS if f != '-fwrapv') + (
        '-fsanitize=address,undefined', '-fno-sanitize-recover=all',
        '-fno-omit-frame-pointer', '-g')
# CUDA's `#pragma unroll [N]`, which g++ ignores, becomes GCC's: a loop the
# kernel asks to be unrolled is unrolled on the CPU too (its per-channel
# accumulators then live in registers, as on a GPU, not in memory). Without a
# count CUDA unrolls a loop of constant trip count fully; so does GCC's unroll
# 64 for such a loop. HOST_REWRITE names the rewrite in the cache keys.
_UNROLL = re.compile(r'^([ \t]*)#[ \t]*pragma[ \t]+unroll\b[ \t]*\(?[ \t]*(\d*)[ \t]*\)?[ \t]*$',
                     re.MULTILINE)
HOST_REWRITE = 'gcc-unroll'


def _host_source(source):
    """The kernel source as the host compiler gets it (see _UNROLL)."""
    return _UNROLL.sub(lambda m: '{}#pragma GCC unroll {}'.format(
        m.group(1), m.group(2) or '64'), source)


_lock = threading.Lock()
_loaded = {}          # cache key -> _Binary, for this process
_building = {}        # cache key -> lock held by the thread building it
_announced = set()    # kernel names whose compile line this process printed
_compiler_id = None


def cache_dir():
    d = os.environ.get('HOSTDEVICE_CACHE_DIR')
    if not d:
        base = os.environ.get('XDG_CACHE_HOME') or os.path.join(
            os.path.expanduser('~'), '.cache')
        d = os.path.join(base, 'zemvara-hostdevice')
    if SANITIZE:
        d = os.path.join(d, 'sanitize')
    os.makedirs(d, exist_ok=True)
    return d


def _cxx():
    return os.environ.get('HOSTDEVICE_CXX', 'g++')


def _compiler_version():
    global _compiler_id
    if _compiler_id is None:
        out = subprocess.run([_cxx(), '--version'], capture_output=True,
                             text=True, check=True).stdout
        _compiler_id = out.splitlines()[0] if out else _cxx()
    return _compiler_id


def _workers():
    n = os.environ.get('HOSTDEVICE_THREADS')
    if n:
        return max(1, int(n))
    return max(1, len(os.sched_getaffinity(0)))


def _hash(*parts):
    return hashlib.sha256(json.dumps(parts).encode()).hexdigest()[:40]


def _write_atomically(path, data, mode='w'):
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path), suffix='.tmp')
    with os.fdopen(fd, mode) as f:
        f.write(data)
    os.replace(tmp, path)


def nvrtc_verdict(kind, parts, run):
    """NVRTC's verdict on a source, kept on disk under a hash of `kind`, the
    library's identity and `parts`: run() (which loads NVRTC) only where none
    is kept, so that a process whose kernels were all checked before never
    loads the library. None where there is no NVRTC."""
    found = _nvrtc.identity()
    if found is None:
        return None
    path = os.path.join(cache_dir(), _hash(kind, found, *parts) + '.nvrtc.json')
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        pass
    if not _nvrtc.available():
        return None
    result = run()
    _write_atomically(path, json.dumps(result))
    return result


def _nvrtc_check(source, name, options):
    """Raise CompileException if NVRTC rejects the source; return entries."""
    opts = _nvrtc.gpu_options(options)
    verdict = nvrtc_verdict('nvrtc', (opts, source),
                            lambda: list(_nvrtc.compile(source, opts)))
    if verdict is None:
        return None
    ok, log, entries = verdict
    if not ok:
        raise CompileException(log, source, name, opts, 'nvrtc')
    return entries


def _host_options(options):
    """The options that also mean something to the host compiler."""
    out = []
    for o in options:
        if o.startswith(('-D', '-U', '-I')):
            out.append(o)
    return out


_POOL_SOURCE = os.path.join(_HERE, '_pool.cpp')
_pool = None          # the address of __hd_pool_run, once the pool library is loaded


def _pool_address():
    """The address of the worker pool's entry (_pool.cpp), built and loaded once per process; every kernel
    library launches its blocks through it."""
    global _pool
    if _pool is None:
        with open(_POOL_SOURCE) as f:
            source = f.read()
        path = os.path.join(cache_dir(), _hash('pool', _compiler_version(), _CXX_FLAGS, source) + '.so')

        def make():
            if not os.path.exists(path):
                with tempfile.TemporaryDirectory(dir=os.path.dirname(path)) as tmp:
                    so = os.path.join(tmp, 'pool.so')
                    proc = subprocess.run([_cxx(), *_CXX_FLAGS, '-o', so, _POOL_SOURCE], capture_output=True,
                                          text=True, env=dict(os.environ, LC_ALL='C'))
                    if proc.returncode != 0:
                        raise CompileException(proc.stderr, source, '__hd_pool_run', (), 'host')
                    os.replace(so, path)
            lib = ctypes.CDLL(path)
            return lib, ctypes.cast(lib['__hd_pool_run'], ctypes.c_void_p).value

        _pool = _built_once(_loaded, path, make)[1]
    return _pool


class _Binary:
    """A built kernel library: parameter layout and the launch entry."""

    def __init__(self, path, name):
        self.lib = lib = ctypes.CDLL(path)
        if not hasattr(lib, name):
            # Only extern "C" kernels can be found by their plain name.
            raise driver.CUDADriverError(driver.CUDA_ERROR_NOT_FOUND)
        use_pool = lib['__hd_use_pool']
        use_pool.argtypes = [ctypes.c_void_p]
        use_pool(_pool_address())
        self.nparams = lib['__hd_param_count']()
        sizes = (ctypes.c_longlong * max(1, self.nparams))()
        lib['__hd_param_sizes'](sizes)
        self.sizes = list(sizes)[:self.nparams]
        self.launch = lib['__hd_launch']
        self.launch.restype = None
        self.launch.argtypes = [ctypes.POINTER(ctypes.c_uint),
                                ctypes.POINTER(ctypes.c_uint),
                                ctypes.POINTER(ctypes.c_void_p), ctypes.c_int]


def _built_once(table, key, make):
    """table[key], made by make() once per process: threads that ask for a
    key being built wait for that build instead of starting their own."""
    with _lock:
        value = table.get(key)
        if value is not None:
            return value
        gate = _building.setdefault(key, threading.Lock())
    with gate:
        with _lock:
            value = table.get(key)
        if value is None:
            value = make()
            with _lock:
                table[key] = value
                _building.pop(key, None)
    return value


def _build(source, name, options, host_prelude=_PRELUDE, gpu_source=None):
    """The compiled library for a kernel source (building it if needed)."""
    host_opts = _host_options(options)
    # All options go into the key, not only the host compiler's: the NVRTC
    # check runs once per key, and a dialect option changes its verdict.
    key = _hash('host', _compiler_version(), _CXX_FLAGS, HOST_REWRITE, _BARRIER_SYMBOL, host_opts,
                list(options), host_prelude, _LAUNCHER, source, name)

    def make():
        entries = _nvrtc_check(source if gpu_source is None else gpu_source,
                               name, options)
        if entries is not None and name not in entries:
            raise driver.CUDADriverError(driver.CUDA_ERROR_NOT_FOUND)
        path = os.path.join(cache_dir(), key + '.so')
        if not os.path.exists(path):
            _compile_host(source, name, host_opts, host_prelude, path)
        return _Binary(path, name)

    return _built_once(_loaded, key, make)


def _compile_host(source, name, host_opts, host_prelude, path):
    # A first compile takes about a second; say so, since nothing else shows.
    # One line per kernel name and process: the variants of one kernel (its
    # element types, layouts, options) are built without a line of their own.
    with _lock:
        first = name not in _announced
        _announced.add(name)
    if first:
        print('zemvara host device: compiling {} for the CPU (once; kept in {})'
              .format(name, os.path.dirname(path)), file=sys.stderr, flush=True)
    with tempfile.TemporaryDirectory(dir=os.path.dirname(path)) as tmp:
        so = _compile_unit(tmp, source, name, host_opts, host_prelude, False)
        # A kernel that reaches __syncthreads runs its blocks' threads as
        # fibers. Built without them, such a kernel leaves the barrier
        # function undefined; the others of a source that has barriers (its
        # specialisations without them) keep the plain, faster launcher.
        if '__syncthreads' in source and _calls_barrier(so):
            so = _compile_unit(tmp, source, name, host_opts, host_prelude, True)
        os.replace(so, path)


def _compile_unit(tmp, source, name, host_opts, host_prelude, barriers):
    text = '{}\n#line 1 "kern.cu"\n{}\n#line 1 "launcher"\n' \
        '#define __HD_KERNEL {}\n{}{}'.format(host_prelude, _host_source(source), name,
                                               '#define __HD_BARRIERS\n' if barriers else '',
                                               _LAUNCHER)
    cpp = os.path.join(tmp, 'kern.cpp')
    with open(cpp, 'w') as f:
        f.write(text)
    so = os.path.join(tmp, 'kern-fibers.so' if barriers else 'kern.so')
    proc = subprocess.run(
        [_cxx(), *_CXX_FLAGS, *host_opts, '-o', so, cpp],
        capture_output=True, text=True,
        env=dict(os.environ, LC_ALL='C'))
    if proc.returncode != 0:
        log = proc.stderr
        if re.search(r"'{}' was not declared".format(re.escape(name)),
                     log):
            raise driver.CUDADriverError(driver.CUDA_ERROR_NOT_FOUND)
        raise CompileException(log, source, name, tuple(host_opts),
                               'host')
    return so


_BARRIER_SYMBOL = '_ZN4__hd7barrierEv'   # __hd::barrier()


def _calls_barrier(so):
    """Whether a library built without fibers refers to the barrier (True if nm cannot tell)."""
    try:
        out = subprocess.run(['nm', '-D', '--undefined-only', so], capture_output=True,
                             text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return True
    return _BARRIER_SYMBOL in out.split()


# -- argument marshalling -----------------------------------------------------

def _python_scalar_dtype(x):
    """The dtype CuPy gives a Python scalar argument (None: not one).

    bool travels as a 1-byte bool, int as int64 or, from 2**63 on, as uint64;
    an int outside both ranges raises OverflowError when it is packed.
    """
    t = type(x)
    if t is bool:
        return numpy.dtype(numpy.bool_)
    if t is int:
        return numpy.dtype(numpy.uint64 if x >= 2 ** 63 else numpy.int64)
    if t is float:
        return numpy.dtype(numpy.float64)
    if t is complex:
        return numpy.dtype(numpy.complex128)
    return None


_DOUBLE = struct.Struct('<d')


def _arg_bytes(x):
    """The bytes that a kernel argument is passed as (CuPy's rules)."""
    t = type(x)
    if t is int:  # int64, or uint64 from 2**63 on (OverflowError beyond)
        return x.to_bytes(8, 'little', signed=x < 2 ** 63)
    if t is float:
        return _DOUBLE.pack(x)
    if t is bool:
        return b'\1' if x else b'\0'
    if x is None:
        return b'\0' * 8
    if isinstance(x, ndarray):
        # The pointer in the array's own field, as CuPy's launcher reads it:
        # a subclass's `data` property never reaches a kernel.
        return own(x).data.ptr.to_bytes(8, 'little')
    if isinstance(x, MemoryPointer):
        return x.ptr.to_bytes(8, 'little')
    if isinstance(x, numpy.ndarray):
        if x.size == 1:
            return x.tobytes()
        raise TypeError(
            'You are trying to pass a numpy.ndarray of shape {} as a kernel '
            'parameter. Only numpy.ndarrays of size one can be passed by '
            'value. If you meant to pass a pointer to __global__ memory, you '
            'need to pass a cupy.ndarray instead.'.format(x.shape))
    dt = _python_scalar_dtype(x)
    if dt is not None:
        return numpy.array(x, dtype=dt).tobytes()
    if isinstance(x, numpy.generic) and x.dtype.kind in 'biufc':
        return x.tobytes()
    # Anything else is refused, including foreign device arrays that carry
    # __cuda_array_interface__: CuPy passes only its own arrays as pointers.
    raise TypeError('Unsupported type {}'.format(type(x)))


def _arg_device(x):
    return own(x).data.device_id if isinstance(x, ndarray) else None


def _dims(value, what):
    if not isinstance(value, tuple):
        raise TypeError("Argument '{}' has incorrect type (expected tuple, "
                        "got {})".format(what, type(value).__name__))
    value = (value + (1, 1))[:3]
    return [max(1, operator.index(v)) for v in value]


# NumPy's scalar types that pass as their own bytes (see _arg_bytes), and the
# launch's small ctypes arrays: looked up once, not at every launch.
_NUMPY_SCALARS = frozenset(t for t in set(numpy.sctypeDict.values())
                           if numpy.dtype(t).kind in 'biufc')
_DIM3 = ctypes.c_uint * 3
_ARRAY_DATA = ndarray.data.__get__   # an array's own memory pointer field


def _marshalled(args):
    """(the bytes each argument passes as, the device of each array argument
    or None): _arg_bytes and _arg_device, with the common cases (an array
    itself, a NumPy scalar) read directly."""
    raw, devices = [], []
    for a in args:
        t = type(a)
        if t is ndarray:
            data = _ARRAY_DATA(a)
            raw.append(data.ptr.to_bytes(8, 'little'))
            devices.append(data.device_id)
        elif t in _NUMPY_SCALARS:
            raw.append(a.tobytes())
            devices.append(None)
        else:
            raw.append(_arg_bytes(a))
            devices.append(_arg_device(a))
    return raw, devices


def _launch(binary, name, grid, block, args, shared_mem, stream):
    device = runtime.getDevice()
    g = _dims(grid, 'grid')
    b = _dims(block, 'block')
    raw, devices = _marshalled(tuple(args))
    if len(raw) != binary.nparams:
        # Stricter than CuPy and the driver, which check no count and read
        # one value per declared parameter from whatever pointers they are
        # given: this catches our own mistakes here, but code must never
        # rely on it on a GPU.
        raise driver.CUDADriverError(driver.CUDA_ERROR_INVALID_VALUE)
    if (b[0] > 1024 or b[1] > 1024 or b[2] > 64 or b[0] * b[1] * b[2] > 1024
            or g[0] >= 2 ** 31 or g[1] > 65535 or g[2] > 65535
            or not 0 <= shared_mem <= 48 * 1024):
        raise driver.CUDADriverError(driver.CUDA_ERROR_INVALID_VALUE)
    # Each value gets at least as many bytes as its parameter reads, so a
    # too-short value reads zeros instead of whatever follows it; the values
    # lie in one buffer, each at a multiple of 16 bytes.
    slots = [-(-max(len(r), size, 1) // 16) * 16
             for r, size in zip(raw, binary.sizes)]
    values = ctypes.create_string_buffer(
        b''.join([r.ljust(n, b'\0') for r, n in zip(raw, slots)]), sum(slots) + 16)
    base = ctypes.addressof(values)
    starts = itertools.accumulate(slots, initial=base)
    argv = (ctypes.c_void_p * max(1, len(raw)))(*itertools.islice(starts, len(raw)))
    if stream is None:
        stream = get_current_stream()
    _hostdevice.record_launch(_hostdevice.Launch(
        name, device, stream.ptr, tuple(g), tuple(b), shared_mem,
        tuple(devices)))
    binary.launch(_DIM3(*g), _DIM3(*b), argv, _workers())


class RawKernel:
    """A kernel given as CUDA C source, compiled at its first launch."""

    def __init__(self, code, name, options=(), backend='nvrtc', *,
                 translate_cucomplex=False, enable_cooperative_groups=False,
                 jitify=False):
        for arg, value, typ in (('code', code, str), ('name', name, str),
                                ('options', options, tuple)):
            if not isinstance(value, typ):
                raise TypeError(
                    "Argument '{}' has incorrect type (expected {}, got {})"
                    .format(arg, typ.__name__, type(value).__name__))
        self.code = code
        self.name = name
        self.__name__ = name
        self.options = options
        self.backend = backend
        self.enable_cooperative_groups = enable_cooperative_groups
        self._binary = None

    @property
    def kernel(self):
        if self._binary is None:
            runtime.getDevice()
            self._binary = _build(self.code, self.name, self.options)
        return self._binary

    def compile(self, log_stream=None):
        self.kernel

    def __call__(self, grid, block, args, *, shared_mem=0, stream=None):
        _launch(self.kernel, self.name, grid, block, args, shared_mem, stream)
