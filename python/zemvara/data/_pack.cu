// The packing of an (N, H, W, C) uint8 batch into a network's input: per channel
// out = x * scale[c] + shift[c] in float32, stored as element type E (rounded to
// nearest), planar (N, C, H, W) or interleaved (N, H, W, C). blockIdx.y is the
// image; the threads of its blocks take its pixels PACK_PIXELS at a time, in
// turn: a thread's loads and stores are runs of side-by-side values.

namespace zemvara {

enum { PACK_PIXELS = 4 };

template <int E, bool Planar>
__global__ void pack_batch(const unsigned char *__restrict__ src, typename Elem<E>::T *__restrict__ dst,
                           const float *__restrict__ scale, const float *__restrict__ shift, const long long plane,
                           const int channels) {
    const long long first = (long long)blockIdx.y * plane;
    const unsigned char *image = src + first * channels;
    typename Elem<E>::T *out = dst + first * channels;
    const long long step = (long long)blockDim.x * gridDim.x * PACK_PIXELS;
    for (long long q0 = ((long long)blockIdx.x * blockDim.x + threadIdx.x) * PACK_PIXELS; q0 < plane; q0 += step) {
        if (q0 + PACK_PIXELS <= plane) {
            for (int c = 0; c < channels; ++c) {
                const float a = scale[c], b = shift[c];
#pragma unroll
                for (int k = 0; k < PACK_PIXELS; ++k) {
                    const long long q = q0 + k;
                    out[Planar ? c * plane + q : q * channels + c] = Elem<E>::store((float)image[q * channels + c] * a + b);
                }
            }
            continue;
        }
        for (long long q = q0; q < plane; ++q)  // the image's last pixels
            for (int c = 0; c < channels; ++c) {
                const long long at = Planar ? c * plane + q : q * channels + c;
                out[at] = Elem<E>::store((float)image[q * channels + c] * scale[c] + shift[c]);
            }
    }
}

}  // namespace zemvara
