// zemvara.transform.subsample: interleaved subsampling of an image and its single-kernel reconstruction.
#include "transform/batch_prep.hpp"
#include "transform/launch.hpp"
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at.
namespace L {
constexpr Line import_cupy{1};            // import cupy as cp
constexpr Line def_subsample_image{4};    // def subsample_image(image: cp.ndarray, dim: int) -> list[cp.ndarray]:
constexpr Line ndim_2{14};                //     if image.ndim == 2:
constexpr Line unpack_2d{15};             //         height, width = image.shape; channels = None
constexpr Line ndim_3{17};                //     elif image.ndim == 3:
constexpr Line unpack_3d{18};             //         height, width, channels = image.shape
constexpr Line ndim_raise{20};            //         raise ValueError("Image must be 2D or 3D")
constexpr Line divisible_test{22};        //     if height % dim != 0 or width % dim != 0:
constexpr Line divisible_raise{23};       //         raise ValueError(f"Image size ({height}×{width}) must be divisible by dim ({dim})")
constexpr Line no_pixels{24};             //     if (not height or not width) and dim > 1: raise ValueError(...)
constexpr Line new_height{25};            //     new_height = height // dim
constexpr Line new_width{26};             //     new_width = width // dim
constexpr Line reshape_2d{29};            //         reshaped = image.reshape(new_height, dim, new_width, dim)
constexpr Line transpose_2d{30};          //         transposed = reshaped.transpose(1, 3, 0, 2)
constexpr Line flatten_2d{31};            //         flattened = transposed.reshape(dim * dim, new_height, new_width)
constexpr Line reshape_3d{33};            //         reshaped = image.reshape(new_height, dim, new_width, dim, channels)
constexpr Line transpose_3d{34};          //         transposed = reshaped.transpose(1, 3, 0, 2, 4)
constexpr Line flatten_3d{35};            //         flattened = transposed.reshape(dim * dim, new_height, new_width, channels)
constexpr Line result{37};                //     result = [flattened[i] for i in range(dim * dim)]
constexpr Line kernel_code{41};           // reconstruct_optimized_kernel_code = r"""..."""
constexpr Line kernel{82};                // reconstruct_optimized_kernel = cp.RawKernel(reconstruct_optimized_kernel_code, "reconstruct_optimized_kernel")
constexpr Line def_subsample_image_back{85};  // def subsample_image_back(subsampled_images: cp.ndarray | list[cp.ndarray], dim: int) -> cp.ndarray:
constexpr transform::BatchPrepLines back_prep = transform::batch_prep_lines(95);  // lines 95 to 120
constexpr Line output_height{122};        //     output_height = input_height * dim
constexpr Line output_width{123};         //     output_width = input_width * dim
constexpr Line output{125};               //     output = cp.empty((output_height, output_width, channels), dtype=cp.float32)
constexpr Line total_elements{127};       //     total_elements = output_height * output_width * channels
constexpr transform::LaunchLines launch = {
    .block_size = {128},                  //     block_size = 256
    .grid_size = {129},                   //     grid_size = (total_elements + block_size - 1) // block_size
    .launch = {132},                      //     if grid_size > 0: reconstruct_optimized_kernel((grid_size, 1, 1), (block_size, 1, 1), (batch, output, ...))
};
constexpr Line squeeze_test{140};         //     if channels == 1:
constexpr Line squeeze{141};              //         output = output.squeeze(axis=2)
}  // namespace L

// ----- subsample_image --------------------------------------------------------

