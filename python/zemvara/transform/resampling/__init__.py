"""Resampling kernels: the filter table (`filters`), its device code (`_filters.cuh`), the warp and resize kernels (`_source.cu`).

Each of the modules `nearest`, `bilinear`, `bicubic`, `area`, `mitchell` and
`lanczos` exports `<name>_affine_kernel`, a callable launched as
`kernel(grid, block, args)`; see `_kernels.AffineKernel` for what it accepts.
`_kernels.array_view` is the one way the resampling code reads an array a kernel
will touch.
"""
