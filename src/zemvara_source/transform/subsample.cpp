// zemvara.transform.subsample: interleaved subsampling of an image and its single-kernel reconstruction.
#include "transform/batch_prep.hpp"
#include "zemvara/frame.hpp"

// Line numbers below are those of the module's source as Python would number
// it: `import cupy as cp` on line 1, `def subsample_image` on line 4, the
// kernel source string from line 41, the kernel object on line 82 and
// `def subsample_image_back` on line 85. Each marks the statement a
// traceback entry points at.

namespace {

using namespace zv;

// ----- subsample_image --------------------------------------------------------

// Interleaved split: sub-image dy * dim + dx holds the pixels whose row is
// dy and whose column is dx modulo dim.
// 1. Shape: (height, width) or (height, width, channels).
// 2. Both sizes must be multiples of dim (height tested first).
// 3. new_height, new_width = height // dim, width // dim.
// 4. reshape to (block row, dy, block column, dx[, c]), move (dy, dx) to the
//    front, and merge them into one axis: the one copy of the operation.
// 5. The result lists the slices of that array in order.
Object subsample_image(Call& c, Handle image, Handle dim) {
  Handle ValueError = builtin("ValueError");
  Object height, width, channels;
  c.step(14);  // 1
  if (eq(image.attr("ndim"), 2)) {
    c.step(15);
    unpack(image.attr("shape"), height, width);
    channels = Object(none());
  } else {
    c.step(17);
    if (eq(image.attr("ndim"), 3)) {
      c.step(18);
      unpack(image.attr("shape"), height, width, channels);
    } else {
      c.step(20);
      raise_(ValueError, "Image must be 2D or 3D");
    }
  }
  c.step(22);  // 2
  if (ne(mod(height, dim), 0) || ne(mod(width, dim), 0)) {
    c.step(23);
    // U+00D7 MULTIPLICATION SIGN between the sizes
    raise_(ValueError, cat({"Image size (", height, "\xC3\x97", width, ") must be divisible by dim (", dim, ")"}));
  }
  c.step(25);  // 3
  Object new_height = floordiv(height, dim);
  c.step(26);
  Object new_width = floordiv(width, dim);
  Object flattened;
  if (channels.is_none()) {  // 4
    c.step(29);
    Object reshaped = image.attr("reshape")(new_height, dim, new_width, dim);
    c.step(30);
    Object transposed = reshaped.attr("transpose")(1, 3, 0, 2);
    c.step(31);
    flattened = transposed.attr("reshape")(mul(dim, dim), new_height, new_width);
  } else {
    c.step(33);
    Object reshaped = image.attr("reshape")(new_height, dim, new_width, dim, channels);
    c.step(34);
    Object transposed = reshaped.attr("transpose")(1, 3, 0, 2, 4);
    c.step(35);
    flattened = transposed.attr("reshape")(mul(dim, dim), new_height, new_width, channels);
  }
  c.step(37);  // 5: [flattened[i] for i in range(dim * dim)], counted in C
  Object count = mul(dim, dim);
  const Py_ssize_t n = as_ssize(count);
  List result;
  for (Py_ssize_t i = 0; i < n; ++i) result.append(flattened[i]);
  return std::move(result);
}

constexpr Param subsample_image_params[] = {
    {"image", "cp.ndarray", Check::none},
    {"dim", "int", Check::int_},
};
constexpr const char* subsample_image_locals[] = {
    "height", "width", "channels", "new_height", "new_width", "reshaped", "transposed", "flattened", "result",
};
constexpr FunctionSpec subsample_image_spec = function<subsample_image>(
    "subsample_image", 4, subsample_image_params, 2, "list[cp.ndarray]", subsample_image_locals,
    "Perform interleaved subsampling of an image without for loops.\n"
    "\n"
    "    Args:\n"
    "        image: Input image (cp.ndarray) with shape (height, width) or (height, width, channels).\n"
    "        dim: Block size for subsampling.\n"
    "\n"
    "    Returns:\n"
    "        List of interleaved subsampled images.\n"
    "    ");

// ----- reconstruct_optimized_kernel -----------------------------------------

// One thread per output element (HWC order); each gathers its value from the
// NCHW batch. 32-bit index arithmetic: callers keep sizes below 2**31.
constexpr char reconstruct_optimized_kernel_code[] =
    "\n"
    "extern \"C\" __global__ void reconstruct_optimized_kernel(\n"
    "    const float* __restrict__ input,  // NCHW format\n"
    "    float* __restrict__ output,       // HWC format\n"
    "    const int batch_size,\n"
    "    const int channels,\n"
    "    const int input_height,\n"
    "    const int input_width,\n"
    "    const int output_height,\n"
    "    const int output_width,\n"
    "    const int dim\n"
    ") {\n"
    "    // Use 1D indexing for better performance\n"
    "    const int tid = blockIdx.x * blockDim.x + threadIdx.x;\n"
    "    const int total_elements = output_height * output_width * channels;\n"
    "    \n"
    "    if (tid >= total_elements) return;\n"
    "    \n"
    "    // Decode output position\n"
    "    const int c = tid % channels;\n"
    "    const int xy = tid / channels;\n"
    "    const int x = xy % output_width;\n"
    "    const int y = xy / output_width;\n"
    "    \n"
    "    // Calculate which subsample and position\n"
    "    const int dy = y % dim;\n"
    "    const int dx = x % dim;\n"
    "    const int subsample_idx = dy * dim + dx;\n"
    "    const int y_in = y / dim;\n"
    "    const int x_in = x / dim;\n"
    "    \n"
    "    // Read from NCHW input\n"
    "    const int idx_in = subsample_idx * channels * input_height * input_width +\n"
    "                      c * input_height * input_width +\n"
    "                      y_in * input_width + x_in;\n"
    "    \n"
    "    // Write to output\n"
    "    output[tid] = input[idx_in];\n"
    "}\n";

// ----- subsample_image_back -------------------------------------------------

constexpr transform::BatchPrepLines back_lines = {
    95,   // is_list
    96,   // empty_test
    97,   // empty_raise
    98,   // first
    99,   // first_ndim
    100,  // stack_2d_size
    101,  // stack_2d
    103,  // stack_3d_size
    104,  // stack_3d
    106,  // not_list
    108,  // ndim_test
    109,  // ndim_raise
    111,  // unpack
    113,  // size_test
    114,  // size_raise
    115,  // limit
    117,  // dtype_test
    118,  // astype
    120,  // contiguous
};

// Reconstruction in one kernel pass:
// 1. Prepare the batch (contiguous float32 NCHW, N = dim * dim).
// 2. The output (H * dim, W * dim, C), float32, uninitialised: the kernel
//    writes every element.
// 3. One thread per element in blocks of 256; an empty output launches
//    nothing.
// 4. The seven sizes go to the kernel as 32-bit ints, in declared order.
// 5. A single channel is returned as (H * dim, W * dim).
Object subsample_image_back(Call& c, Handle subsampled_images, Handle dim) {
  transform::PreparedBatch b = transform::prepare_batch(c, subsampled_images, dim, back_lines);  // 1
  c.step(122);  // 2
  Object output_height = mul(b.input_height, dim);
  c.step(123);
  Object output_width = mul(b.input_width, dim);
  c.step(125);
  Object cp = g("cp");
  Object output = cp.attr("empty")(tuple(output_height, output_width, b.channels), kw("dtype", cp.attr("float32")));
  c.step(127);  // 3
  Object total_elements = mul(mul(output_height, output_width), b.channels);
  c.step(128);
  Object block_size = integer(256);
  c.step(129);
  Object grid_size = floordiv(sub(add(total_elements, block_size), 1), block_size);
  c.step(131);
  if (gt(grid_size, 0)) {
    c.step(132);  // 4
    Object int32 = g("cp").attr("int32");
    g("reconstruct_optimized_kernel")(
        tuple(grid_size, 1, 1), tuple(block_size, 1, 1),
        tuple(b.batch, output, int32(b.batch_size), int32(b.channels), int32(b.input_height),
              int32(b.input_width), int32(output_height), int32(output_width), int32(dim)));
  }
  c.step(140);  // 5
  if (eq(b.channels, 1)) {
    c.step(141);
    output = output.attr("squeeze")(kw("axis", 2));
  }
  return output;
}

constexpr Param subsample_image_back_params[] = {
    {"subsampled_images", "cp.ndarray | list[cp.ndarray]", Check::none},
    {"dim", "int", Check::int_},
};
constexpr const char* subsample_image_back_locals[] = {
    "first", "batch", "batch_size", "channels", "input_height", "input_width",
    "output_height", "output_width", "output", "total_elements", "block_size", "grid_size",
};
constexpr FunctionSpec subsample_image_back_spec = function<subsample_image_back>(
    "subsample_image_back", 85, subsample_image_back_params, 2, "cp.ndarray", subsample_image_back_locals,
    "Ultra-optimized reconstruction using single-pass kernel.\n"
    "\n"
    "    Args:\n"
    "        subsampled_images: Batch tensor with shape (N, C, H, W) where N = dim*dim or a list of "
    "images[H, W, C].\n"
    "        dim: Block size used in the original subsampling\n"
    "\n"
    "    Returns:\n"
    "        Reconstructed image with shape (H*dim, W*dim, C)\n"
    "    ");

// ----- module body ----------------------------------------------------------

void body(Body& b) {
  b.step(1);
  b.import("cupy", "cp");
  b.step(4);
  b.def(subsample_image_spec);
  b.step(41);
  b.set("reconstruct_optimized_kernel_code", string(reconstruct_optimized_kernel_code));
  b.step(82);
  b.set("reconstruct_optimized_kernel",
        g("cp").attr("RawKernel")(g("reconstruct_optimized_kernel_code"), "reconstruct_optimized_kernel"));
  b.step(85);
  b.def(subsample_image_back_spec);
}

constexpr const char* builtins[] = {"ValueError", "range"};

constexpr ModuleSpec subsample_module = module_spec(
    "subsample", "zemvara.transform.subsample", "src/zemvara_source/transform/subsample", builtins, body);

}  // namespace

PyMODINIT_FUNC PyInit_subsample() { return zv::module_init(subsample_module); }
