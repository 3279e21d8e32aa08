"""RawModule: template kernels by name expression, plain kernels by name, CuPy's errors."""

import numpy as np
import pytest

import cupy as cp
from cupy import _nvrtc

SOURCE = r'''
namespace demo {
template <typename T, int N>
__global__ void fill(T* out, T value) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < N) out[i] = value + (T)i;
}
}
extern "C" __global__ void plain(float* out) { out[threadIdx.x] = 7.0f; }
'''
NAMES = ('demo::fill<float, 3>', 'demo::fill<int, 2>')


@pytest.fixture(scope='module')
def module():
    return cp.RawModule(code=SOURCE, options=('--std=c++14',),
                        name_expressions=NAMES)


@pytest.mark.parametrize('name, dtype, value, want', [
    (NAMES[0], np.float32, np.float32(0.5), [0.5, 1.5, 2.5, 0]),
    (NAMES[1], np.int32, np.int32(5), [5, 6, 0, 0]),
])
def test_template_instances_run(module, name, dtype, value, want):
    kernel = module.get_function(name)
    out = cp.zeros(4, dtype)
    kernel((1,), (4,), (out, value))
    np.testing.assert_array_equal(out.get(), want)
    # As in CuPy, the kernel's name is the lowered (mangled) name.
    assert kernel.name.startswith('_Z') and 'fill' in kernel.name


def test_plain_kernel_by_its_name(module):
    out = cp.zeros(2, cp.float32)
    module.get_function('plain')((1,), (2,), (out,))
    np.testing.assert_array_equal(out.get(), [7, 7])


def test_unknown_name_is_not_found(module):
    with pytest.raises(cp.cuda.driver.CUDADriverError, match='NOT_FOUND'):
        module.get_function('demo::fill<double, 3>')


@pytest.mark.parametrize('kwargs, error', [
    (dict(), TypeError),
    (dict(code=SOURCE, path='k.cubin'), TypeError),
    (dict(path='k.cubin', name_expressions=NAMES), ValueError),
])
def test_constructor_refusals(kwargs, error):
    with pytest.raises(error):
        cp.RawModule(**kwargs)


@pytest.mark.skipif(not _nvrtc.available(), reason='NVRTC not found')
def test_source_rejected_by_nvrtc_fails_at_first_use():
    module = cp.RawModule(code=SOURCE + '\n#include <vector>\n',
                          name_expressions=NAMES)
    with pytest.raises(cp.cuda.compiler.CompileException):
        module.get_function(NAMES[0])


@pytest.mark.parametrize('line, host', [
    ('#pragma unroll', '#pragma GCC unroll 64'),
    ('    #pragma unroll 1', '    #pragma GCC unroll 1'),
    ('#  pragma  unroll (4) ', '#pragma GCC unroll 4'),
    ('#pragma unroller', '#pragma unroller'),
])
def test_cuda_unroll_pragmas_reach_the_host_compiler(line, host):
    from cupy import _kernel
    assert _kernel._host_source('int a;\n{}\nint b;'.format(line)) == 'int a;\n{}\nint b;'.format(host)
