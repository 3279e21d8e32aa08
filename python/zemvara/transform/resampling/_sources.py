"""The kernel sources, their specialisations and the one per-device compile cache.

A source is the shared filter code (`_filters.cuh`), then any code generated
from a table (the border constants of `borders`), then the files named for it
in this folder, then any text appended to it (`KernelSource.append`).
Each kernel of a source is a C++ template; a specialisation, named by its
name expression, is compiled through `cp.RawModule` the first time a call
asks for it and kept for later calls on that device: no call after the first
compiles.

- `AFFINE` (`_taps.cuh`, `_affine_warp.cu`): the affine warps of the six
  filter modules, float32 RGB out, zeros around the image.
- `RESIZE` (`_taps.cuh`, `_resize_host.cuh`, `_resize.cu`): the resize weight tables and passes.
- `RESIZE_FUSED` (`_taps.cuh`, `_resize_host.cuh`, `_resize_fused.cu`): resizes in one launch through shared
  memory, over the resize weight tables. A source of its own: its barriers
  concern its kernels alone.
- `WARP` (`_taps.cuh`, `_warp.cu`): the warps with border modes, affine
  and perspective, batches in one launch.
- `RESIZE_PIL` (`_resize_pil.cu`): the Pillow-compatible resize (`pil`): its
  passes over precomputed tables, nearest neighbour, alpha premultiplied and back.
- `RESIZE_CV` (`_resize_cv.cu`): the OpenCV-compatible resize (`opencv`): its
  passes over precomputed tables and its reductions by whole factors (its
  nearest neighbour is the Pillow-compatible one's gather, over its own indices).
"""

from pathlib import Path

import cupy as cp
import numpy as np

from . import borders, filters, light
from ._launch import ELEMENTS

# The element codes the resize and warp kernels are built for: the four types, and uint8 taken as
# sRGB-encoded (decoded in the loads, encoded in the stores; see light.py).
KERNEL_ELEMENTS = (*ELEMENTS.values(), light.SRGB_ELEMENT)

OPTIONS = ("--std=c++17",)

_HERE = Path(__file__).parent

# (device id, source name, name expression) -> compiled kernel.
_compiled = {}


class KernelSource:
    """One kernel source: the shared filter code, generated code, the named files, then any appended text."""

    def __init__(self, name, *files, generated=""):
        self.name = name
        self._parts = [filters.FILTERS_CODE, generated] + [(_HERE / f).read_text() for f in files]

    @property
    def code(self):
        return "".join(self._parts)

    def append(self, text):
        """Compile `text` after the source from now on (more kernels over the same device functions)."""
        self._parts.append(text)

    def function(self, expression):
        """The compiled kernel for a name expression of this source, on the current device."""
        key = (cp.cuda.Device().id, self.name, expression)
        kernel = _compiled.get(key)
        if kernel is None:
            module = cp.RawModule(code=self.code, options=OPTIONS, name_expressions=(expression,))
            kernel = _compiled[key] = module.get_function(expression)
        return kernel


AFFINE = KernelSource("affine", "_taps.cuh", "_affine_warp.cu")
RESIZE = KernelSource("resize", "_taps.cuh", "_resize_host.cuh", "_resize.cu", generated=light.KERNEL_CODE)
RESIZE_FUSED = KernelSource("resize_fused", "_taps.cuh", "_resize_host.cuh", "_resize_fused.cu",
                            generated=light.KERNEL_CODE)  # fmt: skip
# The warp kernels' footprint limit: source pixels a tap may lie from its position on each
# side (the stretch is capped so that the reach stays within it). The tiled warp's windows
# read it here.
WARP_MAX_REACH = 512.0
WARP = KernelSource("warp", "_taps.cuh", "_warp.cu",
                    generated=light.KERNEL_CODE + borders.KERNEL_CODE + f"#define WARP_MAX_REACH {WARP_MAX_REACH!r}f\n")
