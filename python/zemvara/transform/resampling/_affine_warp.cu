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
    const float inv_s = __fdividef(1.0f, s);
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
    return sum > 0.0f ? __fdividef(1.0f, sum) : 0.0f;
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
    const float inv_sx = __fdividef(1.0f, sx), inv_sy = __fdividef(1.0f, sy);
    const int row_stride = w * CH;
    float wx[T], wy[T];
    float norm_x, norm_y, lo, hi;
    // One chunk holds every tap inside the image, and few taps lie outside it.
    tap_range(px, F::reach(sx, f), lo, hi);
    const bool one_x = x1 - x0 < T && hi - lo < 2 * T;
    if (one_x) {  // the common case: the sum from the chunk's own weights
        chunk_weights<F, T>(min(x0, w - T), x0, x1, px, sx, inv_sx, 1.0f, f, wx);
        norm_x = chunk_sum<F, T>(wx, px, sx, inv_sx, w, (int)lo, (int)hi, f);
        norm_x = norm_x > 0.0f ? __fdividef(1.0f, norm_x) : 0.0f;
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
        norm_y = norm_y > 0.0f ? __fdividef(1.0f, norm_y) : 0.0f;
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

// ---- stretch 1 with every tap inside the image: the window in closed form ----------
//
// Rotations and enlargements sample at stretch 1 along both axes, and
// almost all of their pixels lie far enough from the border that the T x T
// window of taps floor(p) - T/2 + 1 .. floor(p) + T/2 is inside the image.
// There each tap's offset is known from f = p - floor(p) alone, so the
// weights come in closed form, without range checks; the filters whose
// weights sum to one need no normalisation, Lanczos is normalised once per
// pixel. Taps beyond the reach weigh zero, so the window holds every tap the
// general path sums.

// sin(pi u) and cos(pi u) for u in [0, 1/2].
__device__ __forceinline__ float sin_pi_half(float u) {
    const float z = 3.14159265358979f * u;
    return sin_taylor(z, z * z);
}

__device__ __forceinline__ float cos_pi_half(float u) {
    const float z = 3.14159265358979f * u;
    return cos_taylor(z * z);
}

// sin(pi m / A) and cos(pi m / A) for the Lanczos windows 2 .. 4, m < A.
__device__ __forceinline__ float lanczos_sin(int a, int m) {
    return m == 0 ? 0.0f : a == 2 ? 1.0f : a == 3 ? 0.866025404f : m == 2 ? 1.0f : 0.707106781f;
}
__device__ __forceinline__ float lanczos_cos(int a, int m) {
    return m == 0 ? 1.0f : a == 2 ? 0.0f : a == 3 ? (m == 1 ? 0.5f : -0.5f)
                                                  : m == 1 ? 0.707106781f : m == 2 ? 0.0f : -0.707106781f;
}

// The taps of a filter's window at stretch 1, 0 for filters without this path
// (Lanczos: 2 A, picked at run time in sample_unit).
template <class F> struct UnitWindow { static const int taps = 0; };
template <> struct UnitWindow<Keys> { static const int taps = 4; };
template <> struct UnitWindow<MitchellNetravali> { static const int taps = 4; };
template <> struct UnitWindow<Area> { static const int taps = 2; };

// The weights w[k] of the T taps floor(p) - T/2 + 1 + k at stretch 1, f = p -
// floor(p) in [0, 1), up to a factor common to the axis; returns the factor
// that normalises them (1 where they sum to one).
template <class F, int T>
__device__ __forceinline__ float unit_weights(float f, const typename F::Params &k, float *w);

// The cubics: the taps lie at |t| = 1 + f, f, 1 - f and 2 - f, so each one's
// piece is known; Keys' and the Mitchell-Netravali cubics sum to one.
__device__ __forceinline__ float cubic_unit_weights(float f, const Cubic &k, float *w) {
    const float x0 = 1.0f + f, x2 = 1.0f - f, x3 = 2.0f - f;
    w[0] = ((k.q3 * x0 + k.q2) * x0 + k.q1) * x0 + k.q0;
    w[1] = (k.p3 * f + k.p2) * f * f + k.p0;
    w[2] = (k.p3 * x2 + k.p2) * x2 * x2 + k.p0;
    w[3] = f > 0.0f ? ((k.q3 * x3 + k.q2) * x3 + k.q1) * x3 + k.q0 : 0.0f;  // |t| = 2 weighs zero
    return 1.0f;
}
template <> __device__ __forceinline__ float unit_weights<Keys, 4>(float f, const Cubic &k, float *w) {
    return cubic_unit_weights(f, k, w);
}
template <> __device__ __forceinline__ float unit_weights<MitchellNetravali, 4>(float f, const Cubic &k, float *w) {
    return cubic_unit_weights(f, k, w);
}

// Area at stretch 1 is the tent: 1 - f and f.
template <> __device__ __forceinline__ float unit_weights<Area, 2>(float f, const Area::Params &, float *w) {
    w[0] = 1.0f - f;
    w[1] = f;
    return 1.0f;
}

// Lanczos, A = T / 2: the tap t = j - f (j = 1 - A .. A) weighs sin(pi t) sin(pi t / A) / t^2
// up to a constant. sin(pi t) is sin(pi f) times (-1)^(j+1), whose magnitude the
// normalisation cancels; sin(pi t / A) comes from the sine and cosine of pi f / A (j <= 0) or of
// pi (1 - f) / A (j >= 1) by the angle sum with pi m / A, with no cancellation where t is
// small (t^2 stays above 3e-15, a normal number). f below 1e-6 is the tap at j = 0 alone,
// as t below 1e-6 weighs 1 in the general path.
template <int T>
__device__ __forceinline__ float lanczos_unit_weights(float f, float *w) {
    const int a = T / 2;
    const float g = 1.0f - f;
    const float s2 = sin_pi_half(f * (1.0f / a)), c2 = cos_pi_half(f * (1.0f / a));
    const float s3 = sin_pi_half(g * (1.0f / a)), c3 = cos_pi_half(g * (1.0f / a));
    float sum = 0.0f;
#pragma unroll
    for (int k = 0; k < T; ++k) {
        const int j = k + 1 - a;
        const float t = (float)j - f;
        const float v = j <= 0 ? lanczos_sin(a, -j) * c2 + lanczos_cos(a, -j) * s2
                               : lanczos_sin(a, j - 1) * c3 + lanczos_cos(a, j - 1) * s3;
        w[k] = ((j & 1) == (j <= 0) ? -v : v) * fast_rcp(t * t);  // (-1)^j, (-1)^(j+1)
        sum += w[k];
    }
    if (f < 1e-6f) {
#pragma unroll
        for (int k = 0; k < T; ++k) w[k] = k == a - 1 ? 1.0f : 0.0f;
        return 1.0f;
    }
    return fast_rcp(sum);
}
template <> __device__ __forceinline__ float unit_weights<Lanczos, 4>(float f, const Lanczos::Params &, float *w) {
    return lanczos_unit_weights<4>(f, w);
}
template <> __device__ __forceinline__ float unit_weights<Lanczos, 6>(float f, const Lanczos::Params &, float *w) {
    return lanczos_unit_weights<6>(f, w);
}
template <> __device__ __forceinline__ float unit_weights<Lanczos, 8>(float f, const Lanczos::Params &, float *w) {
    return lanczos_unit_weights<8>(f, w);
}

// The T x T window from `first` (row_stride elements apart): sum over columns k of
// wx[k] times the column's sum over rows r of wy[r] times the pixel. Columns first, so
// that every path below adds in the same order and gives the same bits.
template <int E, int CH, int NC, int T>
__device__ __forceinline__ void unit_window_pixels(const typename Elem<E>::T *first, int row_stride,
                                                   const float *wx, const float *wy, float *out) {
    float col[T][NC];
#pragma unroll
    for (int k = 0; k < T; ++k)
#pragma unroll
        for (int c = 0; c < NC; ++c) col[k][c] = 0.0f;
#pragma unroll
    for (int r = 0; r < T; ++r) {
#pragma unroll
        for (int k = 0; k < T; ++k) {
            float v[NC];
            load_pixel<E, CH, NC, true>(first + (long long)r * row_stride + k * CH, v);
#pragma unroll
            for (int c = 0; c < NC; ++c) col[k][c] += wy[r] * v[c];
        }
    }
#pragma unroll
    for (int c = 0; c < NC; ++c) {
        float s = 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) s += wx[k] * col[k][c];
        out[c] = s;
    }
}