// Interleaved split: sub-image dy * dim + dx holds the pixels whose row is
// dy and whose column is dx modulo dim.
// 1. Shape: (height, width) or (height, width, channels).
// 2. Both sizes must be multiples of dim (height tested first). An image
//    with no pixels (a side of 0) passes that test for every dim, or for
//    every divisor of its other side, which costs no memory to make that
//    large; so it takes only dim 1 (a larger dim would make dim * dim empty
//    views, 2**62 of them for dim = 2**31); 0 and negative dims fail as for
//    any image.
// 3. new_height, new_width = height // dim, width // dim.
// 4. reshape to (block row, dy, block column, dx[, c]), move (dy, dx) to the
//    front, and merge them into one axis: the one copy of the operation.
// 5. The result lists the slices of that array in order.
Object subsample_image(Call& c, Handle image, Handle dim) {
  Handle ValueError = builtin("ValueError");
  Object height, width, channels;
  c.step(L::ndim_2);  // 1
  if (eq(image.attr("ndim"), 2)) {
    c.step(L::unpack_2d);
    unpack(image.attr("shape"), height, width);
    channels = Object(none());
  } else {
    c.step(L::ndim_3);
    if (eq(image.attr("ndim"), 3)) {
      c.step(L::unpack_3d);
      unpack(image.attr("shape"), height, width, channels);
    } else {
      c.step(L::ndim_raise);
      raise_(ValueError, "Image must be 2D or 3D");
    }
  }
  c.step(L::divisible_test);  // 2
  if (ne(mod(height, dim), 0) || ne(mod(width, dim), 0)) {
    c.step(L::divisible_raise);
    // U+00D7 MULTIPLICATION SIGN between the sizes
    raise_(ValueError, cat({"Image size (", height, "\xC3\x97", width, ") must be divisible by dim (", dim, ")"}));
  }
  c.step(L::no_pixels);
  if ((!truth(height) || !truth(width)) && gt(dim, 1))
    raise_(ValueError, cat({"Image size (", height, "\xC3\x97", width, ") has no pixels: dim (", dim, ") must be 1"}));
  c.step(L::new_height);  // 3
  Object new_height = floordiv(height, dim);
  c.step(L::new_width);
  Object new_width = floordiv(width, dim);
  Object flattened;
  if (channels.is_none()) {  // 4
    c.step(L::reshape_2d);
    Object reshaped = image.attr("reshape")(new_height, dim, new_width, dim);
    c.step(L::transpose_2d);
    Object transposed = reshaped.attr("transpose")(1, 3, 0, 2);
    c.step(L::flatten_2d);
    flattened = transposed.attr("reshape")(mul(dim, dim), new_height, new_width);
  } else {
    c.step(L::reshape_3d);
    Object reshaped = image.attr("reshape")(new_height, dim, new_width, dim, channels);
    c.step(L::transpose_3d);
    Object transposed = reshaped.attr("transpose")(1, 3, 0, 2, 4);
    c.step(L::flatten_3d);
    flattened = transposed.attr("reshape")(mul(dim, dim), new_height, new_width, channels);
  }
  c.step(L::result);  // 5: [flattened[i] for i in range(dim * dim)], counted in C
  Object count = mul(dim, dim);
  const Py_ssize_t n = as_ssize(count);
  List result;
  for (Py_ssize_t i = 0; i < n; ++i) result.append(flattened[i]);
  return result;
}

constexpr FunctionSpec subsample_image_def = def<subsample_image>({
    .name = "subsample_image",
    .line = L::def_subsample_image,
    .params = {{"image", "cp.ndarray"}, {"dim", "int"}},
    .returns = "list[cp.ndarray]",
    .doc = "Perform interleaved subsampling of an image without for loops.\n"
           "\n"
           "    Args:\n"
           "        image: Input image (cp.ndarray) with shape (height, width) or (height, width, channels).\n"
           "        dim: Block size for subsampling.\n"
           "\n"
           "    Returns:\n"
           "        List of interleaved subsampled images.\n"
           "    ",
    .locals = "height width channels new_height new_width reshaped transposed flattened result",
});

// ----- reconstruct_optimized_kernel -----------------------------------------

