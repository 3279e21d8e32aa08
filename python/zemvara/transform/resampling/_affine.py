"""The affine-warp kernel callable that the six filter modules export (`<family>_affine_kernel`).

`AffineKernel` checks the arguments of a launch (so that the kernel can
neither read outside `src` nor write outside the output), picks the
specialisation of the affine-warp source for `src` and launches it.
"""

import importlib

import numpy as np

from . import _sources, filters
from .arguments import auto_interpolation  # noqa: F401  (the affine module's INTER_AUTO rule)
from ._launch import (
    array_view,
    check_axes,
    check_launch,
    element_of,
    float32_array,
    size_of,
)

# The sources an affine-warp kernel takes.
ACCEPTED_SHAPES = "(H, W), (H, W, 1), (H, W, 3) or (H, W, 4)"


def _check_source(src, who):
    """(view, element code, channel count) of a warp source; TypeError or ValueError when it is refused."""
    view = array_view(src, who, "src")
    element = element_of(view, who)
    shape = view.shape
    if view.ndim == 2:
        channels = 1
    elif view.ndim == 3 and shape[2] in (1, 3, 4):
        channels = shape[2]
    else:
        raise ValueError(f"{who}: src has shape {shape}; accepted: {ACCEPTED_SHAPES}")
    check_axes(shape[:2], who)
    if not view.c_contiguous:
        raise ValueError(
            f"{who}: src of shape {shape} is not C-contiguous (strides {view.strides}); "
            "accepted: C-contiguous arrays (cp.ascontiguousarray makes one)"
        )
    if channels == 4 and view.data.ptr % (4 * view.itemsize):
        raise ValueError(
            f"{who}: src of shape {shape} starts {view.data.ptr % (4 * view.itemsize)} bytes into a pixel; "
            "a four-channel source is read a pixel at a time and must start on a pixel boundary (src.copy() makes one)"
        )
    return view, element, channels


class AffineKernel:
    """An affine-warp kernel of one filter, launched as `kernel(grid, block, args)`.

    `args` is `(src, output_image, inv_M_flat, src_h, src_w, dst_h, dst_w)`,
    followed by `B, C` (float32, the Mitchell-Netravali parameters) for the
    Mitchell kernel or by `A` (int >= 1, the Lanczos window) for the Lanczos
    kernel.

    - `src`: a C-contiguous CuPy array (H, W), (H, W, 1), (H, W, 3) or
      (H, W, 4) of uint8, uint16, float16 or float32; grey is replicated into
      the three output channels, alpha is ignored, values are not rescaled.
      `src_h`, `src_w` must be its height and width.
    - `output_image`: a C-contiguous float32 CuPy array (dst_h, dst_w, 3); each
      pixel (x, y) is written with the source sampled at
      (m0 x + m1 y + m2, m3 x + m4 y + m5), m = `inv_M_flat` (six float32
      values, pixel centres at integer coordinates). Positions outside the
      image see zeros.
    - `grid`, `block`: the launch geometry, one thread per destination pixel
      (x along the width, y along the height).

    Bad arguments raise TypeError or ValueError before anything is launched.
    The launch is asynchronous on the current stream.
    """

    def __init__(self, family):
        self.family = family
        self._row = filters.FAMILIES[family][0]
        self.__name__ = f"{family}_affine_kernel"
        self._extra = filters.call_params(family)
        self._params = ("src", "output_image", "inv_M_flat", "src_h", "src_w", "dst_h", "dst_w") + tuple(
            p.name for p in self._extra
        )

    def __repr__(self):
        return f"<resampling kernel {self.__name__}{self._params}>"

    def __call__(self, grid, block, args):
        who = self.__name__
        args = tuple(args)
        if len(args) != len(self._params):
            raise TypeError(f"{who} takes {len(self._params)} arguments {self._params}, got {len(args)}")
        src, output_image, inv_m, src_h, src_w, dst_h, dst_w = args[:7]
        source, element, channels = _check_source(src, who)
        if (size_of(src_h, who, "src_h"), size_of(src_w, who, "src_w")) != source.shape[:2]:
            raise ValueError(f"{who}: src_h, src_w ({src_h}, {src_w}) differ from the shape of src {source.shape}")
        dst_h, dst_w = size_of(dst_h, who, "dst_h"), size_of(dst_w, who, "dst_w")
        output = float32_array(output_image, (dst_h, dst_w, 3), who, "output_image", "writes")
        matrix = float32_array(inv_m, (6,), who, "inv_M_flat", "reads")
        values = self._values(args[7:], who)
        if dst_h == 0 or dst_w == 0:
            return  # nothing to write
        check_launch(grid, block, dst_w, dst_h, who)
        kernel = _sources.AFFINE.function(_sources.affine_expression(self._row, element, channels))
        kernel(grid, block, (source.data, output.data, matrix.data, np.int32(source.shape[0]),
                             np.int32(source.shape[1]), np.int32(dst_h), np.int32(dst_w))
                            + tuple(np.float32(v) for v in values))  # fmt: skip

    def _values(self, given, who):
        """The two parameter values for the traits block: the row's, with the call's arguments in their place."""
        values = {p.name: p.value for p in self._row.params}
        for param, value in zip(self._extra, given):
            if param.kind is int:
                if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
                    raise TypeError(f"{who}: {param.name} must be an int, got {type(value).__name__}")
            elif isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
                raise TypeError(f"{who}: {param.name} must be a real number, got {type(value).__name__}")
            if not param.low <= value <= param.high:
                raise ValueError(f"{who}: {param.name} must lie in {param.low:g}..{param.high:g}, got {value}")
            values[param.name] = value
        return tuple(float(v) for v in values.values()) + (0.0,) * (2 - len(values))


def kernel_of(family):
    """The exported kernel callable of a family: `resampling.<family>.<family>_affine_kernel`."""
    module = importlib.import_module(f"{__package__}.{family}")
    return getattr(module, f"{family}_affine_kernel")


def affine_call(interpolation):
    """(kernel, extra arguments) of the filter whose row in the table has this INTER_* value; None
    when no row has it. The extra arguments are the row's values of its family's call parameters."""
    try:
        row = filters.BY_INTER.get(interpolation)
    except TypeError:  # unhashable: no row's value
        return None
    if row is None:
        return None
    passed = {p.name for p in filters.call_params(row.family)}
    extra = tuple(int(p.value) if p.kind is int else np.float32(p.value) for p in row.params if p.name in passed)
    return kernel_of(row.family), extra
