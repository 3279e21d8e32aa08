"""Interleaved reconstruction: index-map build time and the three reconstructions side by side.

On a GPU (ZEMVARA_DEVICE=gpu) it also prints each reconstruction's effective
bandwidth next to a plain device-to-device copy of the same size. Effective
bandwidth counts the bytes a reconstruction cannot avoid, the float32 batch
read once and the float32 output written once; the index-map reconstructions
also read an 8-byte index per element, which that figure deliberately leaves
out, so that the ratio to the copy shows what the detour through the map costs.
"""

import os

import cupy as cp
import numpy as np

from timing import best_of, gpu_seconds, parts, table
from zemvara.transform import weavepack
from zemvara.transform.subsample import subsample_image_back
from zemvara.transform.weavepack import (
    create_output_order_indices,
    subsample_image_back_flattened,
    subsample_image_back_gather,
)

# Output sizes (height, width) of three-channel frames.
FRAMES = {"1080p": (1080, 1920), "4K": (2160, 3840)}
DIM = 2
RECONSTRUCTIONS = [
    ("subsample_image_back (one kernel)", subsample_image_back),
    ("subsample_image_back_flattened", subsample_image_back_flattened),
    ("subsample_image_back_gather", subsample_image_back_gather),
]


def synchronize():
    cp.cuda.Device().synchronize()


def batch_for(frame):
    height, width = FRAMES[frame]
    shape = (DIM * DIM, 3, height // DIM, width // DIM)
    return cp.asarray(np.random.default_rng(0).random(shape, dtype=np.float32))


def map_build_times():
    rows = []
    for frame, (height, width) in FRAMES.items():
        shape = (DIM * DIM, 3, height // DIM, width // DIM)

        def build():
            create_output_order_indices(shape, DIM)
            synchronize()

        entries = height * width * 3
        host_map = np.ones(entries, dtype=np.int64)

        def upload():
            cp.asarray(host_map)
            synchronize()

        seconds = best_of(build, repeat=5)
        upload_seconds = best_of(upload, repeat=5)
        del host_map
        rows.append([
            f"{frame} x 3 ({entries / 1e6:.1f} M entries)", f"{seconds * 1e3:.1f}",
            f"{upload_seconds * 1e3:.1f}", f"{entries / seconds / 1e6:.0f}",
        ])
    table(
        f"Index map build, create_output_order_indices, dim {DIM} (host fill, then one upload)",
        ["output", "build ms", "of which upload ms", "M entries/s"],
        rows,
    )


def side_by_side(frame="4K"):
    """First call (which builds the map) and later calls, on one batch."""
    batch = batch_for(frame)
    rows = []
    for label, fn in RECONSTRUCTIONS:
        weavepack._index_cache.clear()

        def call():
            fn(batch, DIM)
            synchronize()

        first = best_of(call, repeat=1)
        steady = best_of(call, repeat=3)
        rows.append([label, f"{first * 1e3:.1f}", f"{steady * 1e3:.1f}"])
    weavepack._index_cache.clear()
    table(
        f"Reconstructions on the {os.environ.get('ZEMVARA_DEVICE', 'host')} device, {frame} x 3 float32 batch, dim {DIM}",
        ["function", "first call ms", "later calls ms"],
        rows,
    )


def gpu_bandwidth(frame="4K"):
    batch = batch_for(frame)
    moved = 2 * batch.nbytes  # batch read once, output of the same size written once
    target = cp.empty_like(batch)
    copy = gpu_seconds(lambda: target.data.copy_from_device_async(batch.data, batch.nbytes))
    rows = [["device-to-device copy", f"{copy * 1e3:.3f}", f"{moved / copy / 1e9:.0f}", "1.00"]]
    for label, fn in RECONSTRUCTIONS:
        seconds = gpu_seconds(lambda: fn(batch, DIM))
        rows.append([label, f"{seconds * 1e3:.3f}", f"{moved / seconds / 1e9:.0f}", f"{copy / seconds:.2f}"])
    weavepack._index_cache.clear()
    table(
        f"Effective bandwidth on {cp.cuda.runtime.getDeviceProperties(cp.cuda.Device().id)['name'].decode()}, "
        f"{frame} x 3 float32, dim {DIM} (bytes: batch read + output written)",
        ["operation", "ms", "GB/s", "of copy"],
        rows,
    )


def main():
    parts(map_build_times, side_by_side, gpu=[gpu_bandwidth])


if __name__ == "__main__":
    main()
