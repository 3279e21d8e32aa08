"""The affine warps' compiled sm_90 code, run by the kernel report's SASS executor on real pixels.

Parts of the stretch-1 path exist only in the GPU build (vector and byte-permute
instructions); here they run from the SASS nvcc makes and must give what the
host device gives. Needs nvcc and nvdisasm in .venv-tools (`make
kernel-report` installs them); skips without them.
"""

import cupy as cp
import numpy as np
import pytest

import resampling_reference as ref
from kernelcheck import compiled, sass_paths
from zemvara.transform.resampling import _sources

pytestmark = pytest.mark.skipif(not compiled.have_tools(), reason="no nvcc and nvdisasm in .venv-tools")

# Exact source positions (a translation by quarters and eighths), so that the two builds
# differ only by their rounding of the weights and sums: ulps, not a slope times a position.
SHIFT = np.array([[1, 0, 0.375], [0, 1, 0.625]], np.float32)
CASES = [("bicubic", np.uint8), ("lanczos3", np.uint8), ("bicubic", np.uint16), ("lanczos3", np.float32), ("lanczos4", np.float32)]


@pytest.fixture(scope="module")
def launches(tmp_path_factory):
    """name, dtype -> (launch, kernel, the host device's output)."""
    rng = np.random.default_rng(3)
    out = {}
    for name, dtype in CASES:
        kernel, extra = ref.KERNELS[name]
        src = cp.asarray((rng.random((20, 24, 3)) * (65535 if dtype == np.uint16 else 255)).astype(dtype))
        dst = cp.full((16, 16, 3), 7.0, cp.float32)
        args = (src, dst, cp.asarray(SHIFT.ravel()), 20, 24, 16, 16) + extra
        (launch,) = compiled.capture(lambda: kernel((1, 1), (16, 16, 1), args))
        kernel((1, 1), (16, 16, 1), args)
        out[name, dtype] = [launch, None, cp.asnumpy(dst)]
    expressions = list(dict.fromkeys(v[0].expression for v in out.values()))
    kernels = compiled.compile_kernels(_sources.report_code(), expressions, tmp_path_factory.mktemp("affine"))[0]
    for v in out.values():
        v[1] = kernels[v[0].expression]
    return out


@pytest.mark.parametrize("name, dtype", CASES)
def test_the_gpu_build_gives_the_host_devices_results(launches, name, dtype):
    launch, kernel, want = launches[name, dtype]
    memory, values = compiled.load(launch.args)
    bank = sass_paths.geometry(sass_paths.pack_params(kernel["types"], values), launch.grid, launch.block)
    for warp in range(8):
        sass_paths.warp_counts(kernel["program"], memory, bank, launch.grid, launch.block, (0, 0, 0), warp)
    got = np.frombuffer(b"".join(memory.read(values[1] + 4 * i, 4) for i in range(want.size)), np.float32)
    np.testing.assert_allclose(got.reshape(want.shape), want, rtol=0, atol=2e-6 * np.abs(want).max())


# Through the module's own call: a rotation with a reduction, so that the general path (stretched
# windows, the area filter's widening, grey replicated into three channels, alpha ignored) runs.
MODULE_CASES = [("INTER_LINEAR", np.uint8, 3), ("INTER_AREA", np.uint8, 1), ("INTER_CUBIC", np.uint16, 4),
                ("INTER_LANCZOS2", np.float32, 3), ("INTER_MITCHELL", np.float16, 1), ("INTER_NEAREST", np.uint8, 4)]


@pytest.mark.parametrize("flags, dtype, channels", MODULE_CASES)
def test_affine_transform_on_the_gpu_build_gives_the_host_devices_results(flags, dtype, channels, tmp_path):
    from zemvara.transform import schema
    from zemvara.transform.affine import affine_transform

    top = {np.uint8: 255, np.uint16: 65535}.get(dtype, 1)
    rng = np.random.default_rng(5)
    src = cp.asarray(np.squeeze((rng.random((30, 36, channels)) * top).astype(dtype), axis=2 if channels == 1 else ()))
    a = np.radians(20.0)
    m = np.array([[0.7 * np.cos(a), -0.7 * np.sin(a), 4.0], [0.7 * np.sin(a), 0.7 * np.cos(a), -5.0]])

    def call():
        return affine_transform(src, m, (18, 24), getattr(schema, flags))  # (height, width)

    want = cp.asnumpy(call())
    result = []
    launch, kernel, memory, values, bank = compiled.prepared(lambda: result.append(call()), "affine_warp", tmp_path)
    compiled.run_blocks(launch, kernel, memory, bank)
    got = np.frombuffer(compiled.written(memory, values[1], want.nbytes), np.float32).reshape(want.shape)
    assert result[0].shape == want.shape and np.abs(want).max() > 0
    # The GPU build fuses multiplies and adds in positions, weights and sums: a few ulps of the
    # range apart (float16 sources: of float16's).
    assert (want == 0).all(axis=2).any() and np.count_nonzero(want) > want.size // 2  # outside and inside
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5 * top * (2 if dtype == np.float16 else 1))
