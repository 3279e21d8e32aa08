"""The current device and stream are tracked, and every launch says where."""

import os

import numpy as np
import pytest

import cupy as cp
from cupy import _hostdevice, _memory

RAM = os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES')

KERNEL = cp.RawKernel(r'''
extern "C" __global__ void one(float* a) { a[threadIdx.x] = 1.0f; }''', 'one')


@pytest.fixture
def two_devices(monkeypatch):
    monkeypatch.setenv('HOSTDEVICE_DEVICES', '2')
    yield
    cp.cuda.runtime.setDevice(0)


class TestDevices:
    def test_count_and_default(self):
        assert cp.cuda.runtime.getDeviceCount() == 1
        assert cp.cuda.Device().id == 0

    def test_no_device(self, monkeypatch):
        monkeypatch.setenv('HOSTDEVICE_DEVICES', '0')
        with pytest.raises(cp.cuda.runtime.CUDARuntimeError):
            cp.cuda.runtime.getDeviceCount()

    def test_context_restores_previous_device(self, two_devices):
        with cp.cuda.Device(1) as dev:
            assert dev.id == 1 and cp.cuda.Device().id == 1
            a = cp.zeros(4, cp.float32)
            KERNEL((1,), (4,), (a,))
        assert cp.cuda.Device().id == 0
        assert a.device.id == 1 and a.data.device_id == 1
        assert _hostdevice.last_launch().device == 1
        assert _hostdevice.last_launch().arg_devices == (1,)

    def test_restored_after_exception(self, two_devices):
        with pytest.raises(KeyError):
            with cp.cuda.Device(1):
                raise KeyError
        assert cp.cuda.Device().id == 0

    def test_invalid_ordinal(self):
        with pytest.raises(cp.cuda.runtime.CUDARuntimeError,
                           match='invalid device ordinal'):
            with cp.cuda.Device(1):
                pass


    @pytest.mark.parametrize('as_text', [
        str, lambda n: repr((n + 0.5) / RAM * 100) + '%'])
    def test_memory_limit_refuses_each_device_like_cupy(
            self, two_devices, monkeypatch, as_text):
        cap = _memory._in_use.get(0, 0) + 4096
        monkeypatch.setenv('CUPY_GPU_MEMORY_LIMIT', as_text(cap))
        a = cp.empty(4096, cp.uint8)
        with pytest.raises(cp.cuda.memory.OutOfMemoryError):
            cp.empty(1, cp.uint8)
        with cp.cuda.Device(1):
            cp.empty(4096, cp.uint8)  # the other device holds its own
        del a
        cp.empty(4096, cp.uint8)  # what is freed counts no more


class TestStreams:
    def test_null_stream_by_default(self):
        assert cp.cuda.get_current_stream() == cp.cuda.Stream.null
        assert cp.cuda.Stream.null.ptr == 0
        KERNEL((1,), (1,), (cp.zeros(1, cp.float32),))
        assert _hostdevice.last_launch().stream == 0

    def test_launch_on_current_and_explicit_stream(self):
        s1, s2 = cp.cuda.Stream(), cp.cuda.Stream()
        assert s1.ptr not in (0, s2.ptr)
        a = cp.zeros(1, cp.float32)
        with s1:
            assert cp.cuda.get_current_stream() is s1
            KERNEL((1,), (1,), (a,))
            assert _hostdevice.last_launch().stream == s1.ptr
            with s2:
                KERNEL((1,), (1,), (a,))
                assert _hostdevice.last_launch().stream == s2.ptr
            KERNEL((1,), (1,), (a,), stream=s2)
            assert _hostdevice.last_launch().stream == s2.ptr
        assert cp.cuda.get_current_stream() == cp.cuda.Stream.null

    def test_streams_are_per_device(self, two_devices):
        s = cp.cuda.Stream()
        with s:
            with cp.cuda.Device(1):
                assert cp.cuda.get_current_stream() == cp.cuda.Stream.null
            assert cp.cuda.get_current_stream() is s

    def test_event_record_and_wait_are_logged(self):
        s1, s2 = cp.cuda.Stream(), cp.cuda.Stream()
        e = cp.cuda.Event()
        e.record(s1)
        s2.wait_event(e)
        assert list(_hostdevice.events)[-2:] == [
            ('record', e.ptr, s1.ptr, 0), ('wait', s2.ptr, e.ptr, 0)]
        e.synchronize()
        cp.cuda.Device().synchronize()

    def test_event_records_only_on_its_own_device(self, two_devices):
        """A stream may wait for another device's event, but CUDA refuses to record one there."""
        with cp.cuda.Device(1):
            s1, e1 = cp.cuda.Stream(), cp.cuda.Event()
        e0 = cp.cuda.Event()
        for stream in (s1, cp.cuda.Stream.null):
            with pytest.raises(cp.cuda.runtime.CUDARuntimeError, match='cudaErrorInvalidResourceHandle'):
                (e1 if stream is cp.cuda.Stream.null else e0).record(stream)
        e1.record(s1)
        cp.cuda.Stream().wait_event(e1)

    def test_array_interface_names_the_current_stream(self):
        a = cp.zeros(2)
        assert a.__cuda_array_interface__['stream'] == 1
        with cp.cuda.Stream() as s:
            assert a.__cuda_array_interface__['stream'] == s.ptr
        np.testing.assert_array_equal(a.get(), [0, 0])


def test_launch_log_is_bounded_and_cleared_per_test():
    assert len(_hostdevice.launches) == 0
    a = cp.zeros(1, cp.float32)
    before = _hostdevice.launch_count()
    for _ in range(_hostdevice.LOG_LENGTH + 5):
        KERNEL((1,), (1,), (a,))
    assert len(_hostdevice.launches) == _hostdevice.LOG_LENGTH
    assert _hostdevice.launch_count() - before == _hostdevice.LOG_LENGTH + 5


def test_device_copy_and_elapsed_time_between_events():
    a, b = cp.arange(8, dtype=cp.float32), cp.zeros(8, cp.float32)
    start, end = cp.cuda.Event(), cp.cuda.Event()
    with pytest.raises(cp.cuda.runtime.CUDARuntimeError):
        cp.cuda.get_elapsed_time(start, end)
    start.record()
    b.data.copy_from_device_async(a.data + 8, 16)
    end.record()
    assert cp.cuda.get_elapsed_time(start, end) >= 0
    np.testing.assert_array_equal(b.get(), [2, 3, 4, 5, 0, 0, 0, 0])
    with pytest.raises(ValueError, match='past an allocation'):
        b.data.copy_from_device(a.data + 8, 32)
