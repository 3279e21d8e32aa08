// zemvara.utils.axisform: infers an array's axis layout and packs images into normalised batches and back.
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// The normalisation-value rule at one place of the source: its six lines.
struct ValueLines {
  Line number_test;  // if isinstance(value, (int, float)):
  Line number;       //     value = (value, value, value)
  Line one_test;     // if len(value) == 1:
  Line one;          //     value = (value[0], value[0], value[0])
  Line three_test;   // elif len(value) != 3:
  Line refuse;       //     raise ValueError(message)
};

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at.
namespace L {
constexpr Line import_typing{1};        // from typing import Literal
constexpr Line import_cupy{3};          // import cupy as cp
constexpr Line import_bgr{5};           // from ..color.bgr import bgr_to_rgb, rgb_to_bgr
constexpr Line import_resize{6};        // from ..transform.resize import INTER_AUTO, resize
constexpr Line import_dtypes{7};        // from ..utils.dtypes import to_float32
constexpr Line layout_type{9};          // Layout = Literal["HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported"]

constexpr Line def_guess_image_layout{12};  // def guess_image_layout(image: cp.ndarray) -> Layout:
constexpr Line nd{21};                  //     nd = image.ndim
constexpr Line nd2_test{22};            //     if nd == 2:
constexpr Line nd2{23};                 //         return "HW"
constexpr Line nd3_test{24};            //     if nd == 3:
constexpr Line c_first{25};             //         c_first = image.shape[0]
constexpr Line c_last{26};              //         c_last = image.shape[-1]
constexpr Line candidates{27};          //         candidates = []
constexpr Line first_test{28};          //         if c_first in (1, 3, 4):
constexpr Line first{29};               //             candidates.append("CHW")
constexpr Line last_test{30};           //         if c_last in (1, 3, 4):
constexpr Line last{31};                //             candidates.append("HWC")
constexpr Line single_test{32};         //         if len(candidates) == 1:
constexpr Line single{33};              //             return candidates[0]
constexpr Line chw_test{34};            //         if c_first <= 4 and image.shape[1] > 4 and image.shape[2] > 4:
constexpr Line chw{35};                 //             return "CHW"
constexpr Line hwc_test{36};            //         if c_last <= 4 and image.shape[0] > 4 and image.shape[1] > 4:
constexpr Line hwc{37};                 //             return "HWC"
constexpr Line nd3_ambiguous{38};       //         return "ambiguous"
constexpr Line nd4_test{39};            //     if nd == 4:
constexpr Line nchw_test{40};           //         if image.shape[1] in (1, 3, 4) and image.shape[2] > 4 and image.shape[3] > 4:
constexpr Line nchw{41};                //             return "NCHW"
constexpr Line nhwc_test{42};           //         if image.shape[-1] in (1, 3, 4) and image.shape[1] > 4 and image.shape[2] > 4:
constexpr Line nhwc{43};                //             return "NHWC"
constexpr Line nd4_ambiguous{44};       //         return "ambiguous"
constexpr Line unsupported{45};         //     return "unsupported"

constexpr Line def_batch_to_images{48};  // def batch_to_images(batch: cp.ndarray, std: ... = None, mean: ... = None, swap_rb: bool = True, layout: Layout = "NCHW") -> list[cp.ndarray]:
constexpr Line b_layout_test{58};       //     if layout != "NCHW":
constexpr Line b_guess{59};             //         layout = guess_image_layout(batch)
constexpr Line b_nhwc_test{60};         //         if layout == "NHWC":
constexpr Line b_nhwc{61};              //             batch = batch.transpose(0, 3, 1, 2)
constexpr Line b_nchw_test{62};         //         elif layout == "NCHW": pass
constexpr Line b_refuse{65};            //         else: raise ValueError(f"Unsupported image layout: {layout}")
constexpr Line b_results{66};           //     results = []
constexpr Line b_for{67};               //     for image in batch:
constexpr Line b_channels_last{68};     //         image = image.transpose(1, 2, 0)
constexpr Line b_swap_test{69};         //         if swap_rb:
constexpr Line b_swap{70};              //             image = rgb_to_bgr(image)
constexpr Line b_std_test{71};          //         if std is not None:
constexpr ValueLines b_std = {.number_test = {72}, .number = {73}, .one_test = {74}, .one = {75},
                              .three_test = {76}, .refuse = {77}};
constexpr Line b_multiply{78};          //             image *= cp.array(std, dtype=image.dtype)
constexpr Line b_mean_test{79};         //         if mean is not None:
constexpr ValueLines b_mean = {.number_test = {80}, .number = {81}, .one_test = {82}, .one = {83},
                               .three_test = {84}, .refuse = {85}};
constexpr Line b_add{86};               //             image += cp.array(mean, dtype=image.dtype)
constexpr Line b_append{87};            //         results.append(image)
constexpr Line b_return{88};            //     return results

constexpr Line def_images_to_batch{91};  // def images_to_batch(images: ..., size: ... = None, std: ... = None, mean: ... = None, swap_rb: bool = True, layout: Layout = "HWC") -> cp.ndarray:
constexpr Line s_list_test{95};         //     if isinstance(images, list):
constexpr Line s_results{96};           //         results = []
constexpr Line s_for{97};               //         for image in images:
constexpr Line s_one{98};               //             result = image_to_batch(image, std=std, size=size, mean=mean, swap_rb=swap_rb, layout=layout)
constexpr Line s_append{99};            //             results.append(result)
constexpr Line s_concatenate{100};      //         return cp.concatenate(results, axis=0)
constexpr Line s_single{102};           //     else: return image_to_batch(images, std=std, size=size, mean=mean, swap_rb=swap_rb, layout=layout)

constexpr Line def_image_to_batch{105};  // def image_to_batch(image: cp.ndarray, std: ... = None, size: ... = None, mean: ... = None, swap_rb: bool = True, layout: Layout = "HWC") -> cp.ndarray:
constexpr Line i_layout_test{109};      //     if layout not in ("HWC", "HW", "CHW", "NHWC", "NCHW"):
constexpr Line i_guess{110};            //         layout = guess_image_layout(image)
constexpr Line i_nchw_test{111};        //     if layout == "NCHW":
constexpr Line i_nchw{112};             //         return image
constexpr Line i_nhwc_test{113};        //     elif layout == "NHWC":
constexpr Line i_nhwc{114};             //         return image.transpose(0, 3, 1, 2)
constexpr Line i_hw_test{115};          //     elif layout == "HW":
constexpr Line i_hw{116};               //         image = image[..., cp.newaxis]
constexpr Line i_hw_layout{117};        //         layout = "HWC"
constexpr Line i_dtype{118};            //     array_dtype = image.dtype
constexpr Line i_swap_test{119};        //     if swap_rb and layout == "HWC":
constexpr Line i_swap{120};             //         image = bgr_to_rgb(image)
constexpr Line i_size_test{121};        //     if size is not None:
constexpr Line i_size_int_test{122};    //         if isinstance(size, int):
constexpr Line i_size_pair{123};        //             size = (size, size)
constexpr Line i_resize{124};           //         image = resize(image, dsize=size, interpolation=INTER_AUTO)
constexpr Line i_mean_test{125};        //     if mean is not None:
constexpr ValueLines i_mean = {.number_test = {126}, .number = {127}, .one_test = {128}, .one = {129},
                               .three_test = {130}, .refuse = {131}};
constexpr Line i_subtract{132};         //         image -= cp.array(mean, dtype=array_dtype)
constexpr Line i_std_test{133};         //     if std is not None:
constexpr ValueLines i_std = {.number_test = {134}, .number = {135}, .one_test = {136}, .one = {137},
                              .three_test = {138}, .refuse = {139}};
constexpr Line i_divide{140};           //         image /= cp.array(std, dtype=array_dtype)
constexpr Line i_hwc_test{141};         //     if layout == "HWC":
constexpr Line i_hwc{142};              //         return image.transpose(2, 0, 1)[cp.newaxis, ...]
constexpr Line i_chw_test{143};         //     elif layout == "CHW":
constexpr Line i_chw{144};              //         return image[cp.newaxis, ...]
constexpr Line i_refuse{146};           //     else: raise ValueError(f"Unsupported image layout: {layout}")
}  // namespace L

