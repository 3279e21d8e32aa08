// Border-mode warps of images of different sizes in one launch (see
// _lists.cuh), over a table of one row per image. Appended to the warp source.

namespace zemvara {

// A row: first block, blocks along x, source and destination, the source's
// size and strides (elements), the destination's, and the row of its inverse
// map in the matrices (nine float32 values each).
enum { WB_FIRST, WB_BLOCKS_X, WB_SRC, WB_DST, WB_SRC_H, WB_SRC_W, WB_SRC_SY, WB_SRC_SX, WB_DST_H, WB_DST_W,
       WB_DST_SY, WB_DST_SX, WB_DST_SC, WB_MATRIX, WB_COLUMNS };

// One thread per destination pixel.
template <class F, int E, int NC, bool PERSPECTIVE>
__global__ void warp_image_list(const long long *__restrict__ table, int images, const float *__restrict__ m,
                                 long long border, float fill0, float fill1, float fill2, float fill3, float p0,
                                 float p1) {
    const long long *r = list_row(table, WB_COLUMNS, images, blockIdx.x);
    const long long local = blockIdx.x - r[WB_FIRST];
    const long long x = (local % r[WB_BLOCKS_X]) * blockDim.x + threadIdx.x;
    const long long y = (local / r[WB_BLOCKS_X]) * blockDim.y + threadIdx.y;
    if (x >= r[WB_DST_W] || y >= r[WB_DST_H]) return;
    const typename F::Params k = F::prepare(p0, p1);
    const float fill[4] = {fill0, fill1, fill2, fill3};
    const WarpMap map = load_warp_map<PERSPECTIVE>(m + r[WB_MATRIX] * 9);
    typedef typename Elem<E>::T T;
    const WarpSource<E> source =
        warp_source<E, NC>(reinterpret_cast<const T *>(r[WB_SRC]), r[WB_SRC_H], r[WB_SRC_W], r[WB_SRC_SY], r[WB_SRC_SX]);
    WarpScale cx = {1.0f, 1.0f, 1.0f}, cy = cx;
    if (!PERSPECTIVE) affine_scales<F>(map, k, cx, cy);
    warp_pixel<F, E, NC, PERSPECTIVE>(source, map, cx, cy, (float)x, (float)y, (int)border, fill, k,
                                      reinterpret_cast<T *>(r[WB_DST]) + y * r[WB_DST_SY] + x * r[WB_DST_SX],
                                      r[WB_DST_SC]);
}

}  // namespace zemvara
