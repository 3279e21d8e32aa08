// Host builds of the resize kernels: values four at a time in SSE vectors,
// read along rows.
//
// A CPU runs a block's threads one after another, so a thread's values down
// a column (what a warp's lanes read side by side on a GPU) become a cache line
// a row. Where a kernel gives these to the host, one thread of a block filters
// whole runs of a row instead, each tap's run of values before the next tap's,
// with the products and sums of the GPU build value by value, in the same
// order (no FMA in a host build): results are the same bit for bit. GPU builds
// see none of this (compiled-code tests run their code instead).
//
// Compiled behind _filters.cuh and _taps.cuh; guarded against a second copy.

#ifndef ZEMVARA_RESIZE_HOST_CUH
#define ZEMVARA_RESIZE_HOST_CUH
#if !defined(__CUDA_ARCH__) && defined(__SSE2__)

namespace zemvara {

// Four values as one SSE vector of floats.
typedef float host_lanes __attribute__((vector_size(16)));

// Four adjacent values from p as floats (Elem<EI>::load's conversions, the
// four at once for integer types).
template <int EI>
__device__ __forceinline__ host_lanes load_lanes_host(const typename Elem<EI>::T *p) {
    const __m128i zero = _mm_setzero_si128();
    if (EI == U8) {
        int bytes;
        memcpy(&bytes, p, sizeof bytes);
        return (host_lanes)_mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero));
    } else if (EI == U16) {
        return (host_lanes)_mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_loadl_epi64((const __m128i *)p), zero));
    } else if (EI == F32) {
        host_lanes f;
        memcpy(&f, p, sizeof f);
        return f;
    } else {
        float v[4];
        load_pixel<EI, 4, 4, true>(p, v);
        return host_lanes{v[0], v[1], v[2], v[3]};
    }
}

// The first N (four unless given) values of `sum` stored from q on as
// Elem<EO>::store stores them: integer types clamped to 0 .. top (a NaN fails
// the first compare and becomes 0) and rounded to nearest even by adding and
// taking away 2^23, the four at once. The clamps are maxps and minps, which
// are those compares exactly (each gives its second operand where the first
// is NaN); uint8 values are packed into one word, stored N bytes at once.
template <int EO, int N = 4>
__device__ __forceinline__ void store_lanes_host(host_lanes sum, typename Elem<EO>::T *q) {
    typedef typename Elem<EO>::T TO;
    if (EO == U8 || EO == U16) {
        typedef int ints __attribute__((vector_size(16)));
        const float top = EO == U8 ? 255.0f : 65535.0f;
        const host_lanes big = {8388608.0f, 8388608.0f, 8388608.0f, 8388608.0f};
        host_lanes c = (host_lanes)_mm_max_ps((__m128)sum, _mm_setzero_ps());  // sum > 0 ? sum : 0
        c = (host_lanes)_mm_min_ps((__m128)c, _mm_set1_ps(top));               // c < top ? c : top
        const ints r = __builtin_convertvector((c + big) - big, ints);
        if (EO == U8) {
            const __m128i words = _mm_packs_epi32((__m128i)r, (__m128i)r);  // 0 .. 255 pack exactly
            const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
            memcpy(q, &bytes, N);
            return;
        }
#pragma unroll
        for (int k = 0; k < N; ++k) q[k] = (TO)r[k];
    } else if (EO == F32 && N == 4) {
        memcpy(q, &sum, sizeof sum);  // one store, where element by element would take four
    } else {
#pragma unroll
        for (int k = 0; k < N; ++k) q[k] = Elem<EO>::store(sum[k]);
    }
}

// One destination pixel of NC (3 or 4) channels filtered along x out of the
// float values of a fused tile (_resize_fused.cu), its taps NC values apart
// from m: the NC calls of fused_run that the GPU build makes, side by side in
// one vector (each channel's products and sums in the same order, no FMA in a
// host build). With NC == 3 the fourth lane reads the value after each tap's
// three (the caller keeps it inside the tile) and is dropped.
template <int EO, int NC>
__device__ __forceinline__ void fused_pixel_host(const float *m, typename Elem<EO>::T *q, const float *w, int taps) {
    host_lanes sum = {0.0f, 0.0f, 0.0f, 0.0f};
#pragma unroll 1
    for (int t = 0; t < taps; ++t, m += NC) {
        host_lanes v;
        memcpy(&v, m, sizeof v);
        sum += __ldg(w + t) * v;
    }
    store_lanes_host<EO, NC>(sum, q);
}

