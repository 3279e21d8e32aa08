"""What the fuzz targets share: values made from the fuzzer's bytes (arrays, lying
array subclasses, odd built-ins), the errors that count as clear refusals, and
the checks whose failure is a finding.

A finding is anything that escapes a target's TestOneInput: an exception that
is not a clear refusal (SystemError, RecursionError, AssertionError from a
check, ...), or the child process dying (a crash, a hang past the timeout, a
blown memory limit). run.py reports it and keeps the input that caused it.
"""

import faulthandler
import importlib
import math
import os
import resource
import sys
import tempfile
import warnings

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))

sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src", "zemvara_source"))
from native_modules import NATIVE_MODULES  # noqa: E402  (modules.cmake: every extension module)

# The Python modules with entry points of their own, fuzzed beside the extension modules.
PYTHON_MODULES = ["zemvara.transform.resize", "zemvara.pipeline"]

# Instrument the package and the device stand-ins for coverage; the native
# modules themselves are not instrumented (their coverage shows only through
# the Python code they call back into).
with atheris.instrument_imports(include=["zemvara", "cupy", "tensorrt", "nvidia"]):
    import cupy as cp

    for _name in NATIVE_MODULES + PYTHON_MODULES:
        importlib.import_module(_name)

import cv2
import numpy as np
import torch

ON_HOST = os.environ.get("ZEMVARA_DEVICE") == "host"


class Finding(AssertionError):
    """A check failed: a wrong result, a lost file, a failure reported as success."""


def check(condition, message):
    if not condition:
        raise Finding(message)


# Clear refusals: the errors a caller can expect from bad input. A RuntimeError
# is one unless it is a RecursionError (the interpreter's stack overflowing).
REFUSALS = (TypeError, ValueError, IndexError, KeyError, AttributeError, OverflowError, ZeroDivisionError,
            NotImplementedError, OSError, MemoryError, RuntimeError, cv2.error, np.linalg.LinAlgError)


def refused(exc):
    """True when exc is a clear refusal (the caller re-raises it otherwise)."""
    return isinstance(exc, REFUSALS) and not isinstance(exc, RecursionError)


def call(f, *args, **kwargs):
    """f(*args, **kwargs), or None when it refuses clearly; anything else escapes as a finding."""
    try:
        return f(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - sorted into refusals and findings here
        if refused(exc):
            return None
        raise


def attempt(f, *args, **kwargs):
    """(True, f(...)) or (False, the clear refusal); anything else escapes as a finding."""
    try:
        return True, f(*args, **kwargs)
    except BaseException as exc:  # noqa: B036
        if refused(exc):
            return False, exc
        raise


# On the host device, device memory is host RAM: without caps, a large
# allocation that a caller may rightly ask for (a GPU would give it) fills
# the process's resident set until the fuzzer's RSS limit ends the child.
# Both caps lie below that limit (run.py's -rss_limit_mb), so such an
# allocation fails inside the call, as a clear refusal.
ADDRESS_SPACE = 5 << 30  # host allocations fail with MemoryError past it
DEVICE_MEMORY = 2 << 30  # device allocations fail with cupy's OutOfMemoryError past it


def limit_memory():
    """On the host device, a huge allocation fails fast (MemoryError) instead of growing the resident set."""
    if ON_HOST:
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, resource.RLIM_INFINITY))
        os.environ.setdefault("CUPY_GPU_MEMORY_LIMIT", str(DEVICE_MEMORY))


def work_dir():
    """A private folder (ZEMVARA_FUZZ_WORK, which run.py makes and removes, or a new one), made the
    current one: every path a target writes lies inside it."""
    d = os.environ.get("ZEMVARA_FUZZ_WORK") or tempfile.mkdtemp(prefix="zemvara-fuzz-")
    os.chdir(d)
    return d


# ----- values -------------------------------------------------------------------

DTYPES = [np.uint8, np.uint16, np.float16, np.float32, np.float64, np.int32, np.int8, np.bool_, np.complex64]
IMAGE_DTYPES = [np.uint8, np.uint16, np.float16, np.float32]
# Sizes a caller might pass: small ones, and some that no allocation can meet.
EXTREME_INTS = [-1, -7, 2**31 - 1, 2**31, 2**32 + 3, 2**63 - 1, 2**63, 2**64 + 5, -2**63]
FLOATS = [0.0, -0.0, 0.5, 1.0, 2.5, 1e-30, 1e30, -1e30, math.nan, math.inf, -math.inf]
EXTENSIONS = [".png", ".jpg", ".jpeg", ".tif", ".tiff", ".exr", ".bmp", ".ppm", ".PNG", ".EXR", ".webp", ""]


class MyInt(int):
    pass


class MyStr(str):
    pass


class MyTuple(tuple):
    pass


