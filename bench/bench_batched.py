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
"""

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


if __name__ == "__main__":
    main()
