// Warps with border modes: affine and perspective, any element type, 1 to 4
// channels, batches in one launch. Compiled behind _filters.cuh (element loads
// and stores, the filters' traits blocks, the antialiasing rule) and _taps.cuh
// (the tap loop). The kernel entry walks destination pixels; warp_pixel
// computes one from plain image descriptors, so that other entries can reuse it.
//
// Coordinates: pixel centres at integer positions. Destination pixel (x, y) of
// image n samples the source at the inverse map of (x, y):
//   affine       (m0 x + m1 y + m2, m3 x + m4 y + m5)
//   perspective  the same divided by w = m6 x + m7 y + m8; where w <= 0 (or the
//                position is not finite) the pixel lies outside the image.
//
// Antialiasing, the rule of the shared filters (stretch_of): along each source
// axis the spacing of neighbouring destination pixels is the length of that
// row of the inverse map's Jacobian (for an affine map the row of its 2 x 2
// block; for a perspective map it varies per pixel). The taps of an axis are
// the integers i with |i - p| < reach(s), their weights normalised by their
// sum. The stretch is capped so that the reach stays within WARP_MAX_REACH
// source pixels: stronger reductions filter with that footprint.
//
// Borders, applied to every tap (the 2-D weight is the product of the axis
// weights, so each tap keeps its weight wherever it lands): each mode is its
// row in borders.py, whose constants and switches over the modes are compiled
// in front of this source; a tap beyond the edge reads where its row's fold
// says (fold_<fold> below). A tap outside the image reads border_value under a
// mode of the constant fold (BORDER_CONSTANT). Under a mode that keeps dst
// (BORDER_TRANSPARENT) the pixel is written only where the position lies
// within the pixel centres, 0 <= x <= W - 1 and 0 <= y <= H - 1, taps beyond
// the edge there reading by the mode's fold; elsewhere dst keeps its value.
// A pixel outside the image altogether (w <= 0, a position that is not finite)
// takes border_value, or is left as it is with TRANSPARENT.
//
// Layout: element (n, y, x, c) lies at n * sn + y * sy + x * sx + c * sc
// (strides in elements) in both arrays, so strided views need no copy; the
// channels of a source pixel lie side by side (sc = 1), so that a tap's
// loads share one address. Rows and images are walked grid-stride, so any
// height and batch fit the grid.

