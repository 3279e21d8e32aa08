"""Kernel arguments reach the kernel as CuPy and the CUDA driver pass them."""

import struct

import numpy as np
import pytest

import cupy as cp
from cupy import _kernel

# Stores each scalar parameter as the kernel sees it.
PROBE = r'''
extern "C" __global__ void probe(const int i, const float f, const double d,
                                 const bool b, long long* out_i,
                                 float* out_f, double* out_d) {
    out_i[0] = i;
    out_i[1] = b ? 1 : 0;
    out_f[0] = f;
    out_d[0] = d;
}
'''


@pytest.fixture(scope='module')
def probe():
    return cp.RawKernel(PROBE, 'probe')


def run_probe(kernel, i, f, d, b):
    out_i = cp.zeros(2, cp.int64)
    out_f = cp.zeros(1, cp.float32)
    out_d = cp.zeros(1, cp.float64)
    kernel((1,), (1,), (i, f, d, b, out_i, out_f, out_d))
    return out_i.get(), out_f.get()[0], out_d.get()[0]


class TestMatchingTypes:
    def test_numpy_scalars_pass_their_own_bytes(self, probe):
        ints, f, d = run_probe(probe, np.int32(-7), np.float32(1.5),
                               np.float64(2.25), np.bool_(True))
        assert list(ints) == [-7, 1] and f == 1.5 and d == 2.25

    def test_python_int_and_float_for_wide_parameters(self, probe):
        # int -> long long (low 4 bytes read as int), float -> double.
        ints, _, d = run_probe(probe, 5, np.float32(0), 0.125, True)
        assert list(ints) == [5, 1] and d == 0.125

    def test_numpy_array_of_size_one_is_passed_by_value(self, probe):
        ints, f, _ = run_probe(probe, np.array([9], np.int32),
                               np.array(3.0, np.float32), 0.0, False)
        assert ints[0] == 9 and f == 3.0


class TestMismatchedTypes:
    def test_python_float_for_float_parameter_reads_half_a_double(
            self, probe):
        _, f, _ = run_probe(probe, 0, 1.5, 0.0, False)
        low = struct.unpack('<f', struct.pack('<d', 1.5)[:4])[0]
        assert f == low and f != 1.5

    def test_float32_for_double_parameter_starts_with_its_bytes(self, probe):
        _, _, d = run_probe(probe, 0, np.float32(0), np.float32(1.0), False)
        assert struct.pack('<d', d)[:4] == np.float32(1.0).tobytes()

    def test_int64_for_int_parameter_reads_low_half(self, probe):
        ints, _, _ = run_probe(probe, 2 ** 32 + 3, np.float32(0), 0.0, False)
        assert ints[0] == 3

    @pytest.mark.parametrize('value, expect', [
        (True, b'\x01'), (False, b'\x00'), (-1, np.int64(-1).tobytes()),
        (2 ** 63, np.uint64(2 ** 63).tobytes()),
        (2 ** 64 - 1, np.uint64(2 ** 64 - 1).tobytes()),
        (0.5, np.float64(0.5).tobytes()), (np.float16(2), b'\x00\x40')])
    def test_scalar_bytes_follow_cupy_dtypes(self, value, expect):
        # A Python bool is a 1-byte bool, an int from 2**63 on a uint64.
        assert _kernel._arg_bytes(value) == expect

    @pytest.mark.parametrize('value', [2 ** 64, -2 ** 63 - 1])
    def test_int_outside_64_bits(self, value):
        with pytest.raises(OverflowError):
            _kernel._arg_bytes(value)

    def test_unknown_argument_type(self, probe):
        with pytest.raises(TypeError, match='Unsupported type'):
            run_probe(probe, 'seven', np.float32(0), 0.0, False)

    def test_foreign_device_array_is_refused(self, probe):
        # CuPy passes only its own arrays as pointers; wrap others first.
        class Foreign:
            def __init__(self, arr):
                self.__cuda_array_interface__ = arr.__cuda_array_interface__

        out = cp.zeros(2, cp.int64)
        with pytest.raises(TypeError, match="Unsupported type <class '"):
            probe((1,), (1,), (0, np.float32(0), 0.0, False, Foreign(out),
                               cp.zeros(1, cp.float32), cp.zeros(1)))

    def test_host_array_instead_of_device_array(self, probe):
        with pytest.raises(TypeError, match='numpy.ndarray of shape'):
            probe((1,), (1,), (0, np.float32(0), 0.0, False,
                               np.zeros(2, np.int64), cp.zeros(1, cp.float32),
                               cp.zeros(1)))

    @pytest.mark.parametrize('count', [6, 8])
    def test_wrong_argument_count_stricter_than_cupy(self, probe, count):
        """Neither CuPy nor the driver checks the count (a GPU reads past
        the arguments given); the stand-in refuses, to catch our mistakes.
        Nothing may rely on this error on a GPU."""
        args = (0, np.float32(0), 0.0, False, cp.zeros(2, cp.int64),
                cp.zeros(1, cp.float32), cp.zeros(1), 0)[:count]
        with pytest.raises(cp.cuda.driver.CUDADriverError,
                           match='CUDA_ERROR_INVALID_VALUE'):
            probe((1,), (1,), args)


