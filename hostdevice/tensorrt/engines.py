"""Serialised engines of the TensorRT stand-in: the file format and its writer.

A stand-in engine is a file (or the same bytes in memory) made of

    the 8-byte magic  b"ZVTRT\\x01\\r\\n"
    a UTF-8 JSON document (an object) with these members:

    "name"     str   the network's name (``ICudaEngine.name``)
    "network"  what the network computes from its first input tensor into its
               first output tensor, one of
                 {"op": "identity"}
                 {"op": "upscale", "factor": F, "filter": "nearest"|"bilinear"}
               with F an integer >= 1. The tensors are planar NCHW; every
               plane is upscaled on its own, the channel count is kept.
    "tensors"  the input and output tensors in engine order, each
                 {"name": str, "mode": "input"|"output",
                  "dtype": a DataType name ("FLOAT", "HALF", "UINT8", ...),
                  "shape": [d0, d1, ...],   # -1 marks a dynamic dimension
                  "profile": [min, opt, max]}
               "profile" is the one optimisation profile of a dynamic input
               (three shapes of the input's rank that agree with its static
               dimensions, min <= opt <= max); static inputs and outputs have
               none. An output's shape is what the network gives for the
               declared input shape (-1 where that depends on a dynamic
               dimension).

The network needs a rank-4 first input and first output of the same rank.
Further tensors are allowed: they are bound and checked like the others but
the network neither reads nor writes them; an engine without any input
writes nothing.

Bilinear upscaling takes half-pixel centres: output index o of an axis of
length n reads the source coordinate s = (o + 0.5) / F - 0.5, clamped below
at 0, between the samples floor(s) and min(floor(s) + 1, n - 1). Nearest
takes the sample o // F. Values are computed in float32 and converted into
the output tensor's type by assignment.

Anything else (another magic, bad JSON, a missing or ill-typed member) is
refused by ``Runtime.deserialize_cuda_engine``, which logs an error and
returns None, as the real runtime does with data that is not an engine.
"""

import json
import os

import numpy as np

MAGIC = b"ZVTRT\x01\r\n"

FILTERS = ("nearest", "bilinear")

# NumPy type names accepted by the writer, as TensorRT DataType names.
_DTYPE_NAMES = {
    "float32": "FLOAT", "float16": "HALF", "int8": "INT8", "int32": "INT32",
    "bool": "BOOL", "uint8": "UINT8", "int64": "INT64",
}

# A dynamic input's default profile: any frame from 1 x 1 to 8192 x 8192.
_MIN_SIDE, _OPT_SIDE, _MAX_SIDE = 1, 256, 8192


def _dtype_name(dtype):
    text = str(getattr(dtype, "__name__", dtype))
    if text.upper() in _DTYPE_NAMES.values():
        return text.upper()
    if text in _DTYPE_NAMES:
        return _DTYPE_NAMES[text]
    raise ValueError(f"no TensorRT data type for {dtype!r}")


def output_shape(network, shape):
    """The shape the network gives for an input of `shape` (-1 stays -1)."""
    shape = [int(d) for d in shape]
    if network["op"] == "identity":
        return shape
    f = int(network["factor"])
    return shape[:2] + [d * f if d >= 0 else -1 for d in shape[2:]]


def serialize(tensors, network, name="zemvara-standin"):
    """Engine bytes from a list of tensor dicts (as in the format) and a network."""
    doc = {"name": name, "network": dict(network), "tensors": [dict(t) for t in tensors]}
    return MAGIC + json.dumps(doc).encode("utf-8")


def engine(shape=(1, 3, -1, -1), factor=2, filter="nearest", dtype="float32",
           output_dtype=None, input_name="input", output_name="output",
           profile=None, name="zemvara-standin"):
    """Bytes of a one-input, one-output engine.

    factor=1 with filter "nearest" is the identity network ({"op":
    "identity"}); any other factor upscales. `shape` is the input's shape,
    -1 for dynamic dimensions; a dynamic input gets `profile` (min, opt,
    max) or, by default, batch and channels as given and sides from 1 to
    8192. The output's type is `output_dtype` (default: the input's).
    """
    if filter not in FILTERS:
        raise ValueError(f"filter must be one of {FILTERS}")
    if factor == 1 and filter == "nearest":
        network = {"op": "identity"}
    else:
        network = {"op": "upscale", "factor": int(factor), "filter": filter}
    shape = [int(d) for d in shape]
    inp = {"name": input_name, "mode": "input", "dtype": _dtype_name(dtype), "shape": shape}
    if any(d < 0 for d in shape):
        if profile is None:
            # batch and channels: 1 where dynamic; the sides: 1 to 8192
            profile = [[d if d >= 0 else (side if i >= 2 else 1) for i, d in enumerate(shape)]
                       for side in (_MIN_SIDE, _OPT_SIDE, _MAX_SIDE)]
        inp["profile"] = [[int(d) for d in p] for p in profile]
    out = {"name": output_name, "mode": "output",
           "dtype": _dtype_name(output_dtype or dtype),
           "shape": output_shape(network, shape)}
    return serialize([inp, out], network, name)


