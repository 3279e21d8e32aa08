"""The steps of a pipeline, each a small picklable object over one public function of the package.

A step in the middle of a pipeline is any callable that takes a GPU image and
returns one: `Resize`, `Fit`, `Warp`, `Upscale` and `Convert` here, or a
function of the caller's own. `Load` reads the file at the start and `Store`
writes it at the end. Steps hold only plain values (sizes, names, paths), never
GPU memory, so that a pipeline travels to Dask workers as it is; `Upscale` keeps
its `EngineZoom` in a per-process cache instead (`engine_zoom`).

Each step declares its `Contract` (its `contract` attribute), and the road
(file by file, in batches, tile by tile) asks the contract, never the step's
class:
- takes: the element types the step takes as they are, each at the package's
  scale (uint8 and uint16 over their full range, float16 and float32 nominally
  0..1); an image of another of those four types is converted to the first
  one (`zemvara.utils.dtypes`) before the step. None: every type as it is.
  Any other element type always goes to the step as it is, for the step to
  take or refuse.
- gives: the element type of its result. KEPT: the element type the image
  had before any conversion, so that a step working in float32 0..1 keeps
  an 8-bit file 8-bit (its result converted back where it is another type);
  a type name: that type, which the file keeps from then on; None: the
  result as the step returns it.
- shape: (H, W[, C]) -> the result's shape, or None where only running the
  step tells.
- over_list: a callable that runs the step over a list of images of one
  element type and channel count in one launch, or None (image by image).
- tiled: a callable (src, shape, memory_budget, out, progress) that runs the
  step tile by tile from a host array or TIFF path of `shape` (see
  `zemvara.transform.tiled`), or None (whole images only).
- prepare: a callable that loads what the step needs in this process before
  the first file (an engine), or None.
- rescales: the step resizes the whole picture to `shape` (resize, fit), so
  that the same picture read at a smaller size gives the same result: a
  JPEG before it may be decoded at reduced scale (`Load`).

`Resize`, `Fit` and `Warp` take the four types as they are and keep them,
map to their size, and run over lists and tile by tile. They resample an
image with an alpha channel (4 channels) with colour weighted by alpha, so
that colour under transparent pixels never shows, and with `linear` in
linear light; both on whole images only (the tiled functions resample the
values as stored, and refuse an image with alpha by name). `Upscale` takes
float32 and float16 (the engine sees 0..1 whatever the file's depth) and
gives KEPT; only the engine knows its shape. `Convert` takes every type and
gives its own, keeping the shape. A callable without a contract takes every
type as it is, its result is kept as returned, and it runs on whole images
one at a time.

A callable of the caller's own declares another contract by carrying a
`contract` attribute, e.g. `fn.contract = Contract(takes=("float32",),
gives=KEPT)` for a function of float32 images in 0..1.

The command line's steps are the rows of `STEPS`: name, argument syntax, help
and parser. The parser, the command line's help and its errors read that table.
"""

import contextlib
import dataclasses
import io
import itertools
import os
import sys
import threading
import time
import warnings
from typing import Callable, NamedTuple

import numpy as np

from ..transform.schema import INTER_AUTO

__all__ = ["Load", "Resize", "Fit", "Warp", "Upscale", "Convert", "Store", "UsageError", "STEPS", "parse_step",
           "parse_steps", "engine_zoom", "orientation", "orient", "stored", "Contract", "KEPT", "contract_of",
           "apply", "BACKGROUND", "JPEG_QUALITY", "in_linear_light"]

CONVERSIONS = ("uint8", "uint16", "float16", "float32")


class UsageError(ValueError):
    """A pipeline or run that cannot start: a malformed step, conflicting options, clashing outputs."""


# ----- the contract: what a step takes and gives, and the ways it runs -----------------

KEPT = "kept"  # Contract.gives: the element type the image had before the step


# The names of the element types the road converts between, by NumPy dtype: looked up in a dict where
# NumPy's own `dtype.name` runs Python code at every call.
_NAMES = {np.dtype(name): name for name in CONVERSIONS}