constexpr char mean_message[] = "Mean must be a single value or a tuple of three values.";
constexpr char std_message[] = "Standard deviation must be a single value or a tuple of three values.";

// A layout name: the module's own interned string.
Object name(Name layout) { return Object(layout.str()); }

// `value in (1, 3, 4)`: a channel count, tested against 1, then 3, then 4.
bool channel_count(Handle value) { return contains(tuple(1, 3, 4), value); }

// The normalisation-value rule: a number (int or float, subclasses
// included, so True is 1) becomes three equal values, a sequence of one
// value its value three times; any other length but 3 is refused.
Object three_values(Call& c, Handle value, const ValueLines& l, const char* message) {
  Object v(value);
  c.step(l.number_test);
  if (is_instance(v, tuple(builtin("int"), builtin("float")))) {
    c.step(l.number);
    v = tuple(v, v, v);
  }
  c.step(l.one_test);
  if (length(v) == 1) {
    c.step(l.one);
    v = tuple(v[0], v[0], v[0]);
  } else {
    c.step(l.three_test);
    if (length(v) != 3) {
      c.step(l.refuse);
      raise_(builtin("ValueError"), message);
    }
  }
  return v;
}

// Normalisation works in place on the working array. While no step has made
// a new array, that array is the caller's array or a view of it, and the
// caller's data would change: the first in-place step then works on a copy.
// The test: the working array and the caller's array lead to one owner of
// memory when their `base` links are followed to the end (a view's base is
// the array it views; an array made over a foreign buffer has that buffer).
Object memory_owner(Handle array) {
  Object owner(array);
  for (;;) {
    Object base = builtin("getattr")(owner, "base", none());
    if (base.is_none()) return owner;
    owner = std::move(base);
  }
}
void own_before_changing(Object& image, Handle callers) {
  if (memory_owner(image).is(memory_owner(callers))) image = image.attr("copy")();
}

