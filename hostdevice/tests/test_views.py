"""Device arrays share memory exactly where CuPy's do, and nowhere else."""

import numpy as np
import pytest

import cupy as cp


def shares(a, b):
    lo_a, lo_b = a.data.ptr, b.data.ptr
    return (a.data.mem is b.data.mem
            and lo_a < lo_b + b.nbytes and lo_b < lo_a + a.nbytes)


@pytest.fixture
def a():
    return cp.arange(24, dtype=cp.float32).reshape(2, 3, 4)


class TestViews:
    @pytest.mark.parametrize('make', [
        lambda a: a.reshape(6, 4), lambda a: a.transpose(2, 0, 1),
        lambda a: a.T, lambda a: a.ravel(), lambda a: a[:, 1:, ::2],
        lambda a: a[None, ..., cp.newaxis], lambda a: a[1],
        lambda a: a[0, 0, 0], lambda a: a[:1].squeeze(axis=0),
        lambda a: a.view(cp.int32)])
    def test_writes_through_a_view_reach_the_base(self, a, make):
        v = make(a)
        assert shares(v, a) and v.base is a.base
        before = a.get()
        v[...] = -1
        assert not np.array_equal(a.get(), before)

    def test_view_pointer_is_offset_into_base(self, a):
        assert a[1, 2].data.ptr == a.data.ptr + (12 + 8) * 4

    def test_foreign_memory_view(self, a):
        mem = cp.cuda.UnownedMemory(a.data.ptr, a.nbytes, a)
        v = cp.ndarray((4,), cp.float32, memptr=cp.cuda.MemoryPointer(mem, 16))
        np.testing.assert_array_equal(v.get(), [4, 5, 6, 7])
        v[0] = 100
        assert a[0, 1, 0] == 100

    def test_cuda_array_interface_is_wrapped_without_copy(self, a):
        class Foreign:
            __cuda_array_interface__ = a[:, 1].__cuda_array_interface__
        w = cp.asarray(Foreign())
        assert w.shape == (2, 4) and w.data.ptr == a[:, 1].data.ptr
        w[...] = 0
        assert float(a[:, 1].sum()) == 0

    def test_host_memory_behind_an_interface_is_refused(self):
        host = np.zeros(4, np.float32)

        class Fake:
            __cuda_array_interface__ = {
                'shape': (4,), 'typestr': '<f4', 'version': 3,
                'data': (host.ctypes.data, False), 'strides': None}
        with pytest.raises(ValueError, match='device memory'):
            cp.asarray(Fake())

    def test_same_object_returned(self, a):
        assert cp.asarray(a) is a
        assert cp.asarray(a, dtype=cp.float32) is a
        assert cp.ascontiguousarray(a) is a
        assert a.astype(cp.float32, copy=False) is a


class TestCopies:
    @pytest.mark.parametrize('make', [
        lambda a: a.astype(cp.float32), lambda a: a.copy(),
        lambda a: a.transpose(1, 0, 2).reshape(-1),
        lambda a: a[cp.asarray([1, 0])], lambda a: a[[0, 1]],
        lambda a: a[a > 3], lambda a: cp.ascontiguousarray(a.T),
        lambda a: cp.array(a), lambda a: a + 0, lambda a: a.flatten()])
    def test_result_is_independent(self, a, make):
        c = make(a)
        assert c.base is None and not shares(c, a)
        before = a.get()
        c[...] = -1
        np.testing.assert_array_equal(a.get(), before)

    def test_host_data_is_copied_in_and_out(self):
        host = np.arange(6.0)
        d = cp.asarray(host)
        host[0] = 99
        assert d[0] == 0
        out = d.get()
        out[1] = 99
        assert d[1] == 1

    def test_integer_array_indexing_gathers(self, a):
        g = a.reshape(-1)[cp.asarray([5, 0, 5])]
        np.testing.assert_array_equal(g.get(), [5, 0, 5])


