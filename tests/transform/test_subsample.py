"""zemvara.transform.subsample: the interleaved split, its one-kernel inverse, their errors and size limits."""

import cupy as cp
import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import zemvara.transform.subsample as sub


def image(shape, dtype=np.float32):
    return cp.asarray(np.arange(np.prod(shape)).reshape(shape).astype(dtype))


def host(a):
    return cp.asnumpy(a)


class TestSplit:
    def test_the_numbering_of_sub_images(self):
        x = image((4, 6))
        parts = sub.subsample_image(x, 2)
        assert isinstance(parts, list) and len(parts) == 4
        assert all(p.shape == (2, 3) for p in parts)
        np.testing.assert_array_equal(host(parts[1]), host(x)[0::2, 1::2])   # dy 0, dx 1
        np.testing.assert_array_equal(host(parts[2]), host(x)[1::2, 0::2])   # dy 1, dx 0

    @pytest.mark.parametrize("shape", [(6, 12), (12, 6, 3), (12, 12, 1)])
    @pytest.mark.parametrize("dim", [1, 2, 3, 6])
    def test_every_sub_image_is_one_phase_of_the_image(self, shape, dim):
        x = image(shape)
        parts = sub.subsample_image(x, dim)
        assert len(parts) == dim * dim
        for k, part in enumerate(parts):
            dy, dx = divmod(k, dim)
            assert part.shape == (shape[0] // dim, shape[1] // dim, *shape[2:])
            np.testing.assert_array_equal(host(part), host(x)[dy::dim, dx::dim])

    @pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float16, np.float64])
    def test_the_dtype_and_values_are_kept(self, dtype):
        x = image((4, 4, 2), dtype)
        parts = sub.subsample_image(x, 2)
        assert all(p.dtype == dtype for p in parts)
        np.testing.assert_array_equal(host(parts[3]), host(x)[1::2, 1::2])

    def test_views_as_input(self):
        base = image((8, 12))
        for view in (base[::2, ::-1], base.T, base[1:5, 2:10]):
            parts = sub.subsample_image(view, 2)
            np.testing.assert_array_equal(host(parts[1]), host(view)[0::2, 1::2])

    def test_the_sub_images_are_slices_of_one_new_array(self):
        x = image((4, 4))
        parts = sub.subsample_image(x, 2)
        step = parts[0].nbytes
        assert [p.data.ptr - parts[0].data.ptr for p in parts] == [k * step for k in range(4)]
        parts[0][...] = -1
        assert host(x).min() == 0                      # the input is untouched

    def test_dim_one_gives_the_image_itself(self):
        x = image((3, 5))
        (only,) = sub.subsample_image(x, 1)
        assert only.shape == x.shape and only.data.ptr == x.data.ptr

    def test_host_arrays_give_host_sub_images(self):
        parts = sub.subsample_image(np.arange(16).reshape(4, 4), 2)
        assert isinstance(parts[0], np.ndarray) and parts[3].tolist() == [[5, 7], [13, 15]]

    @pytest.mark.parametrize("shape, text", [((5, 4), "5\u00d74"), ((4, 5), "4\u00d75"), ((4, 6, 3), "4\u00d76")])
    def test_sizes_must_be_multiples_of_dim(self, shape, text):
        dim = 4 if shape == (4, 6, 3) else 2
        with pytest.raises(ValueError) as e:
            sub.subsample_image(image(shape), dim)
        assert str(e.value) == f"Image size ({text}) must be divisible by dim ({dim})"

    @pytest.mark.parametrize("shape", [(4,), (2, 2, 2, 2), ()])
    def test_only_2d_or_3d(self, shape):
        with pytest.raises(ValueError, match="^Image must be 2D or 3D$"):
            sub.subsample_image(image(shape), 1)

    # One empty side is enough: (0, 2**31) costs no memory and is divisible by 2**31.
    @pytest.mark.parametrize("shape, dims", [((0, 0), (2, 2**31)), ((0, 0, 3), (2,)), ((0, 4), (2, 4)),
                                             ((0, 2**31), (2**31,)), ((6, 0, 1), (3,))])
    def test_an_image_without_pixels_takes_only_dim_one(self, shape, dims):
        size = "\u00d7".join(map(str, shape[:2]))
        for dim in dims:
            with pytest.raises(ValueError, match=f"^Image size \\({size}\\) has no pixels: dim \\({dim}\\) must be 1$"):
                sub.subsample_image(image(shape), dim)
        assert [p.shape for p in sub.subsample_image(image(shape), 1)] == [shape]

    def test_dim_zero_and_negative(self):
        with pytest.raises(ZeroDivisionError):
            sub.subsample_image(image((4, 4)), 0)
        with pytest.raises(ValueError):                # the array library's negative-size error
            sub.subsample_image(image((4, 4)), -2)
        with pytest.raises(ZeroDivisionError):
            sub.subsample_image(image((0, 0)), 0)


