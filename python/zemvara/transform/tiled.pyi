"""Resize and warps of host-side images larger than the GPU, tile by tile within a device-memory budget."""

import os
from typing import Any, Callable, Optional, Sequence, Union

import numpy as np

from .schema import INTER_AUTO as INTER_AUTO
from .schema import INTER_LINEAR as INTER_LINEAR
from .warp import BORDER_CONSTANT as BORDER_CONSTANT
from .warp import BORDER_REFLECT as BORDER_REFLECT
from .warp import BORDER_REFLECT_101 as BORDER_REFLECT_101
from .warp import BORDER_REPLICATE as BORDER_REPLICATE
from .warp import BORDER_TRANSPARENT as BORDER_TRANSPARENT
from .warp import BORDER_WRAP as BORDER_WRAP
from .warp import WARP_INVERSE_MAP as WARP_INVERSE_MAP

SIDES: tuple[int, ...]  # output tile sides tried, largest first
DEFAULT_SHARE: float  # without a budget: this share of the free device memory
TIFF_SUFFIXES: tuple[str, ...]  # the suffixes of the paths read and written as TIFF files

# A host-side image: a NumPy array or memmap, a zarr array, anything sliceable with shape and dtype.
_Source = Union[np.ndarray, Any, str, os.PathLike[str]]
_Progress = Optional[Callable[[int, int], object]]

def resize(
    src: _Source,
    dsize: tuple[int, int],
    interpolation: int = INTER_AUTO,
    *,
    compat: Optional[str] = None,
    memory_budget: Optional[int] = None,
    out: Any = None,
    progress: _Progress = None,
) -> Any:
    """Resize a host-side image of any size to dsize = (width, height), tile by tile on the GPU.

    The result is the whole-image resize's. src: (H, W) or (H, W, C) on the
    host, or a path (TIFF read lazily, .npy, a zarr store). memory_budget:
    device bytes the call may allocate (default half the free memory); a
    budget too small for one tile and its window raises MemoryError naming the
    minimum. out: None (a new NumPy array), a NumPy or zarr array to fill, or a
    .tif/.tiff path written as a tiled BigTIFF, whole or not at all.
    progress(done, total) after each tile. Returns the array, or out.
    compat="pil": Pillow's bytes whatever the tiling (uint8 and float32),
    interpolation one of Pillow's filter values.
    """

def warp_affine(
    src: _Source,
    M: Union[np.ndarray, Sequence[Sequence[float]]],
    dsize: tuple[int, int],
    flags: int = INTER_LINEAR,
    border_mode: int = BORDER_CONSTANT,
    border_value: Union[float, Sequence[float]] = 0,
    *,
    memory_budget: Optional[int] = None,
    out: Any = None,
    progress: _Progress = None,
) -> Any:
    """Warp a host-side image of any size by a 2 x 3 affine matrix, tile by tile on the GPU.

    The whole-image warp_affine's result, positions within float32 rounding.
    src: (H, W) or (H, W, C) with C from 1 to 4; M, dsize, flags,
    border_mode, border_value as in zemvara.transform.warp; memory_budget,
    out and progress as in resize (BORDER_TRANSPARENT needs out as an array).
    """

def warp_perspective(
    src: _Source,
    M: Union[np.ndarray, Sequence[Sequence[float]]],
    dsize: tuple[int, int],
    flags: int = INTER_LINEAR,
    border_mode: int = BORDER_CONSTANT,
    border_value: Union[float, Sequence[float]] = 0,
    *,
    memory_budget: Optional[int] = None,
    out: Any = None,
    progress: _Progress = None,
) -> Any:
    """Warp a host-side image of any size by a 3 x 3 projective matrix, tile by tile on the GPU.

    The arguments are those of warp_affine with M 3 x 3; where the map's
    denominator is zero or negative the pixel takes border_value.
    """

def open_tiff_page(path: Union[str, os.PathLike[str]]) -> tuple[Any, Callable[[], None]]:
    """The first page of a TIFF file as an array read tile by tile, and the function that closes it.

    A page stored uncompressed is memory-mapped; any other is read through
    tifffile's zarr store, a striped one a band of whole strips at a time, so
    that no part of the file is decoded twice over a row of tiles.
    """
