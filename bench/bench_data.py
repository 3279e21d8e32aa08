"""Feeding a network from a folder: `zemvara.data.Loader` against PyTorch's DataLoader.

A folder of generated JPEGs of photograph sizes (about 500 x 375, both
orientations; ZEMVARA_BENCH_DATA_IMAGES of them, 2,000 by default, in 4
classes) is read for training: random resized crop to 224, horizontal flip,
normalisation, float16 NCHW, batches of 64. The sides alternate, each timed
over a whole pass after a first pass of 64 images:

- the Loader, 2 decoding threads, on the device (the host device here),
  with its default filter: bicubic, antialiased;
- torchvision.datasets.ImageFolder + DataLoader(num_workers=2) with
  torchvision's v2 transforms (RandomResizedCrop, RandomHorizontalFlip on the
  Pillow image, PILToTensor, ToDtype(float16, scale=True), Normalize), the
  batch then moved to the device, twice: with the Loader's filter (bicubic,
  antialiased: the same work) and with torchvision's default (bilinear,
  antialiased: fewer taps); skipped where torchvision cannot be imported;
- DataLoader(num_workers=2) over a dataset that decodes with OpenCV and
  applies the same crop rule, flip and normalisation with cv2.resize (bilinear)
  and NumPy in the worker processes, then moves the batch to the device.

On the host device the table also gives, per batch, the Loader's launches
and its host waits (device-to-host copies and synchronisations), the time
inside its launches and what colour jitter (ColorJitter(0.4, 0.4, 0.4)) adds
to one batch, and the process's peak resident memory. On the host device the
kernels run on the CPU cores inside their launches, so these figures measure
the stand-in, not a GPU.
"""

import math
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


_TORCHVISION_OPS = []  # the operator library declared for torchvision's import, kept alive


def import_torchvision():
    """torchvision, or None where it cannot be imported.

    PyPI's torchvision wheels are built for PyPI's CUDA builds of torch, and
    their compiled operators do not load against a CPU build; their import
    then fails registering shapes for operators that do not exist. Those
    operators are declared here so that the import goes on: nothing below
    calls them (the transforms are Python over Pillow and torch).
    """
    import torch

    try:
        import torchvision
    except RuntimeError as error:
        if "torchvision::" not in str(error):
            raise
        library = torch.library.Library("torchvision", "DEF")
        for name in ("nms", "qnms"):
            library.define(f"{name}(Tensor dets, Tensor scores, float iou_threshold) -> Tensor")
        _TORCHVISION_OPS.append(library)
        import torchvision
    except ImportError:
        return None
    return torchvision


def torchvision_loader(root, torchvision, pin, bicubic):
    """torchvision's ImageFolder and v2 transforms for the same training pass, in a DataLoader with 2 workers;
    bicubic: the crop's filter (else torchvision's default, bilinear), antialiased either way."""
    import torch
    from torch.utils.data import DataLoader
    from torchvision.transforms import v2

    mode = v2.InterpolationMode.BICUBIC if bicubic else v2.InterpolationMode.BILINEAR
    train = v2.Compose([v2.RandomResizedCrop(224, interpolation=mode, antialias=True), v2.RandomHorizontalFlip(),
                        v2.PILToTensor(), v2.ToDtype(torch.float16, scale=True), v2.Normalize(MEAN, STD)])
    dataset = torchvision.datasets.ImageFolder(root, transform=train)
    return DataLoader(dataset, BATCH, shuffle=True, num_workers=2, pin_memory=pin, persistent_workers=True)


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


class _Warped:
    """A transform whose output is already in `out`: ColorJitter over it times the jitter launch alone."""

    size = (224, 224)

    def params(self, height, width, rng):
        return None

    def apply(self, images, params, out=None):
        return out


def jitter_cost(dataset, launch_count):
    """Seconds (the best of three) and launches of ColorJitter(0.4, 0.4, 0.4) over one warped batch."""
    from zemvara.data import ColorJitter, RandomResizedCrop
    from zemvara.data.loader import decode

    images = [cp.asarray(decode(path)) for path, _ in dataset.samples[:BATCH]]
    out = cp.empty((len(images), 224, 224, 3), cp.uint8)
    crop, jitter = RandomResizedCrop(224), ColorJitter(_Warped(), 0.4, 0.4, 0.4)
    rng = np.random.default_rng(0)
    warped = cp.empty_like(out)
    crop.apply(images, [crop.params(*image.shape[:2], rng) for image in images], warped)
    params = [jitter.params(*image.shape[:2], rng) for image in images]
    best = math.inf
    for _ in range(4):  # the first compiles
        out[...] = warped
        cp.cuda.Device().synchronize()
        launched, start = launch_count(), time.perf_counter()
        jitter.apply(images, params, out)
        cp.cuda.Device().synchronize()
        best, launches = min(best, time.perf_counter() - start), launch_count() - launched
    return best, launches


