"""Element-type conversions of images: `to_uint8`, `to_uint16`, `to_float16`, `to_float32`.

Each function takes one CuPy or NumPy array and returns an array of the same
kind and shape with the named element type. An array that already has that
element type is returned as it is (the same object, no copy); every other call
returns a new array.

Scaling convention, the same for all four functions:

- Floating-point images have the nominal range 0 to 1. uint8 maps its full
  range 0..255 and uint16 its full range 0..65535 onto it: an integer value v
  of maximum M stands for v / M.
- Integer to floating point: v / M, computed in float32 (float64 for the wide
  integer types below) and rounded once to the target type.
- Floating point to integer: v * M, rounded to the nearest integer (ties to
  even) and clipped to 0..M. NaN becomes 0, +inf becomes M, -inf becomes 0.
  float16 and float32 sources are scaled in float32, float64 sources in
  float64.
- uint8 to uint16 multiplies by 257 exactly (0 -> 0, 255 -> 65535);
  uint16 to uint8 is round(v / 257), so the round trip uint8 -> uint16 -> uint8
  gives back every value.
- Between floating-point types values are kept as they are, outside 0..1,
  negative, inf and NaN included (high-dynamic-range data survives); only the
  precision changes, and float32/float64 values beyond float16's range
  (about 65504) become +-inf in `to_float16`.
- bool: False is 0 and True is the maximum (1.0, 255 or 65535).
- Other integer types (int8, int16, int32, int64, uint32, uint64) are scaled by
  their own positive maximum P: v stands for v / P, so negative values become
  negative floats and are clipped to 0 by the conversions to uint8 and uint16.
  They are computed in float64.
- Any other element type (complex, object, strings, datetimes) raises
  TypeError.

On CuPy arrays every conversion is one elementwise kernel: a single pass over
the data on the device with the whole arithmetic fused in one expression. The
kernels are built on first use and kept for later calls. On NumPy arrays the
conversions work with in-place ufuncs on at most one temporary array (and a
mask over it when NaN occur).
"""

import cupy as cp
import numpy as np

_UINT8 = np.dtype(np.uint8)
_UINT16 = np.dtype(np.uint16)
_FLOAT16 = np.dtype(np.float16)
_FLOAT32 = np.dtype(np.float32)
_FLOAT64 = np.dtype(np.float64)

# Maximum of each unsigned target type: the value that stands for 1.0.
_TARGET_MAX = {_UINT8: 255, _UINT16: 65535}

# CUDA C names of the target types, for the casts inside the kernels.
_C_TYPE = {_UINT8: "unsigned char", _UINT16: "unsigned short", _FLOAT16: "float", _FLOAT32: "float"}

# Compiled kernels by (source element type, target element type).
_kernels = {}


def _category(src, name):
    """How a source element type is scaled: "float", "uint8", "uint16", "bool" or "int"."""
    if src == _UINT8:
        return "uint8"
    if src == _UINT16:
        return "uint16"
    if src.kind == "f":
        return "float"
    if src.kind == "b":
        return "bool"
    if src.kind in "iu":
        return "int"
    raise TypeError(f"{name}() cannot convert an image of element type {src}")


def _literal(value):
    """A double literal for a kernel source, exact for every value used here."""
    return repr(float(value))


def _operation(src, dst, category):
    """The fused CUDA C expression that converts x (type src) into y (type dst)."""
    cast = _C_TYPE[dst]
    if dst.kind == "f":
        if category == "bool":
            return "y = x ? 1.0f : 0.0f"
        if category in ("uint8", "uint16"):
            m = _TARGET_MAX[src]
            return f"y = (float)x / {m}.0f"
        # Wide or signed integers: v / P in double, rounded once to the target.
        p = np.iinfo(src).max
        return f"y = ({cast})((double)x / {_literal(p)})"
    m = _TARGET_MAX[dst]
    if category == "bool":
        return f"y = x ? {m} : 0"
    if category == "uint8":  # to uint16
        return f"y = ({cast})(x * 257)"
    if category == "uint16":  # to uint8: round(v / 257) in integer arithmetic
        return f"y = ({cast})(((unsigned int)x + 128u) / 257u)"
    if category == "float":
        # fmax(NaN, 0) is 0, so NaN ends at 0 without a separate test.
        if src == _FLOAT64:
            return f"y = ({cast})fmin(fmax(rint((double)x * {m}.0), 0.0), {m}.0)"
        return f"y = ({cast})fminf(fmaxf(rintf((float)x * {m}.0f), 0.0f), {m}.0f)"
    p = np.iinfo(src).max
    return f"y = ({cast})fmin(fmax(rint((double)x * {m}.0 / {_literal(p)}), 0.0), {m}.0)"


