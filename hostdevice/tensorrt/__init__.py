"""Stand-in for the TensorRT Python module ``tensorrt`` (the runtime side).

It loads engines in the stand-in's own file format (``tensorrt.engines``
documents it and writes them) and runs them through the array library in
use: CuPy, or the host device's CuPy on a machine without a GPU. So the same
stand-in runs here and on a real GPU.

Behaviour of the real library that is modelled:

- ``Logger(min_severity)`` with ``Logger.Severity`` (and the aliases
  ``Logger.ERROR``, ``Logger.WARNING``, ...); messages at or above the
  threshold go to standard error, prefixed "[TRT] [E]" and the like.
- ``Runtime(logger).deserialize_cuda_engine(buffer)`` returns an engine, or
  logs an error and returns None for bytes that are not an engine. The
  engine belongs to the device current at that moment.
- ``ICudaEngine``: ``num_io_tensors``, ``get_tensor_name(i)``, indexing by
  position (``engine[i]``, so ``for name in engine`` yields the names in
  engine order), ``get_tensor_mode``, ``get_tensor_dtype``,
  ``get_tensor_shape`` (-1 for dynamic dimensions),
  ``get_tensor_profile_shape(name, profile_index)`` (min, opt, max),
  ``num_optimization_profiles``, ``create_execution_context()``.
- ``IExecutionContext``: ``get_tensor_shape`` (an input's dynamic dimensions
  are -1 until ``set_input_shape``; outputs follow from the inputs),
  ``set_input_shape`` (False, with an error logged, for a shape outside the
  profile), ``set_tensor_address``/``get_tensor_address``,
  ``all_binding_shapes_specified`` and ``execute_async_v3(stream_handle)``.
  Enqueuing refuses to run (logs an error, returns False) when an input
  shape is unset, an address is unset, or a bound address does not hold the
  tensor's bytes (checked where the array library can tell: the host
  device knows every allocation; real CuPy is given the benefit of doubt).
- ``DataType``, ``TensorIOMode``, ``Dims`` and ``nptype``.

The network runs on the stream whose raw handle is given (wrapped as
``cupy.cuda.ExternalStream``) on the engine's device, and it reads and writes
device memory only at the bound addresses.
"""

import enum
import sys
import time

import numpy as np

from . import engines as _engines

__version__ = "10.0.0+hostdevice"


# ----- types ---------------------------------------------------------------

class DataType(enum.Enum):
    """Element types of tensors."""

    FLOAT = 0
    HALF = 1
    INT8 = 2
    INT32 = 3
    BOOL = 4
    UINT8 = 5
    FP8 = 6
    BF16 = 7
    INT64 = 8
    INT4 = 9

    @property
    def itemsize(self):
        return {0: 4, 1: 2, 2: 1, 3: 4, 4: 1, 5: 1, 6: 1, 7: 2, 8: 8}.get(self.value, 0)


class TensorIOMode(enum.Enum):
    """IO tensor modes."""

    NONE = 0
    INPUT = 1
    OUTPUT = 2


_NPTYPES = {
    DataType.FLOAT: np.float32, DataType.HALF: np.float16, DataType.INT8: np.int8,
    DataType.INT32: np.int32, DataType.BOOL: np.bool_, DataType.UINT8: np.uint8,
    DataType.INT64: np.int64,
}


def nptype(trt_type):
    """The NumPy scalar type of a TensorRT data type."""
    try:
        return _NPTYPES[trt_type]
    except (KeyError, TypeError):
        raise TypeError("Could not resolve TensorRT datatype to an equivalent numpy datatype.") from None


class Dims:
    """A shape: indexable and iterable like a tuple, printed like one."""

    MAX_DIMS = 8

    def __init__(self, shape=()):
        self._d = tuple(int(d) for d in shape)
        if len(self._d) > self.MAX_DIMS:
            raise ValueError("The number of input dims exceeds the maximum allowed number of dimensions")

    def __len__(self):
        return len(self._d)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return Dims(self._d[index])
        return self._d[index]

    def __eq__(self, other):
        if isinstance(other, Dims):
            return self._d == other._d
        if isinstance(other, (tuple, list)):
            return self._d == tuple(other)
        return NotImplemented

    __hash__ = None

    def __str__(self):
        return str(self._d)

    __repr__ = __str__


Dims.__module__ = "tensorrt.tensorrt"


# ----- logging ---------------------------------------------------------------

class ILogger:
    """Base of loggers."""

    class Severity(enum.IntEnum):
        INTERNAL_ERROR = 0
        ERROR = 1
        WARNING = 2
        INFO = 3
        VERBOSE = 4

    INTERNAL_ERROR = Severity.INTERNAL_ERROR
    ERROR = Severity.ERROR
    WARNING = Severity.WARNING
    INFO = Severity.INFO
    VERBOSE = Severity.VERBOSE

    def log(self, severity, msg):
        raise NotImplementedError


_TAGS = "FEWIV"


