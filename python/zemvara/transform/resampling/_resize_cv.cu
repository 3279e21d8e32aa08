// The OpenCV-compatible resize: the same integers and floats as OpenCV's
// `cv::resize`, pass by pass.
//
// The tables (source indices, already clamped to the image, and weights per
// destination index; a tap count per index) are computed on the host with
// OpenCV's coordinates and rounding; the kernels here only apply them:
// - hpass: along x, for the source rows the vertical pass reads, into an
//   intermediate of int (8-bit images: 11-bit fixed-point weights, exact
//   sums) or float (sums in tap order, each product and sum rounded);
// - vpass: along y out of the intermediate, by one of four rules:
//   Fixed   (s + 2^21) >> 22 of the int sum, saturated to 0..255;
//   Linear  ((b0 * (S0 >> 4)) >> 16) + ((b1 * (S1 >> 4)) >> 16), then
//           (t + 2) >> 2, saturated: the two-tap rule of 8-bit images;
//   Cubic   Fixed, except that the first `vec_end` values of a row are
//           summed in float from the last tap to the first, each weight
//           scaled by 2^-22, and rounded half to even, as OpenCV's 128-bit
//           vector path computes them;
//   Float   a float sum in tap order, rounded half to even and saturated
//           for 8-bit images, stored as it is for float32;
// - area_fast: reductions by whole factors along both axes, the mean of
//   each block, with OpenCV's rounding for each case.
// No sum is contracted into a fused multiply-add: every product and sum is
// rounded as on the CPU. Every index a thread uses is clamped to its array,
// whatever the tables say.

