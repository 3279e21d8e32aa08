"""The compiled sm_90 code of the resize passes over packed rows and of the fused resize, run by the
kernel report's SASS executor on real pixels.

Host builds of these read and write along rows (_resize_host.cuh): one thread of a block makes
whole runs of a row, where the GPU build gives each thread a few values down a column (and the
fused resize keeps its barrier). Here the GPU build runs from the SASS nvcc makes and
must give what the host device gives. Needs nvcc and nvdisasm in .venv-tools (`make
kernel-report` installs them); skips without them.
"""

import cupy as cp
import numpy as np
import pytest

from kernelcheck import compiled
from kernelcheck.compiled import written as _written
from kernelcheck.compiled import written_mask as _written_mask
from zemvara.transform import schema
from zemvara.transform.resampling import _sources, planning
from zemvara.transform.resize import resize

pytestmark = pytest.mark.skipif(not compiled.have_tools(), reason="no nvcc and nvdisasm in .venv-tools")

# Enlargements along y run the y pass last, straight into the output.
CASES = [(np.float32, schema.INTER_LANCZOS3), (np.uint8, schema.INTER_CUBIC), (np.uint16, schema.INTER_LANCZOS3)]


def _prepared(src, dsize, interpolation, tmp, which, linear=False):
    return compiled.prepared(lambda: resize(src, dsize, interpolation, linear=linear), which, tmp)


def _emulated_pass(src, dsize, interpolation, tmp, which):
    """(launch, memory, argument values) of the pass a resize makes whose expression contains
    `which`, every warp of it run through the executor (the host device does not run it)."""
    launch, kernel, memory, values, bank = _prepared(src, dsize, interpolation, tmp, which)
    compiled.run_blocks(launch, kernel, memory, bank)
    return launch, memory, values


def _emulated_y_pass(src, dsize, interpolation, tmp):
    return _emulated_pass(src, dsize, interpolation, tmp, "ROWS_Y")[1:]


@pytest.mark.parametrize("dtype, interpolation", CASES)
def test_the_gpu_build_of_the_y_pass_gives_the_host_devices_results(dtype, interpolation, tmp_path):
    top = 255 if dtype == np.uint8 else 65535 if dtype == np.uint16 else 1
    src = cp.asarray((np.random.default_rng(5).random((40, 32, 3)) * top).astype(dtype))
    want = cp.asnumpy(resize(src, (32, 80), interpolation))
    memory, values = _emulated_y_pass(src, (32, 80), interpolation, tmp_path)
    got = np.frombuffer(_written(memory, values[1], want.nbytes), dtype).reshape(want.shape)
    # The GPU build fuses multiplies and adds: float results differ by rounding, integer
    # ones by at most one level where a value sits near a half.
    atol = 2e-6 * np.abs(want).max() if dtype == np.float32 else 1
    np.testing.assert_allclose(got.astype(np.float64), want.astype(np.float64), rtol=0, atol=atol)


# Enlargements by 2 along both axes run the pass along x first, a thread a value of packed pixels.
@pytest.mark.parametrize("dtype, interpolation", [(np.uint8, schema.INTER_CUBIC), (np.float32, schema.INTER_LANCZOS3)])
def test_the_gpu_build_of_the_x_pass_over_values_gives_the_host_devices_results(dtype, interpolation, tmp_path):
    top = 255 if dtype == np.uint8 else 1
    src = cp.asarray((np.random.default_rng(7).random((40, 32, 3)) * top).astype(dtype))
    launch, memory, values = _emulated_pass(src, (64, 80), interpolation, tmp_path, "ALONG_VALUES_X")
    middle = launch.args[1]
    _sources.RESIZE.function(launch.expression)(launch.grid, launch.block, launch.args)  # the host device's run
    want = cp.asnumpy(middle)
    got = np.frombuffer(_written(memory, values[1], want.nbytes), np.float32).reshape(want.shape)
    np.testing.assert_allclose(got, want, rtol=0, atol=2e-6 * np.abs(want).max())


# Reductions by less than four along both axes run the fused resize; whole tiles and the
# partial tiles at the right and bottom edges, float and integer sources (uint8 in linear light too:
# its source rows decoded once into shared memory).
@pytest.mark.parametrize("dtype, interpolation, linear", [(np.float32, schema.INTER_LANCZOS3, False),
                                                          (np.uint8, schema.INTER_AREA, False),
                                                          (np.uint8, schema.INTER_LANCZOS3, True)])  # fmt: skip
def test_the_gpu_build_of_the_fused_resize_gives_the_host_devices_results(dtype, interpolation, linear, tmp_path,
                                                                          monkeypatch):  # fmt: skip
    import zemvara.transform.resize as resize_module

    monkeypatch.setattr(planning, "_tables", {})  # room to keep them (the fused resize reads kept tables only)
    monkeypatch.setattr(resize_module, "_plans", {})
    top = 255 if dtype == np.uint8 else 1
    src = cp.asarray((np.random.default_rng(6).random((500, 500, 3)) * top).astype(dtype))
    want = cp.asnumpy(resize(src, (250, 250), interpolation, linear=linear))
    launch, kernel, memory, values, bank = _prepared(src, (250, 250), interpolation, tmp_path, "resize_fused", linear)
    assert launch.expression.endswith("true, true>")  # along y first, in vector loads
    gx, gy, _ = launch.grid
    compiled.run_blocks(launch, kernel, memory, bank, [(0, 0, 0), (gx - 1, gy - 1, 0)])
    got = np.frombuffer(_written(memory, values[1], want.nbytes), dtype)
    done = _written_mask(memory, values[1], want.nbytes, want.itemsize)
    tile_h = values[11]  # the tile height argument: two tiles of 32 pixels by tile_h rows, one cut at both edges
    assert done.sum() == 3 * (32 * tile_h + (250 - 32 * (gx - 1)) * (250 - tile_h * (gy - 1)))
    atol = 2e-6 * np.abs(want).max() if dtype == np.float32 else 1
    np.testing.assert_allclose(got[done].astype(np.float64), want.reshape(-1)[done].astype(np.float64), rtol=0, atol=atol)