class Logger(ILogger):
    """The library's logger: prints messages at or above its threshold to standard error."""

    def __init__(self, min_severity=ILogger.Severity.WARNING):
        self.min_severity = ILogger.Severity(min_severity)

    def log(self, severity, msg):
        severity = ILogger.Severity(severity)
        if severity <= self.min_severity:
            stamp = time.strftime("%m/%d/%Y-%H:%M:%S")
            print(f"[{stamp}] [TRT] [{_TAGS[severity]}] {msg}", file=sys.stderr)


def _error(logger, msg):
    logger.log(ILogger.Severity.ERROR, msg)


# ----- runtime and engine ------------------------------------------------------

class Runtime:
    """Deserialises engines."""

    def __init__(self, logger):
        if not isinstance(logger, ILogger):
            raise TypeError("__init__(): incompatible constructor arguments; expected a tensorrt.ILogger")
        self.logger = logger

    def deserialize_cuda_engine(self, serialized_engine):
        """The engine held by a buffer (bytes, bytearray, memoryview, ...), or None."""
        try:
            data = memoryview(serialized_engine).tobytes()
        except TypeError:
            raise TypeError("deserialize_cuda_engine(): incompatible function arguments; "
                            "expected a buffer") from None
        try:
            doc = _engines.parse(data)
        except ValueError as e:
            _error(self.logger, f"IRuntime::deserializeCudaEngine: Error Code 1: Serialization ({e})")
            return None
        return ICudaEngine(doc, self.logger, _current_device())


class _Tensor:
    __slots__ = ("name", "mode", "dtype", "shape", "profile")

    def __init__(self, t):
        self.name = t["name"]
        self.mode = TensorIOMode.INPUT if t["mode"] == "input" else TensorIOMode.OUTPUT
        self.dtype = DataType[t["dtype"]]
        self.shape = tuple(t["shape"])
        self.profile = tuple(tuple(p) for p in t["profile"]) if "profile" in t else None


class ICudaEngine:
    """An engine: its IO tensors in engine order and its network."""

    def __init__(self, doc, logger, device_id):
        self._logger = logger
        self._device_id = device_id
        self._network = doc["network"]
        self._tensors = [_Tensor(t) for t in doc["tensors"]]
        self._by_name = {t.name: t for t in self._tensors}
        self.name = doc.get("name", "")

    @property
    def num_io_tensors(self):
        return len(self._tensors)

    @property
    def num_optimization_profiles(self):
        return 1

    def get_tensor_name(self, index):
        if not 0 <= index < len(self._tensors):
            _error(self._logger, f"ICudaEngine::getIOTensorName: index {index} out of range")
            return None
        return self._tensors[index].name

    def __getitem__(self, index):
        if not isinstance(index, int):
            raise TypeError("__getitem__(): incompatible function arguments")
        if index < 0:
            index += len(self._tensors)
        if not 0 <= index < len(self._tensors):
            raise IndexError
        return self._tensors[index].name

    def _tensor(self, name, what):
        t = self._by_name.get(name)
        if t is None:
            _error(self._logger, f"{what}: no tensor named {name!r}")
        return t

    def get_tensor_mode(self, name):
        t = self._by_name.get(name)
        return TensorIOMode.NONE if t is None else t.mode

    def get_tensor_dtype(self, name):
        t = self._tensor(name, "ICudaEngine::getTensorDataType")
        return DataType.FLOAT if t is None else t.dtype

    def get_tensor_shape(self, name):
        t = self._tensor(name, "ICudaEngine::getTensorShape")
        return Dims() if t is None else Dims(t.shape)

    def get_tensor_profile_shape(self, name, profile_index):
        t = self._tensor(name, "ICudaEngine::getProfileShape")
        if t is None or t.mode is not TensorIOMode.INPUT or profile_index != 0:
            if t is not None:
                _error(self._logger, "ICudaEngine::getProfileShape: not an input of profile "
                                     f"{profile_index}: {name!r}")
            return [Dims(), Dims(), Dims()]
        if t.profile is None:
            return [Dims(t.shape)] * 3
        return [Dims(p) for p in t.profile]

    def create_execution_context(self):
        return IExecutionContext(self)


for _cls in (ILogger, Logger, Runtime, ICudaEngine):
    _cls.__module__ = "tensorrt.tensorrt"


# ----- execution ------------------------------------------------------------