SOURCES = (AFFINE, RESIZE, RESIZE_FUSED, WARP)
# The tiles of the Pillow-compatible 8-bit pass along x: destination rows and at most this many
# columns a block, whose taps reach at most PIL_X_SPAN source pixels a row (the tables decide
# how many columns a block takes, `pil.x_tile_columns`).
PIL_X_ROWS, PIL_X_COLUMNS, PIL_X_SPAN, PIL_X_THREADS = 64, 56, 128, 256
# The 8-bit pass along y: columns a lane computes (32 apart), and the threads of a block (a warp a row).
PIL_Y_COLUMNS, PIL_Y_THREADS = 4, 128
RESIZE_PIL = KernelSource("resize_pil", "_resize_pil.cu",
                          generated="".join(f"#define PIL_{k} {v}\n" for k, v in
                                            (("X_ROWS", PIL_X_ROWS), ("X_COLUMNS", PIL_X_COLUMNS),
                                             ("X_SPAN", PIL_X_SPAN), ("X_THREADS", PIL_X_THREADS),
                                             ("Y_COLUMNS", PIL_Y_COLUMNS), ("Y_THREADS", PIL_Y_THREADS))))  # fmt: skip
RESIZE_CV = KernelSource("resize_cv", "_resize_cv.cu")


def _traits_rows():
    """One row per traits block: the kernels depend on the traits, not on the parameter values."""
    return list({row.traits: row for row in filters.FILTERS}.values())


# ---- AFFINE ------------------------------------------------------------------------


def affine_expression(row, element, channels):
    """The affine warp for a filter row, a source element code and channel count."""
    return f"zemvara::affine_warp<{row.traits}, zemvara::{element}, {channels}>"


def affine_expressions():
    return [affine_expression(r, e, c) for r in _traits_rows() for e in ELEMENTS.values() for c in (1, 3, 4)]


# ---- RESIZE ------------------------------------------------------------------------


def weights_expression(row):
    """The kernel that computes a resize weight table for a filter row."""
    return f"zemvara::resize_weights<{row.traits}>"


PASS_AXES = ("ALONG_Y", "ALONG_X", "ALONG_PACKED_X", "ALONG_VALUES_X", "ROWS_Y")


def _pass_channels(axis):
    """The channel counts a pass axis is launched with (ROWS_Y: values a thread)."""
    return {"ALONG_VALUES_X": (2, 3, 4), "ROWS_Y": (1, 4)}.get(axis, (1, 2, 3, 4))


def pass_expression(src_element, dst_element, channels, axis):
    """The resize pass from one element type to another, `channels` adjacent channels per thread, along `axis`."""
    return f"zemvara::resize_pass<zemvara::{src_element}, zemvara::{dst_element}, {channels}, zemvara::{axis}>"


def pass_expressions():
    """Every resize pass: into the float32 intermediate and out of it, 1 to 4 channels, either axis."""
    out = []
    for element in KERNEL_ELEMENTS:
        for axis in PASS_AXES:
            for channels in _pass_channels(axis):
                out.append(pass_expression(element, "F32", channels, axis))
                out.append(pass_expression("F32", element, channels, axis))
    return list(dict.fromkeys(out))


def resize_expressions():
    return [weights_expression(r) for r in _traits_rows()] + pass_expressions()


# ---- RESIZE_FUSED ------------------------------------------------------------------


def fused_expression(src_element, dst_element, channels, y_first, quads=False):
    """The one-launch resize from one element type to another, `channels` adjacent channels per thread,
    along y first or x first; `quads`: along y first in vector loads of four values."""
    return (f"zemvara::resize_fused<zemvara::{src_element}, zemvara::{dst_element}, {channels}, "
            f"{str(bool(y_first)).lower()}, {str(bool(quads)).lower()}>")  # fmt: skip


def fused_expressions():
    return [fused_expression(e, e, c, y, q) for e in KERNEL_ELEMENTS for c in (1, 2, 3, 4)
            for y, q in ((True, True), (True, False), (False, False))]  # fmt: skip


# ---- WARP --------------------------------------------------------------------------

# The traits blocks of the table, one specialisation family each.
WARP_TRAITS = tuple(dict.fromkeys(row.traits for row in filters.FILTERS))
WARP_CHANNELS = (1, 2, 3, 4)


def warp_expression(traits, element, channels, perspective):
    return f"zemvara::warp_image<{traits}, zemvara::{element}, {channels}, {str(perspective).lower()}>"


def warp_expressions():
    return [
        warp_expression(t, e, c, p)
        for p in (False, True)
        for t in WARP_TRAITS
        for e in KERNEL_ELEMENTS
        for c in WARP_CHANNELS
    ]


# ---- RESIZE_PIL --------------------------------------------------------------------

# The element types of the Pillow- and OpenCV-compatible resizes: NumPy dtype -> C++ type.
COMPAT_ELEMENTS = {np.dtype(np.uint8): "unsigned char", np.dtype(np.float32): "float"}
PIL_ELEMENTS = COMPAT_ELEMENTS
PIL_CHANNELS = (1, 2, 3, 4)


