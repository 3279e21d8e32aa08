// Affine warps with a zero border: float32 (H', W', 3) output from an (H, W, CH) source.
//
// Compiled behind _filters.cuh (element types, the filters' traits blocks) and
// _taps.cuh (the tap loop). Each kernel is a template over the filter's traits
// block F, the element type E and the channel count. The kernel entry is one
// thread per destination pixel; affine_warp_pixel computes that pixel from
// plain image descriptors, so that other entries can reuse it.
//
// Coordinates: pixel centres sit at integer positions. Destination pixel
// (x, y) samples the source at (m0 x + m1 y + m2, m3 x + m4 y + m5), m being
// the inverse matrix.
//
// Borders: the image is surrounded by zeros (taps outside the image count in
// the weight sum and add nothing).
//
// Positions are compared with the image bounds in floating point before any
// conversion to an integer, so that huge positions (or NaN) give zeros and
// never wrap around; tap indices are clamped into the image, so that no read
// leaves the source.

namespace zemvara {

// ---- the filtered sample of one destination pixel ----------------------------------
//
// Along each axis the weights are normalised by their sum over every tap with
// |i - p| < reach, inside the image or not; taps outside the image then add
// nothing (the image is surrounded by zeros). Taps are visited in chunks of T
// along each axis, whose weights live in registers: a chunk along x is a
// window of T pixels inside the image (taps at fixed offsets from one row
// pointer), a chunk along y T rows, walked by the tap loop of _taps.cuh. Offsets are 32-bit within a row (a row holds at
// most 2^24 pixels of at most 4 channels); rows are addressed in 64 bits.

// Most taps an axis sums over exactly. Past it (extreme reductions, degenerate
// matrices) the sum is the same Riemann sum taken at the stretch that gives
// this many taps, scaled by the ratio of the stretches: the weights are a
// smooth function sampled ever more finely, so the two agree to O(1/taps^2),
// and the time per pixel stays bounded.
#define ZEMVARA_MAX_SUM_TAPS 4096.0f

// Sum of the weights of all taps around p (inside the image or not).
template <class F>
__device__ float weight_sum(float p, float s, const typename F::Params &f) {
    const float inv_s = 1.0f / s;
    float lo, hi;
    tap_range(p, F::reach(s, f), lo, hi);
    float sum = 0.0f;
    for (int i = (int)lo; i <= (int)hi; ++i) sum += F::weight((float)i - p, s, inv_s, f);
    return sum;
}

// 1 / (the weight sum of an axis), or 0 when it is not positive.
template <class F>
__device__ float axis_norm(float p, float s, const typename F::Params &f) {
    float sum;
    const float reach = F::reach(s, f);
    if (2.0f * reach <= ZEMVARA_MAX_SUM_TAPS) {
        sum = weight_sum<F>(p, s, f);
    } else {
        // The reach grows as R * s: s_cut = MAX / (2 R), whatever s is, so
        // that an infinite stretch gives an infinite sum (zero weights)
        // rather than a NaN stretch whose tap range cannot be converted.
        const float s_cut = ZEMVARA_MAX_SUM_TAPS / (2.0f * F::reach(1.0f, f));
        sum = weight_sum<F>(p - floorf(p), s_cut, f) * (s / s_cut);
    }
    return sum > 0.0f ? 1.0f / sum : 0.0f;
}

// The weights of the T taps from `start` on, zero outside first .. last, times norm.
template <class F, int T>
__device__ __forceinline__ void chunk_weights(int start, int first, int last, float p, float s,
                                              float inv_s, float norm,
                                              const typename F::Params &f, float *w) {
#pragma unroll
    for (int k = 0; k < T; ++k) {
        const int i = start + k;
        w[k] = i >= first && i <= last ? F::weight((float)i - p, s, inv_s, f) * norm : 0.0f;
    }
}

// The weight sum of an axis whose taps inside the image all lie in one chunk
// (w, its weights) and whose taps lo .. hi number at most 2 T: the chunk's
// weights plus those of the taps beyond the image's edges.
template <class F, int T>
__device__ __forceinline__ float chunk_sum(const float *w, float p, float s, float inv_s, int n,
                                           int lo, int hi, const typename F::Params &f) {
    float sum = 0.0f;
#pragma unroll
    for (int k = 0; k < T; ++k) sum += w[k];
    for (int i = lo; i < 0; ++i) sum += F::weight((float)i - p, s, inv_s, f);
    for (int i = max(lo, n); i <= hi; ++i) sum += F::weight((float)i - p, s, inv_s, f);
    return sum;
}

// Adds to acc the filtered value at (px, py) of the h x w source with CH channels.
template <class F, int E, int CH, int NC, int T>
__device__ __forceinline__ void sample_chunks(const typename Elem<E>::T *src, int h, int w,
                                              float px, float py, float sx, float sy, int x0,
                                              int x1, int y0, int y1,
                                              const typename F::Params &f, float *acc) {
    const float inv_sx = 1.0f / sx, inv_sy = 1.0f / sy;
    const int row_stride = w * CH;
    float wx[T], wy[T];
    float norm_x, norm_y, lo, hi;
    // One chunk holds every tap inside the image, and few taps lie outside it.
    tap_range(px, F::reach(sx, f), lo, hi);
    const bool one_x = x1 - x0 < T && hi - lo < 2 * T;
    if (one_x) {  // the common case: the sum from the chunk's own weights
        chunk_weights<F, T>(min(x0, w - T), x0, x1, px, sx, inv_sx, 1.0f, f, wx);
        norm_x = chunk_sum<F, T>(wx, px, sx, inv_sx, w, (int)lo, (int)hi, f);
        norm_x = norm_x > 0.0f ? 1.0f / norm_x : 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) wx[k] *= norm_x;
    } else {
        norm_x = axis_norm<F>(px, sx, f);
    }
    tap_range(py, F::reach(sy, f), lo, hi);
    const bool one_y = y1 - y0 < T && hi - lo < 2 * T;
    if (one_y) {
        chunk_weights<F, T>(y0, y0, y1, py, sy, inv_sy, 1.0f, f, wy);
        norm_y = chunk_sum<F, T>(wy, py, sy, inv_sy, h, (int)lo, (int)hi, f);
        norm_y = norm_y > 0.0f ? 1.0f / norm_y : 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) wy[k] *= norm_y;
    } else {
        norm_y = axis_norm<F>(py, sy, f);
    }
    if (norm_x == 0.0f || norm_y == 0.0f) return;
    for (int cy = y0; cy <= y1; cy += T) {
        if (!one_y) chunk_weights<F, T>(cy, cy, y1, py, sy, inv_sy, norm_y, f, wy);
        const int rows = min(T, y1 - cy + 1);
        for (int cx = x0; cx <= x1; cx += T) {
            const int start = min(cx, w - T);  // the window lies inside the image
            if (!one_x) chunk_weights<F, T>(start, cx, x1, px, sx, inv_sx, norm_x, f, wx);
            window_taps<E, CH, NC, T, true>(src + (long long)cy * row_stride + start * CH, row_stride, rows,
                                            wx, wy, acc);
        }
    }
}

