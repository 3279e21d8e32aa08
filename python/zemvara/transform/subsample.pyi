"""Interleaved subsampling of an image into dim x dim sub-images, and its reconstruction on the GPU.

Sub-image ``dy * dim + dx`` holds the pixels whose row mod dim is dy and whose
column mod dim is dx.
"""

import cupy as cp

reconstruct_optimized_kernel_code: str
"""CUDA C source of `reconstruct_optimized_kernel`."""
reconstruct_optimized_kernel: cp.RawKernel
"""The reconstruction kernel, compiled when the module is imported."""

def subsample_image(image: cp.ndarray, dim: int) -> list[cp.ndarray]:
    """Split an image into dim * dim interleaved sub-images.

    Args:
        image: (H, W) or (H, W, C) CuPy array; H and W must be multiples of
            dim (ValueError otherwise).
        dim: block size, at least 1.

    Returns:
        dim * dim views of one common array, each (H // dim, W // dim[, C]),
        in the element type of `image`.
    """

def subsample_image_back(subsampled_images: cp.ndarray | list[cp.ndarray], dim: int) -> cp.ndarray:
    """Reassemble dim * dim interleaved sub-images into one image with a single kernel.

    Args:
        subsampled_images: a (N, C, H, W) batch with N = dim * dim, or a list
            of N (H, W, C) images as `subsample_image` returns them.
        dim: block size used for the subsampling.

    Returns:
        A new float32 (H * dim, W * dim, C) image.
    """