def main():
    import torch
    from torch.utils.data import DataLoader

    from zemvara.data import ImageFolder, Loader, RandomResizedCrop

    host = hasattr(cp, "_hostdevice")
    launch_count = cp._hostdevice.launch_count if host else (lambda: 0)
    device = "cuda" if torch.cuda.is_available() else "cpu"
    torchvision = import_torchvision()
    ours_name, cv_name = "zemvara.data.Loader (2 threads, bicubic)", "DataLoader (2 workers, OpenCV bilinear)"
    tv_names = {True: "torchvision ImageFolder + v2 (2 workers, bicubic)",
                False: "torchvision ImageFolder + v2 (2 workers, bilinear)"}
    with tempfile.TemporaryDirectory() as root:
        start = time.perf_counter()
        make_folder(root, COUNT)
        made = time.perf_counter() - start
        dataset = ImageFolder(root)
        ours = Loader(dataset, BATCH, shuffle=True, threads=2, transform=RandomResizedCrop(224), dtype="float16",
                      mean=MEAN, std=STD)
        theirs = {cv_name: DataLoader(CpuDataset(dataset.samples), BATCH, shuffle=True, num_workers=2,
                                      pin_memory=device == "cuda", persistent_workers=True)}
        if torchvision is not None:
            for bicubic, name in tv_names.items():
                theirs[name] = torchvision_loader(root, torchvision, device == "cuda", bicubic)
        warm = Loader(dataset.samples[:BATCH], BATCH, transform=RandomResizedCrop(224), dtype="float16",
                      mean=MEAN, std=STD)
        run_zemvara(warm)  # kernels compiled
        cp.cuda.Device().synchronize()
        for loader in theirs.values():
            run_dataloader(loader, device)  # workers started
        rates = {name: [] for name in [ours_name, *theirs]}
        for round_ in range(2):
            ours.set_epoch(round_)
            launched = launch_count()
            with KernelClock() as clock, HostWaits() as held:
                start = time.perf_counter()
                count = run_zemvara(ours)
            cp.cuda.Device().synchronize()
            wall = time.perf_counter() - start
            rates[ours_name].append(count / wall)
            launches, waits, batches = launch_count() - launched, held.count, len(ours)
            kernels = clock.kernel_seconds
            for name, loader in theirs.items():
                start = time.perf_counter()
                count = run_dataloader(loader, device)
                rates[name].append(count / (time.perf_counter() - start))
        jitter_seconds, jitter_launches = jitter_cost(dataset, launch_count)
        peak = peak_rss_mib()
    rows = [[name, f"{max(r):.0f}", " / ".join(f"{x:.0f}" for x in r)] for name, r in rates.items()]
    table(f"{COUNT} JPEGs (about 500 x 375, made in {made:.0f} s) -> random resized crop 224, flip, normalise, "
          f"float16 NCHW, batch {BATCH}, on {device}",
          ["loader", "images/s (best)", "images/s (each round)"], rows)
    if torchvision is None:
        print("  torchvision cannot be imported: its rows are left out")
    else:
        # Each round's ratio, the sides timed one after the other within it.
        for name in tv_names.values():
            ratios = [ours / theirs for ours, theirs in zip(rates[ours_name], rates[name])]
            print(f"  Loader / {name}: " + " / ".join(f"{r:.2f}" for r in ratios))
    if host:
        print(f"  per Loader batch (last round): {launches / batches:.1f} launches, {waits / batches:.1f} host waits, "
              f"{wall / batches * 1e3:.0f} ms of which {kernels / batches * 1e3:.0f} ms inside its launches "
              f"(the stand-in runs kernels on the CPU cores); ColorJitter(0.4, 0.4, 0.4) adds {jitter_launches} "
              f"launch and {jitter_seconds * 1e3:.0f} ms; peak resident memory of the process {peak:.0f} MiB")