class Values:
    """Values drawn from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def below(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1) if n > 1 else 0

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def flag(self):
        return self.fdp.ConsumeBool()

    def small(self, top=8):
        return self.fdp.ConsumeIntInRange(0, top)

    def int_(self):
        return self.small(16) if self.below(4) else self.pick(EXTREME_INTS)

    def float_(self):
        return self.pick(FLOATS) if self.flag() else self.fdp.ConsumeRegularFloat()

    def shape(self, rank=None, top=7):
        rank = self.below(5) if rank is None else rank
        return tuple(self.small(top) if self.below(8) else self.small(1) for _ in range(rank))

    def host_array(self, shape=None, dtype=None):
        shape = self.shape() if shape is None else shape
        dtype = np.dtype(self.pick(DTYPES) if dtype is None else dtype)
        seed = self.fdp.ConsumeIntInRange(0, 2**32 - 1)
        rng = np.random.default_rng(seed)
        if dtype.kind == "f" and self.below(4) == 0:
            values = rng.choice(np.array(FLOATS), size=shape)  # the odd floats
        elif dtype.kind in "fc":
            values = rng.uniform(-2.0, 4.0, size=shape)
        elif dtype.kind == "b":
            values = rng.integers(0, 2, size=shape)
        else:
            info = np.iinfo(dtype)
            values = rng.integers(info.min, info.max, size=shape, endpoint=True)
        return np.asarray(values).astype(dtype)

    def device_array(self, shape=None, dtype=None):
        a = cp.asarray(self.host_array(shape, dtype))
        view = self.below(5)
        if view == 1 and a.ndim:
            a = a[::-1]
        elif view == 2 and a.ndim >= 2:
            a = a.swapaxes(0, 1)
        elif view == 3 and a.ndim:
            a = a[..., ::2]
        return a

    def liar(self, base=None):
        """A cp.ndarray subclass over base's memory whose attributes lie, always or after some reads."""
        base = self.device_array() if base is None else base
        lies = {}
        for name in ("shape", "dtype", "strides", "data", "size", "ndim", "itemsize", "nbytes"):
            if self.below(3) == 0:
                lies[name] = (self.fake(name, base), self.below(4))  # the answer, and after how many reads
        cls = type("Liar", (cp.ndarray,), {name: _lying_property(name, *lie) for name, lie in lies.items()})
        return cls(base.shape, base.dtype, memptr=base.data, strides=base.strides)

    def fake(self, name, base):
        if name == "shape":
            return self.pick([self.shape(), (2**23, 2**23, 3), tuple(d + 1 for d in base.shape), ()])
        if name == "dtype":
            return np.dtype(self.pick(DTYPES))
        if name == "strides":
            return tuple(self.pick([0, 1, 4, -4, 2**40]) for _ in range(base.ndim))
        if name == "data":
            return cp.zeros(self.pick([1, 4096, 1 << 20]), cp.uint8).data
        return self.pick([0, 1, 3, -1, 2**40, 2**63])

    def text(self):
        kind = self.below(4)
        if kind == 0:
            return "x" + self.pick(EXTENSIONS)
        if kind == 1:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.small(12)).replace("/", "_")
        return self.pick(["fp32", "fp16", "uint8", "uint16", "float32", "", "x\0.png", "a.png", "nchw", ".jpg"])

    def value(self, depth=0):
        """Any argument at all."""
        kind = self.below(20)
        if kind == 0:
            return None
        if kind == 1:
            return self.flag()
        if kind in (2, 3):
            return self.int_()
        if kind == 4:
            return self.float_()
        if kind == 5:
            return self.text()
        if kind == 6:
            return self.fdp.ConsumeBytes(self.small(32))
        if kind == 7 and depth < 2:
            return tuple(self.value(depth + 1) for _ in range(self.small(4)))
        if kind == 8 and depth < 2:
            return [self.value(depth + 1) for _ in range(self.small(4))]
        if kind == 9:
            return self.pick([MyInt(self.small()), MyStr("x.png"), MyTuple(self.shape(2)), bytearray(b"\x89PNG")])
        if kind == 10:
            return self.shape()
        if kind in (11, 12):
            return self.host_array()
        if kind in (13, 14, 15):
            return self.device_array()
        if kind in (16, 17):
            return self.liar()
        if kind == 18:
            return torch.from_numpy(self.host_array(dtype=self.pick(IMAGE_DTYPES[::3])))
        return self.pick([object(), np.float32(1.5), np.int64(3), {"a": 1}, cp.float32(2)])


def _lying_property(name, answer, truthful_reads):
    """A property that answers truthfully truthful_reads times, then `answer` for ever."""
    own = getattr(cp.ndarray, name)
    reads = [0]

    def get(self):
        reads[0] += 1
        return own.__get__(self) if reads[0] <= truthful_reads else answer

    return property(get)


def run(test_one_input, seeds=None):
    """Sets the process up and hands over to the fuzzer. With ZEMVARA_FUZZ_SEEDS naming an empty
    folder, the target's seed inputs are written there first (the folder is then its corpus)."""
    warnings.simplefilter("ignore")  # overflow in casts of odd values and the like: expected, and noisy
    faulthandler.enable()  # a crash prints the Python stack that led to it
    limit_memory()
    corpus = os.environ.get("ZEMVARA_FUZZ_SEEDS")
    work_dir()
    if seeds is not None and corpus and os.path.isdir(corpus) and not os.listdir(corpus):
        for i, seed in enumerate(seeds()):
            with open(os.path.join(corpus, f"seed-{i:03d}"), "wb") as f:
                f.write(seed)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
