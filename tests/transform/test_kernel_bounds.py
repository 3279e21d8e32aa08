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
    # The setter serves the host device's constructor, which assigns data (CuPy's sets it in C).
    data = property(lambda self: self._big.data, lambda self, value: cp.ndarray.data.__set__(self, value))


def misreporting(cls, dtype):
    real = cp.zeros((4, 1, 16, 16), dtype)  # sizes in whole 512-byte pool units, as a GPU allocates
    return cls(real.shape, real.dtype, memptr=real.data)


# The flattened variant copies from CuPy's own gather, which takes the array's
# real size, so only a misreported dtype reaches its kernel.
@pytest.mark.parametrize("function,cls,dtype,reads", [
    (BACK, ClaimsMoreRows, np.float32, "the batch holds 4096 bytes, the kernel reads 65536"),
    (GATHER, ClaimsMoreRows, np.float32, "the batch holds 4096 bytes, the kernel reads 65536"),
    (BACK, ClaimsFloat32, np.uint8, "the batch holds 1024 bytes, the kernel reads 4096"),
    (GATHER, ClaimsFloat32, np.uint8, "the batch holds 1024 bytes, the kernel reads 4096"),
    (FLATTENED, ClaimsFloat32, np.uint8, "the reordered batch holds 1024 bytes, the kernel reads 4096"),
    (BACK, ClaimsMoreRowsAndMemory, np.float32, "the batch holds 4096 bytes, the kernel reads 65536"),
    (GATHER, ClaimsMoreRowsAndMemory, np.float32, r"the batch holds \d+ bytes, the kernel reads 65536"),
])
def test_a_batch_smaller_than_its_attributes_is_refused(function, cls, dtype, reads):
    with pytest.raises(ValueError, match=f"^Array too small for the kernel: {reads}$"):
        function(misreporting(cls, dtype), 2)


@pytest.mark.parametrize("function", [BACK, GATHER])
def test_a_view_is_measured_from_its_offset_to_the_end_of_its_allocation(function):
    big = cp.arange(5 * 4096, dtype=cp.float32)
    inside = ClaimsMoreRows((4, 1, 16, 16), cp.float32, memptr=big.data + 4 * 4096)  # 4 x 4096 floats follow it
    expected = function(big[4096:].reshape(4, 1, 64, 64), 2)
    assert (function(inside, 2) == expected).all()
    past_the_end = ClaimsMoreRows((4, 1, 16, 16), cp.float32, memptr=big.data + 4 * 4 * 4096)  # 4096 floats follow
    with pytest.raises(ValueError, match="^Array too small for the kernel: the batch holds 16384 bytes, the kernel reads 65536$"):
        function(past_the_end, 2)


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
