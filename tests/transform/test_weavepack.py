"""`zemvara.transform.weavepack`: the index-map reconstructions, their map, its cache and the mended faults."""

import time

import cupy as cp
import numpy as np
import pytest

from zemvara.transform import weavepack
from zemvara.transform.subsample import subsample_image, subsample_image_back
from zemvara.transform.weavepack import create_output_order_indices as build_map
from zemvara.transform.weavepack import subsample_image_back_flattened, subsample_image_back_gather

INDEXED = [subsample_image_back_flattened, subsample_image_back_gather]
indexed = pytest.mark.parametrize("fn", INDEXED, ids=["flattened", "gather"])
SAVED = ["_index_cache", "create_output_order_indices", "simple_copy_kernel", "gather_kernel", "cp"]


@pytest.fixture(autouse=True)
def module():
    """The module dictionary, with an empty cache; globals a test replaces are put back afterwards."""
    saved = {name: vars(weavepack)[name] for name in SAVED}
    weavepack._index_cache.clear()
    yield vars(weavepack)
    vars(weavepack).update(saved)
    weavepack._index_cache.clear()


def cache():
    return vars(weavepack)["_index_cache"]


def host(shape, dtype=np.float32, seed=0):
    return np.random.default_rng(seed).integers(0, 250, size=shape).astype(dtype)


def reference(batch, dim):
    """output[y, x, c] = batch[(y % dim) * dim + x % dim, c, y // dim, x // dim]; C == 1 squeezed."""
    n, c, h, w = batch.shape
    out = batch.astype(np.float32).reshape(dim, dim, c, h, w).transpose(3, 0, 4, 1, 2).reshape(h * dim, w * dim, c)
    return out[:, :, 0] if c == 1 else out