// One thread per output element (HWC order); each gathers its value from the
// NCHW batch. 32-bit index arithmetic: callers keep sizes below 2**31.
constexpr char reconstruct_optimized_kernel_code[] = R"ZV(
extern "C" __global__ void reconstruct_optimized_kernel(
    const float* __restrict__ input,  // NCHW format
    float* __restrict__ output,       // HWC format
    const int batch_size,
    const int channels,
    const int input_height,
    const int input_width,
    const int output_height,
    const int output_width,
    const int dim
) {
    // Use 1D indexing for better performance
    const int tid = blockIdx.x * blockDim.x + threadIdx.x;
    const int total_elements = output_height * output_width * channels;
    
    if (tid >= total_elements) return;
    
    // Decode output position
    const int c = tid % channels;
    const int xy = tid / channels;
    const int x = xy % output_width;
    const int y = xy / output_width;
    
    // Calculate which subsample and position
    const int dy = y % dim;
    const int dx = x % dim;
    const int subsample_idx = dy * dim + dx;
    const int y_in = y / dim;
    const int x_in = x / dim;
    
    // Read from NCHW input
    const int idx_in = subsample_idx * channels * input_height * input_width +
                      c * input_height * input_width +
                      y_in * input_width + x_in;
    
    // Write to output
    output[tid] = input[idx_in];
}
)ZV";


// ----- subsample_image_back -------------------------------------------------

// Reconstruction in one kernel pass:
// 1. Prepare the batch (contiguous float32 NCHW, N = dim * dim).
// 2. The output (H * dim, W * dim, C), float32, uninitialised: the kernel
//    writes every element.
// 3. One thread per element in blocks of 256; an empty output launches
//    nothing.
// 4. The launch is refused unless the batch's memory holds the N*C*H*W
//    floats the kernel reads and the output's the floats it writes; the
//    seven sizes go to the kernel as 32-bit ints, in declared order.
// 5. A single channel is returned as (H * dim, W * dim).
Object subsample_image_back(Call& c, Handle subsampled_images, Handle dim) {
  transform::PreparedBatch b = transform::prepare_batch(c, subsampled_images, dim, L::back_prep);  // 1
  c.step(L::output_height);  // 2
  Object output_height = mul(b.input_height, dim);
  c.step(L::output_width);
  Object output_width = mul(b.input_width, dim);
  c.step(L::output);
  Object cp = g("cp");
  Object output = cp.attr("empty")(tuple(output_height, output_width, b.channels), kw("dtype", cp.attr("float32")));
  c.step(L::total_elements);  // 3
  Object total_elements = mul(mul(output_height, output_width), b.channels);
  Object read = mul(mul(mul(mul(b.batch_size, b.channels), b.input_height), b.input_width), 4);
  transform::launch_per_element(  // 4
      c, "reconstruct_optimized_kernel", total_elements, L::launch,
      {{b.batch, read, "the batch", "reads"}, {output, mul(total_elements, 4), "the output", "writes"}}, [&] {
        Object int32 = g("cp").attr("int32");
        return tuple(b.batch, output, int32(b.batch_size), int32(b.channels), int32(b.input_height),
                     int32(b.input_width), int32(output_height), int32(output_width), int32(dim));
      });
  c.step(L::squeeze_test);  // 5
  if (eq(b.channels, 1)) {
    c.step(L::squeeze);
    output = output.attr("squeeze")(kw("axis", 2));
  }
  return output;
}

constexpr FunctionSpec subsample_image_back_def = def<subsample_image_back>(transform::reconstruction_function(
    "subsample_image_back", L::def_subsample_image_back,
    "Ultra-optimized reconstruction using single-pass kernel.\n"
    "\n"
    ZV_RECONSTRUCTION_ARGS_DOC,
    "first batch batch_size channels input_height input_width output_height output_width output "
    "total_elements block_size grid_size"));

// ----- module body ----------------------------------------------------------

void body(Body& b) {
  b.step(L::import_cupy);
  b.import("cupy", "cp");
  b.def(subsample_image_def);
  b.step(L::kernel_code);
  b.set("reconstruct_optimized_kernel_code", string(reconstruct_optimized_kernel_code));
  b.step(L::kernel);
  b.set("reconstruct_optimized_kernel",
        g("cp").attr("RawKernel")(g("reconstruct_optimized_kernel_code"), "reconstruct_optimized_kernel"));
  b.def(subsample_image_back_def);
}

}  // namespace

ZEMVARA_MODULE(subsample, transform, body, "ValueError", "range")
