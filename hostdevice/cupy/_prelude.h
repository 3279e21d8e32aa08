// What CUDA C gives a kernel source, for compiling it as host C++.
//
// Standard headers come first: the CUDA keywords below are macros that would
// otherwise rewrite attributes inside the library headers.
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <assert.h>
#include <atomic>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>
#include <xmmintrin.h>
#include <emmintrin.h>

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __noinline__ __attribute__((noinline))
#define __restrict__ __restrict
#define __launch_bounds__(...)
#define __align__(n) __attribute__((aligned(n)))

// ---- built-in index variables: set per CPU worker thread by the launcher --
struct uint3 { unsigned int x, y, z; };
struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1,
                   unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return uint3{x, y, z}; }
};
static thread_local uint3 threadIdx;
static thread_local uint3 blockIdx;
static thread_local dim3 blockDim;
static thread_local dim3 gridDim;
static const int warpSize = 32;

// ---- shared memory and barriers ---------------------------------------------
// A CPU worker runs one block at a time, so a block's shared memory is the
// worker's own copy of each static __shared__ array.  A kernel that calls
// __syncthreads() runs its block's threads as fibers on the worker: each runs
// to its next barrier (or its end), then all go on (see the launcher).
// Dynamic shared memory (extern __shared__) is not modelled.
#define __shared__ static thread_local
namespace __hd { void barrier(); }
#define __syncthreads() ::__hd::barrier()

// ---- vector types, with CUDA's sizes and alignments ------------------------
#define __HD_VEC1(N, T, A) \
    struct __attribute__((aligned(A))) N##1 { T x; }; \
    static inline N##1 make_##N##1(T x) { N##1 r; r.x = x; return r; }
#define __HD_VEC2(N, T, A) \
    struct __attribute__((aligned(A))) N##2 { T x, y; }; \
    static inline N##2 make_##N##2(T x, T y) { N##2 r; r.x = x; r.y = y; return r; }
#define __HD_VEC3(N, T) \
    struct N##3 { T x, y, z; }; \
    static inline N##3 make_##N##3(T x, T y, T z) { \
        N##3 r; r.x = x; r.y = y; r.z = z; return r; }
#define __HD_VEC4(N, T, A) \
    struct __attribute__((aligned(A))) N##4 { T x, y, z, w; }; \
    static inline N##4 make_##N##4(T x, T y, T z, T w) { \
        N##4 r; r.x = x; r.y = y; r.z = z; r.w = w; return r; }
#define __HD_VECS(N, T, A1, A2, A4) \
    __HD_VEC1(N, T, A1) __HD_VEC2(N, T, A2) __HD_VEC3(N, T) __HD_VEC4(N, T, A4)

__HD_VECS(char, signed char, 1, 2, 4)
__HD_VECS(uchar, unsigned char, 1, 2, 4)
__HD_VECS(short, short, 2, 4, 8)
__HD_VECS(ushort, unsigned short, 2, 4, 8)
__HD_VECS(int, int, 4, 8, 16)
__HD_VEC1(uint, unsigned int, 4) __HD_VEC2(uint, unsigned int, 8)
__HD_VEC4(uint, unsigned int, 16)
__HD_VECS(long, long, 8, 16, 16)
__HD_VECS(ulong, unsigned long, 8, 16, 16)
__HD_VECS(longlong, long long, 8, 16, 16)
__HD_VECS(ulonglong, unsigned long long, 8, 16, 16)
__HD_VECS(float, float, 4, 8, 16)
__HD_VECS(double, double, 8, 16, 16)
static inline uint3 make_uint3(unsigned int x, unsigned int y, unsigned int z) {
    uint3 r; r.x = x; r.y = y; r.z = z; return r;
}

// ---- float16: stored as IEEE half, computed in float ------------------------
struct float16 {
    _Float16 __x;
    float16() = default;
    float16(float f) : __x(static_cast<_Float16>(f)) {}
    operator float() const { return static_cast<float>(__x); }
};

// ---- min/max overloads of the CUDA math API --------------------------------
#define __HD_MINMAX(A, B, R) \
    static inline R min(A a, B b) { return (R)b < (R)a ? (R)b : (R)a; } \
    static inline R max(A a, B b) { return (R)a < (R)b ? (R)b : (R)a; }
