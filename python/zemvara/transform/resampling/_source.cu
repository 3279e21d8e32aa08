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

// Sum of the weights of all taps around p (inside the image or not).
template <class F>
__device__ float weight_sum(float p, float s, const typename F::Params &f) {
    const float reach = F::reach(s, f);
    const float inv_s = 1.0f / s;
    const int first = (int)floorf(p - reach) + 1, last = (int)ceilf(p + reach) - 1;
    float sum = 0.0f;
    for (int i = first; i <= last; ++i) sum += F::weight((float)i - p, s, inv_s, f);
    return sum;
}

// Most taps an axis sums over exactly. Past it (extreme reductions, degenerate
// matrices) the sum is the same Riemann sum taken at the stretch that gives
// this many taps, scaled by the ratio of the stretches: the weights are a
// smooth function sampled ever more finely, so the two agree to O(1/taps^2),
// and the time per pixel stays bounded.
#define ZEMVARA_MAX_SUM_TAPS 4096.0f

// Taps per axis whose weights are kept from the weight sum for the filtering
// itself: every enlargement, and reductions down to 1/4 with Lanczos-2 or cubics.
#define ZEMVARA_KEPT_TAPS 16

// One source axis of one destination pixel.
struct Axis {
    float p, s, inv_s, norm;  // position, stretch, 1 / stretch, 1 / weight sum
    int first, last;          // taps inside the image
    float below, above;       // replicated edges: the weights of the taps beyond them
    bool kept;                // w holds the final weights of the taps first .. last
    float w[ZEMVARA_KEPT_TAPS];
};

// False when no tap inside the image can have a weight (the pixel stays zero).
template <class F>
__device__ __forceinline__ bool setup_axis(float p, float s, int n, bool edge, const typename F::Params &f,
                                           Axis &ax) {
    const float reach = F::reach(s, f);
    const float lo = p - reach, hi = p + reach;
    if (!(hi > 0.0f && lo < (float)(n - 1))) return false;  // NaN fails too
    ax.first = max(0, (int)floorf(fmaxf(lo, -1.0f)) + 1);
    ax.last = min(n - 1, (int)ceilf(fminf(hi, (float)n)) - 1);
    if (ax.first > ax.last) return false;
    ax.p = p;
    ax.s = s;
    ax.inv_s = 1.0f / s;
    float sum, below = 0.0f, above = 0.0f;
    ax.kept = false;
    if (2.0f * reach <= ZEMVARA_MAX_SUM_TAPS) {
        // Every tap, once: the sum, for replicated edges the parts beyond them,
        // and the weights of the taps inside when they are few enough to keep.
        const int lo_i = (int)floorf(lo) + 1, hi_i = (int)ceilf(hi) - 1;
        ax.kept = ax.last - ax.first < ZEMVARA_KEPT_TAPS;
        sum = 0.0f;
        for (int i = lo_i; i <= hi_i; ++i) {
            const float w = F::weight((float)i - p, s, ax.inv_s, f);
            sum += w;
            if (i < 0) below += w;
            if (i >= n) above += w;
            if (ax.kept && i >= ax.first && i <= ax.last) ax.w[i - ax.first] = w;
        }
        if (same_type<F, Area>::value) sum = s;  // the unit squares tile the line: the overlaps add up to s
        if (!edge) below = above = 0.0f;
    } else if (same_type<F, Area>::value && !edge) {
        sum = s;
    } else if (!edge) {
        // The reach grows as R * s: s_cut = MAX / (2 R), whatever s is, so
        // that an infinite stretch gives an infinite sum (zero weights)
        // rather than a NaN stretch whose tap range cannot be converted.
        const float s_cut = ZEMVARA_MAX_SUM_TAPS / (2.0f * F::reach(1.0f, f));
        sum = weight_sum<F>(p - floorf(p), s_cut, f) * (s / s_cut);
    } else {
        // A replicated edge under a footprint this wide: the weights of the taps
        // inside, normalised over themselves.
        sum = 0.0f;
        for (int i = ax.first; i <= ax.last; ++i) sum += F::weight((float)i - p, s, ax.inv_s, f);
    }
    if (!(sum > 0.0f)) return false;
    ax.norm = 1.0f / sum;
    ax.below = below * ax.norm;
    ax.above = above * ax.norm;
    if (ax.kept) {
        for (int k = 0; k <= ax.last - ax.first; ++k) ax.w[k] *= ax.norm;
        if (ax.first == 0) ax.w[0] += ax.below;
        if (ax.last == n - 1) ax.w[ax.last - ax.first] += ax.above;
    }
    return true;
}

