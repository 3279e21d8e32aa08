"""Affine-warp kernel, Mitchell-Netravali cubic with the parameters B and C, widened on reduction.

Launched as `mitchell_affine_kernel(grid, block, args)`; see `AffineKernel`.
"""

from ._affine import AffineKernel

mitchell_affine_kernel = AffineKernel("mitchell")