// ----- guess_image_layout -----------------------------------------------------

// The layout an array's rank and axis sizes suggest; only `ndim` and `shape`
// are read. A channel axis holds 1, 3 or 4 entries (at most 4 in the
// tie-breaks), a spatial axis more than 4; channel-first wins every tie.
// 1. nd = image.ndim.
// 2. Rank 2: "HW".
// 3. Rank 3: the one layout whose channel axis has a channel count; failing
//    that, channels first when both other axes are spatial, then channels
//    last likewise; else "ambiguous".
// 4. Rank 4: "NCHW", then "NHWC", when the channel axis has a channel count
//    and both spatial axes are spatial; else "ambiguous".
// 5. Any other rank: "unsupported".
Object guess_image_layout(Call& c, Handle image) {
  c.step(L::nd);  // 1
  Object nd = image.attr("ndim");
  c.step(L::nd2_test);  // 2
  if (eq(nd, 2)) {
    c.step(L::nd2);
    return name("HW");
  }
  c.step(L::nd3_test);  // 3
  if (eq(nd, 3)) {
    c.step(L::c_first);
    Object c_first = image.attr("shape")[0];
    c.step(L::c_last);
    Object c_last = image.attr("shape")[-1];
    c.step(L::candidates);
    List candidates;
    c.step(L::first_test);
    if (channel_count(c_first)) {
      c.step(L::first);
      candidates.append(name("CHW"));
    }
    c.step(L::last_test);
    if (channel_count(c_last)) {
      c.step(L::last);
      candidates.append(name("HWC"));
    }
    c.step(L::single_test);
    if (length(candidates) == 1) {
      c.step(L::single);
      return candidates[0];
    }
    c.step(L::chw_test);
    if (le(c_first, 4) && gt(image.attr("shape")[1], 4) && gt(image.attr("shape")[2], 4)) {
      c.step(L::chw);
      return name("CHW");
    }
    c.step(L::hwc_test);
    if (le(c_last, 4) && gt(image.attr("shape")[0], 4) && gt(image.attr("shape")[1], 4)) {
      c.step(L::hwc);
      return name("HWC");
    }
    c.step(L::nd3_ambiguous);
    return name("ambiguous");
  }
  c.step(L::nd4_test);  // 4
  if (eq(nd, 4)) {
    c.step(L::nchw_test);
    if (channel_count(image.attr("shape")[1]) && gt(image.attr("shape")[2], 4) && gt(image.attr("shape")[3], 4)) {
      c.step(L::nchw);
      return name("NCHW");
    }
    c.step(L::nhwc_test);
    if (channel_count(image.attr("shape")[-1]) && gt(image.attr("shape")[1], 4) && gt(image.attr("shape")[2], 4)) {
      c.step(L::nhwc);
      return name("NHWC");
    }
    c.step(L::nd4_ambiguous);
    return name("ambiguous");
  }
  c.step(L::unsupported);  // 5
  return name("unsupported");
}

