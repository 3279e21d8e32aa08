// zemvara.transform.weavepack: reconstructions of interleaved sub-images through a cached output-order index map.
#include "transform/batch_prep.hpp"
#include "zemvara/frame.hpp"

#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

// Line numbers below are those of the module's source as Python would number
// it: the imports on lines 1 and 2, `simple_copy_kernel_code` from line 4,
// the kernel object on line 18, `def create_output_order_indices` on line 21,
// `_index_cache` on line 45, `def subsample_image_back_flattened` on line 48,
// `gather_kernel_code` from line 115, the kernel object on line 130 and
// `def subsample_image_back_gather` on line 133. Each marks the statement a
// traceback entry points at.

namespace {

using namespace zv;

// ----- simple_copy_kernel ---------------------------------------------------

constexpr char simple_copy_kernel_code[] =
    "\n"
    "extern \"C\" __global__ void simple_copy_kernel(\n"
    "    const float* __restrict__ input,\n"
    "    float* __restrict__ output,\n"
    "    const int total_elements\n"
    ") {\n"
    "    const int tid = blockIdx.x * blockDim.x + threadIdx.x;\n"
    "    if (tid >= total_elements) return;\n"
    "    \n"
    "    // 単純なメモリコピー\n"
    "    output[tid] = input[tid];\n"
    "}\n";

// ----- create_output_order_indices ------------------------------------------

// Python's floor division and modulo (C++ truncates towards zero), so that
// the map matches the element loop for every integer input, negative sizes
// included.
inline std::int64_t py_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
inline std::int64_t py_mod(std::int64_t a, std::int64_t b) {
  std::int64_t r = a % b;
  return (r != 0 && ((r < 0) != (b < 0))) ? r + b : r;
}

// Writes the map in output (HWC) order: entry ((y * output_width) + x) * C + c
// is subsample_idx * C*H*W + c * H*W + (y // dim) * W + (x // dim) with
// subsample_idx = (y % dim) * dim + (x % dim). That splits into a row term,
// a column term and a channel term, so the inner loops only add: the column
// terms are tabulated once, the row term is formed once per row.
void fill_output_order(std::int64_t* out, std::int64_t output_height, std::int64_t output_width,
                       std::int64_t channels, std::int64_t input_height, std::int64_t input_width,
                       std::int64_t dim) {
  const std::int64_t plane = input_height * input_width;
  const std::int64_t image = channels * plane;
  std::vector<std::int64_t> column(static_cast<std::size_t>(output_width));
  for (std::int64_t x = 0; x < output_width; ++x)
    column[static_cast<std::size_t>(x)] = py_mod(x, dim) * image + py_div(x, dim);
  for (std::int64_t y = 0; y < output_height; ++y) {
    const std::int64_t row = py_mod(y, dim) * dim * image + py_div(y, dim) * input_width;
    for (std::int64_t x = 0; x < output_width; ++x) {
      const std::int64_t base = row + column[static_cast<std::size_t>(x)];
      for (std::int64_t c = 0; c < channels; ++c) *out++ = base + c * plane;
    }
  }
}

// The index map of a batch shape (N, C, H, W), N unused:
// 1. Unpack the shape.
// 2. output_height, output_width = H * dim, W * dim (Python arithmetic).
// 3. indices = np.zeros(output_height * output_width * C, dtype=np.int64).
// 4. Fill it in output order through its buffer. The element loop runs only
//    when the three output sizes are positive (every `range` non-empty);
//    otherwise the zeros stay, as they would. Once np.zeros has allocated a
//    non-empty array, every size and the entries themselves fit in 64 bits.
// 5. One upload: cp.asarray(indices).
Object create_output_order_indices(Call& c, Handle batch_shape, Handle dim) {
  Object N, C, H, W;
  c.step(23);  // 1
  unpack(batch_shape, N, C, H, W);
  c.step(24);  // 2
  Object output_height = mul(H, dim);
  c.step(25);
  Object output_width = mul(W, dim);
  c.step(27);  // 3
  Object np = g("np");
  Object indices = np.attr("zeros")(mul(mul(output_height, output_width), C), kw("dtype", np.attr("int64")));
  c.step(30);  // 4
  if (gt(output_height, 0) && gt(output_width, 0) && gt(C, 0)) {
    const std::int64_t oh = as_long_long(output_height), ow = as_long_long(output_width), ch = as_long_long(C);
    const std::int64_t h = as_long_long(H), w = as_long_long(W), d = as_long_long(dim);
    WritableBuffer out(indices);
    const std::string_view format = out.format();
    if (out.itemsize() != 8 || out.nbytes() != oh * ow * ch * 8 || !(format == "q" || format == "l"))
      raise_(builtin("TypeError"), "np.zeros did not return an int64 array of the map's size");
    try {
      fill_output_order(static_cast<std::int64_t*>(out.data()), oh, ow, ch, h, w, d);
    } catch (const std::bad_alloc&) {
      raise_no_memory();
    }
  }
  c.step(42);  // 5
  return g("cp").attr("asarray")(indices);
}

constexpr Param create_output_order_indices_params[] = {
    {"batch_shape", nullptr, Check::none},
    {"dim", nullptr, Check::none},
};
constexpr const char* create_output_order_indices_locals[] = {
    "N", "C", "H", "W", "output_height", "output_width", "indices", "idx",
    "y", "x", "c", "dy", "dx", "subsample_idx", "y_in", "x_in", "input_idx",
};
constexpr FunctionSpec create_output_order_indices_spec = function<create_output_order_indices>(
    "create_output_order_indices", 21, create_output_order_indices_params, 2, nullptr,
    create_output_order_indices_locals,
    "出力順序に合わせたインデックスマップを作成");

// ----- the two reconstructions ----------------------------------------------

// Source lines of one reconstruction's statements after the batch
// preparation (the two functions share their layout).
struct ReconstructionLines {
  transform::BatchPrepLines prep;
  int output_height, output_width, total_elements, output, empty_test, empty_return;
  int cache_key, cache_test, build, store, lookup, flattened;
  int reorder;  // flattened reconstruction only
  int block_size, grid_size, launch, squeeze_test, squeeze;
};

// Everything before the kernel launch:
// 1. Prepare the batch (contiguous float32 NCHW, N = dim * dim), with the
//    shared tests and messages.
// 2. Output sizes. The output is allocated as (H * dim, W * dim, C) right
//    away: the kernel writes it flat, and sizes that cannot be allocated
//    (a negative dim whose square matches N) fail here, as in the
//    single-kernel reconstruction, before any map is built.
// 3. An empty output is returned as is: nothing to map, nothing to launch.
// 4. The map of (N, C, H, W, dim) on the current device: index maps are
//    device arrays, and one built on another device must never reach a
//    kernel here. On a miss the module's `create_output_order_indices`
//    builds it and it is stored in `_index_cache` (both read from the
//    module at each use); a build that fails stores nothing.
// 5. The flattened batch, a view of the contiguous batch.
struct Prepared {
  transform::PreparedBatch b;
  Object output, total_elements, indices, flattened_input;
  bool empty;
};

// The kernels read one 64-bit entry per output element, so a map that a
// replaced builder or cache hands in must at least be that long and of that
// type; its values are trusted.
void require_map_covers(Handle indices, Handle total_elements) {
  if (!eq(indices.attr("dtype"), g("cp").attr("int64")) || ne(indices.attr("size"), total_elements))
    raise_(builtin("ValueError"), cat({"index map must be an int64 array of ", total_elements, " entries"}));
}

Prepared prepare(Call& c, Handle subsampled_images, Handle dim, const ReconstructionLines& at) {
  Prepared p{transform::prepare_batch(c, subsampled_images, dim, at.prep), {}, {}, {}, {}, false};  // 1
  transform::PreparedBatch& b = p.b;
  c.step(at.output_height);  // 2
  Object output_height = mul(b.input_height, dim);
  c.step(at.output_width);
  Object output_width = mul(b.input_width, dim);
  c.step(at.total_elements);
  p.total_elements = mul(mul(output_height, output_width), b.channels);
  c.step(at.output);
  Object cp = g("cp");
  p.output = cp.attr("empty")(tuple(output_height, output_width, b.channels), kw("dtype", cp.attr("float32")));
  c.step(at.empty_test);  // 3
  if (eq(p.total_elements, 0)) {
    c.step(at.empty_return);
    p.empty = true;
    return p;
  }
  c.step(at.cache_key);  // 4
  Object device = g("cp").attr("cuda").attr("runtime").attr("getDevice")();
  Object cache_key = tuple(b.batch_size, b.channels, b.input_height, b.input_width, dim, device);
  c.step(at.cache_test);
  if (!contains(g("_index_cache"), cache_key)) {
    c.step(at.build);
    p.indices = g("create_output_order_indices")(tuple(b.batch_size, b.channels, b.input_height, b.input_width), dim);
    require_map_covers(p.indices, p.total_elements);
    c.step(at.store);
    set_item(g("_index_cache"), cache_key, p.indices);
  } else {
    c.step(at.lookup);
    p.indices = g("_index_cache")[cache_key];
    require_map_covers(p.indices, p.total_elements);
  }
  c.step(at.flattened);  // 5
  p.flattened_input = b.batch.attr("ravel")();
  return p;
}

// A single channel is returned as (H * dim, W * dim).
Object finish(Call& c, Prepared& p, const ReconstructionLines& at) {
  c.step(at.squeeze_test);
  if (eq(p.b.channels, 1)) {
    c.step(at.squeeze);
    return p.output.attr("squeeze")(kw("axis", 2));
  }
  return std::move(p.output);
}

// One thread per output element in blocks of 256; the size goes to the
// kernel as the 32-bit int it declares.
Object grid_of(Call& c, const Object& total_elements, const ReconstructionLines& at) {
  c.step(at.block_size);
  Object block_size = integer(256);
  c.step(at.grid_size);
  return floordiv(sub(add(total_elements, block_size), 1), block_size);
}

constexpr Param reconstruction_params[] = {
    {"subsampled_images", "cp.ndarray | list[cp.ndarray]", Check::none},
    {"dim", "int", Check::int_},
};

// ----- subsample_image_back_flattened ---------------------------------------

constexpr ReconstructionLines flattened_lines = {
    {58, 59, 60, 61, 62, 63, 64, 66, 67, 69, 71, 72, 74, 76, 77, 78, 80, 81, 83},
    85, 86, 87, 89, 90, 91,       // sizes, output, empty
    93, 94, 95, 96, 98, 100,      // map, flatten
    101,                          // reorder
    103, 104, 106, 109, 110,      // launch, squeeze
};

// Reorders the flattened batch into output order with one gather of the
// array library, then copies the result into the output with
// `simple_copy_kernel`.
Object subsample_image_back_flattened(Call& c, Handle subsampled_images, Handle dim) {
  const ReconstructionLines& at = flattened_lines;
  Prepared p = prepare(c, subsampled_images, dim, at);
  if (!p.empty) {
    c.step(at.reorder);
    Object reordered_input = p.flattened_input[p.indices];
    Object grid_size = grid_of(c, p.total_elements, at);
    c.step(at.launch);
    g("simple_copy_kernel")(tuple(grid_size, 1, 1), tuple(256, 1, 1),
                            tuple(reordered_input, p.output, g("cp").attr("int32")(p.total_elements)));
  }
  return finish(c, p, at);
}

constexpr const char* flattened_locals[] = {
    "first", "batch", "batch_size", "channels", "input_height", "input_width", "output_height",
    "output_width", "total_elements", "output", "cache_key", "indices", "flattened_input", "reordered_input",
    "block_size", "grid_size",
};
constexpr FunctionSpec flattened_spec = function<subsample_image_back_flattened>(
    "subsample_image_back_flattened", 48, reconstruction_params, 2, "cp.ndarray", flattened_locals,
    "1次元化による最適化版のsubsample_image_back\n"
    "\n"
    "    Args:\n"
    "        subsampled_images: Batch tensor with shape (N, C, H, W) where N = dim*dim or a list of "
    "images[H, W, C].\n"
    "        dim: Block size used in the original subsampling\n"
    "\n"
    "    Returns:\n"
    "        Reconstructed image with shape (H*dim, W*dim, C)\n"
    "    ");

// ----- gather_kernel --------------------------------------------------------

constexpr char gather_kernel_code[] =
    "\n"
    "extern \"C\" __global__ void gather_kernel(\n"
    "    const float* __restrict__ input,\n"
    "    float* __restrict__ output,\n"
    "    const long long* __restrict__ indices,\n"
    "    const int total_elements\n"
    ") {\n"
    "    const int tid = blockIdx.x * blockDim.x + threadIdx.x;\n"
    "    if (tid >= total_elements) return;\n"
    "    \n"
    "    // インデックスを使用してgather操作\n"
    "    output[tid] = input[indices[tid]];\n"
    "}\n";

// ----- subsample_image_back_gather ------------------------------------------

constexpr ReconstructionLines gather_lines = {
    {138, 139, 140, 141, 142, 143, 144, 146, 147, 149, 151, 152, 154, 156, 157, 158, 160, 161, 163},
    165, 166, 167, 169, 170, 171,  // sizes, output, empty
    173, 174, 175, 176, 178, 180,  // map, flatten
    0,                             // no reorder step
    182, 183, 185, 188, 189,       // launch, squeeze
};

// One kernel reads each output element straight from the flattened batch
// through the map; no reordered intermediate.
Object subsample_image_back_gather(Call& c, Handle subsampled_images, Handle dim) {
  const ReconstructionLines& at = gather_lines;
  Prepared p = prepare(c, subsampled_images, dim, at);
  if (!p.empty) {
    Object grid_size = grid_of(c, p.total_elements, at);
    c.step(at.launch);
    g("gather_kernel")(tuple(grid_size, 1, 1), tuple(256, 1, 1),
                       tuple(p.flattened_input, p.output, p.indices, g("cp").attr("int32")(p.total_elements)));
  }
  return finish(c, p, at);
}

constexpr const char* gather_locals[] = {
    "first", "batch", "batch_size", "channels", "input_height", "input_width", "output_height",
    "output_width", "total_elements", "output", "cache_key", "indices", "flattened_input",
    "block_size", "grid_size",
};
constexpr FunctionSpec gather_spec = function<subsample_image_back_gather>(
    "subsample_image_back_gather", 133, reconstruction_params, 2, "cp.ndarray", gather_locals,
    "Gather操作を使用した最適化版\n"
    "\n"
    "    インデックスの並べ替えをせず、直接gather操作でデータを収集\n"
    "    ");

// ----- module body ----------------------------------------------------------

void body(Body& b) {
  b.step(1);
  b.import("cupy", "cp");
  b.step(2);
  b.import("numpy", "np");
  b.step(4);
  b.set("simple_copy_kernel_code", string(simple_copy_kernel_code));
  b.step(18);
  b.set("simple_copy_kernel", g("cp").attr("RawKernel")(g("simple_copy_kernel_code"), "simple_copy_kernel"));
  b.step(21);
  b.def(create_output_order_indices_spec);
  b.step(45);
  b.set("_index_cache", dict());
  b.step(48);
  b.def(flattened_spec);
  b.step(115);
  b.set("gather_kernel_code", string(gather_kernel_code));
  b.step(130);
  b.set("gather_kernel", g("cp").attr("RawKernel")(g("gather_kernel_code"), "gather_kernel"));
  b.step(133);
  b.def(gather_spec);
}

constexpr const char* builtins[] = {"ValueError", "TypeError"};

constexpr ModuleSpec weavepack_module = module_spec(
    "weavepack", "zemvara.transform.weavepack", "src/zemvara_source/transform/weavepack", builtins, body);

}  // namespace

PyMODINIT_FUNC PyInit_weavepack() { return zv::module_init(weavepack_module); }
