// Warps with border modes: affine and perspective, any element type, 1 to 4
// channels, batches in one launch. Compiled behind _filters.cuh (element loads
// and stores, the filters' traits blocks, the antialiasing rule) and _taps.cuh
// (the tap loop). The kernel entry walks destination pixels; warp_pixel
// computes one from plain image descriptors, so that other entries can reuse it.
//
// Coordinates: pixel centres at integer positions. Destination pixel (x, y) of
// image n samples the source at the inverse map of (x, y):
//   affine       (m0 x + m1 y + m2, m3 x + m4 y + m5)
//   perspective  the same divided by w = m6 x + m7 y + m8; where w <= 0 (or the
//                position is not finite) the pixel lies outside the image.
//
// Antialiasing, the rule of the shared filters (stretch_of): along each source
// axis the spacing of neighbouring destination pixels is the length of that
// row of the inverse map's Jacobian (for an affine map the row of its 2 x 2
// block; for a perspective map it varies per pixel). The taps of an axis are
// the integers i with |i - p| < reach(s), their weights normalised by their
// sum. The stretch is capped so that the reach stays within WARP_MAX_REACH
// source pixels: stronger reductions filter with that footprint.
//
// Borders, applied to every tap (the 2-D weight is the product of the axis
// weights, so each tap keeps its weight wherever it lands): each mode's
// constant and diagram are its row in borders.py (the constants are compiled
// in front of this source); border_index_outside and warp_axis implement them.
// A tap outside the image reads border_value under BORDER_CONSTANT. Under
// BORDER_TRANSPARENT the pixel is written only where the position lies within
// the pixel centres, 0 <= x <= W - 1 and 0 <= y <= H - 1, taps beyond the edge
// there reading as BORDER_REFLECT_101; elsewhere dst keeps its value.
// A pixel outside the image altogether (w <= 0, a position that is not finite)
// takes border_value, or is left as it is with TRANSPARENT.
//
// Layout: element (n, y, x, c) lies at n * sn + y * sy + x * sx + c * sc
// (strides in elements) in both arrays, so strided views need no copy; the
// channels of a source pixel lie side by side (sc = 1), so that a tap's
// loads share one address. Rows and images are walked grid-stride, so any
// height and batch fit the grid.

