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
- TIFF: the first page only, read as tifffile reads a grey or RGB page
  (planar pages interleaved, grey with alpha); OpenCV decodes the pages it
  reads alike (8-bit, 16-bit or float32 samples stored interleaved, grey or
  RGB; with alpha, OpenCV would premultiply it), and those of another kind (palette, CMYK, YCbCr, ...) and
  files that tifffile cannot open.
- OpenEXR: picload (red, green and blue in the file's float type).
- any other: OpenCV, the file's bytes decoded unchanged; a PNG that does
  not end with its closing chunk fails as truncated before libpng would
  print its own error.

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
import stat
import threading
import warnings
from typing import NamedTuple

import numpy as np

from ..utils import png

__all__ = ["read", "arranged", "swapped", "in_srgb", "windows_in_srgb", "profile", "header", "Header", "header_size",
           "JPEG", "TIFF"]

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
        image = swapped(image)
    return np.ascontiguousarray(image)


def swapped(image):
    """A (H, W, 3 or 4) host array with its first and third channels swapped (RGB(A) <-> BGR(A)), as a new
    contiguous array; OpenCV swaps the types it takes several times quicker than NumPy's indexing."""
    if image.dtype in (np.uint8, np.uint16, np.float32):
        import cv2

        code = cv2.COLOR_RGB2BGR if image.shape[2] == 3 else cv2.COLOR_RGBA2BGRA
        return cv2.cvtColor(np.ascontiguousarray(image), code)
    return np.ascontiguousarray(image[:, :, [2, 1, 0, 3][: image.shape[2]]])


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


# The sample types of the TIFF pages that OpenCV decodes as tifffile would, and quicker (libtiff reads the
# strips in one go).
_OPENCV_TIFF = frozenset({np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32)})


def _tiff(path):
    """(image, profile); None where OpenCV is to decode the file (a page of another kind, or one tifffile
    cannot read)."""
    import tifffile

    try:
        with tifffile.TiffFile(path) as tif:
            page = tif.pages[0]
            profile = _page_profile(page)
            if int(page.photometric) not in _PLAIN:
                return None
            axes = page.axes
            if axes in ("YX", "YXS") and page.dtype in _OPENCV_TIFF and (axes == "YX" or page.shape[2] == 3):
                return _opencv(path), profile
            image = page.asarray()
    except RuntimeError:
        raise
    except Exception:
        return None  # a codec tifffile lacks, or a damaged file: OpenCV reads it or names the failure
    if "S" in axes and axes.index("S") < axes.index("Y"):  # planar: one plane per sample
        image = np.moveaxis(image, axes.index("S"), -1)
    image = image.reshape(image.shape[-3:] if "S" in axes else image.shape[-2:])
    return arranged(image, rgb=True), profile


def _page_profile(page):
    """The ICC profile of a TIFF page (its InterColorProfile tag), or None."""
    tag = page.tags.get(34675)
    return bytes(tag.value) if tag is not None else None


def profile(path):
    """The file's embedded ICC profile (JPEG, PNG, WebP; a TIFF's first page as tifffile reads it, whatever its
    size) as Pillow reads it from the header (`header`); None where it has none."""
    if os.path.splitext(path)[1].lower() in TIFF:
        import tifffile

        try:
            with tifffile.TiffFile(path) as tif:
                return _page_profile(tif.pages[0])
        except Exception:
            return None
    return header(path).profile


class Header(NamedTuple):
    """What the load step reads from a file's header besides its pixels."""

    orientation: int  # the EXIF orientation, 1 to 8; 1 (as stored) where there is none or it cannot be read
    profile: bytes | None  # the embedded ICC profile


_ORIENTATION_TAG = 0x0112


