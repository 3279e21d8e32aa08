"""Affine-warp kernel, bilinear: the tent filter over the 2 x 2 neighbours, never widened.

Launched as `bilinear_affine_kernel(grid, block, args)`; see `AffineKernel`.
"""

from ._affine import AffineKernel

bilinear_affine_kernel = AffineKernel("bilinear")
