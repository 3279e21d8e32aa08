"""The workers that run a launch's blocks (the process's pool): every block
runs once, every worker flushes denormals as CuPy compiles kernels, and
launches from several host threads at once, or in a forked child, finish."""

import multiprocessing
import threading

import numpy as np
import pytest

import cupy as cp

SOURCE = r'''
extern "C" __global__ void count_scaled(float *counts, float *scaled, float value, float factor, int n) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    counts[i] += 1.0f;
    scaled[i] = value * factor;
}

extern "C" __global__ void count_scaled_shared(float *counts, float *scaled, float value, float factor, int n) {
    __shared__ float cell[128];
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    cell[threadIdx.x] = value * factor;
    __syncthreads();
    if (i >= n) return;
    counts[i] += 1.0f;
    scaled[i] = cell[blockDim.x - 1 - threadIdx.x];
}
'''
N = 1 << 16


def _launch(name, n=N):
    counts = cp.zeros(n, np.float32)
    scaled = cp.empty(n, np.float32)
    kernel = cp.RawModule(code=SOURCE).get_function(name)
    # 1e-30 * 1e-10 is below float32's smallest normal value: flushed to zero
    kernel(((n + 127) // 128,), (128,), (counts, scaled, np.float32(1e-30), np.float32(1e-10), np.int32(n)))
    return counts.get(), scaled.get()


@pytest.mark.parametrize('name', ['count_scaled', 'count_scaled_shared'])
def test_each_block_once_denormals_flushed_on_every_worker(monkeypatch, name):
    monkeypatch.setenv('HOSTDEVICE_THREADS', '4')  # helpers from the pool, whatever the CPUs
    counts, scaled = _launch(name)
    np.testing.assert_array_equal(counts, 1.0)
    assert not scaled.any()
    # the calling thread's own floating-point mode is as it was
    assert np.float32(1e-30) * np.float32(1e-10) != 0


def test_launches_from_several_host_threads(monkeypatch):
    monkeypatch.setenv('HOSTDEVICE_THREADS', '3')
    _launch('count_scaled')  # built once, before the threads race for it
    failures = []

    def launches():
        for _ in range(20):
            counts, scaled = _launch('count_scaled')
            if not (counts == 1).all() or scaled.any():
                failures.append(counts)

    threads = [threading.Thread(target=launches) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


def _child(queue):
    counts, scaled = _launch('count_scaled_shared')
    queue.put(bool((counts == 1).all() and not scaled.any()))


def test_a_forked_child_launches_with_workers_of_its_own(monkeypatch):
    monkeypatch.setenv('HOSTDEVICE_THREADS', '4')
    _launch('count_scaled_shared')  # the parent's pool is running
    context = multiprocessing.get_context('fork')
    queue = context.Queue()
    child = context.Process(target=_child, args=(queue,))
    child.start()
    child.join(120)
    assert child.exitcode == 0
    assert queue.get(timeout=5)
