"""The steps of a pipeline, each a small picklable object over one public function of the package.

A step in the middle of a pipeline is any callable that takes a GPU image and
returns one: `Resize`, `Fit`, `Warp`, `Upscale` and `Convert` here, or a
function of the caller's own. `Load` reads the file at the start and `Store`
writes it at the end. Steps hold only plain values (sizes, names, paths), never
GPU memory, so that a pipeline travels to Dask workers as it is; `Upscale` keeps
its `EngineZoom` in a per-process cache instead (`engine_zoom`).

The command line's steps are the rows of `STEPS`: name, argument syntax, help
and parser. The parser, the command line's help and its errors read that table.
"""

import contextlib
import dataclasses
import os
import sys
import threading
import warnings
from typing import Callable, NamedTuple

import numpy as np

from ..transform.schema import INTER_AREA, INTER_AUTO, INTER_MITCHELL

__all__ = ["Load", "Resize", "Fit", "Warp", "Upscale", "Convert", "Store", "UsageError", "STEPS", "parse_step",
           "parse_steps", "engine_zoom", "orientation", "orient", "stored"]

CONVERSIONS = ("uint8", "uint16", "float16", "float32")


class UsageError(ValueError):
    """A pipeline or run that cannot start: a malformed step, conflicting options, clashing outputs."""


def _max_axis():
    """The longest image axis the resampling kernels take, or None where they cannot be imported (no CuPy)."""
    try:
        from ..transform.resampling._launch import MAX_AXIS
    except ImportError:
        return None
    return MAX_AXIS


def _side(value, what):
    """One side of a size: an int from 1 to the kernels' axis limit."""
    limit = _max_axis()
    if value < 1 or (limit is not None and value > limit):
        raise UsageError(f"{what} must lie in 1..{limit or 'the axis limit'}, got {value}")
    return value


def _size(value, what, one_side=False):
    """(width, height) from an int pair, each from 1 to the axis limit; with `one_side`, either may be None."""
    try:
        width, height = (None if v is None and one_side else int(v) for v in value)
    except (TypeError, ValueError):
        raise UsageError(f"{what} must be (width, height), got {value!r}") from None
    if width is None and height is None:
        raise UsageError(f"{what} needs a width or a height, got neither")
    return tuple(None if v is None else _side(v, what) for v in (width, height))


# ----- loading: the file's own element type, upright ---------------------------------

# Extensions whose files may carry an EXIF orientation tag.
_EXIF_CARRIERS = frozenset({".jpg", ".jpeg", ".jpe", ".tif", ".tiff", ".png", ".webp", ".avif"})
_ORIENTATION_TAG = 0x0112


def orientation(path):
    """The EXIF orientation (1 to 8) stored in an image file; 1 (as stored) when it has none or it cannot be read.

    Pillow reads the file's header only. A PNG's EXIF is taken where it stands
    before the pixel data, as readers read it; one after the pixels is not
    looked for (that would decode the whole file).
    """
    if os.path.splitext(path)[1].lower() not in _EXIF_CARRIERS:
        return 1
    from PIL import Image

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(path) as picture:
                if picture.format == "PNG":
                    raw = picture.info.get("exif")
                    if not raw:
                        return 1
                    exif = Image.Exif()
                    exif.load(raw)
                else:
                    exif = picture.getexif()
                value = exif.get(_ORIENTATION_TAG, 1)
    except Exception:
        return 1
    return value if isinstance(value, int) and 1 <= value <= 8 else 1


