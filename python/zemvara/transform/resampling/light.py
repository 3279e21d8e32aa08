"""Resampling in linear light and with premultiplied alpha: the sRGB tables, their kernel code and the conversions.

`linear=True`: values are taken as sRGB-encoded, decoded to linear light,
resampled, and encoded again; integer results are the encoded value rounded
to nearest. `alpha="premultiplied"` (4-channel images): colour is weighted
by alpha while resampling, so that transparent pixels give no colour;
source and result hold straight alpha. The alpha channel of a 4-channel
image is never gamma-converted.

Two routes, chosen by `route`:
- "kernel": uint8 images without an alpha channel in linear light decode in
  the kernels' loads and encode in their stores (`U8_SRGB`, an element code
  of its own: a 256-entry decoding table, and for the stores the thresholds
  between encoded levels, so that the plain element codes compile as they
  always did); the one-launch resize along y first decodes each source value
  of a tile once into shared memory instead of at every tap;
- "convert": everything else (4-channel images, premultiplied alpha, uint16
  and floats) is converted once to float32 (`prepare`: decoded through a
  table for 8 and 16 bits, the exact formula for floats; premultiplied),
  resampled as float32, and converted back (`finish`).

Values keep the scale of their element type throughout (0 .. 255 for uint8,
0 .. 65535 for uint16, 0 .. 1 for floats), so filters, fills and rounding
work as in the plain call.
"""

from typing import NamedTuple

import cupy as cp
import numpy as np

ALPHA_MODES = (None, "premultiplied")
SRGB_ELEMENT = "U8_SRGB"  # the element code of sRGB-encoded uint8 values, decoded in the loads
_TOPS = {np.dtype(np.uint8): 255.0, np.dtype(np.uint16): 65535.0}
_BINS = 4096  # the stores' first guess: the level at the foot of each of _BINS bins of 0 .. 255


def decode(v):
    """Linear light of sRGB-encoded values (NumPy float64, 0 .. 1 the range; the segments extend beyond it)."""
    v = np.asarray(v, np.float64)
    return np.where(v <= 0.04045, v / 12.92, ((np.maximum(v, 0.04045) + 0.055) / 1.055) ** 2.4)


def encode(v):
    """The sRGB encoding of linear light (NumPy float64)."""
    v = np.asarray(v, np.float64)
    return np.where(v <= 0.0031308, v * 12.92, 1.055 * np.maximum(v, 0.0031308) ** (1 / 2.4) - 0.055)


class Light(NamedTuple):
    """A resampling call's light and alpha: whether values are sRGB-encoded, and whether colour is weighted by alpha."""

    linear: bool
    premultiplied: bool

    @property
    def plain(self):
        return not (self.linear or self.premultiplied)

    def route(self, dtype, channels):
        """None (the plain call), "kernel" (conversion in the kernels' loads and stores) or "convert" (see above)."""
        if self.plain:
            return None
        if self.linear and not self.premultiplied and channels != 4 and np.dtype(dtype) == np.uint8:
            return "kernel"
        return "convert"


PLAIN = Light(False, False)


# ----- the kernels' tables -------------------------------------------------------------


def _tables():
    levels = np.arange(256, dtype=np.float64)
    decoded = (decode(levels / 255) * 255).astype(np.float32)
    # above[k]: the linear value (x 255) from which level k + 1 is the nearest encoded level.
    above = (decode((levels[:255] + 0.5) / 255) * 255).astype(np.float32)
    above = np.append(above, np.float32(256.0))  # past every value the stores compare
    # The level at each bin's foot, taken a little below it (a value's bin is found in float32).
    foot = np.arange(_BINS, dtype=np.float64) * (255.0 / _BINS)
    start = np.searchsorted(above, foot - 1e-3, side="right").astype(np.uint8)
    # Within a bin the level rises by at most two past its foot's (checked here: the stores take two steps).
    top = np.searchsorted(above, foot + 255.0 / _BINS + 1e-3, side="right")
    assert int((np.minimum(top, 255) - start).max()) <= 2
    return decoded, above, start


DECODED_U8, ABOVE_U8, START_U8 = _tables()


def _array(kind, name, values, fmt):
    body = ",".join(fmt(v) for v in values)
    return f"__device__ const {kind} {name}[{len(values)}] = {{{body}}};\n"


def _kernel_code():
    f = lambda v: f"{float(v)!r}f"  # noqa: E731
    return (
        "#ifndef ZEMVARA_LIGHT_CUH\n#define ZEMVARA_LIGHT_CUH\nnamespace zemvara {\n"
        "// sRGB-encoded uint8 values in linear light (x 255): decoded in the loads through a table,\n"
        "// encoded in the stores to the nearest level (srgb_above[k]: the value from which level k + 1\n"
        "// is nearer; srgb_start: the level at the foot of each bin, at most two below the answer).\n"
        "enum { U8_SRGB = 8 };\n"
        + _array("float", "srgb_decoded", DECODED_U8, f)
        + _array("float", "srgb_above", ABOVE_U8, f)
        + _array("unsigned char", "srgb_start", START_U8, str)
        + f"#define ZEMVARA_SRGB_BINS {_BINS}\n"
        + (
            "template <> struct Elem<U8_SRGB> {\n"
            "    typedef unsigned char T;\n"
            "    static __device__ __forceinline__ float load(const T *p) { return __ldg(srgb_decoded + __ldg(p)); }\n"
            "    static __device__ __forceinline__ T store(float v) {\n"
            "        // NaN and values below zero to level 0, past 255 to 255.\n"
            "        const float c = fminf(fmaxf(v, 0.0f), 255.0f);\n"
            "        int k = __ldg(srgb_start + min((int)(c * (ZEMVARA_SRGB_BINS / 255.0f)), ZEMVARA_SRGB_BINS - 1));\n"
            "        k += c >= __ldg(srgb_above + k);\n"
            "        k += c >= __ldg(srgb_above + k);\n"
            "        return (T)k;\n"
            "    }\n"
            "};\n"
        )
        + "}  // namespace zemvara\n#endif\n"
    )


