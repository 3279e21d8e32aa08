// zemvara.transform.weavepack: reconstructions of interleaved sub-images through a cached output-order index map.
#include "transform/batch_prep.hpp"
#include "transform/launch.hpp"
#include "zemvara/frame.hpp"

#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

namespace {

using namespace zv;

// Source lines of one reconstruction's statements after the batch
// preparation (the two functions share their layout).
struct ReconstructionLines {
  transform::BatchPrepLines prep;
  Line output_height, output_width, total_elements, output, empty_test, empty_return;
  Line cache_key, cache_test, build, store, lookup, flattened;
  transform::LaunchLines launch;
  Line squeeze_test, squeeze;
};

// A reconstruction numbered from the line of its isinstance test: the
// preparation (transform::batch_prep_lines), then
//  +27  output_height = input_height * dim
//  +28  output_width = input_width * dim
//  +29  total_elements = output_height * output_width * channels
//  +31  output = cp.empty((output_height, output_width, channels), dtype=cp.float32)
//  +32  if total_elements == 0:
//  +33      return output (squeezed as below)
//  +35  cache_key = (batch_size, channels, input_height, input_width, dim, cp.cuda.runtime.getDevice())
//  +36  if cache_key not in _index_cache:
//  +37      indices = create_output_order_indices((batch_size, channels, input_height, input_width), dim)
//  +38      _index_cache[cache_key] = indices
//  +40      indices = _index_cache[cache_key]
//  +42  flattened_input = batch.ravel()
// and the launch and squeeze, whose lines the two functions place apart.
constexpr ReconstructionLines reconstruction_lines(int is_list, transform::LaunchLines launch, Line squeeze_test,
                                                   Line squeeze) {
  const int n = is_list;
  return {.prep = transform::batch_prep_lines(n),
          .output_height = {n + 27},
          .output_width = {n + 28},
          .total_elements = {n + 29},
          .output = {n + 31},
          .empty_test = {n + 32},
          .empty_return = {n + 33},
          .cache_key = {n + 35},
          .cache_test = {n + 36},
          .build = {n + 37},
          .store = {n + 38},
          .lookup = {n + 40},
          .flattened = {n + 42},
          .launch = launch,
          .squeeze_test = squeeze_test,
          .squeeze = squeeze};
}

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at. The two reconstructions share
// their layout (ReconstructionLines below).
namespace L {
constexpr Line import_cupy{1};          // import cupy as cp
constexpr Line import_numpy{2};         // import numpy as np
constexpr Line copy_kernel_code{4};     // simple_copy_kernel_code = r"""..."""
constexpr Line copy_kernel{18};         // simple_copy_kernel = cp.RawKernel(simple_copy_kernel_code, "simple_copy_kernel")
constexpr Line def_create_output_order_indices{21};  // def create_output_order_indices(batch_shape, dim):
constexpr Line map_unpack{23};          //     N, C, H, W = batch_shape
constexpr Line map_output_height{24};   //     output_height = H * dim
constexpr Line map_output_width{25};    //     output_width = W * dim
constexpr Line map_zeros{27};           //     indices = np.zeros(output_height * output_width * C, dtype=np.int64)
constexpr Line map_fill{30};            //     for y in range(output_height): for x ...: for c ...: indices[idx] = input_idx
constexpr Line map_upload{42};          //     return cp.asarray(indices)
constexpr Line index_cache{45};         // _index_cache = {}
constexpr Line def_flattened{48};       // def subsample_image_back_flattened(subsampled_images: cp.ndarray | list[cp.ndarray], dim: int) -> cp.ndarray:
constexpr ReconstructionLines flattened = reconstruction_lines(
    58,  // lines 58 to 100 as reconstruction_lines numbers them
    {
        .block_size = {103},       //     block_size = 256
        .grid_size = {104},        //     grid_size = (total_elements + block_size - 1) // block_size
        .launch = {106},           //     simple_copy_kernel((grid_size, 1, 1), (block_size, 1, 1), (reordered_input, output, cp.int32(total_elements)))
    },
    {109},  //     if channels == 1:
    {110}); //         output = output.squeeze(axis=2)
constexpr Line flattened_reorder{101};  //     reordered_input = flattened_input[indices]
constexpr Line gather_kernel_code{115}; // gather_kernel_code = r"""..."""
constexpr Line gather_kernel{130};      // gather_kernel = cp.RawKernel(gather_kernel_code, "gather_kernel")
constexpr Line def_gather{133};         // def subsample_image_back_gather(subsampled_images: cp.ndarray | list[cp.ndarray], dim: int) -> cp.ndarray:
constexpr ReconstructionLines gather = reconstruction_lines(
    138,  // lines 138 to 180 as reconstruction_lines numbers them
    {
        .block_size = {182},       //     block_size = 256
        .grid_size = {183},        //     grid_size = (total_elements + block_size - 1) // block_size
        .launch = {185},           //     gather_kernel((grid_size, 1, 1), (block_size, 1, 1), (flattened_input, output, indices, cp.int32(total_elements)))
    },
    {188},  //     if channels == 1:
    {189}); //         output = output.squeeze(axis=2)
}  // namespace L

// ----- simple_copy_kernel ---------------------------------------------------

constexpr char simple_copy_kernel_code[] = R"ZV(
extern "C" __global__ void simple_copy_kernel(
    const float* __restrict__ input,
    float* __restrict__ output,
    const int total_elements
) {
    const int tid = blockIdx.x * blockDim.x + threadIdx.x;
    if (tid >= total_elements) return;
    
    // 単純なメモリコピー
    output[tid] = input[tid];
}
)ZV";

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
  c.step(L::map_unpack);  // 1
  unpack(batch_shape, N, C, H, W);
  c.step(L::map_output_height);  // 2
  Object output_height = mul(H, dim);
  c.step(L::map_output_width);
  Object output_width = mul(W, dim);
  c.step(L::map_zeros);  // 3
  Object np = g("np");
  Object indices = np.attr("zeros")(mul(mul(output_height, output_width), C), kw("dtype", np.attr("int64")));
  c.step(L::map_fill);  // 4
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
  c.step(L::map_upload);  // 5
  return g("cp").attr("asarray")(indices);
}

