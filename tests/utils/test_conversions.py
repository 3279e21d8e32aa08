"""Element-type conversions and channel swaps on CuPy and NumPy arrays."""

import cupy
import numpy as np
import pytest

from zemvara.color.bgr import bgr_to_rgb, rgb_to_bgr
from zemvara.utils.dtypes import to_float16, to_float32, to_uint8, to_uint16

CONVERSIONS = {np.uint8: to_uint8, np.uint16: to_uint16, np.float16: to_float16, np.float32: to_float32}
SOURCE_TYPES = [np.uint8, np.uint16, np.float16, np.float32, np.float64, np.bool_, np.int16, np.int32]


@pytest.fixture(params=["numpy", "cupy"])
def xp(request):
    return np if request.param == "numpy" else cupy


def host(a):
    return cupy.asnumpy(a) if isinstance(a, cupy.ndarray) else a


def sample(dtype, shape=(4, 5, 3), seed=0):
    """Values of every region a conversion treats differently, edges included."""
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "f":
        a = rng.uniform(-0.5, 1.5, shape)
        a.flat[:7] = [0, 1, np.nan, np.inf, -np.inf, 0.5 / 255, 1.5 / 255]
        return a.astype(dtype)
    if dtype is np.bool_:
        return rng.integers(0, 2, shape).astype(bool)
    info = np.iinfo(dtype)
    a = rng.integers(info.min, info.max, shape, endpoint=True).astype(dtype)
    a.flat[:3] = [0, info.max, info.min]
    return a


class TestRoundTrips:
    def test_every_uint8_value_survives(self, xp):
        v = xp.arange(256, dtype=xp.uint8)
        for there in (to_float32, to_float16, to_uint16):
            assert (host(to_uint8(there(v))) == host(v)).all(), there.__name__

    def test_every_uint16_value_survives_float32(self, xp):
        v = xp.arange(65536, dtype=xp.uint16)
        assert (host(to_uint16(to_float32(v))) == host(v)).all()

    def test_hdr_floats_survive_float16(self, xp):
        v = xp.asarray(np.array([-2.5, 0, 0.25, 3.75, 1000, np.inf, -np.inf, np.nan], np.float32))
        back = host(to_float32(to_float16(v)))
        np.testing.assert_array_equal(back, host(v))


class TestScalingEdges:
    def test_float_to_uint8(self, xp):
        v = xp.asarray(np.array([0, 1, -0.5, 1.5, np.nan, np.inf, -np.inf, 0.5 / 255, 1.5 / 255, 0.2], np.float32))
        assert host(to_uint8(v)).tolist() == [0, 255, 0, 255, 0, 255, 0, 0, 2, 51]

    def test_float_to_uint16(self, xp):
        v = xp.asarray(np.array([0, 1, -1e9, 7.0, np.nan, np.inf, -np.inf, 0.5], np.float64))
        assert host(to_uint16(v)).tolist() == [0, 65535, 0, 65535, 0, 65535, 0, 32768]

    def test_between_uint8_and_uint16(self, xp):
        v16 = np.arange(65536, dtype=np.uint16)
        np.testing.assert_array_equal(host(to_uint8(xp.asarray(v16))), np.rint(v16 / 257))
        assert host(to_uint16(xp.asarray(np.array([0, 1, 128, 255], np.uint8)))).tolist() == [0, 257, 32896, 65535]

    def test_integers_to_float(self, xp):
        np.testing.assert_array_equal(
            host(to_float32(xp.asarray(np.array([0, 51, 255], np.uint8)))), np.array([0, 0.2, 1], np.float32)
        )
        assert host(to_float32(xp.asarray(np.array([0, 65535], np.uint16)))).tolist() == [0, 1]

    def test_other_element_types(self, xp):
        assert host(to_uint16(xp.asarray(np.array([False, True])))).tolist() == [0, 65535]
        assert host(to_uint8(xp.asarray(np.array([-300, 0, 16384, 32767], np.int16)))).tolist() == [0, 0, 128, 255]
        assert host(to_float32(xp.asarray(np.array([-2147483647, 2147483647], np.int32)))).tolist() == [-1, 1]
        with pytest.raises(TypeError):
            to_uint8(np.ones(3, np.complex64))


class TestArrayKinds:
    @pytest.mark.parametrize("src", SOURCE_TYPES, ids=lambda t: np.dtype(t).name)
    @pytest.mark.parametrize("dst", list(CONVERSIONS), ids=lambda t: np.dtype(t).name)
    def test_kind_shape_dtype_and_same_values_on_both_kinds(self, src, dst):
        a = sample(src)
        cpu, gpu = CONVERSIONS[dst](a), CONVERSIONS[dst](cupy.asarray(a))
        assert type(cpu) is np.ndarray and type(gpu) is cupy.ndarray
        assert cpu.shape == gpu.shape == a.shape and cpu.dtype == gpu.dtype == dst
        np.testing.assert_array_equal(host(gpu), cpu)

    def test_strided_view(self, xp):
        a = xp.asarray(sample(np.uint8, (6, 7, 4)))
        np.testing.assert_array_equal(host(to_float32(a[:, ::2, :3])), host(to_float32(a))[:, ::2, :3])

    @pytest.mark.parametrize("dst", list(CONVERSIONS), ids=lambda t: np.dtype(t).name)
    def test_matching_type_is_returned_as_is(self, xp, dst):
        a = xp.zeros((2, 3, 3), dtype=dst)[:, ::-1]
        assert CONVERSIONS[dst](a) is a


class TestChannelSwaps:
    @pytest.mark.parametrize("shape", [(4, 5), (4, 5, 1), (4, 5, 2), (4, 5, 5)])
    def test_images_without_red_and_blue_are_returned_as_is(self, xp, shape):
        a = xp.zeros(shape, xp.float32)
        assert bgr_to_rgb(a) is a and rgb_to_bgr(a) is a

    @pytest.mark.parametrize("channels, order", [(3, [2, 1, 0]), (4, [2, 1, 0, 3])])
    def test_red_and_blue_exchange(self, xp, channels, order):
        a = xp.asarray(sample(np.uint16, (3, 4, channels)))
        for swap in (bgr_to_rgb, rgb_to_bgr):
            b = swap(a)
            assert type(b) is type(a) and b.dtype == a.dtype
            np.testing.assert_array_equal(host(b), host(a)[..., order])
            np.testing.assert_array_equal(host(swap(b)), host(a))
            b[...] = 0  # a new array: the input is untouched
            assert host(a).any()
