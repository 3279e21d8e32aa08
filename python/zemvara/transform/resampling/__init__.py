"""Resampling kernels: the filter table (`filters`) and the GPU kernels built from it.

Device code: `_filters.cuh` (element types, one traits block per filter, the
antialiasing rule), `_taps.cuh` (the tap loop the warps share), and one
source per kernel family: `_affine_warp.cu` (the affine warps of the six
filter modules), `_resize.cu` (resize weight tables and passes),
`_resize_fused.cu` (both resize passes in one launch, through shared
memory), `_warp.cu` (warps with border modes, as `warping` launches
them), `_list_resize.cu` and `_list_warp.cu` (one launch over a list of
images), `_resize_pil.cu` (the passes of `pil.resize_pil`, Pillow's
arithmetic over weight tables computed on the host). `_resize_host.cuh`
holds the CPU builds' row-wise loops of the resize
kernels. `_sources` compiles them, once per specialisation and device.

Each of the modules `nearest`, `bilinear`, `bicubic`, `area`, `mitchell` and
`lanczos` exports `<name>_affine_kernel`, a callable launched as
`kernel(grid, block, args)`; see `_affine.AffineKernel` for what it accepts.
`_launch.array_view` is the one way the resampling code reads an array a
kernel will touch; `_launch` also holds the grid checks.
"""
