"""The reconstruction kernels never touch memory outside their arrays, whatever an array's attributes claim."""

import cupy as cp
import numpy as np
import pytest

import zemvara.transform.subsample as sub
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
