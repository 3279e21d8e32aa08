"""CPU stand-in for the NVIDIA image codec Python module ``nvidia.nvimgcodec``.

It decodes on the host with OpenCV and hands the result over as an `Image` in
stand-in device memory: the image holds a ``cupy.ndarray`` (the host device's
CuPy) and exposes its ``__cuda_array_interface__``, so ``cupy.asarray(image)``
wraps it without a copy, as it does with the real library's device images.

Behaviour of the real library that is modelled:

- ``Decoder().read(source)`` and ``Decoder().decode(data)`` decode one source
  or a list of them (a list gives a list); a source that cannot be decoded
  gives ``None`` (``None`` in its place in a list) instead of raising.
- ``DecodeSource(path_or_bytes)`` wraps a file name, ``bytes`` (or another
  buffer, or a 1-D uint8 NumPy array) holding an encoded file. A file name
  that names no file raises FileNotFoundError here; a file that exists but
  does not decode gives ``None`` from the decoder.
- Default decode parameters (``DecodeParams()``): colour spec RGB, interleaved
  height x width x channels output, 8-bit samples unless ``allow_any_depth``.
  Under the RGB colour spec every image comes out with 3 channels in
  red-green-blue order: a grey image is replicated into 3 equal channels and
  an alpha channel is dropped. ``ColorSpec.GRAY`` gives one channel
  (height x width x 1); ``ColorSpec.UNCHANGED`` keeps the stored channels
  (grey as height x width x 1, RGBA with its alpha), colour in RGB(A) order.
- With ``allow_any_depth=False`` 16-bit samples are reduced to 8 bits,
  round(v / 257); with ``allow_any_depth=True`` they stay uint16.
- Images live in device memory (``buffer_kind`` ``STRIDED_DEVICE``);
  ``Image.cpu()`` gives a host copy exposing ``__array_interface__`` and
  ``Image.cuda()`` a device image again.

Where the stand-in is narrower than the real library:

- EXIF orientation is not applied (OpenCV ignores it when decoding unchanged
  data), whatever ``apply_exif_orientation`` says.
- Only 8- and 16-bit unsigned samples decode; files with other sample types
  (32-bit float TIFF, say) give ``None``.
- Regions of interest, code streams, batched device work, CUDA streams and
  backends are accepted where the signatures take them but not modelled.
- The exact 16-to-8-bit rounding of the real decoders may differ by one level.
"""

import enum
import os

import cv2
import numpy as np

__all__ = [
    "ColorSpec",
    "DecodeParams",
    "DecodeSource",
    "Decoder",
    "Image",
    "ImageBufferKind",
]


class ColorSpec(enum.Enum):
    """The colour layout requested for the decoded output."""

    UNCHANGED = 0
    RGB = 1
    GRAY = 2


class ImageBufferKind(enum.Enum):
    """Where an image's samples live."""

    STRIDED_DEVICE = 1
    STRIDED_HOST = 2


class DecodeParams:
    """Decoding parameters; the defaults are those of the real library."""

    def __init__(self, apply_exif_orientation=True, color_spec=ColorSpec.RGB, allow_any_depth=False):
        if not isinstance(color_spec, ColorSpec):
            raise TypeError(f"color_spec must be a ColorSpec, not {type(color_spec).__name__}")
        self.apply_exif_orientation = bool(apply_exif_orientation)
        self.color_spec = color_spec
        self.allow_any_depth = bool(allow_any_depth)


class DecodeSource:
    """An encoded image to decode: a file name or the encoded bytes."""

    def __init__(self, source, region=None):
        if isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            if not os.path.isfile(path):
                raise FileNotFoundError(f"Could not open file: {path}")
            self._path = path
            self._data = None
        elif isinstance(source, np.ndarray):
            if source.dtype != np.uint8 or source.ndim != 1:
                raise TypeError("an encoded array must be one-dimensional uint8")
            self._path = None
            self._data = np.ascontiguousarray(source)
        else:
            try:
                data = memoryview(source)
            except TypeError:
                raise TypeError(f"cannot decode from {type(source).__name__}") from None
            self._path = None
            self._data = np.frombuffer(data.tobytes(), np.uint8)
        if region is not None:
            raise NotImplementedError("regions of interest are not modelled by the host stand-in")

    def _decode_host(self):
        """OpenCV's unchanged decode: BGR(A) or grey, the stored depth; None on failure."""
        try:
            if self._path is not None:
                return cv2.imread(self._path, cv2.IMREAD_UNCHANGED)
            if self._data.size == 0:
                return None
            return cv2.imdecode(self._data, cv2.IMREAD_UNCHANGED)
        except cv2.error:
            return None


