// Brightness, contrast and saturation jitter of a batch of (H, W, 3) red-green-blue
// uint8 images, in place: one block per image.
//
// params[4 k .. 4 k + 3] belong to image k: the brightness, contrast and saturation
// factors, and the order of the three operations (three 2-bit codes, the first in the
// low bits: 0 brightness, 1 contrast, 2 saturation). Each operation blends the pixel
// with something and clamps to 0..255 (values stay in float between operations):
// brightness with black, saturation with the pixel's grey, contrast with the mean grey
// of the whole image as it stands before the contrast operation. The block first sums
// that grey (each thread its own pixels in order, then thread 0 the threads' sums in
// order, so the sum does not depend on how blocks are spread over workers), then
// writes every pixel rounded to the nearest level.

#define JITTER_THREADS 256

__device__ __forceinline__ float jitter_clamp(float v) { return v < 0.0f ? 0.0f : (v > 255.0f ? 255.0f : v); }

__device__ __forceinline__ float jitter_grey(const float* rgb) {
    return 0.2989f * rgb[0] + 0.587f * rgb[1] + 0.114f * rgb[2];
}

// Operation `op` with `factor` on one pixel; `mean` is the contrast operation's grey.
__device__ __forceinline__ void jitter_op(int op, float factor, float mean, float* rgb) {
    const float grey = op == 2 ? jitter_grey(rgb) : mean;
    for (int c = 0; c < 3; ++c) {
        rgb[c] = jitter_clamp(op == 0 ? factor * rgb[c] : factor * rgb[c] + (1.0f - factor) * grey);
    }
}

extern "C" __global__ void zemvara_data_jitter(unsigned char* __restrict__ images, const float* __restrict__ params,
                                               const long long pixels) {
    __shared__ float partial[JITTER_THREADS];
    __shared__ float mean;
    unsigned char* image = images + (long long)blockIdx.x * pixels * 3;
    const float* p = params + 4 * blockIdx.x;
    const int order = (int)p[3];
    int ops[3], before = 0;
    for (int k = 0; k < 3; ++k) {
        ops[k] = (order >> (2 * k)) & 3;
    }
    while (ops[before] != 1) {
        ++before;
    }
    float sum = 0.0f;
    if (p[1] != 1.0f) {
        for (long long i = threadIdx.x; i < pixels; i += JITTER_THREADS) {
            float rgb[3] = {(float)image[3 * i], (float)image[3 * i + 1], (float)image[3 * i + 2]};
            for (int k = 0; k < before; ++k) {
                jitter_op(ops[k], p[ops[k]], 0.0f, rgb);
            }
            sum += jitter_grey(rgb);
        }
    }
    partial[threadIdx.x] = sum;
    __syncthreads();
    if (threadIdx.x == 0) {
        float total = 0.0f;
        for (int t = 0; t < JITTER_THREADS; ++t) {
            total += partial[t];
        }
        mean = total / (float)pixels;
    }
    __syncthreads();
    for (long long i = threadIdx.x; i < pixels; i += JITTER_THREADS) {
        float rgb[3] = {(float)image[3 * i], (float)image[3 * i + 1], (float)image[3 * i + 2]};
        for (int k = 0; k < 3; ++k) {
            jitter_op(ops[k], p[ops[k]], mean, rgb);
        }
        for (int c = 0; c < 3; ++c) {
            image[3 * i + c] = (unsigned char)(rgb[c] + 0.5f);
        }
    }
}