def orient(image, value):
    """The image turned upright from its stored EXIF orientation `value`, as a new contiguous array (1: as is).

    2 mirrors left to right, 3 turns half round, 4 mirrors top to bottom,
    5 transposes, 6 turns a quarter clockwise, 7 transposes across the other
    diagonal, 8 turns a quarter anticlockwise.
    """
    if value == 1:
        return image
    import cupy as cp

    axes = (1, 0) + tuple(range(2, image.ndim))
    view = {
        2: lambda a: a[:, ::-1],
        3: lambda a: a[::-1, ::-1],
        4: lambda a: a[::-1],
        5: lambda a: a.transpose(axes),
        6: lambda a: a.transpose(axes)[:, ::-1],
        7: lambda a: a.transpose(axes)[::-1, ::-1],
        8: lambda a: a.transpose(axes)[::-1],
    }[value](image)
    return cp.ascontiguousarray(view)


@dataclasses.dataclass(frozen=True)
class Load:
    """Reads a file with `picload`, upright.

    dtype: None (the default) keeps the file's own element type (8-bit files
    load as uint8, 16-bit as uint16, OpenEXR as float16 or float32); "fp32",
    "fp16", "uint8" or "uint16" converts. swap_rb: red-green-blue. exif: turn
    the image upright by its EXIF orientation tag (False keeps it as stored).
    """

    dtype: str = None
    swap_rb: bool = False
    exif: bool = True

    def __call__(self, path):
        from ..io.picload import picload

        # picload keeps the file's own element type for a name that is none of its four conversions
        image = picload(path, "native" if self.dtype is None else self.dtype, self.swap_rb)
        return orient(image, orientation(path)) if self.exif else image


# ----- storing: what each writer can hold -------------------------------------------

# The element types a writer stores, by lower-case extension, the first one
# being what anything else is converted to. A writer never sees a type it
# would truncate: OpenCV's 8-bit encoders take float data as 0 and 1.
_STORES = {
    **dict.fromkeys((".png", ".tif", ".tiff", ".jp2", ".pgm", ".ppm", ".pnm", ".pxm"), ("uint16", "uint8")),
    **dict.fromkeys((".pfm", ".hdr"), ("float32",)),
    ".exr": ("float16", "float32", "uint8", "uint16"),  # the OpenEXR writer converts to float16 itself
}
_EIGHT_BIT = ("uint8",)  # every other writer (JPEG, WebP, BMP, AVIF, Sun raster, ...)


def stored(image, path):
    """The image in an element type that the writer of `path` stores whole (the same one where it can)."""
    accepted = _STORES.get(os.path.splitext(path)[1].lower(), _EIGHT_BIT)
    if image.dtype.name in accepted:
        return image
    from ..utils import dtypes

    return getattr(dtypes, "to_" + accepted[0])(image)


@dataclasses.dataclass(frozen=True)
class Store:
    """Writes an image with `picstore`, in the format of the path's extension, with its `param` (-1: default).

    The image is first converted to an element type that the format stores
    (`stored`): 8-bit and 16-bit images keep their depth where the format
    holds it, float images become 16-bit PNG and TIFF, and 8-bit-only formats
    such as JPEG, WebP and BMP get uint8, properly scaled.
    """

    param: int = -1
    swap_rb: bool = False

    def __call__(self, path, image):
        from ..io.picstore import picstore

        picstore(path, stored(image, path), self.param, self.swap_rb)


@dataclasses.dataclass(frozen=True)
class Resize:
    """`resize` to `size` = (width, height), with `interpolation` (INTER_AUTO: area down, Mitchell up).

    One side may be None: it follows from the other and the image's aspect
    ratio (at least 1 pixel).
    """

    size: tuple
    interpolation: int = INTER_AUTO

    def __post_init__(self):
        object.__setattr__(self, "size", _size(self.size, "resize size", one_side=True))

    def target(self, height, width):
        """(width, height) for an image of `height` x `width`."""
        w, h = self.size
        if w is None:
            w = max(1, round(width * h / height))
        elif h is None:
            h = max(1, round(height * w / width))
        return w, h

    def __call__(self, image):
        from ..transform.resize import resize

        return resize(image, self.target(*image.shape[:2]), self.interpolation)


