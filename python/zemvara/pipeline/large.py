"""Files larger than the device memory budget on the batch road: resizes and warps tile by tile.

A pipeline given a memory budget (`zemvara run --memory-budget SIZE`) reads
each TIFF input's header first. When the decoded image would take more than
a third of the budget (the whole-image road holds the source, a float32
intermediate and the result at once), the file goes this way instead:
- the source, the file's first page, is read lazily, tile by tile (mapped
  where it is stored uncompressed, else through tifffile's zarr store a band
  of whole strips at a time), an 8-bit colour page with an ICC profile
  converted to sRGB as the load step converts (or kept as stored where the
  store carries the profile); a page that is not grey or RGB samples stored
  interleaved (planar, palette, CMYK, ...) fails the file, as it would
  not be the picture that the whole-image road reads;
- the leading steps whose contract runs tile by tile (resize, fit and warp,
  through `zemvara.transform.tiled`) run one after another, each from the
  previous result (a temporary tiled TIFF in the system's temporary folder,
  removed when the file is done);
- once a result fits, it comes to the device by the same rule as the load
  step's (`reading.arranged`, then `Load.arrive`: grey, alpha and the
  element type kept as the whole-image road keeps them) and the remaining steps (converted around as their contracts say)
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

import contextlib
import math
import numbers
import os
import re
import shutil
import tempfile
import threading

import numpy as np

from .steps import UsageError, apply, contract_of, orientation

__all__ = ["parse_size", "budget", "LargeImageError", "run_if_large", "describe", "remove_stale_scratch"]

_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12,
          "ki": 2**10, "mi": 2**20, "gi": 2**30, "ti": 2**40}  # fmt: skip


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
    value = float(match[1]) * _UNITS[(match[2] or "").lower()]
    if not math.isfinite(value):
        raise UsageError(f"a memory size must be a finite number of bytes, got {text!r}")
    size = int(value)
    if size <= 0:
        raise UsageError(f"a memory size must be positive, got {text!r}")
    return size


def budget(value):
    """A memory budget in bytes from a positive int or a size string (`parse_size`); UsageError otherwise."""
    if isinstance(value, str):
        return parse_size(value)
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value <= 0:
        raise UsageError(f"memory_budget must be a positive number of bytes or a size such as '2GiB', "
                         f"got {value!r}")
    return int(value)


# A scratch folder of the tiled road: "zemvara-large-<pid>-<random>" in the system's temporary folder.
_SCRATCH = re.compile(r"zemvara-large-(?P<pid>[0-9]+)-.+")


def remove_stale_scratch():
    """Remove the tiled road's scratch folders whose process is gone (a killed run's); returns how many."""
    from .paths import _alive

    folder, removed = tempfile.gettempdir(), 0
    try:
        names = os.listdir(folder)
    except OSError:
        return 0
    for name in names:
        match = _SCRATCH.fullmatch(name)
        if match is not None and not _alive(int(match["pid"])) and int(match["pid"]) != os.getpid():
            shutil.rmtree(os.path.join(folder, name), ignore_errors=True)
            removed += 1
    return removed


def _binary(size):
    """ "3.00 GiB" or "0.95 MiB": a byte count as every message of this road gives it."""
    unit, scale = ("GiB", 2**30) if size >= 2**30 else ("MiB", 2**20)
    return f"{size / scale:.2f} {unit}"


def _amount(size):
    """ "1,000,000 bytes (0.95 MiB)": a budget, exact and in the units of `describe`."""
    return f"{size:,} bytes ({_binary(size)})"


def describe(shape, dtype):
    """ "32768 x 32768 x 3 uint8 (3.00 GiB)" for an image shape (H, W[, C])."""
    sides = " x ".join(str(v) for v in (shape[1], shape[0], *shape[2:]))
    return f"{sides} {np.dtype(dtype).name} ({_binary(_nbytes(shape, dtype))})"


def _nbytes(shape, dtype):
    return int(np.prod(shape)) * np.dtype(dtype).itemsize


def _fits(shape, dtype, budget):
    return _nbytes(shape, dtype) * 3 <= budget


def _tiff_image(path):
    """(shape, dtype) of a TIFF file's first page, read from its header; None for any other file."""
    from ..transform.tiled import TIFF_SUFFIXES

    if os.path.splitext(path)[1].lower() not in TIFF_SUFFIXES:
        return None
    import tifffile

    try:
        with tifffile.TiffFile(path) as tif:
            page = tif.pages[0]
            return tuple(page.shape), np.dtype(page.dtype)
    except Exception:
        return None  # the whole-image road reports what is wrong with the file


