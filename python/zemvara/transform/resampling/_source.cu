// Resampling kernels of zemvara: affine warps and resizes over the filters of _filters.cuh.
//
// Compiled with _filters.cuh in front of it. Each kernel is a template over
// the filter's traits block F, the element type E and the channel count.
//
// Coordinates: pixel centres sit at integer positions. A warp samples
// destination pixel (x, y) at the source position (m0 x + m1 y + m2,
// m3 x + m4 y + m5), m being the inverse matrix. A resize samples destination x
// at (x + 1/2) * in / out - 1/2 along each axis: half-pixel centres, written in
// the same integer-centre coordinates.
//
// Borders: a warp sees zeros around the image (taps outside the image count
// in the weight sum and add nothing). A resize replicates the edge pixels
// instead, as image resizers do: the weight of every tap beyond an edge goes
// to that edge's pixel.
//
// Positions are compared with the image bounds in floating point before any
// conversion to an integer, so that huge positions (or NaN) give zeros and
// never wrap around; tap indices are clamped into the image, so that no read
// leaves the source.

namespace zemvara {

template <class A, class B> struct same_type { static const bool value = false; };
template <class A> struct same_type<A, A> { static const bool value = true; };

// ---- pixels: the first NC channels of a CH-channel pixel ---------------------------

// Four-channel pixels are read in one vector load (their size is a power of
// two and every pixel of an image is aligned to it); others channel by channel.
template <int E, int CH, int NC>
__device__ __forceinline__ void load_pixel(const typename Elem<E>::T *p, float *v) {
    typedef typename Elem<E>::T T;
    if (CH == 4 && sizeof(T) == 4) {
        const float4 q = __ldg(reinterpret_cast<const float4 *>(p));
        const float f[4] = {q.x, q.y, q.z, q.w};
#pragma unroll
        for (int c = 0; c < NC; ++c) v[c] = f[c];
    } else if (CH == 4 && sizeof(T) == 2) {
        const ushort4 q = __ldg(reinterpret_cast<const ushort4 *>(p));
        const T t[4] = {(T)q.x, (T)q.y, (T)q.z, (T)q.w};
#pragma unroll
        for (int c = 0; c < NC; ++c) v[c] = Elem<E>::load(t + c);
    } else if (CH == 4 && sizeof(T) == 1) {
        const uchar4 q = __ldg(reinterpret_cast<const uchar4 *>(p));
        const T t[4] = {(T)q.x, (T)q.y, (T)q.z, (T)q.w};
#pragma unroll
        for (int c = 0; c < NC; ++c) v[c] = Elem<E>::load(t + c);
    } else {
#pragma unroll
        for (int c = 0; c < NC; ++c) v[c] = Elem<E>::load(p + c);
    }
}

// ---- warps: the filtered sample of one destination pixel ----------------------------
//
// Along each axis the weights are normalised by their sum over every tap with
// |i - p| < reach, inside the image or not; taps outside the image then add
// nothing (the image is surrounded by zeros). Taps are visited in chunks of T
// along each axis, whose weights live in registers: a chunk along x is a
// window of T pixels inside the image (taps at fixed offsets from one row
// pointer), a chunk along y T rows, each row's weight passed down a register
// shift as the rows go by. Offsets are 32-bit within a row (a row holds at
// most 2^24 pixels of at most 4 channels); rows are addressed in 64 bits.

// Most taps an axis sums over exactly. Past it (extreme reductions, degenerate
// matrices) the sum is the same Riemann sum taken at the stretch that gives
// this many taps, scaled by the ratio of the stretches: the weights are a
// smooth function sampled ever more finely, so the two agree to O(1/taps^2),
// and the time per pixel stays bounded.
#define ZEMVARA_MAX_SUM_TAPS 4096.0f

// Sum of the weights of all taps around p (inside the image or not).
template <class F>
__device__ float weight_sum(float p, float s, const typename F::Params &f) {
    const float inv_s = 1.0f / s;
    float lo, hi;
    tap_range(p, F::reach(s, f), lo, hi);
    float sum = 0.0f;
    for (int i = (int)lo; i <= (int)hi; ++i) sum += F::weight((float)i - p, s, inv_s, f);
    return sum;
}

// 1 / (the weight sum of an axis), or 0 when it is not positive.
template <class F>
__device__ float axis_norm(float p, float s, const typename F::Params &f) {
    float sum;
    const float reach = F::reach(s, f);
    if (2.0f * reach <= ZEMVARA_MAX_SUM_TAPS) {
        sum = weight_sum<F>(p, s, f);
    } else {
        // The reach grows as R * s: s_cut = MAX / (2 R), whatever s is, so
        // that an infinite stretch gives an infinite sum (zero weights)
        // rather than a NaN stretch whose tap range cannot be converted.
        const float s_cut = ZEMVARA_MAX_SUM_TAPS / (2.0f * F::reach(1.0f, f));
        sum = weight_sum<F>(p - floorf(p), s_cut, f) * (s / s_cut);
    }
    return sum > 0.0f ? 1.0f / sum : 0.0f;
}

// The weights of the T taps from `start` on, zero outside first .. last, times norm.
template <class F, int T>
__device__ __forceinline__ void chunk_weights(int start, int first, int last, float p, float s,
                                              float inv_s, float norm,
                                              const typename F::Params &f, float *w) {
#pragma unroll
    for (int k = 0; k < T; ++k) {
        const int i = start + k;
        w[k] = i >= first && i <= last ? F::weight((float)i - p, s, inv_s, f) * norm : 0.0f;
    }
}

// The weight sum of an axis whose taps inside the image all lie in one chunk
// (w, its weights) and whose taps lo .. hi number at most 2 T: the chunk's
// weights plus those of the taps beyond the image's edges.
template <class F, int T>
__device__ __forceinline__ float chunk_sum(const float *w, float p, float s, float inv_s, int n,
                                           int lo, int hi, const typename F::Params &f) {
    float sum = 0.0f;
#pragma unroll
    for (int k = 0; k < T; ++k) sum += w[k];
    for (int i = lo; i < 0; ++i) sum += F::weight((float)i - p, s, inv_s, f);
    for (int i = max(lo, n); i <= hi; ++i) sum += F::weight((float)i - p, s, inv_s, f);
    return sum;
}

// Adds to acc the filtered value at (px, py) of the h x w source with CH channels.
template <class F, int E, int CH, int NC, int T>
__device__ __forceinline__ void sample_chunks(const typename Elem<E>::T *src, int h, int w,
                                              float px, float py, float sx, float sy, int x0,
                                              int x1, int y0, int y1,
                                              const typename F::Params &f, float *acc) {
    typedef typename Elem<E>::T Tp;
    const float inv_sx = 1.0f / sx, inv_sy = 1.0f / sy;
    const int row_stride = w * CH;
    float wx[T], wy[T];
    float norm_x, norm_y, lo, hi;
    // One chunk holds every tap inside the image, and few taps lie outside it.
    tap_range(px, F::reach(sx, f), lo, hi);
    const bool one_x = x1 - x0 < T && hi - lo < 2 * T;
    if (one_x) {  // the common case: the sum from the chunk's own weights
        chunk_weights<F, T>(min(x0, w - T), x0, x1, px, sx, inv_sx, 1.0f, f, wx);
        norm_x = chunk_sum<F, T>(wx, px, sx, inv_sx, w, (int)lo, (int)hi, f);
        norm_x = norm_x > 0.0f ? 1.0f / norm_x : 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) wx[k] *= norm_x;
    } else {
        norm_x = axis_norm<F>(px, sx, f);
    }
    tap_range(py, F::reach(sy, f), lo, hi);
    const bool one_y = y1 - y0 < T && hi - lo < 2 * T;
    if (one_y) {
        chunk_weights<F, T>(y0, y0, y1, py, sy, inv_sy, 1.0f, f, wy);
        norm_y = chunk_sum<F, T>(wy, py, sy, inv_sy, h, (int)lo, (int)hi, f);
        norm_y = norm_y > 0.0f ? 1.0f / norm_y : 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) wy[k] *= norm_y;
    } else {
        norm_y = axis_norm<F>(py, sy, f);
    }
    if (norm_x == 0.0f || norm_y == 0.0f) return;
    for (int cy = y0; cy <= y1; cy += T) {
        if (!one_y) chunk_weights<F, T>(cy, cy, y1, py, sy, inv_sy, norm_y, f, wy);
        const int rows = min(T, y1 - cy + 1);
        for (int cx = x0; cx <= x1; cx += T) {
            const int start = min(cx, w - T);  // the window lies inside the image
            if (!one_x) chunk_weights<F, T>(start, cx, x1, px, sx, inv_sx, norm_x, f, wx);
            const Tp *row = src + (long long)cy * row_stride + start * CH;
            float ry[T];
#pragma unroll
            for (int k = 0; k < T; ++k) ry[k] = wy[k];
#pragma unroll 1
            for (int r = 0; r < rows; ++r) {
                float v[NC], sum[NC];
#pragma unroll
                for (int c = 0; c < NC; ++c) sum[c] = 0.0f;
#pragma unroll
                for (int k = 0; k < T; ++k) {
                    load_pixel<E, CH, NC>(row + k * CH, v);
#pragma unroll
                    for (int c = 0; c < NC; ++c) sum[c] += wx[k] * v[c];
                }
#pragma unroll
                for (int c = 0; c < NC; ++c) acc[c] += ry[0] * sum[c];
#pragma unroll
                for (int k = 0; k + 1 < T; ++k) ry[k] = ry[k + 1];
                row += row_stride;
            }
        }
    }
}