def _type_name(image):
    """The name of an image's element type ("uint8"), or None for an object without one."""
    dtype = getattr(image, "dtype", None)
    if isinstance(dtype, np.dtype):
        name = _NAMES.get(dtype)
        if name is not None:
            return name
    return getattr(dtype, "name", None)


def _converted(image, name):
    """The image in the element type `name` (one of CONVERSIONS), scaled by the package's conversions."""
    from ..utils import dtypes

    return getattr(dtypes, "to_" + name)(image)


@dataclasses.dataclass(frozen=True)
class Contract:
    """What a step takes and gives, the shape it maps to, and whether it runs over lists and tile by tile.

    See the module's description. The default, `Contract()`, is that of a
    callable without one: every element type as it is, the result as
    returned, whole images one at a time.
    """

    takes: tuple = None
    gives: str = None
    shape: Callable = None
    over_list: Callable = None
    tiled: Callable = None
    prepare: Callable = None
    rescales: bool = False

    def __post_init__(self):
        if self.takes is not None:
            takes = (self.takes,) if isinstance(self.takes, str) else self.takes
            takes = tuple(takes) if isinstance(takes, (tuple, list)) else ()
            if not takes or any(name not in CONVERSIONS for name in takes):
                raise UsageError(f"a contract takes some of {', '.join(CONVERSIONS)} (or None), got {self.takes!r}")
            object.__setattr__(self, "takes", takes)
        if self.gives is not None and self.gives != KEPT and self.gives not in CONVERSIONS:
            raise UsageError(f"a contract gives {KEPT!r}, one of {', '.join(CONVERSIONS)} or None, "
                             f"got {self.gives!r}")

    def converts(self, name):
        """Whether an image of element type `name` is converted before the step."""
        return self.takes is not None and name in CONVERSIONS and name not in self.takes

    def taken(self, image):
        """The image as the step takes it: converted to the first type of `takes` where it must be."""
        return _converted(image, self.takes[0]) if self.converts(_type_name(image)) else image

    def given(self, result, image):
        """The step's result as the road keeps it; `image`: the image as the road had it, before `taken`."""
        target = _type_name(image) if self.gives == KEPT else self.gives
        if target not in CONVERSIONS or _type_name(result) in (target, None):
            return result
        return _converted(result, target)

    def runs_tiled(self, name):
        """Whether the step runs tile by tile on an image of element type `name` (no conversion: tiles are
        read and written as they are stored)."""
        return self.tiled is not None and self.shape is not None and not self.converts(name)


_DEFAULT = Contract()


def contract_of(step):
    """The step's `Contract`: its `contract` attribute, `Contract()` where it has none."""
    contract = getattr(step, "contract", None)
    if contract is None:
        return _DEFAULT
    if not isinstance(contract, Contract):
        raise UsageError(f"{step!r} has a contract that is not a Contract: {contract!r}")
    return contract


def apply(step, image):
    """The step on one image as its contract says: the image converted to what it takes, the result to
    what it gives."""
    contract = contract_of(step)
    return contract.given(step(contract.taken(image)), image)


def _reshaped(shape, size):
    """An image shape (H, W[, C]) with its sides set to `size` = (width, height)."""
    return (size[1], size[0]) + tuple(shape[2:])


def light(step, image):
    """The light and alpha keywords of a resampling step (`Resize`, `Fit`, `Warp`) on an image: linear
    light as the step says, and colour weighted by alpha for an image with an alpha channel (4 channels)."""
    if getattr(step, "compat", None) is not None:  # Pillow premultiplies alpha itself; resize refuses linear with it
        return {"compat": step.compat, "linear": step.linear}
    alpha = "premultiplied" if image.ndim == 3 and image.shape[2] == 4 else None
    return {"linear": step.linear, "alpha": alpha}


def _whole_alpha(shape):
    """Refuses tile by tile an image with an alpha channel: the tiled functions would weigh colour
    without alpha and give another picture than the whole-image step."""
    if len(shape) == 3 and shape[2] in (2, 4):  # grey or colour with alpha
        raise ValueError("resampling an image with an alpha channel (colour weighted by alpha) is done on whole "
                         "images only; give a larger --memory-budget")  # fmt: skip