namespace zemvara {

// WARP_MAX_REACH, the footprint limit (source pixels on each side of the
// position), is compiled in front of this source from _sources.WARP_MAX_REACH.

// Taps handled per step along x: weights and indices of one step stay in
// registers (the loop over them is unrolled), and each step walks the y taps
// once, so a step covers the taps of one row at stretch 1: one for nearest,
// two for bilinear, four for the cubics and area, eight for Lanczos (A <= 4).
template <class F> struct WarpChunk { enum { value = 4 }; };
template <> struct WarpChunk<Nearest> { enum { value = 1 }; };
template <> struct WarpChunk<Bilinear> { enum { value = 2 }; };
template <> struct WarpChunk<Lanczos> { enum { value = 8 }; };

// The folds of the border table (borders.FOLDS): fold_<fold> is the source
// index a tap i outside 0 .. n - 1 reads, far_<fold> a position p far beyond
// the axis moved to one that reads the same pixels. The switches over the
// modes that call them (border_index_outside, border_far) are generated from
// the table and compiled in front of this source, with border_fills and
// border_keeps_dst. The periodic folds move a position by whole periods,
// computed exactly (fmodf), so that a position of any size lands in one
// period with its fraction: tap indices stay small integers.
__device__ __forceinline__ int fold_clamp(int i, int n) { return i < 0 ? 0 : n - 1; }

__device__ __forceinline__ int fold_mirror(int i, int n) {
    const int period = 2 * n;
    int j = i % period;
    if (j < 0) j += period;
    return j < n ? j : period - 1 - j;
}

__device__ __forceinline__ int fold_wrap(int i, int n) {
    int j = i % n;
    return j < 0 ? j + n : j;
}

__device__ __forceinline__ int fold_mirror_101(int i, int n) {
    if (n == 1) return 0;
    const int period = 2 * n - 2;
    int j = i % period;
    if (j < 0) j += period;
    return j < n ? j : period - j;
}

// p moved into 0 .. period by whole periods.
__device__ __forceinline__ float within_period(float p, float period) {
    const float q = fmodf(p, period);
    return q < 0.0f ? q + period : q;
}

// Just beyond the edge, every tap past it: they all read the edge pixel.
__device__ __forceinline__ float far_clamp(float p, int n, float reach) {
    return p < 0.0f ? -(reach + 1.0f) : (float)n + reach;
}

__device__ __forceinline__ float far_mirror(float p, int n, float) { return within_period(p, 2.0f * n); }

__device__ __forceinline__ float far_wrap(float p, int n, float) { return within_period(p, (float)n); }

__device__ __forceinline__ float far_mirror_101(float p, int n, float) {
    return within_period(p, n == 1 ? 1.0f : 2.0f * n - 2.0f);
}

// The source index a tap i reads under a border mode; -1 for a constant border.
__device__ __forceinline__ int border_index(int i, int n, int border) {
    return (unsigned)i < (unsigned)n ? i : border_index_outside(i, n, border);
}

// The stretch of one source axis, capped so that the reach stays within
// WARP_MAX_REACH, its reciprocal and the reach of the taps at that stretch.
// An affine map's are the same for every pixel: they are computed once.
// For Lanczos, turn_s and turn_c: the sine and cosine of pi / A, the turn
// of its window's sine from tap to tap (warp_lanczos_weights).
struct WarpScale {
    float s, inv_s, reach, turn_s, turn_c;
};

// sin(pi x) and cos(pi x) for |x| < 2^23 from one exact reduction to
// [-1/2, 1/2] (as Lanczos::sin_pi), each within 2e-7 of the exact value.
__device__ __forceinline__ void sincos_pi(float x, float &sn, float &cs) {
    const float n = rintf(x);
    const float z = 3.14159265358979f * (x - n), z2 = z * z;
    const float v = sin_taylor(z, z2), u = cos_taylor(z2);
    const bool odd = (int)n & 1;
    sn = odd ? -v : v;
    cs = odd ? -u : u;
}

template <class F>
__device__ __forceinline__ WarpScale warp_scale(float spacing, const typename F::Params &k) {
    WarpScale c;
    c.s = fminf(stretch_of<F>(spacing), WARP_MAX_REACH / F::reach(1.0f, k));
    c.inv_s = __fdividef(1.0f, c.s);
    c.reach = F::reach(c.s, k);
    c.turn_s = c.turn_c = 0.0f;
    if constexpr (same_type<F, Lanczos>::value) {
        sincos_pi(k.inv_a, c.turn_s, c.turn_c);
#ifdef __CUDA_ARCH__
        // Kept in registers: computed once per launch, not again for every pixel.
        asm volatile("" : "+f"(c.turn_s), "+f"(c.turn_c));
#endif
    }
    return c;
}

// The taps of one source axis: first .. first + count - 1, each weighing
// F::weight(i - p) * norm.
struct WarpAxis {
    float p, s, inv_s, norm;
    int first, count;
};

// False when every tap lies outside the image under a constant border (the
// pixel is border_value). Positions far outside are first moved by the
// border's far_<fold> (whole periods, or to just past the edge for clamp),
// which changes no tap's source pixel, so that tap indices stay small
// integers.
template <class F>
__device__ __forceinline__ bool warp_axis(float p, const WarpScale &c, int n, int border, WarpAxis &ax) {
    const float reach = c.reach;
    const float far = 2.0f * (float)n + reach + 2.0f;
    if (!(fabsf(p) < 3.0e38f)) return false;  // not finite
    if (p < -far || p > far) {
        if (border_fills(border)) return false;
        p = border_far(p, n, reach, border);
    }
    ax.p = p;
    ax.s = c.s;
    ax.inv_s = c.inv_s;
    ax.norm = 1.0f;  // set by warp_norm where the weights do not sum to one
    if (WarpChunk<F>::value == 1) {  // nearest: the one tap floor(p + 1/2)
        ax.first = (int)floorf(p + 0.5f);
        ax.count = 1;
    } else {
        float lo, hi;
        tap_range(p, reach, lo, hi);
        ax.first = (int)lo;
        ax.count = (int)hi - ax.first + 1;
    }
    if (border_fills(border) && (ax.first >= n || ax.first + ax.count <= 0)) return false;
    return true;
}

// Whether a filter's weights sum to one by construction: nearest (one tap) and
// bilinear (1 - f and f). Others are normalised by the sum of their weights.
template <class F> struct UnitSum { enum { value = 0 }; };
template <> struct UnitSum<Nearest> { enum { value = 1 }; };
template <> struct UnitSum<Bilinear> { enum { value = 1 }; };

// Tap i's distance from the position is taken as (first - p) + (i - first), as
// the interior path's window_weights takes it (t0 + j): (float)i - p rounds
// otherwise, and a source the interior path reads must give the bits of one
// it does not (a strided view and its contiguous copy).
template <class F>
__device__ __forceinline__ float raw_tap_weight(int i, const WarpAxis &ax, const typename F::Params &k) {
    if (WarpChunk<F>::value == 1) return 1.0f;
    return F::weight(((float)ax.first - ax.p) + (float)(i - ax.first), ax.s, ax.inv_s, k);
}

template <class F>
__device__ __forceinline__ float warp_tap_weight(int i, const WarpAxis &ax, const typename F::Params &k) {
    return raw_tap_weight<F>(i, ax, k) * ax.norm;
}

// Sets ax.norm to 1 / (the sum of the axis's weights); false when that sum is
// not positive (the pixel takes the fill).
template <class F>
__device__ __forceinline__ bool warp_norm(WarpAxis &ax, const typename F::Params &k) {
    if (UnitSum<F>::value) return true;
    float sum = 0.0f;
    for (int i = 0; i < ax.count; ++i) sum += raw_tap_weight<F>(ax.first + i, ax, k);
    if (!(sum > 0.0f)) return false;
    ax.norm = fast_rcp(sum);
    return true;
}

// The filters whose weights at stretch 1 come from fixed pieces, the window
// weighed at once: the cubics of radius 2 (the window's four taps lie at
// distances 1 + f, f, 1 - f and 2 - f from the position, f its fraction:
// outer, inner, inner and outer piece, which agree where they meet), Lanczos
// (its sines step by a rotation from tap to tap) and bilinear (1 - f and f).
template <class F> struct UnitPieces { enum { value = 0 }; };
template <> struct UnitPieces<Keys> { enum { value = 1 }; };
template <> struct UnitPieces<MitchellNetravali> { enum { value = 1 }; };
template <> struct UnitPieces<Lanczos> { enum { value = 2 }; };
template <> struct UnitPieces<Bilinear> { enum { value = 3 }; };

// The weights of the four taps of a radius-2 cubic at stretch 1 from the
// first, t0 = first - p in (-2, -1] away: they sum to one, as the cubics'
// weights do at every position, so they need no normalising.
__device__ __forceinline__ void warp_cubic_weights(float t0, const Cubic &k, float *w) {
    const float x0 = -t0, x1 = -(t0 + 1.0f), x2 = t0 + 2.0f, x3 = t0 + 3.0f;
    w[0] = ((k.q3 * x0 + k.q2) * x0 + k.q1) * x0 + k.q0;
    w[1] = (k.p3 * x1 + k.p2) * x1 * x1 + k.p0;
    w[2] = (k.p3 * x2 + k.p2) * x2 * x2 + k.p0;
    w[3] = ((k.q3 * x3 + k.q2) * x3 + k.q1) * x3 + k.q0;
}

// The raw Lanczos weights of T taps at stretch 1 from t0 = first - p on:
// A sin(pi t) sin(pi t / A) / (pi t)^2, where sin(pi t) only changes sign
// from tap to tap and sin(pi t / A) turns by the angle pi / A (c.turn_*: a
// rotation, within a few units of 1e-7 over eight taps), the rotation
// carrying the common factor A sin(pi t0) / pi^2 along (its rounding is the
// same for every tap, and the normalising takes it out). Taps at or beyond
// the reach weigh zero; one within 1e-6 of the position weighs one. With
// EXACT the window is 2A taps wide: only its last tap can lie at the reach
// and only its middle two near the position, and tap j + A's numerator is
// tap j's times (-1)^(A + 1) (sin(pi (t + A) / A) = -sin(pi t / A)), so
// only the first A are turned.
template <int T, bool EXACT>
__device__ __forceinline__ void warp_lanczos_weights(float t0, const Lanczos::Params &k, const WarpScale &c, float *w) {
    enum { TURNS = EXACT ? T / 2 : T };
    float sn, cs, s0, c0;
    sincos_pi(t0 * k.inv_a, sn, cs);
    if (EXACT && T == 6)  // A = 3: sin(pi t0) = sin(3 theta) from theta's sine and cosine
        s0 = sn * fmaf(3.0f * cs, cs, -sn * sn);
    else
        sincos_pi(t0, s0, c0);
    const float scale = k.a * s0 * (1.0f / 9.8696044010893586f);
    sn *= scale;
    cs *= scale;
    float num[T];
#pragma unroll
    for (int j = 0; j < TURNS; ++j) {
        num[j] = j & 1 ? -sn : sn;
        if (j + 1 < TURNS) {
            const float next = fmaf(sn, c.turn_c, cs * c.turn_s);
            cs = fmaf(cs, c.turn_c, -sn * c.turn_s);
            sn = next;
        }
    }
#pragma unroll
    for (int j = TURNS; j < T; ++j) num[j] = TURNS & 1 ? num[j - TURNS] : -num[j - TURNS];
#pragma unroll
    for (int j = 0; j < T; ++j) {
        const float t = t0 + (float)j;
        float v = num[j] * fast_rcp(t * t);
        if (!EXACT || j == T / 2 - 1 || j == T / 2) v = fabsf(t) < 1e-6f ? 1.0f : v;
        if (!EXACT || j == T - 1) v = fabsf(t) < k.a ? v : 0.0f;
        w[j] = v;
    }
}

// Whether the warps normalise a filter's weights by multiplying the filtered
// value by the two axes' norms once (normalised_sum) instead of every weight:
// Lanczos, whose wide windows take many weights. The cubics sum to one at
// stretch 1, where the multiply would be wasted.
template <class F> struct NormAtEnd { enum { value = same_type<F, Lanczos>::value }; };

// The weights of the T taps from `first` on along an axis at position p, each
// computed once (taps past the axis's last lie at or beyond the reach and
// weigh zero) and normalised by their sum, or, for NormAtEnd filters, left
// as they are with norm set to 1 / their sum (otherwise norm is 1). False
// when the sum is not positive. Where the weights are the filter's own
// (not fixed pieces), taps past `last` weigh zero: tap_range rounds p +
// reach in float32 and may leave out a tap whose exact weight is a few ulps,
// and every path must weigh the taps it names, no more.
template <class F, int T>
__device__ __forceinline__ bool window_weights(float first, float p, const WarpScale &c, const typename F::Params &k,
                                               float *w, float &norm, float last = 3.0e38f) {
    const float t0 = first - p;
    norm = 1.0f;
    if constexpr (UnitPieces<F>::value == 3) {  // the taps floor(p) and floor(p) + 1: 1 - f and f
        w[1] = -t0;
        w[0] = 1.0f - w[1];
#pragma unroll
        for (int j = 2; j < T; ++j) w[j] = 0.0f;
        return true;
    }
    if constexpr (UnitPieces<F>::value == 1 && T == 4) {
        if (c.s == 1.0f) {
            warp_cubic_weights(t0, k, w);
            return true;
        }
    }
    bool done = false;
    if constexpr (UnitPieces<F>::value == 2) {
        if (c.s == 1.0f) {
            // The window 2A wide, or wider with 2A = 4 or 6 (the border path's
            // eight taps): the same 2A weights as the interior path's, the
            // taps past them zero.
            enum { NARROW = T > 6 ? 6 : 4 };  // the 2A of a narrower window (none for T = 4)
            if (2.0f * c.reach == (float)T) {
                warp_lanczos_weights<T, true>(t0, k, c, w);
            } else if (T > 4 && 2.0f * c.reach == (float)NARROW) {
                warp_lanczos_weights<NARROW, true>(t0, k, c, w);
#pragma unroll
                for (int j = NARROW; j < T; ++j) w[j] = 0.0f;
            } else if (T > 6 && 2.0f * c.reach == 4.0f) {
                warp_lanczos_weights<(T > 6 ? 4 : NARROW), true>(t0, k, c, w);
#pragma unroll
                for (int j = 4; j < T; ++j) w[j] = 0.0f;
            } else
                warp_lanczos_weights<T, false>(t0, k, c, w);
            done = true;
        }
    }
    if (!done) {
#pragma unroll
        for (int j = 0; j < T; ++j)
            w[j] = first + (float)j > last         ? 0.0f
                   : WarpChunk<F>::value == 1 ? 1.0f
                                              : F::weight(t0 + (float)j, c.s, c.inv_s, k);
    }
    if (UnitSum<F>::value) return true;
    float sum = 0.0f;
#pragma unroll
    for (int j = 0; j < T; ++j) sum += w[j];
    if (!(sum > 0.0f)) return false;
    if (NormAtEnd<F>::value) {
        norm = fast_rcp(sum);
    } else {
        const float n = fast_rcp(sum);
#pragma unroll
        for (int j = 0; j < T; ++j) w[j] *= n;
    }
    return true;
}

// acc, summed with the weights window_weights gives, times the two axes'
// norms for NormAtEnd filters (the same product on every path, so that they
// agree to the bit).
template <class F, int NC>
__device__ __forceinline__ void normalised_sum(float nx, float ny, float *acc) {
    if (!NormAtEnd<F>::value) return;
    const float norm = nx * ny;
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] *= norm;
}

