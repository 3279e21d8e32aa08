// Device code shared by the resampling kernels: element types, the filters and their tap ranges.
//
// Use: put this text in front of a kernel source and compile the two as one
// (`cp.RawModule(code=filters_code + source, options=("--std=c++17",), ...)`;
// `zemvara.transform.resampling.filters.FILTERS_CODE` holds this text). It is
// NVRTC-safe: no standard headers, everything in namespace zemvara, guarded
// against a second copy in the same source.
//
// A filter is a traits block (below): a weight function w of the tap offset,
// its reach, whether its support widens on reduction, and its run-time
// parameters. Adding a filter is one block here and one row in filters.py.
//
// Antialiasing, the one rule (stretch_of): along each source axis the stretch
// s is the source distance between neighbouring destination pixels (for a
// warp the length of that row of the inverse matrix's 2 x 2 block, for a
// resize in / out), never below 1, and 1 for filters that do not widen. A
// tap i counts when |i - p| < reach(s); its weight is weight(i - p, s), and
// the weights are normalised by their sum over all taps of the axis.
//
// Coordinates: pixel centres sit at integer positions. All arithmetic is
// float32; tap indices are 32-bit (axes stay below 2^24, where float32 holds
// every integer exactly).

#ifndef ZEMVARA_FILTERS_CUH
#define ZEMVARA_FILTERS_CUH

// The host compiler's float16 conversions, where the CPU has them.
#if !defined(__CUDA_ARCH__) && defined(__F16C__)
#include <immintrin.h>
#endif