constexpr FunctionSpec guess_image_layout_def = def<guess_image_layout>({
    .name = "guess_image_layout",
    .line = L::def_guess_image_layout,
    .params = {{"image", "cp.ndarray"}},
    .returns = "Layout",
    .doc = "\n"
           "    Infer the layout of an image array.\n"
           "\n"
           "    Args:\n"
           "        image (cp.ndarray): The input image array.\n"
           "    Returns:\n"
           "        Layout: The inferred layout of the image array.\n"
           "    ",
    .locals = "nd c_first c_last candidates",
});

// ----- batch_to_images --------------------------------------------------------

// Unpacking a channel-first batch into channel-last images, undoing the
// normalisation:
// 1. Any layout but "NCHW" is only a hint: the batch's shape decides, and a
//    channel-last batch is transposed; anything else is refused.
// 2. An empty list of results.
// 3. For each item of the batch (a view): channels last; swap to
//    blue-green-red on request; then image * std + mean per channel, in
//    the working image's element type, on a copy when the working image is
//    still the caller's memory. The values are brought to three on the
//    first item and kept for the rest.
// 4. The list.
Object batch_to_images(Call& c, Handle batch_arg, Handle std_arg, Handle mean_arg, Handle swap_rb, Handle layout_arg) {
  Object batch(batch_arg), std_v(std_arg), mean_v(mean_arg), layout(layout_arg);
  c.step(L::b_layout_test);  // 1
  if (ne(layout, "NCHW")) {
    c.step(L::b_guess);
    layout = g("guess_image_layout")(batch);
    c.step(L::b_nhwc_test);
    if (eq(layout, "NHWC")) {
      c.step(L::b_nhwc);
      batch = batch.attr("transpose")(0, 3, 1, 2);
    } else {
      c.step(L::b_nchw_test);
      if (!eq(layout, "NCHW")) {
        c.step(L::b_refuse);
        raise_(builtin("ValueError"), cat({"Unsupported image layout: ", layout}));
      }
    }
  }
  c.step(L::b_results);  // 2
  List results;
  c.step(L::b_for);  // 3
  for (Object item : iterate(batch)) {
    c.step(L::b_channels_last);
    Object image = item.attr("transpose")(1, 2, 0);
    c.step(L::b_swap_test);
    if (truth(swap_rb)) {
      c.step(L::b_swap);
      image = g("rgb_to_bgr")(image);
    }
    c.step(L::b_std_test);
    if (!std_v.is_none()) {
      std_v = three_values(c, std_v, L::b_std, std_message);
      c.step(L::b_multiply);
      Object values = g("cp").attr("array")(std_v, kw("dtype", image.attr("dtype")));
      own_before_changing(image, item);
      imul(image, values);
    }
    c.step(L::b_mean_test);
    if (!mean_v.is_none()) {
      mean_v = three_values(c, mean_v, L::b_mean, mean_message);
      c.step(L::b_add);
      Object values = g("cp").attr("array")(mean_v, kw("dtype", image.attr("dtype")));
      own_before_changing(image, item);
      iadd(image, values);
    }
    c.step(L::b_append);
    results.append(image);
    c.step(L::b_for);
  }
  c.step(L::b_return);  // 4
  return std::move(results);
}

