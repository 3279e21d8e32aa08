"""Resampling kernels: one CUDA source (`_source.cu`), six affine-warp kernels and the resize kernel.

Each of the modules `nearest`, `bilinear`, `bicubic`, `area`, `mitchell` and
`lanczos` exports `<name>_affine_kernel`, a callable launched as
`kernel(grid, block, args)`; see `_kernels.AffineKernel` for what it accepts.
"""
