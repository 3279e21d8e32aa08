// Resampling kernels of zemvara: affine warps and resizes over one set of filters.
//
// A filter is data: a weight function w(t) of the tap offset t = i - p (source
// pixels), a support radius R, and whether the support widens on reduction.
//
//   filter     w(x), x = t / s                                R     widens
//   NEAREST    the tap floor(p + 1/2)                         -     no
//   BILINEAR   max(0, 1 - |x|)                                1     no
//   BICUBIC    Keys cubic, a = -0.75 (Mitchell B = 0, C = 0.75)  2  yes
//   MITCHELL   Mitchell-Netravali cubic with B, C             2     yes
//   LANCZOS    sinc(x) sinc(x / A) for |x| < A                A     yes
//   AREA       overlap of [i - 1/2, i + 1/2] with [p - s/2, p + s/2]
//                                                    reach (s + 1) / 2, yes
//
// Coordinates: pixel centres sit at integer positions. A warp samples
// destination pixel (x, y) at the source position (m0 x + m1 y + m2,
// m3 x + m4 y + m5), m being the inverse matrix. A resize samples destination x
// at (x + 1/2) * in / out - 1/2 along each axis: half-pixel centres, written in
// the same integer-centre coordinates.
//
// Borders: a warp sees zeros around the image (below). A resize replicates the
// edge pixels instead, as image resizers do: the weight of every tap beyond an
// edge goes to that edge's pixel.
//
// Antialiasing, the one rule: along each source axis the stretch s is the
// source distance between neighbouring destination pixels (the length of that
// row of the inverse matrix's 2 x 2 block; in / out for a resize), never below
// 1. Widening filters reach R * s and weigh a tap by w(t / s); nearest and
// bilinear keep s = 1. The taps of an axis are the integers i with
// |i - p| < reach. Weights are normalised by their sum over all taps of the
// axis; taps outside the image then count as zero (the image is surrounded by
// zeros). The 2-D weight is the product of the two axis weights.
//
// All arithmetic is float32. Positions are compared with the image bounds in
// floating point before any conversion to an integer, so that huge positions
// (or NaN) give zeros and never wrap around; tap indices are clamped into the
// image, so that no read leaves the source.

namespace zemvara {

enum { NEAREST = 0, BILINEAR = 1, BICUBIC = 2, AREA = 3, MITCHELL = 4, LANCZOS = 5 };
enum { U8 = 0, U16 = 1, F16 = 2, F32 = 3 };

// ---- element types: loads through the read-only data cache, stores ---------

__device__ __forceinline__ float half_bits_to_float(unsigned short h) {
#ifdef __CUDA_ARCH__
    float f;
    asm("cvt.f32.f16 %0, %1;" : "=f"(f) : "h"(h));
    return f;
#else
    const unsigned int sign = (unsigned int)(h & 0x8000u) << 16;
    const unsigned int e = (h >> 10) & 0x1fu, m = h & 0x3ffu;
    if (e == 0) {  // zero or subnormal: m * 2^-24
        const float v = (float)m * 5.9604644775390625e-8f;
        return sign ? -v : v;
    }
    if (e == 31) return __uint_as_float(sign | 0x7f800000u | (m << 13));
    return __uint_as_float(sign | ((e + 112u) << 23) | (m << 13));
#endif
}

__device__ __forceinline__ unsigned short float_to_half_bits(float f) {
#ifdef __CUDA_ARCH__
    unsigned short h;
    asm("cvt.rn.f16.f32 %0, %1;" : "=h"(h) : "f"(f));
    return h;
#else
    // Round to nearest, ties to even, as the GPU conversion does.
    const unsigned int x = __float_as_uint(f);
    const unsigned int sign = (x >> 16) & 0x8000u, ax = x & 0x7fffffffu;
    if (ax > 0x7f800000u) return (unsigned short)(sign | 0x7e00u);  // NaN
    if (ax >= 0x47800000u) return (unsigned short)(sign | 0x7c00u); // >= 2^16: inf
    if (ax < 0x38800000u) {  // below 2^-14: a subnormal half (exact scaling)
        return (unsigned short)(sign | (unsigned int)rintf(__uint_as_float(ax) * 16777216.0f));
    }
    unsigned int h = ((ax >> 23) - 112u) << 10 | ((ax >> 13) & 0x3ffu);
    const unsigned int rest = ax & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (h & 1u))) ++h;  // may carry into inf
    return (unsigned short)(sign | h);
