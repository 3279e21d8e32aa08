// The tap loop shared by the warps: pixel loads and the filtered sum over a window of taps.
//
// Compiled behind _filters.cuh (element types). NVRTC-safe: no standard
// headers, everything in namespace zemvara, guarded against a second copy in
// the same source.

#ifndef ZEMVARA_TAPS_CUH
#define ZEMVARA_TAPS_CUH

namespace zemvara {

template <class A, class B> struct same_type { static const bool value = false; };
template <class A> struct same_type<A, A> { static const bool value = true; };

// The first NC channels of a CH-channel pixel at p. With VECTOR, a
// four-channel pixel is read in one vector load: its size is a power of two,
// and the caller guarantees every pixel of the image is aligned to it. Other
// pixels are read channel by channel.
template <int E, int CH, int NC, bool VECTOR>
__device__ __forceinline__ void load_pixel(const typename Elem<E>::T *p, float *v) {
    typedef typename Elem<E>::T T;
    if (VECTOR && CH == 4 && sizeof(T) == 4) {
        const float4 q = __ldg(reinterpret_cast<const float4 *>(p));
        const float f[4] = {q.x, q.y, q.z, q.w};
#pragma unroll
        for (int c = 0; c < NC; ++c) v[c] = f[c];
    } else if (VECTOR && CH == 4 && sizeof(T) == 2) {
        const ushort4 q = __ldg(reinterpret_cast<const ushort4 *>(p));
        const T t[4] = {(T)q.x, (T)q.y, (T)q.z, (T)q.w};
#pragma unroll
        for (int c = 0; c < NC; ++c) v[c] = Elem<E>::load(t + c);
    } else if (VECTOR && CH == 4 && sizeof(T) == 1) {
        const uchar4 q = __ldg(reinterpret_cast<const uchar4 *>(p));
        const T t[4] = {(T)q.x, (T)q.y, (T)q.z, (T)q.w};
#pragma unroll
        for (int c = 0; c < NC; ++c) v[c] = Elem<E>::load(t + c);
    } else {
#pragma unroll
        for (int c = 0; c < NC; ++c) v[c] = Elem<E>::load(p + c);
    }
}

// The tap loop: adds to acc the taps of a window of T pixels (CH channels
// each, side by side) on each of `rows` rows from `row` on, `row_stride`
// elements apart. Pixel k of a row weighs wx[k]; row r weighs wy[r] (r < T).
// Each row's weighted sum is taken first, then added to acc times the row's
// weight, which passes down a register shift as the rows go by.
template <int E, int CH, int NC, int T, bool VECTOR>
__device__ __forceinline__ void window_taps(const typename Elem<E>::T *row, long long row_stride, int rows,
                                            const float *wx, const float *wy, float *acc) {
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
            load_pixel<E, CH, NC, VECTOR>(row + k * CH, v);
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

// The same over all T rows of the window, unrolled: no loop, no weight shift,
// and every row's loads issued together.
template <int E, int CH, int NC, int T, bool VECTOR>
__device__ __forceinline__ void window_taps_full(const typename Elem<E>::T *row, long long row_stride,
                                                 const float *wx, const float *wy, float *acc) {
#pragma unroll
    for (int r = 0; r < T; ++r) {
        float v[NC], sum[NC];
#pragma unroll
        for (int c = 0; c < NC; ++c) sum[c] = 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) {
            load_pixel<E, CH, NC, VECTOR>(row + r * row_stride + k * CH, v);
#pragma unroll
            for (int c = 0; c < NC; ++c) sum[c] += wx[k] * v[c];
        }
#pragma unroll
        for (int c = 0; c < NC; ++c) acc[c] += wy[r] * sum[c];
    }
}

// The same sum over T rows of T float pixels of NC channels in shared
// memory, rows row_stride floats apart (plain loads: the read-only path is
// for global memory).
template <int NC, int T>
__device__ __forceinline__ void window_taps_shared(const float *row, int row_stride, const float *wx, const float *wy,
                                                   float *acc) {
#pragma unroll
    for (int r = 0; r < T; ++r) {
        float sum[NC];
#pragma unroll
        for (int c = 0; c < NC; ++c) sum[c] = 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) {
#pragma unroll
            for (int c = 0; c < NC; ++c) sum[c] += wx[k] * row[r * row_stride + k * NC + c];
        }
#pragma unroll
        for (int c = 0; c < NC; ++c) acc[c] += wy[r] * sum[c];
    }
}

// Words a row of T 3-channel uint8 pixels spans from any byte offset, and the
// pixels from the row's first on that those words may reach into: a window
// whose first pixel is not the row's first and whose first pixel lies
// WORDS_SPAN or more pixels before the row's end reads only its row's bytes.
template <int T> struct BytePixels {
    enum { WORDS = (3 * T + 3) / 4 + 1, SPAN = (4 * WORDS + 2) / 3 };
};

