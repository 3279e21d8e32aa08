"""The warp module's compiled sm_90 code, run by the kernel report's SASS executor on real pixels.

The GPU build of the warp kernels has code of its own: wide multiply-adds for addresses, the
register pins of the 3-channel uint8 column loop, saturating conversions on store, and the
shared-memory tiles with their barrier. Here a whole launch runs from the SASS nvcc makes and
must give what the host device gives. Needs nvcc and nvdisasm in .venv-tools (`make
kernel-report` installs them); skips without them.
"""

import cupy as cp
import numpy as np
import pytest

from kernelcheck import compiled
from zemvara.transform import schema, warp

pytestmark = pytest.mark.skipif(not compiled.have_tools(), reason="no nvcc and nvdisasm in .venv-tools")


def _rotation(h, w, angle=10.0, perspective=False):
    a = np.radians(angle)
    c, s = np.cos(a), np.sin(a)
    cx, cy = (w - 1) / 2, (h - 1) / 2
    m = np.array([[c, -s, cx - c * cx + s * cy], [s, c, cy - s * cx - c * cy], [0, 0, 1]])
    if perspective:
        m[2, :2] = 2e-3, -1e-3
    return m if perspective else m[:2]


# (element type, channels, filter, border mode, source width, perspective). Source rows of 44
# uint8 pixels are a whole number of words, rows of 45 are not: the column loop has a variant
# for each. Lanczos-3 on 3-channel float32 runs the shared-memory tiles.
CASES = [
    (np.uint8, 3, schema.INTER_LINEAR, warp.BORDER_CONSTANT, 44, False),
    (np.uint8, 3, schema.INTER_CUBIC, warp.BORDER_REFLECT, 45, False),
    (np.uint8, 3, schema.INTER_MITCHELL, warp.BORDER_TRANSPARENT, 44, False),
    (np.uint16, 3, schema.INTER_CUBIC, warp.BORDER_REPLICATE, 44, False),
    (np.float32, 3, schema.INTER_LANCZOS3, warp.BORDER_CONSTANT, 44, False),
    (np.float32, 4, schema.INTER_LINEAR, warp.BORDER_WRAP, 44, False),
    (np.float16, 1, schema.INTER_CUBIC, warp.BORDER_REFLECT, 44, False),
    (np.uint8, 3, schema.INTER_CUBIC, warp.BORDER_REFLECT_101, 44, True),
]


@pytest.mark.parametrize("dtype, channels, flags, border, width, perspective", CASES)
def test_the_gpu_build_of_a_warp_gives_the_host_devices_results(dtype, channels, flags, border, width, perspective, tmp_path):
    top = {np.uint8: 255, np.uint16: 65535}.get(dtype, 1)
    rng = np.random.default_rng(11)
    src = cp.asarray((rng.random((36, width, channels)) * top).astype(dtype))
    start = cp.asarray((rng.random((36, width, channels)) * top).astype(dtype))
    function = warp.warp_perspective if perspective else warp.warp_affine
    m = _rotation(36, width, perspective=perspective)

    def call(dst):
        return function(src, m, (width, 36), flags, border, 0.25 * top, dst)

    want = cp.asnumpy(call(start.copy()))
    dst = start.copy()
    launch, kernel, memory, values, bank = compiled.prepared(lambda: call(dst), "warp_image", tmp_path)
    compiled.run_blocks(launch, kernel, memory, bank)
    got = np.frombuffer(compiled.written(memory, values[1], want.nbytes), dtype).reshape(want.shape)
    # The GPU build fuses multiplies and adds in positions, weights and sums: float results
    # differ by rounding (float16 by one step of its own), integer ones by at most one level
    # where a value sits near a half.
    atol = {np.float32: 1e-4, np.float16: 1e-3}.get(dtype, 1)
    np.testing.assert_allclose(got.astype(np.float64), want.astype(np.float64), rtol=0, atol=atol)
    if dtype not in (np.float32, np.float16):
        assert np.mean(got != want) < 0.05