class TestCupyOnlyBehaviour:
    """Where CuPy departs from NumPy, the stand-in follows CuPy."""

    @pytest.mark.parametrize('get, expect', [
        (lambda f, i: f[i], [13, 0, 23, 1]),
        (lambda f, i: f[cp.asarray(i)], [13, 0, 23, 1]),
        (lambda f, i: cp.take(f, cp.asarray(i)), [13, 0, 23, 1]),
        (lambda f, i: f.take(i), [13, 0, 23, 1]),
        (lambda f, i: f.reshape(2, 12)[1, i], [13, 12, 23, 13])])
    def test_out_of_range_integer_array_indices_wrap(self, a, get, expect):
        got = get(a.reshape(-1), [13, 24, -1, 49])
        np.testing.assert_array_equal(got.get(), expect)

    def test_out_of_range_index_assignment_wraps(self, a):
        v = a.reshape(-1)
        v[[25, -25]] = -1
        assert v[1] == -1 and v[23] == -1 and int((v == -1).sum()) == 2

    def test_out_of_range_scalar_index_still_raises(self, a):
        with pytest.raises(IndexError):
            a[2]

    @pytest.mark.parametrize('dtype', [cp.float32, cp.uint8])
    @pytest.mark.parametrize('convert', [
        lambda x, d: x.astype(d), lambda x, d: x.astype(d, order='K'),
        lambda x, d: x.copy(order='K') if d == x.dtype else x.astype(d)])
    def test_order_k_keeps_permuted_strides(self, a, dtype, convert):
        t = a.transpose(1, 2, 0)[:, ::-1]
        c = convert(t, dtype)
        item = np.dtype(dtype).itemsize
        assert c.strides == (4 * item, 1 * item, 12 * item)
        np.testing.assert_array_equal(c.get(), t.get().astype(dtype))

    def test_ascontiguousarray_of_zero_dim_has_shape_one(self, a):
        z = a[1, 2, 3]
        v = cp.ascontiguousarray(z)
        assert v.shape == (1,) and shares(v, z) and v[0] == 23
        assert cp.ascontiguousarray(z, cp.int16).shape == (1,)


class TestNumpyBoundary:
    def test_implicit_conversion_is_refused(self, a):
        with pytest.raises(TypeError, match='Implicit conversion'):
            np.asarray(a)

    def test_host_array_operand_is_refused(self, a):
        with pytest.raises(TypeError):
            a + np.ones(4, np.float32)

    def test_numpy_functions_dispatch_to_device(self, a):
        r = np.concatenate([a, a])
        assert isinstance(r, cp.ndarray) and r.shape == (4, 3, 4)
        assert isinstance(np.sqrt(a), cp.ndarray)


class TestValues:
    @pytest.mark.parametrize('dtype, scalar, expect', [
        (cp.uint8, 2.0, cp.float64), (cp.float32, 2.0, cp.float32),
        (cp.uint8, 2, cp.uint8), (cp.float16, 1, cp.float16),
        (cp.int32, cp.float32(1), cp.float64)])
    def test_numpy2_promotion(self, dtype, scalar, expect):
        assert (cp.zeros(3, dtype) * scalar).dtype == expect

    def test_inplace_keeps_array_and_dtype(self):
        x = cp.ones(3, cp.float32)
        y = x
        x -= cp.asarray([1.0, 2.0, 3.0])
        x /= 2
        assert x is y and x.dtype == cp.float32
        np.testing.assert_array_equal(x.get(), [0, -0.5, -1])
        with pytest.raises(TypeError):
            z = cp.ones(3, cp.uint8)
            z += 1.5

    def test_zero_dim_results_behave_as_scalars(self):
        x = cp.asarray([3.0, 4.0])
        n = cp.sqrt(x[0] ** 2 + x[1] ** 2)
        assert isinstance(n, cp.ndarray) and n.shape == ()
        assert bool(n > 4.9) and float(n) == 5.0 and not (n > 5)
        with pytest.raises(ValueError):
            bool(x > 1)

    def test_empty_is_not_zeroed(self):
        # Kernels that skip elements must not be saved by zeroed memory.
        assert cp.isnan(cp.empty(8, cp.float32)).all()

    def test_joining_and_inverse(self):
        x = cp.ones((2, 2), cp.float32)
        assert cp.stack([x, x], axis=0).shape == (2, 2, 2)
        assert cp.dstack([x.ravel()] * 3).shape == (1, 4, 3)
        with pytest.raises(ValueError):
            cp.concatenate([])
        m = cp.asarray([[2.0, 0, 1], [0, 4, 2], [0, 0, 1]], cp.float32)
        inv = cp.linalg.inv(m)
        assert inv.dtype == cp.float32
        cp.testing.assert_allclose(inv @ m, np.eye(3), atol=1e-6)
