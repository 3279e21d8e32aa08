// Preparation of the sub-image batch that every reconstruction kernel reads: a contiguous float32 NCHW array.
#pragma once

#include "transform/launch.hpp"
#include "zemvara/frame.hpp"

namespace zv::transform {

// The source lines of the calling function's preparation steps, so that a
// failure points at the caller's own statement.
struct BatchPrepLines {
  Line is_list;        // isinstance(subsampled_images, list)
  Line empty_test;     // an empty list is refused
  Line empty_raise;
  Line first;          // first = subsampled_images[0]
  Line first_ndim;     // first.ndim == 2
  Line stack_2d_size;  // size limit before stacking (H, W) images
  Line stack_2d;       // cp.stack([img[cp.newaxis, :, :] ...], axis=0)
  Line stack_3d_size;  // size limit before stacking (H, W, C) images
  Line stack_3d;       // cp.stack([img.transpose(2, 0, 1) ...], axis=0)
  Line not_list;       // batch = subsampled_images
  Line ndim_test;      // batch.ndim != 4
  Line ndim_raise;
  Line unpack;         // batch_size, channels, input_height, input_width = batch.shape
  Line size_test;      // batch_size != dim * dim
  Line size_raise;
  Line limit;          // size limit of the batch
  Line dtype_test;     // batch.dtype != cp.float32
  Line astype;         // batch = batch.astype(cp.float32)
  Line contiguous;     // batch = cp.ascontiguousarray(batch)
};

// The lines of a preparation laid out as its callers write it, numbered from
// the line of its isinstance test (each caller's text, relative lines first):
//   +0  if isinstance(subsampled_images, list):
//   +1      if len(subsampled_images) == 0:
//   +2          raise ValueError("subsampled_images must not be an empty list")
//   +3      first = subsampled_images[0]
//   +4      if first.ndim == 2:
//   +5          (size limit of the stack)
//   +6          batch = cp.stack([img[cp.newaxis, :, :] for img in subsampled_images], axis=0)
//   +8          (size limit of the stack)
//   +9          batch = cp.stack([img.transpose(2, 0, 1) for img in subsampled_images], axis=0)
//  +11      batch = subsampled_images
//  +13  if batch.ndim != 4:
//  +14      raise ValueError("Input must be 4D tensor in NCHW format")
//  +16  batch_size, channels, input_height, input_width = batch.shape
//  +18  if batch_size != dim * dim:
//  +19      raise ValueError(f"Batch size {batch_size} doesn't match dim*dim = {dim * dim}")
//  +20  (size limit of the batch)
//  +22  if batch.dtype != cp.float32:
//  +23      batch = batch.astype(cp.float32)
//  +25  batch = cp.ascontiguousarray(batch)
constexpr BatchPrepLines batch_prep_lines(int is_list) {
  const int n = is_list;
  return {.is_list = {n},
          .empty_test = {n + 1},
          .empty_raise = {n + 2},
          .first = {n + 3},
          .first_ndim = {n + 4},
          .stack_2d_size = {n + 5},
          .stack_2d = {n + 6},
          .stack_3d_size = {n + 8},
          .stack_3d = {n + 9},
          .not_list = {n + 11},
          .ndim_test = {n + 13},
          .ndim_raise = {n + 14},
          .unpack = {n + 16},
          .size_test = {n + 18},
          .size_raise = {n + 19},
          .limit = {n + 20},
          .dtype_test = {n + 22},
          .astype = {n + 23},
          .contiguous = {n + 25}};
}

// The signature every reconstruction shares: (subsampled_images, dim) -> cp.ndarray.
constexpr Function reconstruction_function(const char* name, Line line, const char* doc, const char* locals) {
  return {.name = name,
          .line = line,
          .params = {{"subsampled_images", "cp.ndarray | list[cp.ndarray]"}, {"dim", "int"}},
          .returns = "cp.ndarray",
          .doc = doc,
          .locals = locals};
}

// The arguments and result as the reconstructions' docstrings describe them.
#define ZV_RECONSTRUCTION_ARGS_DOC                                                                      \
  "    Args:\n"                                                                                          \
  "        subsampled_images: Batch tensor with shape (N, C, H, W) where N = dim*dim or a list of "      \
  "images[H, W, C].\n"                                                                                  \
  "        dim: Block size used in the original subsampling\n"                                           \
  "\n"                                                                                                   \
  "    Returns:\n"                                                                                       \
  "        Reconstructed image with shape (H*dim, W*dim, C)\n"                                           \
  "    "

struct PreparedBatch {
  Object batch;  // contiguous float32, (N, C, H, W)
  Object batch_size, channels, input_height, input_width;
};

// The largest element count the kernels' 32-bit signed index arithmetic
// can address.
constexpr long long kMaxKernelElements = 2147483647;

// Refuses a batch (or output) of `count` elements that the kernels could not
// index: the 32-bit index arithmetic would overflow and write out of bounds.
inline void refuse_oversize(const Object& count) {
  if (lt(count, integer(kMaxKernelElements + 1))) return;
  raise_(builtin("ValueError"),
         cat({"Input too large: ", count, " elements, the kernel indexes at most 2147483647"}));
}

// Batch preparation:
// 1. A list (or list subclass) of images is stacked: (H, W) images gain a
//    leading axis of 1, (H, W, C) images are transposed to (C, H, W); the
//    ndim of the first image decides. An empty list is refused, and so is a
//    list whose stack would exceed the kernels' limit, before stacking.
//    Anything else is taken as the batch itself; a CuPy array is read once,
//    through cp.ndarray's own fields (as_plain), and only that reading is
//    used from here on.
// 2. The batch must be 4-D.
// 3. Its shape gives batch_size, channels, input_height, input_width.
// 4. batch_size must be dim * dim; the batch must stay within the limit.
// 5. A batch of another dtype is converted to float32 (values kept).
// 6. The batch is made C-contiguous (no copy when it already is).
inline PreparedBatch prepare_batch(Call& c, Handle subsampled_images, Handle dim, const BatchPrepLines& at) {
  Handle ValueError = builtin("ValueError");
  Object batch;
  c.step(at.is_list);
  if (is_list(subsampled_images)) {  // 1
    c.step(at.empty_test);
    const Py_ssize_t n = length(subsampled_images);
    if (n == 0) {
      c.step(at.empty_raise);
      raise_(ValueError, "subsampled_images must not be an empty list");
    }
    c.step(at.first);
    Object first = subsampled_images[0];
    c.step(at.first_ndim);
    const bool two_d = eq(first.attr("ndim"), 2);
    c.step(two_d ? at.stack_2d_size : at.stack_3d_size);
    Object count = integer(n);
    Object shape = first.attr("shape");
    for (Py_ssize_t i = 0, k = length(shape); i < k; ++i) count = mul(count, shape[i]);
    refuse_oversize(count);
    c.step(two_d ? at.stack_2d : at.stack_3d);
    Object cp = g("cp");
    List planes;
    if (two_d) {
      Object key = tuple(cp.attr("newaxis"), full_slice(), full_slice());
      for (Object& img : iterate(subsampled_images)) planes.append(img[key]);
    } else {
      for (Object& img : iterate(subsampled_images)) planes.append(img.attr("transpose")(2, 0, 1));
    }
    batch = cp.attr("stack")(planes, kw("axis", 0));
  } else {
    c.step(at.not_list);
    batch = Object(subsampled_images);
  }
  batch = as_plain(batch);
  c.step(at.ndim_test);  // 2
  if (ne(batch.attr("ndim"), 4)) {
    c.step(at.ndim_raise);
    raise_(ValueError, "Input must be 4D tensor in NCHW format");
  }
  PreparedBatch p;
  c.step(at.unpack);  // 3
  unpack(batch.attr("shape"), p.batch_size, p.channels, p.input_height, p.input_width);
  c.step(at.size_test);  // 4
  if (ne(p.batch_size, mul(dim, dim))) {
    c.step(at.size_raise);
    raise_(ValueError, cat({"Batch size ", p.batch_size, " doesn't match dim*dim = ", mul(dim, dim)}));
  }
  c.step(at.limit);
  refuse_oversize(mul(mul(mul(p.batch_size, p.channels), p.input_height), p.input_width));
  c.step(at.dtype_test);  // 5
  if (ne(batch.attr("dtype"), g("cp").attr("float32"))) {
    c.step(at.astype);
    batch = batch.attr("astype")(g("cp").attr("float32"));
  }
  c.step(at.contiguous);  // 6
  batch = g("cp").attr("ascontiguousarray")(batch);
  p.batch = std::move(batch);
  return p;
}

}  // namespace zv::transform
