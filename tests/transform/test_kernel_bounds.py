"""The reconstruction and resampling kernels never touch memory outside their arrays, whatever an array's attributes claim."""

import cupy as cp
import numpy as np
import pytest

import zemvara.transform.subsample as sub
from zemvara.transform import schema
from zemvara.transform.affine import affine_transform
from zemvara.transform.resampling import nearest
from zemvara.transform.resize import resize
import zemvara.transform.weavepack as weave

BACK, FLATTENED, GATHER = sub.subsample_image_back, weave.subsample_image_back_flattened, weave.subsample_image_back_gather


class ClaimsMoreRows(cp.ndarray):
    """A batch whose shape attribute says more than its memory holds."""

    @property
    def shape(self):
        return (4, 1, 64, 64)


class ClaimsFloat32(cp.ndarray):
    """A uint8 batch whose dtype attribute says float32 (four times the bytes)."""

    @property
    def dtype(self):
        return np.dtype(np.float32)


class ClaimsMoreRowsAndMemory(ClaimsMoreRows):
    """...and whose data attribute points into an allocation large enough for that shape."""

    _big = cp.zeros(4 * 64 * 64, cp.float32)
    data = property(lambda self: self._big.data)


class ClaimsContiguous(cp.ndarray):
    """A strided view whose strides attribute says it is C-contiguous."""

    @property
    def strides(self):
        return (1024, 1024, 64, 4)


class ShapeFlips(cp.ndarray):
    """Tells the truth about its shape at the first read, then claims (2**23, 2**23, 1, 1)."""

    __slots__ = ("reads",)

    @property
    def shape(self):
        self.reads = getattr(self, "reads", 0) + 1
        return cp.ndarray.shape.__get__(self) if self.reads == 1 else (2**23, 2**23, 1, 1)


@pytest.mark.parametrize("function", [BACK, FLATTENED, GATHER])
@pytest.mark.parametrize("cls,dtype,strided", [
    (ClaimsMoreRows, np.float32, False), (ClaimsFloat32, np.uint8, False), (ClaimsMoreRowsAndMemory, np.float32, False),
    (ClaimsContiguous, np.float32, True), (ShapeFlips, np.float32, False),
])
def test_the_kernels_see_what_the_array_holds_whatever_its_attributes_claim(function, cls, dtype, strided):
    # Once lies about shape, dtype or data passed the checks and the kernels read past the memory; now an
    # array is read once, through cp.ndarray's own fields, and the result is that of the array it really is.
    real = cp.asarray(np.random.default_rng(1).integers(0, 200, (4, 1, 16, 32 if strided else 16)).astype(dtype))
    real = real[..., ::2] if strided else real
    lying = cls(real.shape, real.dtype, memptr=real.data, strides=real.strides)
    np.testing.assert_array_equal(cp.asnumpy(function(lying, 2)), cp.asnumpy(function(real, 2)))


@pytest.mark.parametrize("function", [BACK, GATHER])
def test_a_view_is_measured_from_its_offset_to_the_end_of_its_allocation(function):
    big = cp.arange(5 * 4096, dtype=cp.float32)
    inside = cp.ndarray((4, 1, 64, 64), cp.float32, memptr=big.data + 4 * 4096)  # exactly 4 x 4096 floats follow it
    assert (function(inside, 2) == function(big[4096:].reshape(4, 1, 64, 64), 2)).all()


def test_an_output_smaller_than_asked_is_refused(monkeypatch):
    class SmallEmpty:
        def __getattr__(self, name):
            return getattr(cp, name)

        @staticmethod
        def empty(shape, dtype):
            return cp.empty(256, dtype)

    monkeypatch.setitem(vars(sub), "cp", SmallEmpty())
    with pytest.raises(ValueError, match="^Array too small for the kernel: the output holds 1024 bytes, the kernel writes 4096$"):
        BACK(cp.zeros((4, 1, 16, 16), cp.float32), 2)


@pytest.mark.parametrize("function", [BACK, GATHER])
def test_a_batch_on_another_device_is_refused(function, device, monkeypatch):
    if device == "host":
        monkeypatch.setenv("HOSTDEVICE_DEVICES", "2")  # the host device simulates that many
    if cp.cuda.runtime.getDeviceCount() < 2:
        pytest.skip("needs two CUDA devices")
    with cp.cuda.Device(1):
        batch = cp.zeros((4, 1, 16, 16), cp.float32)
    with pytest.raises(ValueError, match="^Array on another device: the batch is on device 1, the kernel runs on device 0$"):
        function(batch, 2)


# ---- resampling: subclasses that lie, consistently or only after some reads ----


