"""Affine-warp kernel, area: each source pixel weighted by its overlap with the destination pixel's footprint.

Launched as `area_affine_kernel(grid, block, args)`; see `AffineKernel`.
"""

from ._affine import AffineKernel

area_affine_kernel = AffineKernel("area")
