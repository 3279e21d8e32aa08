"""Lists of images of different sizes: one call for the list against one call per image.

64 uint8 RGB images, each of its own size (64 to 512 pixels a side), resized
to 224 x 224 with INTER_AUTO (area reductions, Mitchell enlargements) and
warped by their own affine matrices into 224 x 224, as one list call and as
64 single calls. Each side is timed after a first round (kernels compiled,
weight tables kept), best of several rounds, the device synchronised after
each.

On the host device the kernels run inside their launches; the table counts
the launches and splits the time into the kernels' own and the rest (host
time: argument checks, planning, allocations, table uploads, the launches'
marshalling), per image. On a GPU only the wall time per image is shown.

The batch road: 64 generated 512 x 512 photographs (JPEG) through
`zemvara.pipeline.run` with the steps resize:224x224, one file at a time
against `batch=32`, one host thread; on the host device, the launches per file
and the host waits per 32 files (device-to-host copies and stream, event or
device synchronisations, each of which stops the host until the GPU is done).
"""

import inspect
import os
import tempfile
import time

import cupy as cp
import numpy as np

from timing import table
from zemvara.transform import warp as W
from zemvara.transform.resize import resize

COUNT = 64


def sources():
    rng = np.random.default_rng(5)
    sides = rng.choice(np.arange(64, 513), size=(COUNT, 2), replace=False)
    images = [cp.asarray(rng.integers(0, 256, (int(h), int(w), 3), dtype=np.uint8)) for h, w in sides]
    angles = rng.uniform(-0.3, 0.3, COUNT)
    matrices = np.array([[[224 / w * np.cos(a), -np.sin(a), 10], [np.sin(a), 224 / h * np.cos(a), 5]]
                         for (h, w), a in zip(sides, angles)])  # fmt: skip
    return images, matrices


class KernelClock:
    """On the host device: launches made and seconds spent running kernels, while active."""

    def __init__(self):
        self.kernel_seconds, self.launches = 0.0, 0
        self._kernel = getattr(cp, "_kernel", None)

    def __enter__(self):
        if self._kernel is not None:
            original = self._original = self._kernel._launch
            clock = self

            class Timed:
                def __init__(self, binary):
                    self.nparams, self.sizes, self._run = binary.nparams, binary.sizes, binary.launch

                def launch(self, *args):
                    start = time.perf_counter()
                    self._run(*args)
                    clock.kernel_seconds += time.perf_counter() - start

            def launch(binary, *args, **kwargs):
                clock.launches += 1
                return original(Timed(binary), *args, **kwargs)

            self._kernel._launch = launch
        return self

    def __exit__(self, *exc):
        if self._kernel is not None:
            self._kernel._launch = self._original


def measure(fn, repeat=3):
    """(wall seconds, kernel seconds, launches) of the best round."""
    fn()
    cp.cuda.Device().synchronize()
    best = None
    for _ in range(repeat):
        with KernelClock() as clock:
            start = time.perf_counter()
            fn()
            cp.cuda.Device().synchronize()
            wall = time.perf_counter() - start
        if best is None or wall < best[0]:
            best = (wall, clock.kernel_seconds, clock.launches)
    return best


def main():
    images, matrices = sources()
    host = hasattr(cp, "_hostdevice")
    cases = [
        ("resize", lambda: resize(images, (224, 224)), lambda: [resize(i, (224, 224)) for i in images]),
        ("warp_affine", lambda: W.warp_affine(images, matrices, (224, 224)),
         lambda: [W.warp_affine(i, m, (224, 224)) for i, m in zip(images, matrices)]),
    ]  # fmt: skip
    rows = []
    for name, listed, each in cases:
        for how, fn in (("list", listed), ("64 calls", each)):
            wall, kernels, launches = measure(fn)
            per = lambda s: f"{s / COUNT * 1e6:.0f}"  # noqa: E731
            if host:
                rows.append([name, how, f"{launches / COUNT:.2f}", per(wall), per(kernels), per(wall - kernels)])
            else:
                rows.append([name, how, "", per(wall), "", ""])
    table(f"{COUNT} uint8 RGB images of different sizes (64..512 a side) -> 224 x 224: a list against one call each",
          ["call", "as", "launches/image", "us/image", "kernels us/image", "host us/image"], rows)  # fmt: skip
    print()
    batch_road()


class HostWaits:
    """On the host device: device-to-host copies and synchronisations, while active."""

    def __init__(self):
        self.count = 0

    def __enter__(self):
        from cupy import _hostdevice

        self._get, self._sync = cp.ndarray.get, _hostdevice.record_synchronize
        waits = self

        def get(*args, **kwargs):
            waits.count += 1
            return waits._get(*args, **kwargs)

        def sync(*args):
            waits.count += 1
            return waits._sync(*args)

        cp.ndarray.get, _hostdevice.record_synchronize = get, sync
        return self

    def __exit__(self, *exc):
        from cupy import _hostdevice

        cp.ndarray.get, _hostdevice.record_synchronize = self._get, self._sync


def batch_road():
    import cv2

    from zemvara.pipeline import run

    if "batch" not in inspect.signature(run).parameters or not hasattr(cp, "_hostdevice"):
        return
    from zemvara.transform.resampling import planning

    planning._tables.clear()  # as in a fresh process: the list benchmark above filled the table store
    files, side, batch = 64, 512, 32
    rng = np.random.default_rng(3)
    y, x = np.mgrid[0:side, 0:side] / side
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        inputs = os.path.join(folder, "in")
        os.makedirs(inputs)
        for i in range(files):
            planes = [x, y, 0.5 + 0.5 * np.sin(9 * x * y + i)]
            picture = np.stack(planes, axis=-1) * 230 + rng.uniform(0, 25, (side, side, 3))
            cv2.imwrite(os.path.join(inputs, f"photo{i:02d}.jpg"), np.clip(picture, 0, 255).astype(np.uint8))
        for how, size in (("file by file", None), (f"batch={batch}", batch)):
            out = os.path.join(folder, how.replace(" ", "_"))
            run([inputs], out, "resize:224x224", threads=1, progress=False, batch=size)  # warm-up: kernels built
            before = cp._hostdevice.launch_count()
            with HostWaits() as waits:
                start = time.perf_counter()
                report = run([inputs], out, "resize:224x224", threads=1, progress=False, batch=size)
                seconds = time.perf_counter() - start
            assert len(report["written"]) == files, report["failed"]
            launches = cp._hostdevice.launch_count() - before
            rows.append([how, f"{launches / files:.2f}", f"{waits.count / (files / batch):.1f}",
                         f"{files / seconds:.1f}"])  # fmt: skip
    table(f"batch road: {files} photographs {side}x{side} JPEG -> resize:224x224 -> JPEG, one host thread",
          ["run", "launches/file", f"host waits/{batch} files", "files/s (host device)"], rows)  # fmt: skip


if __name__ == "__main__":
    main()