def _resize_contract(step):
    """The contract of `Resize` and `Fit`, whose `target` gives the size for an image's sides."""

    def over_list(images):
        from ..transform.resize import resize

        return resize(images, [step.target(*image.shape[:2]) for image in images], step.interpolation,
                      **light(step, images[0]))  # fmt: skip

    def tiled(src, shape, memory_budget, out, progress):
        from ..transform import tiled

        if step.compat is None:  # Pillow's own tiles premultiply as Pillow does
            _whole_alpha(shape)
        return tiled.resize(src, step.target(*shape[:2]), step.interpolation, compat=step.compat,
                            memory_budget=memory_budget, out=out, progress=progress)  # fmt: skip

    reshaped = lambda shape: _reshaped(shape, step.target(*shape[:2]))  # noqa: E731
    if step.compat == "pil":  # Pillow's 8-bit and float modes; its bytes are those of the whole picture decoded
        return Contract(("float32", "uint8"), KEPT, reshaped, None, tiled)
    return Contract(CONVERSIONS, KEPT, reshaped, over_list, None if step.linear else tiled, rescales=True)


# The contracts of `Resize` and `Fit` steps by step (equal steps, equal contracts), made once rather than at
# every file; up to _CONTRACTS_KEPT of them, then made per call.
_CONTRACTS_KEPT = 256
_contracts = {}


def _kept_contract(step):
    """The contract of a `Resize` or `Fit` step (`_resize_contract`), kept."""
    try:
        found = _contracts.get(step)
    except TypeError:  # a field that cannot be hashed (an interpolation given as a list): made each time
        return _resize_contract(step)
    if found is None:
        found = _resize_contract(step)
        if len(_contracts) < _CONTRACTS_KEPT:
            _contracts[step] = found
    return found


def _max_axis():
    """The longest image axis the resampling kernels take, or None where they cannot be imported (no CuPy)."""
    try:
        from ..transform.resampling._launch import MAX_AXIS
    except ImportError:
        return None
    return MAX_AXIS


def _flag(value, what):
    """A step's switch: True or False."""
    if not isinstance(value, bool):
        raise UsageError(f"{what} must be True or False, got {value!r}")


def in_linear_light(step):
    """The step resampling in linear light where it resamples (`Resize`, `Fit`, `Warp`); others as they are."""
    return dataclasses.replace(step, linear=True) if isinstance(step, (Resize, Fit, Warp)) else step


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


def orientation(path):
    """The EXIF orientation (1 to 8) stored in an image file; 1 (as stored) when it has none or it cannot be read.

    Pillow reads the file's header only (`reading.header`). A PNG's EXIF is
    taken where it stands before the pixel data, as readers read it; one after
    the pixels is not looked for (that would decode the whole file).
    """
    return _header(path).orientation


def _header(path):
    """The file's `reading.Header` where its extension may carry EXIF; one of a file as stored otherwise."""
    from .reading import Header, header

    return header(path) if os.path.splitext(path)[1].lower() in _EXIF_CARRIERS else Header(1, None)


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


# Load's element type names -> the conversion they ask for.
_LOAD_TYPES = {"fp32": "float32", "float32": "float32", "fp16": "float16", "float16": "float16",
               "uint8": "uint8", "uint16": "uint16"}  # fmt: skip