// The width of the interior path's windows: the filter's step, but 2A for
// Lanczos at stretch 1 (4, 6 or 8, the narrowest that holds its taps).
template <class F>
__device__ __forceinline__ int window_width(const WarpScale &cx, const WarpScale &cy) {
    if constexpr (UnitPieces<F>::value == 2) {
        const float reach = fmaxf(cx.reach, cy.reach);
        return reach <= 2.0f ? 4 : reach <= 3.0f ? 6 : 8;
    }
    return WarpChunk<F>::value;
}

// Tiles: affine warps of 3-channel float32 with windows of four taps or more
// stage the source pixels a block's 16 x 32 destination pixels (two rows a
// thread, 16 apart) read in shared memory, loaded in full rows, where they
// fit WARP_TILE_ROWS rows of WARP_TILE_PITCH floats; the taps then read
// shared memory. Two rows a thread halve what placing and loading a tile,
// and its barriers, cost each pixel. A tile row takes WARP_TILE_PITCH
// floats, 16 banks on from the row before, so that the two destination rows
// of a warp, which read neighbouring source rows, read different banks.
#define WARP_TILE_ROWS 48
#define WARP_TILE_PITCH 112
template <class F, int E, int NC> struct WarpTiled {
    enum { value = E == F32 && NC == 3 && WarpChunk<F>::value >= 4 };
};

