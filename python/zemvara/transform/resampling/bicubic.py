"""Affine-warp kernel, bicubic: the Keys cubic with a = -0.75, widened on reduction.

Launched as `bicubic_affine_kernel(grid, block, args)`; see `AffineKernel`.
"""

from ._affine import AffineKernel

bicubic_affine_kernel = AffineKernel("bicubic")