// The same for float32 RGB rows whose starts are 16 bytes apart modulo 16 (row_stride
// a multiple of 4) in an image that starts on 16 bytes: each row of the window is read
// in 16-byte vectors from the 16-byte boundary at or before it, o values early (o < 4),
// every value of a vector summed over the rows into its own slot; the window's values
// are then slots o .. o + 3T - 1. The last vector is read only where the window reaches
// into it, so no read passes the window's last 16-byte block, which ends inside the image.
template <int T>
__device__ __forceinline__ void unit_window_rgb32(const float *first, int row_stride, const float *wx,
                                                  const float *wy, float *out) {
    const int N = (3 * T + 6) / 4;  // vectors a row: ceil((3 T + 3) / 4)
    const unsigned o = (unsigned)((unsigned long long)first >> 2) & 3u;
    const float4 *q = reinterpret_cast<const float4 *>(first - o);
    const bool last = (int)o + 3 * T > 4 * (N - 1);
    float slot[4 * N];
#pragma unroll
    for (int i = 0; i < 4 * N; ++i) slot[i] = 0.0f;
#pragma unroll
    for (int r = 0; r < T; ++r) {
#pragma unroll
        for (int n = 0; n < N; ++n) {
            const float4 v = n < N - 1 || last ? __ldg(q + n) : make_float4(0.0f, 0.0f, 0.0f, 0.0f);
            const float f[4] = {v.x, v.y, v.z, v.w};
#pragma unroll
            for (int i = 0; i < 4; ++i)
                if (4 * n + i < 3 * T + 3) slot[4 * n + i] += wy[r] * f[i];  // the others are never picked
        }
        q += row_stride >> 2;
    }
    // Shift the slots down by o: by 2, then by 1.
    float b[3 * T + 1];
#pragma unroll
    for (int i = 0; i <= 3 * T; ++i) b[i] = (o & 2u) ? slot[i + 2] : slot[i];
#pragma unroll
    for (int c = 0; c < 3; ++c) {
        float s = 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) s += wx[k] * ((o & 1u) ? b[3 * k + c + 1] : b[3 * k + c]);
        out[c] = s;
    }
}