@dataclasses.dataclass(frozen=True)
class Load:
    """Reads a file with every channel it holds, upright (`zemvara.pipeline.reading`).

    Grey stays grey (H, W), alpha stays a fourth channel, the file's own
    element type is kept (8-bit files load as uint8, 16-bit as uint16, float
    TIFF as float32, OpenEXR as float16 or float32) unless `dtype` ("fp32",
    "fp16", "uint8" or "uint16") converts. swap_rb: red-green-blue. exif:
    turn the image upright by its EXIF orientation tag (False keeps it as
    stored). shrink: where the next step resizes the whole picture (its
    contract `rescales`) to half or less on both sides, a JPEG is decoded at
    1/2, 1/4 or 1/8 scale by libjpeg, never below the step's size, and the
    step's filter does the rest (False: always decoded whole). srgb: an 8-bit
    colour picture with an embedded ICC profile (a Display P3 or Adobe RGB
    photo) is converted to sRGB (False: the stored values, profile ignored).
    """

    dtype: str = None
    swap_rb: bool = False
    exif: bool = True
    shrink: bool = True
    srgb: bool = True

    def __call__(self, path, then=None, srgb=None):
        """The image of the file at `path`; `then`: the step that comes next (for `shrink`), or None; `srgb`:
        None as this step says, False to keep the stored values whatever it says."""
        from . import reading

        head = _header(path) if self.exif else None  # the profile too, from the same reading
        turn = head.orientation if head is not None else 1
        image = reading.read(path, self._least(path, then, turn), self.srgb if srgb is None else srgb, head)
        return orient(self.arrive(image), turn)

    def arrive(self, image):
        """A picture read in the road's layout (`reading`), on the device as this load step gives it: red and
        blue swapped where it says, its element type converted."""
        import cupy as cp

        image = cp.asarray(image)
        if self.swap_rb and image.ndim == 3 and image.shape[2] in (3, 4):
            image = cp.ascontiguousarray(image[:, :, [2, 1, 0, 3][: image.shape[2]]])
        target = _LOAD_TYPES.get(self.dtype)
        if target is not None and _type_name(image) != target:
            image = _converted(image, target)
        return image

    def _least(self, path, then, turn):
        """(height, width) as stored below which a JPEG need not be decoded before `then`; None: whole."""
        if not self.shrink or then is None or not contract_of(then).rescales:
            return None
        from .reading import header_size

        stored_size = header_size(path)
        if stored_size is None:
            return None
        upright = stored_size[::-1] if turn >= 5 else stored_size  # 5 to 8 swap the axes
        height, width = contract_of(then).shape(upright)[:2]
        if 2 * height > upright[0] or 2 * width > upright[1]:
            return None  # less than half on a side: DCT scaling would not apply
        return (width, height) if turn >= 5 else (height, width)


# ----- storing: what each writer can hold -------------------------------------------

# The element types a writer stores, by lower-case extension, the first one
# being what an integer image of another type is converted to, and float32,
# where it stands among them, what a float image is. A writer never sees a
# type it would truncate: OpenCV's 8-bit encoders take float data as 0 and 1.
_STORES = {
    **dict.fromkeys((".png", ".jp2", ".pgm", ".ppm", ".pnm", ".pxm"), ("uint16", "uint8")),
    **dict.fromkeys((".tif", ".tiff"), ("uint16", "uint8", "float32")),
    **dict.fromkeys((".pfm", ".hdr"), ("float32",)),
    ".exr": ("float16", "float32", "uint8", "uint16"),  # the OpenEXR writer converts to float16 itself
}
_EIGHT_BIT = ("uint8",)  # every other writer (JPEG, WebP, BMP, AVIF, Sun raster, ...)

# The writers that store an alpha channel; the others get the picture composited over BACKGROUND.
_ALPHA = frozenset({".png", ".tif", ".tiff", ".webp"})
BACKGROUND = 1.0  # white, as a level of 0..1 on every colour channel


def _composited(image):
    """A blue-green-red-alpha image over BACKGROUND, blue-green-red in its own element type (straight alpha:
    colour weighted by alpha, so that the colour under transparent pixels never shows)."""
    xp = _array_module(image)
    name = _type_name(image)
    pixels = image if name in ("float16", "float32") else _converted(image, "float32")
    alpha = xp.clip(pixels[:, :, 3:4].astype("float32"), 0.0, 1.0)
    colour = pixels[:, :, :3].astype("float32") * alpha + BACKGROUND * (1.0 - alpha)
    return _converted(colour, name) if name in CONVERSIONS and name != "float32" else colour


def _array_module(image):
    """CuPy for a CuPy array, NumPy for anything else."""
    if type(image).__module__.startswith("cupy"):
        import cupy as cp

        return cp
    return np


