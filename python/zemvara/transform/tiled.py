"""`resize`, `warp_affine` and `warp_perspective` of images larger than the GPU, tile by tile within a device-memory budget.

The functions take the arguments of the whole-image ones
(`zemvara.transform.resize.resize`, `zemvara.transform.warp`) and three more:
`memory_budget` (bytes of device memory the call may allocate), `out` (where
the result goes) and `progress` (called with tiles done and tiles in all).
The source lives on the host: a NumPy array or memmap, a zarr array, anything
sliceable as (H, W) or (H, W, C) with `shape` and `dtype`, or a path (a TIFF
file: memory-mapped where its samples are stored uncompressed, else read lazily
through tifffile's zarr store, a striped one a band of whole strips at a time,
so that no strip is decoded twice; a `.npy` file, memory-mapped; a zarr store).

Tiles: the output is cut into square tiles of T x T pixels, T the largest power
of two from 16 to 1024 whose tile and source window fit the budget twice over
(two slots, see below). Each tile reads only the source window its filter
reaches, so that it is the whole-image call's result:
- resize: the whole image's weight tables are computed once; a tile's rows and
  columns read the source rows and columns their table rows name, and its two
  passes run over those table rows (offsets moved to the window), in the order
  the whole call takes. Every output value is the same sum over the same
  values.
- resize with compat="pil" (Pillow's bytes, `resampling.pil.Plan`): a tile's
  window is the source its second pass reaches through its first; the first
  pass (with Pillow's rounding and clipping) reruns over the rows or columns
  the tile shares with its neighbours, so every value is the whole image's.
- warps: the bounding box of the tile's inverse-mapped corners (a perspective
  map that changes sign inside the tile: of every pixel), widened by the
  filter's reach at the largest stretch inside the tile; the tile is warped
  with the inverse map composed with the translations of the tile and its
  window. Positions then differ from the whole call's by float32 rounding only.
  Border modes, by the fold of their row in the border table (`_WINDOWS`):
  CONSTANT, REPLICATE  the box clipped to the image: a tap outside the window
                       lies outside the image too, and the window's edge pixel
                       is the image's.
  REFLECT, WRAP,       the box's pixels gathered on the host through the fold,
  REFLECT_101          so that no tap needs the border; a box as wide as the
                       image takes the whole axis, folded by the kernel.
  TRANSPARENT          the box clipped to the image and reaching inward from an
                       image edge it meets by the filter's reach: positions
                       outside the image lie outside the window, and taps
                       reflected at the edge land inside it. The destination's
                       pixels are uploaded with the window.
  A mode whose fold has no rule here is refused by name.

Pipeline: two slots, each a device buffer, pinned host buffers and a stream.
While one tile's kernels run on its slot's stream, the next tile's window is
read on the host and uploaded on the other stream; a result comes back by an
asynchronous download and is written out when its slot comes round again.
The call allocates nothing else on the device but the resize weight tables and
the warps' matrices, all counted against the budget.

Destinations: a NumPy or zarr array of the result's shape and the source's
element type; or a path, written as a tiled BigTIFF (one TIFF tile per output
tile) into a hidden temporary beside it that replaces it only once complete.
"""

import itertools
import math
import operator
import os
import threading
import time
from pathlib import Path

import cupy as cp
import numpy as np

from . import warp as _warp
from .resampling import _launch, arguments, borders, pil, planning
from .resampling._sources import WARP_MAX_REACH
from .schema import INTER_AUTO, INTER_LINEAR
from .warp import (
    BORDER_CONSTANT,
    BORDER_REFLECT,
    BORDER_REFLECT_101,
    BORDER_REPLICATE,
    BORDER_TRANSPARENT,
    BORDER_WRAP,
    WARP_INVERSE_MAP,
)

__all__ = [
    "resize", "warp_affine", "warp_perspective", "INTER_AUTO", "INTER_LINEAR",
    "BORDER_CONSTANT", "BORDER_REPLICATE", "BORDER_REFLECT", "BORDER_WRAP", "BORDER_REFLECT_101",
    "BORDER_TRANSPARENT", "WARP_INVERSE_MAP",
]  # fmt: skip

# Tile sides tried, largest first: a TIFF tile side must be a multiple of 16.
SIDES = (1024, 512, 256, 128, 64, 32, 16)
# Without a budget: this share of the device's free memory (its pool's free blocks included).
DEFAULT_SHARE = 0.5
# Device allocations are counted in whole blocks of this size, as CuPy's pool hands them out.
_BLOCK = 512
# Added to every warp window on each side: positions rounded in float32 land within it.
_SLACK = 2
_DTYPES = tuple(np.dtype(t) for t in (np.uint8, np.uint16, np.float16, np.float32))
# The suffixes of the paths read and written as TIFF files.
TIFF_SUFFIXES = (".tif", ".tiff")
_temporaries = itertools.count()


