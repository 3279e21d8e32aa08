"""`Loader`: batches of a dataset's images on the device, read and decoded on the host in threads."""

from typing import Any, Dict, Iterator, Literal, Optional, Sequence, Tuple, Union

import cupy as cp
import numpy as np

from .datasets import ImageList

_Norm = Union[float, Sequence[float], None]

LAYOUTS: Tuple[str, ...]  # "NCHW", "NHWC"
DTYPES: Tuple[str, ...]  # "uint8", "float16", "float32"
OUTPUTS: Tuple[str, ...]  # "torch", "cupy"
ON_ERROR: Tuple[str, ...]  # "skip", "replace", "raise"
DECODERS: Tuple[str, ...]  # "opencv", "pillow", "device"

def decode(path: str) -> np.ndarray:
    """One file as an (H, W, 3) red-green-blue uint8 host array; grey is replicated, alpha dropped.

    Raises OSError when the file cannot be read, ValueError when it cannot be decoded.
    """

def decode_reduced(path: str, transform: Any, rng: np.random.Generator) -> Tuple[np.ndarray, Any]:
    """One file through Pillow as (image, params): params drawn from the header's size, a JPEG decoded reduced.

    The reduction is the largest of 8, 4 and 2 that is at most
    transform.reduction(params, height, width), and the params are then
    transform.reduced(params, scale); a file with an EXIF orientation is
    turned as the tag says and not reduced. Raises OSError or ValueError
    when the file cannot be read or decoded.
    """

def pack(
    batch: cp.ndarray, layout: str = "NCHW", dtype: str = "float32", mean: _Norm = None, std: _Norm = None
) -> cp.ndarray:
    """An (N, H, W, C) uint8 batch in `layout` and `dtype`, in one launch.

    uint8 is copied as it is; float types are scaled to 0..1 and then
    normalised, (x / 255 - mean) / std, mean and std one value or one per
    channel.
    """

class Loader:
    """Batches (images, labels) of a dataset on the device.

    Files are read and decoded on the host by `threads` threads, `prefetch`
    batches ahead; each sample's random parameters come from a generator
    seeded by (seed, epoch, rank, its place in the epoch), so the batches are
    the same bit for bit whatever the number of threads. Each batch goes to
    the device in one copy and through the transform and one packing launch,
    all on the caller's current stream (PyTorch's for torch output on a GPU),
    with no host wait. images is (N, C, H, W) or (N, H, W, C) of `dtype`,
    labels int64 (N,); PyTorch tensors, or CuPy arrays with output="cupy".

    The indices are those of PyTorch's distributed sampler for rank,
    world_size, shuffle, seed, the epoch and drop_last, which also drops a
    last incomplete batch. A file that cannot be read is reported by a
    RuntimeWarning naming it and the reason, then skipped, replaced by the
    nearest good image of its batch, or raised (RuntimeError), as on_error
    says; `skipped` maps every failed path to its reason.

    decoder: "opencv" decodes whole files on the CPU; "pillow" reads a
    file's header, draws the parameters from its size and decodes a JPEG
    at 1/2, 1/4 or 1/8 of its size where the transform shrinks it by that
    much or more (see decode_reduced); "device" reads the files in the
    threads and decodes each batch on the device with the NVIDIA image
    codec in one call, falling back to "opencv" with a RuntimeWarning where
    `nvidia.nvimgcodec` cannot be imported or makes no decoder (`decoder`
    then says "opencv").
    """

    dataset: Union[ImageList, Sequence[Tuple[str, int]]]
    transform: Any
    epoch: int
    skipped: Dict[str, str]
    decoder: str

    def __init__(
        self,
        dataset: Union[ImageList, Sequence[Tuple[str, int]]],
        batch_size: int,
        shuffle: bool = False,
        seed: int = 0,
        drop_last: bool = False,
        rank: int = 0,
        world_size: int = 1,
        prefetch: int = 2,
        threads: Optional[int] = None,
        transform: Any = None,
        layout: Literal["NCHW", "NHWC"] = "NCHW",
        dtype: Literal["uint8", "float16", "float32"] = "float32",
        mean: _Norm = None,
        std: _Norm = None,
        output: Literal["torch", "cupy"] = "torch",
        on_error: Literal["skip", "replace", "raise"] = "skip",
        decoder: Literal["opencv", "pillow", "device"] = "opencv",
    ) -> None:
        """dataset: (path, label) pairs (an ImageFolder, an ImageList or a sequence).

        transform defaults to ResizeCenterCrop(224); threads to the CPU count, at most 8.
        """

    def set_epoch(self, epoch: int) -> None:
        """Choose the epoch whose order (with shuffle) and random parameters the next pass uses."""

    def indices(self) -> list[int]:
        """The dataset indices this process reads in the current epoch, in order."""

    def rng(self, place: int, epoch: Optional[int] = None) -> np.random.Generator:
        """The generator of the random parameters of the sample at `place` of an epoch (default: the current)."""

    def __len__(self) -> int:
        """The number of batches of one pass."""

    def __iter__(self) -> Iterator[Tuple[Any, Any]]:
        """One pass over this process's samples: (images, labels) batches."""