constexpr FunctionSpec batch_to_images_def = def<batch_to_images>({
    .name = "batch_to_images",
    .line = L::def_batch_to_images,
    .params = {{"batch", "cp.ndarray"},
               {"std", "float | tuple[float, float, float] | None", None},
               {"mean", "float | tuple[float, float, float] | None", None},
               {"swap_rb", "bool", true},
               {"layout", "Layout", "NCHW"}},
    .returns = "list[cp.ndarray]",
    .doc = "\n"
           "    Convert a batch of images to a list of images.\n"
           "\n"
           "    Args:\n"
           "        batch (cp.ndarray): The input batch of images with shape (N, C, H, W) or (N, H, W, C).\n"
           "\n"
           "    Returns:\n"
           "        list[cp.ndarray]: A list of images, each with shape (H, W, C).\n"
           "    ",
    .locals = "results image",
});

// ----- images_to_batch --------------------------------------------------------

// A list (a tuple is not one) is packed image by image through the module's
// image_to_batch, all options by keyword, and the one-image batches are
// concatenated; anything else is handed to image_to_batch as one image.
Object images_to_batch(Call& c, Handle images, Handle size, Handle std, Handle mean, Handle swap_rb, Handle layout) {
  auto pack = [&](Handle image) {
    return g("image_to_batch")(image, kw("std", std), kw("size", size), kw("mean", mean), kw("swap_rb", swap_rb),
                               kw("layout", layout));
  };
  c.step(L::s_list_test);
  if (is_instance(images, builtin("list"))) {
    c.step(L::s_results);
    List results;
    c.step(L::s_for);
    for (Object image : iterate(images)) {
      c.step(L::s_one);
      Object result = pack(image);
      c.step(L::s_append);
      results.append(result);
      c.step(L::s_for);
    }
    c.step(L::s_concatenate);
    return g("cp").attr("concatenate")(results, kw("axis", 0));
  }
  c.step(L::s_single);
  return pack(images);
}

constexpr FunctionSpec images_to_batch_def = def<images_to_batch>({
    .name = "images_to_batch",
    .line = L::def_images_to_batch,
    .params = {{"images", "cp.ndarray | list[cp.ndarray]"},
               {"size", "int | tuple[int, int] | None", None},
               {"std", "float | tuple[float, float, float] | None", None},
               {"mean", "float | tuple[float, float, float] | None", None},
               {"swap_rb", "bool", true},
               {"layout", "Layout", "HWC"}},
    .returns = "cp.ndarray",
    .doc = "\n"
           "    Convert a list of images to batches.\n"
           "    ",
    .locals = "results image result",
});

// ----- image_to_batch ---------------------------------------------------------

