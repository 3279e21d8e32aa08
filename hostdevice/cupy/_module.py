"""RawModule: one CUDA C++ source holding several kernels, template kernels included.

As in CuPy, the source is compiled at the first `get_function` (or `compile`),
and each C++ global or template kernel listed in `name_expressions` is
retrieved by that expression; what comes back is a RawKernel whose `name` is
the lowered (mangled) name. A name that is not one of the expressions is looked
up as it is, so it must be an `extern "C"` kernel.

On the host, each retrieved kernel is its own library, built from the source
with the launcher instantiated for the name expression itself. The whole source
is checked with NVRTC, name expressions included, exactly as a GPU build would
see it; NVRTC also gives the lowered names (without NVRTC they are the host
compiler's, which follows the same C++ ABI).
"""

import ctypes
import os

from . import _kernel, _nvrtc
from .cuda import driver, runtime
from .cuda.compiler import CompileException

_ADDRESS = '__hd_kernel_address'


class _DlInfo(ctypes.Structure):
    _fields_ = [('dli_fname', ctypes.c_char_p), ('dli_fbase', ctypes.c_void_p),
                ('dli_sname', ctypes.c_char_p), ('dli_saddr', ctypes.c_void_p)]


def _nvrtc_compile(source, options, names):
    """(ok, log, entries, {name expression: lowered name}), cached on disk;
    None where there is no NVRTC."""
    opts = _nvrtc.gpu_options(options)
    return _kernel.nvrtc_verdict('nvrtc-module', (opts, source, names),
                                 lambda: _nvrtc_run(source, opts, names))


def _nvrtc_run(source, opts, names):
    lib = _nvrtc._load()
    p = ctypes.c_void_p
    lib.nvrtcAddNameExpression.argtypes = [p, ctypes.c_char_p]
    lib.nvrtcGetLoweredName.argtypes = [p, ctypes.c_char_p,
                                        ctypes.POINTER(ctypes.c_char_p)]
    with _nvrtc.program(source, opts, names=names) as (lib, prog, log, ptx):
        if ptx is None:
            return [False, log, [], {}]
        entries = _nvrtc._ENTRY.findall(ptx)
        lowered = {}
        for name in names:
            out = ctypes.c_char_p()
            if lib.nvrtcGetLoweredName(prog, name.encode(),
                                       ctypes.byref(out)) == 0:
                lowered[name] = out.value.decode()
        return [True, log, entries, lowered]


class _TemplateBinary(_kernel._Binary):
    """A kernel library whose kernel is a C++ name, not an extern "C" symbol."""

    def __init__(self, path):
        # The library exports the kernel's address under a C name; the base
        # class looks the kernel up by that name.
        super().__init__(path, _ADDRESS)
        address = self.lib[_ADDRESS]
        address.restype = ctypes.c_void_p
        info = _DlInfo()
        libc = ctypes.CDLL(None)
        libc.dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
        found = libc.dladdr(address(), ctypes.byref(info))
        self.symbol = (info.dli_sname.decode()
                       if found and info.dli_sname else None)


_binaries = {}


def _build_template(code, expression, options):
    """The host library for the kernel named by a C++ name expression."""
    host_opts = _kernel._host_options(options)
    source = '{}\nextern "C" void *{}(void) {{ return (void *)&{}; }}\n'.format(
        code, _ADDRESS, expression)
    key = _kernel._hash('host-module', _kernel._compiler_version(),
                        _kernel._CXX_FLAGS, _kernel.HOST_REWRITE, host_opts, _kernel._PRELUDE,
                        _kernel._LAUNCHER, source, expression)

    def make():
        path = os.path.join(_kernel.cache_dir(), key + '.so')
        if not os.path.exists(path):
            _kernel._compile_host(source, expression, host_opts,
                                  _kernel._PRELUDE, path)
        return _TemplateBinary(path)

    return _kernel._built_once(_binaries, key, make)


class _TemplateKernel(_kernel.RawKernel):
    """A RawKernel for a name expression of a RawModule."""

    def __init__(self, code, name, options, expression):
        super().__init__(code, name, options)
        self._expression = expression

    @property
    def kernel(self):
        if self._binary is None:
            runtime.getDevice()
            self._binary = _build_template(self.code, self._expression,
                                           self.options)
        return self._binary


class RawModule:
    """User-defined module of CUDA C++ kernels, compiled at first use."""

    def __init__(self, *, code=None, path=None, options=(), backend='nvrtc',
                 translate_cucomplex=False, enable_cooperative_groups=False,
                 name_expressions=None, jitify=False):
        if (code is None) == (path is None):
            raise TypeError('Exactly one of `code` and `path` keyword '
                            'arguments must be given.')
        for arg, value, typ in (('code', code, str), ('path', path, str),
                                ('options', options, tuple),
                                ('backend', backend, str)):
            if value is not None and not isinstance(value, typ):
                raise TypeError(
                    "Argument '{}' has incorrect type (expected {}, got {})"
                    .format(arg, typ.__name__, type(value).__name__))
        if name_expressions is not None:
            if code is None:
                raise ValueError('need CUDA C++ code for the requested '
                                 'kernels')
            if backend != 'nvrtc':
                raise ValueError('only nvrtc supports retrieving the mangled '
                                 'names for the given name expressions')
            name_expressions = tuple(name_expressions)
        self.name_expressions = name_expressions
        self.code = code
        self.file_path = path
        self.enable_cooperative_groups = enable_cooperative_groups
        self.jitify = jitify
        if code is not None:
            self.options = options
            self.backend = backend
            self.translate_cucomplex = translate_cucomplex
        else:
            self.options = ()
            self.backend = 'nvcc'
            self.translate_cucomplex = False
        self._mapping = None

    @property
    def module(self):
        return self._module()

    def _module(self, log_stream=None):
        runtime.getDevice()
        if self.code is None:
            raise NotImplementedError(
                'the host device cannot load CUDA binaries ({})'.format(
                    self.file_path))
        if self._mapping is None:
            names = tuple(self.name_expressions or ())
            mapping = dict.fromkeys(names)
            verdict = _nvrtc_compile(self.code, self.options, names)
            if verdict is not None:
                ok, log, entries, lowered = verdict
                if not ok:
                    raise CompileException(
                        log, self.code, names[0] if names else '',
                        _nvrtc.gpu_options(self.options), 'nvrtc')
                mapping.update(lowered)
            self._mapping = mapping
        return self

    def compile(self, log_stream=None):
        self._module(log_stream)

    def get_function(self, name):
        if not isinstance(name, str):
            raise TypeError(
                "Argument 'name' has incorrect type (expected str, got {})"
                .format(type(name).__name__))
        mapping = self._module()._mapping
        if name not in mapping:
            kernel = _kernel.RawKernel(self.code, name, self.options,
                                       self.backend)
        else:
            kernel = _TemplateKernel(self.code, mapping[name] or name,
                                     self.options, name)
        binary = kernel.kernel  # built now, as CuPy loads it now
        if name in mapping and mapping[name] is None:
            if binary.symbol is None:
                raise driver.CUDADriverError(driver.CUDA_ERROR_NOT_FOUND)
            mapping[name] = kernel.name = kernel.__name__ = binary.symbol
        kernel.name_expressions = self.name_expressions
        kernel.file_path = self.file_path
        return kernel