def loop_map(shape, dim):
    """The index map element by element, with Python's `range`, `%` and `//`."""
    n, c, h, w = shape
    entries, idx = [0] * (h * dim * w * dim * c), 0
    for y in range(h * dim):
        for x in range(w * dim):
            for ch in range(c):
                entries[idx] = ((y % dim) * dim + x % dim) * c * h * w + ch * h * w + (y // dim) * w + x // dim
                idx += 1
    return entries


def assert_same(out, expected):
    assert out.shape == expected.shape
    np.testing.assert_array_equal(cp.asnumpy(out), expected)


def images(shape, count):
    return [host(shape, seed=k) for k in range(count)]


class ListSubclass(list):
    pass


# Each case: the argument on the host (a batch or a list of images), dim, the NCHW batch it stands for.
CASES = {
    "nchw dim 1": (host((1, 3, 4, 5)), 1, None),
    "nchw dim 2": (host((4, 3, 3, 5)), 2, None),
    "nchw dim 3, C=2": (host((9, 2, 2, 3)), 3, None),
    "nchw C=1 squeezed": (host((16, 1, 3, 2)), 4, None),
    "uint8": (host((4, 3, 2, 3), np.uint8), 2, None),
    "float64": (host((4, 2, 2, 3), np.float64), 2, None),
    "2-D images": (images((3, 5), 9), 3, lambda l: np.stack(l)[:, np.newaxis]),
    "3-D images": (images((2, 4, 3), 4), 2, lambda l: np.stack(l).transpose(0, 3, 1, 2)),
    "(H, W, 1) images": (images((2, 2, 1), 4), 2, lambda l: np.stack(l).transpose(0, 3, 1, 2)),
}


def device_form(arg):
    return [cp.asarray(a) for a in arg] if isinstance(arg, list) else cp.asarray(arg)


class TestReconstructionsAgree:
    @pytest.mark.parametrize("name", list(CASES))
    def test_every_input_form(self, name):
        arg, dim, to_batch = CASES[name]
        expected = reference(to_batch(arg) if to_batch else arg, dim)
        for fn in [subsample_image_back, *INDEXED]:
            out = fn(device_form(arg), dim)
            assert (type(out), out.dtype, out.shape) == (cp.ndarray, np.float32, expected.shape), fn.__name__
            np.testing.assert_array_equal(cp.asnumpy(out), expected, err_msg=fn.__name__)

    @indexed
    def test_views_and_list_subclasses(self, fn):
        big = host((9, 4, 6, 10))
        assert_same(fn(cp.asarray(big)[:, 1:3, ::2, 1::3], 3), reference(big[:, 1:3, ::2, 1::3], 3))
        nhwc = host((4, 3, 5, 2))
        assert_same(fn(cp.asarray(nhwc).transpose(0, 3, 1, 2), 2), reference(nhwc.transpose(0, 3, 1, 2), 2))
        planes = images((3, 5), 4)
        assert_same(fn(ListSubclass(cp.asarray(p) for p in planes), 2), reference(np.stack(planes)[:, None], 2))

    @indexed
    @pytest.mark.parametrize("shape,dim", [((6, 9), 3), ((4, 6, 3), 2), ((4, 4, 1), 4)])
    def test_inverts_subsample_image(self, fn, shape, dim):
        image = host(shape)
        out = fn(subsample_image(cp.asarray(image), dim), dim)
        assert_same(out, image[:, :, 0] if shape[-1:] == (1,) else image)


class TestIndexMap:
    def test_examples(self):
        first = build_map((4, 1, 2, 2), 2)
        assert (type(first), first.dtype) == (cp.ndarray, np.int64)
        assert cp.asnumpy(first).tolist() == [0, 4, 1, 5, 8, 12, 9, 13, 2, 6, 3, 7, 10, 14, 11, 15]
        assert cp.asnumpy(build_map((4, 2, 1, 1), 2)).tolist() == [0, 1, 2, 3, 4, 5, 6, 7]
        for shape in ([4, 1, 2, 2], iter((4, 1, 2, 2)), np.array([4, 1, 2, 2])):  # any iterable of four
            assert cp.asnumpy(build_map(shape, 2)).tolist() == cp.asnumpy(first).tolist()

    @pytest.mark.parametrize(
        "shape,dim",
        [((9, 2, 3, 5), 3), ((7, 1, 2, 3), 2), ((4, 0, 2, 2), 2), ((0, 1, 2, 2), 0), ((4, 1, -1, -2), -2),
         ((4, 1, 2, 3), -1)],
    )
    def test_same_entries_as_the_element_loop(self, shape, dim):
        # N never enters the map; zero and negative sizes leave the zeros of np.zeros where `range` is empty.
        assert cp.asnumpy(build_map(shape, dim)).tolist() == loop_map(shape, dim)

    @pytest.mark.parametrize(
        "shape,message",
        [((4, 1, 2), "need more than 3 values to unpack"), ((4,), "need more than 1 value to unpack"),
         ((4, 1, 2, 2, 1), "too many values to unpack (expected 4)")],
    )
    def test_shape_of_the_wrong_length(self, shape, message):
        with pytest.raises(ValueError) as info:
            build_map(shape, 2)
        assert str(info.value) == message

    def test_a_4k_three_channel_map_builds_at_native_speed(self):
        # At interpreter speed, 25 million entries take tens of seconds.
        start = time.perf_counter()
        indices = build_map((4, 3, 1080, 1920), 2)
        elapsed = time.perf_counter() - start
        rng = np.random.default_rng(1)
        for y, x, c in zip(rng.integers(0, 2160, 50), rng.integers(0, 3840, 50), rng.integers(0, 3, 50)):
            want = ((y % 2) * 2 + x % 2) * 3 * 1080 * 1920 + c * 1080 * 1920 + (y // 2) * 1920 + x // 2
            assert int(indices[(y * 3840 + x) * 3 + c]) == want
        assert indices.shape == (2160 * 3840 * 3,) and elapsed < 3.0


class TestIndexCache:
    def test_one_entry_per_shape_and_dim_shared_by_both(self):
        batch = cp.asarray(host((4, 3, 2, 5)))
        subsample_image_back_flattened(batch, 2)
        key = (4, 3, 2, 5, 2, cp.cuda.Device().id)
        assert list(cache()) == [key]
        entry = cache()[key]
        np.testing.assert_array_equal(cp.asnumpy(entry), cp.asnumpy(build_map((4, 3, 2, 5), 2)))
        subsample_image_back_gather(batch, 2)
        subsample_image_back_flattened(batch, 2)
        assert list(cache()) == [key] and cache()[key] is entry
        subsample_image_back_gather(cp.asarray(host((9, 3, 2, 5))), 3)
        subsample_image_back_flattened(cp.asarray(host((4, 3, 2, 6))), 2)
        assert len(cache()) == 3

    @indexed
    def test_maps_are_kept_per_device(self, fn, device, monkeypatch):
        if device == "host":
            monkeypatch.setenv("HOSTDEVICE_DEVICES", "2")  # the host device simulates that many
        if cp.cuda.runtime.getDeviceCount() < 2:
            pytest.skip("needs two CUDA devices")
        batch = host((4, 3, 2, 5))
        for device_id in (0, 1, 0, 1):
            with cp.cuda.Device(device_id):
                assert_same(fn(cp.asarray(batch), 2), reference(batch, 2))
        assert sorted(cache()) == [(4, 3, 2, 5, 2, 0), (4, 3, 2, 5, 2, 1)]
        assert all(indices.device.id == key[-1] for key, indices in cache().items())

    @indexed
    def test_builder_and_cache_are_read_from_the_module_at_each_call(self, fn, module):
        calls = []
        module["create_output_order_indices"] = lambda shape, dim: calls.append((shape, dim)) or cp.zeros(48, cp.int64)
        batch = cp.arange(48, dtype=cp.float32).reshape(4, 3, 2, 2) + 1
        for _ in range(2):
            assert (cp.asnumpy(fn(batch, 2)) == 1).all()  # every element taken from input element 0
        assert calls == [((4, 3, 2, 2), 2)] and type(calls[0][0]) is tuple
        fresh = module["_index_cache"] = {}
        key = (4, 3, 2, 2, 2, cp.cuda.Device().id)
        fresh[key] = cp.arange(48)[::-1].copy()
        assert cp.asnumpy(fn(batch, 2)).ravel().tolist() == list(range(48, 0, -1))
        assert calls == [((4, 3, 2, 2), 2)] and list(fresh) == [key]

    @indexed
    def test_maps_too_short_or_of_another_type_never_reach_a_kernel(self, fn, module):
        batch = cp.zeros((4, 3, 2, 2), cp.float32)
        key = (4, 3, 2, 2, 2, cp.cuda.Device().id)
        message = "^index map must be an int64 array of 48 entries$"
        module["create_output_order_indices"] = lambda shape, dim: cp.zeros(47, cp.int64)
        with pytest.raises(ValueError, match=message):
            fn(batch, 2)
        assert cache() == {}
        for bad in (cp.zeros(47, cp.int64), cp.zeros(48, cp.int32)):
            module["_index_cache"] = {key: bad}
            with pytest.raises(ValueError, match=message):
                fn(batch, 2)

    @indexed
    def test_failed_builds_and_rejected_inputs_leave_no_entry(self, fn, module):
        class BuildFailed(Exception):
            pass

        def failing(batch_shape, dim):
            raise BuildFailed("out of device memory")

        module["create_output_order_indices"] = failing
        with pytest.raises(BuildFailed, match="^out of device memory$"):
            fn(cp.zeros((4, 3, 2, 2)), 2)
        for arg, dim in [([cp.zeros((2, 2))] * 9, 2), (cp.zeros((4, 2, 2)), 2), ([], 2), (cp.zeros((4, 1, 2, 2)), -2)]:
            with pytest.raises(ValueError):
                fn(arg, dim)
        assert cache() == {}


class TestLaunch:
    @indexed
    def test_geometry_and_argument_types(self, fn, module):
        launches = []
        for name in ("simple_copy_kernel", "gather_kernel"):
            def recording(grid, block, args, kernel=module[name], name=name):
                launches.append((name, grid, block, args))
                return kernel(grid, block, args)
            module[name] = recording
        out = fn(cp.asarray(host((4, 5, 5, 10))), 2)  # 1000 output elements: four blocks, the last partial
        [(name, grid, block, args)] = launches
        assert name == ("gather_kernel" if fn is subsample_image_back_gather else "simple_copy_kernel")
        assert (grid, block, type(args[-1]), args[-1]) == ((4, 1, 1), (256, 1, 1), np.int32, 1000)
        assert all(type(a) is cp.ndarray for a in args[:-1]) and args[1].data.ptr == out.data.ptr
        if name == "gather_kernel":
            assert args[2] is next(iter(cache().values()))


class TestMessagesAndMendedFaults:
    @indexed
    def test_same_failures_as_subsample_image_back(self, fn):
        cases = [([cp.zeros((3, 5))] * 9, 2), (cp.zeros((1, 1, 1, 1)), 3), (cp.zeros((4, 1, 2, 2)), 0),
                 (cp.zeros((4, 2, 2)), 2), (cp.zeros((4, 1, 1, 2, 2)), 2), ([], 2), (cp.zeros((4, 1, 2, 2)), -2),
                 (cp.zeros((4, 1, 2, 2)), 2.0), (cp.zeros((4, 1, 2, 2)), True)]
        for arg, dim in cases:
            with pytest.raises(Exception) as ours:
                fn(arg, dim)
            with pytest.raises(Exception) as theirs:
                subsample_image_back(arg, dim)
            assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))
        with pytest.raises(ValueError, match=r"^Batch size 9 doesn't match dim\*dim = 4$"):
            fn(cases[0][0], 2)
        with pytest.raises(ValueError, match="^Input must be 4D tensor in NCHW format$"):
            fn(cases[3][0], 2)
        with pytest.raises(TypeError, match=r"^Argument 'dim' has incorrect type \(expected int, got float\)$"):
            fn(cases[0][0], 2.0)

    @indexed
    def test_empty_list_is_refused_before_device_work(self, fn, module):
        module["cp"] = None  # any use of the array library would fail otherwise
        with pytest.raises(ValueError, match="empty list"):
            fn([], 2)

    @indexed
    @pytest.mark.parametrize("shape,dim", [((4, 0, 3, 5), 2), ((4, 3, 0, 5), 2), ((9, 1, 2, 0), 3), ((0, 3, 2, 2), 0)])
    def test_zero_sized_batches_return_the_empty_output_without_launching(self, fn, module, shape, dim):
        module["simple_copy_kernel"] = module["gather_kernel"] = None  # calling either would fail
        batch = cp.zeros(shape, dtype=cp.float32)
        out, expected = fn(batch, dim), subsample_image_back(batch, dim)
        assert (out.shape, out.dtype, cache()) == (expected.shape, np.float32, {})

    @indexed
    def test_2_to_the_31_elements_are_refused_before_anything_is_allocated(self, fn):
        class Batch:  # shape only: any allocation or conversion would fail differently
            ndim, dtype = 4, np.dtype(np.float32)

            def __init__(self, shape):
                self.shape = shape

        with pytest.raises(ValueError) as ours:
            fn(Batch((4, 1, 2**15, 2**14)), 2)
        with pytest.raises(ValueError) as theirs:
            subsample_image_back(Batch((4, 1, 2**15, 2**14)), 2)
        assert str(ours.value) == str(theirs.value) and "2147483648" in str(ours.value)
        with pytest.raises(Exception) as below:
            fn(Batch((1, 1, 2**31 - 1, 1)), 1)
        assert "2147483647 elements" not in str(below.value) and cache() == {}


