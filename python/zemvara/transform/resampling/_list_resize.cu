// Resizes of images of different sizes in one launch per pass (see _lists.cuh):
// the weight tables of every axis, then each pass, over a table of one row per
// table or image. Appended to the resize source.

namespace zemvara {

// A weight-table row: first block, where the table goes, its axis (n source
// pixels to `out`), taps and row stride, and scale = n / out as float32 bits.
enum { RW_FIRST, RW_WEIGHTS, RW_OFFSETS, RW_OUT, RW_N, RW_TAPS, RW_STRIDE, RW_SCALE, RW_COLUMNS };

// One thread per destination index of a table.
template <class F>
__global__ void resize_weights_list(const long long *__restrict__ table, int tables, float p0, float p1) {
    const long long *r = list_row(table, RW_COLUMNS, tables, blockIdx.x);
    const int j = (int)(blockIdx.x - r[RW_FIRST]) * blockDim.x + threadIdx.x;
    if (j >= (int)r[RW_OUT]) return;
    const typename F::Params k = F::prepare(p0, p1);
    const int stride = (int)r[RW_STRIDE];
    resize_weight_row<F>(reinterpret_cast<float *>(r[RW_WEIGHTS]) + (long long)j * stride,
                         reinterpret_cast<int *>(r[RW_OFFSETS]) + j, j, (int)r[RW_N], (int)r[RW_TAPS], stride,
                         __int_as_float((int)r[RW_SCALE]), k);
}

// A pass row: first block, blocks along x, source and destination, the
// weight table of the pass's axis, the destination size, the strides
// (elements) of a pixel's row, column and channel group in both, the rows a
// thread takes, and whether the row's pass runs along y.
enum { RP_FIRST, RP_BLOCKS_X, RP_SRC, RP_DST, RP_WEIGHTS, RP_OFFSETS, RP_TAPS, RP_STRIDE, RP_OUT_W, RP_OUT_H,
       RP_SRC_SY, RP_SRC_SX, RP_SRC_SG, RP_DST_SY, RP_DST_SX, RP_DST_SG, RP_ROWS, RP_ALONG_Y, RP_COLUMNS };

// A thread's run of destination rows y0 .. y1 - 1 in column x of one row's pass along AXIS.
template <int EI, int EO, int NC, int AXIS>
__device__ __forceinline__ void resize_pass_rows(const long long *r, int x, int y0, int y1) {
    const typename Elem<EI>::T *src = reinterpret_cast<const typename Elem<EI>::T *>(r[RP_SRC]) + blockIdx.z * r[RP_SRC_SG];
    typename Elem<EO>::T *dst = reinterpret_cast<typename Elem<EO>::T *>(r[RP_DST]) + blockIdx.z * r[RP_DST_SG];
    const float *weights = reinterpret_cast<const float *>(r[RP_WEIGHTS]);
    const int *offsets = reinterpret_cast<const int *>(r[RP_OFFSETS]);
    for (int y = y0; y < y1; ++y)
        resize_pass_value<EI, EO, NC, AXIS>(src, dst, weights, offsets, (int)r[RP_TAPS], (int)r[RP_STRIDE], x, y,
                                            r[RP_SRC_SY], r[RP_SRC_SX], r[RP_DST_SY], r[RP_DST_SX]);
}

// One thread per destination column and run of a row's RP_ROWS rows of an
// image; grid z counts the channel groups (the same for every image). A
// launch along x also takes the rows whose pass runs along y (RP_ALONG_Y),
// so that the images a resize takes y first share the launch of those it
// takes x first.
template <int EI, int EO, int NC, int AXIS>
__global__ void resize_pass_list(const long long *__restrict__ table, int images) {
    const long long *r = list_row(table, RP_COLUMNS, images, blockIdx.x);
    const long long local = blockIdx.x - r[RP_FIRST];
    const int x = (int)(local % r[RP_BLOCKS_X]) * blockDim.x + threadIdx.x;
    if (x >= (int)r[RP_OUT_W]) return;
    const int rows = (int)r[RP_ROWS];
    const int y0 = ((int)(local / r[RP_BLOCKS_X]) * blockDim.y + threadIdx.y) * rows;
    const int y1 = min(y0 + rows, (int)r[RP_OUT_H]);
    if (AXIS != ALONG_Y && r[RP_ALONG_Y])
        resize_pass_rows<EI, EO, NC, ALONG_Y>(r, x, y0, y1);
    else
        resize_pass_rows<EI, EO, NC, AXIS>(r, x, y0, y1);
}

}  // namespace zemvara