// The aligned word that holds byte p, and the funnel shift (mod 32) that
// brings p to the low byte of a pair of words from there.
__device__ __forceinline__ const unsigned int *word_at(const unsigned char *p) {
    return reinterpret_cast<const unsigned int *>(reinterpret_cast<unsigned long long>(p) & ~3ull);
}
__device__ __forceinline__ unsigned int funnel_at(const unsigned char *p) {
    return (unsigned int)reinterpret_cast<unsigned long long>(p) << 3;
}

// The same sum as window_taps_full over T rows of T 3-channel uint8 pixels,
// each row read as the aligned 32-bit words that hold it: a funnel shift
// lines each row's bytes up, and a byte permutation turns byte b into the
// float 1 + b / 2^15 (b in the high byte of the mantissa's low half) with no
// conversion. Each row's sum would then carry the x weights' total: it
// starts from minus that total instead, so the rows add up what the bytes
// weigh alone. The result lies within 2^-8 of a level per rounding of the
// exact sum (8 bits below the pixel's unit), far inside the rounding to uint8.
// The caller keeps every word inside the array (see BytePixels).
// With ALIGNED the caller guarantees row_stride is a multiple of 4: every
// row then starts at the same byte of a word, so the rows' words step by
// row_stride / 4 from the first row's and share its funnel shift.
template <int T, bool ALIGNED = false>
__device__ __forceinline__ void window_taps_u8x3(const unsigned char *row, long long row_stride, const float *wx,
                                                 const float *wy, float *acc) {
    enum { WORDS = BytePixels<T>::WORDS };
    float total_x = wx[0];
#pragma unroll
    for (int k = 1; k < T; ++k) total_x += wx[k];
    const unsigned int *first = word_at(row);
    const unsigned int first_shift = funnel_at(row);
#pragma unroll
    for (int r = 0; r < T; ++r) {
        const unsigned char *p = row + r * row_stride;
        const unsigned int *q = ALIGNED ? first + r * (int)(row_stride >> 2) : word_at(p);
        const unsigned int shift = ALIGNED ? first_shift : funnel_at(p);
        unsigned int word[WORDS], line[WORDS - 1];
#pragma unroll
        for (int j = 0; j < WORDS; ++j) word[j] = __ldg(q + j);
#pragma unroll
        for (int j = 0; j + 1 < WORDS; ++j) line[j] = __funnelshift_r(word[j], word[j + 1], shift);
        float sum[3];
#pragma unroll
        for (int k = 0; k < T; ++k) {
#pragma unroll
            for (int c = 0; c < 3; ++c) {
                const int b = 3 * k + c;
                const float v = __uint_as_float(__byte_perm(line[b >> 2], 0x3f800000u, 0x7604u | (b & 3) << 4));
                sum[c] = fmaf(wx[k], v, k == 0 ? -total_x : sum[c]);
            }
        }
#pragma unroll
        for (int c = 0; c < 3; ++c) acc[c] = r == 0 ? wy[0] * sum[c] : fmaf(wy[r], sum[c], acc[c]);
    }
#pragma unroll
    for (int c = 0; c < 3; ++c) acc[c] *= 32768.0f;
}

// Two pixels of a 3-channel uint8 row from its aligned words from q on,
// lined up by the funnel shift, each channel as 1 + b / 2^15 (see
// window_taps_u8x3).
__device__ __forceinline__ void pixel_pair_u8x3(const unsigned int *q, unsigned int shift, float *v) {
    enum { WORDS = BytePixels<2>::WORDS };
    unsigned int word[WORDS];
#pragma unroll
    for (int j = 0; j < WORDS; ++j) word[j] = __ldg(q + j);
    const unsigned int line[2] = {__funnelshift_r(word[0], word[1], shift), __funnelshift_r(word[1], word[2], shift)};
#pragma unroll
    for (int b = 0; b < 6; ++b) v[b] = __uint_as_float(__byte_perm(line[b >> 2], 0x3f800000u, 0x7604u | (b & 3) << 4));
}

// Bilinear interpolation of a 2 x 2 window of 3-channel uint8 pixels at
// fractions fx, fy: each row's pair blended as v0 + fx (v1 - v0), then the
// rows as r0 + fy (r1 - r0). The leading one of every value cancels in the
// differences and is taken off at the end; the result lies within 2^-8 of a
// level per rounding of the exact value.
__device__ __forceinline__ void window_lerp_u8x3(const unsigned char *row, long long row_stride, float fx, float fy,
                                                 float *acc) {
    float a[6], b[6];
    pixel_pair_u8x3(word_at(row), funnel_at(row), a);
    pixel_pair_u8x3(word_at(row + row_stride), funnel_at(row + row_stride), b);
#pragma unroll
    for (int c = 0; c < 3; ++c) {
        const float top = fmaf(fx, a[c + 3] - a[c], a[c]), bottom = fmaf(fx, b[c + 3] - b[c], b[c]);
        acc[c] = fmaf(fmaf(fy, bottom - top, top), 32768.0f, -32768.0f);
    }
}

}  // namespace zemvara

#endif  // ZEMVARA_TAPS_CUH