// Packing one image into a channel-first batch of one:
// 1. A layout that is not one of the five names is inferred.
// 2. "NCHW": the image itself, untouched.
// 3. "NHWC": its channel-first view, untouched.
// 4. "HW" gains a channel axis of one and is handled as "HWC".
// 5. The element type the normalisation values take is the image's own.
// 6. A channel-last image is swapped to red-green-blue on request.
// 7. Resize to `size` ((w, w) for an integer w, a pair as given).
// 8, 9. Subtract mean, then divide by std, per channel of the last axis, in
//    place, on a copy when the working image is still the caller's memory.
// 10. The batch of one, a view of the working image; an inferred
//    "ambiguous" or "unsupported" is refused only now, after every step ran.
Object image_to_batch(Call& c, Handle image_arg, Handle std, Handle size_arg, Handle mean, Handle swap_rb,
                      Handle layout_arg) {
  Object image(image_arg), size(size_arg), layout(layout_arg);
  c.step(L::i_layout_test);  // 1
  if (!contains(tuple("HWC", "HW", "CHW", "NHWC", "NCHW"), layout)) {
    c.step(L::i_guess);
    layout = g("guess_image_layout")(image);
  }
  c.step(L::i_nchw_test);  // 2
  if (eq(layout, "NCHW")) {
    c.step(L::i_nchw);
    return image;
  }
  c.step(L::i_nhwc_test);  // 3
  if (eq(layout, "NHWC")) {
    c.step(L::i_nhwc);
    return image.attr("transpose")(0, 3, 1, 2);
  }
  c.step(L::i_hw_test);  // 4
  if (eq(layout, "HW")) {
    c.step(L::i_hw);
    image = image[tuple(ellipsis(), g("cp").attr("newaxis"))];
    c.step(L::i_hw_layout);
    layout = name("HWC");
  }
  c.step(L::i_dtype);  // 5
  Object array_dtype = image.attr("dtype");
  c.step(L::i_swap_test);  // 6
  if (truth(swap_rb) && eq(layout, "HWC")) {
    c.step(L::i_swap);
    image = g("bgr_to_rgb")(image);
  }
  c.step(L::i_size_test);  // 7
  if (!size.is_none()) {
    c.step(L::i_size_int_test);
    if (is_instance(size, builtin("int"))) {
      c.step(L::i_size_pair);
      size = tuple(size, size);
    }
    c.step(L::i_resize);
    image = g("resize")(image, kw("dsize", size), kw("interpolation", g("INTER_AUTO")));
  }
  c.step(L::i_mean_test);  // 8
  if (!mean.is_none()) {
    Object values = three_values(c, mean, L::i_mean, mean_message);
    c.step(L::i_subtract);
    values = g("cp").attr("array")(values, kw("dtype", array_dtype));
    own_before_changing(image, image_arg);
    isub(image, values);
  }
  c.step(L::i_std_test);  // 9
  if (!std.is_none()) {
    Object values = three_values(c, std, L::i_std, std_message);
    c.step(L::i_divide);
    values = g("cp").attr("array")(values, kw("dtype", array_dtype));
    own_before_changing(image, image_arg);
    itruediv(image, values);
  }
  c.step(L::i_hwc_test);  // 10
  if (eq(layout, "HWC")) {
    c.step(L::i_hwc);
    return image.attr("transpose")(2, 0, 1)[tuple(g("cp").attr("newaxis"), ellipsis())];
  }
  c.step(L::i_chw_test);
  if (eq(layout, "CHW")) {
    c.step(L::i_chw);
    return image[tuple(g("cp").attr("newaxis"), ellipsis())];
  }
  c.step(L::i_refuse);
  raise_(builtin("ValueError"), cat({"Unsupported image layout: ", layout}));
}

constexpr FunctionSpec image_to_batch_def = def<image_to_batch>({
    .name = "image_to_batch",
    .line = L::def_image_to_batch,
    .params = {{"image", "cp.ndarray"},
               {"std", "float | tuple[float, float, float] | None", None},
               {"size", "int | tuple[int, int] | None", None},
               {"mean", "float | tuple[float, float, float] | None", None},
               {"swap_rb", "bool", true},
               {"layout", "Layout", "HWC"}},
    .returns = "cp.ndarray",
    .doc = "\n"
           "    Convert a single image to a batch.\n"
           "    ",
    .locals = "array_dtype",
});

// ----- module body ------------------------------------------------------------

void body(Body& b) {
  b.step(L::import_typing);
  b.from_import("typing", {"Literal"});
  b.step(L::import_cupy);
  b.import("cupy", "cp");
  b.step(L::import_bgr);
  b.from_import("..color.bgr", {"bgr_to_rgb", "rgb_to_bgr"});
  b.step(L::import_resize);
  b.from_import("..transform.resize", {"INTER_AUTO", "resize"});
  b.step(L::import_dtypes);
  b.from_import("..utils.dtypes", {"to_float32"});
  b.step(L::layout_type);
  b.set("Layout", g("Literal")[tuple("HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported")]);
  b.def(guess_image_layout_def);
  b.def(batch_to_images_def);
  b.def(images_to_batch_def);
  b.def(image_to_batch_def);
}

}  // namespace

ZEMVARA_MODULE(axisform, utils, body, "ValueError", "int", "float", "list", "getattr")
