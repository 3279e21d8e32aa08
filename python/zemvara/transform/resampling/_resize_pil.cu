// The Pillow-compatible resize: the same integers and doubles as Pillow's
// `Image.resize`, pass by pass.
//
// The weight tables (first source index and tap count per destination
// index, then `ksize` weights a row) are computed on the host, in double,
// with the same filter functions, normalisation and rounding to 22-bit
// fixed point as Pillow; the kernels here only apply them:
// - 8-bit: an int32 sum started at half a unit, then shifted down by 22 bits
//   and clipped to 0..255, after each pass (the intermediate is 8-bit too);
// - float: a double sum from 0.0 in tap order, stored as float32 after each
//   pass (no contraction into fused multiply-adds: every product and sum is
//   rounded as on the CPU);
// - nearest: one source pixel copied per destination pixel from two index
//   tables (-1: outside the source, written as 0);
// - straight alpha to premultiplied and back, in Pillow's integer formulas.
// Every index a thread uses is clamped to its array, whatever the tables say.

namespace zemvara {
namespace pil {

constexpr int PRECISION_BITS = 32 - 8 - 2;

__device__ __forceinline__ double mul_rn(double a, double b) {
#ifdef __CUDA_ARCH__
    return __dmul_rn(a, b);
#else
    return a * b;
#endif
}

__device__ __forceinline__ double add_rn(double a, double b) {
#ifdef __CUDA_ARCH__
    return __dadd_rn(a, b);
#else
    return a + b;
#endif
}

// One element type's arithmetic: the accumulator, its start, a tap, the store.
template <typename T> struct Arith;

template <> struct Arith<unsigned char> {
    typedef int Weight;
    typedef int Sum;
    __device__ static Sum start() { return 1 << (PRECISION_BITS - 1); }
    __device__ static Sum tap(Sum s, unsigned char v, Weight w) { return s + (int)v * w; }
    __device__ static unsigned char store(Sum s) {
        const int v = s >> PRECISION_BITS;  // arithmetic shift, as the CPU's
        return (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
};

template <> struct Arith<float> {
    typedef double Weight;
    typedef double Sum;
    __device__ static Sum start() { return 0.0; }
    __device__ static Sum tap(Sum s, float v, Weight w) { return add_rn(s, mul_rn((double)v, w)); }
    __device__ static float store(Sum s) { return (float)s; }
};

// One pass along x (ALONG_Y false) or y: dst (out_h, out_w, NC) from src
// (in_h, in_w, NC), both contiguous; src may be a window of the image the
// tables were made for. The taps of destination index j along the pass's axis
// start at the source index its table names less tap_offset (where the window
// starts along that axis). Along x, destination row r reads source row
// r + row_offset; along y, destination column c reads source column c.
// bounds: (first, count) per destination index along the pass's axis;
// weights: ksize per index.
template <typename T, int NC, bool ALONG_Y>
__global__ void pass(const T *__restrict__ src, T *__restrict__ dst, const int *__restrict__ bounds,
                     const typename Arith<T>::Weight *__restrict__ weights, int ksize, int tap_offset,
                     int row_offset, int in_h, int in_w, int out_h, int out_w) {
    typedef Arith<T> A;
    const long long total = (long long)out_h * out_w;
    for (long long i = (long long)blockIdx.x * blockDim.x + threadIdx.x; i < total;
         i += (long long)gridDim.x * blockDim.x) {
        const int y = (int)(i / out_w), x = (int)(i % out_w);
        const int j = ALONG_Y ? y : x;
        const int limit = ALONG_Y ? in_h : in_w;
        int first = bounds[2 * j] - tap_offset;
        int count = bounds[2 * j + 1];
        if (first < 0) first = 0;
        if (count > ksize) count = ksize;
        if (count > limit - first) count = limit - first;
        int row = ALONG_Y ? first : y + row_offset;
        if (row < 0 || row >= in_h) count = 0;  // a source row outside the source: nothing read
        const typename A::Weight *w = weights + (long long)j * ksize;
        const T *p = ALONG_Y ? src + ((long long)first * in_w + x) * NC
                             : src + ((long long)row * in_w + first) * NC;
        const long long step = ALONG_Y ? (long long)in_w * NC : NC;
        typename A::Sum s[NC];
#pragma unroll
        for (int c = 0; c < NC; ++c) s[c] = A::start();
        for (int t = 0; t < count; ++t, p += step) {
            const typename A::Weight k = w[t];
#pragma unroll
            for (int c = 0; c < NC; ++c) s[c] = A::tap(s[c], p[c], k);
        }
        T *q = dst + i * NC;
#pragma unroll
        for (int c = 0; c < NC; ++c) q[c] = A::store(s[c]);
    }
}

// The 8-bit pass along x, a block of PIL_X_THREADS threads at a time over PIL_X_ROWS
// destination rows and `columns` (at most PIL_X_COLUMNS) destination columns, with pass<>'s
// arguments and sums. The source pixels the block's columns read (at most PIL_X_SPAN a row)
// are read once into a shared tile, a 32-bit word a pixel, by lanes on consecutive pixels.
// Then each warp takes one destination column at a time, each lane PIL_X_ROWS / 32 rows 32
// apart: every lane reads the same weights (one sector) and its pixels from its own rows of
// the tile (an odd word stride: no two rows share a bank). The results leave through a shared
// tile the same way, lanes on consecutive words (or bytes) of a row.
template <int NC>
__global__ void __launch_bounds__(PIL_X_THREADS)
pass_x_tiles(const unsigned char *__restrict__ src, unsigned char *__restrict__ dst, const int *__restrict__ bounds,
             const int *__restrict__ weights, int ksize, int tap_offset, int row_offset, int in_h, int in_w,
             int out_h, int out_w, int columns) {
    constexpr int R = PIL_X_ROWS / 32, STRIDE = PIL_X_SPAN + 1, WARPS = PIL_X_THREADS / 32;
    __shared__ unsigned int pixels[PIL_X_ROWS * STRIDE];
    // NC bytes a result, rows an odd number of words apart.
    constexpr int RESULT_WORDS = (PIL_X_COLUMNS * NC + 3) / 4 | 1;
    __shared__ unsigned int results[PIL_X_ROWS][RESULT_WORDS];
    const int lane = threadIdx.x & 31, warp = threadIdx.x >> 5;
    if (columns > PIL_X_COLUMNS) columns = PIL_X_COLUMNS;
    if (columns < 1) return;
    const int j0 = blockIdx.x * columns;
    if (j0 >= out_w) return;
    const int width = min(columns, out_w - j0), last = j0 + width - 1, bytes = width * NC;
    const int s0 = min(max(bounds[2 * j0] - tap_offset, 0), in_w);
    const int span = min(max(bounds[2 * last] + bounds[2 * last + 1] - tap_offset - s0, 0),
                         min(PIL_X_SPAN, in_w - s0));

    for (int y0 = blockIdx.y * PIL_X_ROWS; y0 < out_h; y0 += gridDim.y * PIL_X_ROWS) {
        const int rows = min(PIL_X_ROWS, out_h - y0);
        for (int r = warp; r < rows; r += WARPS) {
            const int sy = y0 + r + row_offset;
            if (sy < 0 || sy >= in_h) continue;  // a source row outside the source: nothing read
            const unsigned char *p = src + ((long long)sy * in_w + s0) * NC;
            for (int x = lane; x < span; x += 32) {
                unsigned int v = 0;
#pragma unroll
                for (int c = 0; c < NC; ++c) v |= (unsigned int)p[x * NC + c] << (8 * c);
                pixels[r * STRIDE + x] = v;
            }
        }
        __syncthreads();

        bool inside[R];
#pragma unroll
        for (int i = 0; i < R; ++i) {
            const int sy = y0 + lane + 32 * i + row_offset;
            inside[i] = lane + 32 * i < rows && sy >= 0 && sy < in_h;
        }
        for (int k = warp; k < width; k += WARPS) {
            const int j = j0 + k;
            const int first = max(bounds[2 * j] - tap_offset - s0, 0);
            const int count = min(min(bounds[2 * j + 1], ksize), span - first);
            const int *w = weights + (long long)j * ksize;
            const unsigned int *q = pixels + lane * STRIDE + first;
            int s[R][NC];  // Arith<unsigned char>'s sums
#pragma unroll
            for (int i = 0; i < R; ++i)
#pragma unroll
                for (int c = 0; c < NC; ++c) s[i][c] = Arith<unsigned char>::start();
            for (int t = 0; t < count; ++t) {
                const int weight = w[t];
#pragma unroll
                for (int i = 0; i < R; ++i) {
                    const unsigned int v = q[32 * i * STRIDE + t];
#pragma unroll
                    for (int c = 0; c < NC; ++c) s[i][c] += (int)__byte_perm(v, 0, 0x4440 | c) * weight;
                }
            }
#pragma unroll
            for (int i = 0; i < R; ++i) {
                // a source row outside the source reads nothing: the start value's bytes
                unsigned char *result = (unsigned char *)results[lane + 32 * i] + k * NC;
#pragma unroll
                for (int c = 0; c < NC; ++c)
                    result[c] = Arith<unsigned char>::store(inside[i] ? s[i][c] : Arith<unsigned char>::start());
            }
        }
        __syncthreads();

        for (int r = warp; r < rows; r += WARPS) {
            unsigned char *q = dst + ((long long)(y0 + r) * out_w + j0) * NC;
            const unsigned char *from = (const unsigned char *)results[r];
            int b = 0;
            if (((unsigned long long)q & 3) == 0) {  // whole words, then the bytes after them
                for (int i = lane; i < bytes / 4; i += 32) ((unsigned int *)q)[i] = results[r][i];
                b = bytes & ~3;
            }
            for (b += lane; b < bytes; b += 32) q[b] = from[b];
        }
        __syncthreads();
    }
}

// The taps of pass_y_columns for one lane: P columns 32 apart from `row`'s x0 on (FULL: all
// inside, at fixed distances) or at the offsets `at` (the last columns of a row).
template <int NC, int P, bool FULL>
__device__ __forceinline__ void y_taps(int (&s)[P][NC], const unsigned char *row, const int (&at)[P],
                                       const int *w, int count, long long pitch) {
    for (int t = 0; t < count; ++t, row += pitch) {
        const int weight = w[t];
#pragma unroll
        for (int p = 0; p < P; ++p)
#pragma unroll
            for (int c = 0; c < NC; ++c) s[p][c] += (int)row[(FULL ? 32 * p * NC : at[p]) + c] * weight;
    }
}

// The 8-bit pass along y with pass<>'s arguments and sums, a warp to a destination row and
// PIL_Y_COLUMNS columns 32 apart to a lane: the row's bounds and weights are read once for them
// all, each weight (the same for the whole warp: one sector) applied to every column's pixel.
// Columns past the last compute the last one's value again and store nothing.
template <int NC>
__global__ void __launch_bounds__(PIL_Y_THREADS)
pass_y_columns(const unsigned char *__restrict__ src, unsigned char *__restrict__ dst, const int *__restrict__ bounds,
               const int *__restrict__ weights, int ksize, int tap_offset, int row_offset, int in_h, int in_w,
               int out_h, int out_w) {
    constexpr int P = PIL_Y_COLUMNS, ROWS = PIL_Y_THREADS / 32;
    const int lane = threadIdx.x & 31;
    const int x0 = blockIdx.x * 32 * P + lane;
    if (x0 >= out_w || out_w > in_w) return;
    const bool full = x0 + 32 * (P - 1) < out_w;
    int at[P];  // byte offsets of the columns from x0's, the last column's where past it
#pragma unroll
    for (int p = 0; p < P; ++p) at[p] = (min(x0 + 32 * p, out_w - 1) - x0) * NC;
    for (int y = blockIdx.y * ROWS + (threadIdx.x >> 5); y < out_h; y += gridDim.y * ROWS) {
        const int first = max(bounds[2 * y] - tap_offset, 0);
        const int count = first < in_h ? min(min(bounds[2 * y + 1], ksize), in_h - first) : 0;
        const int *w = weights + (long long)y * ksize;
        const unsigned char *row = src + ((long long)first * in_w + x0) * NC;
        int s[P][NC];  // Arith<unsigned char>'s sums
#pragma unroll
        for (int p = 0; p < P; ++p)
#pragma unroll
            for (int c = 0; c < NC; ++c) s[p][c] = Arith<unsigned char>::start();
        if (full)
            y_taps<NC, P, true>(s, row, at, w, count, (long long)in_w * NC);
        else
            y_taps<NC, P, false>(s, row, at, w, count, (long long)in_w * NC);
        unsigned char *q = dst + ((long long)y * out_w + x0) * NC;
#pragma unroll
        for (int p = 0; p < P; ++p)
            if (x0 + 32 * p < out_w)
#pragma unroll
                for (int c = 0; c < NC; ++c) q[32 * p * NC + c] = Arith<unsigned char>::store(s[p][c]);
    }
}

// Nearest neighbour: destination (y, x) is source (ys[y] - y_offset, xs[x] - x_offset) of a
// window starting at (y_offset, x_offset), or zeros where either index is -1 (outside).
template <typename T, int NC>
__global__ void nearest(const T *__restrict__ src, T *__restrict__ dst, const int *__restrict__ xs,
                        const int *__restrict__ ys, int y_offset, int x_offset, int in_h, int in_w, int out_h,
                        int out_w) {
    const long long total = (long long)out_h * out_w;
    for (long long i = (long long)blockIdx.x * blockDim.x + threadIdx.x; i < total;
         i += (long long)gridDim.x * blockDim.x) {
        const int ry = ys[i / out_w], rx = xs[i % out_w];
        const int sy = ry < 0 ? -1 : ry - y_offset, sx = rx < 0 ? -1 : rx - x_offset;
        const bool inside = sy >= 0 && sy < in_h && sx >= 0 && sx < in_w;
        const T *p = src + ((long long)(inside ? sy : 0) * in_w + (inside ? sx : 0)) * NC;
        T *q = dst + i * NC;
#pragma unroll
        for (int c = 0; c < NC; ++c) q[c] = inside ? p[c] : T(0);
    }
}

// Straight to premultiplied alpha, NC channels with alpha last (LA, RGBA): c * a / 255 rounded as
// Pillow rounds it.
template <int NC>
__global__ void premultiply(const unsigned char *__restrict__ src, unsigned char *__restrict__ dst,
                            long long pixels) {
    for (long long i = (long long)blockIdx.x * blockDim.x + threadIdx.x; i < pixels;
         i += (long long)gridDim.x * blockDim.x) {
        const unsigned a = src[NC * i + NC - 1];
#pragma unroll
        for (int c = 0; c < NC - 1; ++c) {
            const unsigned t = src[NC * i + c] * a + 128;
            dst[NC * i + c] = (unsigned char)(((t >> 8) + t) >> 8);
        }
        dst[NC * i + NC - 1] = (unsigned char)a;
    }
}

// Premultiplied back to straight alpha, in place: colour kept where alpha is 0 or 255.
template <int NC>
__global__ void unpremultiply(unsigned char *data, long long pixels) {
    for (long long i = (long long)blockIdx.x * blockDim.x + threadIdx.x; i < pixels;
         i += (long long)gridDim.x * blockDim.x) {
        const int a = data[NC * i + NC - 1];
        if (a == 0 || a == 255) continue;
#pragma unroll
        for (int c = 0; c < NC - 1; ++c) {
            const int v = 255 * data[NC * i + c] / a;
            data[NC * i + c] = (unsigned char)(v > 255 ? 255 : v);
        }
    }
}

}  // namespace pil
}  // namespace zemvara
