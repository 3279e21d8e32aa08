"""The kernel report's SASS executor on shared memory and barriers (kernelcheck/sass_paths.py).

The compiled checks need nvcc and nvdisasm in .venv-tools (`make
kernel-report` installs them) and skip without them.
"""

import numpy as np
import pytest

from kernelcheck import compiled, cost, sass_paths

# A block-tile transpose through a 32 x STRIDE shared tile (block 32 x 8, four rows a
# thread), a 1-D three-tap stencil reading its tile through a generic pointer, a kernel
# reading one element past its tile and one reading its tile without a barrier.
SOURCE = r"""
template <int STRIDE>
__global__ void transpose(const float *src, float *dst, int n) {
    __shared__ float tile[32][STRIDE];
    int x = blockIdx.x * 32 + threadIdx.x, y = blockIdx.y * 32 + threadIdx.y;
    for (int k = 0; k < 32; k += 8)
        tile[threadIdx.y + k][threadIdx.x] = src[(y + k) * n + x];
    __syncthreads();
    x = blockIdx.y * 32 + threadIdx.x;
    y = blockIdx.x * 32 + threadIdx.y;
    for (int k = 0; k < 32; k += 8)
        dst[(y + k) * n + x] = tile[threadIdx.x][threadIdx.y + k];
}

__global__ void stencil(const float *src, float *dst, int n) {
    __shared__ float tile[34];
    int i = blockIdx.x * 32 + threadIdx.x;
    tile[threadIdx.x + 1] = src[i];
    if (threadIdx.x == 0) tile[0] = i > 0 ? src[i - 1] : 0.f;
    if (threadIdx.x == 31) tile[33] = i + 1 < n ? src[i + 1] : 0.f;
    __syncthreads();
    // Either space, as far as the compiler knows: generic loads.
    const float *taps = n > 0 ? tile + threadIdx.x : src + i;
    dst[i] = taps[0] + taps[1] + taps[2];
}

__global__ void overrun(float *dst) {
    __shared__ float tile[32];
    tile[threadIdx.x] = 1.f;
    __syncthreads();
    dst[threadIdx.x] = tile[threadIdx.x + 1];
}

__global__ void unsynced(float *dst) {
    __shared__ float tile[32];
    tile[threadIdx.x] = threadIdx.x;
    dst[threadIdx.x] = tile[31 - threadIdx.x];
}
"""
EXPRESSIONS = ["transpose<32>", "transpose<33>", "stencil", "overrun", "unsynced"]


@pytest.mark.parametrize("width, address, expected", [
    (4, lambda lane: 4 * lane, 1),  # a row of words: one in every bank
    (4, lambda lane: 0, 1),  # one word read by every lane
    (1, lambda lane: lane, 1),  # bytes, four to a word
    (4, lambda lane: 8 * lane, 2),  # every other word: two in each bank used
    (4, lambda lane: 128 * lane, 32),  # a column of a 32-float tile: all in one bank
    (4, lambda lane: 132 * lane, 1),  # the same column of a 33-float tile
    (8, lambda lane: 8 * lane, 2),  # float2 rows: two phases of 16 lanes
    (8, lambda lane: 16 * lane, 4),  # float2 every 16 bytes: two words a bank a phase
    (16, lambda lane: 16 * lane, 4),  # float4 rows: four phases of 8 lanes
    (16, lambda lane: 0, 4),  # one float4 read by every lane: one wavefront a phase
])  # fmt: skip
def test_wavefronts_count_bank_conflicts(width, address, expected):
    assert sass_paths.wavefronts([(lane, address(lane), width) for lane in range(32)]) == expected


def test_shared_memory_races_between_barriers():
    shared = sass_paths.SharedMemory(0x500)
    shared.write(0x400, b"\1\0\0\0", thread=0)
    shared.write(0x400, b"\1\0\0\0", thread=1)  # the same value from two threads: a halo both load
    assert shared.read(0x400, 4, thread=1) == b"\1\0\0\0"
    shared.write(0x404, b"\7\0\0\0", thread=0)
    with pytest.raises(sass_paths.EmulationError, match="thread 2 reads 0x404, written by thread 0"):
        shared.read(0x404, 4, thread=2)
    with pytest.raises(sass_paths.EmulationError, match="write different values"):
        shared.write(0x404, b"\2\0\0\0", thread=3)
    shared.epoch += 1  # a barrier: every thread sees what the block wrote
    assert shared.read(0x404, 4, thread=2) == b"\7\0\0\0"
    shared.write(0x408, b"\5\0\0\0", thread=5)  # its neighbour's word: no clash
    with pytest.raises(sass_paths.EmulationError, match="misaligned"):
        shared.read(0x402, 4, thread=0)


def test_occupancy_counts_shared_memory_per_block():
    # 48 KB + 1 KB reserved a block: 4 blocks of 8 warps fit in 228 KB, not the 8 registers allow.
    assert cost.occupancy(32, 256, 48 * 1024) == 4 * 8 / 64
    assert cost.occupancy(32, 256, 0) == 1.0
    with pytest.raises(ValueError):
        cost.occupancy(32, 256, 228 * 1024)



def test_a_store_is_seen_by_later_loads_of_any_width():
    memory = sass_paths.Memory()
    base = memory.add("array", 8, bytes(8))
    memory.write(base + 1, b"\x01\x02")
    memory.write(base + 2, b"\x03")
    assert memory.read(base, 4) == b"\x00\x01\x03\x00"