namespace zemvara {

// Footprint limit, source pixels on each side of the position.
#define WARP_MAX_REACH 512.0f

// Taps handled per step along x: weights and indices of one step stay in
// registers (the loop over them is unrolled), and each step walks the y taps
// once, so a step covers the taps of one row at stretch 1: one for nearest,
// two for bilinear, four for the cubics and area, eight for Lanczos (A <= 4).
template <class F> struct WarpChunk { enum { value = 4 }; };
template <> struct WarpChunk<Nearest> { enum { value = 1 }; };
template <> struct WarpChunk<Bilinear> { enum { value = 2 }; };
template <> struct WarpChunk<Lanczos> { enum { value = 8 }; };

// The source index a tap i outside 0 .. n - 1 reads under a border mode; -1
// for a constant border. Kept out of line: only taps beyond an edge call it,
// and the tap loop stays short.
__device__ __noinline__ int border_index_outside(int i, int n, int border) {
    switch (border) {
    case BORDER_REPLICATE:
        return i < 0 ? 0 : n - 1;
    case BORDER_REFLECT: {
        const int period = 2 * n;
        int j = i % period;
        if (j < 0) j += period;
        return j < n ? j : period - 1 - j;
    }
    case BORDER_WRAP: {
        int j = i % n;
        return j < 0 ? j + n : j;
    }
    case BORDER_REFLECT_101:
    case BORDER_TRANSPARENT: {
        if (n == 1) return 0;
        const int period = 2 * n - 2;
        int j = i % period;
        if (j < 0) j += period;
        return j < n ? j : period - j;
    }
    default:
        return -1;
    }
}

// The source index a tap i reads under a border mode; -1 for a constant border.
__device__ __forceinline__ int border_index(int i, int n, int border) {
    return (unsigned)i < (unsigned)n ? i : border_index_outside(i, n, border);
}

// The taps of one source axis: first .. first + count - 1, each weighing
// F::weight(i - p) * norm.
struct WarpAxis {
    float p, s, inv_s, norm;
    int first, count;
};

// False when every tap lies outside the image under a constant border (the
// pixel is border_value). Positions far outside are first moved by a whole
// period of the border (or clamped, for REPLICATE), which changes no tap's
// source pixel, so that tap indices stay small integers.
template <class F>
__device__ __forceinline__ bool warp_axis(float p, float spacing, int n, int border,
                                          const typename F::Params &k, WarpAxis &ax) {
    const float s = fminf(stretch_of<F>(spacing), WARP_MAX_REACH / F::reach(1.0f, k));
    const float reach = F::reach(s, k);
    const float far = 2.0f * (float)n + reach + 2.0f;
    if (!(fabsf(p) < 3.0e38f)) return false;  // not finite
    if (p < -far || p > far) {
        if (border == BORDER_CONSTANT) return false;
        if (border == BORDER_REPLICATE) {
            p = p < 0.0f ? -(reach + 1.0f) : (float)n + reach;
        } else {
            const float period = border == BORDER_WRAP ? (float)n
                                 : border == BORDER_REFLECT ? 2.0f * n
                                 : n == 1 ? 1.0f : 2.0f * n - 2.0f;
            p -= period * floorf(p / period);
        }
    }
    ax.p = p;
    ax.s = s;
    ax.inv_s = __fdividef(1.0f, s);
    ax.norm = 1.0f;  // set by warp_norm where the weights do not sum to one
    if (WarpChunk<F>::value == 1) {  // nearest: the one tap floor(p + 1/2)
        ax.first = (int)floorf(p + 0.5f);
        ax.count = 1;
    } else {
        float lo, hi;
        tap_range(p, reach, lo, hi);
        ax.first = (int)lo;
        ax.count = (int)hi - ax.first + 1;
    }
    if (border == BORDER_CONSTANT && (ax.first >= n || ax.first + ax.count <= 0)) return false;
    return true;
}

// The taps of an axis in the common case, without the border work of
// warp_axis: every tap inside 0 .. n - 1, at most CHUNK of them, and with
// WHOLE the window of CHUNK pixels from the first tap on inside too. False
// otherwise, a position that is not finite included.
template <class F, bool WHOLE>
__device__ __forceinline__ bool interior_axis(float p, float spacing, int n, const typename F::Params &k,
                                              WarpAxis &ax) {
    const int CHUNK = WarpChunk<F>::value;
    const float s = fminf(stretch_of<F>(spacing), WARP_MAX_REACH / F::reach(1.0f, k));
    float lo, hi;
    if (CHUNK == 1) {  // nearest: the one tap floor(p + 1/2)
        lo = hi = floorf(p + 0.5f);
    } else {
        tap_range(p, F::reach(s, k), lo, hi);
    }
    if (!(lo >= 0.0f && hi - lo < (float)CHUNK && (WHOLE ? lo + (float)CHUNK <= (float)n : hi < (float)n)))
        return false;
    ax.p = p;
    ax.s = s;
    ax.inv_s = __fdividef(1.0f, s);
    ax.norm = 1.0f;
    ax.first = (int)lo;
    ax.count = (int)hi - ax.first + 1;
    return true;
}

// Whether a filter's weights sum to one by construction: nearest (one tap) and
// bilinear (1 - f and f). Others are normalised by the sum of their weights.
template <class F> struct UnitSum { enum { value = 0 }; };
template <> struct UnitSum<Nearest> { enum { value = 1 }; };
template <> struct UnitSum<Bilinear> { enum { value = 1 }; };

template <class F>
__device__ __forceinline__ float raw_tap_weight(int i, const WarpAxis &ax, const typename F::Params &k) {
    if (WarpChunk<F>::value == 1) return 1.0f;
    return F::weight((float)i - ax.p, ax.s, ax.inv_s, k);
}

template <class F>
__device__ __forceinline__ float warp_tap_weight(int i, const WarpAxis &ax, const typename F::Params &k) {
    return raw_tap_weight<F>(i, ax, k) * ax.norm;
}

// Sets ax.norm to 1 / (the sum of the axis's weights); false when that sum is
// not positive (the pixel takes the fill).
template <class F>
__device__ __forceinline__ bool warp_norm(WarpAxis &ax, const typename F::Params &k) {
    if (UnitSum<F>::value) return true;
    float sum = 0.0f;
    for (int i = 0; i < ax.count; ++i) sum += raw_tap_weight<F>(ax.first + i, ax, k);
    if (!(sum > 0.0f)) return false;
    ax.norm = __fdividef(1.0f, sum);
    return true;
}

// The weights of the T taps from ax.first on, each computed once and
// normalised by their sum (taps past the axis's last lie at or beyond the
// reach and weigh zero). False when the sum is not positive.
template <class F, int T>
__device__ __forceinline__ bool window_weights(const WarpAxis &ax, const typename F::Params &k, float *w) {
    const float t0 = (float)ax.first - ax.p;
    float sum = 0.0f;
#pragma unroll
    for (int j = 0; j < T; ++j) {
        w[j] = WarpChunk<F>::value == 1 ? 1.0f : F::weight(t0 + (float)j, ax.s, ax.inv_s, k);
        sum += w[j];
    }
    if (UnitSum<F>::value) return true;
    if (!(sum > 0.0f)) return false;
    const float norm = __fdividef(1.0f, sum);
#pragma unroll
    for (int j = 0; j < T; ++j) w[j] *= norm;
    return true;
}

// The filtered value of the NC channels at (px, py), the destination pixels
// lying spacing_x, spacing_y source pixels apart; false when the pixel takes
// the fill whole.
template <class F, int E, int NC>
__device__ __forceinline__ bool warp_sample(const typename Elem<E>::T *src, int h, int w,
                                            long long sy, int sx, float px,
                                            float py, float spacing_x, float spacing_y,
                                            int border, const float *fill,
                                            const typename F::Params &k, float *acc) {
    typedef typename Elem<E>::T T;
    const int CHUNK = WarpChunk<F>::value;
    WarpAxis ax, ay;
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
    if (sx == NC && interior_axis<F, true>(px, spacing_x, w, k, ax) &&
        interior_axis<F, false>(py, spacing_y, h, k, ay)) {
        // The common case: every tap inside the image, each axis one step,
        // pixels side by side, and the window of CHUNK pixels from the first
        // tap on inside the row: its taps sit at fixed offsets from one
        // pointer, walked by the tap loop. Window pixels past the last tap lie
        // at or beyond the reach, where every filter weighs zero, so no range
        // check is needed.
        float wx[CHUNK], wy[CHUNK];
        if (!window_weights<F, CHUNK>(ax, k, wx) || !window_weights<F, CHUNK>(ay, k, wy)) return false;
        const T *window = src + (long long)ay.first * sy + ax.first * NC;
        // Small windows (up to four rows, so at most one row past the last
        // tap) are walked whole where they lie inside: those rows weigh zero.
        if (CHUNK <= 4 && ay.first + CHUNK <= h)
            window_taps_full<E, NC, NC, CHUNK, false>(window, sy, wx, wy, acc);
        else
            window_taps<E, NC, NC, CHUNK, false>(window, sy, ay.count, wx, wy, acc);
        return true;
    }
    const int tap_border = border == BORDER_TRANSPARENT ? BORDER_REFLECT_101 : border;
    if (!warp_axis<F>(px, spacing_x, w, tap_border, k, ax) ||
        !warp_axis<F>(py, spacing_y, h, tap_border, k, ay))
        return false;
    if (!warp_norm<F>(ax, k) || !warp_norm<F>(ay, k)) return false;
    for (int x0 = 0; x0 < ax.count; x0 += CHUNK) {
        // The step's taps: weights, column offsets (32-bit: the caller keeps
        // a row's extent below 2^31 elements) and which of them read a
        // pixel; the weight of those beyond a constant border, for the fill.
        float wx[CHUNK];
        int xo[CHUNK];
        unsigned int reads = 0u;
        float wsum = 0.0f, wfill = 0.0f;
#pragma unroll
        for (int j = 0; j < CHUNK; ++j) {
            const int i = ax.first + x0 + j;
            const bool live = x0 + j < ax.count;
            wx[j] = live ? warp_tap_weight<F>(i, ax, k) : 0.0f;
            const int column = live ? border_index(i, w, tap_border) : -1;
            xo[j] = column * sx;
            if (column >= 0) reads |= 1u << j;
            else wfill += wx[j];
            wsum += wx[j];
        }
        for (int ky = 0; ky < ay.count; ++ky) {
            const int j = ay.first + ky;
            const float wy = warp_tap_weight<F>(j, ay, k);
            const int iy = border_index(j, h, tap_border);
            float r[NC];
#pragma unroll
            for (int c = 0; c < NC; ++c) r[c] = (iy < 0 ? wsum : wfill) * fill[c];
            if (iy >= 0) {
                const T *row = src + (long long)iy * sy;
#pragma unroll
                for (int t = 0; t < CHUNK; ++t) {
                    if (!(reads >> t & 1u)) continue;
                    const T *q = row + xo[t];
#pragma unroll
                    for (int c = 0; c < NC; ++c) r[c] += wx[t] * Elem<E>::load(q + c);
                }
            }
#pragma unroll
            for (int c = 0; c < NC; ++c) acc[c] += wy * r[c];
        }
    }
    return true;
}

// The inverse map of one image: nine float32 values, row-major (an affine map
// uses the first six).
struct WarpMap {
    float m[9];
};

template <bool PERSPECTIVE>
__device__ __forceinline__ WarpMap load_warp_map(const float *m) {
    WarpMap map;
#pragma unroll
    for (int i = 0; i < (PERSPECTIVE ? 9 : 6); ++i) map.m[i] = __ldg(m + i);
    return map;
}

// Destination pixel (x, y) of the src_h x src_w source (element (y, x, c) at
// y * src_sy + x * src_sx + c) through the inverse map, written to out
// (channel c at c * dst_sc); under BORDER_TRANSPARENT a pixel whose position
// lies outside the source is left as it is.
template <class F, int E, int NC, bool PERSPECTIVE>
__device__ __forceinline__ void warp_pixel(const typename Elem<E>::T *src, long long src_h, long long src_w,
                                           long long src_sy, long long src_sx, const WarpMap &map,
                                           long long x, long long y, int bmode, const float *fill,
                                           const typename F::Params &k, typename Elem<E>::T *out,
                                           long long dst_sc) {
    const float *m = map.m;
    const float fx = (float)x, fy = (float)y;
    float px = fmaf(m[0], fx, fmaf(m[1], fy, m[2]));
    float py = fmaf(m[3], fx, fmaf(m[4], fy, m[5]));
    float spacing_x, spacing_y;
    bool inside = true;
    if (PERSPECTIVE) {
        const float wd = fmaf(m[6], fx, fmaf(m[7], fy, m[8]));
        inside = wd > 0.0f;
        const float inv_w = 1.0f / wd;
        px *= inv_w;
        py *= inv_w;
        // Rows of the Jacobian of (u, v) = (X / w, Y / w).
        spacing_x = hypotf((m[0] - px * m[6]) * inv_w, (m[1] - px * m[7]) * inv_w);
        spacing_y = hypotf((m[3] - py * m[6]) * inv_w, (m[4] - py * m[7]) * inv_w);
    } else {
        // The plain root of the sum of squares: where it overflows to infinity
        // (or underflows to zero) the stretch is capped (or 1) all the same.
        spacing_x = sqrtf(fmaf(m[0], m[0], m[1] * m[1]));
        spacing_y = sqrtf(fmaf(m[3], m[3], m[4] * m[4]));
    }
    if (bmode == BORDER_TRANSPARENT &&
        !(inside && px >= 0.0f && px <= (float)(src_w - 1) && py >= 0.0f && py <= (float)(src_h - 1)))
        return;
    float acc[NC];
    if (!inside || !warp_sample<F, E, NC>(src, (int)src_h, (int)src_w, src_sy, (int)src_sx, px, py, spacing_x,
                                          spacing_y, bmode, fill, k, acc)) {
        if (bmode == BORDER_TRANSPARENT) return;
#pragma unroll
        for (int c = 0; c < NC; ++c) acc[c] = fill[c];
    }
#pragma unroll
    for (int c = 0; c < NC; ++c) out[c * dst_sc] = Elem<E>::store(acc[c]);
}

// One warp of a batch: image n of src (src_h x src_w) into image n of dst
// (dst_h x dst_w), each with NC channels, through the inverse map at
// m + n * m_step (nine float32 values, row-major; an affine map uses six).
// p0, p1: the filter's parameters, in the order of its row in filters.py.
// Rows and images are walked grid-stride.
template <class F, int E, int NC, bool PERSPECTIVE>
__global__ void warp_image(const typename Elem<E>::T *__restrict__ src,
                           typename Elem<E>::T *__restrict__ dst, const float *__restrict__ m,
                           long long m_step, long long images, long long src_h, long long src_w,
                           long long src_sn, long long src_sy, long long src_sx,
                           long long dst_h, long long dst_w, long long dst_sn, long long dst_sy,
                           long long dst_sx, long long dst_sc, long long border, float fill0,
                           float fill1, float fill2, float fill3, float p0, float p1) {
    const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
    if (x >= dst_w) return;
    const typename F::Params k = F::prepare(p0, p1);
    const float fill[4] = {fill0, fill1, fill2, fill3};
    const int bmode = (int)border;
    for (long long n = blockIdx.z; n < images; n += gridDim.z) {
        const WarpMap map = load_warp_map<PERSPECTIVE>(m + n * m_step);
        // The output pixel's address steps with the row instead of being
        // computed afresh from 64-bit products for every pixel.
        const long long y0 = blockIdx.y * blockDim.y + threadIdx.y, step = (long long)gridDim.y * blockDim.y;
        typename Elem<E>::T *out = dst + n * dst_sn + y0 * dst_sy + (long long)x * dst_sx;
        for (long long y = y0; y < dst_h; y += step, out += step * dst_sy)
            warp_pixel<F, E, NC, PERSPECTIVE>(src + n * src_sn, src_h, src_w, src_sy, src_sx, map, x, y, bmode,
                                              fill, k, out, dst_sc);
    }
}

}  // namespace zemvara
