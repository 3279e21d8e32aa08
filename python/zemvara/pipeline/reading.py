"""Reading a file's picture on the host as the road keeps it: every channel, the file's own element type.

One rule for every way the road reads a file (whole, or tile by tile on the
large-file road, `arranged`):
- grey stays (H, W); grey with alpha becomes blue-green-red-alpha, the grey
  in all three (no writer stores grey with alpha);
- colour is blue-green-red, with its alpha, where it has one, as a fourth
  channel; any other channel count is kept as it is;
- the element type is the file's own.

The readers, by extension:
- JPEG: Pillow, whose decoder refuses a truncated or corrupt file (OpenCV
  decodes the missing part as flat grey with no more than a warning). Given
  `size`, libjpeg decodes at 1/2, 1/4 or 1/8 scale (DCT scaling) where the
  result stays at least that size on both sides. CMYK converts to RGB.
- TIFF: tifffile, the first page only, a grey or RGB page (planar pages
  interleaved); pages of another kind (palette, CMYK, YCbCr, ...) and files
  that tifffile cannot decode go to OpenCV.
- OpenEXR: picload (red, green and blue in the file's float type).
- any other: OpenCV, the file's bytes decoded unchanged; a PNG's chunks are
  checked by Pillow first (`verify`, no decompression), so that a truncated
  or damaged PNG fails by its reason, where libpng would print its own.

A file that any of them cannot decode raises RuntimeError("Failed to read
image from <path>: <why>"); what the libraries would print meanwhile (OpenCV's
log, tifffile's, Pillow's warnings) is dropped, so that a run's progress bar
stays clean and each failure is told once, in its file's error.
"""

import contextlib
import logging
import os
import threading
import warnings

import numpy as np

__all__ = ["read", "arranged", "header_size", "JPEG", "TIFF"]

JPEG = frozenset({".jpg", ".jpeg", ".jpe"})
TIFF = frozenset({".tif", ".tiff"})


_state = threading.local()
_opencv_lock = threading.Lock()
_opencv_quiet = [0, None]  # threads decoding now, OpenCV's log level before the first of them


class _Dropped(logging.Filter):
    """Drops tifffile's log records on a thread that is decoding for the road."""

    def filter(self, record):
        return not getattr(_state, "quiet", False)


logging.getLogger("tifffile").addFilter(_Dropped())


@contextlib.contextmanager
def _quiet():
    """No library output while a file decodes: OpenCV's log silenced while any thread decodes (its level is
    process-wide, restored when the last one is done), tifffile's records on this thread dropped, Python
    warnings ignored."""
    import cv2

    log = cv2.utils.logging
    with _opencv_lock:
        if _opencv_quiet[0] == 0:
            _opencv_quiet[1] = log.getLogLevel()
            log.setLogLevel(log.LOG_LEVEL_SILENT)
        _opencv_quiet[0] += 1
    _state.quiet = True
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
    finally:
        _state.quiet = False
        with _opencv_lock:
            _opencv_quiet[0] -= 1
            if _opencv_quiet[0] == 0:
                log.setLogLevel(_opencv_quiet[1])


def _failed(path, why):
    return RuntimeError(f"Failed to read image from {path}: {why}")


def arranged(image, rgb):
    """A decoded host array in the road's layout (module description); `rgb`: its colour channels are
    red-green-blue (else blue-green-red already)."""
    if image.ndim == 3 and image.shape[2] == 1:
        image = image[:, :, 0]
    elif image.ndim == 3 and image.shape[2] == 2:
        grey, alpha = image[:, :, 0], image[:, :, 1]
        image = np.stack([grey, grey, grey, alpha], axis=-1)
    elif rgb and image.ndim == 3 and image.shape[2] in (3, 4):
        image = image[:, :, [2, 1, 0, 3][: image.shape[2]]]
    return np.ascontiguousarray(image)


def header_size(path):
    """(height, width) of a JPEG from its header; None for any other file or one that cannot be opened."""
    if os.path.splitext(path)[1].lower() not in JPEG:
        return None
    from PIL import Image

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(path) as picture:
                return picture.size[1], picture.size[0]
    except Exception:
        return None


def _jpeg(path, size):
    from PIL import Image

    try:
        with Image.open(path) as picture:
            if size is not None and picture.mode in ("RGB", "L"):
                picture.draft(picture.mode, (size[1], size[0]))  # Pillow's size is (width, height)
            picture.load()
            if picture.mode not in ("RGB", "L"):
                picture = picture.convert("RGB")
            return arranged(np.asarray(picture), rgb=True)
    except (OSError, SyntaxError, ValueError) as exc:
        raise _failed(path, exc) from None


# tifffile's photometric interpretations whose samples are the picture as stored: MINISBLACK and RGB
# (MINISWHITE's are inverted, palette ones are indices).
_PLAIN = frozenset({1, 2})


def _tiff(path):
    import tifffile

    try:
        with tifffile.TiffFile(path) as tif:
            page = tif.pages[0]
            if int(page.photometric) not in _PLAIN:
                return None
            image = page.asarray()
            axes = page.axes
    except Exception:
        return None  # a codec tifffile lacks, or a damaged file: OpenCV reads it or names the failure
    if "S" in axes and axes.index("S") < axes.index("Y"):  # planar: one plane per sample
        image = np.moveaxis(image, axes.index("S"), -1)
    image = image.reshape(image.shape[-3:] if "S" in axes else image.shape[-2:])
    return arranged(image, rgb=True)


def _verified_png(path):
    from PIL import Image

    try:
        with Image.open(path) as picture:
            picture.verify()
    except Exception as exc:
        raise _failed(path, exc) from None


def _opencv(path):
    import cv2

    with open(path, "rb") as f:
        data = np.frombuffer(f.read(), np.uint8)
    image = cv2.imdecode(data, cv2.IMREAD_UNCHANGED) if data.size else None
    if image is None:
        raise _failed(path, "not an image OpenCV can decode" if data.size else "the file is empty")
    return arranged(image, rgb=False)


def read(path, size=None):
    """The picture of the file at `path` as a host array in the road's layout, or a CuPy array for
    OpenEXR (module description). `size`: (height, width) that a JPEG may be decoded down to, never below."""
    ext = os.path.splitext(path)[1].lower()
    if ext == ".exr":
        from ..io.picload import picload

        return picload(path, "native")
    with _quiet():
        if ext in JPEG:
            return _jpeg(path, size)
        if ext in TIFF:
            image = _tiff(path)
            if image is not None:
                return image
        if ext == ".png":
            _verified_png(path)
        return _opencv(path)