def stored(image, path):
    """The image as the writer of `path` stores it whole: its alpha composited over BACKGROUND where the format
    has none, in an element type the writer takes (the same one where it can)."""
    ext = os.path.splitext(path)[1].lower()
    if image.ndim == 3 and image.shape[2] == 4 and ext not in _ALPHA:
        image = _composited(image)
    accepted = _STORES.get(ext, _EIGHT_BIT)
    if _type_name(image) in accepted:
        return image
    if image.dtype.kind == "f" and "float32" in accepted:
        return _converted(image, "float32")
    return _converted(image, accepted[0])


@dataclasses.dataclass(frozen=True)
class Store:
    """Writes an image with `picstore`, in the format of the path's extension.

    The image is first made what the format stores (`stored`): 8-bit and
    16-bit images keep their depth where the format holds it, float images
    stay float32 in TIFF and become 16-bit PNG, and 8-bit-only formats such
    as JPEG, WebP and BMP get uint8, properly scaled. Grey stays grey; alpha
    is kept in PNG, TIFF and WebP and composited over white (`BACKGROUND`)
    in every other format.

    keep_profile: an input's embedded ICC profile is written into the
    output instead of its pixels being converted to sRGB on load, where the
    output is an 8-bit colour JPEG, PNG, WebP or TIFF (Pillow writes those
    then, with the same options); other outputs get the pixels converted as
    without it. quality (1..100): JPEG (default `JPEG_QUALITY`) and WebP (default:
    lossless). compression (0..9): PNG's zlib level (default 3); TIFF: 0
    uncompressed, 1..9 deflate (default LZW; float32 TIFF: deflate). param:
    picstore's own option for the format, where given (not -1) it wins over
    both. A float32 TIFF, and a WebP of a given quality, are encoded here and
    written whole or not at all, as picstore writes.
    """

    param: int = -1
    swap_rb: bool = False
    quality: int = None
    compression: int = None
    keep_profile: bool = False

    def __post_init__(self):
        for name, low, high in (("quality", 1, 100), ("compression", 0, 9)):
            value = getattr(self, name)
            if value is not None and (isinstance(value, bool) or not isinstance(value, int) or
                                      not low <= value <= high):  # fmt: skip
                raise UsageError(f"--{name} takes an int from {low} to {high}, got {value!r}")

    def carries(self, path):
        """Whether an output at `path` takes its input's ICC profile (so that the pixels stay as stored)."""
        return self.keep_profile and os.path.splitext(path)[1].lower() in _PROFILE_WRITERS

    def __call__(self, path, image, profile=None):
        """Write `image` at `path`; `profile`: the ICC profile to embed where `carries(path)` (None: none)."""
        image = stored(image, path)
        ext = os.path.splitext(path)[1].lower()
        name = _type_name(image)
        if profile is not None and self.carries(path) and name == "uint8" and image.ndim == 3:
            _whole(path, lambda temporary: self._with_profile(temporary, ext, image, profile))
            return
        if name == "float32" and ext in (".tif", ".tiff"):
            _whole(path, lambda temporary: _float_tiff(temporary, image, self.swap_rb, self.compression))
            return
        if ext == ".webp" and self.quality is not None and self.param == -1:
            _whole(path, lambda temporary: _webp(temporary, image, self.swap_rb, self.quality))
            return
        from ..io.picstore import picstore

        picstore(path, image, self._param(ext), self.swap_rb)

    def _with_profile(self, path, ext, image, profile):
        """Pillow writes an 8-bit colour image with its ICC profile, at this step's options."""
        from PIL import Image

        from .reading import swapped

        host = _host(image)
        picture = Image.fromarray(host if self.swap_rb else swapped(host), "RGB" if host.shape[2] == 3 else "RGBA")
        form = _PROFILE_WRITERS[ext]
        if form == "JPEG":
            options = {"quality": JPEG_QUALITY if self.quality is None else self.quality}
        elif form == "PNG":
            options = {"compress_level": 3 if self.compression is None else self.compression}
        elif form == "WEBP":
            options = {"lossless": True} if self.quality is None else {"quality": self.quality}
        else:
            options = {"compression": "tiff_lzw" if self.compression is None else
                       "raw" if self.compression == 0 else "tiff_adobe_deflate"}  # fmt: skip
        picture.save(path, format=form, icc_profile=profile, **options)

    def _param(self, ext):
        """picstore's option for a file of extension `ext`."""
        if self.param != -1:
            return self.param
        if ext in (".jpg", ".jpeg"):
            return JPEG_QUALITY if self.quality is None else self.quality
        if ext == ".png" and self.compression is not None:
            return self.compression
        if ext in (".tif", ".tiff") and self.compression is not None:
            return 1 if self.compression == 0 else 8  # TIFF's compression schemes: none, deflate
        return -1


