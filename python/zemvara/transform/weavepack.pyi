"""Two further reconstructions of interleaved sub-images: through a cached index map, and by gathering."""

from typing import Any

import cupy as cp

simple_copy_kernel_code: str
"""CUDA C source of `simple_copy_kernel`."""
simple_copy_kernel: cp.RawKernel
"""The copy kernel of the flattened reconstruction, compiled at import."""
gather_kernel_code: str
"""CUDA C source of `gather_kernel`."""
gather_kernel: cp.RawKernel
"""The gather kernel, compiled at import."""
_index_cache: dict[tuple[Any, ...], Any]

def create_output_order_indices(batch_shape: tuple[int, ...], dim: int) -> cp.ndarray:
    """Build the index map that puts the flattened sub-images into output order.

    Args:
        batch_shape: the (N, C, H, W) shape of the sub-image batch.
        dim: block size used for the subsampling.

    Returns:
        An int64 CuPy array of flat indices, one per output element.
    """

def subsample_image_back_flattened(subsampled_images: cp.ndarray | list[cp.ndarray], dim: int) -> cp.ndarray:
    """Reassemble interleaved sub-images by one flat copy through a cached index map.

    The index map for each (shape, dim) is built once and kept in the module.

    Args:
        subsampled_images: a (N, C, H, W) batch with N = dim * dim, or a list
            of N (H, W, C) images.
        dim: block size used for the subsampling.

    Returns:
        A new float32 (H * dim, W * dim, C) image.
    """

def subsample_image_back_gather(subsampled_images: cp.ndarray | list[cp.ndarray], dim: int) -> cp.ndarray:
    """Reassemble interleaved sub-images by gathering each output element directly, without an index map.

    Args and result as for `subsample_image_back_flattened`.
    """
