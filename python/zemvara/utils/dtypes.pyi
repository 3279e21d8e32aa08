"""Element-type conversions of images: `to_uint8`, `to_uint16`, `to_float16`, `to_float32`.

Floating-point images have the nominal range 0..1, integer images their type's
full range. Conversion to an integer type rounds to nearest and clips (NaN
becomes 0); uint8 <-> uint16 scales by 257; conversions between floating-point
types keep every value. Each function takes a CuPy or a NumPy array and returns
the same kind (the input itself when it already has the target type).
"""

from typing import Any, TypeVar

import cupy as cp
import numpy.typing as npt

_Image = TypeVar("_Image", cp.ndarray, npt.NDArray[Any])

def to_uint8(image: _Image) -> _Image:
    """Convert an image to uint8 (0..255): floats scaled by 255, uint16 by 1/257, rounded and clipped."""

def to_uint16(image: _Image) -> _Image:
    """Convert an image to uint16 (0..65535): floats scaled by 65535, uint8 by 257, rounded and clipped."""

def to_float16(image: _Image) -> _Image:
    """Convert an image to float16: integers scaled to 0..1 by their maximum, floats kept as they are."""

def to_float32(image: _Image) -> _Image:
    """Convert an image to float32: integers scaled to 0..1 by their maximum, floats kept as they are."""
