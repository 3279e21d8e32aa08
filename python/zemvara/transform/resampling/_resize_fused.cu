// Resizes in one launch: each block filters the source along one axis, the
// part its output tile needs, into shared memory, then along the other axis
// out of it.
//
// Compiled behind _filters.cuh (element types) and _taps.cuh (vector loads). The weight tables are those
// of the two-pass resize (_resize.cu): per destination row (column) the first
// tap of its window and a row of `stride` normalised weights. The sums run in
// the same order as the two passes in the same axis order, through the same
// float32 intermediate values, so a fused resize gives those passes' results.
//
// Along y first, a warp reads a run of adjacent source values a tap (full
// sectors, the tap's weight the same for the whole warp), and the taps along
// x come out of shared memory; along x first, each thread reads its column's
// taps from the source, and the taps along y come out of shared memory.

namespace zemvara {

// The tile of a block: VALUES destination values a row (PIXELS pixels of NC
// channels), and the floats of shared memory its filtered rows may take.
template <int NC>
struct FusedTile {
    static const int VALUES = NC == 3 ? 96 : 128;
    static const int PIXELS = VALUES / NC;
    static const int FLOATS = 8192;  // 32 KiB
    // sRGB-encoded uint8 (U8_SRGB) along y first in quads: the tile's source rows decoded once
    // into shared memory after its filtered rows, both in these floats (48 KiB).
    static const int LINEAR_FLOATS = 12288;
};

#if !defined(__CUDA_ARCH__)
// Host builds: decoded source rows, in a buffer of the calling thread's that grows to the
// largest asked for.
static inline float *host_stage(long long floats) {
    static thread_local float *buffer = nullptr;
    static thread_local long long held = 0;
    if (floats > held) {
        delete[] buffer;
        buffer = new float[floats];
        held = floats;
    }
    return buffer;
}

// n sRGB-encoded bytes from p decoded into q and q2 (the values Elem<U8_SRGB>::load gives).
static inline void decode_row_host(const unsigned char *p, float *q, float *q2, int n) {
    for (int v = 0; v < n; ++v) q[v] = q2[v] = srgb_decoded[p[v]];
}
#endif

// Four sRGB-encoded bytes from p (aligned to four) in linear light, into shared memory at q
// (16-byte aligned): each source value of a tile decoded once, not at every tap that reads it.
__device__ __forceinline__ void decode_quad(const unsigned char *p, float *q) {
    const unsigned int word = __ldg(reinterpret_cast<const unsigned int *>(p));
    float4 v;
    v.x = __ldg(srgb_decoded + (word & 0xffu));
    v.y = __ldg(srgb_decoded + (word >> 8 & 0xffu));
    v.z = __ldg(srgb_decoded + (word >> 16 & 0xffu));
    v.w = __ldg(srgb_decoded + (word >> 24));
    *reinterpret_cast<float4 *>(q) = v;
}

// RUN runs of four adjacent float values along y in shared memory, 128 values apart (p at the
// first value's first tap, taps `row` floats apart), as fused_y_quads sums them from the source.
template <int RUN>
__device__ __forceinline__ void fused_y_quads_shared(const float *p, float *mid, const float *w, int taps, int row) {
    const float4 *w4s = reinterpret_cast<const float4 *>(w);
    float acc[RUN][4];
#pragma unroll
    for (int r = 0; r < RUN; ++r)
#pragma unroll
        for (int k = 0; k < 4; ++k) acc[r][k] = 0.0f;
    int t = 0;
#pragma unroll 1
    for (; t + 4 <= taps; t += 4) {
        const float4 w4 = __ldg(w4s++);
        const float wt[4] = {w4.x, w4.y, w4.z, w4.w};
#pragma unroll
        for (int j = 0; j < 4; ++j, p += row) {
#pragma unroll
            for (int r = 0; r < RUN; ++r) {
                const float4 v = *reinterpret_cast<const float4 *>(p + r * 128);
                acc[r][0] += wt[j] * v.x, acc[r][1] += wt[j] * v.y, acc[r][2] += wt[j] * v.z, acc[r][3] += wt[j] * v.w;
            }
        }
    }
#pragma unroll 1
    for (; t < taps; ++t, p += row) {
        const float wt = __ldg(w + t);
#pragma unroll
        for (int r = 0; r < RUN; ++r) {
            const float4 v = *reinterpret_cast<const float4 *>(p + r * 128);
            acc[r][0] += wt * v.x, acc[r][1] += wt * v.y, acc[r][2] += wt * v.z, acc[r][3] += wt * v.w;
        }
    }
#pragma unroll
    for (int r = 0; r < RUN; ++r)
#pragma unroll
        for (int k = 0; k < 4; ++k) mid[r * 128 + k] = acc[r][k];
}

// Float32 values in shared memory, read and written as an element type's
// (Elem's loads go through the read-only global path, which shared memory is not).
struct SharedF32 {
    typedef float T;
    static __device__ __forceinline__ float load(const float *p) { return *p; }
    static __device__ __forceinline__ float store(float v) { return v; }
};

// RUN sums of `taps` weighted values each, the r-th from p + r * run and its
// taps `tap` elements apart (TAP, RUN_STEP: the same known at compile time,
// 0 where they are not), each tap's weight loaded once for all of them; the
// results `out_step` apart from out.
template <class In, class Out, int RUN, int TAP, int RUN_STEP>
__device__ __forceinline__ void fused_run(const typename In::T *p, typename Out::T *out,
                                          long long out_step, const float *w, int taps, long long tap,
                                          long long run) {
    const float4 *w4s = reinterpret_cast<const float4 *>(w);  // table rows are 16-byte aligned
    const long long t1 = TAP ? TAP : tap, r1 = RUN_STEP ? RUN_STEP : run;
    float acc[RUN];
#pragma unroll
    for (int r = 0; r < RUN; ++r) acc[r] = 0.0f;
    int t = 0;
#pragma unroll 1
    for (; t + 4 <= taps; t += 4, p += 4 * t1) {
        const float4 w4 = __ldg(w4s++);
#pragma unroll
        for (int r = 0; r < RUN; ++r) {
            const typename In::T *q = p + r * r1;
            acc[r] += w4.x * In::load(q);
            acc[r] += w4.y * In::load(q + t1);
            acc[r] += w4.z * In::load(q + 2 * t1);
            acc[r] += w4.w * In::load(q + 3 * t1);
        }
    }
#pragma unroll 1
    for (; t < taps; ++t, p += t1) {
        const float wt = __ldg(w + t);
#pragma unroll
        for (int r = 0; r < RUN; ++r) acc[r] += wt * In::load(p + r * r1);
    }
#pragma unroll
    for (int r = 0; r < RUN; ++r) out[r * out_step] = Out::store(acc[r]);
}

// RUN runs of four adjacent values along y, 128 values apart (src at the first
// value's first tap, taps `row` elements apart; every run aligned to four
// elements, read in one vector load a tap), each tap's weight loaded once for
// all of them; the sums into mid, as adjacent.
template <int EI, int RUN>
__device__ __forceinline__ void fused_y_quads(const typename Elem<EI>::T *src, float *mid, const float *w,
                                              int taps, long long row) {
    const float4 *w4s = reinterpret_cast<const float4 *>(w);
    float acc[RUN][4], v[4];
#pragma unroll
    for (int r = 0; r < RUN; ++r)
#pragma unroll
        for (int k = 0; k < 4; ++k) acc[r][k] = 0.0f;
    int t = 0;
#pragma unroll 1
    for (; t + 4 <= taps; t += 4) {
        const float4 w4 = __ldg(w4s++);
        const float wt[4] = {w4.x, w4.y, w4.z, w4.w};
#pragma unroll
        for (int j = 0; j < 4; ++j, src += row) {
#pragma unroll
            for (int r = 0; r < RUN; ++r) {
                load_pixel<EI, 4, 4, true>(src + r * 128, v);
#pragma unroll
                for (int k = 0; k < 4; ++k) acc[r][k] += wt[j] * v[k];
            }
        }
    }
#pragma unroll 1
    for (; t < taps; ++t, src += row) {
        const float wt = __ldg(w + t);
#pragma unroll
        for (int r = 0; r < RUN; ++r) {
            load_pixel<EI, 4, 4, true>(src + r * 128, v);
#pragma unroll
            for (int k = 0; k < 4; ++k) acc[r][k] += wt * v[k];
        }
    }
#pragma unroll
    for (int r = 0; r < RUN; ++r)
#pragma unroll
        for (int k = 0; k < 4; ++k) mid[r * 128 + k] = acc[r][k];
}

// One block per tile of PIXELS destination columns and tile_h rows (grid z
// counts the channel groups); blockDim.x == VALUES: thread x is channel x % NC
// of the tile's pixel x / NC, the block's rows (VALUES x blockDim.y a multiple
// of 32 threads) share out the work. Pixels
// packed NC values apart in src. spans holds per tile column (Y_FIRST) or
// tile row the first source pixel or row its windows read and how many from
// there; they fit FLOATS (the caller checks; QUADS along y takes up to six
// values more a row). Strides in elements, as in resize_pass. QUADS (along y
// first only): every source row starts on a multiple of four elements and
// holds a multiple of four values, the source aligned to four elements.
template <int EI, int EO, int NC, bool Y_FIRST, bool QUADS>
__global__ void resize_fused(const typename Elem<EI>::T *__restrict__ src, typename Elem<EO>::T *__restrict__ dst,
                             const float *__restrict__ wx, const int *__restrict__ ox, int taps_x, int stride_x,
                             const float *__restrict__ wy, const int *__restrict__ oy, int taps_y, int stride_y,
                             const int *__restrict__ spans, int tile_h, int out_w, int out_h, long long src_sy,
                             long long src_sg, long long dst_sy, long long dst_sx, long long dst_sg) {
    typedef FusedTile<NC> Tile;
    const int V = Tile::VALUES;
    // LINEAR: the source rows decoded once into shared memory (stage, after the tile's rows), the
    // taps along y then read from there (the caller sizes the tile so that both fit).
    enum { LINEAR = EI == U8_SRGB && Y_FIRST && QUADS };
    __shared__ float tile_mid[LINEAR ? 4 : Tile::FLOATS];
    float *mid = tile_mid;
    if constexpr (LINEAR) {
        __shared__ float4 room[Tile::LINEAR_FLOATS / 4];
        mid = reinterpret_cast<float *>(room);
    }
    const int tile = Y_FIRST ? blockIdx.x : blockIdx.y;
    const int first = __ldg(spans + 2 * tile), count = __ldg(spans + 2 * tile + 1);
    const int y0 = blockIdx.y * tile_h, rows = min(tile_h, out_h - y0);
    const int v = threadIdx.x, pixel = v / NC, c = v - pixel * NC;
    const int px = blockIdx.x * Tile::PIXELS + pixel;
    const int ry = threadIdx.y, rn = blockDim.y;
    src += blockIdx.z * src_sg;
    dst += blockIdx.z * dst_sg;
    typename Elem<EO>::T *q = dst + y0 * dst_sy + px * dst_sx + c;
#if !defined(__CUDA_ARCH__) && defined(__SSE2__)
    if (Y_FIRST && QUADS) {
        // Host builds (_resize_host.cuh): the block's first thread makes the
        // whole tile, the same values into shared memory row by row, then
        // along x the same sums as below a row at a time (a pixel's 3 or 4
        // channels in one vector where the tile leaves room for the lane
        // after a 3-channel pixel's last value); no barrier is then needed,
        // and the others do nothing.
        if (threadIdx.x != 0 || threadIdx.y != 0) return;
        float *const tile = mid;  // its address once: shared memory is a thread-local on the host
        const int lead = first * NC & 3, span = (count * NC + lead + 3) & ~3;
        const bool lanes = (NC == 3 || NC == 4) && rows * span + (NC == 3) <= Tile::FLOATS;
        const typename Elem<EI>::T *s0 = src + first * NC - lead;
        if constexpr (LINEAR) {
            // Each source row decoded once (the values the loads would give) into a ring of taps_y
            // rows, written twice over, so that every window of taps_y rows lies in it contiguous
            // (and in the cache); then each row filtered out of it.
            float *ring = host_stage(2LL * taps_y * span);
            int next = __ldg(oy + y0);
            for (int r = 0; r < rows; ++r) {
                const int top = __ldg(oy + y0 + r);  // the row's first source row
                for (; next < top + taps_y; ++next) {
                    const unsigned char *p = reinterpret_cast<const unsigned char *>(s0 + (long long)next * src_sy);
                    float *q = ring + (long long)(next % taps_y) * span, *q2 = q + (long long)taps_y * span;
                    decode_row_host(p, q, q2, span);
                }
                resize_row_run_host<F32, F32>(ring + (long long)(top % taps_y - top) * span, tile + r * span, wy, oy,
                                              taps_y, stride_y, 0, span, y0 + r, span, 0);
            }
        } else {
            for (int r = 0; r < rows; ++r)
                resize_row_run_host<EI, F32>(s0, tile + r * span, wy, oy, taps_y, stride_y, 0, span, y0 + r, src_sy, 0);
        }
        const int pixels = min(Tile::PIXELS, out_w - (int)blockIdx.x * Tile::PIXELS);
        for (int r = 0; r < rows; ++r) {
            typename Elem<EO>::T *qr = dst + (y0 + r) * dst_sy + blockIdx.x * Tile::PIXELS * dst_sx;
            for (int k = 0; k < pixels; ++k) {
                const int kx = blockIdx.x * Tile::PIXELS + k;
                const float *m = tile + r * span + lead + (__ldg(ox + kx) - first) * NC;
                if (lanes) {
                    fused_pixel_host<EO, NC == 4 ? 4 : 3>(m, qr + k * dst_sx, wx + kx * stride_x, taps_x);
                    continue;
                }
#pragma unroll
                for (int c = 0; c < NC; ++c)
                    fused_run<SharedF32, Elem<EO>, 1, NC, 0>(m + c, qr + k * dst_sx + c, 0, wx + kx * stride_x, taps_x,
                                                             0, 0);
            }
        }
        return;
    }
#endif
    if (Y_FIRST) {
        // Along y: a warp a row from the tile's first source value on (QUADS:
        // from the multiple of four values below it, four adjacent values a
        // lane in one vector load, the row's end a multiple of four too), each
        // lane its values 32 (128) apart, a few at a time sharing the row's
        // weights: a warp's loads are adjacent bytes.
        const int lead = QUADS ? first * NC & 3 : 0;
        const int span = QUADS ? (count * NC + lead + 3) & ~3 : count * NC;
        const int lane = (ry * V + v) & 31, warp = (ry * V + v) >> 5, warps = rn * V >> 5;
        src += first * NC - lead;
        if constexpr (LINEAR) {
            // The tile's source rows decoded into stage, a warp a row, four values a lane; then
            // along y out of stage as below from the source.
            const int row0 = __ldg(oy + y0), srows = __ldg(oy + y0 + rows - 1) + taps_y - row0;
            float *stage = mid + rows * span;
            for (int r = warp; r < srows; r += warps) {
                const unsigned char *p = reinterpret_cast<const unsigned char *>(src + (row0 + r) * src_sy);
                for (int s = 4 * lane; s < span; s += 128) decode_quad(p + s, stage + r * span + s);
            }
            __syncthreads();
            for (int r = warp; r < rows; r += warps) {
                const float *w = wy + (y0 + r) * stride_y;
                const float *p = stage + (__ldg(oy + y0 + r) - row0) * span;
                float *m = mid + r * span;
                int s = 4 * lane;
                for (; s + 128 < span; s += 256) fused_y_quads_shared<2>(p + s, m + s, w, taps_y, span);
                if (s < span) fused_y_quads_shared<1>(p + s, m + s, w, taps_y, span);
            }
        }
        for (int r = warp; r < rows && !LINEAR; r += warps) {
            const float *w = wy + (y0 + r) * stride_y;
            const typename Elem<EI>::T *p = src + __ldg(oy + y0 + r) * src_sy;
            float *m = mid + r * span;
            if (QUADS) {
                int s = 4 * lane;
                for (; s + 128 < span; s += 256) fused_y_quads<EI, 2>(p + s, m + s, w, taps_y, src_sy);
                if (s < span) fused_y_quads<EI, 1>(p + s, m + s, w, taps_y, src_sy);
            } else {
                int s = lane;
                for (; s + 96 < span; s += 128)
                    fused_run<Elem<EI>, SharedF32, 4, 0, 32>(p + s, m + s, 32, w, taps_y, src_sy, 0);
                if (s + 32 < span) fused_run<Elem<EI>, SharedF32, 2, 0, 32>(p + s, m + s, 32, w, taps_y, src_sy, 0), s += 64;
                if (s < span) fused_run<Elem<EI>, SharedF32, 1, 0, 32>(p + s, m + s, 32, w, taps_y, src_sy, 0);
            }
        }
        __syncthreads();
        // Along x out of shared memory: runs of four rows sharing the column's weights.
        if (px >= out_w) return;
        const float *w = wx + px * stride_x;
        const float *m = mid + lead + (__ldg(ox + px) - first) * NC + c;
        int r = ry;
        for (; r + 3 * rn < rows; r += 4 * rn)
            fused_run<SharedF32, Elem<EO>, 4, NC, 0>(m + r * span, q + r * dst_sy, dst_sy * rn, w, taps_x, 0, span * rn);
        for (; r < rows; r += rn) fused_run<SharedF32, Elem<EO>, 1, NC, 0>(m + r * span, q + r * dst_sy, 0, w, taps_x, 0, 0);
    } else {
        // Along x: the `count` source rows from `first` the tile's windows
        // read, runs of four a thread sharing the column's weights.
        if (px < out_w) {
            const float *w = wx + px * stride_x;
            const typename Elem<EI>::T *p = src + first * src_sy + __ldg(ox + px) * NC + c;
            int r = ry;
            for (; r + 3 * rn < count; r += 4 * rn)
                fused_run<Elem<EI>, SharedF32, 4, NC, 0>(p + r * src_sy, mid + r * V + v, V * rn, w, taps_x, 0, src_sy * rn);
            for (; r < count; r += rn) fused_run<Elem<EI>, SharedF32, 1, NC, 0>(p + r * src_sy, mid + r * V + v, 0, w, taps_x, 0, 0);
        }
        __syncthreads();
        // Along y out of shared memory: the tile's rows.
        if (px >= out_w) return;
        for (int r = ry; r < rows; r += rn) {
            const float *m = mid + (__ldg(oy + y0 + r) - first) * V + v;
            fused_run<SharedF32, Elem<EO>, 1, V, 0>(m, q + r * dst_sy, 0, wy + (y0 + r) * stride_y, taps_y, 0, 0);
        }
    }
}

}  // namespace zemvara
