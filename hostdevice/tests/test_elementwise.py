"""ElementwiseKernel compiles its operation text and types it as CuPy does."""

import numpy as np
import pytest

import cupy as cp
from cupy import _hostdevice

SCALE = cp.ElementwiseKernel('T x, float32 scale', 'float16 y',
                             'y = (float)x * scale', 'scale_to_half')


class TestTyping:
    def test_placeholder_from_array_and_concrete_output(self):
        x = cp.asarray(np.arange(6, dtype=np.uint8).reshape(2, 3))
        y = SCALE(x, 0.5)
        assert y.dtype == cp.float16 and y.shape == (2, 3)
        np.testing.assert_array_equal(y.get(), np.arange(6).reshape(2, 3) / 2)
        assert _hostdevice.last_launch().name == 'scale_to_half'

    def test_output_placeholder_follows_input(self):
        k = cp.ElementwiseKernel('T x', 'T y', 'y = x * (T)2', 'twice')
        for dtype in (cp.uint16, cp.float32, cp.float16):
            y = k(cp.ones(3, dtype))
            assert y.dtype == dtype and (y == 2).all()

    def test_type_mismatch(self):
        k = cp.ElementwiseKernel('T x, T z', 'T y', 'y = x + z', 'add')
        with pytest.raises(TypeError, match='Type is mismatched'):
            k(cp.ones(2, cp.float32), cp.ones(2, cp.float64))

    def test_given_output_binds_and_is_returned(self):
        k = cp.ElementwiseKernel('T x', 'U y', 'y = x + 1', 'inc')
        out = cp.zeros(3, cp.int32)
        assert k(cp.ones(3, cp.float32), out) is out
        np.testing.assert_array_equal(out.get(), [2, 2, 2])

    def test_wrong_argument_count(self):
        with pytest.raises(TypeError, match='Wrong number of arguments'):
            SCALE(cp.ones(2))

    def test_operation_is_really_compiled(self):
        k = cp.ElementwiseKernel('T x', 'T y', 'y = undefined_thing(x)',
                                 'broken')
        with pytest.raises(cp.cuda.compiler.CompileException):
            k(cp.ones(2))


class TestLayout:
    def test_strided_inputs_and_index_variable(self):
        k = cp.ElementwiseKernel('T x', 'T y', 'y = x * 100 + i', 'pos')
        x = cp.asarray(np.arange(12, dtype=np.float32).reshape(3, 4))
        y = k(x.T[::2])
        expect = np.arange(12, dtype=np.float32).reshape(3, 4).T[::2] * 100
        np.testing.assert_array_equal(y.get(), expect + np.arange(6).reshape(
            2, 3))

    def test_broadcast_input(self):
        k = cp.ElementwiseKernel('T x, T z', 'T y', 'y = x - z', 'sub')
        x = cp.ones((2, 3), cp.float32)
        z = cp.asarray(np.arange(3, dtype=np.float32))
        np.testing.assert_array_equal(k(x, z).get(), [[1, 0, -1]] * 2)

    def test_empty_input_launches_nothing(self):
        before = _hostdevice.launch_count()
        y = SCALE(cp.zeros((0, 3), cp.uint8), 1.0)
        assert y.shape == (0, 3) and _hostdevice.launch_count() == before