SOURCES = {
    "simple_copy_kernel": ["const float* __restrict__ input,", "float* __restrict__ output,",
                           "const int total_elements"],
    "gather_kernel": ["const float* __restrict__ input,", "float* __restrict__ output,",
                      "const long long* __restrict__ indices,", "const int total_elements"],
}
BODIES = {"simple_copy_kernel": ["// 単純なメモリコピー", "output[tid] = input[tid];"],
          "gather_kernel": ["// インデックスを使用してgather操作", "output[tid] = input[indices[tid]];"]}
BACK_DOC = (
    "\n\n    Args:\n        subsampled_images: Batch tensor with shape (N, C, H, W) where N = dim*dim or a list of"
    " images[H, W, C].\n        dim: Block size used in the original subsampling\n\n    Returns:\n"
    "        Reconstructed image with shape (H*dim, W*dim, C)\n    "
)


class TestModuleSurface:
    def test_body_order(self):
        names = ["cp", "np", "simple_copy_kernel_code", "simple_copy_kernel", "create_output_order_indices",
                 "_index_cache", "subsample_image_back_flattened", "gather_kernel_code", "gather_kernel",
                 "subsample_image_back_gather", "__test__"]
        assert [name for name in vars(weavepack) if name in names] == names
        assert (weavepack.cp, weavepack.np, weavepack.__test__) == (cp, np, {})

    @pytest.mark.parametrize("name", list(SOURCES))
    def test_kernel_sources_byte_for_byte(self, name):
        lines = ["", f'extern "C" __global__ void {name}(', *("    " + p for p in SOURCES[name]), ") {",
                 "    const int tid = blockIdx.x * blockDim.x + threadIdx.x;", "    if (tid >= total_elements) return;",
                 "    ", *("    " + b for b in BODIES[name]), "}", ""]
        code = vars(weavepack)[name + "_code"]
        assert type(code) is str and code.encode() == "\n".join(lines).encode()
        kernel = vars(weavepack)[name]
        assert (type(kernel), kernel.code, kernel.name) == (cp.RawKernel, code, name)

    def test_docstrings_and_annotations(self):
        assert build_map.__doc__ == "出力順序に合わせたインデックスマップを作成"
        assert subsample_image_back_flattened.__doc__ == "1次元化による最適化版のsubsample_image_back" + BACK_DOC
        assert subsample_image_back_gather.__doc__ == (
            "Gather操作を使用した最適化版\n\n    インデックスの並べ替えをせず、直接gather操作でデータを収集\n    ")
        assert build_map.__annotations__ == {} and build_map.__code__.co_varnames[:2] == ("batch_shape", "dim")
        for fn in INDEXED:
            assert fn.__annotations__ == {"subsampled_images": "cp.ndarray | list[cp.ndarray]", "dim": "int",
                                          "return": "cp.ndarray"}
            assert fn.__code__.co_filename == "src/zemvara_source/transform/weavepack"
