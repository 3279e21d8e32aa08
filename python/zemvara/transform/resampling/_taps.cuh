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

}  // namespace zemvara

#endif  // ZEMVARA_TAPS_CUH
