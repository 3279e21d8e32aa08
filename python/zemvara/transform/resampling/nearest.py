"""Affine-warp kernel, nearest neighbour: the source pixel floor(p + 1/2).

Launched as `nearest_affine_kernel(grid, block, args)`; see `AffineKernel`.
"""

from ._affine import AffineKernel

nearest_affine_kernel = AffineKernel("nearest")