template <class F>
__device__ __forceinline__ float tap_weight(int i, int n, const Axis &ax, const typename F::Params &f) {
    float w = F::weight((float)i - ax.p, ax.s, ax.inv_s, f) * ax.norm;
    if (i == 0) w += ax.below;
    if (i == n - 1) w += ax.above;
    return w;
}

// Adds the filtered value of channels 0 .. nc-1 (nc <= NC <= 4) at the source
// position (px, py) to acc. Element (y, x, c) of the source lies at
// src[y * sy + x * sx + c * sc]; the image is h x w. stretch_x, stretch_y are the
// reduction factors (>= 1), used by widening filters only. edge: replicate the
// edge pixels instead of seeing zeros beyond them.
template <class F, int E, int NC>
__device__ __forceinline__ void sample(const typename Elem<E>::T *src, int h, int w,
                                       long long sy, long long sx, long long sc, int nc,
                                       float px, float py, float stretch_x, float stretch_y,
                                       bool edge, const typename F::Params &f, float *acc) {
    typedef typename Elem<E>::T T;
    if (same_type<F, Nearest>::value) {
        float fx = floorf(px + 0.5f), fy = floorf(py + 0.5f);
        if (edge) {
            fx = fminf(fmaxf(fx, 0.0f), (float)(w - 1));
            fy = fminf(fmaxf(fy, 0.0f), (float)(h - 1));
        }
        if (!(fx >= 0.0f && fx < (float)w && fy >= 0.0f && fy < (float)h)) return;
        const T *p = src + (long long)min((int)fy, h - 1) * sy + (long long)min((int)fx, w - 1) * sx;
#pragma unroll
        for (int c = 0; c < NC; ++c)
            if (c < nc) acc[c] += Elem<E>::load(p + c * sc);
        return;
    }
    if (same_type<F, Bilinear>::value) {
        // Taps floor(p) and floor(p) + 1 with weights 1 - frac and frac (they sum to 1).
        if (edge) {
            px = fminf(fmaxf(px, 0.0f), (float)(w - 1));  // the same as replicated taps
            py = fminf(fmaxf(py, 0.0f), (float)(h - 1));
        }
        if (!(px > -1.0f && px < (float)w && py > -1.0f && py < (float)h)) return;
        const float x0f = floorf(px), y0f = floorf(py);
        const int x0 = (int)x0f, y0 = (int)y0f;
        const float ax = px - x0f, ay = py - y0f;
        const float wx[2] = {1.0f - ax, ax}, wy[2] = {1.0f - ay, ay};
#pragma unroll
        for (int j = 0; j < 2; ++j) {
            const int y = y0 + j;
            if (y < 0 || y >= h) continue;
            const T *row = src + (long long)y * sy;
            float r[NC];
#pragma unroll
            for (int c = 0; c < NC; ++c) r[c] = 0.0f;
#pragma unroll
            for (int i = 0; i < 2; ++i) {
                const int x = x0 + i;
                if (x < 0 || x >= w) continue;
                const T *p = row + (long long)x * sx;
#pragma unroll
                for (int c = 0; c < NC; ++c)
                    if (c < nc) r[c] += wx[i] * Elem<E>::load(p + c * sc);
            }
#pragma unroll
            for (int c = 0; c < NC; ++c) acc[c] += wy[j] * r[c];
        }
        return;
    }
    const float s_x = stretch_x, s_y = stretch_y;  // already 1 for filters that do not widen
    Axis ax, ay;
    if (!setup_axis<F>(px, s_x, w, edge, f, ax) || !setup_axis<F>(py, s_y, h, edge, f, ay)) return;
    if (ax.kept && ay.kept) {  // the common case: weights from the sums
        for (int ky = 0; ky <= ay.last - ay.first; ++ky) {
            const T *row = src + (long long)(ay.first + ky) * sy + (long long)ax.first * sx;
            float r[NC];
#pragma unroll
            for (int c = 0; c < NC; ++c) r[c] = 0.0f;
            for (int kx = 0; kx <= ax.last - ax.first; ++kx) {
                const T *p = row + (long long)kx * sx;
#pragma unroll
                for (int c = 0; c < NC; ++c)
                    if (c < nc) r[c] += ax.w[kx] * Elem<E>::load(p + c * sc);
            }
#pragma unroll
            for (int c = 0; c < NC; ++c) acc[c] += ay.w[ky] * r[c];
        }
        return;
    }
    // Wide footprints: weights computed once per tap of a chunk, for each chunk
    // of the other axis.
    const int CHUNK = 16;
    for (int y0 = ay.first; y0 <= ay.last; y0 += CHUNK) {
        const int ny = min(CHUNK, ay.last - y0 + 1);
        float wy[CHUNK];
        for (int k = 0; k < ny; ++k) wy[k] = tap_weight<F>(y0 + k, h, ay, f);
        for (int x0 = ax.first; x0 <= ax.last; x0 += CHUNK) {
            const int nx = min(CHUNK, ax.last - x0 + 1);
            float wx[CHUNK];
            for (int k = 0; k < nx; ++k) wx[k] = tap_weight<F>(x0 + k, w, ax, f);
            for (int ky = 0; ky < ny; ++ky) {
                const T *row = src + (long long)(y0 + ky) * sy + (long long)x0 * sx;
                float r[NC];
#pragma unroll
                for (int c = 0; c < NC; ++c) r[c] = 0.0f;
                for (int kx = 0; kx < nx; ++kx) {
                    const T *p = row + (long long)kx * sx;
#pragma unroll
                    for (int c = 0; c < NC; ++c)
                        if (c < nc) r[c] += wx[kx] * Elem<E>::load(p + c * sc);
                }
#pragma unroll
                for (int c = 0; c < NC; ++c) acc[c] += wy[ky] * r[c];
            }
        }
    }
}