def header(path):
    """The `Header` of the file at `path`, from one reading of its header by Pillow (the load step takes
    both from it, `read` the profile where it is given). A PNG whose chunks before its pixel data hold
    neither an eXIf nor an iCCP chunk, the only ones Pillow takes either from, has neither: its chunk
    headers are read without Pillow."""
    if os.path.splitext(path)[1].lower() == ".png" and _png_without_header_chunks(path):
        return Header(1, None)
    from PIL import Image

    turn, icc = 1, None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(path) as picture:
                icc = picture.info.get("icc_profile")
                try:
                    if picture.format == "PNG":  # its EXIF where it stands before the pixel data, if anywhere
                        raw = picture.info.get("exif")
                        exif = Image.Exif()
                        if raw:
                            exif.load(raw)
                    else:
                        exif = picture.getexif()
                    turn = _turn(exif.get(_ORIENTATION_TAG, 1))
                except Exception:
                    turn = 1
    except Image.DecompressionBombError:
        # Pillow opens no picture of over twice its pixel limit (179 MP), the size of TIFF that the
        # large-file path takes: tifffile reads the first page's tags whatever its size.
        if os.path.splitext(path)[1].lower() in TIFF:
            return _tiff_header(path)
    except Exception:
        pass
    return Header(turn, icc)


def _tiff_header(path):
    """The `Header` of a TIFF from its first page's Orientation and InterColorProfile tags, as Pillow reads them."""
    import tifffile

    try:
        with tifffile.TiffFile(path) as tiff:
            tags = tiff.pages.first.tags
            value, icc = tags.valueof(_ORIENTATION_TAG, 1), tags.valueof(34675)
    except Exception:
        return Header(1, None)
    return Header(_turn(value), None if icc is None else bytes(icc))


def _turn(value):
    """A stored EXIF orientation as the load step takes it: 1 to 8, anything else 1 (as stored)."""
    return value if isinstance(value, int) and 1 <= value <= 8 else 1


_PNG_HEADER_CHUNKS = frozenset({b"eXIf", b"iCCP"})  # the chunks Pillow reads an orientation or a profile from


def _png_without_header_chunks(path):
    """Whether the file is a PNG whose chunks up to its first IDAT (or IEND), as far as Pillow reads a
    header, include no eXIf or iCCP chunk; False where they do, or where the walk cannot tell (another
    format, an odd or truncated chunk): Pillow reads those."""
    try:
        with open(path, "rb") as f:
            if f.read(8) != png.SIGNATURE:
                return False
            while True:
                head = f.read(8)
                kind = head[4:]
                if len(head) < 8 or kind in _PNG_HEADER_CHUNKS or not kind.isalpha():
                    return False
                if kind in (b"IDAT", b"IEND"):
                    return True
                f.seek(int.from_bytes(head[:4], "big") + 4, os.SEEK_CUR)  # the chunk's data and checksum
    except OSError:
        return False


_PNG_END = b"IEND\xaeB`\x82"  # the chunk that closes every PNG: its type and checksum


# Files up to this size are read into a buffer that each thread keeps for the next file (as large as the
# largest of them): a fresh buffer per file costs its pages' faults, about as much as a tenth of a
# 512 x 512 PNG's decoding. Larger files get a buffer of their own.
_KEPT_BUFFER_MOST = 16 << 20
_buffers = threading.local()


def _file_bytes(path):
    """(data, n): the bytes of the file at `path` are data[:n], data a bytearray of this thread's that the
    next call on this thread overwrites (files up to _KEPT_BUFFER_MOST bytes), or bytes of their own."""
    with open(path, "rb", buffering=0) as f:
        size = os.fstat(f.fileno()).st_size
        if size >= _KEPT_BUFFER_MOST:
            data = f.read()
            return data, len(data)
        data = getattr(_buffers, "data", None)
        if data is None or len(data) <= size:  # one byte more than the file: its end is seen
            data = _buffers.data = bytearray(max(size + 1, 1 << 20))
        view, n = memoryview(data), 0
        with view:
            while n < len(data):
                got = f.readinto(view[n:])
                if not got:
                    return data, n
                n += got
        rest = f.read()  # the file grew since its size was read
        return bytes(data) + rest, len(data) + len(rest)


