"""`Loader`: batches of a dataset's images on the device, read and decoded on the host in threads.

Per batch: the files are read and decoded (red-green-blue, uint8) by a
thread pool a bounded number of batches ahead, and each sample's random
parameters are drawn by the thread that decoded it from a generator seeded
by (seed, epoch, rank, the sample's place in the epoch), so the batches are
the same bit for bit whatever the number of threads. The consuming thread
then copies the batch's labels and pixels to the device in one copy from
page-locked memory, runs the transform (one warp launch for training, one
more for colour jitter) into an (N, H, W, C) uint8 array, and packs it in
one elementwise launch into the layout and element type asked for, scaled
to 0..1 and normalised by mean and std. Every launch and copy runs on the
caller's current stream: PyTorch's current stream for torch output on a
GPU, CuPy's otherwise. Nothing waits for the device.

The decoder: "opencv" decodes the whole file; "pillow" reads the file's
header first, draws the parameters from its size, and decodes a JPEG at
1/2, 1/4 or 1/8 of its size (the decoder's own reduction) where the
transform shrinks it by that much or more, the parameters adjusted to the
reduced image; "device" reads the files in the threads and decodes each
batch on the device with the NVIDIA image codec in one call, falling back
to "opencv" with a warning where that codec cannot be imported or used.

A file that cannot be read or decoded is reported (a warning naming the path
and the reason) and then skipped (the batch is one shorter), replaced (by
another image of the same batch, with its own parameters drawn anew from
the failed sample's generator) or raised, as `on_error` says; `skipped`
maps each failed path to its reason.
"""

import collections
import functools
import importlib
import os
import pathlib
import warnings
from concurrent.futures import ThreadPoolExecutor

import cupy as cp
import cv2
import numpy as np

from ..transform.resampling import _sources
from ..transform.resampling._launch import ELEMENTS
from ..utils.png import stored_pixels
from .sampling import shard_indices
from .transforms import ResizeCenterCrop

LAYOUTS = ("NCHW", "NHWC")
DTYPES = ("uint8", "float16", "float32")
OUTPUTS = ("torch", "cupy")
ON_ERROR = ("skip", "replace", "raise")
DECODERS = ("opencv", "pillow", "device")

# The EXIF tag of the orientation; JPEG's reduced decoding scales.
_ORIENTATION = 0x0112
_SCALES = (8, 4, 2)
# The staging buffers' sizes are multiples of this.
_STAGING_STEP = 4 << 20

# out = x * scale + shift per channel (x / 255 normalised by mean and std), a thread four pixels at a time.
_PACK = _sources.KernelSource("data_pack", generated=(pathlib.Path(__file__).parent / "_pack.cu").read_text())
# 256 threads a block, about 1024 blocks in all (enough to fill a large GPU); each thread loops over its pixels.
_PACK_BLOCK, _PACK_GRID = 256, 1024
_PACK_PIXELS = 4  # the pixels a thread takes at a time (PACK_PIXELS in _pack.cu)


def decode(path):
    """One file as an (H, W, 3) red-green-blue uint8 host array; grey is replicated, alpha dropped.

    Raises OSError when the file cannot be read, ValueError when it cannot be decoded.
    """
    raw = np.fromfile(path, np.uint8)
    data, n = stored_pixels(raw, raw.size)  # a PNG's pixel data inflated by libdeflate
    # Decoded straight to red-green-blue: no pass of its own to swap the channels.
    image = cv2.imdecode(np.frombuffer(data, np.uint8, n), cv2.IMREAD_COLOR_RGB) if n else None
    if image is None:
        raise ValueError("not an image that can be decoded")
    return image