def _interleaved(path, shape, dtype, budget):
    """LargeImageError unless the first page holds grey or RGB samples interleaved, as the tiles are read."""
    import tifffile

    from .reading import _PLAIN

    with tifffile.TiffFile(path) as tif:
        page = tif.pages[0]
        plain = int(page.photometric) in _PLAIN and page.axes in ("YX", "YXS")
    if not plain:
        raise LargeImageError(f"{describe(shape, dtype)} exceeds the memory budget of {_amount(budget)}, and its "
                              f"samples are stored as {page.axes} {page.photometric.name.lower()}; tile by tile "
                              "takes grey or RGB samples stored interleaved only")


@contextlib.contextmanager
def _first_page(path, srgb):
    """The first page of a TIFF file read tile by tile (`tiled.open_tiff_page`: each part of the file decoded
    once), closed after; srgb: an 8-bit colour page with an ICC profile comes converted to sRGB, window by
    window, as the load step converts a whole picture."""
    from ..transform.tiled import open_tiff_page
    from .reading import profile, windows_in_srgb

    page, close = open_tiff_page(path)
    try:
        yield windows_in_srgb(page, profile(path)) if srgb else page
    finally:
        close()


def _plan(steps, shape, dtype, budget, output):
    """How many leading steps run tile by tile and the shape after them; LargeImageError where the
    file cannot take this road."""
    count = 0
    while count < len(steps) and not _fits(shape, dtype, budget):
        contract = contract_of(steps[count])
        if not contract.runs_tiled(dtype.name):
            raise LargeImageError(f"{describe(shape, dtype)} exceeds the memory budget of "
                                  f"{_amount(budget)}, and the step {type(steps[count]).__name__.lower()} runs "
                                  "on whole images only; resize it first or give a larger --memory-budget")
        shape = tuple(contract.shape(shape))
        count += 1
    from ..transform.tiled import TIFF_SUFFIXES

    if not _fits(shape, dtype, budget) and os.path.splitext(output)[1].lower() not in TIFF_SUFFIXES:
        raise LargeImageError(f"the result, {describe(shape, dtype)}, exceeds the memory budget of "
                              f"{_amount(budget)}; write it as .tif or .tiff (tiled) or give a larger "
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
    _interleaved(source, shape, dtype, budget)
    load = pipeline.load
    if load.exif and orientation(source) != 1:
        raise LargeImageError(f"{describe(shape, dtype)} exceeds the memory budget of {_amount(budget)} "
                              "and is not stored upright; turning it is done on whole images only "
                              "(--keep-orientation keeps it as stored)")
    steps = list(pipeline.steps)
    count, final = _plan(steps, shape, dtype, budget, output)
    if load.dtype is not None and not _fits(final, dtype, budget):
        raise LargeImageError(f"the result, {describe(final, dtype)}, exceeds the memory budget of "
                              f"{_amount(budget)}; converting it to {load.dtype} is done on whole images only")
    folder = os.path.dirname(output)
    if folder:
        os.makedirs(folder, exist_ok=True)
    # The pixels as stored where the store carries the file's ICC profile to the output (a result that
    # fits goes through the store), converted to sRGB otherwise, as on the whole-image road.
    carried = _fits(final, dtype, budget) and pipeline.store.carries(output)
    srgb = load.srgb and not carried
    with _one_at_a_time, tempfile.TemporaryDirectory(prefix=f"zemvara-large-{os.getpid()}-") as scratch, \
            _first_page(source, srgb) as page, _tile_bar(pipeline, source) as bar:

        def progress(done, total):
            bar.total = total
            bar.n = done
            bar.refresh()
            if check is not None:
                check()

        current = page
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
    pipeline.write(source, output, image)
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
    """A host result (array or TIFF path) on the device, as the load step gives an image it reads."""
    from .reading import arranged

    if isinstance(current, (str, os.PathLike)):
        import tifffile

        current = tifffile.imread(current)
    return load.arrive(arranged(np.asarray(current).reshape(shape), rgb=True))