// Adds to acc the value at (px, py) of the h x w source with CH channels,
// sampled with the filter F at the stretches sx, sy.
template <class F, int E, int CH, int NC>
__device__ __forceinline__ void sample(const typename Elem<E>::T *src, int h, int w, float px,
                                       float py, float sx, float sy,
                                       const typename F::Params &f, float *acc) {
    typedef typename Elem<E>::T Tp;
    const int row_stride = w * CH;
    if (same_type<F, Nearest>::value) {  // the tap floor(p + 1/2)
        const float fx = floorf(px + 0.5f), fy = floorf(py + 0.5f);
        if (!(fx >= 0.0f && fx < (float)w && fy >= 0.0f && fy < (float)h)) return;
        float v[NC];
        load_pixel<E, CH, NC>(src + (long long)(int)fy * row_stride + (int)fx * CH, v);
#pragma unroll
        for (int c = 0; c < NC; ++c) acc[c] += v[c];
        return;
    }
    if (same_type<F, Bilinear>::value) {
        // Taps floor(p) and floor(p) + 1 with weights 1 - frac and frac (they sum to 1).
        if (!(px > -1.0f && px < (float)w && py > -1.0f && py < (float)h)) return;
        const float x0f = floorf(px), y0f = floorf(py);
        const int x0 = (int)x0f, y0 = (int)y0f;
        const float ax = px - x0f, ay = py - y0f;
        const float wx[2] = {1.0f - ax, ax}, wy[2] = {1.0f - ay, ay};
#pragma unroll
        for (int j = 0; j < 2; ++j) {
            const int y = y0 + j;
            if (y < 0 || y >= h) continue;
            const Tp *row = src + (long long)y * row_stride;
#pragma unroll
            for (int i = 0; i < 2; ++i) {
                const int x = x0 + i;
                if (x < 0 || x >= w) continue;
                float v[NC];
                load_pixel<E, CH, NC>(row + x * CH, v);
#pragma unroll
                for (int c = 0; c < NC; ++c) acc[c] += wy[j] * wx[i] * v[c];
            }
        }
        return;
    }
    int x0, x1, y0, y1;
    if (!taps_inside(px, F::reach(sx, f), w, x0, x1) || !taps_inside(py, F::reach(sy, f), h, y0, y1))
        return;
    const int taps = max(x1 - x0, y1 - y0) + 1;
    if (taps <= 4 && w >= 4)  // cubics and area enlarging, Lanczos-2
        sample_chunks<F, E, CH, NC, 4>(src, h, w, px, py, sx, sy, x0, x1, y0, y1, f, acc);
    else if (taps <= 6 && w >= 6)  // Lanczos-3 enlarging, reductions up to 3/2
        sample_chunks<F, E, CH, NC, 6>(src, h, w, px, py, sx, sy, x0, x1, y0, y1, f, acc);
    else if (w >= 8)
        sample_chunks<F, E, CH, NC, 8>(src, h, w, px, py, sx, sy, x0, x1, y0, y1, f, acc);
    else  // an image narrower than a chunk: one tap at a time
        sample_chunks<F, E, CH, NC, 1>(src, h, w, px, py, sx, sy, x0, x1, y0, y1, f, acc);
}