// Values x0 .. x1 - 1 of destination row y filtered along y as
// resize_row_values (_resize.cu) does with V = 4 (the same products and sums, lane by lane,
// in the same order: no FMA in a host build), 256 values at a time, each tap's
// row of them before the next tap's: a CPU core then reads each tap's row as a
// run of adjacent bytes, where a thread's four values down the taps would read
// a cache line a row. x0 and x1 multiples of four, as in resize_row_values.
template <int EI, int EO>
__device__ __forceinline__ void resize_row_run_host(const typename Elem<EI>::T *src, typename Elem<EO>::T *dst,
                                                    const float *weights, const int *offsets, int taps, int stride,
                                                    int x0, int x1, int y, long long src_sy, long long dst_sy) {
    host_lanes sum[64];
    const float *w = weights + y * stride;
    const typename Elem<EI>::T *row = src + __ldg(offsets + y) * src_sy;
    if (taps <= 4) {
        // Few taps: each run of four vectors summed over all the taps in registers and stored once
        // (the same sums, tap by tap), the taps' rows read side by side: a few streams, each tap's
        // row fetched ahead a run at a time.
        for (int x = x0; x < x1; x += 256) {
            const int n = min(64, (x1 - x) / 4);
            const typename Elem<EI>::T *p = row + x;
            for (int t = 1; t < taps; ++t)
                for (int b = 0; b < 4 * n * (int)sizeof(*p); b += 64) __builtin_prefetch((const char *)(p + t * src_sy) + b);
            typename Elem<EO>::T *q = dst + y * dst_sy + x;
            int k = 0;
            for (; k + 4 <= n; k += 4) {
                host_lanes a0 = {0.0f, 0.0f, 0.0f, 0.0f}, a1 = a0, a2 = a0, a3 = a0;
                const typename Elem<EI>::T *pk = p + 4 * k;
#pragma unroll 1
                for (int t = 0; t < taps; ++t, pk += src_sy) {
                    const float wt = __ldg(w + t);
                    a0 += wt * load_lanes_host<EI>(pk);
                    a1 += wt * load_lanes_host<EI>(pk + 4);
                    a2 += wt * load_lanes_host<EI>(pk + 8);
                    a3 += wt * load_lanes_host<EI>(pk + 12);
                }
                store_lanes_host<EO>(a0, q + 4 * k);
                store_lanes_host<EO>(a1, q + 4 * k + 4);
                store_lanes_host<EO>(a2, q + 4 * k + 8);
                store_lanes_host<EO>(a3, q + 4 * k + 12);
            }
            for (; k < n; ++k) {
                host_lanes a = {0.0f, 0.0f, 0.0f, 0.0f};
                const typename Elem<EI>::T *pk = p + 4 * k;
#pragma unroll 1
                for (int t = 0; t < taps; ++t, pk += src_sy) a += __ldg(w + t) * load_lanes_host<EI>(pk);
                store_lanes_host<EO>(a, q + 4 * k);
            }
        }
        return;
    }
    for (int x = x0; x < x1; x += 256) {
        const int n = min(64, (x1 - x) / 4);
        for (int k = 0; k < n; ++k) sum[k] = host_lanes{0.0f, 0.0f, 0.0f, 0.0f};
        const typename Elem<EI>::T *p = row + x;
#pragma unroll 1
        for (int t = 0; t < taps; ++t, p += src_sy) {
            // The next row's run on its way meanwhile: rows lie far apart,
            // and a run of a few cache lines is too short for the hardware to
            // see a stream.
            const char *next = (const char *)(p + src_sy);
            for (int b = 0; b < 4 * n * (int)sizeof(*p); b += 64) __builtin_prefetch(next + b);
            const float wt = __ldg(w + t);
            for (int k = 0; k < n; ++k) sum[k] += wt * load_lanes_host<EI>(p + 4 * k);
        }
        for (int k = 0; k < n; ++k) store_lanes_host<EO>(sum[k], dst + y * dst_sy + x + 4 * k);
    }
}

}  // namespace zemvara

#endif
#endif  // ZEMVARA_RESIZE_HOST_CUH
