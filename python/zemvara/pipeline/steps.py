"""The steps of a pipeline, each a small picklable object over one public function of the package.

A step in the middle of a pipeline is any callable that takes a GPU image and
returns one: `Resize`, `Warp`, `Upscale` and `Convert` here, or a function of
the caller's own. `Load` reads the file at the start and `Store` writes it at
the end. Steps hold only plain values (sizes, names, paths), never GPU memory,
so that a pipeline travels to Dask workers as it is; `Upscale` keeps its
`EngineZoom` in a per-process cache instead (`engine_zoom`).
"""

import contextlib
import dataclasses
import os
import re
import sys
import threading

import numpy as np

from ..transform.schema import INTER_AREA, INTER_AUTO, INTER_MITCHELL

__all__ = ["Load", "Resize", "Warp", "Upscale", "Convert", "Store", "UsageError", "parse_step", "parse_steps",
           "engine_zoom"]

CONVERSIONS = ("uint8", "uint16", "float16", "float32")


class UsageError(ValueError):
    """A pipeline or run that cannot start: a malformed step, conflicting options, clashing outputs."""


def _size(value, what):
    """(width, height) from an int pair, each at least 1."""
    try:
        width, height = (int(v) for v in value)
    except (TypeError, ValueError):
        raise UsageError(f"{what} must be (width, height), got {value!r}") from None
    if width < 1 or height < 1:
        raise UsageError(f"{what} must be at least 1 x 1, got {width} x {height}")
    return width, height


@dataclasses.dataclass(frozen=True)
class Load:
    """Reads a file with `picload`: `dtype` "fp32" (the default), "fp16", "uint8" or "uint16"; `swap_rb` for RGB."""

    dtype: str = "fp32"
    swap_rb: bool = False

    def __call__(self, path):
        from ..io.picload import picload

        return picload(path, self.dtype, self.swap_rb)


@dataclasses.dataclass(frozen=True)
class Store:
    """Writes an image with `picstore`, in the format of the path's extension, with its `param` (-1: default)."""

    param: int = -1
    swap_rb: bool = False

    def __call__(self, path, image):
        from ..io.picstore import picstore

        picstore(path, image, self.param, self.swap_rb)


@dataclasses.dataclass(frozen=True)
class Resize:
    """`resize` to `size` = (width, height), with `interpolation` (INTER_AUTO: area down, Mitchell up)."""

    size: tuple
    interpolation: int = INTER_AUTO

    def __post_init__(self):
        object.__setattr__(self, "size", _size(self.size, "resize size"))

    def __call__(self, image):
        from ..transform.resize import resize

        return resize(image, self.size, self.interpolation)


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


# ----- the command line's step syntax ------------------------------------------------

_SIZE = re.compile(r"(\d+)[xX](\d+)")


def parse_step(text):
    """One step from `resize:WxH`, `upscale:ENGINE` or `convert:TYPE`."""
    name, sep, arg = text.strip().partition(":")
    if not sep or not arg:
        raise UsageError(f"step {text!r} needs an argument: resize:WxH, upscale:ENGINE or convert:TYPE")
    if name == "resize":
        match = _SIZE.fullmatch(arg)
        if match is None:
            raise UsageError(f"resize takes a size WxH (such as 640x480), got {arg!r}")
        return Resize((int(match[1]), int(match[2])))
    if name == "upscale":
        if not os.path.isfile(arg):
            raise UsageError(f"upscale: no engine file at {arg}")
        return Upscale(arg)
    if name == "convert":
        return Convert(arg)
    raise UsageError(f"unknown step {name!r}: steps are resize:WxH, upscale:ENGINE and convert:TYPE")


def parse_steps(text):
    """The steps of a comma-separated list such as "resize:640x480,convert:uint8" (empty: none)."""
    return [parse_step(part) for part in text.split(",")] if text.strip() else []