// ---- affine warps: float32 (H', W', 3) output from an (H, W, CH) source --------

template <class F, int E, int CH>
__global__ void affine_warp(const typename Elem<E>::T *__restrict__ src, float *__restrict__ dst,
                            const float *__restrict__ m, int src_h, int src_w, int dst_h,
                            int dst_w, float p0, float p1) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= dst_w || y >= dst_h) return;
    const typename F::Params f = F::prepare(p0, p1);
    const float m0 = __ldg(m), m1 = __ldg(m + 1), m2 = __ldg(m + 2);
    const float m3 = __ldg(m + 3), m4 = __ldg(m + 4), m5 = __ldg(m + 5);
    const float fx = (float)x, fy = (float)y;
    const float px = m0 * fx + m1 * fy + m2;
    const float py = m3 * fx + m4 * fy + m5;
    const int NC = CH < 3 ? CH : 3;  // grey is replicated, alpha ignored
    float acc[NC];
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
    sample<F, E, CH, NC>(src, src_h, src_w, px, py, stretch_of<F>(hypotf(m0, m1)),
                         stretch_of<F>(hypotf(m3, m4)), f, acc);
    float *out = dst + ((long long)y * dst_w + x) * 3;
    out[0] = acc[0];
    out[1] = acc[NC == 1 ? 0 : 1];
    out[2] = acc[NC == 1 ? 0 : 2];
}

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

