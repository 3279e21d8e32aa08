"""Shared memory and __syncthreads: a block's threads see each other's writes
after a barrier, each block has its own shared arrays, and a thread that ends
early does not hold the others at a barrier."""

import numpy as np
import pytest

import cupy as cp

# A tiled transpose that also sums each tile's column through shared memory
# in a loop of barriers (a tree reduction), so a barrier inside a loop and
# reads of other threads' writes are both exercised.
SOURCE = r'''
#define T 16
extern "C" __global__ void transpose_sum(const float *a, float *out, float *sums,
                                         int rows, int cols) {
    __shared__ float tile[T][T + 1];
    __shared__ float column[T][T];
    const int x = blockIdx.x * T + threadIdx.x, y = blockIdx.y * T + threadIdx.y;
    const float v = (x < cols && y < rows) ? a[y * cols + x] : 0.0f;
    tile[threadIdx.y][threadIdx.x] = v;
    column[threadIdx.x][threadIdx.y] = v;
    __syncthreads();
    const int tx = blockIdx.y * T + threadIdx.x, ty = blockIdx.x * T + threadIdx.y;
    if (tx < rows && ty < cols) out[ty * rows + tx] = tile[threadIdx.x][threadIdx.y];
    for (int half = T / 2; half > 0; half /= 2) {
        if (threadIdx.y < half) column[threadIdx.x][threadIdx.y] += column[threadIdx.x][threadIdx.y + half];
        __syncthreads();
    }
    if (threadIdx.y == 0 && x < cols) sums[blockIdx.y * cols + x] = column[threadIdx.x][0];
}

extern "C" __global__ void early_exit(float *out, int n) {
    __shared__ float cell[64];
    const int i = threadIdx.x;
    if (i >= n) return;   // these threads take no part in the barrier
    cell[i] = (float)i;
    __syncthreads();
    out[blockIdx.x * 64 + i] = cell[n - 1 - i];
}
'''


@pytest.mark.parametrize('rows, cols', [(16, 16), (37, 300), (300, 211)])
def test_tiles_through_shared_memory(rows, cols):
    a = np.random.default_rng(rows).random((rows, cols), dtype=np.float32)
    module = cp.RawModule(code=SOURCE)
    grid_y = (rows + 15) // 16
    out = cp.empty((cols, rows), np.float32)
    sums = cp.empty((grid_y, cols), np.float32)
    module.get_function('transpose_sum')(((cols + 15) // 16, grid_y), (16, 16),
                                         (cp.asarray(a), out, sums, np.int32(rows), np.int32(cols)))
    np.testing.assert_array_equal(out.get(), a.T)
    padded = np.zeros((grid_y * 16, cols), np.float32)
    padded[:rows] = a
    np.testing.assert_allclose(sums.get(), padded.reshape(grid_y, 16, cols).sum(1), rtol=1e-6)


def test_threads_that_end_early_leave_the_barrier_to_the_rest():
    out = cp.zeros((3, 64), np.float32)
    cp.RawModule(code=SOURCE).get_function('early_exit')((3,), (64,), (out, np.int32(40)))
    want = np.zeros(64, np.float32)
    want[:40] = np.arange(39, -1, -1)
    np.testing.assert_array_equal(out.get(), np.tile(want, (3, 1)))
