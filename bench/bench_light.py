"""Linear light and premultiplied alpha: what they cost next to the plain resize and warp.

A 4K RGB uint8 image to 1080p with Lanczos-3 (the kernel report's resize
cases), and a 10-degree bicubic rotation of it, each plain, with
linear=True, and for an RGBA image with alpha="premultiplied" (with and
without linear light), as wall time per call (best of a few, on whatever
device runs it: the host device times its CPU build) and as a multiple of the
plain call. linear=True on uint8 without alpha decodes in the kernels' loads
and encodes in their stores; RGBA and premultiplied alpha convert the image to
float32 around the plain call.
"""

import math

import cupy as cp
import numpy as np

from timing import best_of, parts, table
from zemvara.transform import schema, warp
from zemvara.transform.resize import resize

H, W = 2160, 3840
OUT = (1920, 1080)


def _rotation(deg):
    a = math.radians(deg)
    c, s, cx, cy = math.cos(a), math.sin(a), (W - 1) / 2, (H - 1) / 2
    return np.array([[c, -s, cx - c * cx + s * cy], [s, c, cy - s * cx - c * cy]])


def _seconds(call):
    def run():
        call()
        cp.cuda.Device().synchronize()

    run()  # compiles and keeps the tables
    return best_of(run, repeat=3)


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
        plain = {}
        for kind, image, kw in modes:
            t = _seconds(lambda: call(image, **kw))
            plain.setdefault(kind, t)
            words = ", ".join(f"{k}={v!r}" for k, v in kw.items()) or "plain"
            rows.append([name, f"{kind} uint8", words, f"{t * 1e3:.1f}", f"{t / plain[kind]:.2f}"])
    table(f"4K uint8 in linear light and with premultiplied alpha ({cp.cuda.runtime.getDeviceProperties(0)['name']})",
          ["call", "image", "mode", "ms", "x plain"], rows)  # fmt: skip


if __name__ == "__main__":
    parts(costs)
