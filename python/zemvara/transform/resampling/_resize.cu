// Resizes: two separable passes over weight tables, any element type, any channel count.
//
// Compiled behind _filters.cuh (element types, the filters' traits blocks) and
// _taps.cuh (pixel loads).
// Each kernel entry is one thread per destination column (or per destination
// value of a run of rows); resize_weight_row and resize_pass_value compute
// that table row or value from plain descriptors, so that other entries can
// reuse them.
//
// Coordinates: pixel centres sit at integer positions. A resize samples
// destination x at (x + 1/2) * in / out - 1/2 along each axis: half-pixel
// centres, written in integer-centre coordinates.
//
// Borders: the edge pixels are replicated, as image resizers do: the weight of
// every tap beyond an edge goes to that edge's pixel.

namespace zemvara {

// ---- resize: two separable passes over weight tables -----------------------------
//
// A resize samples destination x at (x + 1/2) * in / out - 1/2 along each axis
// and replicates the edge pixels: the weight of every tap beyond an edge goes
// to that edge's pixel. resize_weights computes, once per destination column
// (or row), the first source tap of a window of `taps` pixels that lies inside
// the image, and the window's normalised weights (a row of `stride` floats,
// zero past the taps that weigh). resize_pass then filters along one axis:
// every destination value is the dot product of its table row with the
// window, so a tap costs a load, a multiply-add per channel and nothing else.

// Table row j of an axis of n source pixels resized to `out`, `scale` = n /
// out: the first tap of its window into *offset, the window's `taps`
// normalised weights into w (a row of `stride` floats, zero past the taps).
template <class F>
__device__ __forceinline__ void resize_weight_row(float *w, int *offset, int j, int n, int taps, int stride,
                                                  float scale, const typename F::Params &k) {
    const float s = stretch_of<F>(scale), inv_s = 1.0f / s;
    const float p = ((float)j + 0.5f) * scale - 0.5f;  // within [-1/2, n - 1/2]
    float lo, hi;
    tap_range(p, F::reach(s, k), lo, hi);
    // The sum over all taps, and the taps that weigh, edge pixels standing for the taps beyond.
    float sum = 0.0f;
    int a = n, b = -1;
    for (int i = (int)lo; i <= (int)hi; ++i) {
        const float v = F::weight((float)i - p, s, inv_s, k);
        sum += v;
        if (v != 0.0f) {
            a = min(a, min(max(i, 0), n - 1));
            b = max(b, min(max(i, 0), n - 1));
        }
    }
    // The window: `taps` pixels inside the image from `start` on, holding every
    // tap that weighs. Should float32 rounding add a tap at either end (a
    // weight at the rounding level), the smaller end weight is the one left out.
    int start = a;
    if (b - a + 1 > taps) {
        const float wa = fabsf(F::weight((float)a - p, s, inv_s, k));
        const float wb = fabsf(F::weight((float)b - p, s, inv_s, k));
        if (wa < wb) start = b - taps + 1;
    }
    start = min(max(start, 0), n - taps);
    for (int t = 0; t < stride; ++t) w[t] = 0.0f;
    const float norm = sum > 0.0f ? 1.0f / sum : 0.0f;
    for (int i = (int)lo; i <= (int)hi; ++i) {
        const int t = min(max(i, 0), n - 1) - start;
        if (t >= 0 && t < taps) w[t] += F::weight((float)i - p, s, inv_s, k) * norm;
    }
    *offset = start;
}

// One thread per destination index j of the axis.
template <class F>
__global__ void resize_weights(float *__restrict__ weights, int *__restrict__ offsets, int out,
                               int n, int taps, int stride, float scale, float p0, float p1) {
    const int j = blockIdx.x * blockDim.x + threadIdx.x;
    if (j >= out) return;
    const typename F::Params k = F::prepare(p0, p1);
    resize_weight_row<F>(weights + (long long)j * stride, offsets + j, j, n, taps, stride, scale, k);
}

// Which way a pass filters: along y, along x with any pixel step, along x
// over packed pixels (each pixel's NC channels right after the previous
// pixel's), or along x over packed pixels one value a thread (thread x of a
// row is channel x % NC of pixel x / NC: a warp's loads then fall on the few
// sectors of a run of source pixels rather than one sector or more per lane).
// ROWS_Y filters along y over rows of packed pixels taken as flat runs of
// values, NC values a thread (four: in one vector load and store each).
enum { ALONG_Y = 0, ALONG_X = 1, ALONG_PACKED_X = 2, ALONG_VALUES_X = 3, ROWS_Y = 4 };

// One pass: dst (out_h x out_w, NC channels per group) from src along AXIS.
// Element (y, x, c) of group g lies at y * sy + x * sx + c + g * sg (strides in
// elements; the NC channels of a group are adjacent). Table row j (the
// destination column along x, the row along y) weighs `taps` source pixels
// from offsets[j] on.

// The destination value (y, x) of one channel group (src and dst at the
// group's first element): the dot product of its table row with its window.
template <int EI, int EO, int NC, int AXIS>
__device__ __forceinline__ void resize_pass_value(const typename Elem<EI>::T *src, typename Elem<EO>::T *dst,
                                                  const float *weights, const int *offsets, int taps,
                                                  int stride, int x, int y, long long src_sy,
                                                  long long src_sx, long long dst_sy, long long dst_sx) {
    typedef typename Elem<EI>::T TI;
    // The step between taps in 32 bits: the caller keeps a window's span,
    // `taps` steps, below 2^31 elements.
    const int step = AXIS == ALONG_Y ? (int)src_sy : AXIS == ALONG_X ? (int)src_sx : NC;
    const int j = AXIS == ALONG_Y ? y : x;
    const float *w = weights + j * stride;
    const int first = __ldg(offsets + j);
    const TI *p = AXIS == ALONG_Y ? src + first * src_sy + x * src_sx : src + y * src_sy + first * (long long)step;
    // Four taps an iteration from four pointers a step apart; along x (and
    // along y with four channels) the four advance together through one
    // 32-bit offset, along y with up to three channels each moves itself.
    const TI *p1 = p + step, *p2 = p + 2 * step, *p3 = p + 3 * step;
    const float4 *w4s = reinterpret_cast<const float4 *>(w);  // table rows are 16-byte aligned
#ifdef __CUDA_ARCH__
    // Opaque to the optimiser, which would otherwise fold them back into
    // 64-bit index arithmetic at every tap.
    asm("" : "+l"(p), "+l"(p1), "+l"(p2), "+l"(p3), "+l"(w4s));
#endif
    float acc[NC];
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
    int t = 0, off = 0;
    // Not unrolled further: the loop measured is then the loop that runs at
    // every tap count (unrolled four times, 12 taps would run straight-line
    // remainder blocks instead).
#pragma unroll 1
    for (; t + 4 <= taps; t += 4) {
        const float4 w4 = __ldg(w4s++);
#pragma unroll
        for (int c = 0; c < NC; ++c) {
            acc[c] += w4.x * Elem<EI>::load(p + off + c);
            acc[c] += w4.y * Elem<EI>::load(p1 + off + c);
            acc[c] += w4.z * Elem<EI>::load(p2 + off + c);
            acc[c] += w4.w * Elem<EI>::load(p3 + off + c);
        }
        // Taps rows apart, up to three channels: moving the four pointers
        // compiles to fewer instructions than the running offset (sm_90).
        if (AXIS == ALONG_Y && NC < 4) {
            p += 4 * step, p1 += 4 * step, p2 += 4 * step, p3 += 4 * step;
        } else {
            off += 4 * step;
        }
    }
    // At most three taps remain: a loop of single taps (unrolling it would
    // only add code that never runs).
#pragma unroll 1
    for (; t < taps; ++t, off += step) {
        const float wt = __ldg(w + t);
#pragma unroll
        for (int c = 0; c < NC; ++c) acc[c] += wt * Elem<EI>::load(p + off + c);
    }
    typename Elem<EO>::T *q = dst + y * dst_sy + x * dst_sx;
#pragma unroll
    for (int c = 0; c < NC; ++c) q[c] = Elem<EO>::store(acc[c]);
}

// Values x .. x + V - 1 of destination row y filtered along y, the row a flat
// run of values in both arrays (src and dst at the run's first value). With V
// = 4 a tap is one vector load: the caller guarantees every row start of both
// arrays, and x, aligned to four values.
template <int EI, int EO, int V>
__device__ __forceinline__ void resize_row_values(const typename Elem<EI>::T *src, typename Elem<EO>::T *dst,
                                                  const float *weights, const int *offsets, int taps,
                                                  int stride, int x, int y, long long src_sy, long long dst_sy) {
    typedef typename Elem<EO>::T TO;
    const float *w = weights + y * stride;
    const typename Elem<EI>::T *p = src + __ldg(offsets + y) * src_sy + x;
    const float4 *w4s = reinterpret_cast<const float4 *>(w);  // table rows are 16-byte aligned
    float acc[V], v[V];
#pragma unroll
    for (int c = 0; c < V; ++c) acc[c] = 0.0f;
    int t = 0;
#pragma unroll 1
    for (; t + 4 <= taps; t += 4) {
        const float4 w4 = __ldg(w4s++);
        const float wt[4] = {w4.x, w4.y, w4.z, w4.w};
#pragma unroll
        for (int k = 0; k < 4; ++k) {
            load_pixel<EI, V, V, V == 4>(p, v);
#pragma unroll
            for (int c = 0; c < V; ++c) acc[c] += wt[k] * v[c];
            p += src_sy;
        }
    }
#pragma unroll 1
    for (; t < taps; ++t, p += src_sy) {
        const float wt = __ldg(w + t);
        load_pixel<EI, V, V, V == 4>(p, v);
#pragma unroll
        for (int c = 0; c < V; ++c) acc[c] += wt * v[c];
    }
    TO *q = dst + y * dst_sy + x;
    if (V == 4 && sizeof(TO) == 4) {
        float4 o;
        o.x = Elem<EO>::store(acc[0]), o.y = Elem<EO>::store(acc[V > 1]), o.z = Elem<EO>::store(acc[V > 2 ? 2 : 0]),
        o.w = Elem<EO>::store(acc[V > 3 ? 3 : 0]);
        *reinterpret_cast<float4 *>(q) = o;
    } else {
#pragma unroll
        for (int c = 0; c < V; ++c) q[c] = Elem<EO>::store(acc[c]);
    }
}

// RUN destination rows from y of value x along x (channel x % NC of pixel x /
// NC, pixels packed NC values apart in src), the rows taken together: each
// tap's weight is loaded once for all of them.
template <int EI, int EO, int NC, int RUN>
__device__ __forceinline__ void resize_column_run(const typename Elem<EI>::T *src, typename Elem<EO>::T *dst,
                                                  const float *weights, const int *offsets, int taps,
                                                  int stride, int x, int y, long long src_sy, long long dst_sy,
                                                  long long dst_sx) {
    typedef typename Elem<EI>::T TI;
    const int px = x / NC, c = x - px * NC;
    const float *w = weights + px * stride;
    const float4 *w4s = reinterpret_cast<const float4 *>(w);  // table rows are 16-byte aligned
    const TI *row[RUN];
    const int first = __ldg(offsets + px);
#pragma unroll
    for (int r = 0; r < RUN; ++r) {
        row[r] = src + (y + r) * src_sy + first * NC + c;
#ifdef __CUDA_ARCH__
        // Opaque to the optimiser, which would otherwise derive each row's
        // address from the previous one's in 64 bits at every tap.
        asm("" : "+l"(row[r]));
#endif
    }
    float acc[RUN];
#pragma unroll
    for (int r = 0; r < RUN; ++r) acc[r] = 0.0f;
    // The taps' offset in 32 bits: a window's span stays below 2^31 elements
    // (the caller checks).
    int t = 0, off = 0;
#pragma unroll 1
    for (; t + 4 <= taps; t += 4, off += 4 * NC) {
        const float4 w4 = __ldg(w4s++);
#pragma unroll
        for (int r = 0; r < RUN; ++r) {
            const TI *p = row[r] + off;
            acc[r] += w4.x * Elem<EI>::load(p);
            acc[r] += w4.y * Elem<EI>::load(p + NC);
            acc[r] += w4.z * Elem<EI>::load(p + 2 * NC);
            acc[r] += w4.w * Elem<EI>::load(p + 3 * NC);
        }
    }
#pragma unroll 1
    for (; t < taps; ++t, off += NC) {
        const float wt = __ldg(w + t);
#pragma unroll
        for (int r = 0; r < RUN; ++r) acc[r] += wt * Elem<EI>::load(row[r] + off);
    }
    typename Elem<EO>::T *q = dst + y * dst_sy + px * dst_sx + c;
#pragma unroll
    for (int r = 0; r < RUN; ++r) q[r * dst_sy] = Elem<EO>::store(acc[r]);
}

// One thread per destination column and run of consecutive rows, as many as
// the grid's height asks (so any height fits the grid's y limit); a window's
// rows then overlap the previous row's. Grid z counts the channel groups.
// ALONG_VALUES_X counts out_w in values (pixels x NC), one thread each.
template <int EI, int EO, int NC, int AXIS>
__global__ void resize_pass(const typename Elem<EI>::T *__restrict__ src,
                            typename Elem<EO>::T *__restrict__ dst,
                            const float *__restrict__ weights, const int *__restrict__ offsets,
                            int taps, int stride, int out_w, int out_h, long long src_sy,
                            long long src_sx, long long src_sg, long long dst_sy,
                            long long dst_sx, long long dst_sg) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    if (x >= out_w) return;
    src += blockIdx.z * src_sg;
    dst += blockIdx.z * dst_sg;
    const int threads_y = gridDim.y * blockDim.y;
    const int run = (out_h + threads_y - 1) / threads_y;
    const int y0 = (blockIdx.y * blockDim.y + threadIdx.y) * run;
    const int y1 = min(y0 + run, out_h);
    if (AXIS == ROWS_Y) {
        const int v = x * NC;  // out_w counts values, a thread takes NC of them
        if (v >= out_w) return;
#if !defined(__CUDA_ARCH__) && defined(__SSE2__)
        if (NC == 4) {
            // Host builds: the first thread of each row of the block's threads
            // filters that row's destination rows for all the block's values
            // (resize_row_run_host), the others nothing.
            if (threadIdx.x != 0) return;
            const int x1 = min(out_w, (x + (int)blockDim.x) * NC);
            for (int y = y0; y < y1; ++y)
                resize_row_run_host<EI, EO>(src, dst, weights, offsets, taps, stride, v, x1, y, src_sy, dst_sy);
            return;
        }
#endif
        for (int y = y0; y < y1; ++y)
            resize_row_values<EI, EO, NC>(src, dst, weights, offsets, taps, stride, v, y, src_sy, dst_sy);
    } else if (AXIS == ALONG_VALUES_X) {
#ifndef __CUDA_ARCH__
        // Host builds: the first thread of each row of the block's threads
        // makes the block's values of its destination rows, a row at a time
        // (the same sums, value by value); a thread's value down its rows
        // would write a cache line a row (see _resize_host.cuh).
        if (threadIdx.x != 0) return;
        const int x1 = min(out_w, x + (int)blockDim.x);
        int r = y0;
        for (; r + 4 <= y1; r += 4)
            for (int u = x; u < x1; ++u)
                resize_column_run<EI, EO, NC, 4>(src, dst, weights, offsets, taps, stride, u, r, src_sy, dst_sy, dst_sx);
        for (; r < y1; ++r)
            for (int u = x; u < x1; ++u)
                resize_column_run<EI, EO, NC, 1>(src, dst, weights, offsets, taps, stride, u, r, src_sy, dst_sy, dst_sx);
        return;
#endif
        int y = y0;
        for (; y + 4 <= y1; y += 4)
            resize_column_run<EI, EO, NC, 4>(src, dst, weights, offsets, taps, stride, x, y, src_sy, dst_sy, dst_sx);
        for (; y < y1; ++y)
            resize_column_run<EI, EO, NC, 1>(src, dst, weights, offsets, taps, stride, x, y, src_sy, dst_sy, dst_sx);
    } else {
        for (int y = y0; y < y1; ++y)
            resize_pass_value<EI, EO, NC, AXIS>(src, dst, weights, offsets, taps, stride, x, y, src_sy, src_sx,
                                                dst_sy, dst_sx);
    }
}

}  // namespace zemvara
