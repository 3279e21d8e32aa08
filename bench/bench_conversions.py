"""Time of the element-type conversions on a 4K three-channel image, CuPy and NumPy inputs."""

import cupy
import numpy as np

from timing import best_of, table
from zemvara.utils.dtypes import to_float32, to_uint8

SHAPE = (2160, 3840, 3)


def _synchronized(fn, image):
    def call():
        fn(image)
        cupy.cuda.get_current_stream().synchronize()

    return call


def main():
    rng = np.random.default_rng(0)
    u8 = rng.integers(0, 256, SHAPE, dtype=np.uint8)
    f32 = rng.random(SHAPE, dtype=np.float32)
    megapixels = SHAPE[0] * SHAPE[1] / 1e6
    rows = []
    cases = (("to_float32 (uint8 -> float32)", to_float32, u8), ("to_uint8 (float32 -> uint8)", to_uint8, f32))
    for name, fn, host in cases:
        device = cupy.asarray(host)
        fn(device)  # builds the kernel outside the timing
        for kind, call in (("cupy", _synchronized(fn, device)), ("numpy", lambda fn=fn, host=host: fn(host))):
            seconds = best_of(call, repeat=5)
            rows.append([name, kind, f"{seconds * 1e3:.2f}", f"{megapixels / seconds:.0f}"])
    table(f"conversions, {SHAPE[0]}x{SHAPE[1]}x{SHAPE[2]} image", ["conversion", "input", "ms", "Mpx/s"], rows)


if __name__ == "__main__":
    main()
