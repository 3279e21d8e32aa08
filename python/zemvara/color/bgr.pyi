"""Channel-order swaps between blue-green-red and red-green-blue: `bgr_to_rgb`, `rgb_to_bgr`."""

from typing import Any, TypeVar

import cupy as cp
import numpy.typing as npt

_Image = TypeVar("_Image", cp.ndarray, npt.NDArray[Any])

def bgr_to_rgb(image: _Image) -> _Image:
    """Return a blue-green-red image in red-green-blue order (channels 0 and 2 exchanged)."""

def rgb_to_bgr(image: _Image) -> _Image:
    """Return a red-green-blue image in blue-green-red order (channels 0 and 2 exchanged)."""