// ---- affine warps: float32 (H', W', 3) output from an (H, W, CH) source --------

template <class F, int E, int CH>
__global__ void affine_warp(const typename Elem<E>::T *__restrict__ src, float *__restrict__ dst,
                            const float *__restrict__ m, int src_h, int src_w, int dst_h,
                            int dst_w, float p0, float p1) {
    const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= (unsigned int)dst_w || y >= (unsigned int)dst_h) return;
    const typename F::Params f = F::prepare(p0, p1);
    const float m0 = __ldg(m), m1 = __ldg(m + 1), m2 = __ldg(m + 2);
    const float m3 = __ldg(m + 3), m4 = __ldg(m + 4), m5 = __ldg(m + 5);
    const float fx = (float)x, fy = (float)y;
    const float px = m0 * fx + m1 * fy + m2;
    const float py = m3 * fx + m4 * fy + m5;
    const float stretch_x = stretch_of<F>(hypotf(m0, m1));
    const float stretch_y = stretch_of<F>(hypotf(m3, m4));
    const int NC = CH < 3 ? CH : 3;  // grey is replicated, alpha ignored
    float acc[NC];
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
    sample<F, E, NC>(src, src_h, src_w, (long long)src_w * CH, CH, 1, NC, px, py, stretch_x,
                     stretch_y, false, f, acc);
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
// from offsets[j] on. Rows are walked grid-stride, so any height fits the
// grid's y limit; grid z counts the channel groups.
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
    const long long step = AXIS == ALONG_Y ? src_sy : AXIS == ALONG_X ? src_sx : NC;
    const int rows = gridDim.y * blockDim.y;
    for (int y = blockIdx.y * blockDim.y + threadIdx.y; y < out_h; y += rows) {
        const int j = AXIS == ALONG_Y ? y : x;
        const float *w = weights + j * stride;
        const int first = __ldg(offsets + j);
        const TI *p = AXIS == ALONG_Y ? src + first * src_sy + x * src_sx : src + y * src_sy + first * step;
        float acc[NC];
#pragma unroll
        for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
        int t = 0;
        for (; t + 4 <= taps; t += 4) {  // table rows are 16-byte aligned: one load, four weights
            const float4 w4 = *reinterpret_cast<const float4 *>(w + t);
#pragma unroll
            for (int c = 0; c < NC; ++c) {
                acc[c] += w4.x * Elem<EI>::load(p + c);
                acc[c] += w4.y * Elem<EI>::load(p + step + c);
                acc[c] += w4.z * Elem<EI>::load(p + 2 * step + c);
                acc[c] += w4.w * Elem<EI>::load(p + 3 * step + c);
            }
            p += 4 * step;
        }
        for (; t < taps; ++t) {
            const float wt = w[t];
#pragma unroll
            for (int c = 0; c < NC; ++c) acc[c] += wt * Elem<EI>::load(p + c);
            p += step;
        }
        typename Elem<EO>::T *q = dst + y * dst_sy + x * dst_sx;
#pragma unroll
        for (int c = 0; c < NC; ++c) q[c] = Elem<EO>::store(acc[c]);
    }
}

}  // namespace zemvara