constexpr FunctionSpec create_output_order_indices_def = def<create_output_order_indices>({
    .name = "create_output_order_indices",
    .line = L::def_create_output_order_indices,
    .params = {{"batch_shape"}, {"dim"}},
    .doc = "出力順序に合わせたインデックスマップを作成",
    .locals = "N C H W output_height output_width indices idx y x c dy dx subsample_idx y_in x_in input_idx",
});

// ----- the two reconstructions ----------------------------------------------

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
// type; its values are trusted. The map is read once, through cp.ndarray's
// own fields, and that reading is what the launch gets.
Object checked_map(Handle indices, Handle total_elements) {
  Object map = transform::as_plain(indices);
  if (!eq(map.attr("dtype"), g("cp").attr("int64")) || ne(map.attr("size"), total_elements))
    raise_(builtin("ValueError"), cat({"index map must be an int64 array of ", total_elements, " entries"}));
  return map;
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
    Object built =
        g("create_output_order_indices")(tuple(b.batch_size, b.channels, b.input_height, b.input_width), dim);
    p.indices = checked_map(built, p.total_elements);
    c.step(at.store);
    set_item(g("_index_cache"), cache_key, built);
  } else {
    c.step(at.lookup);
    p.indices = checked_map(g("_index_cache")[cache_key], p.total_elements);
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

// ----- subsample_image_back_flattened ---------------------------------------

// Reorders the flattened batch into output order with one gather of the
// array library, then copies the result into the output with
// `simple_copy_kernel`.
Object subsample_image_back_flattened(Call& c, Handle subsampled_images, Handle dim) {
  const ReconstructionLines& at = L::flattened;
  Prepared p = prepare(c, subsampled_images, dim, at);
  if (!p.empty) {
    c.step(L::flattened_reorder);
    Object reordered_input = p.flattened_input[p.indices];
    Object bytes = mul(p.total_elements, 4);
    transform::launch_per_element(
        c, "simple_copy_kernel", p.total_elements, at.launch,
        {{reordered_input, bytes, "the reordered batch", "reads"}, {p.output, bytes, "the output", "writes"}},
        [&] { return tuple(reordered_input, p.output, g("cp").attr("int32")(p.total_elements)); });
  }
  return finish(c, p, at);
}

constexpr FunctionSpec flattened_def = def<subsample_image_back_flattened>(transform::reconstruction_function(
    "subsample_image_back_flattened", L::def_flattened,
    "1次元化による最適化版のsubsample_image_back\n"
    "\n"
    ZV_RECONSTRUCTION_ARGS_DOC,
    "first batch batch_size channels input_height input_width output_height output_width total_elements "
    "output cache_key indices flattened_input reordered_input block_size grid_size"));

// ----- gather_kernel --------------------------------------------------------

constexpr char gather_kernel_code[] = R"ZV(
extern "C" __global__ void gather_kernel(
    const float* __restrict__ input,
    float* __restrict__ output,
    const long long* __restrict__ indices,
    const int total_elements
) {
    const int tid = blockIdx.x * blockDim.x + threadIdx.x;
    if (tid >= total_elements) return;
    
    // インデックスを使用してgather操作
    output[tid] = input[indices[tid]];
}
)ZV";