def liar(attr, lie, truthful_reads=0):
    """A float32 (8, 8, 3) array whose attribute `attr` tells the truth for some reads, then `lie`."""

    def get(self):
        self.reads = getattr(self, "reads", 0) + 1
        return getattr(cp.ndarray, attr).__get__(self) if self.reads <= truthful_reads else lie

    cls = type("Liar", (cp.ndarray,), {"__slots__": ("reads",), attr: property(get)})
    real = cp.asarray(np.arange(8 * 8 * 3, dtype=np.float32).reshape(8, 8, 3) / 192)
    return cls(real.shape, real.dtype, memptr=real.data), real


LIES = {
    "dtype_uint8": ("dtype", np.dtype(np.uint8)),
    "dtype_float16": ("dtype", np.dtype(np.float16)),
    "itemsize": ("itemsize", 1),
    "shape_huge": ("shape", (2**23, 2**23, 3)),
    "shape_smaller": ("shape", (4, 4, 3)),
    "strides": ("strides", (0, 0, 0)),
}
WARP_M = np.float32([[0.9, 0.1, 0.5], [-0.1, 0.9, 0.5]])


def _run(entry, image):
    if entry == "resize":
        return resize(image, (5, 6), schema.INTER_LANCZOS3)
    return affine_transform(image, WARP_M, (6, 5), schema.INTER_CUBIC)


@pytest.mark.parametrize("entry", ["resize", "affine_transform"])
@pytest.mark.parametrize("lie", LIES.values(), ids=LIES.keys())
@pytest.mark.parametrize("truthful_reads", [0, 1, 10])
def test_lying_images_are_refused_or_read_as_they_are(entry, lie, truthful_reads):
    # Lies from the first read are refused; a lie that starts later cannot
    # reach a kernel, which works from the array's own descriptors only.
    image, real = liar(*lie, truthful_reads)
    try:
        got = _run(entry, image)
    except ValueError as exc:
        assert "image" in str(exc) or "src" in str(exc)
        return
    np.testing.assert_array_equal(cp.asnumpy(got), cp.asnumpy(_run(entry, real)))


@pytest.mark.parametrize("what", ["src", "output_image"])
def test_a_consistent_lie_about_shape_and_memory_is_refused(what):
    # Shape and data pointer agree with each other (a larger allocation), not with the array's memory.
    class Consistent(cp.ndarray):
        _big = cp.zeros(64 * 8 * 3, cp.float32)
        shape = property(lambda self: (64, 8, 3))
        data = property(lambda self: self._big.data, lambda self, value: cp.ndarray.data.__set__(self, value))

    small = cp.zeros((8, 8, 3), cp.float32)
    liar_array = Consistent(small.shape, small.dtype, memptr=small.data)
    src, out = (liar_array, cp.zeros((8, 8, 3), cp.float32)) if what == "src" else (small, liar_array)
    src_h = 64 if what == "src" else 8
    out_h = 64 if what == "output_image" else 8
    m = cp.asarray(WARP_M.ravel())
    with pytest.raises(ValueError, match=f"nearest_affine_kernel: {what} reports shape"):
        nearest.nearest_affine_kernel((1, 4), (16, 16, 1), (src, out, m, src_h, 8, out_h, 8))


@pytest.mark.parametrize("grid, block, fits", [
    ((1, 1), (16, 16, 1), True),
    ((2, 2), (16, 16, 1), True),  # one block past the output on each axis
    ((4, 1), (1, 16, 1), True),
    ((3, 1), (16, 16, 1), False),
    ((1, 1), (2, 2, 1), False),  # misses most of the output
    ((2**31 - 1, 65535), (16, 16, 1), False),  # would run for hours
    ((1, 1, 2), (16, 16, 1), False),
    ((1, 1), (0, 16, 1), False),
])  # fmt: skip
def test_launches_must_cover_the_output_and_not_run_far_past_it(grid, block, fits):
    src, out = cp.ones((8, 8, 3), cp.float32), cp.zeros((4, 4, 3), cp.float32)
    args = (src, out, cp.asarray(np.float32([1, 0, 0, 0, 1, 0])), 8, 8, 4, 4)
    if fits:
        nearest.nearest_affine_kernel(grid, block, args)
        assert (out == 1).all()
    else:
        with pytest.raises(ValueError, match="does not fit an output of width 4 and height 4"):
            nearest.nearest_affine_kernel(grid, block, args)


def test_an_output_taller_than_the_grid_can_reach_is_refused_by_name():
    # 1_048_561 rows in blocks of 16 take 65536 blocks along y, one more than a grid holds.
    src, out = cp.ones((8, 8, 3), cp.float32), cp.zeros((1_048_561, 1, 3), cp.float32)
    args = (src, out, cp.asarray(np.float32([1, 0, 0, 0, 1, 0])), 8, 8, 1_048_561, 1)
    with pytest.raises(ValueError, match="65535 along y"):
        nearest.nearest_affine_kernel((1, 65536), (16, 16, 1), args)