@dataclasses.dataclass(frozen=True)
class Fit:
    """`resize` to the largest size inside `box` = (width, height) with the image's aspect ratio kept.

    The image is scaled, down or up, until it touches the box on one side;
    the other side is rounded (at least 1 pixel). `interpolation` as `Resize`.
    """

    box: tuple
    interpolation: int = INTER_AUTO

    def __post_init__(self):
        object.__setattr__(self, "box", _size(self.box, "fit box"))

    def target(self, height, width):
        """(width, height) for an image of `height` x `width`."""
        box_w, box_h = self.box
        if width * box_h <= height * box_w:      # the height touches the box
            return min(box_w, max(1, round(width * box_h / height))), box_h
        return box_w, min(box_h, max(1, round(height * box_w / width)))

    def __call__(self, image):
        from ..transform.resize import resize

        return resize(image, self.target(*image.shape[:2]), self.interpolation)


@dataclasses.dataclass(frozen=True, eq=False)
class Warp:
    """A warp by a forward 2 x 3 affine or 3 x 3 perspective `matrix` into `dsize` = (width, height).

    It runs `warp_affine` or `warp_perspective` of `zemvara.transform.warp`
    with a constant (zero) border; the result keeps the image's element type
    and channels. `flags` INTER_AUTO picks the filter as `affine_transform`
    does: Mitchell when the matrix enlarges along either source axis (for a
    perspective matrix, its 2 x 2 block over the last entry), area otherwise.
    """

    matrix: np.ndarray
    dsize: tuple
    flags: int = INTER_AUTO

    def __post_init__(self):
        matrix = np.array(self.matrix, dtype=np.float64)
        if matrix.shape not in ((2, 3), (3, 3)):
            raise UsageError(f"warp matrix must be 2 x 3 or 3 x 3, got shape {matrix.shape}")
        object.__setattr__(self, "matrix", matrix)
        object.__setattr__(self, "dsize", _size(self.dsize, "warp dsize"))

    @property
    def filter(self):
        """The filter that `flags` names, INTER_AUTO resolved."""
        if self.flags != INTER_AUTO:
            return self.flags
        block = self.matrix[:2, :2]
        if self.matrix.shape == (3, 3) and self.matrix[2, 2] != 0:
            block = block / abs(self.matrix[2, 2])
        enlarges = bool((np.hypot(block[0], block[1]) > 1.0).any())   # column lengths: each source axis's image
        return INTER_MITCHELL if enlarges else INTER_AREA

    def __call__(self, image):
        from ..transform import warp

        if self.matrix.shape == (2, 3):
            return warp.warp_affine(image, self.matrix, self.dsize, flags=self.filter)
        return warp.warp_perspective(image, self.matrix, self.dsize, flags=self.filter)


@dataclasses.dataclass(frozen=True)
class Upscale:
    """Runs a serialised TensorRT engine through `EngineZoom`, in tiles where the engine cannot take the frame.

    `tile` = (width, height) caps the tile size (None: as large as the engine
    takes); neighbouring tiles overlap by `overlap` input pixels and are
    blended with a smooth window (`tiled_upscale`).
    """

    engine: str
    tile: tuple = None
    overlap: int = 16
    device_id: int = 0

    def __post_init__(self):
        object.__setattr__(self, "engine", os.fspath(self.engine))
        if self.tile is not None:
            tile = (self.tile, self.tile) if isinstance(self.tile, int) else self.tile
            object.__setattr__(self, "tile", _size(tile, "upscale tile"))
        if self.overlap < 0:
            raise UsageError(f"upscale overlap must be at least 0, got {self.overlap}")

    def __call__(self, image):
        from .tiles import tiled_upscale

        zoom, lock = engine_zoom(self.engine, self.device_id)
        with lock:
            return tiled_upscale(zoom, image, self.tile, self.overlap)


