"""Files larger than the device memory budget on the batch road: resizes and warps tile by tile.

A pipeline given a memory budget (`zemvara run --memory-budget SIZE`) reads
each TIFF input's header first. When the decoded image would take more than
a third of the budget (the whole-image road holds the source, a float32
intermediate and the result at once), the file goes this way instead:
- the source is read lazily, tile by tile (tifffile's zarr store);
- the leading steps whose contract runs tile by tile (resize, fit and warp,
  through `zemvara.transform.tiled`) run one after another, each from the
  previous result (a temporary tiled TIFF in the system's temporary folder,
  removed when the file is done);
- once a result fits, it comes to the device in the layout the load step
  gives (blue-green-red unless it swaps, its element type conversion
  applied) and the remaining steps (converted around as their contracts say)
  and the store run as on the whole-image road;
- a result that never fits is written as a tiled BigTIFF where the output is
  a .tif or .tiff file; any other output fails the file, before any work,
  with an error that names the size and the budget, and so does a step that
  only runs on whole images (convert, upscale, or one that would need the
  image converted first) while the image does not fit, or an EXIF orientation
  other than upright.
Other inputs take the whole-image road. A process runs one large file at a
time, so that the tiled calls of the road's threads never hold more than one
budget together.
"""

from __future__ import annotations

import os
import re
import tempfile
import threading

import numpy as np

from .steps import UsageError, apply, contract_of, orientation

__all__ = ["parse_size", "LargeImageError", "run_if_large", "describe"]

_TIFF = (".tif", ".tiff")
_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12,
          "ki": 2**10, "mi": 2**20, "gi": 2**30, "ti": 2**40}  # fmt: skip
# Load's element type names -> the conversion in zemvara.utils.dtypes.
_CONVERSIONS = {"fp32": "to_float32", "float32": "to_float32", "fp16": "to_float16", "float16": "to_float16",
                "uint8": "to_uint8", "uint16": "to_uint16"}  # fmt: skip


# One large file at a time in a process: each takes the whole budget, and the road runs several
# files at once on its threads.
_one_at_a_time = threading.Lock()


class LargeImageError(ValueError):
    """A file that the tiled road cannot take within the budget."""


def parse_size(text):
    """Bytes from "256MiB", "2G", "1.5GiB", "500k", "1e9" or a plain count (K, M, G, T: powers of 1000;
    KiB, MiB, GiB, TiB: of 1024; a trailing B optional, any case); UsageError otherwise."""
    match = re.fullmatch(r"\s*([0-9]*\.?[0-9]+(?:[eE][+-]?[0-9]+)?)\s*([kKmMgGtT][iI]?)?[bB]?\s*", str(text))
    if match is None:
        raise UsageError(f"a memory size is a number with an optional unit (256MiB, 2G, 1e9), got {text!r}")
    size = int(float(match[1]) * _UNITS[(match[2] or "").lower()])
    if size <= 0:
        raise UsageError(f"a memory size must be positive, got {text!r}")
    return size


def describe(shape, dtype):
    """ "32768 x 32768 x 3 uint8 (3.00 GiB)" for an image shape (H, W[, C])."""
    sides = " x ".join(str(v) for v in (shape[1], shape[0], *shape[2:]))
    size = _nbytes(shape, dtype)
    unit, scale = ("GiB", 2**30) if size >= 2**30 else ("MiB", 2**20)
    return f"{sides} {np.dtype(dtype).name} ({size / scale:.2f} {unit})"


def _nbytes(shape, dtype):
    return int(np.prod(shape)) * np.dtype(dtype).itemsize


def _fits(shape, dtype, budget):
    return _nbytes(shape, dtype) * 3 <= budget


def _tiff_image(path):
    """(shape, dtype) of a TIFF file's first image, read from its header; None for any other file."""
    if os.path.splitext(path)[1].lower() not in _TIFF:
        return None
    import tifffile

    try:
        with tifffile.TiffFile(path) as tif:
            series = tif.series[0]
            return tuple(series.shape), np.dtype(series.dtype)
    except Exception:
        return None  # the whole-image road reports what is wrong with the file


def _plan(steps, shape, dtype, budget, output):
    """How many leading steps run tile by tile and the shape after them; LargeImageError where the
    file cannot take this road."""
    count = 0
    while count < len(steps) and not _fits(shape, dtype, budget):
        contract = contract_of(steps[count])
        if not contract.runs_tiled(dtype.name):
            raise LargeImageError(f"{describe(shape, dtype)} exceeds the memory budget of "
                                  f"{budget:,} bytes, and the step {type(steps[count]).__name__.lower()} runs "
                                  "on whole images only; resize it first or give a larger --memory-budget")
        shape = tuple(contract.shape(shape))
        count += 1
    if not _fits(shape, dtype, budget) and os.path.splitext(output)[1].lower() not in _TIFF:
        raise LargeImageError(f"the result, {describe(shape, dtype)}, exceeds the memory budget of "
                              f"{budget:,} bytes; write it as .tif or .tiff (tiled) or give a larger "
                              "--memory-budget")
    return count, shape