class Recorder:
    """Stands in for the kernel object and records its launches."""

    def __init__(self):
        self.launches = []

    def __call__(self, grid, block, args):
        self.launches.append((grid, block, args))


@pytest.fixture
def recorder(monkeypatch):
    r = Recorder()
    monkeypatch.setattr(sub, "reconstruct_optimized_kernel", r)
    return r


class TestReconstruction:
    @pytest.mark.parametrize("shape", [(6, 12), (12, 6, 3), (12, 12, 4)])
    @pytest.mark.parametrize("dim", [1, 2, 3])
    def test_it_inverts_the_split(self, shape, dim):
        x = image(shape)
        back = sub.subsample_image_back(sub.subsample_image(x, dim), dim)
        assert back.dtype == np.float32 and back.shape == shape
        np.testing.assert_array_equal(host(back), host(x))

    def test_one_channel_comes_back_two_dimensional(self):
        x = image((4, 6, 1))
        back = sub.subsample_image_back(sub.subsample_image(x, 2), 2)
        assert back.shape == (4, 6)
        np.testing.assert_array_equal(host(back), host(x)[:, :, 0])

    def test_a_list_of_planes(self):
        planes = [image((3, 5)) + 100 * k for k in range(4)]
        out = host(sub.subsample_image_back(planes, 2))
        assert out.shape == (6, 10)
        assert out[1, 0] == host(planes[2])[0, 0] and out[0, 1] == host(planes[1])[0, 0]
        assert out[5, 9] == host(planes[3])[2, 4]

    @pytest.mark.parametrize("channels, shape", [(3, (4, 4, 3)), (1, (4, 4))])
    def test_a_batch(self, channels, shape):
        batch = image((4, channels, 2, 2))
        out = host(sub.subsample_image_back(batch, 2))
        assert out.shape == shape
        full = out.reshape(4, 4, channels)
        for k in range(4):
            dy, dx = divmod(k, 2)
            np.testing.assert_array_equal(full[dy::2, dx::2].transpose(2, 0, 1), host(batch)[k])

    def test_other_dtypes_are_converted_without_scaling(self):
        batch = image((4, 1, 2, 2), np.uint8) + 240
        out = host(sub.subsample_image_back(batch, 2))
        assert out.dtype == np.float32 and out.max() == 255.0
        np.testing.assert_array_equal(out[0::2, 1::2], host(batch)[1, 0].astype(np.float32))

    def test_a_non_contiguous_batch(self):
        batch = image((2, 2, 3, 4)).transpose(1, 0, 2, 3)[:, :, ::-1, :].reshape(4, 1, 3, 4)[:, :, :, ::-1]
        out = host(sub.subsample_image_back(batch, 2))
        np.testing.assert_array_equal(out[0::2, 1::2], host(batch)[1, 0])

    def test_a_partial_last_block(self):
        batch = image((4, 10, 5, 5))                    # 1000 output elements: 4 blocks of 256
        out = host(sub.subsample_image_back(batch, 2))
        np.testing.assert_array_equal(out[1::2, 1::2].transpose(2, 0, 1), host(batch)[3])

    def test_the_launch(self, recorder):
        batch = image((4, 10, 5, 5))
        out = sub.subsample_image_back(batch, 2)
        ((grid, block, args),) = recorder.launches
        assert grid == (4, 1, 1) and block == (256, 1, 1)
        assert args[0].data.ptr == batch.data.ptr and args[1] is out
        assert all(type(a) is np.int32 for a in args[2:])
        assert [int(a) for a in args[2:]] == [4, 10, 5, 5, 10, 10, 2]

    @pytest.mark.parametrize("make, message", [
        (lambda: [image((2, 2))] * 9, "Batch size 9 doesn't match dim*dim = 4"),
        (lambda: image((9, 1, 2, 2)), "Batch size 9 doesn't match dim*dim = 4"),
        (lambda: image((4, 3, 2)), "Input must be 4D tensor in NCHW format"),
    ])
    def test_messages(self, make, message):
        with pytest.raises(ValueError) as e:
            sub.subsample_image_back(make(), 2)
        assert str(e.value) == message

    def test_library_errors_pass_through(self):
        with pytest.raises(AttributeError):
            sub.subsample_image_back((image((2, 2)),) * 4, 2)        # a tuple is no list
        with pytest.raises(ValueError):
            sub.subsample_image_back([image((2, 2)), image((3, 3))] * 2, 2)   # shapes differ
        with pytest.raises(ValueError):
            sub.subsample_image_back([image((2, 2, 2, 2))] * 4, 2)            # transpose(2, 0, 1) of 4-D
        with pytest.raises(TypeError, match="expected int, got float"):
            sub.subsample_image_back(image((4, 1, 2, 2)), 2.0)