// The source of one warp as the sampling reads it: rows sy elements apart,
// pixels sx apart, and whether whole pixels can be read in one vector load.
template <int E>
struct WarpSource {
    const typename Elem<E>::T *data;
    int h, w, sx, sy32;
    long long sy;
    // interior: pixels side by side and sy within 32 bits (a row's offset is
    // one wide product), as the interior path takes them; vector: four
    // channels in every pixel, each pixel aligned to its size.
    bool interior, vector;
    // A block's tile of the source in shared memory (see warp_tiled),
    // or none: tile_x, tile_y its first pixel, tile_w, tile_h its size.
    const float *tile;
    int tile_x, tile_y, tile_w, tile_h;
};

template <int E, int NC>
__device__ __forceinline__ WarpSource<E> warp_source(const typename Elem<E>::T *src, long long h, long long w,
                                                     long long sy, long long sx) {
    WarpSource<E> s;
    s.data = src;
    s.h = (int)h;
    s.w = (int)w;
    s.sx = (int)sx;
    s.sy = sy;
    s.sy32 = (int)sy;
    s.interior = sx == NC && sy == (long long)(int)sy;
    s.tile = nullptr;
    s.tile_x = s.tile_y = s.tile_w = s.tile_h = 0;
    s.vector = NC == 4 && sx == 4 && sy % 4 == 0 &&
               reinterpret_cast<unsigned long long>(src) % (4 * sizeof(typename Elem<E>::T)) == 0;
    return s;
}

// The common case, without the border work: every tap inside the image, each
// axis's taps within a window of T pixels from the first, pixels side by
// side, and the window's T x T pixels inside the image. Their taps sit at
// fixed offsets from one pointer; window pixels past an axis's last tap lie
// at or beyond the reach, where every filter weighs zero. 3-channel uint8
// windows are read in aligned words (window_taps_u8x3), which asks for a
// window that starts after the row's first pixel and ends far enough before
// its last that no word reaches beyond the row. Returns 1 with acc set, 0
// where the pixel takes the fill (weights that do not sum to a positive
// value), -1 where the pixel is not of this case.
template <class F, int E, int NC, int T>
__device__ __forceinline__ int interior_sample(const WarpSource<E> &src, float px, float py, const WarpScale &cx,
                                               const WarpScale &cy, const typename F::Params &k, float *acc) {
    enum { BYTES = E == U8 && NC == 3 && T > 1 };
    const float lo_x = BYTES ? 1.0f : 0.0f, span_x = BYTES ? (float)BytePixels<T>::SPAN : (float)T;
    float x0, x1, y0, y1;
    float wx[T], wy[T], nx, ny;
    if constexpr (same_type<F, Bilinear>::value) {
        // The taps floor(p) and floor(p) + 1, weighing 1 - f and f.
        x0 = floorf(px);
        y0 = floorf(py);
        if (!(x0 >= lo_x && x0 + span_x <= (float)src.w && y0 >= 0.0f && y0 + 2.0f <= (float)src.h))
            return -1;
        y1 = y0 + 1.0f;
        window_weights<F, T>(x0, px, cx, k, wx, nx);
        window_weights<F, T>(y0, py, cy, k, wy, ny);
    } else {
        if (WarpChunk<F>::value == 1) {  // nearest: the one tap floor(p + 1/2)
            x0 = x1 = floorf(px + 0.5f);
            y0 = y1 = floorf(py + 0.5f);
        } else {
            tap_range(px, cx.reach, x0, x1);
            tap_range(py, cy.reach, y0, y1);
        }
        if constexpr (WarpTiled<F, E, NC>::value) {
            if (src.tile) {
                // The window inside the block's tile (which lies inside the image).
                const float tx = (float)src.tile_x, ty = (float)src.tile_y;
                if (!(x0 >= tx && x1 - x0 < (float)T && x0 + (float)T <= tx + (float)src.tile_w && y0 >= ty &&
                      y1 - y0 < (float)T && y0 + (float)T <= ty + (float)src.tile_h))
                    return -1;
                if (!window_weights<F, T>(x0, px, cx, k, wx, nx, x1) || !window_weights<F, T>(y0, py, cy, k, wy, ny, y1))
                    return 0;
#pragma unroll
                for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
                window_taps_shared<NC, T>(src.tile + ((int)y0 - src.tile_y) * WARP_TILE_PITCH + ((int)x0 - src.tile_x) * NC,
                                          WARP_TILE_PITCH, wx, wy, acc);
                normalised_sum<F, NC>(nx, ny, acc);
                return 1;
            }
        }
        if (!(x0 >= lo_x && x1 - x0 < (float)T && x0 + span_x <= (float)src.w && y0 >= 0.0f &&
              y1 - y0 < (float)T && y1 < (float)src.h))
            return -1;
        if (!window_weights<F, T>(x0, px, cx, k, wx, nx, x1) || !window_weights<F, T>(y0, py, cy, k, wy, ny, y1))
            return 0;
    }
    const typename Elem<E>::T *window = src.data + (long long)(int)y0 * src.sy32 + (int)x0 * NC;
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
    if (y0 + (float)T <= (float)src.h) {
        if (BYTES && same_type<F, Bilinear>::value)
            window_lerp_u8x3(reinterpret_cast<const unsigned char *>(window), src.sy, wx[1], wy[1], acc);
        else if (BYTES)
            window_taps_u8x3<T>(reinterpret_cast<const unsigned char *>(window), src.sy, wx, wy, acc);
        else if (NC == 4 && src.vector)
            window_taps_full<E, NC, NC, T, true>(window, src.sy, wx, wy, acc);
        else
            window_taps_full<E, NC, NC, T, false>(window, src.sy, wx, wy, acc);
    } else {
        if (BYTES) return -1;
        window_taps<E, NC, NC, T, false>(window, src.sy, (int)y1 - (int)y0 + 1, wx, wy, acc);
    }
    normalised_sum<F, NC>(nx, ny, acc);
    return 1;
}