// Byte k of w as a float. Bytes 0 and 3 convert as they are (the conversion selects
// them); bytes 1 and 2 are moved down by one byte permute, not a shift and a mask.
__device__ __forceinline__ float byte_value(unsigned w, int k) {
#ifdef __CUDA_ARCH__
    if (k == 1 || k == 2) {
        unsigned r;
        asm("prmt.b32 %0, %1, 0, %2;" : "=r"(r) : "r"(w), "r"(0x4440u | k));
        return (float)r;
    }
#endif
    return (float)((w >> (8 * k)) & 0xffu);
}

// The same for uint8 and uint16 RGB rows whose starts are 4 bytes apart modulo 4
// (row_stride a multiple of 4 bytes) in an image that starts on 4 bytes: each row of the
// window is read in 4-byte words from the 4-byte boundary at or before it, o values early
// (o < 4 bytes), and shifted down by o values across word pairs; the last word is read
// only where the window reaches into it, so no read passes the window's last 4-byte
// block, inside the image.
template <int E, int T>
__device__ __forceinline__ void unit_window_rgb_words(const typename Elem<E>::T *first, int row_stride,
                                                      const float *wx, const float *wy, float *out) {
    const int S = sizeof(typename Elem<E>::T), V = 4 / S;  // bytes a value, values a word
    const int B = 3 * T;                                   // values of a window row
    const int N = (B + 2 * V - 2) / V;                     // words a row: ceil((B + V - 1) / V)
    const unsigned o = ((unsigned)(unsigned long long)first & 3u) / S;
    const unsigned *q = reinterpret_cast<const unsigned *>(first - o);
    const bool last = (int)o + B > V * (N - 1);
    float col[T][3];
#pragma unroll
    for (int k = 0; k < T; ++k)
#pragma unroll
        for (int c = 0; c < 3; ++c) col[k][c] = 0.0f;
#pragma unroll
    for (int r = 0; r < T; ++r) {
        unsigned v[N];
#pragma unroll
        for (int n = 0; n < N; ++n) v[n] = n < N - 1 || last ? __ldg(q + n) : 0u;
#pragma unroll
        for (int n = 0; n < (B + V - 1) / V; ++n) {
            const unsigned word = (unsigned)((((unsigned long long)v[n + 1] << 32) | v[n]) >> (8 * S * o));
#pragma unroll
            for (int b = 0; b < V; ++b) {
                const int i = V * n + b;  // the value's place in the window row
                const float x = S == 1 ? byte_value(word, b) : (float)(b ? word >> 16 : word & 0xffffu);
                if (i < B) col[i / 3][i % 3] += wy[r] * x;
            }
        }
        q += (row_stride * S) >> 2;
    }
#pragma unroll
    for (int c = 0; c < 3; ++c) {
        float s = 0.0f;
#pragma unroll
        for (int k = 0; k < T; ++k) s += wx[k] * col[k][c];
        out[c] = s;
    }
}