class IExecutionContext:
    """Input shapes and tensor addresses of one execution of an engine."""

    def __init__(self, engine):
        self.engine = engine
        self._logger = engine._logger
        self._shapes = {t.name: t.shape for t in engine._tensors if t.mode is TensorIOMode.INPUT}
        self._addresses = {}
        self.name = ""

    def _tensor(self, name, what):
        return self.engine._tensor(name, f"IExecutionContext::{what}")

    def _inputs(self):
        return [t for t in self.engine._tensors if t.mode is TensorIOMode.INPUT]

    def _outputs(self):
        return [t for t in self.engine._tensors if t.mode is TensorIOMode.OUTPUT]

    def get_tensor_shape(self, name):
        t = self._tensor(name, "getTensorShape")
        if t is None:
            return Dims()
        if t.mode is TensorIOMode.INPUT:
            return Dims(self._shapes[name])
        ins = self._inputs()
        if ins and self._outputs()[0] is t and -1 not in self._shapes[ins[0].name]:
            return Dims(_engines.output_shape(self.engine._network, self._shapes[ins[0].name]))
        return Dims(t.shape)

    def set_input_shape(self, name, shape):
        t = self._tensor(name, "setInputShape")
        if t is None:
            return False
        if t.mode is not TensorIOMode.INPUT:
            _error(self._logger, f"IExecutionContext::setInputShape: {name!r} is not an input tensor")
            return False
        shape = tuple(int(d) for d in shape)
        lo, _, hi = t.profile or (t.shape, t.shape, t.shape)
        if len(shape) != len(t.shape) or not all(a <= d <= b for a, d, b in zip(lo, shape, hi)):
            _error(self._logger, f"IExecutionContext::setInputShape: Error Code 3: API Usage Error "
                                 f"(shape {Dims(shape)} of {name!r} is outside its profile: "
                                 f"min {Dims(lo)}, max {Dims(hi)})")
            return False
        self._shapes[name] = shape
        return True

    @property
    def all_binding_shapes_specified(self):
        return all(-1 not in s for s in self._shapes.values())

    def set_tensor_address(self, name, memory):
        if self._tensor(name, "setTensorAddress") is None:
            return False
        self._addresses[name] = int(memory)
        return True

    def get_tensor_address(self, name):
        return self._addresses.get(name, 0)

    def execute_async_v3(self, stream_handle):
        """Enqueue the network on the stream `stream_handle`; False if it cannot run."""
        stream_handle = int(stream_handle)
        for name, shape in self._shapes.items():
            if -1 in shape:
                _error(self._logger, f"IExecutionContext::enqueueV3: Error Code 3: API Usage Error "
                                     f"(input shape of {name!r} is not specified)")
                return False
        views = {}
        for t in self.engine._tensors:
            shape = tuple(self.get_tensor_shape(t.name))
            ptr = self._addresses.get(t.name, 0)
            if ptr == 0:
                _error(self._logger, f"IExecutionContext::enqueueV3: Error Code 3: API Usage Error "
                                     f"(address is not set for tensor {t.name!r})")
                return False
            nbytes = int(np.prod(shape, dtype=np.int64)) * np.dtype(nptype(t.dtype)).itemsize
            room = _room(ptr)
            if room is not None and room < nbytes:
                _error(self._logger, f"IExecutionContext::enqueueV3: Error Code 1: Cuda Runtime "
                                     f"(illegal memory access: tensor {t.name!r} needs {nbytes} bytes "
                                     f"at 0x{ptr:x}, {room} are allocated there)")
                return False
            views[t.name] = (ptr, shape, nptype(t.dtype), nbytes)
        ins, outs = self._inputs(), self._outputs()
        if ins and outs:
            _run(self.engine, views[ins[0].name], views[outs[0].name], stream_handle)
        return True


IExecutionContext.__module__ = "tensorrt.tensorrt"


# ----- the network, through the array library -------------------------------------

def _current_device():
    import cupy

    return cupy.cuda.Device().id


def _room(ptr):
    """Bytes from ptr to the end of its allocation, where the array library can tell."""
    import cupy

    hostdevice = getattr(cupy, "_hostdevice", None)
    if hostdevice is None:
        return None
    from cupy import _memory

    found = _memory.find(ptr)
    return 0 if found is None else found[0].size - found[1]


def _array(cupy, ptr, shape, dtype, nbytes):
    mem = cupy.cuda.UnownedMemory(ptr, nbytes, None)
    return cupy.ndarray(shape, dtype, memptr=cupy.cuda.MemoryPointer(mem, 0))


def _axis(cupy, n, factor, filter):
    """Source indices (and weights) along one axis of n samples upscaled by factor."""
    o = np.arange(n * factor)
    if filter == "nearest":
        return cupy.asarray(o // factor), None, None
    s = np.maximum((o + 0.5) / factor - 0.5, 0.0)
    i0 = np.floor(s).astype(np.int64)
    i1 = np.minimum(i0 + 1, n - 1)
    w = (s - i0).astype(np.float32)
    return cupy.asarray(i0), cupy.asarray(i1), cupy.asarray(w)


def _run(engine, src, dst, stream_handle):
    import cupy

    net = engine._network
    with cupy.cuda.Device(engine._device_id), cupy.cuda.ExternalStream(stream_handle):
        x = _array(cupy, *src)
        y = _array(cupy, *dst)
        if net["op"] == "identity" or net["factor"] == 1:
            y[...] = x
            return
        f = int(net["factor"])
        _, _, h, w = x.shape
        x = x.astype(cupy.float32)
        r0, r1, rw = _axis(cupy, h, f, net["filter"])
        c0, c1, cw = _axis(cupy, w, f, net["filter"])
        if rw is None:
            y[...] = x[:, :, r0][:, :, :, c0]
            return
        rows = x[:, :, r0] * (1 - rw)[:, None] + x[:, :, r1] * rw[:, None]
        y[...] = rows[:, :, :, c0] * (1 - cw) + rows[:, :, :, c1] * cw