// The filtered value of the NC channels at (px, py), each axis at its scale;
// false when the pixel takes the fill whole.
template <class F, int E, int NC>
__device__ __forceinline__ bool warp_sample(const WarpSource<E> &source, float px, float py, const WarpScale &cx,
                                            const WarpScale &cy, int border, const float *fill,
                                            const typename F::Params &k, float *acc) {
    typedef typename Elem<E>::T T;
    const int CHUNK = WarpChunk<F>::value;
    if (source.interior) {
        const int width = window_width<F>(cx, cy);
        const int got = width == 4   ? interior_sample<F, E, NC, (CHUNK < 4 ? CHUNK : 4)>(source, px, py, cx, cy, k, acc)
                        : width == 6 ? interior_sample<F, E, NC, (CHUNK < 6 ? CHUNK : 6)>(source, px, py, cx, cy, k, acc)
                                     : interior_sample<F, E, NC, CHUNK>(source, px, py, cx, cy, k, acc);
        if (got >= 0) return got != 0;
    }
    const T *src = source.data;
    const int h = source.h, w = source.w, sx = source.sx;
    const long long sy = source.sy;
    WarpAxis ax, ay;
#pragma unroll
    for (int c = 0; c < NC; ++c) acc[c] = 0.0f;
    if (!warp_axis<F>(px, cx, w, border, ax) || !warp_axis<F>(py, cy, h, border, ay))
        return false;
    // At stretch 1 the filters with fixed pieces weigh their window as the
    // interior path does (window_weights), so that both give the same result.
    const bool unit_x = UnitPieces<F>::value && ax.s == 1.0f && ax.count <= CHUNK;
    const bool unit_y = UnitPieces<F>::value && ay.s == 1.0f && ay.count <= CHUNK;
    float ux[CHUNK], uy[CHUNK], nx = 1.0f, ny = 1.0f;  // nx, ny: the unit axes' norms, taken at the end
    if (unit_x ? !window_weights<F, CHUNK>((float)ax.first, ax.p, cx, k, ux, nx) : !warp_norm<F>(ax, k)) return false;
    if (unit_y ? !window_weights<F, CHUNK>((float)ay.first, ay.p, cy, k, uy, ny) : !warp_norm<F>(ay, k)) return false;
    for (int x0 = 0; x0 < ax.count; x0 += CHUNK) {
        // The step's taps: weights, column offsets (32-bit: the caller keeps
        // a row's extent below 2^31 elements) and which of them read a
        // pixel; the weight of those beyond a constant border, for the fill.
        float wx[CHUNK];
        int xo[CHUNK];
        unsigned int reads = 0u;
        float wsum = 0.0f, wfill = 0.0f;
#pragma unroll
        for (int j = 0; j < CHUNK; ++j) {
            const int i = ax.first + x0 + j;
            const bool live = x0 + j < ax.count;
            wx[j] = !live ? 0.0f : unit_x ? ux[j] : warp_tap_weight<F>(i, ax, k);
            const int column = live ? border_index(i, w, border) : -1;
            xo[j] = column * sx;
            if (column >= 0) reads |= 1u << j;
            else wfill += wx[j];
            wsum += wx[j];
        }
        float ry[CHUNK];  // the unit weights of the rows ahead, shifted down row by row
#pragma unroll
        for (int t = 0; t < CHUNK; ++t) ry[t] = uy[t];
        for (int ky = 0; ky < ay.count; ++ky) {
            const int j = ay.first + ky;
            const float wy = unit_y ? ry[0] : warp_tap_weight<F>(j, ay, k);
#pragma unroll
            for (int t = 0; t + 1 < CHUNK; ++t) ry[t] = ry[t + 1];
            const int iy = border_index(j, h, border);
            float r[NC];
#pragma unroll
            for (int c = 0; c < NC; ++c) r[c] = (iy < 0 ? wsum : wfill) * fill[c];
            if (iy >= 0) {
                const T *row = src + (long long)iy * sy;
#pragma unroll
                for (int t = 0; t < CHUNK; ++t) {
                    if (!(reads >> t & 1u)) continue;
                    const T *q = row + xo[t];
#pragma unroll
                    for (int c = 0; c < NC; ++c) r[c] += wx[t] * Elem<E>::load(q + c);
                }
            }
#pragma unroll
            for (int c = 0; c < NC; ++c) acc[c] += wy * r[c];
        }
    }
    normalised_sum<F, NC>(nx, ny, acc);
    return true;
}

// The inverse map of one image: nine float32 values, row-major (an affine map
// uses the first six).
struct WarpMap {
    float m[9];
};

template <bool PERSPECTIVE>
__device__ __forceinline__ WarpMap load_warp_map(const float *m) {
    WarpMap map;
#pragma unroll
    for (int i = 0; i < (PERSPECTIVE ? 9 : 6); ++i) map.m[i] = __ldg(m + i);
    return map;
}

// The scales of an affine map's two source axes: the length of each row of
// its 2 x 2 block (spacing_of, as a perspective map's Jacobian rows take it).
template <class F>
__device__ __forceinline__ void affine_scales(const WarpMap &map, const typename F::Params &k, WarpScale &cx,
                                              WarpScale &cy) {
    const float *m = map.m;
    cx = warp_scale<F>(spacing_of(m[0], m[1]), k);
    cy = warp_scale<F>(spacing_of(m[3], m[4]), k);
}

// The affine warps of 3-channel uint8 images whose interior pixels take a
// loop of their own (warp_rows_u8x3): bilinear, and the radius-2 cubics at
// stretch 1 on both axes.
template <class F, int E, int NC> struct RowsU8x3 {
    enum { value = E == U8 && NC == 3 && (same_type<F, Bilinear>::value || UnitPieces<F>::value == 1) };
};

