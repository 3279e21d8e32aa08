"""zemvara.transform.warp: a batch in one launch against one call per image, and 1080p warps.

A batch of 16 small images (96 x 128 x 3 uint8), each with its own matrix,
warped into 80 x 112 by one `warp_affine` call (one launch, blockIdx.z along
the batch) against 16 calls, for bilinear and Lanczos-3 with a reflecting
border. Times are per batch, best of several rounds, with the device
synchronised after each round. On the host device both sides run on the CPU
and the ratio shows what the per-call work (argument checks, matrix inversion,
the upload of the matrices, the launch) costs against the sampling itself.

On a GPU (ZEMVARA_DEVICE=gpu) also a 1080p uint8 rotation and a perspective
reduction of a 4K image to 1080p, in megapixels of output per second.
"""

import cupy as cp
import numpy as np

from timing import best_of, parts, table
from zemvara.transform import warp as W


def matrices(count):
    ms = []
    for k in range(count):
        angle, scale = 0.05 * k, 0.8 + 0.02 * k
        c, s = np.cos(angle) * scale, np.sin(angle) * scale
        ms.append([[c, -s, 3.0 + k], [s, c, 2.0]])
    return np.array(ms)


def timed(fn, repeat):
    def run():
        fn()
        cp.cuda.Device().synchronize()

    return best_of(run, repeat=repeat)


def batch_against_calls():
    rng = np.random.default_rng(0)
    batch = cp.asarray(rng.integers(0, 256, (16, 96, 128, 3), dtype=np.uint8))
    ms = matrices(16)
    rows = []
    for name, flag in [("bilinear", W.INTER_LINEAR), ("lanczos3", W.INTER_LANCZOS3)]:
        one = lambda: W.warp_affine(batch, ms, (112, 80), flag, W.BORDER_REFLECT)  # noqa: E731
        each = lambda: [W.warp_affine(batch[k], ms[k], (112, 80), flag, W.BORDER_REFLECT) for k in range(16)]  # noqa: E731
        one(), each()  # compile
        t_one, t_each = timed(one, 5), timed(each, 5)
        rows.append([name, f"{t_one * 1e3:.2f}", f"{t_each * 1e3:.2f}", f"{t_each / t_one:.2f}x"])
    table("warp_affine: 16 images 96x128x3 uint8 -> 80x112, one launch vs 16 calls (ms per batch)",
          ["filter", "1 launch", "16 calls", "16 calls / 1 launch"], rows)  # fmt: skip


def gpu_throughput():
    rng = np.random.default_rng(1)
    hd = cp.asarray(rng.integers(0, 256, (1080, 1920, 3), dtype=np.uint8))
    uhd = cp.asarray(rng.integers(0, 256, (2160, 3840, 3), dtype=np.uint8))
    rotate = np.array([[0.996, -0.087, 40.0], [0.087, 0.996, -60.0]])
    tilt = np.array([[0.5, 0.05, 0.0], [0.0, 0.55, 0.0], [0.0, 0.00008, 1.0]])
    rows = []
    for name, flag in [("bilinear", W.INTER_LINEAR), ("bicubic", W.INTER_CUBIC), ("lanczos4", W.INTER_LANCZOS4),
                       ("area", W.INTER_AREA)]:  # fmt: skip
        t_rot = timed(lambda: W.warp_affine(hd, rotate, (1920, 1080), flag), 10)
        t_per = timed(lambda: W.warp_perspective(uhd, tilt, (1920, 1080), flag), 10)
        mp = 1920 * 1080 / 1e6
        rows.append([name, f"{mp / t_rot:.0f}", f"{mp / t_per:.0f}"])
    table("warps on the GPU, uint8, megapixels of output per second",
          ["filter", "1080p rotation", "4K -> 1080p perspective"], rows)


def main():
    parts(batch_against_calls, gpu=[gpu_throughput])


if __name__ == "__main__":
    main()
