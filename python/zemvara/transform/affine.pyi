"""Affine warps of GPU images by a forward 2 x 3 matrix, with ten filters or an automatic choice."""

from typing import Any, TypeVar

import cupy as cp
import numpy as np
import numpy.typing as npt

from .schema import INTER_AREA as INTER_AREA
from .schema import INTER_AUTO as INTER_AUTO
from .schema import INTER_B_SPLINE as INTER_B_SPLINE
from .schema import INTER_CATMULL_ROM as INTER_CATMULL_ROM
from .schema import INTER_CUBIC as INTER_CUBIC
from .schema import INTER_LANCZOS2 as INTER_LANCZOS2
from .schema import INTER_LANCZOS3 as INTER_LANCZOS3
from .schema import INTER_LANCZOS4 as INTER_LANCZOS4
from .schema import INTER_LINEAR as INTER_LINEAR
from .schema import INTER_MITCHELL as INTER_MITCHELL
from .schema import INTER_NEAREST as INTER_NEAREST

_Matrix = TypeVar("_Matrix", cp.ndarray, npt.NDArray[Any])

affine_call: Any  # INTER_* value -> (kernel, its extra arguments) from the filter table, or None
nearest_affine_kernel: Any
bilinear_affine_kernel: Any
bicubic_affine_kernel: Any
area_affine_kernel: Any
mitchell_affine_kernel: Any
lanczos_affine_kernel: Any

def get_inverse_matrix(M: _Matrix) -> _Matrix:
    """Invert an affine map.

    Args:
        M: a 2 x 3 (or 3 x 3, cut to its first two rows) NumPy or CuPy matrix.

    Returns:
        The 2 x 3 inverse, float64, of the same kind (NumPy or CuPy) as M.
    """

def affine_transform(
    src: cp.ndarray,
    M: cp.ndarray | npt.NDArray[np.floating[Any]],
    dsize: tuple[int, int],
    flags: int = INTER_AUTO,
) -> cp.ndarray:
    """Warp an image by a forward affine matrix.

    Args:
        src: (H, W) or (H, W, C) CuPy image, C in 1, 3 or 4, of uint8, uint16,
            float16 or float32.
        M: forward (source to destination) 2 x 3 matrix, NumPy or CuPy; a
            3 x 3 matrix is cut to its first two rows.
        dsize: the output size as (height, width), NumPy's shape order (not
            OpenCV's). Must be a tuple.
        flags: one of the INTER_* constants of `zemvara.transform.schema`.
            INTER_AUTO picks Mitchell when the map enlarges along either axis
            and area averaging otherwise.

    Returns:
        A new float32 (height, width, 3) image, whatever the input's element
        type and channel count; output pixels that map outside the source are 0.
        Pixel centres are at integer coordinates.
    """
