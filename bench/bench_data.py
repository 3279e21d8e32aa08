"""Feeding a network from a folder: `zemvara.data.Loader` against PyTorch's DataLoader.

A folder of generated JPEGs of photograph sizes (about 500 x 375, both
orientations; ZEMVARA_BENCH_DATA_IMAGES of them, 2,000 by default, in 4
classes) is read for training: random resized crop to 224, horizontal flip,
normalisation, float16 NCHW, batches of 64. The two sides alternate, each
timed over a whole pass after a first pass of 64 images:

- the Loader, 2 decoding threads, on the device (the host device here);
- DataLoader(num_workers=2) over a dataset that decodes with OpenCV and
  applies the same crop rule, flip and normalisation with cv2.resize (bilinear)
  and NumPy in the worker processes, then moves the batch to the device.
  torchvision is not a dependency of the package; its transforms are not run.

On the host device the table also gives, per batch, the Loader's launches
and its host waits (device-to-host copies and synchronisations), and the
process's peak resident memory. On the host device the warp runs on one
CPU core inside its launch, so these figures measure the stand-in, not a GPU.
"""

import os
import tempfile
import time

import cupy as cp
import cv2
import numpy as np

from bench_lists import HostWaits, KernelClock
from timing import peak_rss_mib, table

COUNT = int(os.environ.get("ZEMVARA_BENCH_DATA_IMAGES", "2000"))
BATCH = 64
MEAN, STD = (0.485, 0.456, 0.406), (0.229, 0.224, 0.225)
SIZES = [(375, 500), (500, 375), (333, 500), (360, 480), (400, 500), (500, 400)]


def make_folder(root, count):
    """count JPEGs in 4 class folders: smooth colour fields with noise, a photograph's size each."""
    rng = np.random.default_rng(0)
    for i in range(count):
        h, w = SIZES[i % len(SIZES)]
        small = rng.integers(0, 256, (6, 8, 3), dtype=np.uint8)
        image = cv2.resize(small, (w, h), interpolation=cv2.INTER_CUBIC)
        image = cv2.add(image, rng.integers(0, 24, (h, w, 3), dtype=np.uint8))
        folder = os.path.join(root, f"class{i % 4}")
        os.makedirs(folder, exist_ok=True)
        cv2.imwrite(os.path.join(folder, f"{i:05d}.jpg"), image, [cv2.IMWRITE_JPEG_QUALITY, 90])


class CpuDataset:
    """The same training transform on the CPU, for DataLoader workers: decode, crop, resize, flip, normalise."""

    def __init__(self, samples, seed=0):
        from zemvara.data import RandomResizedCrop

        self.samples, self.crop, self.seed = samples, RandomResizedCrop(224), seed
        self.mean = np.array(MEAN, np.float32) * 255
        self.scale = 1 / (np.array(STD, np.float32) * 255)

    def __len__(self):
        return len(self.samples)

    def __getitem__(self, index):
        import torch

        path, label = self.samples[index]
        image = cv2.cvtColor(cv2.imread(path, cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)
        rng = np.random.default_rng([self.seed, index])
        top, left, h, w = self.crop.crop(image.shape[0], image.shape[1], rng)
        out = cv2.resize(image[top:top + h, left:left + w], (224, 224), interpolation=cv2.INTER_LINEAR)
        if rng.random() < 0.5:
            out = out[:, ::-1]
        out = ((out.astype(np.float32) - self.mean) * self.scale).astype(np.float16).transpose(2, 0, 1)
        return torch.from_numpy(np.ascontiguousarray(out)), label


def run_zemvara(loader):
    count = 0
    for images, labels in loader:
        count += len(labels)
    return count


def run_dataloader(loader, device):
    count = 0
    for images, labels in loader:
        images, labels = images.to(device, non_blocking=True), labels.to(device, non_blocking=True)
        count += len(labels)
    return count


def main():
    import torch
    from torch.utils.data import DataLoader

    from zemvara.data import ImageFolder, Loader, RandomResizedCrop

    host = hasattr(cp, "_hostdevice")
    launch_count = cp._hostdevice.launch_count if host else (lambda: 0)
    device = "cuda" if torch.cuda.is_available() else "cpu"
    with tempfile.TemporaryDirectory() as root:
        start = time.perf_counter()
        make_folder(root, COUNT)
        made = time.perf_counter() - start
        dataset = ImageFolder(root)
        ours = Loader(dataset, BATCH, shuffle=True, threads=2, transform=RandomResizedCrop(224), dtype="float16",
                      mean=MEAN, std=STD)
        theirs = DataLoader(CpuDataset(dataset.samples), BATCH, shuffle=True, num_workers=2,
                            pin_memory=device == "cuda", persistent_workers=True)
        warm = Loader(dataset.samples[:BATCH], BATCH, transform=RandomResizedCrop(224), dtype="float16",
                      mean=MEAN, std=STD)
        run_zemvara(warm)  # kernels compiled
        cp.cuda.Device().synchronize()
        run_dataloader(theirs, device)  # workers started
        rates = {"zemvara.data.Loader (2 threads)": [], "DataLoader (2 workers, OpenCV)": []}
        for round_ in range(2):
            ours.set_epoch(round_)
            launched = launch_count()
            with KernelClock() as clock, HostWaits() as held:
                start = time.perf_counter()
                count = run_zemvara(ours)
            cp.cuda.Device().synchronize()
            wall = time.perf_counter() - start
            rates["zemvara.data.Loader (2 threads)"].append(count / wall)
            launches, waits, batches = launch_count() - launched, held.count, len(ours)
            kernels = clock.kernel_seconds
            start = time.perf_counter()
            count = run_dataloader(theirs, device)
            rates["DataLoader (2 workers, OpenCV)"].append(count / (time.perf_counter() - start))
        peak = peak_rss_mib()
    rows = [[name, f"{max(r):.0f}", " / ".join(f"{x:.0f}" for x in r)] for name, r in rates.items()]
    table(f"{COUNT} JPEGs (about 500 x 375, made in {made:.0f} s) -> random resized crop 224, flip, normalise, "
          f"float16 NCHW, batch {BATCH}, on {device}",
          ["loader", "images/s (best)", "images/s (each round)"], rows)
    if host:
        print(f"  per Loader batch (last round): {launches / batches:.1f} launches, {waits / batches:.1f} host waits, "
              f"{wall / batches * 1e3:.0f} ms of which {kernels / batches * 1e3:.0f} ms inside the warp's launch "
              f"(the stand-in runs a kernel on one core); peak resident memory of the process {peak:.0f} MiB")