class Sentinel(Exception):
    pass


class FakeBatch:
    """A batch that only has a shape: converting it is where a real one would allocate."""

    ndim = 4
    dtype = np.dtype(np.uint8)

    def __init__(self, shape):
        self.shape = shape

    def astype(self, dtype):
        raise Sentinel


class TestSizeLimits:
    def test_an_empty_list_is_refused_before_any_device_work(self, recorder, monkeypatch):
        monkeypatch.setattr(sub, "cp", None)       # any use of the library would fail differently
        with pytest.raises(ValueError, match="^subsampled_images must not be an empty list$"):
            sub.subsample_image_back([], 2)

    @pytest.mark.parametrize("shape, dim, out_shape", [
        ((4, 3, 0, 2), 2, (0, 4, 3)),
        ((4, 1, 2, 0), 2, (4, 0)),
        ((0, 1, 2, 2), 0, (0, 0)),
        ((1, 0, 2, 2), 1, (2, 2, 0)),
    ])
    def test_an_empty_batch_gives_the_empty_output_without_a_launch(self, recorder, shape, dim, out_shape):
        out = sub.subsample_image_back(cp.zeros(shape, cp.float32), dim)
        assert out.shape == out_shape and out.dtype == np.float32
        assert recorder.launches == []

    @pytest.mark.parametrize("shape, count", [
        ((4, 1, 2**15, 2**14), 2**31),
        ((4, 3, 2**15, 2**15), 3 * 2**32),
    ])
    def test_a_batch_the_kernel_cannot_index_is_refused_before_converting(self, shape, count):
        with pytest.raises(ValueError) as e:
            sub.subsample_image_back(FakeBatch(shape), 2)
        assert str(e.value) == f"Input too large: {count} elements, the kernel indexes at most 2147483647"

    def test_the_largest_indexable_batch_passes_the_limit(self):
        with pytest.raises(Sentinel):
            sub.subsample_image_back(FakeBatch((1, 1, 1, 2**31 - 1)), 1)

    @pytest.mark.parametrize("plane", [(2**15, 2**14), (2**15, 2**13, 2)])
    def test_a_list_too_large_to_index_is_refused_before_stacking(self, plane):
        huge = as_strided(np.zeros(1, np.float32), shape=plane, strides=(0,) * len(plane))  # allocates nothing
        with pytest.raises(ValueError, match=r"^Input too large: 2147483648 elements"):
            sub.subsample_image_back([huge] * 4, 2)