// Destination pixel (fx, fy) of the source through the inverse map, written to
// out (channel c at c * dst_sc); under BORDER_TRANSPARENT a pixel whose
// position lies outside the source is left as it is. An affine map's axis
// scales come from the caller (affine_scales); a perspective map's are those
// of its Jacobian at the pixel. Where a thread's column has a loop of its own
// (RowsU8x3), the position adds m1 fy to m0 fx + m2 (and m4 fy to m3 fx +
// m5): the column's part, the same for every row, is taken once there (so
// too for every bilinear warp, where it also takes fewer registers).
template <class F, int E, int NC, bool PERSPECTIVE>
__device__ __forceinline__ void warp_pixel(const WarpSource<E> &source, const WarpMap &map, const WarpScale &ax,
                                           const WarpScale &ay, float fx, float fy, int bmode,
                                           const float *fill, const typename F::Params &k,
                                           typename Elem<E>::T *out, long long dst_sc) {
    const float *m = map.m;
    const bool column = RowsU8x3<F, E, NC>::value || same_type<F, Bilinear>::value;
    float px = column ? fmaf(m[1], fy, fmaf(m[0], fx, m[2])) : fmaf(m[0], fx, fmaf(m[1], fy, m[2]));
    float py = column ? fmaf(m[4], fy, fmaf(m[3], fx, m[5])) : fmaf(m[3], fx, fmaf(m[4], fy, m[5]));
    WarpScale cx = ax, cy = ay;
    bool inside = true;
    if (PERSPECTIVE) {
        const float wd = fmaf(m[6], fx, fmaf(m[7], fy, m[8]));
        inside = wd > 0.0f;
        const float inv_w = 1.0f / wd;
        px *= inv_w;
        py *= inv_w;
        // Rows of the Jacobian of (u, v) = (X / w, Y / w).
        cx = warp_scale<F>(spacing_of((m[0] - px * m[6]) * inv_w, (m[1] - px * m[7]) * inv_w), k);
        cy = warp_scale<F>(spacing_of((m[3] - py * m[6]) * inv_w, (m[4] - py * m[7]) * inv_w), k);
    }
    if (border_keeps_dst(bmode) && !(inside && px >= 0.0f && px <= (float)(source.w - 1) && py >= 0.0f &&
                                         py <= (float)(source.h - 1)))
        return;
    float acc[NC];
    if (!inside || !warp_sample<F, E, NC>(source, px, py, cx, cy, bmode, fill, k, acc)) {
        if (border_keeps_dst(bmode)) return;
#pragma unroll
        for (int c = 0; c < NC; ++c) acc[c] = fill[c];
    }
    if (dst_sc == 1) {
#pragma unroll
        for (int c = 0; c < NC; ++c) out[c] = Elem<E>::store(acc[c]);
    } else {
#pragma unroll
        for (int c = 0; c < NC; ++c) out[c * dst_sc] = Elem<E>::store(acc[c]);
    }
}

// Values a loop keeps in registers, computed once before it: the compiler
// would otherwise compute some again on every trip, from the arguments.
__device__ __forceinline__ void keep(float &v) {
#ifdef __CUDA_ARCH__
    asm volatile("" : "+f"(v));
#endif
}
__device__ __forceinline__ void keep(int &v) {
#ifdef __CUDA_ARCH__
    asm volatile("" : "+r"(v));
#endif
}
__device__ __forceinline__ void keep(long long &v) {
#ifdef __CUDA_ARCH__
    asm volatile("" : "+l"(v));
#endif
}

// p + a b bytes, the product of two 32-bit ints taken whole: one wide
// multiply-add, where the compiler would multiply in 64 bits.
template <class P>
__device__ __forceinline__ P *step_wide(P *p, int a, int b) {
#ifdef __CUDA_ARCH__
    unsigned long long r;
    asm("mad.wide.s32 %0, %1, %2, %3;" : "=l"(r) : "r"(a), "r"(b), "l"(p));
    return reinterpret_cast<P *>(r);
#else
    return reinterpret_cast<P *>(reinterpret_cast<const char *>(p) + (long long)a * b);
#endif
}

// A thread's destination pixels down column fx, rows fy, fy + step, ... below
// rows, out stepping out_step bytes a row (channels side by side), of an
// affine warp of 3-channel uint8 pixels side by side (source.interior): each
// pixel whose window lies inside the source, where the aligned words
// interior_sample reads stay within their rows, is sampled here with no
// border work, as interior_sample samples it (the same operations, so the
// same values); every other pixel goes through warp_pixel. Such a window
// lies within the pixel centres, so BORDER_TRANSPARENT writes the pixel. The
// bilinear result, exactly within 0 .. 255 (every blend lies between its
// ends), is rounded by adding 2^23 - 2^15 to 2^15 times the offset value:
// the low byte of the sum is the value rounded to nearest, ties to even.
template <class F, bool ALIGNED>
__device__ __forceinline__ void warp_rows_u8x3(const WarpSource<U8> &source, const WarpMap &map, const WarpScale &cx,
                                               const WarpScale &cy, float fx, float fy, float step, float rows,
                                               int bmode, const float *fill, const typename F::Params &k,
                                               unsigned char *out, int out_step) {
    enum { CUBIC = !same_type<F, Bilinear>::value, T = CUBIC ? 4 : 2 };
    const float *m = map.m;
    const unsigned char *data = source.data;
    int sy = source.sy32;
    // The bounds of floor(p): the window from floor(p) - CUBIC on, its words
    // (from the pixel before) within the rows (BytePixels), its rows inside.
    const float lo_x = 1.0f + CUBIC, lo_y = (float)CUBIC;
    float hi_x = (float)(source.w - BytePixels<T>::SPAN + CUBIC), hi_y = (float)(source.h - T + CUBIC);
    float col_x = fmaf(m[0], fx, m[2]), col_y = fmaf(m[3], fx, m[5]);
    keep(sy);
    keep(hi_x);
    keep(hi_y);
    keep(col_x);
    keep(col_y);
    keep(step);
    keep(rows);
    keep(out_step);
    // Under BORDER_CONSTANT, the bounds of floor(p) beyond which every tap of
    // an axis lies outside the image (the taps floor(p) - CUBIC to floor(p) +
    // 1 + CUBIC): the pixel is border_value. NaN under other modes, where no
    // pixel passes them.
    const bool constant = border_fills(bmode);
    const float nan = __int_as_float(0x7fffffff);
    float out_lo = constant ? -2.0f - CUBIC : nan, out_x = constant ? (float)(source.w + CUBIC) : nan,
          out_y = constant ? (float)(source.h + CUBIC) : nan;
    keep(out_lo);
    keep(out_x);
    keep(out_y);
    const unsigned char fill0 = Elem<U8>::store(fill[0]), fill1 = Elem<U8>::store(fill[1]),
                        fill2 = Elem<U8>::store(fill[2]);
#pragma unroll 1
    for (; fy < rows; fy += step, out += out_step) {
        const float px = fmaf(m[1], fy, col_x), py = fmaf(m[4], fy, col_y);
        const float gx = floorf(px), gy = floorf(py);
        if (!(gx >= lo_x && gx <= hi_x && gy >= lo_y && gy <= hi_y)) {
            if (gx <= out_lo || gx >= out_x || gy <= out_lo || gy >= out_y) {
                out[0] = fill0;
                out[1] = fill1;
                out[2] = fill2;
            } else {
                warp_pixel<F, U8, 3, false>(source, map, cx, cy, fx, fy, bmode, fill, k, out, 1);
            }
            continue;
        }
        const unsigned char *window = step_wide(step_wide(data, (int)gx - CUBIC, 3), (int)gy - CUBIC, sy);
        if constexpr (CUBIC) {
            float wx[4], wy[4], acc[3];
            warp_cubic_weights(gx - 1.0f - px, k, wx);
            warp_cubic_weights(gy - 1.0f - py, k, wy);
            window_taps_u8x3<4, ALIGNED>(window, sy, wx, wy, acc);
#pragma unroll
            for (int c = 0; c < 3; ++c) out[c] = Elem<U8>::store(acc[c]);
        } else {
            float a[6], b[6];
            const unsigned int *q = word_at(window);
            pixel_pair_u8x3(q, funnel_at(window), a);
            if (ALIGNED)
                pixel_pair_u8x3(q + (sy >> 2), funnel_at(window), b);
            else
                pixel_pair_u8x3(word_at(window + sy), funnel_at(window + sy), b);
            const float wx = px - gx, wy = py - gy;
#pragma unroll
            for (int c = 0; c < 3; ++c) {
                const float top = fmaf(wx, a[c + 3] - a[c], a[c]), bottom = fmaf(wx, b[c + 3] - b[c], b[c]);
                out[c] = (unsigned char)__float_as_uint(fmaf(fmaf(wy, bottom - top, top), 32768.0f, 8355840.0f));
            }
        }
    }
}

