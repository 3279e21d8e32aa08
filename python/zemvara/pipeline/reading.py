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

An 8-bit colour picture with an embedded ICC profile other than sRGB (JPEG,
PNG, WebP, TIFF) is converted to sRGB by LittleCMS (`in_srgb`); 16-bit and
float pictures, grey ones and OpenEXR keep their stored values.

A file that any of them cannot decode raises RuntimeError("Failed to read
image from <path>: <why>"); what the libraries would print meanwhile (OpenCV's
log, tifffile's, Pillow's warnings) is dropped, so that a run's progress bar
stays clean and each failure is told once, in its file's error.
"""

import contextlib
import io
import logging
import os
import threading
import warnings

import numpy as np

__all__ = ["read", "arranged", "in_srgb", "header_size", "JPEG", "TIFF"]

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
            profile = picture.info.get("icc_profile")
            if picture.mode not in ("RGB", "L"):
                picture, profile = picture.convert("RGB"), None  # CMYK: the profile is not the result's
            return arranged(np.asarray(picture), rgb=True), profile
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
            tag = page.tags.get(34675)  # InterColorProfile
            profile = bytes(tag.value) if tag is not None else None
    except Exception:
        return None  # a codec tifffile lacks, or a damaged file: OpenCV reads it or names the failure
    if "S" in axes and axes.index("S") < axes.index("Y"):  # planar: one plane per sample
        image = np.moveaxis(image, axes.index("S"), -1)
    image = image.reshape(image.shape[-3:] if "S" in axes else image.shape[-2:])
    return arranged(image, rgb=True), profile


def _checked(path, ext):
    """The file's embedded ICC profile, read by Pillow (None: none, or a format Pillow does not read); a PNG's
    chunks are verified on the way."""
    from PIL import Image

    try:
        with Image.open(path) as picture:
            profile = picture.info.get("icc_profile")
            if ext == ".png":
                picture.verify()
            return profile
    except Exception as exc:
        if ext == ".png":
            raise _failed(path, exc) from None
        return None


def _opencv(path):
    import cv2

    with open(path, "rb") as f:
        data = np.frombuffer(f.read(), np.uint8)
    image = cv2.imdecode(data, cv2.IMREAD_UNCHANGED) if data.size else None
    if image is None:
        raise _failed(path, "not an image OpenCV can decode" if data.size else "the file is empty")
    return arranged(image, rgb=False)


def _decoded(path, ext, size):
    """(image, embedded ICC profile or None)."""
    if ext in JPEG:
        return _jpeg(path, size)
    if ext in TIFF:
        found = _tiff(path)
        if found is not None:
            return found
    profile = _checked(path, ext) if ext in _PILLOW_CHECKS else None
    return _opencv(path), profile


_PILLOW_CHECKS = frozenset({".png", ".webp"})
_transforms = {}
_transforms_lock = threading.Lock()


def _transform(profile, mode):
    """A LittleCMS transform (Pillow's ImageCms) from an ICC profile to sRGB for `mode` pictures, cached; None
    where the profile is sRGB already or cannot be read."""
    from PIL import ImageCms

    key = (profile, mode)
    with _transforms_lock:
        if key not in _transforms:
            try:
                source = ImageCms.ImageCmsProfile(io.BytesIO(profile))
                if "srgb" in ImageCms.getProfileDescription(source).lower().replace(" ", ""):
                    _transforms[key] = None
                else:
                    # intent 0, perceptual: ImageCms's own default
                    _transforms[key] = ImageCms.buildTransform(source, ImageCms.createProfile("sRGB"), mode, mode, 0)
            except (ImageCms.PyCMSError, OSError, ValueError, TypeError):
                _transforms[key] = None
        return _transforms[key]


def in_srgb(image, profile):
    """An 8-bit colour picture (road layout) converted from its ICC profile to sRGB; any other as it is."""
    if profile is None or image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] not in (3, 4):
        return image
    mode = "RGB" if image.shape[2] == 3 else "RGBA"
    transform = _transform(bytes(profile), mode)
    if transform is None:
        return image
    from PIL import Image, ImageCms

    order = [2, 1, 0, 3][: image.shape[2]]
    converted = ImageCms.applyTransform(Image.fromarray(np.ascontiguousarray(image[:, :, order]), mode), transform)
    return np.ascontiguousarray(np.asarray(converted)[:, :, order])


def read(path, size=None, srgb=True):
    """The picture of the file at `path` as a host array in the road's layout, or a CuPy array for
    OpenEXR (module description). `size`: (height, width) that a JPEG may be decoded down to, never below.
    srgb: an 8-bit colour picture with an embedded ICC profile is converted to sRGB (LittleCMS, perceptual
    intent); False keeps the stored values."""
    ext = os.path.splitext(path)[1].lower()
    if ext == ".exr":
        from ..io.picload import picload

        return picload(path, "native")
    with _quiet():
        image, profile = _decoded(path, ext, size)
        return in_srgb(image, profile) if srgb else image