needs_tools = pytest.mark.skipif(not compiled.have_tools(), reason="no nvcc and nvdisasm in .venv-tools")


@pytest.fixture(scope="module")
def kernels(tmp_path_factory):
    return compiled.compile_kernels(SOURCE, EXPRESSIONS, tmp_path_factory.mktemp("kernels"))[0]


def _block(kernel, args, grid, block, block_idx, memory):
    bank = sass_paths.geometry(sass_paths.pack_params(kernel["types"], args), grid, block)
    return sass_paths.block_counts(kernel["program"], memory, bank, grid, block, block_idx, kernel["shared_end"])


@needs_tools
@pytest.mark.parametrize("stride, read_wavefronts", [(32, 32), (33, 1)])
def test_transpose_through_a_shared_tile(kernels, stride, read_wavefronts):
    import cupy as cp

    kernel = kernels[f"transpose<{stride}>"]
    program = kernel["program"]
    assert kernel["shared"] == 32 * stride * 4 and program.barriers
    # The hand trace: straight-line code (no branch), so every thread runs each instruction up
    # to the EXIT once: 4 global loads, 4 shared stores (one row of the tile a warp: one
    # wavefront each), the barrier, 4 shared loads (one column a warp: 32 wavefronts each,
    # 1 with the row padded to 33 floats), 4 global stores.
    path = program.order[: program.order.index(next(a for a in program.order if program.code[a].op == "EXIT")) + 1]
    ops = [program.code[a].op for a in path]
    assert not {"BRA", "BRX", "CALL"} & set(ops)
    assert [ops.count(op) for op in ("LDG", "STS", "BAR", "LDS", "STG")] == [4, 4, 1, 4, 4]
    per_warp = len(path)

    # One block of a 64 x 64 transpose: every warp counted, the tile read after every warp wrote it.
    n = 64
    memory = sass_paths.Memory()
    src = np.arange(n * n, dtype=np.float32)
    src_at, dst_at = memory.add("src", src.nbytes, src.tobytes()), memory.add("dst", src.nbytes)
    warps = _block(kernel, [src_at, dst_at, n], (2, 2, 1), (32, 8, 1), (1, 0, 0), memory)
    assert len(warps) == 8
    for issued, sectors, shared, threads in warps:
        assert issued == per_warp and {t.count for t in threads} == {per_warp}
        assert sorted(shared) == [("load", read_wavefronts)] * 4 + [("store", 1)] * 4
        assert sorted(sectors) == [("load", 4)] * 4 + [("store", 4)] * 4
    got = [np.frombuffer(memory.written[dst_at + 4 * (r * n + c)], np.float32)[0] for r in range(32, 64) for c in range(32)]
    assert np.array_equal(got, src.reshape(n, n)[:32, 32:].T.ravel())

    # The report's figures of the whole launch: 4 blocks of 8 warps, every warp as above.
    launch = compiled.Launch(f"transpose<{stride}>", (2, 2), (32, 8), (cp.zeros(n * n, cp.float32),
                                                                          cp.zeros(n * n, cp.float32), n))  # fmt: skip
    fig = cost.emulate(launch, kernel, warps=16)
    assert fig["blocks"] == 4 and fig["warps"] == 32
    assert fig["warp_instructions"] == 32 * per_warp
    assert (fig["shared_requests"], fig["shared_wavefronts"]) == (32 * 8, 32 * (4 + 4 * read_wavefronts))
    assert (fig["load_sectors"], fig["store_sectors"]) == (32 * 16, 32 * 16)
    l1 = cost.launch_times(fig)[2]
    assert l1 == pytest.approx((32 * 32 / 4 + 32 * (4 + 4 * read_wavefronts)) / (132 * 1.755e9) * 1e6)


@needs_tools
def test_stencil_reads_its_tile_through_a_generic_pointer(kernels):
    kernel = kernels["stencil"]
    n = 64
    memory = sass_paths.Memory()
    src = np.arange(1, n + 1, dtype=np.float32)
    src_at, dst_at = memory.add("src", src.nbytes, src.tobytes()), memory.add("dst", src.nbytes)
    (_, _, shared, _), = _block(kernel, [src_at, dst_at, n], (2, 1, 1), (32, 1, 1), (1, 0, 0), memory)
    got = [np.frombuffer(memory.written[dst_at + 4 * i], np.float32)[0] for i in range(32, 64)]
    padded = np.concatenate([src, [0]])
    assert got == [padded[i - 1] + padded[i] + padded[i + 1] for i in range(32, 64)]
    # Three generic loads of 32 consecutive words each, one wavefront apiece; the stores:
    # one row, the two halo words from one lane each.
    assert sorted(f for kind, f in shared if kind == "load") == [1, 1, 1]
    assert sorted(f for kind, f in shared if kind == "store") == [1, 1, 1]


@needs_tools
@pytest.mark.parametrize("name, message", [
    ("overrun", "outside the block's shared memory"),
    ("unsynced", "race: thread 16 writes 0x442, read by thread 15"),  # tile[16]'s 16.0f over 0.0f
])  # fmt: skip
def test_faulty_shared_access_is_an_error(kernels, name, message):
    memory = sass_paths.Memory()
    dst = memory.add("dst", 128)
    with pytest.raises(sass_paths.EmulationError, match=message):
        _block(kernels[name], [dst], (1, 1, 1), (32, 1, 1), (0, 0, 0), memory)