def _kernel(src, dst, category):
    key = (src, dst)
    kernel = _kernels.get(key)
    if kernel is None:
        kernel = cp.ElementwiseKernel(
            "T x",
            f"{dst.name} y",
            _operation(src, dst, category),
            f"zemvara_{src.name}_to_{dst.name}",
        )
        _kernels[key] = kernel
    return kernel


def _convert_numpy(x, dst, category):
    """The NumPy counterpart of the kernels, value for value."""
    src = x.dtype
    if category == "bool":
        out = x.astype(dst)
        if dst.kind != "f":
            np.multiply(out, _TARGET_MAX[dst], out=out)
        return out
    if dst.kind == "f":
        if category in ("uint8", "uint16"):
            t = np.divide(x, np.float32(_TARGET_MAX[src]), out=np.empty_like(x, dtype=_FLOAT32))
        else:
            t = np.divide(x, np.float64(np.iinfo(src).max), out=np.empty_like(x, dtype=_FLOAT64))
            # Through float32, as the kernels do, so both kinds give the same float16 values.
            t = t.astype(_FLOAT32)
        return t if t.dtype == dst else t.astype(dst)
    m = _TARGET_MAX[dst]
    if category == "uint8":
        return np.multiply(x, np.uint16(257), out=np.empty_like(x, dtype=_UINT16))
    if category == "uint16":
        # round(v / 257) == (255 v + 32895) >> 16 for every uint16 v; 32 bits suffice.
        t = np.multiply(x, np.uint32(255), out=np.empty_like(x, dtype=np.uint32))
        np.add(t, np.uint32(32895), out=t)
        np.right_shift(t, 16, out=t)
        return t.astype(dst)
    if category == "float":
        ct = _FLOAT64 if src == _FLOAT64 else _FLOAT32
        t = np.multiply(x, ct.type(m), out=np.empty_like(x, dtype=ct))
    else:
        t = np.multiply(x, np.float64(m), out=np.empty_like(x, dtype=_FLOAT64))
        np.divide(t, np.float64(np.iinfo(src).max), out=t)
    np.clip(t, 0, m, out=t)
    np.rint(t, out=t)
    # NaN passes clip; min() propagates it, which is a faster test than fmax/fmin.
    if np.isnan(t.min(initial=0)):
        np.copyto(t, 0, where=np.isnan(t))
    return t.astype(dst)


def _convert(image, dst, name):
    if isinstance(image, cp.ndarray):
        src = image.dtype
        if src == dst:
            return image
        category = _category(src, name)
        if category == "float" and dst.kind == "f":
            return image.astype(dst)
        return _kernel(src, dst, category)(image)
    image = np.asarray(image)
    src = image.dtype
    if src == dst:
        return image
    category = _category(src, name)
    if category == "float" and dst.kind == "f":
        with np.errstate(over="ignore"):  # beyond float16's range becomes inf, as documented
            return image.astype(dst)
    return _convert_numpy(image, dst, category)


def to_uint8(image):
    """Convert an image to uint8 (0..255): floats scaled by 255, uint16 by 1/257, rounded and clipped."""
    return _convert(image, _UINT8, "to_uint8")


def to_uint16(image):
    """Convert an image to uint16 (0..65535): floats scaled by 65535, uint8 by 257, rounded and clipped."""
    return _convert(image, _UINT16, "to_uint16")


def to_float16(image):
    """Convert an image to float16: integers scaled to 0..1 by their maximum, floats kept as they are."""
    return _convert(image, _FLOAT16, "to_float16")


def to_float32(image):
    """Convert an image to float32: integers scaled to 0..1 by their maximum, floats kept as they are."""
    return _convert(image, _FLOAT32, "to_float32")