namespace zemvara {
namespace cv {

// The vertical pass's rules, one tag type each.
struct Fixed {};
struct Linear {};
struct Cubic {};
struct Float {};

constexpr int COEF_BITS = 11;

__device__ __forceinline__ int clamp_index(int i, int n) { return i < 0 ? 0 : i >= n ? n - 1 : i; }

__device__ __forceinline__ unsigned char saturate_u8(int v) {
    return (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
}

// A tap: an exact int product for 8-bit fixed-point sums, a rounded float one otherwise.
__device__ __forceinline__ int tap(int s, int v, int w) { return s + v * w; }
__device__ __forceinline__ float tap(float s, float v, float w) { return __fadd_rn(s, __fmul_rn(v, w)); }

// A float value stored as T: rounded half to even and saturated for 8-bit images.
template <typename T> struct Store;
template <> struct Store<unsigned char> {
    __device__ static unsigned char rounded(float v) { return saturate_u8(__float2int_rn(v)); }
};
template <> struct Store<float> {
    __device__ static float rounded(float v) { return v; }
};

// The block sums of area_fast: int for 8-bit images, float for float32.
template <typename T> struct Sum;
template <> struct Sum<unsigned char> {
    typedef int type;
    __device__ static int add(int s, unsigned char v) { return s + v; }
    __device__ static unsigned char whole(int s, float scale, int quarter) {
        return quarter ? saturate_u8((s + 2) >> 2) : Store<unsigned char>::rounded(__fmul_rn((float)s, scale));
    }
    __device__ static unsigned char part(int s, int n) { return Store<unsigned char>::rounded((float)s / (float)n); }
};
template <> struct Sum<float> {
    typedef float type;
    __device__ static float add(float s, float v) { return __fadd_rn(s, v); }
    __device__ static float whole(float s, float scale, int) { return __fmul_rn(s, scale); }
    __device__ static float part(float s, int n) { return s / (float)n; }
};

// Along x: dst (n_rows, out_w, NC) of A from the source rows `rows` of src (in_h, in_w, NC); destination
// column x sums counts[x] taps, source column idx[x * ksize + t] times weights[x * ksize + t].
template <typename T, typename A, int NC>
__global__ void hpass(const T *__restrict__ src, A *__restrict__ dst, const int *__restrict__ rows,
                      const int *__restrict__ idx, const A *__restrict__ weights, const int *__restrict__ counts,
                      int ksize, int n_rows, int in_h, int in_w, int out_w) {
    const long long total = (long long)n_rows * out_w;
    for (long long i = (long long)blockIdx.x * blockDim.x + threadIdx.x; i < total;
         i += (long long)gridDim.x * blockDim.x) {
        const int r = (int)(i / out_w), x = (int)(i % out_w);
        const T *p = src + (long long)clamp_index(rows[r], in_h) * in_w * NC;
        int count = counts[x];
        if (count > ksize) count = ksize;
        A s[NC];
#pragma unroll
        for (int c = 0; c < NC; ++c) s[c] = A(0);
        for (int t = 0; t < count; ++t) {
            const long long k = (long long)x * ksize + t;
            const T *q = p + (long long)clamp_index(idx[k], in_w) * NC;
            const A w = weights[k];
#pragma unroll
            for (int c = 0; c < NC; ++c) s[c] = tap(s[c], (A)q[c], w);
        }
        A *o = dst + i * NC;
#pragma unroll
        for (int c = 0; c < NC; ++c) o[c] = s[c];
    }
}

// A column of the intermediate: tap t is row rows[t] (clamped to the n rows) at offset `col` of rows
// `stride` values apart.
template <typename A> struct Column {
    const A *mid;
    const int *rows;
    int n;
    long long stride, col;
    __device__ A operator[](int t) const { return mid[(long long)clamp_index(rows[t], n) * stride + col]; }
};

// One value out of a column: taps t < count, weights w[t]; `vector`: whether OpenCV's vector path
// computes it (Cubic alone reads it).
template <typename A, typename T, typename MODE> struct Combine;

template <> struct Combine<int, unsigned char, Fixed> {
    __device__ static unsigned char at(const Column<int> &m, const int *w, int count, bool) {
        int s = 0;
        for (int t = 0; t < count; ++t) s = tap(s, m[t], w[t]);
        return saturate_u8((s + (1 << (2 * COEF_BITS - 1))) >> (2 * COEF_BITS));  // arithmetic shift
    }
};

template <> struct Combine<int, unsigned char, Linear> {
    __device__ static unsigned char at(const Column<int> &m, const int *w, int count, bool) {
        const int t0 = count > 0 ? (w[0] * (m[0] >> 4)) >> 16 : 0;
        const int t1 = count > 1 ? (w[1] * (m[1] >> 4)) >> 16 : 0;
        return saturate_u8((t0 + t1 + 2) >> 2);
    }
};

template <> struct Combine<int, unsigned char, Cubic> {
    __device__ static unsigned char at(const Column<int> &m, const int *w, int count, bool vector) {
        if (!vector) return Combine<int, unsigned char, Fixed>::at(m, w, count, false);
        const float scale = 1.0f / (float)(1 << (2 * COEF_BITS));
        float s = 0.0f;
        for (int t = count - 1; t >= 0; --t) {
            const float p = __fmul_rn((float)m[t], __fmul_rn((float)w[t], scale));
            s = t == count - 1 ? p : __fadd_rn(p, s);
        }
        return saturate_u8(__float2int_rn(s));
    }
};

template <typename T> struct Combine<float, T, Float> {
    __device__ static T at(const Column<float> &m, const float *w, int count, bool) {
        float s = 0.0f;
        for (int t = 0; t < count; ++t) s = tap(s, m[t], w[t]);
        return Store<T>::rounded(s);
    }
};

// Along y: dst (out_h, out_w, NC) of T from mid (n_rows, out_w, NC) of A; destination row y combines
// counts[y] intermediate rows idx[y * ksize + t] with weights[y * ksize + t] by MODE. The first vec_end
// values of a destination row are those OpenCV computes in its vector path.
template <typename A, typename T, int NC, typename MODE>
__global__ void vpass(const A *__restrict__ mid, T *__restrict__ dst, const int *__restrict__ idx,
                      const A *__restrict__ weights, const int *__restrict__ counts, int ksize, int n_rows,
                      int out_h, int out_w, int vec_end) {
    const long long total = (long long)out_h * out_w;
    for (long long i = (long long)blockIdx.x * blockDim.x + threadIdx.x; i < total;
         i += (long long)gridDim.x * blockDim.x) {
        const int y = (int)(i / out_w), x = (int)(i % out_w);
        int count = counts[y];
        if (count > ksize) count = ksize;
        const long long k = (long long)y * ksize;
        T *o = dst + i * NC;
#pragma unroll
        for (int c = 0; c < NC; ++c) {
            const Column<A> m = {mid, idx + k, n_rows, (long long)out_w * NC, (long long)x * NC + c};
            o[c] = Combine<A, T, MODE>::at(m, weights + k, count, x * NC + c < vec_end);
        }
    }
}

// Reductions by whole factors (fx, fy) along both axes: each destination pixel the mean of its fy x fx
// block. 8-bit: an int sum, then (s + 2) >> 2 where `quarter` (2 x 2 blocks of 1, 3 or 4 channels), else
// the sum times `scale` (1 / (fx * fy) in float) rounded half to even; float32: a float sum times scale.
// A block cut by the image's edge is the float mean of what lies inside.
template <typename T, int NC>
__global__ void area_fast(const T *__restrict__ src, T *__restrict__ dst, int fx, int fy, int in_h, int in_w,
                          int out_h, int out_w, float scale, int quarter) {
    typedef typename Sum<T>::type S;
    const long long total = (long long)out_h * out_w;
    for (long long i = (long long)blockIdx.x * blockDim.x + threadIdx.x; i < total;
         i += (long long)gridDim.x * blockDim.x) {
        const int dy = (int)(i / out_w), dx = (int)(i % out_w);
        const long long y0 = (long long)dy * fy, x0 = (long long)dx * fx;
        const bool whole = y0 + fy <= in_h && dx < in_w / fx;
        T *o = dst + i * NC;
#pragma unroll
        for (int c = 0; c < NC; ++c) {
            S s = S(0);
            int n = 0;
            for (int sy = 0; sy < fy && y0 + sy < in_h; ++sy) {
                const T *p = src + ((y0 + sy) * in_w + x0) * NC + c;
                for (int sx = 0; sx < fx && x0 + sx < in_w; ++sx, ++n) s = Sum<T>::add(s, p[(long long)sx * NC]);
            }
            if (n == 0)
                o[c] = T(0);
            else if (whole)
                o[c] = Sum<T>::whole(s, scale, quarter);
            else
                o[c] = Sum<T>::part(s, n);
        }
    }
}

}  // namespace cv
}  // namespace zemvara