// Adds to acc the value at (px, py) of the h x w source with CH channels,
// sampled with the filter F at the stretches sx, sy.
template <class F, int E, int CH, int NC>
__device__ __forceinline__ void sample(const typename Elem<E>::T *src, int h, int w, float px,
                                       float py, float sx, float sy,
                                       const typename F::Params &f, float *acc) {
    typedef typename Elem<E>::T Tp;
    const int row_stride = w * CH;
    if (same_type<F, Nearest>::value) {  // the tap floor(p + 1/2)
        const float fx = floorf(px + 0.5f), fy = floorf(py + 0.5f);
        if (!(fx >= 0.0f && fx < (float)w && fy >= 0.0f && fy < (float)h)) return;
        float v[NC];
        load_pixel<E, CH, NC, true>(src + (long long)(int)fy * row_stride + (int)fx * CH, v);
#pragma unroll
        for (int c = 0; c < NC; ++c) acc[c] += v[c];
        return;
    }
    if (same_type<F, Bilinear>::value) {
        // Taps floor(p) and floor(p) + 1 with weights 1 - frac and frac (they sum to 1).
        if (!(px > -1.0f && px < (float)w && py > -1.0f && py < (float)h)) return;
        const float x0f = floorf(px), y0f = floorf(py);
        const int x0 = (int)x0f, y0 = (int)y0f;
        const float ax = px - x0f, ay = py - y0f;
        const float wx[2] = {1.0f - ax, ax}, wy[2] = {1.0f - ay, ay};
#pragma unroll
        for (int j = 0; j < 2; ++j) {
            const int y = y0 + j;
            if (y < 0 || y >= h) continue;
            const Tp *row = src + (long long)y * row_stride;
#pragma unroll
            for (int i = 0; i < 2; ++i) {
                const int x = x0 + i;
                if (x < 0 || x >= w) continue;
                float v[NC];
                load_pixel<E, CH, NC, true>(row + x * CH, v);
#pragma unroll
                for (int c = 0; c < NC; ++c) acc[c] += wy[j] * wx[i] * v[c];
            }
        }
        return;
    }
    int x0, x1, y0, y1;
    if (!taps_inside(px, F::reach(sx, f), w, x0, x1) || !taps_inside(py, F::reach(sy, f), h, y0, y1))
        return;
    const int taps = max(x1 - x0, y1 - y0) + 1;
    if (taps <= 4 && w >= 4)  // cubics and area enlarging, Lanczos-2
        sample_chunks<F, E, CH, NC, 4>(src, h, w, px, py, sx, sy, x0, x1, y0, y1, f, acc);
    else if (taps <= 6 && w >= 6)  // Lanczos-3 enlarging, reductions up to 3/2
        sample_chunks<F, E, CH, NC, 6>(src, h, w, px, py, sx, sy, x0, x1, y0, y1, f, acc);
    else if (w >= 8)
        sample_chunks<F, E, CH, NC, 8>(src, h, w, px, py, sx, sy, x0, x1, y0, y1, f, acc);
    else  // an image narrower than a chunk: one tap at a time
        sample_chunks<F, E, CH, NC, 1>(src, h, w, px, py, sx, sy, x0, x1, y0, y1, f, acc);
}