JPEG_QUALITY = 95  # a run's JPEG quality unless one is given; picstore's own default is 100

# The outputs that carry an input's ICC profile (`Store.keep_profile`): Pillow's format for each.
_PROFILE_WRITERS = {".jpg": "JPEG", ".jpeg": "JPEG", ".png": "PNG", ".webp": "WEBP", ".tif": "TIFF", ".tiff": "TIFF"}


def _host(image):
    """A device or host image as a NumPy array."""
    return image.get() if hasattr(image, "get") else np.asarray(image)


def _float_tiff(path, image, swap_rb, compression):
    """A float32 TIFF of a (H, W[, C]) image, red-green-blue in the file; deflate unless `compression` is 0."""
    import tifffile

    host = _host(image)
    colour = host.ndim == 3 and host.shape[2] in (3, 4)
    if colour and not swap_rb:
        host = host[:, :, [2, 1, 0, 3][: host.shape[2]]]
    packing = {} if compression == 0 else {"compression": "zlib", "compressionargs": {"level": compression or 6}}
    tifffile.imwrite(path, np.ascontiguousarray(host), photometric="rgb" if colour else "minisblack",
                     extrasamples=["unassalpha"] if colour and host.shape[2] == 4 else None, **packing)


def _webp(path, image, swap_rb, quality):
    """A lossy WebP of `quality`."""
    import cv2

    host = _host(image)
    if swap_rb and host.ndim == 3 and host.shape[2] in (3, 4):
        host = host[:, :, [2, 1, 0, 3][: host.shape[2]]]
    ok, encoded = cv2.imencode(".webp", host, [cv2.IMWRITE_WEBP_QUALITY, quality])
    if not ok:
        raise RuntimeError(f"Failed to write image to {path}")
    with open(path, "wb") as f:
        f.write(encoded.tobytes())


def _whole(path, write):
    """write(temporary) to a hidden temporary beside `path` (named as picstore names its own, so that a killed
    run's is found), renamed over `path` once complete; the temporary removed on failure."""
    path = os.path.realpath(path)
    folder, name = os.path.split(path)
    temporary = os.path.join(folder, f".{name[:100]}.{os.getpid()}-{next(_counter)}-{time.time_ns():x}.tmp")
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


_counter = itertools.count()


@dataclasses.dataclass(frozen=True)
class Resize:
    """`resize` to `size` = (width, height), with `interpolation` (INTER_AUTO: area down, Mitchell up).

    One side may be None: it follows from the other and the image's aspect
    ratio (at least 1 pixel). compat="pil": Pillow's bytes, `interpolation` one
    of Pillow's filter values (on the command line `resize:WxH:pil-lanczos`).
    """

    size: tuple
    interpolation: int = INTER_AUTO
    compat: str = None
    linear: bool = False

    def __post_init__(self):
        object.__setattr__(self, "size", _size(self.size, "resize size", one_side=True))
        _flag(self.linear, "resize linear")

    def target(self, height, width):
        """(width, height) for an image of `height` x `width`."""
        w, h = self.size
        if w is None:
            w = max(1, round(width * h / height))
        elif h is None:
            h = max(1, round(height * w / width))
        return w, h

    @property
    def contract(self):
        return _kept_contract(self)

    def __call__(self, image):
        from ..transform.resize import resize

        return resize(image, self.target(*image.shape[:2]), self.interpolation, **light(self, image))


