"""Host NumPy arrays from device arrays and tensors: `to_numpy`."""

from typing import Any

import numpy.typing as npt

def to_numpy(array: Any) -> npt.NDArray[Any]:
    """Return a CuPy array or a PyTorch tensor (on any device) as a host NumPy array with the same shape, element type and values."""
