"""NVRTC, when it can be found: every kernel source must also compile for a GPU.

The library is looked for in the NVIDIA wheels on sys.path and in the CUDA
toolkits under /usr/local.  HOSTDEVICE_NVRTC names the library file to use
instead, or turns the check off with "0".
"""

import contextlib
import ctypes
import glob
import os
import re
import sys

_PATTERNS = (
    'nvidia/cuda_nvrtc/lib/libnvrtc.so*',
    'nvidia/cu13/lib/libnvrtc.so*',
    'nvidia/cu12/lib/libnvrtc.so*',
)
_ENTRY = re.compile(r'\.entry\s+([A-Za-z_$][\w$]*)\s*\(')

_lib = None
_looked = False
NVRTC_ERROR_COMPILATION = 6


def find_library():
    """Path of libnvrtc, or None."""
    chosen = os.environ.get('HOSTDEVICE_NVRTC')
    if chosen is not None:
        return None if chosen in ('', '0') else chosen
    for base in sys.path:
        if not os.path.isdir(os.path.join(base, 'nvidia')):
            continue
        for pattern in _PATTERNS:
            found = _pick(glob.glob(os.path.join(base, pattern)))
            if found:
                return found
    roots = [os.environ.get('CUDA_PATH'), os.environ.get('CUDA_HOME'),
             '/usr/local/cuda'] + sorted(glob.glob('/usr/local/cuda-*'),
                                         reverse=True)
    for root in roots:
        if root:
            found = _pick(glob.glob(os.path.join(root, 'lib64',
                                                 'libnvrtc.so*')))
            if found:
                return found
    return None


def _pick(paths):
    # The builtins library matches libnvrtc.so* only via "-builtins"; skip it.
    paths = [p for p in paths if 'builtins' not in os.path.basename(p)]
    return min(paths, key=len) if paths else None


def _load():
    global _lib, _looked
    if not _looked:
        _looked = True
        path = find_library()
        if path is not None:
            # NVRTC opens its builtins library by name at the first compile,
            # searching beside itself; under a preloaded sanitizer runtime
            # that search fails, so load it here first.
            for builtins in glob.glob(os.path.join(
                    os.path.dirname(path), 'libnvrtc-builtins.so*')):
                try:
                    ctypes.CDLL(builtins, mode=ctypes.RTLD_GLOBAL)
                except OSError:
                    pass
            try:
                lib = ctypes.CDLL(path)
            except OSError:
                return None
            p = ctypes.c_void_p
            lib.nvrtcCreateProgram.argtypes = [
                ctypes.POINTER(p), ctypes.c_char_p, ctypes.c_char_p,
                ctypes.c_int, p, p]
            lib.nvrtcCompileProgram.argtypes = [
                p, ctypes.c_int, ctypes.POINTER(ctypes.c_char_p)]
            for f in ('nvrtcGetProgramLogSize', 'nvrtcGetPTXSize'):
                getattr(lib, f).argtypes = [p, ctypes.POINTER(ctypes.c_size_t)]
            for f in ('nvrtcGetProgramLog', 'nvrtcGetPTX'):
                getattr(lib, f).argtypes = [p, ctypes.c_char_p]
            lib.nvrtcDestroyProgram.argtypes = [ctypes.POINTER(p)]
            lib.nvrtcGetErrorString.restype = ctypes.c_char_p
            lib.path = path
            _lib = lib
    return _lib


_identity = []


def identity():
    """What tells the NVRTC library apart in the cache keys, without loading
    it (loading maps tens of MB): its path, size and modification time; None
    where there is none."""
    if not _identity:
        path = find_library()
        try:
            st = os.stat(path) if path is not None else None
        except OSError:
            st = None
        _identity.append(None if st is None else
                         (path, st.st_size, st.st_mtime_ns))
    return _identity[0]


def available():
    return _load() is not None


def library_path():
    """Path of the loaded NVRTC library, or None."""
    lib = _load()
    return None if lib is None else lib.path


def version():
    lib = _load()
    major, minor = ctypes.c_int(), ctypes.c_int()
    lib.nvrtcVersion(ctypes.byref(major), ctypes.byref(minor))
    return major.value, minor.value


def arch():
    return os.environ.get('HOSTDEVICE_NVRTC_ARCH', '90')


def gpu_options(options):
    """The options CuPy 14 hands NVRTC for a RawKernel with these options.

    C++17 unless the caller names a dialect, flush-to-zero, and a virtual
    architecture.  CuPy also adds include paths (its own headers, the bundled
    CCCL, the CUDA toolkit's include folder); none of our sources include
    anything, so they are left out and a source that does fails here.
    """
    options = tuple(options)
    if not any('-std=' in o for o in options):
        options += ('--std=c++17',)
    return options + ('-ftz=true', '-arch=compute_' + arch())


def failure(lib, status, log, source, options):
    """CuPy's CompileException for a failure that is no verdict on the
    source (an unknown option, a missing builtins library): raised rather
    than returned, so that no cache keeps it."""
    from .cuda.compiler import CompileException
    text = log.strip() or lib.nvrtcGetErrorString(status).decode()
    return CompileException(text, source, 'kern.cu', tuple(options), 'nvrtc')


@contextlib.contextmanager
def program(source, options, program_name='kern.cu', names=()):
    """Compile with NVRTC, each of `names` added as a name expression first.
    Yields (lib, prog, log, ptx), ptx None where the source does not
    compile; the program is destroyed on leaving."""
    lib = _load()
    prog = ctypes.c_void_p()
    status = lib.nvrtcCreateProgram(ctypes.byref(prog), source.encode(),
                                    program_name.encode(), 0, None, None)
    if status != 0:
        raise RuntimeError('nvrtcCreateProgram: ' +
                           lib.nvrtcGetErrorString(status).decode())
    try:
        for name in names:
            lib.nvrtcAddNameExpression(prog, name.encode())
        opts = (ctypes.c_char_p * len(options))(
            *[o.encode() for o in options])
        status = lib.nvrtcCompileProgram(prog, len(options), opts)
        size = ctypes.c_size_t()
        lib.nvrtcGetProgramLogSize(prog, ctypes.byref(size))
        buf = ctypes.create_string_buffer(size.value)
        lib.nvrtcGetProgramLog(prog, buf)
        log = buf.value.decode(errors='replace')
        ptx = None
        if status != 0 and status != NVRTC_ERROR_COMPILATION:
            raise failure(lib, status, log, source, options)
        if status == 0:
            lib.nvrtcGetPTXSize(prog, ctypes.byref(size))
            text = ctypes.create_string_buffer(size.value)
            lib.nvrtcGetPTX(prog, text)
            ptx = text.value.decode(errors='replace')
        yield lib, prog, log, ptx
    finally:
        lib.nvrtcDestroyProgram(ctypes.byref(prog))


def compile(source, options, program_name='kern.cu'):
    """Compile to PTX.  Returns (ok, log, kernel entry names)."""
    with program(source, options, program_name) as (_, _, log, ptx):
        if ptx is None:
            return False, log, []
        return True, log, _ENTRY.findall(ptx)