@dataclasses.dataclass(frozen=True)
class Fit:
    """`resize` to the largest size inside `box` = (width, height) with the image's aspect ratio kept.

    The image is scaled until it touches the box on one side; the other side
    is rounded (at least 1 pixel). An image already inside the box keeps its
    size unless `enlarge` (on the command line `fit:WxH:up`).
    `interpolation` and `compat` as `Resize`.
    """

    box: tuple
    interpolation: int = INTER_AUTO
    enlarge: bool = False
    compat: str = None
    linear: bool = False

    def __post_init__(self):
        object.__setattr__(self, "box", _size(self.box, "fit box"))
        _flag(self.linear, "fit linear")

    def target(self, height, width):
        """(width, height) for an image of `height` x `width`."""
        box_w, box_h = self.box
        if not self.enlarge and width <= box_w and height <= box_h:
            return width, height
        if width * box_h <= height * box_w:      # the height touches the box
            return min(box_w, max(1, round(width * box_h / height))), box_h
        return box_w, min(box_h, max(1, round(height * box_w / width)))

    @property
    def contract(self):
        return _kept_contract(self)

    def __call__(self, image):
        from ..transform.resize import resize

        return resize(image, self.target(*image.shape[:2]), self.interpolation, **light(self, image))


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
    linear: bool = False

    def __post_init__(self):
        _flag(self.linear, "warp linear")
        matrix = np.array(self.matrix, dtype=np.float64)
        if matrix.shape not in ((2, 3), (3, 3)):
            raise UsageError(f"warp matrix must be 2 x 3 or 3 x 3, got shape {matrix.shape}")
        object.__setattr__(self, "matrix", matrix)
        object.__setattr__(self, "dsize", _size(self.dsize, "warp dsize"))

    @property
    def perspective(self):
        """Whether the matrix is a 3 x 3 perspective one (else a 2 x 3 affine one)."""
        return self.matrix.shape == (3, 3)

    def _function(self, module):
        """`warp_perspective` or `warp_affine` of `module` (the warp module or the tiled one), by the matrix."""
        return module.warp_perspective if self.perspective else module.warp_affine

    @property
    def filter(self):
        """The filter that `flags` names, INTER_AUTO resolved."""
        if self.flags != INTER_AUTO:
            return self.flags
        block = self.matrix[:2, :2]
        if self.perspective and self.matrix[2, 2] != 0:
            block = block / abs(self.matrix[2, 2])
        enlarges = bool((np.hypot(block[0], block[1]) > 1.0).any())   # column lengths: each source axis's image
        from ..transform.resampling.arguments import auto_interpolation

        return auto_interpolation(enlarges)

    @property
    def contract(self):
        def over_list(images):
            from ..transform import warp

            return self._function(warp)(images, self.matrix, self.dsize, flags=self.filter, **light(self, images[0]))

        def tiled(src, shape, memory_budget, out, progress):
            from ..transform import tiled

            _whole_alpha(shape)
            return self._function(tiled)(src, self.matrix, self.dsize, self.filter, memory_budget=memory_budget,
                                         out=out, progress=progress)  # fmt: skip

        return Contract(CONVERSIONS, KEPT, lambda shape: _reshaped(shape, self.dsize), over_list,
                        None if self.linear else tiled)  # fmt: skip

    def __call__(self, image):
        from ..transform import warp

        return self._function(warp)(image, self.matrix, self.dsize, flags=self.filter, **light(self, image))


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

    @property
    def contract(self):
        # the engine takes floats as they are (nothing is scaled): 0..1, whatever the file's depth
        return Contract(("float32", "float16"), KEPT, prepare=lambda: engine_zoom(self.engine, self.device_id))

    def __call__(self, image):
        """The engine on the colour: grey goes in as three equal channels and comes back as their first; an
        alpha channel is resized (`INTER_AUTO`) to the engine's result beside it."""
        import cupy as cp

        from .engine_tiles import tiled_upscale

        colour = image
        if image.ndim == 2:
            colour = cp.ascontiguousarray(cp.stack([image] * 3, axis=-1))
        elif image.ndim == 3 and image.shape[2] == 4:
            colour = cp.ascontiguousarray(image[:, :, :3])
        zoom, lock = engine_zoom(self.engine, self.device_id)
        with lock:
            result = tiled_upscale(zoom, colour, self.tile, self.overlap)
        if image.ndim == 2:
            return cp.ascontiguousarray(result[:, :, 0])
        if colour is not image:
            from ..transform.resize import resize

            alpha = resize(cp.ascontiguousarray(image[:, :, 3]), (result.shape[1], result.shape[0]))
            return cp.ascontiguousarray(cp.concatenate([result, alpha[:, :, None].astype(result.dtype)], axis=-1))
        return result


