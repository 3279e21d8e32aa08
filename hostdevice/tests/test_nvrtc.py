"""Sources that a GPU compiler would reject fail on the host device too."""

import numpy as np
import pytest

import cupy as cp
from cupy import _nvrtc

pytestmark = pytest.mark.skipif(not _nvrtc.available(),
                                reason='NVRTC not found')

# g++ builds both of these; a GPU compile does not.
HOST_ONLY = {
    'standard library': r'''
#include <vector>
extern "C" __global__ void k(float* a) { std::vector<float> v(1); a[0] = v[0]; }
''',
    'C++17 under the default dialect': r'''
extern "C" __global__ void k(float* a) {
    if constexpr (sizeof(float) == 4) a[0] = 1.0f;
}
''',
}


@pytest.mark.parametrize('source', HOST_ONLY.values(), ids=HOST_ONLY.keys())
def test_rejected_with_compiler_log(source):
    k = cp.RawKernel(source, 'k')
    with pytest.raises(cp.cuda.compiler.CompileException) as err:
        k((1,), (1,), (cp.zeros(1, cp.float32),))
    assert 'error' in str(err.value) and err.value.backend == 'nvrtc'


def test_dialect_option_reaches_nvrtc():
    k = cp.RawKernel(HOST_ONLY['C++17 under the default dialect'], 'k',
                     options=('--std=c++17',))
    a = cp.zeros(1, cp.float32)
    k((1,), (1,), (a,))
    assert a[0] == 1


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