KERNEL_CODE = _kernel_code()


def element(code, route):
    """The kernels' element code of a call: the sRGB one on the "kernel" route, the plain one otherwise."""
    return SRGB_ELEMENT if route == "kernel" else code


# ----- conversions of whole arrays --------------------------------------------------------


def _top(dtype):
    return _TOPS.get(np.dtype(dtype), 1.0)


def decode_values(values, dtype):
    """Fill values (one per channel, in dtype's scale) in linear light, as the "kernel" route's sums take them."""
    top = _top(dtype)
    return [float(decode(v / top) * top) for v in values]


def _decoded(values, dtype):
    """values (a CuPy array of dtype) decoded to float32 linear light in dtype's scale."""
    dtype = np.dtype(dtype)
    if dtype == np.uint8:
        return cp.take(cp.asarray(DECODED_U8), values)
    if dtype == np.uint16:
        return cp.take(_table16(), values)
    v = values.astype(cp.float32)
    return cp.where(v <= 0.04045, v / 12.92, ((cp.maximum(v, 0.04045) + 0.055) / 1.055) ** 2.4).astype(cp.float32)


_TABLE16 = []


def _table16():
    if not _TABLE16:
        _TABLE16.append(cp.asarray((decode(np.arange(65536) / 65535) * 65535).astype(np.float32)))
    return _TABLE16[0]


def _encoded(values, dtype):
    """float32 linear light in dtype's scale encoded (float64 arithmetic), still unrounded."""
    top = _top(dtype)
    v = values.astype(cp.float64) / top
    return cp.where(v <= 0.0031308, v * 12.92, 1.055 * cp.maximum(v, 0.0031308) ** (1 / 2.4) - 0.055) * top


def prepare(image, light, axis=-1):
    """image (a CuPy array of any element type) as float32 for the "convert" route: colour decoded
    when linear, weighted by alpha (channel 3 along `axis`, over its type's top) when premultiplied.
    The alpha channel keeps its value."""
    dtype, four = image.dtype, image.ndim >= 3 and image.shape[axis] == 4
    out = _decoded(image, dtype) if light.linear else image.astype(cp.float32)
    if four:
        colour, alpha = _split(out, axis)
        alpha[...] = image[_index(image.ndim, axis, 3)]
        if light.premultiplied:
            colour *= _along(alpha / _top(dtype), axis)
    return cp.ascontiguousarray(out, dtype=cp.float32)


def finish(result, dtype, light, axis=-1, out=None):
    """A float32 result of the "convert" route in dtype (into `out` when given): colour divided by
    alpha when premultiplied (none where alpha is not above zero), encoded when linear; integers
    rounded to nearest and clipped to the type's range."""
    dtype = np.dtype(dtype)
    four = result.ndim >= 3 and result.shape[axis] == 4
    values = result.astype(cp.float64)
    if four and light.premultiplied:
        colour, alpha = _split(values, axis)
        a = _along(alpha / _top(dtype), axis)
        colour[...] = cp.where(a > 0, colour / cp.where(a > 0, a, 1.0), 0.0)
    if light.linear:
        encoded = _encoded(values, dtype)
        if four:
            encoded[_index(values.ndim, axis, 3)] = values[_index(values.ndim, axis, 3)]
        values = encoded
    if dtype.kind in "ui":
        values = cp.clip(cp.rint(cp.where(cp.isnan(values), 0.0, values)), 0, _top(dtype))
    converted = values.astype(dtype)
    if out is None:
        return converted
    out[...] = converted
    return out


def _index(ndim, axis, channel):
    index = [slice(None)] * ndim
    index[axis] = channel
    return tuple(index)


def _along(alpha, axis):
    """alpha (the channel axis taken out) with that axis back, of length one, to weigh the colour by."""
    index = [slice(None)] * alpha.ndim
    index.insert(axis if axis >= 0 else alpha.ndim + 1 + axis, None)
    return alpha[tuple(index)]


def _split(values, axis):
    """(colour, alpha): views of the first three channels along axis and of the fourth."""
    index = [slice(None)] * values.ndim
    index[axis] = slice(0, 3)
    return values[tuple(index)], values[_index(values.ndim, axis, 3)]


def fill(values, dtype, light):
    """A warp's fill values (one per channel) as the "convert" route's float32 image holds them."""
    values = [float(v) for v in values]
    top = _top(dtype)
    colour = decode_values(values[:3], dtype) if light.linear else values[:3]
    if len(values) != 4:
        return decode_values(values, dtype) if light.linear else values
    if light.premultiplied:
        colour = [c * values[3] / top for c in colour]
    return colour + values[3:]


def converted_warp(warp, src, M, dsize, flags, border_mode, fill_values, dst, dst_given, mode):
    """A warp on the "convert" route, its arguments checked: src (and a given dst, whose pixels
    BORDER_TRANSPARENT keeps) as float32, warped by `warp` with the fill converted alike, and the
    result converted back into dst."""
    dtype = src.dtype
    inner = prepare(dst, mode) if dst_given else None
    result = warp(prepare(src, mode), M, dsize, flags, border_mode, fill(fill_values, dtype, mode), inner)
    return finish(result, dtype, mode, out=dst)
