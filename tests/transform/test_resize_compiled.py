"""The compiled sm_90 code of the resize passes over packed rows and of the fused resize, run by the
kernel report's SASS executor on real pixels.

Host builds of these read and write along rows (_resize_host.cuh): one thread of a block makes
whole runs of a row, where the GPU build gives each thread a few values down a column (and the
fused resize keeps its barrier). Here the GPU build runs from the SASS nvcc makes and
must give what the host device gives. Needs nvcc and nvdisasm in .venv-tools (`make
kernel-report` installs them); skips without them.
"""

import sys
from pathlib import Path

import cupy as cp
import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import kernel_report  # noqa: E402
import sass_paths  # noqa: E402
from zemvara.transform import schema  # noqa: E402
from zemvara.transform.resampling import _sources  # noqa: E402
from zemvara.transform.resize import resize  # noqa: E402

pytestmark = pytest.mark.skipif(not kernel_report.have_tools(), reason="no nvcc and nvdisasm in .venv-tools")

# Enlargements along y run the y pass last, straight into the output.
CASES = [(np.float32, schema.INTER_LANCZOS3), (np.uint8, schema.INTER_CUBIC), (np.uint16, schema.INTER_LANCZOS3)]


def _prepared(src, dsize, interpolation, tmp, which):
    """(launch, kernel, memory, argument values, constant bank) of the launch a resize makes whose
    expression contains `which`, not run."""
    (launch,) = kernel_report.capture(lambda: resize(src, dsize, interpolation), lambda e: which in e)
    kernel = kernel_report.compile_kernels(_sources.report_code(), [launch.expression], tmp)[0][launch.expression]
    memory, values, bases = sass_paths.Memory(), [], {}
    for arg in launch.args:
        if isinstance(arg, cp.ndarray):
            arg = arg.data
        if isinstance(arg, cp.cuda.MemoryPointer):
            if arg.mem.ptr not in bases:
                contents = kernel_report._contents(arg, arg.mem.size)
                bases[arg.mem.ptr] = memory.add("array", arg.mem.size, contents)
            values.append(bases[arg.mem.ptr] + arg.ptr - arg.mem.ptr)
        else:
            values.append(int(arg) if isinstance(arg, (bool, np.bool_)) else arg.item() if isinstance(arg, np.generic) else arg)
    bank = sass_paths.geometry(sass_paths.pack_params(kernel["types"], values), launch.grid, launch.block)
    return launch, kernel, memory, values, bank


def _emulated_pass(src, dsize, interpolation, tmp, which):
    """(launch, memory, argument values) of the pass a resize makes whose expression contains
    `which`, every warp of it run through the executor (the host device does not run it)."""
    launch, kernel, memory, values, bank = _prepared(src, dsize, interpolation, tmp, which)
    warps = -(-launch.block[0] * launch.block[1] * launch.block[2] // 32)
    for bx in range(launch.grid[0]):
        for by in range(launch.grid[1]):
            for warp in range(warps):
                sass_paths.warp_counts(kernel["program"], memory, bank, launch.grid, launch.block, (bx, by, 0), warp)
    return launch, memory, values


def _emulated_y_pass(src, dsize, interpolation, tmp):
    return _emulated_pass(src, dsize, interpolation, tmp, "ROWS_Y")[1:]


def _written(memory, base, size):
    """`size` bytes from `base` with every store the emulated launch made (kept by address and width)."""
    out = bytearray(memory.read(base, size))
    for address, data in memory.written.items():
        if base <= address < base + size:
            out[address - base: address - base + len(data)] = data
    return bytes(out)


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


def _written_mask(memory, base, size, itemsize):
    """Per element of `size` bytes from `base`: whether the emulated launch stored to all its bytes."""
    mask = np.zeros(size, bool)
    for address, data in memory.written.items():
        if base <= address < base + size:
            mask[address - base: address - base + len(data)] = True
    return mask.reshape(-1, itemsize).all(axis=1)


# Reductions by less than four along both axes run the fused resize; whole tiles and the
# partial tiles at the right and bottom edges, float and integer sources.
@pytest.mark.parametrize("dtype, interpolation", [(np.float32, schema.INTER_LANCZOS3), (np.uint8, schema.INTER_AREA)])
def test_the_gpu_build_of_the_fused_resize_gives_the_host_devices_results(dtype, interpolation, tmp_path, monkeypatch):
    import zemvara.transform.resize as resize_module

    monkeypatch.setattr(resize_module, "_tables", {})  # room to keep them (the fused resize reads kept tables only)
    monkeypatch.setattr(resize_module, "_plans", {})
    top = 255 if dtype == np.uint8 else 1
    src = cp.asarray((np.random.default_rng(6).random((500, 500, 3)) * top).astype(dtype))
    want = cp.asnumpy(resize(src, (250, 250), interpolation))
    launch, kernel, memory, values, bank = _prepared(src, (250, 250), interpolation, tmp_path, "resize_fused")
    assert launch.expression.endswith("true, true>")  # along y first, in vector loads
    gx, gy, _ = launch.grid
    for block in ((0, 0, 0), (gx - 1, gy - 1, 0)):
        sass_paths.block_counts(kernel["program"], memory, bank, launch.grid, launch.block, block, kernel["shared_end"])
    got = np.frombuffer(_written(memory, values[1], want.nbytes), dtype)
    done = _written_mask(memory, values[1], want.nbytes, want.itemsize)
    tile_h = values[11]  # the tile height argument: two tiles of 32 pixels by tile_h rows, one cut at both edges
    assert done.sum() == 3 * (32 * tile_h + (250 - 32 * (gx - 1)) * (250 - tile_h * (gy - 1)))
    atol = 2e-6 * np.abs(want).max() if dtype == np.float32 else 1
    np.testing.assert_allclose(got[done].astype(np.float64), want.reshape(-1)[done].astype(np.float64), rtol=0, atol=atol)
