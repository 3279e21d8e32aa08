"""Channel-order swaps between blue-green-red and red-green-blue: `bgr_to_rgb`, `rgb_to_bgr`.

Both functions are the same exchange, named by direction. For an image whose
last axis has 3 or 4 channels (ndim of 3 or more), channels 0 and 2 are
exchanged in one gather that returns a new array of the same kind, shape and
element type; a fourth (alpha) channel stays in place. Any other image (2-D,
or 1 or 2 channels, or another channel count) carries no red and blue to
exchange and is returned unchanged, as the same object. Swapping twice gives
the original values back.
"""

import cupy as cp
import numpy as np

# Gather order along the last axis, by channel count.
_SWAPPED_ORDER = {3: [2, 1, 0], 4: [2, 1, 0, 3]}


def _swap_red_blue(image):
    if not isinstance(image, cp.ndarray):
        image = np.asarray(image)
    if image.ndim < 3:
        return image
    order = _SWAPPED_ORDER.get(image.shape[-1])
    if order is None:
        return image
    # Integer-array indexing always copies, so the result never aliases the input.
    return image[..., order]


def bgr_to_rgb(image):
    """Return a blue-green-red image in red-green-blue order (channels 0 and 2 exchanged)."""
    return _swap_red_blue(image)


def rgb_to_bgr(image):
    """Return a red-green-blue image in blue-green-red order (channels 0 and 2 exchanged)."""
    return _swap_red_blue(image)