@dataclasses.dataclass(frozen=True)
class Convert:
    """Converts to an element type, "uint8", "uint16", "float16" or "float32", with the package's conversions."""

    dtype: str

    def __post_init__(self):
        if self.dtype not in CONVERSIONS:
            raise UsageError(f"convert takes one of {', '.join(CONVERSIONS)}, got {self.dtype!r}")

    @property
    def contract(self):
        return Contract(gives=self.dtype, shape=tuple)

    def __call__(self, image):
        return _converted(image, self.dtype)


# ----- one EngineZoom per engine file per process -------------------------------------

_engines = {}
_engines_lock = threading.Lock()


def engine_zoom(path, device_id=0):
    """This process's `EngineZoom` for an engine file and the lock that its callers take around it.

    Built on first use and kept for the life of the process (one per Dask
    worker); an instance serves one frame at a time, hence the lock. What
    its construction prints (the engine, each tensor's shape) is held back;
    one line on standard error names the engine loaded, so that standard
    output keeps only what the caller prints and a progress bar stays clean.
    """
    key = (os.path.abspath(path), device_id, os.getpid())
    with _engines_lock:
        entry = _engines.get(key)
        if entry is None:
            from ..upscale.enginezoom import EngineZoom

            with contextlib.redirect_stdout(io.StringIO()):
                zoom = EngineZoom(model_path=path, device_id=device_id)
            print(f"zemvara: engine {path} loaded", file=sys.stderr)
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


def _pil_option(step, arg):
    """(arg less a last `:pil` or `:pil-FILTER`, the step's keywords for it): Pillow's bytes with
    one of its filters by name, bicubic (its default) without one."""
    rest, sep, last = arg.rpartition(":")
    kind, _, name = last.lower().partition("-")
    if not sep or kind != "pil":
        return arg, {}
    from PIL import Image

    try:
        pil_filter = Image.Resampling[(name or "bicubic").upper()]
    except KeyError:
        names = ", ".join(f.name.lower() for f in Image.Resampling)
        raise UsageError(f"{step}: {last!r} names none of Pillow's filters ({names})") from None
    return rest, {"interpolation": int(pil_filter), "compat": "pil"}


def _parse_resize(arg):
    arg, pil = _pil_option("resize", arg)
    return Resize(_parse_size("resize", arg, one_side=True), **pil)


def _parse_fit(arg):
    arg, pil = _pil_option("fit", arg)
    size, sep, mode = arg.partition(":")
    if sep and mode.lower() != "up":
        raise UsageError(f"fit takes a size {_BY_NAME['fit'].syntax} (such as 640x480 or 640x480:up), got {arg!r}")
    return Fit(_parse_size("fit", size, one_side=False), enlarge=bool(sep), **pil)


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
    StepForm("resize", "WxH|Wx|xH[:pil[-FILTER]]", "resize to W x H, or to one side with the aspect ratio kept "
             "(:pil: Pillow's bytes, its FILTER or bicubic)", _parse_resize),
    StepForm("fit", "WxH[:up][:pil[-FILTER]]", "shrink to fit inside W x H, the aspect ratio kept (:up also enlarges; "
             ":pil as resize)", _parse_fit),
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
