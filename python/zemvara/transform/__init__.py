"""Transforms of GPU images: interleaved subsampling (`subsample`, `weavepack`), affine warps (`affine`), `resize` and the interpolation constants (`schema`)."""