class Image:
    """A decoded image, interleaved height x width x channels, in device or host memory."""

    def __init__(self, array):
        self._array = array

    @property
    def __cuda_array_interface__(self):
        if self.buffer_kind is not ImageBufferKind.STRIDED_DEVICE:
            raise AttributeError("a host image has no __cuda_array_interface__")
        return self._array.__cuda_array_interface__

    @property
    def __array_interface__(self):
        if self.buffer_kind is not ImageBufferKind.STRIDED_HOST:
            raise AttributeError("a device image has no __array_interface__; use cpu()")
        return self._array.__array_interface__

    @property
    def buffer_kind(self):
        if isinstance(self._array, np.ndarray):
            return ImageBufferKind.STRIDED_HOST
        return ImageBufferKind.STRIDED_DEVICE

    @property
    def shape(self):
        return tuple(self._array.shape)

    @property
    def dtype(self):
        return np.dtype(self._array.dtype)

    @property
    def strides(self):
        return tuple(self._array.strides)

    @property
    def ndim(self):
        return self._array.ndim

    @property
    def height(self):
        return self._array.shape[0]

    @property
    def width(self):
        return self._array.shape[1]

    def cpu(self):
        """This image in host memory (itself if it is there already)."""
        if self.buffer_kind is ImageBufferKind.STRIDED_HOST:
            return self
        import cupy

        return Image(cupy.asnumpy(self._array))

    def cuda(self, synchronize=True):
        """This image in device memory (itself if it is there already)."""
        if self.buffer_kind is ImageBufferKind.STRIDED_DEVICE:
            return self
        return Image(_to_device(self._array))

    def __repr__(self):
        kind = "device" if self.buffer_kind is ImageBufferKind.STRIDED_DEVICE else "host"
        return f"<nvimgcodec.Image {self.shape} {self.dtype} in {kind} memory>"


def _to_device(host):
    import cupy

    return cupy.asarray(host)


def _apply_params(host, params):
    """Turn OpenCV's unchanged decode into the layout, order and depth that params ask for."""
    if host.dtype == np.uint16:
        if not params.allow_any_depth:
            # round(v / 257), exact in 32-bit integers
            host = ((host.astype(np.uint32) * 255 + 32895) >> 16).astype(np.uint8)
    elif host.dtype != np.uint8:
        return None
    if host.ndim == 2:
        host = host[:, :, None]
    channels = host.shape[2]
    spec = params.color_spec
    if spec is ColorSpec.GRAY:
        if channels in (1, 2):
            return host[:, :, :1]
        code = cv2.COLOR_BGRA2GRAY if channels == 4 else cv2.COLOR_BGR2GRAY
        return cv2.cvtColor(np.ascontiguousarray(host), code)[:, :, None]
    if channels in (1, 2) and spec is ColorSpec.RGB:
        return np.repeat(host[:, :, :1], 3, axis=2)
    if channels == 1:
        return host
    if channels == 3:
        return host[:, :, ::-1]
    if channels == 4:
        return host[:, :, [2, 1, 0]] if spec is ColorSpec.RGB else host[:, :, [2, 1, 0, 3]]
    return host if spec is ColorSpec.UNCHANGED else None


class Decoder:
    """Decodes encoded images into device images."""

    def __init__(self, device_id=0, max_num_cpu_threads=0, backends=None, options=None):
        self.device_id = device_id

    def _one(self, source, params):
        if not isinstance(source, DecodeSource):
            source = DecodeSource(source)
        host = source._decode_host()
        if host is None:
            return None
        host = _apply_params(host, params or DecodeParams())
        if host is None:
            return None
        return Image(_to_device(np.ascontiguousarray(host)))

    def decode(self, data, params=None, cuda_stream=0):
        """Decode one encoded source (bytes, uint8 array, DecodeSource) or a list of them."""
        if isinstance(data, list):
            return [self._one(item, params) for item in data]
        return self._one(data, params)

    def read(self, path, params=None, cuda_stream=0):
        """Read and decode one file (name or DecodeSource) or a list of them."""
        if isinstance(path, list):
            return [self._one(item, params) for item in path]
        return self._one(path, params)
