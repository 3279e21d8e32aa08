"""Affine-warp kernel, Lanczos with the window A, widened on reduction.

Launched as `lanczos_affine_kernel(grid, block, args)`; see `AffineKernel`.
"""

from ._affine import AffineKernel

lanczos_affine_kernel = AffineKernel("lanczos")