def _opencv(path, ext=None):
    """The file decoded unchanged by OpenCV. A PNG that does not end with its IEND chunk is truncated: it
    fails here, before libpng would print its own error."""
    import cv2

    data, n = _file_bytes(path)
    if ext == ".png" and n and data.rfind(_PNG_END, 0, n) < 0:
        raise _failed(path, "image file is truncated (no IEND chunk)")
    data, n = png.stored_pixels(data, n)
    image = cv2.imdecode(np.frombuffer(data, np.uint8, n), cv2.IMREAD_UNCHANGED) if n else None
    if image is None:
        raise _failed(path, "not an image OpenCV can decode" if n else "the file is empty")
    return arranged(image, rgb=False)


def _decoded(path, ext, size, head):
    """(image, embedded ICC profile or None); head: the file's `Header`, where already read."""
    if ext in JPEG:
        return _jpeg(path, size)
    if ext in TIFF:
        found = _tiff(path)
        if found is not None:
            return found
    image = _opencv(path, ext)
    if ext not in _PROFILED:
        return image, None
    return image, head.profile if head is not None else profile(path)


_PROFILED = frozenset({".png", ".webp"})  # other formats that carry an ICC profile, read by Pillow
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


def _srgb_transform(shape, dtype, profile):
    """(transform, mode) that takes a picture of this shape and element type from its ICC profile to sRGB:
    8-bit colour pictures with a profile other than sRGB only; None for any other."""
    if profile is None or np.dtype(dtype) != np.uint8 or len(shape) != 3 or shape[2] not in (3, 4):
        return None
    mode = "RGB" if shape[2] == 3 else "RGBA"
    transform = _transform(bytes(profile), mode)
    return None if transform is None else (transform, mode)


def _converted(rgb, transform, mode):
    """A red-green-blue(-alpha) host array through a LittleCMS transform."""
    from PIL import Image, ImageCms

    return np.asarray(ImageCms.applyTransform(Image.fromarray(np.ascontiguousarray(rgb), mode), transform))


def in_srgb(image, profile):
    """An 8-bit colour picture (road layout) converted from its ICC profile to sRGB; any other as it is."""
    found = _srgb_transform(image.shape, image.dtype, profile)
    return image if found is None else swapped(_converted(swapped(image), *found))


class _WindowsInSrgb:
    """A large picture read window by window (red-green-blue(-alpha), as tifffile gives it), each window
    converted to sRGB as `in_srgb` converts the whole picture: the transform takes each pixel alone."""

    def __init__(self, array, found):
        self.array, self._found = array, found
        self.shape, self.dtype = array.shape, array.dtype

    def __getitem__(self, key):
        return _converted(np.asarray(self.array[key]), *self._found)


def windows_in_srgb(array, profile):
    """A large picture (`array`, sliceable as (H, W, C), red-green-blue) read with each window converted
    from its ICC profile to sRGB where `in_srgb` converts the whole picture; otherwise `array` itself."""
    found = _srgb_transform(array.shape, array.dtype, profile)
    return array if found is None else _WindowsInSrgb(array, found)


def read(path, size=None, srgb=True, head=None):
    """The picture of the file at `path` as a host array in the road's layout, or a CuPy array for
    OpenEXR (module description). `size`: (height, width) that a JPEG may be decoded down to, never below.
    srgb: an 8-bit colour picture with an embedded ICC profile is converted to sRGB (LittleCMS, perceptual
    intent); False keeps the stored values. head: the file's `Header` where the caller has read it."""
    ext = os.path.splitext(path)[1].lower()
    if ext == ".exr":
        from ..io.picload import picload

        return picload(path, "native")
    if not stat.S_ISREG(os.stat(path).st_mode):  # a FIFO or a device would block or never end
        raise _failed(path, "not a regular file")
    with _quiet():
        image, profile = _decoded(path, ext, size, head)
        return in_srgb(image, profile) if srgb else image