// The tile of the source that a block's destination pixels read through an
// affine map from its first pixel (x0, y0) on: from the first tap of the
// least position to the window's end at the greatest. The positions come
// from the first pixel's and span, the least and the greatest move over the
// block along x, then y, less the reach (the greatest plus the window's
// width and a pixel to spare for rounding: each pixel's window is checked
// against the tile all the same). The tile's size is the same for every
// block (s.tile_w, s.tile_h, set by the caller from span: the pixels its
// float4 loads hold whole); its first column is rounded down to a multiple
// of four pixels, so that its rows start 16-byte aligned where the source's
// rows are, their float4 loads (up to two floats past its last pixel)
// inside the row. False where it does not
// lie inside the image (a position that is not finite included).
template <int E>
__device__ __forceinline__ bool tile_box(const WarpMap &map, const float *span, int x0, int y0, WarpSource<E> &s) {
    const float *m = map.m;
    const float fx = (float)x0, fy = (float)y0;
    const float lo_x = floorf(fmaf(m[0], fx, fmaf(m[1], fy, m[2])) + span[0]);
    const float lo_y = floorf(fmaf(m[3], fx, fmaf(m[4], fy, m[5])) + span[2]);
    if (!(lo_x >= 0.0f && lo_y >= 0.0f && lo_y + (float)s.tile_h <= (float)s.h &&
          lo_x + (float)(s.tile_w + 1) <= (float)s.w))  // the loads' last float4 within the pixel after
        return false;
    s.tile_x = (int)lo_x & ~3;
    s.tile_y = (int)lo_y;
    return true;
}