#endif
}

template <int E> struct Elem;
template <> struct Elem<U8> {
    typedef unsigned char T;
    static __device__ __forceinline__ float load(const T *p) { return (float)__ldg(p); }
    static __device__ __forceinline__ T store(float v) {
        return (T)fminf(fmaxf(rintf(v), 0.0f), 255.0f);  // NaN becomes 0
    }
};
template <> struct Elem<U16> {
    typedef unsigned short T;
    static __device__ __forceinline__ float load(const T *p) { return (float)__ldg(p); }
    static __device__ __forceinline__ T store(float v) {
        return (T)fminf(fmaxf(rintf(v), 0.0f), 65535.0f);
    }
};
template <> struct Elem<F16> {
    typedef unsigned short T;  // IEEE half bits
    static __device__ __forceinline__ float load(const T *p) { return half_bits_to_float(__ldg(p)); }
    static __device__ __forceinline__ T store(float v) { return float_to_half_bits(v); }
};
template <> struct Elem<F32> {
    typedef float T;
    static __device__ __forceinline__ float load(const T *p) { return __ldg(p); }
    static __device__ __forceinline__ T store(float v) { return v; }
};

// ---- filters ------------------------------------------------------------------

// Run-time filter parameters: the two cubic pieces (Mitchell-Netravali with B, C,
// divided by 6 once here) and the Lanczos window A.
struct Filter {
    float p3, p2, p0;      // |x| < 1:      (p3 |x| + p2) x^2 + p0
    float q3, q2, q1, q0;  // 1 <= |x| < 2: ((q3 |x| + q2) |x| + q1) |x| + q0
    float a;               // Lanczos window
};

__device__ __forceinline__ Filter make_filter(float b, float c, float a) {
    Filter f;
    f.p3 = (12.0f - 9.0f * b - 6.0f * c) / 6.0f;
    f.p2 = (-18.0f + 12.0f * b + 6.0f * c) / 6.0f;
    f.p0 = (6.0f - 2.0f * b) / 6.0f;
    f.q3 = (-b - 6.0f * c) / 6.0f;
    f.q2 = (6.0f * b + 30.0f * c) / 6.0f;
    f.q1 = (-12.0f * b - 48.0f * c) / 6.0f;
    f.q0 = (8.0f * b + 24.0f * c) / 6.0f;
    f.a = a;
    return f;
}

template <int K> __device__ __forceinline__ bool widens() {
    return K == BICUBIC || K == MITCHELL || K == LANCZOS || K == AREA;
}

// Taps i with |i - p| < reach can have a non-zero weight.
template <int K> __device__ __forceinline__ float reach_of(float s, const Filter &f) {
    if (K == AREA) return 0.5f * (s + 1.0f);
    if (K == LANCZOS) return f.a * s;
    if (K == BILINEAR) return 1.0f;
    return 2.0f * s;
}

// Weight of the tap at offset t = i - p, for the stretch s (inv_s = 1 / s).
template <int K>
__device__ __forceinline__ float weight(float t, float s, float inv_s, const Filter &f) {
    if (K == AREA) return fmaxf(0.0f, fminf(t + 0.5f, 0.5f * s) - fmaxf(t - 0.5f, -0.5f * s));
    const float x = fabsf(t) * inv_s;
    if (K == BILINEAR) return fmaxf(0.0f, 1.0f - x);
    if (K == LANCZOS) {
        if (x < 1e-6f) return 1.0f;
        if (x >= f.a) return 0.0f;
        const float pi = 3.14159265358979f;
        return f.a * sinpif(x) * sinpif(x / f.a) / (pi * pi * x * x);
    }
    if (x < 1.0f) return (f.p3 * x + f.p2) * x * x + f.p0;
    if (x < 2.0f) return ((f.q3 * x + f.q2) * x + f.q1) * x + f.q0;
    return 0.0f;
}

