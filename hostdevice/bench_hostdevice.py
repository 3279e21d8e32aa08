"""Timings of the host device: kernel compilation and an 8M-element launch.

Run with the host device first on sys.path (PYTHONPATH=hostdevice).
"""

import os
import statistics
import sys
import tempfile
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import numpy  # NOQA: E402

import cupy  # NOQA: E402
from cupy import _kernel, _nvrtc  # NOQA: E402

_SOURCE = r'''
extern "C" __global__ void bench_scale_kernel(
    const float* __restrict__ input,
    float* __restrict__ output,
    const float factor,
    const int total_elements
) {
    const int tid = blockIdx.x * blockDim.x + threadIdx.x;
    if (tid >= total_elements) return;
    output[tid] = input[tid] * factor;
}
'''
N = 8 * 1024 * 1024


def _timed(f, repeat=1):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    rows = []
    with tempfile.TemporaryDirectory() as cache:
        os.environ['HOSTDEVICE_CACHE_DIR'] = cache
        _kernel._loaded.clear()
        kernel = cupy.RawKernel(_SOURCE, 'bench_scale_kernel')
        rows.append(('first compile (g++ + NVRTC)', _timed(
            lambda: kernel.kernel)))
        if _nvrtc.available():
            opts = _nvrtc.gpu_options(())
            rows.append(('  of which NVRTC', _timed(
                lambda: _nvrtc.compile(_SOURCE, opts))))
        _kernel._loaded.clear()
        again = cupy.RawKernel(_SOURCE, 'bench_scale_kernel')
        rows.append(('cached compile (disk cache)', _timed(
            lambda: again.kernel)))
        again2 = cupy.RawKernel(_SOURCE, 'bench_scale_kernel')
        rows.append(('cached compile (in process)', _timed(
            lambda: again2.kernel)))

        x = cupy.asarray(numpy.random.rand(N).astype(numpy.float32))
        y = cupy.empty(N, cupy.float32)
        grid = ((N + 255) // 256, 1, 1)
        args = (x, y, numpy.float32(2), numpy.int32(N))
        kernel(grid, (256, 1, 1), args)
        rows.append(('RawKernel, 8M elements, {} threads'.format(
            _kernel._workers()), _timed(
                lambda: kernel(grid, (256, 1, 1), args), 5)))
        saved = os.environ.get('HOSTDEVICE_THREADS')
        os.environ['HOSTDEVICE_THREADS'] = '1'
        rows.append(('RawKernel, 8M elements, 1 thread', _timed(
            lambda: kernel(grid, (256, 1, 1), args), 3)))
        if saved is None:
            del os.environ['HOSTDEVICE_THREADS']
        else:
            os.environ['HOSTDEVICE_THREADS'] = saved
        ek = cupy.ElementwiseKernel('T x', 'T y', 'y = x * (T)2',
                                    'bench_double')
        ek(x, y)
        rows.append(('ElementwiseKernel, 8M elements', _timed(
            lambda: ek(x, y), 5)))
        host = numpy.random.rand(N).astype(numpy.float32)
        rows.append(('NumPy x * 2, 8M elements (reference)', _timed(
            lambda: host * numpy.float32(2), 5)))
        assert numpy.array_equal(y.get(), x.get() * 2)
        del os.environ['HOSTDEVICE_CACHE_DIR']

    nvrtc = _nvrtc.library_path()
    print('host device benchmark (NVRTC: {})'.format(nvrtc or 'not found'))
    width = max(len(r[0]) for r in rows)
    for label, seconds in rows:
        print('  {:<{}}  {:9.1f} ms'.format(label, width, seconds * 1e3))
    return 0


if __name__ == '__main__':
    sys.exit(main())