def _blocks(nbytes):
    return -(-int(nbytes) // _BLOCK) * _BLOCK


# ----- sources and destinations ---------------------------------------------------


class _Source:
    """A host-side source: `array` sliceable as (H, W[, C]), its shape and element type."""

    def __init__(self, src, who, max_channels=None):
        self._store = None
        self.who = who
        self.file = None  # the file read, when src is a path
        if isinstance(src, (str, os.PathLike)):
            self.file = Path(src)
            src = self._open(self.file, who)
        if isinstance(src, cp.ndarray):
            raise TypeError(f"{who}: src is a CuPy array; the tiled functions read a host-side source "
                            "(NumPy, zarr, a TIFF file), the whole-image functions take device arrays")
        if not (hasattr(src, "shape") and hasattr(src, "dtype") and hasattr(src, "__getitem__")):
            raise TypeError(f"{who}: src must be an array on the host (NumPy, memmap, zarr) or a path, "
                            f"got {type(src).__name__}")
        self.array = src
        self.shape = tuple(int(v) for v in src.shape)
        self.dtype = _element_type(src, who, "src")
        if len(self.shape) not in (2, 3):
            self.close()
            raise ValueError(f"{who}: src has shape {self.shape}; accepted: (H, W) or (H, W, C)")
        self.height, self.width = self.shape[:2]
        self.channels = self.shape[2] if len(self.shape) == 3 else 1
        if self.dtype not in _DTYPES:
            self.close()
            raise TypeError(f"{who}: src has element type {self.dtype}; accepted: {_launch.ACCEPTED_DTYPES}")
        if self.channels == 0 or (max_channels is not None and self.channels > max_channels):
            self.close()
            raise ValueError(f"{who}: src has shape {self.shape}; channels from 1 to {max_channels or 'any'}")
        try:
            _launch.check_axes((self.height, self.width), who)
        except ValueError:
            self.close()
            raise

    def _open(self, path, who):
        if not path.exists():
            raise FileNotFoundError(f"{who}: no such source file: {str(path)!r}")
        suffix = path.suffix.lower()
        if suffix not in (".npy",) + TIFF_SUFFIXES and not path.is_dir():
            raise ValueError(f"{who}: cannot read {str(path)!r}; accepted paths: a TIFF file, a .npy file "
                             "or a zarr store")
        what = {".npy": "a .npy file"}.get(suffix, "a TIFF image" if suffix in TIFF_SUFFIXES else "a zarr store")
        try:
            if suffix == ".npy":
                return np.load(path, mmap_mode="r")
            import zarr

            if suffix in TIFF_SUFFIXES:
                import tifffile

                with tifffile.TiffFile(path) as tif:
                    axes, shape = tif.series[0].axes, tif.series[0].shape
                node = _mapped_tiff(path)
                if node is None:
                    self._store = tifffile.imread(path, aszarr=True)
                    node = zarr.open(self._store, mode="r")
            else:
                axes, shape = None, None
                node = zarr.open(str(path), mode="r")
            if not hasattr(node, "shape"):  # a multi-resolution group: the full-resolution level
                keys = sorted(node.array_keys())
                if not keys:
                    raise _Unreadable("a zarr group that holds no array")
                node = node[keys[0]]
        except Exception as error:
            self.close()
            if isinstance(error, MemoryError):
                raise
            raise ValueError(f"{who}: cannot read {str(path)!r} as {what}: "
                             f"{error if isinstance(error, _Unreadable) else _described(error)}") from error
        if axes is not None and axes not in ("YX", "YXS"):
            try:
                return _TiffImage(node, axes, shape, path, who)
            except ValueError:
                self.close()
                raise
        return _in_bands(node)

    def read(self, rows, cols, dst):
        """Fill dst with the window rows x cols: each (start, size, index), index an array of
        source indices when the window is gathered, None when it is the slice start:start+size.
        A library's failure to read (corrupt or truncated data) is raised with the function's name."""
        try:
            self._read(rows, cols, dst)
        except MemoryError:
            raise
        except Exception as error:
            r, c = _indices(rows), _indices(cols)
            where = f"rows {r.min()}..{r.max()}, columns {c.min()}..{c.max()}"
            what = f"src {str(self.file)!r}" if self.file is not None else "src"
            kind = OSError if isinstance(error, OSError) else ValueError
            raise kind(f"{self.who}: cannot read {what} at {where}: {_described(error)}") from error

    def _read(self, rows, cols, dst):
        if rows[2] is None and cols[2] is None:
            dst[...] = self.array[rows[0]:rows[0] + rows[1], cols[0]:cols[0] + cols[1]]
            return
        r_runs, c_runs = _runs(rows), _runs(cols)
        if len(r_runs) * len(c_runs) > 64:  # many short runs (a small image folded often): one read
            r_index, c_index = (_indices(a) for a in (rows, cols))
            r0, c0 = r_index.min(), c_index.min()
            block = np.asarray(self.array[r0:r_index.max() + 1, c0:c_index.max() + 1])
            dst[...] = block[np.ix_(r_index - r0, c_index - c0)]
            return
        for pr, r, nr, sr in r_runs:
            rs = slice(r, r + nr) if sr > 0 else slice(r - nr + 1, r + 1)
            for pc, c, nc, sc in c_runs:
                cs = slice(c, c + nc) if sc > 0 else slice(c - nc + 1, c + 1)
                block = np.asarray(self.array[rs, cs])
                dst[pr:pr + nr, pc:pc + nc] = block[::sr, ::sc]

    def close(self):
        if self._store is not None:
            self._store.close()
            self._store = None


def open_tiff_page(path):
    """The first page of a TIFF file as an array read tile by tile, each part of the file decoded once
    (`_mapped_tiff`, `_Bands`), and the function that closes it."""
    mapped = _mapped_tiff(path, page=0)
    if mapped is not None:
        return mapped, lambda: None
    import tifffile
    import zarr

    store = tifffile.imread(path, key=0, aszarr=True)
    try:
        return _in_bands(zarr.open(store, mode="r")), store.close
    except BaseException:
        store.close()
        raise


def _mapped_tiff(path, page=None):
    """A TIFF image (its first series, or the page `page`) whose samples lie uncompressed, contiguous and in
    the machine's byte order in the file, mapped read-only: the system reads each part of the file once,
    whatever order the tiles take. None for any other image (tifffile's zarr store reads it)."""
    import tifffile

    try:
        mapped = tifffile.memmap(path, page=page, mode="r") if page is not None else \
            tifffile.memmap(path, series=0, mode="r")
    except Exception:
        return None
    return mapped if mapped.dtype.isnative else None


class _Bands:
    """An image stored in strips of whole rows (a striped TIFF page through tifffile's zarr store: each
    strip one chunk), read a band of whole strips at a time. The band that the last read needed is kept,
    and its strips that the next band shares with it: the tiles of a row of tiles, and the windows of two
    rows of tiles that overlap, decode each strip once, not once a tile (a single-strip page: once in all).
    Reads are slices, as `_Source` makes them."""

    def __init__(self, array):
        self.array = array
        self.shape, self.dtype = array.shape, array.dtype
        self._strip = int(array.chunks[0])
        self._band = (0, 0, None)  # first row, end row, the rows
        self._lock = threading.Lock()

    def __getitem__(self, key):
        rows, rest = key[0], tuple(key[1:])
        start, stop, _ = rows.indices(self.shape[0])
        with self._lock:
            lo, hi, band = self._band
            if band is None or start < lo or stop > hi:
                first = start // self._strip * self._strip
                last = min(self.shape[0], -(-stop // self._strip) * self._strip)
                if band is not None and lo <= first < hi < last:
                    band = np.concatenate([band[first - lo:], np.asarray(self.array[hi:last])])
                else:
                    band = np.asarray(self.array[first:last])
                lo, hi = first, last
                self._band = (lo, hi, band)
        return band[(slice(start - lo, stop - lo),) + rest]


def _in_bands(node):
    """A zarr array stored in chunks of whole rows read through `_Bands`; any other array as it is."""
    chunks, shape = getattr(node, "chunks", None), getattr(node, "shape", ())
    if chunks is None or len(shape) not in (2, 3) or len(chunks) != len(shape) or chunks[1:] != tuple(shape[1:]):
        return node
    return _Bands(node)


def _indices(axis):
    start, size, index = axis
    return np.arange(start, start + size) if index is None else index


def _runs(axis):
    """(position in the window, first source index, length, step) of each run of source indices
    that step by +1 or -1."""
    start, size, index = axis
    if index is None:
        return [(0, start, size, 1)]
    runs, at, n = [], 0, len(index)
    while at < n:
        step = int(index[at + 1] - index[at]) if at + 1 < n else 1
        if abs(step) != 1:
            step, end = 1, at + 1
        else:
            off = np.flatnonzero(np.diff(index[at:]) != step)
            end = at + 1 + int(off[0]) if len(off) else n
        runs.append((at, int(index[at]), end - at, step))
        at = end
    return runs


class _Unreadable(Exception):
    """A source path that holds nothing to read, in words."""


def _described(error):
    return f"{type(error).__name__}: {error}"


def _element_type(array, who, what):
    """A host array's NumPy element type; an array of another library's element types (a torch
    tensor) is refused by name."""
    try:
        return np.dtype(array.dtype)
    except TypeError:
        kind = f"{type(array).__module__}.{type(array).__name__}"
        raise TypeError(f"{who}: {what} is a {kind} of element type {array.dtype}, not a NumPy element type; "
                        "give a NumPy array (a CPU torch tensor: tensor.numpy()), a memmap, a zarr array or a "
                        "path") from None


class _TiffImage:
    """The first image of a TIFF file as (H, W[, S]) whatever order tifffile's axes give: samples
    stored apart (planar) come last, and other axes must have one entry (a stack of pages is
    refused by name)."""

    def __init__(self, array, axes, shape, path, who):
        extra = {a: n for a, n in zip(axes, shape) if a not in "YXS"}
        if any(n != 1 for n in extra.values()) or not ("Y" in axes and "X" in axes):
            count = math.prod(extra.values())
            raise ValueError(f"{who}: {str(path)!r} holds {count} images (TIFF axes {axes!r}, shape {tuple(shape)});"
                             " the tiled functions read one image: give a TIFF that holds a single one")
        self._array, self._axes = array, axes
        sizes = dict(zip(axes, shape))
        self.shape = (sizes["Y"], sizes["X"]) + ((sizes["S"],) if "S" in sizes else ())
        self.dtype = array.dtype
        self._samples_first = "S" in axes and axes.index("S") < axes.index("Y")

    def __getitem__(self, key):
        rows, cols = key
        index = tuple({"Y": rows, "X": cols, "S": slice(None)}.get(a, 0) for a in self._axes)
        block = np.asarray(self._array[index])
        return np.moveaxis(block, 0, -1) if self._samples_first else block


def _mapped_file(array):
    """The file whose memory map holds an array's elements (a memmap, or a view of one), as
    (device, inode); None for none."""
    while array is not None:
        name = getattr(array, "filename", None) if isinstance(array, np.memmap) else None
        if name is not None:
            return _file_key(name)
        array = getattr(array, "base", None)
    return None


def _file_key(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def _zarr_place(array):
    """Where a zarr array's chunks live: the folder of a store on disk, or its store and path."""
    store, path = getattr(array, "store", None), getattr(array, "path", None)
    if store is None or not isinstance(path, str):
        return None
    root = getattr(store, "root", None)
    if root is not None:
        return os.path.realpath(os.path.join(str(root), path))
    return store, path


def _same_place(a, b):
    if a is None or b is None or type(a) is not type(b):
        return False
    if isinstance(a, str):
        return a == b
    try:
        return (a[0] is b[0] or bool(a[0] == b[0])) and a[1] == b[1]
    except Exception:  # a store that cannot be compared is another one
        return False


class _Destination:
    """Where the result goes: an array written tile by tile, or a TIFF path."""

    def __init__(self, out, shape, dtype, who, transparent):
        self.path = None
        self.array = None
        self.given = out
        if out is None:
            if transparent:
                raise ValueError(f"{who}: BORDER_TRANSPARENT keeps the destination's pixels outside the "
                                 "source; pass out holding them")
            self.array = np.empty(shape, dtype)
        elif isinstance(out, (str, os.PathLike)):
            self.path = Path(out)
            if self.path.suffix.lower() not in TIFF_SUFFIXES:
                raise ValueError(f"{who}: out {str(self.path)!r} is written as a tiled TIFF; give a path "
                                 "ending in .tif or .tiff")
            if transparent:
                raise ValueError(f"{who}: BORDER_TRANSPARENT keeps the destination's pixels; pass out as "
                                 "an array holding them, not a path")
            if not self.path.parent.is_dir():
                raise FileNotFoundError(f"{who}: the folder of out {str(self.path)!r} does not exist")
        elif isinstance(out, cp.ndarray):
            raise TypeError(f"{who}: out is a CuPy array; give a host array (NumPy, zarr) or a path")
        elif hasattr(out, "shape") and hasattr(out, "dtype") and hasattr(out, "__setitem__"):
            if tuple(out.shape) != tuple(shape):
                raise ValueError(f"{who}: out has shape {tuple(out.shape)}; the result has shape {tuple(shape)}")
            if _element_type(out, who, "out") != dtype:
                raise TypeError(f"{who}: out has element type {np.dtype(out.dtype)}; the result has the "
                                f"source's, {dtype}")
            if (isinstance(out, np.ndarray) and not out.flags.writeable) or getattr(out, "read_only", False) is True:
                raise ValueError(f"{who}: out is read-only; give an array the result can be written into")
            self.array = out
        else:
            raise TypeError(f"{who}: out must be None, a host array (NumPy, zarr) or a path, "
                            f"got {type(out).__name__}")
        self.shape, self.dtype = tuple(shape), dtype

    def check_apart(self, source, who):
        """Refuse a destination array that shares memory with the source: tiles written early
        would be read back as source by later tiles."""
        if isinstance(self.array, np.ndarray) and isinstance(source.array, np.ndarray) and \
                np.shares_memory(self.array, source.array):
            raise ValueError(f"{who}: out overlaps src; later tiles would read what earlier ones wrote")
        if self.array is None:
            return
        # The same storage through other objects: a second memory map of the file, the same zarr array.
        out_file = _mapped_file(self.array)
        src_file = _mapped_file(source.array) or (_file_key(source.file) if source.file is not None else None)
        if out_file is not None and out_file == src_file:
            raise ValueError(f"{who}: out maps the file src is read from; later tiles would read what earlier "
                             "ones wrote")
        if _same_place(_zarr_place(self.array), _zarr_place(source.array)):
            raise ValueError(f"{who}: out is the zarr array src is read from; later tiles would read what "
                             "earlier ones wrote")

    def write(self, tiles, side):
        """Consume (rect, tile) pairs in tile order; the result (array or path)."""
        if self.path is None:
            for (y0, y1, x0, x1), tile in tiles:
                self.array[y0:y1, x0:x1] = tile
            return self.array
        _write_tiff(self.path, self.shape, self.dtype, side, tiles)
        return self.given


def _write_tiff(path, shape, dtype, side, tiles):
    """Write the tiles as a tiled BigTIFF at path, whole or not at all (a temporary file beside
    it replaces it once complete, and is removed on any failure)."""
    import tifffile

    channels = shape[2] if len(shape) == 3 else 1
    # The package's hidden temporary beside the output, which a later batch run removes
    # should this process be killed before it is renamed; the name's first 100 bytes, as
    # picstore cuts it (100 characters could pass the file system's limit on a name).
    name = os.fsdecode(os.fsencode(path.name)[:100])
    temp = path.parent / f".{name}.{os.getpid()}-{next(_temporaries)}-{time.time_ns():x}.tmp"
    os.close(os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
    try:
        options = {"photometric": "rgb" if channels in (3, 4) else "minisblack"}
        stored = shape[:2] if channels == 1 else shape  # one channel: a plain grey image
        if len(stored) == 3:
            options["planarconfig"] = "contig"
        data = (np.ascontiguousarray(tile.reshape(tile.shape[:2] + stored[2:]))
                for _, tile in _whole_units(tiles, side, shape, dtype))  # fmt: skip
        tifffile.imwrite(temp, data, shape=stored, dtype=dtype, tile=(side, side), bigtiff=True,
                         metadata=None, **options)  # fmt: skip
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise


def _whole_units(tiles, side, shape, dtype):
    """The tiles of the side x side grid, in order, each assembled from its pieces."""
    unit, unit_rect = None, None
    for (y0, y1, x0, x1), tile in tiles:
        uy, ux = y0 // side * side, x0 // side * side
        rect = (uy, min(uy + side, shape[0]), ux, min(ux + side, shape[1]))
        if rect != unit_rect:
            if unit is not None:
                yield unit_rect, unit
            unit_rect = rect
            unit = np.empty((rect[1] - uy, rect[3] - ux) + tuple(shape[2:]), dtype)
        unit[y0 - uy:y1 - uy, x0 - ux:x1 - ux] = tile
    if unit is not None:
        yield unit_rect, unit


# ----- the budget and the two slots -----------------------------------------------


def _budget(memory_budget, who):
    if memory_budget is None:
        free, _ = cp.cuda.runtime.memGetInfo()
        pool = getattr(cp, "get_default_memory_pool", None)
        if pool is not None:
            free += pool().free_bytes()
        return int(free * DEFAULT_SHARE)
    if isinstance(memory_budget, (bool, np.bool_)):
        raise TypeError(f"{who}: memory_budget must be a number of bytes, got {memory_budget!r}")
    try:
        budget = operator.index(memory_budget)
    except TypeError:
        raise TypeError(f"{who}: memory_budget must be a number of bytes, got {memory_budget!r}") from None
    if budget <= 0:
        raise ValueError(f"{who}: memory_budget must be positive, got {budget}")
    return budget


def _too_small(who, budget, need, what):
    return MemoryError(f"{who}: memory_budget of {budget:,} bytes is too small: {what} needs "
                       f"{need:,} bytes of device memory; give at least memory_budget={need}")


class _Slots:
    """Two slots: each a device buffer, a pinned input and output buffer (parts carved at
    block boundaries) and a stream."""

    def __init__(self, device_parts, input_parts, output_parts):
        self.device = self._layout(device_parts)
        self.input = self._layout(input_parts)
        self.output = self._layout(output_parts)
        self.streams = [cp.cuda.Stream(non_blocking=True) for _ in range(2)]
        self._device = [cp.empty(self.device[1], np.uint8) for _ in range(2)]
        self._input = [self._pinned(self.input[1]) for _ in range(2)]
        self._output = [self._pinned(self.output[1]) for _ in range(2)]

    @staticmethod
    def _layout(parts):
        offsets, at = {}, 0
        for name, nbytes in parts:
            offsets[name] = at
            at += _blocks(nbytes)
        return offsets, max(at, 1)

    @staticmethod
    def _pinned(nbytes):
        memory = cp.cuda.alloc_pinned_memory(nbytes)
        return memory, np.frombuffer(memory, np.uint8, nbytes)

    def on_device(self, k, name, shape, dtype):
        offset = self.device[0][name]
        return cp.ndarray(shape, dtype, memptr=self._device[k].data + offset)

    def on_host(self, k, which, name, shape, dtype):
        layout, buffers = (self.input, self._input) if which == "input" else (self.output, self._output)
        offset = layout[0][name]
        nbytes = int(np.prod(shape)) * np.dtype(dtype).itemsize
        return buffers[k][1][offset:offset + nbytes].view(dtype).reshape(shape)


def _pipeline(pieces, slots, load, launch, progress):
    """Run the pieces through the two slots; yields (piece, slot) once a piece's result sits in
    its slot's pinned output. load(piece, k) fills slot k's pinned input on the host;
    launch(piece, k) uploads it, computes and starts the download on slot k's stream."""
    try:
        yield from _run_pieces(pieces, slots, load, launch, progress)
    finally:
        # Whatever ends the run, no copy or kernel may still use the buffers once they are freed.
        for stream in slots.streams:
            stream.synchronize()


def _run_pieces(pieces, slots, load, launch, progress):
    events, held = [None, None], [None, None]
    total, done = len(pieces), 0

    def finish(k):
        # Yield the piece slot k holds, once its result has arrived, and count it done.
        nonlocal done
        if held[k] is not None:
            events[k].synchronize()
            yield held[k], k
            done += 1
            if progress is not None:
                progress(done, total)

    for i, piece in enumerate(pieces):
        k = i & 1
        yield from finish(k)
        load(piece, k)
        stream = slots.streams[k]
        with stream:
            launch(piece, k, stream)
            events[k] = stream.record()
        held[k] = piece
    for k in (total & 1, (total + 1) & 1):
        yield from finish(k)


def _grid(side, height, width):
    """(y0, y1, x0, x1) arrays of the side x side tiles covering height x width, row by row."""
    y0, x0 = np.meshgrid(np.arange(0, height, side), np.arange(0, width, side), indexing="ij")
    y0, x0 = y0.ravel(), x0.ravel()
    return y0, np.minimum(y0 + side, height), x0, np.minimum(x0 + side, width)


def _check_progress(progress, who):
    if progress is not None and not callable(progress):
        raise TypeError(f"{who}: progress must be callable as progress(done, total), got {type(progress).__name__}")


# ----- resize ---------------------------------------------------------------------


def resize(src, dsize, interpolation=INTER_AUTO, *, compat=None, memory_budget=None, out=None, progress=None):
    """Resize a host-side image of any size to dsize = (width, height), tile by tile on the GPU.

    The result is that of `zemvara.transform.resize.resize` on the whole image
    (the same filters, antialiasing, edge replication and rounding). src is
    (H, W) or (H, W, C) on the host: a NumPy array or memmap, a zarr array, or a
    path (TIFF, read lazily; .npy; a zarr store). memory_budget: bytes of device
    memory the call may allocate (default: half the free device memory). out:
    None (a new NumPy array), a NumPy or zarr array to fill, or a .tif/.tiff
    path written as a tiled BigTIFF. progress(done, total) after each tile.
    Returns the new array, or out.

    compat="pil" gives Pillow's bytes for the whole image instead, whatever the
    tiling (`PIL.Image.resize`, uint8 and float32, RGBA premultiplied as Pillow
    does): interpolation is then one of Pillow's filter values.
    """
    who = "resize"
    if compat is not None and compat != "pil":
        raise ValueError(f"{who}: compat must be None or 'pil', got {compat!r}")
    _check_progress(progress, who)
    source = _Source(src, who)
    try:
        if compat == "pil":
            return _resize_pil(source, dsize, interpolation, memory_budget, out, progress, who)
        return _resize(source, dsize, interpolation, memory_budget, out, progress, who)
    finally:
        source.close()


def _resize(source, dsize, interpolation, memory_budget, out, progress, who):
    height, width, channels = source.height, source.width, source.channels
    out_w, out_h, row = planning.target_and_filter(dsize, interpolation, width, height, who)
    budget = _budget(memory_budget, who)
    shape = (out_h, out_w) + source.shape[2:]
    dest = _Destination(out, shape, source.dtype, who, False)
    dest.check_apart(source, who)
    pixel = channels * source.dtype.itemsize

    # The whole image's weight tables, as the whole call computes them; the offsets
    # come to the host, where each tile's window is worked out from them.
    x_taps, y_taps = planning.taps(row, width, out_w), planning.taps(row, height, out_h)
    stride_x, stride_y = planning.table_stride(x_taps), planning.table_stride(y_taps)
    tables = _blocks(out_w * stride_x * 4) + _blocks(out_w * 4) + _blocks(out_h * stride_y * 4) + _blocks(out_h * 4)
    # Tables beyond the budget are computed all the same: the least budget that works, which
    # the refusal below names, depends on the windows their offsets give.
    # The whole call's order of the passes (the cheaper first), which the sums follow.
    x_first = planning.x_first(height, width, out_h, out_w, x_taps, y_taps)

    device = cp.cuda.Device().id
    x_table = planning.table(row, width, out_w, x_taps, device)
    y_table = planning.table(row, height, out_h, y_taps, device)
    x_offsets, y_offsets = cp.asnumpy(x_table[1]), cp.asnumpy(y_table[1])

    def plan(side):
        y0, y1, x0, x1 = _grid(side, out_h, out_w)
        ry = np.arange(0, out_h, side)
        rx = np.arange(0, out_w, side)
        r_lo, r_hi = np.minimum.reduceat(y_offsets, ry), np.maximum.reduceat(y_offsets, ry) + y_taps
        c_lo, c_hi = np.minimum.reduceat(x_offsets, rx), np.maximum.reduceat(x_offsets, rx) + x_taps
        nx = len(rx)
        i, j = np.arange(len(y0)) // nx, np.arange(len(y0)) % nx
        rows, cols = (r_lo[i], r_hi[i] - r_lo[i]), (c_lo[j], c_hi[j] - c_lo[j])
        th, tw = y1 - y0, x1 - x0
        window = int((rows[1] * cols[1]).max()) * pixel
        middle = int(((rows[1] * tw) if x_first else (th * cols[1])).max()) * channels * 4
        tile = int((th * tw).max()) * pixel
        parts = [("window", window), ("middle", middle), ("out", tile), ("x", int(tw.max()) * 4),
                 ("y", int(th.max()) * 4)]  # fmt: skip
        need = 2 * sum(_blocks(n) for _, n in parts) + tables
        return need, parts, (y0, y1, x0, x1, rows, cols)

    for side in SIDES:
        need, parts, layout = plan(side)
        if need <= budget:
            break
    else:
        raise _too_small(who, budget, need, f"one tile of {min(16, out_w)} x {min(16, out_h)} output pixels "
                                            "with its source window, and the weight tables")
    y0, y1, x0, x1, (r_lo, r_n), (c_lo, c_n) = layout
    pieces = [(int(a), int(b), int(c), int(d), int(e), int(f), int(g), int(h))
              for a, b, c, d, e, f, g, h in zip(y0, y1, x0, x1, r_lo, r_n, c_lo, c_n)]  # fmt: skip
    slots = _Slots(parts, [("window", parts[0][1]), ("x", parts[3][1]), ("y", parts[4][1])], [("out", parts[2][1])])
    element = _launch.ELEMENTS[source.dtype]
    rank3 = len(source.shape) == 3
    group = planning.channel_group(channels, rank3, who, source.shape)
    groups = channels // group

    def shapes(piece):
        ty0, ty1, tx0, tx1, _, rn, _, cn = piece
        win = (rn, cn) + source.shape[2:]
        tile = (ty1 - ty0, tx1 - tx0) + source.shape[2:]
        return win, tile

    def load(piece, k):
        ty0, ty1, tx0, tx1, rl, rn, cl, cn = piece
        win, _ = shapes(piece)
        source.read((rl, rn, None), (cl, cn, None), slots.on_host(k, "input", "window", win, source.dtype))
        slots.on_host(k, "input", "x", (tx1 - tx0,), np.int32)[...] = x_offsets[tx0:tx1] - cl
        slots.on_host(k, "input", "y", (ty1 - ty0,), np.int32)[...] = y_offsets[ty0:ty1] - rl

    def launch(piece, k, stream):
        ty0, ty1, tx0, tx1, rl, rn, cl, cn = piece
        win, tile = shapes(piece)
        th, tw = tile[:2]
        d_win = slots.on_device(k, "window", win, source.dtype)
        d_win.set(slots.on_host(k, "input", "window", win, source.dtype), stream=stream)
        d_x = slots.on_device(k, "x", (tw,), np.int32)
        d_x.set(slots.on_host(k, "input", "x", (tw,), np.int32), stream=stream)
        d_y = slots.on_device(k, "y", (th,), np.int32)
        d_y.set(slots.on_host(k, "input", "y", (th,), np.int32), stream=stream)
        x_tab = ((x_table[0][tx0:tx1], d_x, x_taps, stride_x), "x")
        y_tab = ((y_table[0][ty0:ty1], d_y, y_taps, stride_y), "y")
        mid_h, mid_w = (rn, tw) if x_first else (th, cn)
        middle = slots.on_device(k, "middle", (mid_h, mid_w, channels), np.float32)
        d_out = slots.on_device(k, "out", tile, source.dtype)
        src_strides = (cn * channels, channels, group) if rank3 else (cn, 1, 0)
        dst_strides = (tw * channels, channels, group) if rank3 else (tw, 1, 0)
        mid = (mid_w * channels, channels, group)
        first, second = (x_tab, y_tab) if x_first else (y_tab, x_tab)
        planning.launch_pass(d_win.data, element, middle, "F32", group, groups, first, mid_w, mid_h, src_strides, mid)
        planning.launch_pass(middle, "F32", d_out, element, group, groups, second, tw, th, mid, dst_strides)
        d_out.get(stream=stream, out=slots.on_host(k, "output", "out", tile, source.dtype), blocking=False)

    def tiles():
        for piece, k in _pipeline(pieces, slots, load, launch, progress):
            _, tile = shapes(piece)
            yield piece[:4], slots.on_host(k, "output", "out", tile, source.dtype)

    return dest.write(tiles(), side)


def _resize_pil(source, dsize, pil_filter, memory_budget, out, progress, who):
    """Pillow's resize tile by tile (`pil.Plan`): each tile's window is the source its passes
    read, the first pass rerun over the rows or columns the tile shares with its neighbours."""
    out_w, out_h, pil_filter = pil.check_target(dsize, pil_filter, who)
    pil.check_element(source.dtype, source.channels, who, "src")
    budget = _budget(memory_budget, who)
    channels, extra = source.channels, source.shape[2:]
    dest = _Destination(out, (out_h, out_w) + extra, source.dtype, who, False)
    dest.check_apart(source, who)
    plan = pil.Plan(source.width, source.height, out_w, out_h, pil_filter, source.dtype, channels)
    pixel = channels * source.dtype.itemsize
    tables = sum(_blocks(n) for n in plan.table_nbytes())

    def layout(side):
        ry, rx = np.arange(0, out_h, side), np.arange(0, out_w, side)
        bands = [(int(a), int(min(a + side, out_h))) for a in ry]
        columns = [(int(a), int(min(a + side, out_w))) for a in rx]
        pieces = [(ty0, ty1, tx0, tx1) + plan.window((ty0, ty1, tx0, tx1)) for ty0, ty1 in bands for tx0, tx1 in columns]
        window = max((p[5] - p[4]) * (p[7] - p[6]) for p in pieces) * pixel
        middle = max(math.prod(plan.middle_shape(p[:4]) or (0,)) for p in pieces) * pixel
        tile = min(side, out_h) * min(side, out_w) * pixel
        parts = [("window", window), ("premultiplied", window if plan.premultiplies else 0), ("middle", middle),
                 ("out", tile)]  # fmt: skip
        return 2 * sum(_blocks(n) for _, n in parts) + tables, parts, pieces

    for side in SIDES:
        need, parts, pieces = layout(side)
        if need <= budget:
            break
    else:
        raise _too_small(who, budget, need, f"one tile of {min(16, out_w)} x {min(16, out_h)} output pixels "
                                            "with its source window, and the weight tables")
    slots = _Slots(parts, parts[:1], parts[3:])
    plan.upload()
    cp.cuda.get_current_stream().synchronize()

    def load(piece, k):
        _, _, _, _, wy0, wy1, wx0, wx1 = piece
        if wy1 > wy0 and wx1 > wx0:
            window = slots.on_host(k, "input", "window", (wy1 - wy0, wx1 - wx0) + extra, source.dtype)
            source.read((wy0, wy1 - wy0, None), (wx0, wx1 - wx0, None), window)

    def launch(piece, k, stream):
        ty0, ty1, tx0, tx1, wy0, wy1, wx0, wx1 = piece
        win = (wy1 - wy0, wx1 - wx0) + extra
        d_win = slots.on_device(k, "window", win, source.dtype)
        d_win.set(slots.on_host(k, "input", "window", win, source.dtype), stream=stream)
        d_out = plan.run(d_win.reshape(win[:2] + (channels,)), (ty0, ty1, tx0, tx1), (wy0, wx0),
                         lambda name, shape, dtype: slots.on_device(k, name, shape, dtype))  # fmt: skip
        tile = (ty1 - ty0, tx1 - tx0, channels)
        d_out.get(stream=stream, out=slots.on_host(k, "output", "out", tile, source.dtype), blocking=False)

    def tiles():
        for piece, k in _pipeline(pieces, slots, load, launch, progress):
            ty0, ty1, tx0, tx1 = piece[:4]
            tile = slots.on_host(k, "output", "out", (ty1 - ty0, tx1 - tx0, channels), source.dtype)
            yield piece[:4], tile.reshape((ty1 - ty0, tx1 - tx0) + extra)

    return dest.write(tiles(), side)


# ----- warps ----------------------------------------------------------------------


def warp_affine(src, M, dsize, flags=INTER_LINEAR, border_mode=BORDER_CONSTANT, border_value=0, *,
                memory_budget=None, out=None, progress=None):  # fmt: skip
    """Warp a host-side image of any size by a 2 x 3 affine matrix, tile by tile on the GPU.

    The result is that of `zemvara.transform.warp.warp_affine` on the whole
    image, positions within float32 rounding: the same filters, antialiasing,
    border modes and fill. src is (H, W) or (H, W, C), C from 1 to 4, on the
    host (NumPy, memmap, zarr, or a path: TIFF, .npy, a zarr store); M maps
    source to destination (or the reverse with flags | WARP_INVERSE_MAP);
    dsize is (width, height), (0, 0) for the source's size. memory_budget,
    out and progress as in `resize`; BORDER_TRANSPARENT needs out as an array
    holding the pixels to keep.
    """
    return _warp_call("warp_affine", False, src, M, dsize, flags, border_mode, border_value,
                      memory_budget, out, progress)  # fmt: skip


def warp_perspective(src, M, dsize, flags=INTER_LINEAR, border_mode=BORDER_CONSTANT, border_value=0, *,
                     memory_budget=None, out=None, progress=None):  # fmt: skip
    """Warp a host-side image of any size by a 3 x 3 projective matrix, tile by tile on the GPU.

    The arguments are those of `warp_affine`, with M 3 x 3. Where the
    projection's denominator is zero or negative the pixel takes border_value
    (or keeps out's value with BORDER_TRANSPARENT), as in the whole-image warp.
    """
    return _warp_call("warp_perspective", True, src, M, dsize, flags, border_mode, border_value,
                      memory_budget, out, progress)  # fmt: skip


def _warp_call(who, perspective, src, M, dsize, flags, border_mode, border_value, memory_budget, out, progress):
    flags, border_mode = arguments.require_int("flags", flags), arguments.require_int("border_mode", border_mode)
    _check_progress(progress, who)
    source = _Source(src, who, max_channels=4)
    try:
        return _warp_tiles(who, perspective, source, M, dsize, flags, border_mode, border_value,
                           memory_budget, out, progress)  # fmt: skip
    finally:
        source.close()


def _inverse_map(M, who, perspective, inverse):
    """The destination-to-source map as a float64 3 x 3 matrix, by the whole warp's rule."""
    return arguments.inverse_maps(who, M, 3 if perspective else 2, inverse)[0]


def _reach(row, spacing):
    """How far the warp kernels' taps reach at a spacing of neighbouring destination pixels (an array)."""
    spacing = np.asarray(spacing, dtype=np.float64)
    stretch = np.maximum(1.0, spacing) if row.widens else np.ones_like(spacing)
    stretch = np.minimum(stretch, WARP_MAX_REACH / row.reach(1.0))
    return row.radius * stretch + row.margin


# A periodic fold (borders.FOLDS) -> the source index it gives tap i of an axis of n pixels,
# as the warp kernels' fold_<fold> gives it.
def _fold_mirror(i, n):
    j = np.mod(i, 2 * n)
    return np.where(j < n, j, 2 * n - 1 - j)


def _fold_mirror_101(i, n):
    if n == 1:
        return np.zeros_like(i)
    j = np.mod(i, 2 * n - 2)
    return np.where(j < n, j, 2 * n - 2 - j)


_FOLDS = {"mirror": _fold_mirror, "mirror-101": _fold_mirror_101, "wrap": np.mod}

# How a tile's source window is cut along an axis, by the border mode's fold:
#   clipped   the box clipped to the image: a tap outside the window lies outside
#             the image too (constant), or reads the window's edge pixel, which is
#             the image's (clamp);
#   gathered  the box's pixels gathered on the host through the fold (_FOLDS), so
#             that no tap needs the border; a box as wide as the image takes the
#             whole axis, folded by the kernel;
#   inward    (modes that keep dst) the box clipped to the image and reaching inward
#             from an image edge it meets by the filter's reach: positions outside
#             the image lie outside the window, and taps mirrored at the edge land
#             inside it.
_WINDOWS = {"constant": "clipped", "clamp": "clipped", "mirror": "gathered", "mirror-101": "gathered",
            "wrap": "gathered"}  # fmt: skip
_KEEPING_WINDOWS = {"constant": "clipped", "clamp": "clipped", "mirror": "inward", "mirror-101": "inward"}


def _window_rule(border, who):
    """How the windows of a border mode are cut (_WINDOWS), from its row; a mode whose fold has
    no rule here (for a mode that keeps dst: a fold that reads beyond the reach of the edge) is
    refused by name."""
    row = borders.row_of(border)
    if row.needs_dst:
        borders.check_fold(row, _KEEPING_WINDOWS, who, "the tiled warp for a mode that keeps dst")
        return _KEEPING_WINDOWS[row.fold], None
    borders.check_fold(row, _WINDOWS, who, "the tiled warp")
    return _WINDOWS[row.fold], _FOLDS.get(row.fold)


def _axis_windows(lo, hi, n, rule, reach):
    """Per tile along one source axis, from the taps' range lo..hi (floats, maybe infinite):
    the window's start and size and whether it is gathered through the fold (rule: _WINDOWS)."""
    lo, hi = np.asarray(lo, np.float64), np.asarray(hi, np.float64)
    a = np.clip(lo, 0, n - 1)
    b = np.clip(hi, 0, n - 1)
    gathered = np.zeros(a.shape, bool)
    if rule == "inward":
        inward = np.ceil(reach) + _SLACK
        b = np.where(lo <= 0, np.maximum(b, np.minimum(n - 1, inward)), b)
        a = np.where(hi >= n - 1, np.minimum(a, np.maximum(0, n - 1 - inward)), a)
    elif rule == "gathered":
        # A range the float64 positions no longer resolve (or int64 indices not hold) takes the
        # whole axis, as one beyond the image's width does.
        whole = ~(np.isfinite(lo) & np.isfinite(hi)) | (hi - lo + 1 >= n) | (np.maximum(-lo, hi) >= 2.0**52)
        inside = (lo >= 0) & (hi <= n - 1)
        gathered = ~whole & ~inside
        a = np.where(whole, 0, np.where(gathered, lo, a))
        b = np.where(whole, n - 1, np.where(gathered, hi, b))
    return a.astype(np.int64), (b - a + 1).astype(np.int64), gathered


def _taps_range(p_lo, p_hi, reach):
    """The taps that positions p_lo..p_hi reach, widened by the slack."""
    with np.errstate(invalid="ignore", over="ignore"):
        return np.floor(p_lo - reach) - _SLACK, np.ceil(p_hi + reach) + _SLACK


def _corner_ranges(minv, perspective, row, y0, y1, x0, x1):
    """Per tile (arrays): the taps' ranges along x and y, the reaches, and whether a tile
    is regular (w > 0 at every corner), empty (w <= 0 at every corner) or neither."""
    xs = np.stack([x0, x1 - 1, x0, x1 - 1]).astype(np.float64)
    ys = np.stack([y0, y0, y1 - 1, y1 - 1]).astype(np.float64)
    m = minv.ravel()
    X = m[0] * xs + m[1] * ys + m[2]
    Y = m[3] * xs + m[4] * ys + m[5]
    if perspective:
        W = m[6] * xs + m[7] * ys + m[8]
        regular = (W > 0).all(axis=0)
        empty = (W <= 0).all(axis=0)
        Ws = np.where(regular, W, 1.0)
        px, py = X / Ws, Y / Ws
        # The Jacobian's rows are N / w^2 with N affine in (x, y): |N| peaks at a corner
        # and 1 / w^2 at the corner of least w, so their product bounds the spacing.
        wmin2 = Ws.min(axis=0) ** 2
        nx = np.hypot(m[0] * Ws - X * m[6], m[1] * Ws - X * m[7]).max(axis=0)
        ny = np.hypot(m[3] * Ws - Y * m[6], m[4] * Ws - Y * m[7]).max(axis=0)
        sx, sy = nx / wmin2, ny / wmin2
    else:
        regular = np.ones(x0.shape, bool)
        empty = ~regular
        px, py = X, Y
        sx = np.full(x0.shape, math.hypot(m[0], m[1]))
        sy = np.full(x0.shape, math.hypot(m[3], m[4]))
    rx, ry = _reach(row, sx * (1 + 1e-5)), _reach(row, sy * (1 + 1e-5))
    lo_x, hi_x = _taps_range(px.min(axis=0), px.max(axis=0), rx)
    lo_y, hi_y = _taps_range(py.min(axis=0), py.max(axis=0), ry)
    return (lo_x, hi_x, rx), (lo_y, hi_y, ry), regular, empty


def _pixel_taps(minv, row, y0, y1, x0, x1):
    """A perspective tile that the horizon crosses: per pixel with w > 0, the taps' ranges along
    x and y and the reaches ((lo, hi, reach) arrays each); None when there is none."""
    ys, xs = np.mgrid[y0:y1, x0:x1].astype(np.float64)
    m = minv.ravel()
    W = m[6] * xs + m[7] * ys + m[8]
    keep = W > 0
    if not keep.any():
        return None
    xs, ys, W = xs[keep], ys[keep], W[keep]
    with np.errstate(over="ignore", invalid="ignore"):
        px = (m[0] * xs + m[1] * ys + m[2]) / W
        py = (m[3] * xs + m[4] * ys + m[5]) / W
        rx = _reach(row, np.hypot(m[0] - px * m[6], m[1] - px * m[7]) / W * (1 + 1e-5))
        ry = _reach(row, np.hypot(m[3] - py * m[6], m[4] - py * m[7]) / W * (1 + 1e-5))
        # A position or spacing that overflows to NaN could lie anywhere: unbounded.
        lo_x, hi_x = _taps_range(np.where(np.isnan(px - rx), -np.inf, px - rx),
                                 np.where(np.isnan(px + rx), np.inf, px + rx), 0.0)
        lo_y, hi_y = _taps_range(np.where(np.isnan(py - ry), -np.inf, py - ry),
                                 np.where(np.isnan(py + ry), np.inf, py + ry), 0.0)
    return (lo_x, hi_x, rx), (lo_y, hi_y, ry)


def _pixel_ranges(minv, row, y0, y1, x0, x1):
    """A perspective tile that the horizon crosses: the taps' ranges from every pixel with w > 0;
    None when there is none."""
    taps = _pixel_taps(minv, row, y0, y1, x0, x1)
    if taps is None:
        return None
    return tuple((lo.min(), hi.max(), np.nanmax(reach)) for lo, hi, reach in taps)


def _warp_tiles(who, perspective, source, M, dsize, flags, border_mode, border_value, memory_budget, out, progress):
    wanted = arguments.warp_filter(who, flags)
    row = wanted.row
    border = arguments.border_row(who, border_mode).value
    minv = _inverse_map(M, who, perspective, wanted.inverse)
    out_h, out_w = arguments.warp_size(who, dsize, source.height, source.width)
    fill = arguments.fill_values(who, border_value, source.channels)
    budget = _budget(memory_budget, who)
    transparent = borders.row_of(border).needs_dst
    shape = (out_h, out_w) + source.shape[2:]
    dest = _Destination(out, shape, source.dtype, who, transparent)
    dest.check_apart(source, who)
    rule, fold = _window_rule(border, who)
    pixel = source.channels * source.dtype.itemsize
    n_h, n_w = source.height, source.width
    matrices = 2 * _BLOCK  # the matrix each tile's warp uploads, one per slot

    def windows(y0, y1, x0, x1):
        (lx, hx, rx), (ly, hy, ry), regular, empty = _corner_ranges(minv, perspective, row, y0, y1, x0, x1)
        ax, nx, gx = _axis_windows(lx, hx, n_w, rule, rx)
        ay, ny, gy = _axis_windows(ly, hy, n_h, rule, ry)
        # A tile beyond the horizon reads nothing: a one-pixel window, every pixel filled.
        ax, nx, ay, ny = (np.where(empty, v, u) for u, v in ((ax, 0), (nx, 1), (ay, 0), (ny, 1)))
        return (ax, nx, gx & ~empty), (ay, ny, gy & ~empty), regular | empty

    def piece(rect, ax, nx, gx, ay, ny, gy):
        # A gathered window starts at its first tap, wherever that lies.
        cols = (int(ax), int(nx), fold(np.arange(int(ax), int(ax) + int(nx)), n_w) if gx else None)
        rows = (int(ay), int(ny), fold(np.arange(int(ay), int(ay) + int(ny)), n_h) if gy else None)
        return rect, rows, cols

    def split(rect, capacity):
        """The pieces of a tile the horizon crosses: the tile, or its quarters in turn, until
        each window fits the capacity; None when a single pixel's does not."""
        py0, py1, px0, px1 = rect
        ranges = _pixel_ranges(minv, row, py0, py1, px0, px1)
        if ranges is None:
            return [(rect, (0, 1, None), (0, 1, None))]
        (lx, hx, rx), (ly, hy, ry) = ranges
        ax, nx, gx = _axis_windows(lx, hx, n_w, rule, rx)
        ay, ny, gy = _axis_windows(ly, hy, n_h, rule, ry)
        if int(nx) * int(ny) * pixel <= capacity:
            return [piece(rect, ax, nx, gx, ay, ny, gy)]
        if py1 - py0 == 1 and px1 - px0 == 1:
            return None
        my, mx = (py0 + py1 + 1) // 2, (px0 + px1 + 1) // 2
        quads = [(py0, my, px0, mx), (py0, my, mx, px1), (my, py1, px0, mx), (my, py1, mx, px1)]
        parts = [split(q, capacity) for q in quads if q[0] < q[1] and q[2] < q[3]]
        return None if any(p is None for p in parts) else [p for part in parts for p in part]

    def plan(side):
        """(pieces, tile bytes) with tiles of side x side; pieces None when they do not fit."""
        y0, y1, x0, x1 = _grid(side, out_h, out_w)
        wx, wy, regular = windows(y0, y1, x0, x1)
        tile = int(((y1 - y0) * (x1 - x0)).max()) * pixel
        sizes = np.where(regular, wx[1] * wy[1], 1)
        need = 2 * (_blocks(int(sizes.max()) * pixel) + _blocks(tile)) + matrices
        if need > budget:
            return None, tile
        # Tiles the horizon crosses take what the budget leaves for a window.
        capacity = ((budget - matrices) // 2 - _blocks(tile)) // _BLOCK * _BLOCK
        pieces = []
        for i in range(len(y0)):
            rect = (int(y0[i]), int(y1[i]), int(x0[i]), int(x1[i]))
            if regular[i]:
                pieces.append(piece(rect, wx[0][i], wx[1][i], wx[2][i], wy[0][i], wy[1][i], wy[2][i]))
                continue
            parts = split(rect, capacity)
            if parts is None:
                return None, tile
            pieces.extend(parts)
        return pieces, tile

    def minimum():
        """The least budget with which plan(SIDES[-1]) succeeds, and what needs it: its tiles'
        windows, and the window of each single pixel of the tiles the horizon crosses (to which
        their pieces may be cut)."""
        y0, y1, x0, x1 = _grid(SIDES[-1], out_h, out_w)
        wx, wy, regular = windows(y0, y1, x0, x1)
        tile = int(((y1 - y0) * (x1 - x0)).max()) * pixel
        window, crossing = int(np.where(regular, wx[1] * wy[1], 1).max()), 0
        for i in np.flatnonzero(~regular):
            taps = _pixel_taps(minv, row, int(y0[i]), int(y1[i]), int(x0[i]), int(x1[i]))
            if taps is not None:
                (lx, hx, rx), (ly, hy, ry) = taps
                sizes = _axis_windows(lx, hx, n_w, rule, rx)[1] * _axis_windows(ly, hy, n_h, rule, ry)[1]
                crossing = max(crossing, int(sizes.max()))
        need = 2 * (_blocks(max(window, crossing) * pixel) + _blocks(tile)) + matrices
        if crossing > window:
            return need, "the source window of an output pixel whose map crosses the horizon (w = 0)"
        return need, f"one tile of {min(16, out_w)} x {min(16, out_h)} output pixels with its source window"

    for side in SIDES:
        pieces, tile = plan(side)
        if pieces is not None:
            break
    else:
        raise _too_small(who, budget, *minimum())
    window = max(p[1][1] * p[2][1] for p in pieces) * pixel
    slots = _Slots([("window", window), ("out", tile)], [("window", window)], [("out", tile)])
    warp = _warp.warp_perspective if perspective else _warp.warp_affine
    call_flags = row.inter | WARP_INVERSE_MAP

    def shapes(p):
        (ty0, ty1, tx0, tx1), rows, cols = p
        return (rows[1], cols[1]) + source.shape[2:], (ty1 - ty0, tx1 - tx0) + source.shape[2:]

    def load(p, k):
        _, rows, cols = p
        win, tile_shape = shapes(p)
        source.read(rows, cols, slots.on_host(k, "input", "window", win, source.dtype))
        if transparent:
            ty0, ty1, tx0, tx1 = p[0]
            slots.on_host(k, "output", "out", tile_shape, source.dtype)[...] = dest.array[ty0:ty1, tx0:tx1]

    def launch(p, k, stream):
        (ty0, ty1, tx0, tx1), rows, cols = p
        win, tile_shape = shapes(p)
        d_win = slots.on_device(k, "window", win, source.dtype)
        d_win.set(slots.on_host(k, "input", "window", win, source.dtype), stream=stream)
        d_out = slots.on_device(k, "out", tile_shape, source.dtype)
        h_out = slots.on_host(k, "output", "out", tile_shape, source.dtype)
        if transparent:
            d_out.set(h_out, stream=stream)
        # Tile pixel (x, y) is destination pixel (x + tx0, y + ty0); window pixel (i, j) is
        # source pixel (i + cols start, j + rows start).
        to_tile = np.array([[1.0, 0.0, tx0], [0.0, 1.0, ty0], [0.0, 0.0, 1.0]])
        to_window = np.array([[1.0, 0.0, -cols[0]], [0.0, 1.0, -rows[0]], [0.0, 0.0, 1.0]])
        m = to_window @ minv @ to_tile
        warp(d_win, m if perspective else m[:2], (tx1 - tx0, ty1 - ty0), call_flags, border, fill, d_out)
        d_out.get(stream=stream, out=h_out, blocking=False)

    def tiles():
        for p, k in _pipeline(pieces, slots, load, launch, progress):
            yield p[0], slots.on_host(k, "output", "out", shapes(p)[1], source.dtype)

    return dest.write(tiles(), side)