template <class F>
__global__ void resize_weights(float *__restrict__ weights, int *__restrict__ offsets, int out,
                               int n, int taps, int stride, float scale, float p0, float p1) {
    const int j = blockIdx.x * blockDim.x + threadIdx.x;
    if (j >= out) return;
    const typename F::Params k = F::prepare(p0, p1);
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
    float *w = weights + (long long)j * stride;
    for (int t = 0; t < stride; ++t) w[t] = 0.0f;
    const float norm = sum > 0.0f ? 1.0f / sum : 0.0f;
    for (int i = (int)lo; i <= (int)hi; ++i) {
        const int t = min(max(i, 0), n - 1) - start;
        if (t >= 0 && t < taps) w[t] += F::weight((float)i - p, s, inv_s, k) * norm;
    }
    offsets[j] = start;
}

// Which way a pass filters: along y, along x with any pixel step, or along x
// over packed pixels (each pixel's NC channels right after the previous pixel's).
enum { ALONG_Y = 0, ALONG_X = 1, ALONG_PACKED_X = 2 };

// One pass: dst (out_h x out_w, NC channels per group) from src along AXIS.
// Element (y, x, c) of group g lies at y * sy + x * sx + c + g * sg (strides in
// elements; the NC channels of a group are adjacent). Table row j (the
// destination column along x, the row along y) weighs `taps` source pixels
// from offsets[j] on. Each thread takes a run of consecutive rows, as many
// as the grid's height asks (so any height fits the grid's y limit); a
// window's rows then overlap the previous row's. Grid z counts the channel
// groups.
template <int EI, int EO, int NC, int AXIS>
__global__ void resize_pass(const typename Elem<EI>::T *__restrict__ src,
                            typename Elem<EO>::T *__restrict__ dst,
                            const float *__restrict__ weights, const int *__restrict__ offsets,
                            int taps, int stride, int out_w, int out_h, long long src_sy,
                            long long src_sx, long long src_sg, long long dst_sy,
                            long long dst_sx, long long dst_sg) {
    typedef typename Elem<EI>::T TI;
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    if (x >= out_w) return;
    src += blockIdx.z * src_sg;
    dst += blockIdx.z * dst_sg;
    // The step between taps in 32 bits: the caller keeps a window's span,
    // `taps` steps, below 2^31 elements.
    const int step = AXIS == ALONG_Y ? (int)src_sy : AXIS == ALONG_X ? (int)src_sx : NC;
    const int threads_y = gridDim.y * blockDim.y;
    const int run = (out_h + threads_y - 1) / threads_y;
    const int y0 = (blockIdx.y * blockDim.y + threadIdx.y) * run;
    const int y1 = min(y0 + run, out_h);
    for (int y = y0; y < y1; ++y) {
        const int j = AXIS == ALONG_Y ? y : x;
        const float *w = weights + j * stride;
        const int first = __ldg(offsets + j);
        const TI *p = AXIS == ALONG_Y ? src + first * src_sy + x * src_sx : src + y * src_sy + first * (long long)step;
        // Four taps an iteration: four pointers a step apart, one running 32-bit offset.
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
}

}  // namespace zemvara