// ---- affine warps: float32 (H', W', 3) output from an (H, W, CH) source --------

// Destination pixel (x, y) of an affine warp into out[0..2]: the src_h x
// src_w source (CH channels side by side, rows packed) sampled at the inverse
// map m (six float32 values); grey is replicated, alpha ignored.
template <class F, int E, int CH>
__device__ __forceinline__ void affine_warp_pixel(const typename Elem<E>::T *src, int src_h, int src_w,
                                                  const float *m, const typename F::Params &f, int x, int y,
                                                  float *out) {
    const float m0 = __ldg(m), m1 = __ldg(m + 1), m2 = __ldg(m + 2);
    const float m3 = __ldg(m + 3), m4 = __ldg(m + 4), m5 = __ldg(m + 5);
    const float fx = (float)x, fy = (float)y;
    const float px = m0 * fx + m1 * fy + m2;
    const float py = m3 * fx + m4 * fy + m5;
    const int NC = CH < 3 ? CH : 3;  // grey is replicated, alpha ignored
    float acc[NC];
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
    sample<F, E, CH, NC>(src, src_h, src_w, px, py, stretch_of<F>(hypotf(m0, m1)),
                         stretch_of<F>(hypotf(m3, m4)), f, acc);
    out[0] = acc[0];
    out[1] = acc[NC == 1 ? 0 : 1];
    out[2] = acc[NC == 1 ? 0 : 2];
}

// One thread per destination pixel of a dst_h x dst_w output.
template <class F, int E, int CH>
__global__ void affine_warp(const typename Elem<E>::T *__restrict__ src, float *__restrict__ dst,
                            const float *__restrict__ m, int src_h, int src_w, int dst_h,
                            int dst_w, float p0, float p1) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= dst_w || y >= dst_h) return;
    const typename F::Params f = F::prepare(p0, p1);
    affine_warp_pixel<F, E, CH>(src, src_h, src_w, m, f, x, y, dst + ((long long)y * dst_w + x) * 3);
}

}  // namespace zemvara