class TestLaunchGeometry:
    SOURCE = r'''
    extern "C" __global__ void coords(unsigned int* out, const int n) {
        const int x = blockIdx.x * blockDim.x + threadIdx.x;
        const int y = blockIdx.y * blockDim.y + threadIdx.y;
        if (x >= n || y >= n) return;
        out[y * n + x] = (gridDim.x << 24) | (blockDim.y << 16) | (y << 8) | x;
    }
    '''

    def test_every_thread_sees_its_own_indices(self):
        k = cp.RawKernel(self.SOURCE, 'coords')
        out = cp.zeros((20, 20), cp.uint32)
        k((2, 3), (16, 8), (out, np.int32(20)))
        y, x = np.mgrid[0:20, 0:20]
        np.testing.assert_array_equal(
            out.get(), (2 << 24) | (8 << 16) | (y << 8) | x)

    def test_grid_must_be_a_tuple(self):
        k = cp.RawKernel(self.SOURCE, 'coords')
        with pytest.raises(TypeError, match='grid'):
            k(1, (1,), (cp.zeros(1, cp.uint32), np.int32(1)))

    def test_oversized_block_is_refused(self):
        k = cp.RawKernel(self.SOURCE, 'coords')
        with pytest.raises(cp.cuda.driver.CUDADriverError):
            k((1,), (1025,), (cp.zeros(1, cp.uint32), np.int32(1)))

    def test_missing_kernel_name(self):
        k = cp.RawKernel(self.SOURCE, 'no_such_kernel')
        with pytest.raises(cp.cuda.driver.CUDADriverError,
                           match='NOT_FOUND'):
            k((1,), (1,), (cp.zeros(1, cp.uint32), np.int32(1)))

    def test_half_arrays_are_pointers(self):
        k = cp.RawKernel(r'''
        extern "C" __global__ void copy_bits(const unsigned short* a,
                                             unsigned short* b) {
            b[threadIdx.x] = a[threadIdx.x];
        }''', 'copy_bits')
        a = cp.asarray(np.array([1.5, -2.0, 65504], np.float16))
        b = cp.zeros(3, cp.float16)
        k((1,), (3,), (a, b))
        np.testing.assert_array_equal(b.get(), a.get())


class PointsElsewhere(cp.ndarray):
    """An array whose data attribute names another allocation."""

    other = None

    @property
    def data(self):
        return self.other.data


def test_an_array_passes_the_pointer_of_its_own_field():
    # CuPy's launcher reads the pointer from the array's C field; a subclass's
    # `data` (or `shape`) property never reaches a kernel, RawKernel or
    # ElementwiseKernel alike.
    k = cp.RawKernel(r'''
    extern "C" __global__ void mark(float* out) { out[threadIdx.x] = 7.0f; }
    ''', 'mark')
    mine = PointsElsewhere((3,), cp.float32)
    mine.other = elsewhere = cp.zeros(3, cp.float32)
    k((1,), (3,), (mine,))
    cp.ElementwiseKernel('float32 x', 'float32 y', 'y = x + 1', 'plus')(
        mine, mine)
    np.testing.assert_array_equal(cp.ndarray.get(mine), [8, 8, 8])
    assert not elsewhere.any()
