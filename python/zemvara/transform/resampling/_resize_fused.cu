// Resizes in one launch: each block filters along x the source rows its
// output tile needs into shared memory, then along y out of it.
//
// Compiled behind _filters.cuh (element types). The weight tables are those
// of the two-pass resize (_resize.cu): per destination column (row) the first
// tap of its window and a row of `stride` normalised weights. The sums run in
// the same order as the two passes along x then y, through the same float32
// intermediate values, so a fused resize gives the two passes' results.

namespace zemvara {

// The tile of a block: VALUES destination values a row (PIXELS pixels of NC
// channels), and the most x-filtered source rows shared memory holds
// (ROWS x VALUES floats, 32 KiB).
template <int NC>
struct FusedTile {
    static const int VALUES = NC == 3 ? 96 : 128;
    static const int PIXELS = VALUES / NC;
    static const int ROWS = 8192 / VALUES;
};

// RUN source rows of value v along x, the rows `row` apart from src (at the
// first tap of the column's window), each tap's weight loaded once for all of
// them; the sums into mid, VALUES apart.
template <int EI, int RUN, int VALUES>
__device__ __forceinline__ void fused_x_run(const typename Elem<EI>::T *src, float *mid, const float *w,
                                            int taps, int step, long long row) {
    const float4 *w4s = reinterpret_cast<const float4 *>(w);  // table rows are 16-byte aligned
    float acc[RUN];
#pragma unroll
    for (int r = 0; r < RUN; ++r) acc[r] = 0.0f;
    int t = 0, off = 0;
#pragma unroll 1
    for (; t + 4 <= taps; t += 4, off += 4 * step) {
        const float4 w4 = __ldg(w4s++);
#pragma unroll
        for (int r = 0; r < RUN; ++r) {
            const typename Elem<EI>::T *p = src + r * row + off;
            acc[r] += w4.x * Elem<EI>::load(p);
            acc[r] += w4.y * Elem<EI>::load(p + step);
            acc[r] += w4.z * Elem<EI>::load(p + 2 * step);
            acc[r] += w4.w * Elem<EI>::load(p + 3 * step);
        }
    }
#pragma unroll 1
    for (; t < taps; ++t, off += step) {
        const float wt = __ldg(w + t);
#pragma unroll
        for (int r = 0; r < RUN; ++r) acc[r] += wt * Elem<EI>::load(src + r * row + off);
    }
#pragma unroll
    for (int r = 0; r < RUN; ++r) mid[r * VALUES] = acc[r];
}

// One block per tile of PIXELS destination columns and tile_h rows (grid z
// counts the channel groups); blockDim.x == VALUES, thread x is channel x % NC
// of the tile's pixel x / NC, the block's rows share out the work. spans holds
// per tile row the first source row its windows read and how many rows from
// there (at most ROWS: the caller checks). Strides in elements, as in
// resize_pass.
template <int EI, int EO, int NC>
__global__ void resize_fused(const typename Elem<EI>::T *__restrict__ src, typename Elem<EO>::T *__restrict__ dst,
                             const float *__restrict__ wx, const int *__restrict__ ox, int taps_x, int stride_x,
                             const float *__restrict__ wy, const int *__restrict__ oy, int taps_y, int stride_y,
                             const int *__restrict__ spans, int tile_h, int out_w, int out_h, long long src_sy,
                             long long src_sx, long long src_sg, long long dst_sy, long long dst_sx,
                             long long dst_sg) {
    typedef FusedTile<NC> Tile;
    __shared__ float mid[Tile::ROWS * Tile::VALUES];
    const int v = threadIdx.x;
    const int pixel = v / NC, c = v - pixel * NC;
    const int px = blockIdx.x * Tile::PIXELS + pixel;
    const int first = __ldg(spans + 2 * blockIdx.y), rows = __ldg(spans + 2 * blockIdx.y + 1);
    src += blockIdx.z * src_sg;
    dst += blockIdx.z * dst_sg;
    // Along x: the tile's source rows, runs of four a thread sharing the column's weights.
    if (px < out_w) {
        const float *w = wx + px * stride_x;
        const typename Elem<EI>::T *p = src + first * src_sy + __ldg(ox + px) * src_sx + c;
        const int step = (int)src_sx;  // a window's span stays below 2^31 elements (the caller checks)
        int r = 4 * threadIdx.y;
        for (; r + 4 <= rows; r += 4 * blockDim.y)
            fused_x_run<EI, 4, Tile::VALUES>(p + r * src_sy, mid + r * Tile::VALUES + v, w, taps_x, step, src_sy);
        for (; r < rows; ++r)  // the partial run at the end, where it falls to this thread
            fused_x_run<EI, 1, Tile::VALUES>(p + r * src_sy, mid + r * Tile::VALUES + v, w, taps_x, step, src_sy);
    }
    __syncthreads();
    // Along y, out of shared memory: the rows of the tile, blockDim.y apart.
    if (px < out_w) {
        const int y1 = min(blockIdx.y * tile_h + tile_h, out_h);
        for (int y = blockIdx.y * tile_h + threadIdx.y; y < y1; y += blockDim.y) {
            const float *w = wy + y * stride_y;
            const float4 *w4s = reinterpret_cast<const float4 *>(w);
            const float *m = mid + (__ldg(oy + y) - first) * Tile::VALUES + v;
            float acc = 0.0f;
            int t = 0;
#pragma unroll 1
            for (; t + 4 <= taps_y; t += 4, m += 4 * Tile::VALUES) {
                const float4 w4 = __ldg(w4s++);
                acc += w4.x * m[0];
                acc += w4.y * m[Tile::VALUES];
                acc += w4.z * m[2 * Tile::VALUES];
                acc += w4.w * m[3 * Tile::VALUES];
            }
#pragma unroll 1
            for (; t < taps_y; ++t, m += Tile::VALUES) acc += __ldg(w + t) * m[0];
            dst[y * dst_sy + px * dst_sx + c] = Elem<EO>::store(acc);
        }
    }
}

}  // namespace zemvara
