"""Linear light and premultiplied alpha: what they cost next to the plain resize and warp.

A 4K RGB uint8 image to 1080p with Lanczos-3 (the kernel report's resize
cases), and a 10-degree bicubic rotation of it, each plain, with
linear=True, and for an RGBA image with alpha="premultiplied" (with and
without linear light), per call and as a multiple of the plain call: on a GPU
its time between events, on the host device the CPU time of the calling
thread, which then runs the kernels alone (the modes taken in turn, the best
of a few rounds each). linear=True on uint8 without alpha decodes in the
kernels' loads and encodes in their stores; RGBA and premultiplied alpha
convert the image to float32 around the plain call.
"""

import math
import os
import time

import cupy as cp
import numpy as np

from timing import gpu_seconds, parts, table
from zemvara.transform import schema, warp
from zemvara.transform.resize import resize

H, W = 2160, 3840
OUT = (1920, 1080)


def _rotation(deg):
    a = math.radians(deg)
    c, s, cx, cy = math.cos(a), math.sin(a), (W - 1) / 2, (H - 1) / 2
    return np.array([[c, -s, cx - c * cx + s * cy], [s, c, cy - s * cx - c * cy]])


def _best(calls, rounds=3):
    """The best time of each call, the calls taken in turn each round (after one warm-up each)."""
    if os.environ.get("ZEMVARA_DEVICE") == "gpu":
        return [gpu_seconds(call, repeat=10) for call in calls]
    os.environ["HOSTDEVICE_THREADS"] = "1"  # the host device reads it at every launch
    best = [float("inf")] * len(calls)
    for call in calls:
        call()
    for _ in range(rounds):
        for i, call in enumerate(calls):
            start = time.thread_time()
            call()
            cp.cuda.Device().synchronize()
            best[i] = min(best[i], time.thread_time() - start)
    return best


def costs():
    rng = np.random.default_rng(0)
    rgb = cp.asarray(rng.integers(0, 256, (H, W, 3), dtype=np.uint8))
    rgba = cp.asarray(rng.integers(0, 256, (H, W, 4), dtype=np.uint8))
    m = _rotation(10.0)
    calls = {
        "resize lanczos3": lambda image, **kw: resize(image, OUT, schema.INTER_LANCZOS3, **kw),
        "warp_affine bicubic": lambda image, **kw: warp.warp_affine(image, m, (W, H), schema.INTER_CUBIC, **kw),
    }
    modes = [("RGB", rgb, {}), ("RGB", rgb, {"linear": True}), ("RGBA", rgba, {}), ("RGBA", rgba, {"linear": True}),
             ("RGBA", rgba, {"alpha": "premultiplied"}), ("RGBA", rgba, {"alpha": "premultiplied", "linear": True})]  # fmt: skip
    rows = []
    for name, call in calls.items():
        times = _best([lambda image=image, kw=kw: call(image, **kw) for _, image, kw in modes])
        plain = {}
        for (kind, _, kw), t in zip(modes, times):
            plain.setdefault(kind, t)
            words = ", ".join(f"{k}={v!r}" for k, v in kw.items()) or "plain"
            rows.append([name, f"{kind} uint8", words, f"{t * 1e3:.1f}", f"{t / plain[kind]:.2f}"])
    table(f"4K uint8 in linear light and with premultiplied alpha ({cp.cuda.runtime.getDeviceProperties(0)['name']})",
          ["call", "image", "mode", "ms", "x plain"], rows)  # fmt: skip


if __name__ == "__main__":
    parts(costs)