// Sets acc to the value at (px, py) at stretch 1 through a T x T window; false (acc
// untouched) where the window leaves the image.
template <class F, int E, int CH, int NC, int T>
__device__ __forceinline__ bool unit_window(const typename Elem<E>::T *src, int h, int w, float px, float py,
                                            const typename F::Params &f, float *acc) {
    const float fx = floorf(px), fy = floorf(py);
    const float lo = (float)(T / 2 - 1), hi = (float)(T / 2);
    if (!(fx >= lo && fx + hi <= (float)(w - 1) && fy >= lo && fy + hi <= (float)(h - 1))) return false;
    float wx[T], wy[T], v[NC];
    const float n = unit_weights<F, T>(px - fx, f, wx) * unit_weights<F, T>(py - fy, f, wy);
    const int row_stride = w * CH;
    const typename Elem<E>::T *first = src + (long long)((int)fy - (T / 2 - 1)) * row_stride
                                       + ((int)fx - (T / 2 - 1)) * CH;
    if constexpr (E == F32 && CH == 3) {
        if ((w & 3) == 0 && ((unsigned long long)src & 15) == 0)
            unit_window_rgb32<T>(first, row_stride, wx, wy, v);
        else
            unit_window_pixels<E, CH, NC, T>(first, row_stride, wx, wy, v);
    } else if constexpr ((E == U8 || E == U16) && CH == 3) {
        if (((row_stride * (int)sizeof(*src)) & 3) == 0 && ((unsigned long long)src & 3) == 0)
            unit_window_rgb_words<E, T>(first, row_stride, wx, wy, v);
        else
            unit_window_pixels<E, CH, NC, T>(first, row_stride, wx, wy, v);
    } else {
        unit_window_pixels<E, CH, NC, T>(first, row_stride, wx, wy, v);
    }
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = v[c] * n;
    return true;
}

// The stretch-1 path of the filters that have one: sets acc; false where it does not apply.
template <class F, int E, int CH, int NC>
__device__ __forceinline__ bool sample_unit(const typename Elem<E>::T *src, int h, int w, float px, float py,
                                            const typename F::Params &f, float *acc) {
    if constexpr (same_type<F, Lanczos>::value) {
        if (f.a == 2.0f) return unit_window<F, E, CH, NC, 4>(src, h, w, px, py, f, acc);
        if (f.a == 3.0f) return unit_window<F, E, CH, NC, 6>(src, h, w, px, py, f, acc);
        if (f.a == 4.0f) return unit_window<F, E, CH, NC, 8>(src, h, w, px, py, f, acc);
        return false;
    } else if constexpr (UnitWindow<F>::taps > 0) {
        return unit_window<F, E, CH, NC, UnitWindow<F>::taps>(src, h, w, px, py, f, acc);
    } else {
        return false;
    }
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
    const float sx = stretch_of<F>(spacing_of(m0, m1)), sy = stretch_of<F>(spacing_of(m3, m4));
    if (!(F::widens && sx == 1.0f && sy == 1.0f && sample_unit<F, E, CH, NC>(src, src_h, src_w, px, py, f, acc)))
        sample<F, E, CH, NC>(src, src_h, src_w, px, py, sx, sy, f, acc);
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