def too_large(pipeline, source):
    """Whether a file goes through the tiled road: a TIFF whose decoded image exceeds the pipeline's budget."""
    budget = pipeline.memory_budget
    if budget is None:
        return False
    found = _tiff_image(os.fsdecode(source))
    return found is not None and not _fits(*found, budget)


def run_if_large(pipeline, source, output, check=None):
    """Run one file through the tiled road when it is a TIFF too large for the budget; False otherwise.

    `check()` is called between steps and tiles (it raises to stop the run);
    with `pipeline.tile_progress` a progress bar of the tiles shows on
    standard error below the run's.
    """
    budget = pipeline.memory_budget
    source, output = os.fsdecode(source), os.fsdecode(output)
    found = _tiff_image(source)
    if budget is None or found is None or _fits(*found, budget):
        return False
    shape, dtype = found
    if len(shape) not in (2, 3):
        raise LargeImageError(f"an image of shape {shape} is not (H, W) or (H, W, C)")
    load = pipeline.load
    if load.exif and orientation(source) != 1:
        raise LargeImageError(f"{describe(shape, dtype)} exceeds the memory budget of {budget:,} bytes "
                              "and is not stored upright; turning it is done on whole images only "
                              "(--keep-orientation keeps it as stored)")
    steps = list(pipeline.steps)
    count, final = _plan(steps, shape, dtype, budget, output)
    if load.dtype is not None and not _fits(final, dtype, budget):
        raise LargeImageError(f"the result, {describe(final, dtype)}, exceeds the memory budget of "
                              f"{budget:,} bytes; converting it to {load.dtype} is done on whole images only")
    folder = os.path.dirname(output)
    if folder:
        os.makedirs(folder, exist_ok=True)
    with _one_at_a_time, tempfile.TemporaryDirectory(prefix="zemvara-large-") as scratch, \
            _tile_bar(pipeline, source) as bar:

        def progress(done, total):
            bar.total = total
            bar.n = done
            bar.refresh()
            if check is not None:
                check()

        current = source
        for k in range(count):
            if check is not None:
                check()
            contract = contract_of(steps[k])
            nxt = tuple(contract.shape(shape))
            if _fits(nxt, dtype, budget):
                out = None  # a NumPy array on the host
            elif k == count - 1 and not _fits(final, dtype, budget):
                out = output  # written tile by tile, whole or not at all
            else:
                out = os.path.join(scratch, f"step{k}.tif")
            current = contract.tiled(current, shape, budget, out, progress)
            shape = nxt
        if not _fits(shape, dtype, budget):
            return True  # the output itself was the last tiled result
        if check is not None:
            check()
        image = _to_device(current, shape, load)
    for step in steps[count:]:
        if check is not None:
            check()
        image = apply(step, image)
    if check is not None:
        check()
    pipeline.store(output, image)
    return True


def _tile_bar(pipeline, source):
    """A tqdm bar of one file's tiles (each tiled step starts it anew), or one that shows nothing."""
    import contextlib
    from types import SimpleNamespace

    if not pipeline.tile_progress:
        return contextlib.nullcontext(SimpleNamespace(total=0, n=0, refresh=lambda: None))
    import sys

    from tqdm import tqdm

    return tqdm(total=0, unit="tile", desc=os.path.basename(source), file=sys.stderr, position=1, leave=False,
                dynamic_ncols=True)  # fmt: skip


def _to_device(current, shape, load):
    """A host result (array or TIFF path) on the device, as the load step would give the image."""
    import cupy as cp

    if isinstance(current, (str, os.PathLike)):
        import tifffile

        current = tifffile.imread(current)
    image = np.asarray(current).reshape(shape)
    if image.ndim == 3 and image.shape[2] in (3, 4) and not load.swap_rb:
        image = image[..., [2, 1, 0, 3][: image.shape[2]]]  # TIFF holds red-green-blue; the road blue-green-red
    image = cp.asarray(np.ascontiguousarray(image))
    if load.dtype is not None:
        from ..utils import dtypes

        name = _CONVERSIONS.get(load.dtype)
        if name is not None and image.dtype.name != name[3:]:
            image = getattr(dtypes, name)(image)
    return image