def pil_pass_expression(dtype, channels, along_y):
    return f"zemvara::pil::pass<{PIL_ELEMENTS[np.dtype(dtype)]}, {channels}, {str(bool(along_y)).lower()}>"


def pil_nearest_expression(dtype, channels):
    return f"zemvara::pil::nearest<{PIL_ELEMENTS[np.dtype(dtype)]}, {channels}>"


def pil_expressions():
    return ([pil_pass_expression(d, c, y) for d in PIL_ELEMENTS for c in PIL_CHANNELS for y in (False, True)]
            + [pil_nearest_expression(d, c) for d in PIL_ELEMENTS for c in PIL_CHANNELS]
            + [f"zemvara::pil::{k}<{c}>" for k in ("premultiply", "unpremultiply") for c in (2, 4)]
            + [pil_x_tiles_expression(c) for c in PIL_CHANNELS]
            + [pil_y_columns_expression(c) for c in PIL_CHANNELS])  # fmt: skip


def pil_y_columns_expression(channels):
    return f"zemvara::pil::pass_y_columns<{channels}>"


def pil_x_tiles_expression(channels):
    return f"zemvara::pil::pass_x_tiles<{channels}>"


# ---- RESIZE_CV ---------------------------------------------------------------------

CV_CHANNELS = (1, 2, 3, 4)
# The vertical pass's rules (tag types in _resize_cv.cu): 8-bit int sums by Fixed, Linear or Cubic; float
# sums by Float.
CV_INT_MODES = ("Fixed", "Linear", "Cubic")
# (image element, sum element) pairs of the horizontal pass.
CV_SUMS = (("unsigned char", "int"), ("unsigned char", "float"), ("float", "float"))


def cv_hpass_expression(dtype, accumulator, channels):
    return f"zemvara::cv::hpass<{COMPAT_ELEMENTS[np.dtype(dtype)]}, {accumulator}, {channels}>"


def cv_vpass_expression(accumulator, dtype, channels, mode):
    return f"zemvara::cv::vpass<{accumulator}, {COMPAT_ELEMENTS[np.dtype(dtype)]}, {channels}, zemvara::cv::{mode}>"


def cv_area_expression(dtype, channels):
    return f"zemvara::cv::area_fast<{COMPAT_ELEMENTS[np.dtype(dtype)]}, {channels}>"


def cv_expressions():
    by_name = {name: dtype for dtype, name in COMPAT_ELEMENTS.items()}
    sums = [cv_hpass_expression(by_name[e], a, c) for e, a in CV_SUMS for c in CV_CHANNELS]
    combines = [cv_vpass_expression(a, by_name[e], c, m) for e, a in CV_SUMS for c in CV_CHANNELS
                for m in (CV_INT_MODES if a == "int" else ("Float",))]  # fmt: skip
    return sums + combines + [cv_area_expression(d, c) for d in COMPAT_ELEMENTS for c in CV_CHANNELS]


EXPRESSIONS = {"affine": affine_expressions, "resize": resize_expressions, "resize_fused": fused_expressions,
               "warp": warp_expressions, "resize_pil": pil_expressions, "resize_cv": cv_expressions}  # fmt: skip


def all_expressions(source):
    """Every specialisation a source's kernels can ask for."""
    return tuple(EXPRESSIONS[source.name]())


def report_expressions(sources=SOURCES):
    """(expression, per_tap, count) of every specialisation of the sources, for the compiled-kernel
    report: an affine warp's tap is one load per channel (one per pixel for four channels, read as a
    vector), a resize pass's one FFMA per channel, a border-mode warp's one load per channel."""
    rows = {
        "affine": [
            (affine_expression(r, e, c), 1 if c == 4 else c, "loads")
            for r in _traits_rows()
            for e in ELEMENTS.values()
            for c in (1, 3, 4)
        ],
        "resize": [(weights_expression(r), 1, "fmas") for r in _traits_rows()]
        + [(e, int(e.split(",")[2]), "fmas") for e in pass_expressions()],
        "resize_fused": [(e, 1, "fmas") for e in fused_expressions()],
        "warp": [(e, int(e.split(",")[2]), "loads") for e in warp_expressions()],
    }
    return [row for source in sources for row in rows[source.name]]


def report_code(sources=SOURCES):
    """The sources as one compilation unit (the shared headers are guarded against a second copy)."""
    return "\n".join(source.code for source in sources)