__HD_MINMAX(int, int, int)
__HD_MINMAX(unsigned int, unsigned int, unsigned int)
__HD_MINMAX(int, unsigned int, unsigned int)
__HD_MINMAX(unsigned int, int, unsigned int)
__HD_MINMAX(long, long, long)
__HD_MINMAX(unsigned long, unsigned long, unsigned long)
__HD_MINMAX(long long, long long, long long)
__HD_MINMAX(unsigned long long, unsigned long long, unsigned long long)
__HD_MINMAX(long long, unsigned long long, unsigned long long)
__HD_MINMAX(unsigned long long, long long, unsigned long long)
static inline float min(float a, float b) { return fminf(a, b); }
static inline float max(float a, float b) { return fmaxf(a, b); }
static inline double min(double a, double b) { return fmin(a, b); }
static inline double max(double a, double b) { return fmax(a, b); }
static inline double min(float a, double b) { return fmin(a, b); }
static inline double max(float a, double b) { return fmax(a, b); }
static inline double min(double a, float b) { return fmin(a, b); }
static inline double max(double a, float b) { return fmax(a, b); }
static inline unsigned umin(unsigned a, unsigned b) { return min(a, b); }
static inline unsigned umax(unsigned a, unsigned b) { return max(a, b); }

// ---- math functions and intrinsics beyond the C library --------------------
// (glibc declares __expf, __logf, __sinf, __cosf, __powf and the like, but
// current versions do not export the fast sine and cosine: they stand in here
// at full precision, as macros, after math.h has declared the names.)
#define __sinf(x) sinf(x)
// fminf and fmaxf inline, with the C library's results (a NaN operand gives
// the other one; equal operands give the second): g++ would otherwise call
// them through the PLT on every use.
static inline float __hd_fminf(float a, float b) { return a != a ? b : b != b ? a : a < b ? a : b; }
static inline float __hd_fmaxf(float a, float b) { return a != a ? b : b != b ? a : a > b ? a : b; }
#define fminf __hd_fminf
#define fmaxf __hd_fmaxf
#define __cosf(x) cosf(x)
static inline float rsqrtf(float x) { return 1.0f / sqrtf(x); }
static inline double rsqrt(double x) { return 1.0 / sqrt(x); }
static inline float rcbrtf(float x) { return 1.0f / cbrtf(x); }
static inline float sinpif(float x) { return sinf((float)M_PI * x); }
static inline float cospif(float x) { return cosf((float)M_PI * x); }
static inline double sinpi(double x) { return sin(M_PI * x); }
static inline double cospi(double x) { return cos(M_PI * x); }
static inline float __saturatef(float x) {
    return x != x ? 0.0f : fminf(fmaxf(x, 0.0f), 1.0f);
}
static inline float __fdividef(float a, float b) { return a / b; }
static inline float fdividef(float a, float b) { return a / b; }
static inline float __fadd_rn(float a, float b) { return a + b; }
static inline float __fsub_rn(float a, float b) { return a - b; }
static inline float __fmul_rn(float a, float b) { return a * b; }
static inline float __fdiv_rn(float a, float b) { return a / b; }
static inline float __frcp_rn(float a) { return 1.0f / a; }
static inline float __fsqrt_rn(float a) { return sqrtf(a); }
static inline float __fmaf_rn(float a, float b, float c) { return fmaf(a, b, c); }
static inline int __float2int_rn(float x) { return (int)nearbyintf(x); }
static inline int __float2int_rz(float x) { return (int)x; }
static inline int __float2int_rd(float x) { return (int)floorf(x); }
static inline int __float2int_ru(float x) { return (int)ceilf(x); }
static inline unsigned __float2uint_rn(float x) { return (unsigned)nearbyintf(x); }
static inline unsigned __float2uint_rz(float x) { return (unsigned)x; }
static inline long long __float2ll_rn(float x) { return (long long)nearbyintf(x); }
static inline float __int2float_rn(int x) { return (float)x; }
static inline float __uint2float_rn(unsigned x) { return (float)x; }
static inline float __double2float_rn(double x) { return (float)x; }
static inline int __double2int_rn(double x) { return (int)nearbyint(x); }
static inline int __float_as_int(float x) { int i; memcpy(&i, &x, 4); return i; }
static inline float __int_as_float(int i) { float x; memcpy(&x, &i, 4); return x; }
static inline unsigned __float_as_uint(float x) { unsigned i; memcpy(&i, &x, 4); return i; }
static inline float __uint_as_float(unsigned i) { float x; memcpy(&x, &i, 4); return x; }
static inline int __popc(unsigned x) { return __builtin_popcount(x); }
static inline unsigned __byte_perm(unsigned x, unsigned y, unsigned s) {
    const unsigned long long v = (unsigned long long)y << 32 | x;
    unsigned r = 0;
    for (int i = 0; i < 4; ++i) r |= (unsigned)(v >> 8 * (s >> 4 * i & 7) & 0xff) << 8 * i;
    return r;
}
static inline unsigned __funnelshift_r(unsigned lo, unsigned hi, unsigned shift) {
    return (unsigned)(((unsigned long long)hi << 32 | lo) >> (shift & 31));
}
static inline int __clz(int x) { return x ? __builtin_clz((unsigned)x) : 32; }
static inline int __ffs(int x) { return __builtin_ffs(x); }
template <class T> static inline T __ldg(const T *p) { return *p; }