namespace zemvara {

// ---- element types: loads through the read-only data cache, stores -----------

enum { U8 = 0, U16 = 1, F16 = 2, F32 = 3 };

__device__ __forceinline__ float half_bits_to_float(unsigned short h) {
#ifdef __CUDA_ARCH__
    float f;
    asm("cvt.f32.f16 %0, %1;" : "=f"(f) : "h"(h));
    return f;
#else
#ifdef __F16C__
    // One instruction where the CPU has it; a NaN keeps the path below (the
    // instruction quiets a signalling one).
    if ((h & 0x7c00u) != 0x7c00u) return _cvtsh_ss(h);
#endif
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
#ifdef __F16C__
    return _cvtss_sh(f, 0);  // the same rounding, in one instruction
#endif
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

#ifndef __CUDA_ARCH__
// v rounded to the nearest integer, ties to even, clamped to 0 .. top (top
// below 2^23), NaN to 0, without branches: clamped first, then rounded by
// adding and taking away 2^23, where a float's last place is 1. On x86-64 the
// clamp is maxss and minss by hand (v > 0 ? v : 0, a NaN failing the compare):
// written in C, g++ turns both ends into branches, which random pixels
// mispredict.
static __device__ __forceinline__ float host_round_clamped(float v, float top) {
#if defined(__x86_64__)
    float c = v;
    asm("maxss %1, %0\n\tminss %2, %0" : "+x"(c) : "x"(0.0f), "x"(top));
#else
    const float c = fminf(fmaxf(v, 0.0f), top);  // NaN becomes 0
#endif
    return (c + 8388608.0f) - 8388608.0f;
}
#endif

template <int E> struct Elem;
template <> struct Elem<U8> {
    typedef unsigned char T;
    static __device__ __forceinline__ float load(const T *p) { return (float)__ldg(p); }
    static __device__ __forceinline__ T store(float v) {
#ifdef __CUDA_ARCH__
        // One conversion: to nearest, ties to even, clamped to 0 .. 255, NaN to 0.
        unsigned int r;
        asm("cvt.rni.sat.u8.f32 %0, %1;" : "=r"(r) : "f"(v));
        return (T)r;
#else
        return (T)host_round_clamped(v, 255.0f);
#endif
    }
};
template <> struct Elem<U16> {
    typedef unsigned short T;
    static __device__ __forceinline__ float load(const T *p) { return (float)__ldg(p); }
    static __device__ __forceinline__ T store(float v) {
#ifdef __CUDA_ARCH__
        unsigned int r;  // as for U8: clamped to 0 .. 65535, NaN to 0
        asm("cvt.rni.sat.u16.f32 %0, %1;" : "=r"(r) : "f"(v));
        return (T)r;
#else
        return (T)host_round_clamped(v, 65535.0f);
#endif
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

// ---- filters: one traits block each ------------------------------------------
//
// Every block holds:
//   widens               whether the support stretches by the reduction factor
//   Params, prepare(p0, p1)
//                        the run-time parameters, in the order of the filter's
//                        row in filters.py, prepared once per thread
//   reach(s, k)          taps i with |i - p| < reach can weigh (s: the stretch)
//   weight(t, s, inv_s, k)
//                        the weight of the tap at offset t = i - p; zero at and
//                        beyond the reach

// The tap nearest to p: floor(p + 1/2), so the half-open (-1/2, 1/2] of offsets.
struct Nearest {
    static const bool widens = false;
    struct Params {};
    static __device__ __forceinline__ Params prepare(float, float) { return Params(); }
    static __device__ __forceinline__ float reach(float, const Params &) { return 1.0f; }
    static __device__ __forceinline__ float weight(float t, float, float, const Params &) {
        return t > -0.5f && t <= 0.5f ? 1.0f : 0.0f;
    }
};

// The tent max(0, 1 - |t|).
struct Bilinear {
    static const bool widens = false;
    struct Params {};
    static __device__ __forceinline__ Params prepare(float, float) { return Params(); }
    static __device__ __forceinline__ float reach(float, const Params &) { return 1.0f; }
    static __device__ __forceinline__ float weight(float t, float, float, const Params &) {
        return fmaxf(0.0f, 1.0f - fabsf(t));
    }
};

// A piecewise cubic of x = |t| / s on [0, 1) and [1, 2), prepared as
// (p3 x + p2) x^2 + p0 and ((q3 x + q2) x + q1) x + q0.
struct Cubic {
    float p3, p2, p0, q3, q2, q1, q0;
    __device__ __forceinline__ float at(float x) const {
        if (x < 1.0f) return (p3 * x + p2) * x * x + p0;
        if (x < 2.0f) return ((q3 * x + q2) * x + q1) * x + q0;
        return 0.0f;
    }
};

// What every piecewise cubic of radius 2 shares: it widens on reduction and
// weighs a tap by its polynomial at |t| / s. A filter adds `prepare`.
struct CubicFilter {
    static const bool widens = true;
    typedef Cubic Params;
    static __device__ __forceinline__ float reach(float s, const Params &) { return 2.0f * s; }
    static __device__ __forceinline__ float weight(float t, float, float inv_s, const Params &k) {
        return k.at(fabsf(t) * inv_s);
    }
};

// Keys' cubic convolution with the parameter a (p0 = a; -0.75 in the table).
struct Keys : CubicFilter {
    static __device__ __forceinline__ Params prepare(float a, float) {
        Cubic k;
        k.p3 = a + 2.0f; k.p2 = -(a + 3.0f); k.p0 = 1.0f;
        k.q3 = a; k.q2 = -5.0f * a; k.q1 = 8.0f * a; k.q0 = -4.0f * a;
        return k;
    }
};

// The Mitchell-Netravali cubics with the parameters B and C (p0 = B, p1 = C).
struct MitchellNetravali : CubicFilter {
    static __device__ __forceinline__ Params prepare(float b, float c) {
        Cubic k;
        k.p3 = (12.0f - 9.0f * b - 6.0f * c) / 6.0f;
        k.p2 = (-18.0f + 12.0f * b + 6.0f * c) / 6.0f;
        k.p0 = (6.0f - 2.0f * b) / 6.0f;
        k.q3 = (-b - 6.0f * c) / 6.0f;
        k.q2 = (6.0f * b + 30.0f * c) / 6.0f;
        k.q1 = (-12.0f * b - 48.0f * c) / 6.0f;
        k.q0 = (8.0f * b + 24.0f * c) / 6.0f;
        return k;
    }
};

// sin z and cos z for |z| <= pi/2 (z2 = z * z): the odd Taylor polynomial of
// degree 11 and the even one of degree 12, within 2e-7 of sin z relative to it
// (even near zero) and 6e-8 of cos z. The Lanczos weights of every kernel
// family evaluate their sines and cosines through these.
__device__ __forceinline__ float sin_taylor(float z, float z2) {
    float p = -2.50521084e-8f;
    p = fmaf(p, z2, 2.75573192e-6f);
    p = fmaf(p, z2, -1.98412698e-4f);
    p = fmaf(p, z2, 8.33333333e-3f);
    p = fmaf(p, z2, -1.66666667e-1f);
    return fmaf(p * z2, z, z);
}

__device__ __forceinline__ float cos_taylor(float z2) {
    float q = 2.08767570e-9f;
    q = fmaf(q, z2, -2.75573192e-7f);
    q = fmaf(q, z2, 2.48015873e-5f);
    q = fmaf(q, z2, -1.38888889e-3f);
    q = fmaf(q, z2, 4.16666667e-2f);
    q = fmaf(q, z2, -0.5f);
    return fmaf(q, z2, 1.0f);
}

// 1 / x within 1 ulp, for x within 2^-126 .. 2^126 (tap offsets squared, sums
// of weights): the bare reciprocal instruction, without the scaling
// __fdividef adds for larger denominators.
__device__ __forceinline__ float fast_rcp(float x) {
#ifdef __CUDA_ARCH__
    float r;
    asm("rcp.approx.ftz.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
#else
    return 1.0f / x;
#endif
}

// sinc(x) sinc(x / A) for |x| < A, x = t / s (p0 = A, the window).
struct Lanczos {
    static const bool widens = true;
    struct Params { float a, inv_a; };
    static __device__ __forceinline__ Params prepare(float a, float) {
        Params k;
        k.a = a;
        k.inv_a = 1.0f / a;
        return k;
    }
    static __device__ __forceinline__ float reach(float s, const Params &k) { return k.a * s; }
    static __device__ __forceinline__ float weight(float t, float, float inv_s, const Params &k) {
        const float x = fabsf(t) * inv_s;
        if (x < 1e-6f) return 1.0f;
        if (x >= k.a) return 0.0f;
        // pi^2 x^2 lies in [1e-11, 4e4]: its fast reciprocal is within 2 ulp.
        return k.a * sin_pi(x) * sin_pi(x * k.inv_a) * __fdividef(1.0f, 9.8696044010893586f * x * x);
    }
    // sin(pi x) for 0 <= x < 2^23, without the range reduction of sinpif: x less
    // its nearest integer n is exact and lies in [-1/2, 1/2], where the odd Taylor
    // polynomial of degree 11 in z = pi (x - n) is within 2e-7 of sin(pi x)
    // relative to it, even near zero; odd n flip the sign.
    static __device__ __forceinline__ float sin_pi(float x) {
        const float n = rintf(x);
        const float z = 3.14159265358979f * (x - n);
        const float v = sin_taylor(z, z * z);
        return ((int)n & 1) ? -v : v;
    }
};

// Area averaging: the overlap of the source pixel [i - 1/2, i + 1/2] with the
// destination pixel's footprint [p - s/2, p + s/2]. The overlaps of all taps
// add up to s.
struct Area {
    static const bool widens = true;
    struct Params {};
    static __device__ __forceinline__ Params prepare(float, float) { return Params(); }
    static __device__ __forceinline__ float reach(float s, const Params &) { return 0.5f * (s + 1.0f); }
    static __device__ __forceinline__ float weight(float t, float s, float, const Params &) {
        return fmaxf(0.0f, fminf(t + 0.5f, 0.5f * s) - fmaxf(t - 0.5f, -0.5f * s));
    }
};

// ---- the antialiasing rule and the tap ranges -----------------------------------

// The distance between neighbouring destination pixels along a source axis, the length
// of (a, b), where it exceeds 1; 1 where it does not. Squares up to 1 + 2^-23 have a
// root that rounds to 1; hypotf's scaling only where the squares overflow (or are NaN).
// Every warp takes its spacings from here, so that the same map gives the same stretch
// (and the same bits) whichever kernel samples it.
__device__ __forceinline__ float spacing_of(float a, float b) {
    const float d = fmaf(a, a, b * b);
    if (d <= 1.00000012f) return 1.0f;
    return d <= 3.0e38f ? sqrtf(d) : hypotf(a, b);
}

// The stretch of an axis whose destination pixels lie `spacing` source pixels apart.
template <class F> __device__ __forceinline__ float stretch_of(float spacing) {
    return F::widens ? fmaxf(1.0f, spacing) : 1.0f;
}

// The taps i with |i - p| < reach: first .. last (floats, so that any p, even
// a huge one, is safe; the caller compares them with the image before
// converting). Empty (first > last) for a NaN p.
__device__ __forceinline__ void tap_range(float p, float reach, float &first, float &last) {
    first = floorf(p - reach) + 1.0f;
    last = ceilf(p + reach) - 1.0f;
}

// The same taps within an image axis of n pixels: false when none is inside.
__device__ __forceinline__ bool taps_inside(float p, float reach, int n, int &first, int &last) {
    float lo, hi;
    tap_range(p, reach, lo, hi);
    if (!(hi >= 0.0f && lo <= (float)(n - 1))) return false;  // NaN fails too
    first = (int)fmaxf(lo, 0.0f);
    last = (int)fminf(hi, (float)(n - 1));
    return first <= last;
}

}  // namespace zemvara

#endif  // ZEMVARA_FILTERS_CUH
