"""Layout inference and conversions between images and normalised, channel-first batches."""

from typing import Literal, TypeAlias

import cupy as cp

Layout: TypeAlias = Literal["HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported"]
"""The layout names that `guess_image_layout` returns and the conversions accept."""

_Norm: TypeAlias = float | tuple[float, float, float] | None

def guess_image_layout(image: cp.ndarray) -> Layout:
    """Infer an array's layout from its shape.

    Rank 2 is "HW"; rank 3 is "CHW" or "HWC" by which axis can be a channel
    count (1, 3 or 4), "ambiguous" when the shape cannot tell; rank 4 likewise
    "NCHW" or "NHWC"; any other rank is "unsupported".
    """

def image_to_batch(
    image: cp.ndarray,
    std: _Norm = None,
    size: int | tuple[int, int] | None = None,
    mean: _Norm = None,
    swap_rb: bool = True,
    layout: Layout = "HWC",
) -> cp.ndarray:
    """Pack one image into a (1, C, H, W) batch: swap to RGB, resize, normalise.

    Args:
        image: an "HWC", "HW" or "CHW" image (another layout string lets the
            shape decide; an "NCHW" batch is returned as it is, an "NHWC"
            batch transposed, with no other step).
        std: divide by this after subtracting `mean` (one value or one per channel).
        size: resize to (width, height), or to (size, size) for an int, with
            INTER_AUTO.
        mean: subtract this (one value or one per channel).
        swap_rb: exchange blue and red first (an "HWC" image only).
        layout: the layout of `image`.

    Returns:
        A (1, C, H, W) view of the working array; the caller's array is never
        changed.
    """

def images_to_batch(
    images: cp.ndarray | list[cp.ndarray],
    size: int | tuple[int, int] | None = None,
    std: _Norm = None,
    mean: _Norm = None,
    swap_rb: bool = True,
    layout: Layout = "HWC",
) -> cp.ndarray:
    """Pack a list of images into one (N, C, H, W) batch (`image_to_batch` for each, concatenated).

    A single array is passed to `image_to_batch`. Note the parameter order:
    `size` comes before `std` here, after it in `image_to_batch`. `size` is
    (width, height).
    """

def batch_to_images(
    batch: cp.ndarray,
    std: _Norm = None,
    mean: _Norm = None,
    swap_rb: bool = True,
    layout: Layout = "NCHW",
) -> list[cp.ndarray]:
    """Unpack a batch into a list of (H, W, C) images, undoing the normalisation.

    Args:
        batch: (N, C, H, W), or (N, H, W, C) when `layout` is not "NCHW" and
            the shape says so.
        std: multiply by this first (one value or one per channel).
        mean: then add this.
        swap_rb: exchange red and blue (RGB batch to BGR images).
        layout: "NCHW", or anything else to let the shape decide.

    Returns:
        One channel-last image per batch entry (views of `batch` where no
        normalisation ran).
    """