// Sum of the weights of all taps around p (inside the image or not).
template <int K>
__device__ float weight_sum(float p, float s, const Filter &f) {
    const float reach = reach_of<K>(s, f);
    const float inv_s = 1.0f / s;
    const int first = (int)floorf(p - reach) + 1, last = (int)ceilf(p + reach) - 1;
    float sum = 0.0f;
    for (int i = first; i <= last; ++i) sum += weight<K>((float)i - p, s, inv_s, f);
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
template <int K>
__device__ __forceinline__ bool setup_axis(float p, float s, int n, bool edge, const Filter &f,
                                           Axis &ax) {
    const float reach = reach_of<K>(s, f);
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
            const float w = weight<K>((float)i - p, s, ax.inv_s, f);
            sum += w;
            if (i < 0) below += w;
            if (i >= n) above += w;
            if (ax.kept && i >= ax.first && i <= ax.last) ax.w[i - ax.first] = w;
        }
        if (K == AREA) sum = s;  // the unit squares tile the line: the overlaps add up to s
        if (!edge) below = above = 0.0f;
    } else if (K == AREA && !edge) {
        sum = s;
    } else if (!edge) {
        // The reach grows as R * s: s_cut = MAX / (2 R), whatever s is, so
        // that an infinite stretch gives an infinite sum (zero weights)
        // rather than a NaN stretch whose tap range cannot be converted.
        const float s_cut = ZEMVARA_MAX_SUM_TAPS / (2.0f * reach_of<K>(1.0f, f));
        sum = weight_sum<K>(p - floorf(p), s_cut, f) * (s / s_cut);
    } else {
        // A replicated edge under a footprint this wide: the weights of the taps
        // inside, normalised over themselves.
        sum = 0.0f;
        for (int i = ax.first; i <= ax.last; ++i) sum += weight<K>((float)i - p, s, ax.inv_s, f);
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

template <int K>
__device__ __forceinline__ float tap_weight(int i, int n, const Axis &ax, const Filter &f) {
    float w = weight<K>((float)i - ax.p, ax.s, ax.inv_s, f) * ax.norm;
    if (i == 0) w += ax.below;
    if (i == n - 1) w += ax.above;
    return w;
}

// Adds the filtered value of channels 0 .. nc-1 (nc <= NC <= 4) at the source
// position (px, py) to acc. Element (y, x, c) of the source lies at
// src[y * sy + x * sx + c * sc]; the image is h x w. stretch_x, stretch_y are the
// reduction factors (>= 1), used by widening filters only. edge: replicate the
// edge pixels instead of seeing zeros beyond them.
template <int K, int E, int NC>
__device__ __forceinline__ void sample(const typename Elem<E>::T *src, int h, int w,
                                       long long sy, long long sx, long long sc, int nc,
                                       float px, float py, float stretch_x, float stretch_y,
                                       bool edge, const Filter &f, float *acc) {
    typedef typename Elem<E>::T T;
    if (K == NEAREST) {
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
    if (K == BILINEAR) {
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
    const float s_x = widens<K>() ? stretch_x : 1.0f, s_y = widens<K>() ? stretch_y : 1.0f;
    Axis ax, ay;
    if (!setup_axis<K>(px, s_x, w, edge, f, ax) || !setup_axis<K>(py, s_y, h, edge, f, ay)) return;
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
        for (int k = 0; k < ny; ++k) wy[k] = tap_weight<K>(y0 + k, h, ay, f);
        for (int x0 = ax.first; x0 <= ax.last; x0 += CHUNK) {
            const int nx = min(CHUNK, ax.last - x0 + 1);
            float wx[CHUNK];
            for (int k = 0; k < nx; ++k) wx[k] = tap_weight<K>(x0 + k, w, ax, f);
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

template <int K, int E, int CH>
__device__ __forceinline__ void warp_pixel(const typename Elem<E>::T *src, float *dst,
                                           const float *m, long long src_h, long long src_w,
                                           long long dst_h, long long dst_w, const Filter &f) {
    const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= dst_w || y >= dst_h) return;
    const float m0 = __ldg(m), m1 = __ldg(m + 1), m2 = __ldg(m + 2);
    const float m3 = __ldg(m + 3), m4 = __ldg(m + 4), m5 = __ldg(m + 5);
    const float fx = (float)x, fy = (float)y;
    const float px = m0 * fx + m1 * fy + m2;
    const float py = m3 * fx + m4 * fy + m5;
    const float stretch_x = fmaxf(1.0f, hypotf(m0, m1));
    const float stretch_y = fmaxf(1.0f, hypotf(m3, m4));
    const int NC = CH < 3 ? CH : 3;  // grey is replicated, alpha ignored
    float acc[NC];
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
    sample<K, E, NC>(src, (int)src_h, (int)src_w, src_w * CH, CH, 1, NC, px, py, stretch_x,
                     stretch_y, false, f, acc);
    float *out = dst + ((long long)y * dst_w + x) * 3;
    out[0] = acc[0];
    out[1] = acc[NC == 1 ? 0 : 1];
    out[2] = acc[NC == 1 ? 0 : 2];
}

template <int K, int E, int CH>
__global__ void affine_warp(const typename Elem<E>::T *__restrict__ src, float *__restrict__ dst,
                            const float *__restrict__ m, long long src_h, long long src_w,
                            long long dst_h, long long dst_w) {
    // Bicubic is the Mitchell-Netravali cubic with B = 0, C = 0.75 (Keys, a = -0.75).
    warp_pixel<K, E, CH>(src, dst, m, src_h, src_w, dst_h, dst_w,
                         make_filter(0.0f, 0.75f, 0.0f));
}

template <int E, int CH>
__global__ void affine_warp_mitchell(const typename Elem<E>::T *__restrict__ src,
                                     float *__restrict__ dst, const float *__restrict__ m,
                                     long long src_h, long long src_w, long long dst_h,
                                     long long dst_w, float b, float c) {
    warp_pixel<MITCHELL, E, CH>(src, dst, m, src_h, src_w, dst_h, dst_w, make_filter(b, c, 0.0f));
}

template <int E, int CH>
__global__ void affine_warp_lanczos(const typename Elem<E>::T *__restrict__ src,
                                    float *__restrict__ dst, const float *__restrict__ m,
                                    long long src_h, long long src_w, long long dst_h,
                                    long long dst_w, long long a) {
    warp_pixel<LANCZOS, E, CH>(src, dst, m, src_h, src_w, dst_h, dst_w,
                               make_filter(0.0f, 0.0f, (float)a));
}

// ---- resize: any channel count and layout, output in the source's element type --

// Element (y, x, c) lies at y * sy + x * sx + c * sc in both arrays (strides in
// elements), so channel-first and channel-last images go through the same code.
// Rows are walked grid-stride, so any height fits the grid's y limit.
template <int K, int E>
__global__ void resize_image(const typename Elem<E>::T *__restrict__ src,
                             typename Elem<E>::T *__restrict__ dst, long long src_h,
                             long long src_w, long long channels, long long src_sy,
                             long long src_sx, long long src_sc, long long dst_h,
                             long long dst_w, long long dst_sy, long long dst_sx,
                             long long dst_sc, float scale_x, float scale_y, float b, float c,
                             long long a) {
    const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
    if (x >= dst_w) return;
    const Filter f = make_filter(b, c, (float)a);
    const float px = ((float)x + 0.5f) * scale_x - 0.5f;
    const float stretch_x = fmaxf(1.0f, scale_x), stretch_y = fmaxf(1.0f, scale_y);
    for (long long y = blockIdx.y * blockDim.y + threadIdx.y; y < dst_h;
         y += (long long)gridDim.y * blockDim.y) {
        const float py = ((float)y + 0.5f) * scale_y - 0.5f;
        typename Elem<E>::T *out = dst + y * dst_sy + (long long)x * dst_sx;
        for (long long c0 = 0; c0 < channels; c0 += 4) {
            const int nc = (int)min(channels - c0, 4ll);
            float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            sample<K, E, 4>(src + c0 * src_sc, (int)src_h, (int)src_w, src_sy, src_sx, src_sc, nc,
                            px, py, stretch_x, stretch_y, true, f, acc);
#pragma unroll
            for (int k = 0; k < 4; ++k)
                if (k < nc) out[(c0 + k) * dst_sc] = Elem<E>::store(acc[k]);
        }
    }
}

}  // namespace zemvara