def decode_reduced(path, transform, rng):
    """One file through Pillow as (image, params): params drawn from the header's size, a JPEG decoded reduced.

    The reduction is the largest of 8, 4 and 2 that is at most
    transform.reduction(params, height, width), and the params are then
    transform.reduced(params, scale); a file with an EXIF orientation is
    turned as the tag says and not reduced. Raises OSError or ValueError
    when the file cannot be read or decoded.
    """
    from PIL import Image, ImageOps

    try:
        with Image.open(path) as im:
            orientation = im.getexif().get(_ORIENTATION, 1)
            width, height = im.size
            if orientation in (5, 6, 7, 8):
                width, height = height, width
            params = transform.params(height, width, rng)
            scale = 1
            if im.format == "JPEG" and orientation == 1 and hasattr(transform, "reduction"):
                factor = transform.reduction(params, height, width)
                wanted = next((s for s in _SCALES if s <= factor and s <= min(width, height)), 1)
                drafted = im.draft("RGB", (width // wanted, height // wanted)) if wanted > 1 else None
                if drafted is not None:
                    scale = int(round(width / drafted[1][2]))
            image = im.convert("RGB")
            if orientation != 1:
                image = ImageOps.exif_transpose(image)
            array = np.asarray(image)
    except Image.DecompressionBombError as error:  # not an OSError: one file must not end the pass
        raise ValueError(str(error)) from None
    if scale > 1:
        params = transform.reduced(params, scale)
    return array, params


@functools.lru_cache(maxsize=64)
def _pack_constants(mean, std, channels, device):
    """The per-channel (scale, shift) device arrays of pack, made once per device: no copy per batch."""
    mean = np.broadcast_to(np.asarray(0.0 if mean is None else mean, np.float64), (channels,))
    std = np.broadcast_to(np.asarray(1.0 if std is None else std, np.float64), (channels,))
    scale = cp.asarray((1.0 / (255.0 * std)).astype(np.float32))
    shift = cp.asarray((-mean / std).astype(np.float32))
    return scale, shift


def _key(value):
    """mean or std as a hashable key: None, a float or a tuple of floats."""
    return None if value is None else tuple(np.atleast_1d(np.asarray(value, np.float64)).tolist())


def pack(batch, layout="NCHW", dtype="float32", mean=None, std=None):
    """An (N, H, W, C) uint8 batch in `layout` and `dtype`, in one launch.

    uint8 is copied as it is; float types are scaled to 0..1 and then
    normalised, (x / 255 - mean) / std, mean and std one value or one per
    channel.
    """
    src = batch.transpose(0, 3, 1, 2) if layout == "NCHW" else batch
    if dtype == "uint8":
        return cp.ascontiguousarray(src)
    n, h, w, channels = batch.shape
    scale, shift = _pack_constants(_key(mean), _key(std), channels, cp.cuda.Device().id)
    out = cp.empty(src.shape, dtype)
    if out.size:
        kernel = _PACK.function(f"zemvara::pack_batch<zemvara::{ELEMENTS[out.dtype]}, {str(layout == 'NCHW').lower()}>")
        blocks = min(-(-(h * w) // (_PACK_BLOCK * _PACK_PIXELS)), max(1, _PACK_GRID // n))
        kernel((blocks, n), (_PACK_BLOCK,), (cp.ascontiguousarray(batch), out, scale, shift, np.int64(h * w),
                                             np.int32(channels)))
    return out


def _check(name, value, allowed):
    if value not in allowed:
        raise ValueError(f"Loader: {name} must be one of {', '.join(map(repr, allowed))}, not {value!r}")


class Loader:
    """Batches (images, labels) of a dataset on the device; see the module."""

    def __init__(self, dataset, batch_size, shuffle=False, seed=0, drop_last=False, rank=0, world_size=1,
                 prefetch=2, threads=None, transform=None, layout="NCHW", dtype="float32", mean=None,
                 std=None, output="torch", on_error="skip", decoder="opencv"):
        """dataset: (path, label) pairs (an ImageFolder, an ImageList or a sequence).

        transform defaults to ResizeCenterCrop(224); threads to the CPU count, at most 8.
        """
        if not isinstance(batch_size, int) or batch_size < 1:
            raise ValueError(f"Loader: batch_size must be a positive int, not {batch_size!r}")
        if not isinstance(prefetch, int) or prefetch < 0:
            raise ValueError(f"Loader: prefetch must be an int >= 0, not {prefetch!r}")
        if threads is None:
            threads = min(8, os.cpu_count() or 1)
        if not isinstance(threads, int) or threads < 1:
            raise ValueError(f"Loader: threads must be a positive int, not {threads!r}")
        _check("layout", layout, LAYOUTS)
        _check("dtype", dtype, DTYPES)
        _check("output", output, OUTPUTS)
        _check("on_error", on_error, ON_ERROR)
        _check("decoder", decoder, DECODERS)
        if dtype == "uint8" and (mean is not None or std is not None):
            raise ValueError("Loader: mean and std need a float dtype, not uint8")
        self.dataset = dataset
        self.batch_size, self.shuffle, self.seed, self.drop_last = batch_size, shuffle, seed, drop_last
        self.rank, self.world_size, self.prefetch, self.threads = rank, world_size, prefetch, threads
        self.transform = ResizeCenterCrop(224) if transform is None else transform
        self.layout, self.dtype, self.mean, self.std = layout, dtype, mean, std
        self.output, self.on_error = output, on_error
        self.decoder, self._codec = decoder, None
        if decoder == "device":
            try:
                self._codec = importlib.import_module("nvidia.nvimgcodec").Decoder()
            except (ImportError, RuntimeError) as error:  # not installed, or no device it can use
                warnings.warn(f"Loader: decoder='device' needs the NVIDIA image codec (nvidia.nvimgcodec), which "
                              f"cannot be used here ({error}); decoding on the CPU with OpenCV", RuntimeWarning,
                              stacklevel=2)
                self.decoder = "opencv"
        self.epoch = 0
        self.indices()  # refuses a rank outside the group
        self.skipped = {}
        self._uploads = collections.deque()  # (event, capacity, page-locked buffer) of copies maybe in flight
        self._free = []  # (capacity, page-locked buffer) whose copies have ended

    def set_epoch(self, epoch):
        """Choose the epoch whose order (with shuffle) and random parameters the next pass uses."""
        self.epoch = epoch

    def indices(self):
        """The dataset indices this process reads in the current epoch, in order."""
        return shard_indices(len(self.dataset), self.rank, self.world_size, self.shuffle, self.seed,
                             self.epoch, self.drop_last)

    def __len__(self):
        """The number of batches of one pass."""
        n = len(self.indices())
        return n // self.batch_size if self.drop_last else -(-n // self.batch_size)

    def rng(self, place, epoch=None):
        """The generator of the random parameters of the sample at `place` of an epoch (default: the current)."""
        return np.random.default_rng([self.seed, self.epoch if epoch is None else epoch, self.rank, place])

    def _read(self, epoch, place, index):
        """Decode one sample and draw its parameters: (image, label, params) or (None, path, reason).

        With the device decoder the image is the file's bytes and params None: _decode_batch decodes them.
        """
        path, label = self.dataset[index]
        try:
            if self.decoder == "device":
                return np.fromfile(path, np.uint8), label, None
            if self.decoder == "pillow":
                image, params = decode_reduced(path, self.transform, self.rng(place, epoch))
                return image, label, params
            image = decode(path)
        except (OSError, ValueError, SyntaxError, cv2.error) as error:
            return None, path, str(error) or type(error).__name__
        return image, label, self.transform.params(image.shape[0], image.shape[1], self.rng(place, epoch))

    def _decode_batch(self, epoch, places, order, results):
        """The device decoder's results: the batch's read files decoded on the device in one call, params drawn."""
        read = [k for k, r in enumerate(results) if r[0] is not None]
        decoded = self._codec.decode([results[k][0] for k in read], cuda_stream=cp.cuda.get_current_stream().ptr)
        results = list(results)
        for k, image in zip(read, decoded):
            if image is None:
                path = self.dataset[order[places[k]]][0]
                results[k] = None, path, "not an image that the NVIDIA image codec can decode"
                continue
            image = cp.asarray(image)
            if not image.flags.c_contiguous:
                image = cp.ascontiguousarray(image)
            results[k] = image, results[k][1], self.transform.params(image.shape[0], image.shape[1],
                                                                     self.rng(places[k], epoch))
        return results

    def _fail(self, path, reason, replaced):
        self.skipped[path] = reason
        if self.on_error == "raise":
            raise RuntimeError(f"Loader: cannot read {path}: {reason}")
        if self.on_error == "skip":
            outcome = "skipped"
        else:
            outcome = ("replaced by another image of its batch" if replaced
                       else "skipped: no image of its batch was read")
        warnings.warn(f"Loader: cannot read {path}: {reason}; {outcome}", RuntimeWarning, stacklevel=3)

    def _gather(self, epoch, places, results):
        """The batch's good samples after on_error: lists of images, labels and params."""
        good = [k for k, r in enumerate(results) if r[0] is not None]
        images, labels, params = [], [], []
        for k, result in enumerate(results):
            if result[0] is None:
                self._fail(result[1], result[2], replaced=bool(good))
                if self.on_error == "skip" or not good:
                    continue
                donor = min(good, key=lambda g: (abs(g - k), g))
                image, label, _ = results[donor]
                result = image, label, self.transform.params(image.shape[0], image.shape[1],
                                                             self.rng(places[k], epoch))
            images.append(result[0])
            labels.append(result[1])
            params.append(result[2])
        return images, labels, params

    def _staging(self, size):
        """(capacity, page-locked buffer) of at least size bytes: a free one whose copy has ended, or a new one.

        Capacities are rounded up to _STAGING_STEP, so that buffers are reused
        with their pages already touched, and the device buffer of the same
        capacity comes back from the memory pool.
        """
        while self._uploads and self._uploads[0][0].done:
            self._free.append(self._uploads.popleft()[1:])
        fits = [k for k, (capacity, _) in enumerate(self._free) if capacity >= size]
        if fits:
            return self._free.pop(min(fits, key=lambda k: self._free[k][0]))
        del self._free[:-1]  # the largest few kept: the sizes of later batches are alike
        capacity = -(-size // _STAGING_STEP) * _STAGING_STEP
        return capacity, cp.cuda.alloc_pinned_memory(capacity)

    def _upload(self, images, labels):
        """The labels (int64) and every host image's pixels in one copy to the device, from page-locked memory.

        The copy is queued on the current stream without waiting; the
        host buffer is kept until an event after the copy says it is done.
        """
        sizes = [im.size for im in images]
        start = 8 * len(labels)
        total = start + sum(sizes)
        capacity, memory = self._staging(total)
        host = np.frombuffer(memory, np.uint8, total)
        host[:start].view(np.int64)[:] = labels
        at = [start]
        for image, size in zip(images, sizes):
            host[at[-1]:at[-1] + size] = image.reshape(-1)
            at.append(at[-1] + size)
        stream = cp.cuda.get_current_stream()
        device = cp.empty(capacity, cp.uint8)[:total]
        device.set(host, stream)
        self._uploads.append((stream.record(), capacity, memory))
        sources = [device[a:b].reshape(image.shape) for a, b, image in zip(at, at[1:], images)]
        return device[:start].view(cp.int64), sources

    def _batch(self, images, labels, params):
        """The device batch of decoded host images, on the current stream."""
        on_device = self.decoder == "device"
        labels, sources = self._upload([] if on_device else images, labels)
        if on_device:
            sources = images
        batch = pack(self.transform.apply(sources, params), self.layout, self.dtype, self.mean, self.std)
        if self.output == "cupy":
            return batch, labels
        import torch

        return torch.from_dlpack(batch), torch.from_dlpack(labels)

    def _stream(self):
        """The caller's current stream as a CuPy stream context: PyTorch's for torch output on a GPU."""
        if self.output == "torch":
            import torch

            if torch.cuda.is_available():
                return cp.cuda.ExternalStream(torch.cuda.current_stream().cuda_stream)
        return cp.cuda.get_current_stream()

    def __iter__(self):
        """One pass over this process's samples: (images, labels) batches."""
        order, epoch = self.indices(), self.epoch
        starts = range(0, len(order), self.batch_size)
        if self.drop_last:
            starts = [s for s in starts if s + self.batch_size <= len(order)]
        starts = list(starts)
        pool = ThreadPoolExecutor(self.threads, thread_name_prefix="zemvara-data")
        pending = []

        def submit(b):
            places = range(starts[b], min(starts[b] + self.batch_size, len(order)))
            pending.append((list(places), [pool.submit(self._read, epoch, p, order[p]) for p in places]))

        try:
            for b in range(min(self.prefetch + 1, len(starts))):
                submit(b)
            for b in range(len(starts)):
                places, futures = pending.pop(0)
                if b + self.prefetch + 1 < len(starts):
                    submit(b + self.prefetch + 1)
                results = [f.result() for f in futures]
                with self._stream():
                    if self.decoder == "device":
                        results = self._decode_batch(epoch, places, order, results)
                    images, labels, params = self._gather(epoch, places, results)
                    batch = self._batch(images, labels, params) if images else None
                if batch is not None:
                    yield batch
        finally:
            for _, futures in pending:
                for future in futures:
                    future.cancel()
            pool.shutdown(wait=True)
