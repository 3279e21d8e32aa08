"""Sources that a GPU compiler would reject fail on the host device too."""

import numpy as np
import pytest

import cupy as cp
from cupy import _nvrtc

pytestmark = pytest.mark.skipif(not _nvrtc.available(),
                                reason='NVRTC not found')

# g++ builds both of these; a GPU compile with CuPy's options does not.
HOST_ONLY = {
    'standard library': r'''
#include <vector>
extern "C" __global__ void k(float* a) { std::vector<float> v(1); a[0] = v[0]; }
''',
    'host function called from a kernel': r'''
static float twice(float x) { return 2 * x; }
extern "C" __global__ void k(float* a) { a[0] = twice(a[0]); }
''',
}
CXX17 = r'''
extern "C" __global__ void k(float* a) {
    if constexpr (sizeof(float) == 4) a[0] = 1.0f;
}
'''


@pytest.mark.parametrize('source', HOST_ONLY.values(), ids=HOST_ONLY.keys())
def test_rejected_with_compiler_log(source):
    k = cp.RawKernel(source, 'k')
    with pytest.raises(cp.cuda.compiler.CompileException) as err:
        k((1,), (1,), (cp.zeros(1, cp.float32),))
    assert 'error' in str(err.value) and err.value.backend == 'nvrtc'


def test_cupy_default_dialect_is_cxx17_and_a_named_one_replaces_it():
    a = cp.zeros(1, cp.float32)
    cp.RawKernel(CXX17, 'k')((1,), (1,), (a,))
    assert a[0] == 1
    k = cp.RawKernel(CXX17, 'k', options=('--std=c++14',))
    with pytest.raises(cp.cuda.compiler.CompileException):
        k((1,), (1,), (a,))


def test_kernel_without_c_linkage_is_not_found():
    # The GPU module only knows the mangled name.
    k = cp.RawKernel('__global__ void k(float* a) { a[0] = 1; }', 'k')
    with pytest.raises(cp.cuda.driver.CUDADriverError, match='NOT_FOUND'):
        k((1,), (1,), (cp.zeros(1, cp.float32),))


def test_accepted_source_runs():
    k = cp.RawKernel(r'''
extern "C" __global__ void k(float* a, const float x) {
    a[threadIdx.x] = fminf(sqrtf(x), 2.0f) + __saturatef(x);
}''', 'k')
    a = cp.zeros(2, cp.float32)
    k((1,), (2,), (a, np.float32(2.25)))
    np.testing.assert_array_equal(a.get(), [2.5, 2.5])


def test_failure_that_is_not_a_compile_error_is_raised_not_cached(tmp_path,
                                                                  monkeypatch):
    # An option NVRTC does not know says nothing about the source.
    monkeypatch.setenv('HOSTDEVICE_CACHE_DIR', str(tmp_path))
    k = cp.RawKernel(CXX17, 'k', options=('--no-such-option',))
    with pytest.raises(cp.cuda.compiler.CompileException):
        k((1,), (1,), (cp.zeros(1, cp.float32),))
    assert not list(tmp_path.glob('*.nvrtc.json'))