def identity(shape=(1, 3, 1080, 1920), **kwargs):
    """Bytes of an engine whose output is its input (static 1080p by default)."""
    return engine(shape, factor=1, filter="nearest", **kwargs)


def write(path, data):
    """Write engine bytes to `path` and return the path."""
    with open(path, "wb") as f:
        f.write(data)
    return os.fspath(path)


def parse(data):
    """The checked document of engine bytes; ValueError saying what is wrong."""
    if not data.startswith(MAGIC):
        raise ValueError("magic tag does not match (not a serialised engine)")
    try:
        doc = json.loads(data[len(MAGIC):].decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise ValueError(f"engine description is not readable: {e}") from None
    if not isinstance(doc, dict) or not isinstance(doc.get("tensors"), list):
        raise ValueError("engine description has no tensor list")
    net = doc.get("network")
    if not isinstance(net, dict) or net.get("op") not in ("identity", "upscale"):
        raise ValueError("engine description has no known network")
    if net["op"] == "upscale":
        if not _is_int(net.get("factor")) or net["factor"] < 1 or net.get("filter") not in FILTERS:
            raise ValueError("upscale network needs an integer factor >= 1 and a known filter")
    names = set()
    for t in doc["tensors"]:
        if not isinstance(t, dict) or not isinstance(t.get("name"), str) or t["name"] in names:
            raise ValueError("tensor without a unique name")
        names.add(t["name"])
        if t.get("mode") not in ("input", "output"):
            raise ValueError(f"tensor {t['name']}: mode must be input or output")
        shape = t.get("shape")
        if not isinstance(shape, list) or not all(_is_int(d) and d >= -1 for d in shape):
            raise ValueError(f"tensor {t['name']}: bad shape")
        if t.get("dtype") not in _DTYPE_NAMES.values():
            raise ValueError(f"tensor {t['name']}: unknown data type")
        profile = t.get("profile")
        dynamic = -1 in shape
        if t["mode"] == "output" or not dynamic:
            if profile is not None:
                raise ValueError(f"tensor {t['name']}: only dynamic inputs have a profile")
            continue
        if (not isinstance(profile, list) or len(profile) != 3
                or not all(isinstance(p, list) and len(p) == len(shape)
                           and all(_is_int(d) and d >= 0 for d in p) for p in profile)):
            raise ValueError(f"tensor {t['name']}: a dynamic input needs a profile of three shapes")
        lo, opt, hi = profile
        for i, d in enumerate(shape):
            if not lo[i] <= opt[i] <= hi[i] or (d >= 0 and not lo[i] == hi[i] == d):
                raise ValueError(f"tensor {t['name']}: profile does not fit the shape")
    ins = [t for t in doc["tensors"] if t["mode"] == "input"]
    outs = [t for t in doc["tensors"] if t["mode"] == "output"]
    if ins and outs:
        if len(ins[0]["shape"]) != 4 or len(outs[0]["shape"]) != 4:
            raise ValueError("the network needs NCHW tensors")
        if outs[0]["shape"] != output_shape(net, ins[0]["shape"]):
            raise ValueError("output shape is not what the network gives")
    return doc


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def upscaled(x, factor, filter):
    """The last two axes of x upscaled by `factor` as an upscale network defines it, in float64.

    Written apart from the runtime's own index and weight tables, with
    np.interp along each axis: the reference the tests hold the stand-in
    and the upscaler to.
    """
    def axis(a, ax):
        n = a.shape[ax]
        o = np.arange(n * factor)
        if filter == "nearest":
            return np.take(a, o // factor, axis=ax)
        s = np.clip((o + 0.5) / factor - 0.5, 0, n - 1)
        return np.apply_along_axis(lambda v: np.interp(s, np.arange(n), v), ax, a)
    return axis(axis(np.asarray(x).astype(np.float64), -2), -1)