@dataclasses.dataclass(frozen=True)
class Convert:
    """Converts to an element type, "uint8", "uint16", "float16" or "float32", with the package's conversions."""

    dtype: str

    def __post_init__(self):
        if self.dtype not in CONVERSIONS:
            raise UsageError(f"convert takes one of {', '.join(CONVERSIONS)}, got {self.dtype!r}")

    def __call__(self, image):
        from ..utils import dtypes

        return getattr(dtypes, "to_" + self.dtype)(image)


# ----- one EngineZoom per engine file per process -------------------------------------

_engines = {}
_engines_lock = threading.Lock()


def engine_zoom(path, device_id=0):
    """This process's `EngineZoom` for an engine file and the lock that its callers take around it.

    Built on first use and kept for the life of the process (one per Dask
    worker); an instance serves one frame at a time, hence the lock. Its
    construction report goes to standard error, so that standard output keeps
    only what the caller prints.
    """
    key = (os.path.abspath(path), device_id, os.getpid())
    with _engines_lock:
        entry = _engines.get(key)
        if entry is None:
            from ..upscale.enginezoom import EngineZoom

            with contextlib.redirect_stdout(sys.stderr):
                zoom = EngineZoom(model_path=path, device_id=device_id)
            entry = _engines[key] = (zoom, threading.Lock())
        return entry


# ----- the command line's steps ------------------------------------------------------

_DIGITS = 9  # more digits than any axis the kernels take: refused before int() reads them


def _dimension(text, step, arg):
    if not text.isdigit() or not text.isascii():
        raise UsageError(f"{step} takes a size {_BY_NAME[step].syntax} (such as 640x480), got {arg!r}")
    if len(text) > _DIGITS:
        raise UsageError(f"{step}: the size {text[:12]}... is too large for an image axis")
    return int(text)


def _parse_size(step, arg, one_side):
    width, sep, height = arg.lower().partition("x")
    if not sep or (not one_side and not (width and height)):
        raise UsageError(f"{step} takes a size {_BY_NAME[step].syntax} (such as 640x480), got {arg!r}")
    size = tuple(_dimension(v, step, arg) if v else None for v in (width, height))
    return size


def _parse_resize(arg):
    return Resize(_parse_size("resize", arg, one_side=True))


def _parse_fit(arg):
    return Fit(_parse_size("fit", arg, one_side=False))


def _parse_upscale(arg):
    if not os.path.isfile(arg):
        raise UsageError(f"upscale: no engine file at {arg}")
    return Upscale(arg)


class StepForm(NamedTuple):
    """One step of the command line: `name:ARGUMENT`."""

    name: str
    syntax: str  # the argument, as help and errors show it
    help: str
    parse: Callable[[str], object]  # the argument text -> the step


STEPS = (
    StepForm("resize", "WxH|Wx|xH", "resize to W x H, or to one side with the aspect ratio kept",
             _parse_resize),
    StepForm("fit", "WxH", "resize to fit inside W x H, the aspect ratio kept", _parse_fit),
    StepForm("upscale", "ENGINE", "run a TensorRT engine file, in blended tiles where it cannot take the frame",
             _parse_upscale),
    StepForm("convert", "|".join(CONVERSIONS), "convert the element type, where the output format stores it",
             Convert),
)
_BY_NAME = {form.name: form for form in STEPS}


def step_forms():
    """"resize:WxH|Wx|xH, fit:WxH, ...": every step as the command line takes it."""
    return ", ".join(f"{form.name}:{form.syntax}" for form in STEPS)


def parse_step(text):
    """One step from its command-line form, `NAME:ARGUMENT` (see `STEPS`)."""
    name, sep, arg = text.strip().partition(":")
    form = _BY_NAME.get(name)
    if form is None:
        raise UsageError(f"unknown step {name!r}: steps are {step_forms()}")
    if not sep or not arg:
        raise UsageError(f"step {text!r} needs an argument: {name}:{form.syntax}")
    return form.parse(arg)


def parse_steps(text):
    """The steps of a comma-separated list such as "resize:640x480,convert:uint8" (empty: none)."""
    return [parse_step(part) for part in text.split(",")] if text.strip() else []