// An affine warp with tiles (WarpTiled): every thread of a block walks the
// same rows of blocks, none leaving early, since they share barriers. Each
// block's destination pixels, where their tile fits, read it from shared
// memory, its rows loaded whole by one warp each; elsewhere they sample the
// source as warp_pixel does.
template <class F, int E, int NC>
__device__ __forceinline__ void warp_tiled(const typename Elem<E>::T *src, typename Elem<E>::T *dst, const float *m,
                                           long long m_step, long long images, long long src_h, long long src_w,
                                           long long src_sn, long long src_sy, long long src_sx, long long dst_h,
                                           long long dst_w, long long dst_sn, long long dst_sy, long long dst_sx,
                                           long long dst_sc, int bmode, const float *fill,
                                           const typename F::Params &k) {
    __shared__ float4 tile4[WARP_TILE_ROWS * WARP_TILE_PITCH / 4];
    float *tile = reinterpret_cast<float *>(tile4);
    const int threads = blockDim.x * blockDim.y * blockDim.z;
    const int tid = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
    const bool tiles = threads == 256 && blockDim.z == 1;  // 8 warps: WARP_TILE_ROWS rows in 6 rounds
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int bx0 = blockIdx.x * blockDim.x;
    for (long long n = blockIdx.z; n < images; n += gridDim.z) {
        const WarpMap map = load_warp_map<false>(m + n * m_step);
        const WarpSource<E> source = warp_source<E, NC>(src + n * src_sn, src_h, src_w, src_sy, src_sx);
        WarpScale cx, cy;
        affine_scales<F>(map, k, cx, cy);
        const float width = (float)window_width<F>(cx, cy);
        // Tiles where pixels lie side by side and rows start 16-byte aligned.
        const bool tiled = tiles && source.interior && source.sy32 % 4 == 0 &&
                           reinterpret_cast<unsigned long long>(source.data) % 16 == 0;
        // The tile's reach from a block's first pixel (see tile_box).
        const float *mm = map.m, bw = (float)(blockDim.x - 1), bh = (float)(2 * blockDim.y - 1);
        const float span[4] = {fminf(mm[0] * bw, 0.0f) + fminf(mm[1] * bh, 0.0f) - cx.reach,
                               fmaxf(mm[0] * bw, 0.0f) + fmaxf(mm[1] * bh, 0.0f) - cx.reach + width + 1.0f,
                               fminf(mm[3] * bw, 0.0f) + fminf(mm[4] * bh, 0.0f) - cy.reach,
                               fmaxf(mm[3] * bw, 0.0f) + fmaxf(mm[4] * bh, 0.0f) - cy.reach + width + 1.0f};
        const int row4 = source.sy32 >> 2;  // float4s a source row takes
        // The tile's size: floor(p + span[1]) - floor(p + span[0]) <=
        // floor(span[1] - span[0]) + 1 pixels, 3 more for the rounding down,
        // and whole float4s a row.
        WarpSource<E> sized = source;
        sized.tile_w = (int)fminf(floorf(span[1] - span[0]), (float)WARP_TILE_PITCH) + 5;
        sized.tile_h = (int)fminf(floorf(span[3] - span[2]), (float)WARP_TILE_ROWS) + 2;
        const int quads = (NC * sized.tile_w + 3) >> 2;
        const bool fits = tiled && 4 * quads <= WARP_TILE_PITCH && sized.tile_h <= WARP_TILE_ROWS &&
                          4 * quads <= NC * sized.w;
        sized.tile_w = (4 * quads) / NC;  // the pixels the loads cover whole
        const int band = 2 * blockDim.y;  // the destination rows of a block's tile
        typename Elem<E>::T *column = dst + n * dst_sn + (long long)x * dst_sx;  // the thread's column of the image
        for (int yb = blockIdx.y * band; yb < (int)dst_h; yb += gridDim.y * band) {
            WarpSource<E> here = sized;
            if (fits && tile_box(map, span, bx0, yb, here)) {
                __syncthreads();  // the tile before is read
                // Warp w loads rows w, w + 8, ..., w + 40, a float4 a lane.
                const int j = tid >> 5, lane = tid & 31;
                const float4 *from = reinterpret_cast<const float4 *>(
                                         source.data + (long long)here.tile_y * source.sy32 + here.tile_x * NC) +
                                     (long long)j * row4 + lane;
                float4 *to = tile4 + j * (WARP_TILE_PITCH / 4) + lane;
#pragma unroll
                for (int q = 0; q < WARP_TILE_ROWS / 8; ++q)
                    if (j + 8 * q < here.tile_h && lane < quads)
                        to[8 * q * (WARP_TILE_PITCH / 4)] = __ldg(from + (long long)(8 * q) * row4);
                __syncthreads();
                here.tile = tile;
            }
#pragma unroll 1
            for (int y = yb + threadIdx.y; y < yb + band; y += blockDim.y)
                if (x < dst_w && y < dst_h)
                    warp_pixel<F, E, NC, false>(here, map, cx, cy, (float)x, (float)y, bmode, fill, k,
                                                column + y * dst_sy, dst_sc);
        }
    }
}

// One warp of a batch: image n of src (src_h x src_w) into image n of dst
// (dst_h x dst_w), each with NC channels, through the inverse map at
// m + n * m_step (nine float32 values, row-major; an affine map uses six).
// p0, p1: the filter's parameters, in the order of its row in filters.py.
// Rows and images are walked grid-stride. Blocks of up to 256 threads, two
// of them resident an SM (the tiled specialisations keep to 128 registers),
// three for nearest and bilinear, whose pixels need fewer (80).
template <class F> struct WarpBlocks { enum { value = WarpChunk<F>::value <= 2 ? 3 : 2 }; };

template <class F, int E, int NC, bool PERSPECTIVE>
__global__ void __launch_bounds__(256, WarpBlocks<F>::value) warp_image(const typename Elem<E>::T *__restrict__ src,
                           typename Elem<E>::T *__restrict__ dst, const float *__restrict__ m,
                           long long m_step, long long images, long long src_h, long long src_w,
                           long long src_sn, long long src_sy, long long src_sx,
                           long long dst_h, long long dst_w, long long dst_sn, long long dst_sy,
                           long long dst_sx, long long dst_sc, long long border, float fill0,
                           float fill1, float fill2, float fill3, float p0, float p1) {
    const typename F::Params k = F::prepare(p0, p1);
    const float fill[4] = {fill0, fill1, fill2, fill3};
    const int bmode = (int)border;
    if constexpr (!PERSPECTIVE && WarpTiled<F, E, NC>::value) {
        warp_tiled<F, E, NC>(src, dst, m, m_step, images, src_h, src_w, src_sn, src_sy, src_sx, dst_h, dst_w, dst_sn,
                             dst_sy, dst_sx, dst_sc, bmode, fill, k);
        return;
    }
    const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
    if (x >= dst_w) return;
    for (long long n = blockIdx.z; n < images; n += gridDim.z) {
        const WarpMap map = load_warp_map<PERSPECTIVE>(m + n * m_step);
        const WarpSource<E> source = warp_source<E, NC>(src + n * src_sn, src_h, src_w, src_sy, src_sx);
        WarpScale cx = {1.0f, 1.0f, 1.0f}, cy = cx;
        if (!PERSPECTIVE) affine_scales<F>(map, k, cx, cy);
        // The output pixel's address steps with the row instead of being
        // computed afresh from 64-bit products for every pixel; rows count
        // in 32 bits (the module keeps axes below 2^24).
        const int y0 = blockIdx.y * blockDim.y + threadIdx.y, step = gridDim.y * blockDim.y;
        const long long out_step = (long long)step * dst_sy;
        typename Elem<E>::T *out = dst + n * dst_sn + y0 * dst_sy + (long long)x * dst_sx;
        if constexpr (!PERSPECTIVE && RowsU8x3<F, E, NC>::value) {
            if (source.interior && dst_sc == 1 && out_step == (long long)(int)out_step &&
                (same_type<F, Bilinear>::value || (cx.s == 1.0f && cy.s == 1.0f))) {
                if (source.sy32 % 4 == 0)
                    warp_rows_u8x3<F, true>(source, map, cx, cy, (float)x, (float)y0, (float)step, (float)dst_h,
                                            bmode, fill, k, out, (int)out_step);
                else
                    warp_rows_u8x3<F, false>(source, map, cx, cy, (float)x, (float)y0, (float)step, (float)dst_h,
                                             bmode, fill, k, out, (int)out_step);
                continue;
            }
        }
        for (int y = y0; y < (int)dst_h; y += step, out += out_step)
            warp_pixel<F, E, NC, PERSPECTIVE>(source, map, cx, cy, (float)x, (float)y, bmode, fill, k, out, dst_sc);
    }
}

}  // namespace zemvara