// ----- subsample_image_back_gather ------------------------------------------

// One kernel reads each output element straight from the flattened batch
// through the map; no reordered intermediate.
Object subsample_image_back_gather(Call& c, Handle subsampled_images, Handle dim) {
  const ReconstructionLines& at = L::gather;
  Prepared p = prepare(c, subsampled_images, dim, at);
  if (!p.empty) {
    const transform::PreparedBatch& b = p.b;
    Object batch_bytes = mul(mul(mul(mul(b.batch_size, b.channels), b.input_height), b.input_width), 4);
    transform::launch_per_element(
        c, "gather_kernel", p.total_elements, at.launch,
        {{p.flattened_input, batch_bytes, "the batch", "reads"},
         {p.indices, mul(p.total_elements, 8), "the index map", "reads"},
         {p.output, mul(p.total_elements, 4), "the output", "writes"}},
        [&] { return tuple(p.flattened_input, p.output, p.indices, g("cp").attr("int32")(p.total_elements)); });
  }
  return finish(c, p, at);
}

constexpr FunctionSpec gather_def = def<subsample_image_back_gather>(transform::reconstruction_function(
    "subsample_image_back_gather", L::def_gather,
    "Gather操作を使用した最適化版\n"
    "\n"
    "    インデックスの並べ替えをせず、直接gather操作でデータを収集\n"
    "    ",
    "first batch batch_size channels input_height input_width output_height output_width total_elements "
    "output cache_key indices flattened_input block_size grid_size"));

// ----- module body ----------------------------------------------------------

void body(Body& b) {
  b.step(L::import_cupy);
  b.import("cupy", "cp");
  b.step(L::import_numpy);
  b.import("numpy", "np");
  b.step(L::copy_kernel_code);
  b.set("simple_copy_kernel_code", string(simple_copy_kernel_code));
  b.step(L::copy_kernel);
  b.set("simple_copy_kernel", g("cp").attr("RawKernel")(g("simple_copy_kernel_code"), "simple_copy_kernel"));
  b.def(create_output_order_indices_def);
  b.step(L::index_cache);
  b.set("_index_cache", dict());
  b.def(flattened_def);
  b.step(L::gather_kernel_code);
  b.set("gather_kernel_code", string(gather_kernel_code));
  b.step(L::gather_kernel);
  b.set("gather_kernel", g("cp").attr("RawKernel")(g("gather_kernel_code"), "gather_kernel"));
  b.def(gather_def);
}

}  // namespace

ZEMVARA_MODULE(weavepack, transform, body, "ValueError", "TypeError")
