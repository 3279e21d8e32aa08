// zemvara.transform.warp: affine and perspective warps shaped like OpenCV's, with border modes, fill values and batches.
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at.
namespace L {
constexpr Line import_arguments{1};    // from .resampling import arguments
constexpr Line import_operator{2};     // import operator
constexpr Line import_cupy{3};         // import cupy as cp
constexpr Line import_numpy{4};        // import numpy as np
constexpr Line import_handoff{5};      // from ._handoff import handoff
constexpr Line import_kernels{6};      // from .resampling.warping import WARP_ACCEPTS, WARP_BORDERS, WARP_FILTERS, warp_affine_kernel, warp_perspective_kernel
constexpr Line import_schema{7};       // from .schema import (INTER_AREA, ..., INTER_NEAREST)  (to line 19)
constexpr Line borders{20};            // BORDER_CONSTANT = 0, one line per row of WARP_BORDERS (to line 25)
constexpr Line warp_inverse_map{26};   // WARP_INVERSE_MAP = 16
constexpr Line import_lists{27};     // from .resampling._lists import warp_list
constexpr Line def_warp_affine{29};    // def warp_affine(src, M, dsize, flags: int = INTER_LINEAR, ...):
constexpr Line def_warp_perspective{80};  // def warp_perspective(src, M, dsize, flags: int = INTER_LINEAR, ...):
}  // namespace L

// The statements of one warp function; warp_affine's start at line 61 and
// warp_perspective's at 112, in this order.
struct WarpLines {
  Line source;    // images, channels = _source(src)
  Line filter;    // traits, p0, p1, inverse = _filter(flags)
  Line border;    // _border(border_mode)
  Line matrices;  // matrices = _matrices(M, images, inverse)
  Line dsize;     // width, height = _dsize(dsize, src)
  Line fill;      // fill = _fill(border_value, channels)
  Line dst;       // dst = _destination(dst, src, height, width, border_mode)
  Line grid;      // block = (16, 16, 1); grid = (...)
  Line launch;    // <kernel>(grid, block, (...))
  Line result;    // return dst
};
constexpr WarpLines affine_lines{.source{61}, .filter{62}, .border{63}, .matrices{64}, .dsize{65},
                                 .fill{66}, .dst{67}, .grid{68}, .launch{70}, .result{71}};
constexpr WarpLines perspective_lines{.source{112}, .filter{113}, .border{114}, .matrices{115}, .dsize{116},
                                      .fill{117}, .dst{118}, .grid{119}, .launch{121}, .result{122}};

constexpr long long kGridLimit = 65535;  // blocks along y and z
constexpr long long kRowsPerThread = 32;  // at most, where the grid keeps kBlocksWanted blocks
constexpr long long kBlocksWanted = 1024;  // eight on each of 128 multiprocessors

// The lines the body gives the border constants: one per row of the border
// table, up to the line of WARP_INVERSE_MAP.
constexpr int kBorderLines = L::warp_inverse_map.number - L::borders.number;

// The rule `rule` of resampling/arguments, which every form of the warps
// (lists, tiles) shares: its value, or its refusal raised here, so that the
// traceback points at the step that asked.
template <class... Args>
Object check(Name rule, Args&&... args) {
  Object arguments = g("arguments"), value, refusal;
  unpack(arguments.attr("verdict")(arguments.attr(rule), std::forward<Args>(args)...), value, refusal);
  if (!refusal.is_none()) raise_(Handle(reinterpret_cast<PyObject*>(refusal.type())), cat({refusal}));
  return value;
}

// A warp, once flags and border_mode have passed the type test of an int
// argument (a Python or NumPy integer, not a bool):
// 1. src gives the images (N, H, W, C) and the channel count.
// 2. flags gives the filter and whether M is already the inverse map.
// 3. border_mode is the value of a row of the border table.
// 4. M gives one inverse map per image, or one for all (refused: wrong
//    shape, non-finite entries, a singular forward map).
// 5. dsize gives the destination's width and height.
// 6. border_value gives one fill value per channel.
// 7. dst, or a new array of the result's shape and src's element type.
// 8. 16 x 16 threads per block, x along the width, y along the height, z
//    along the batch; a thread takes up to kRowsPerThread rows (its set-up,
//    the map and the filter's parameters, done once for them), as many as
//    keep kBlocksWanted blocks, and rows and images past the grid's limits
//    are walked in turn by the kernel.
// 9. One launch for the whole batch; the kernel checks the memory of every
//    array it touches.
// 10. dst, without waiting for the kernel.
Object warp(Call& c, const WarpLines& at, const char* who, bool perspective, Handle src, Handle M, Handle dsize,
            Handle flags, Handle border_mode, Handle border_value, Handle dst_arg, Handle mode) {
  check("require_int", string("flags"), flags);  // at the def line, like the frame's argument type test
  check("require_int", string("border_mode"), border_mode);
  c.step(at.source);  // 1
  Object s = check("warp_source", string(who), src);
  Object images = s.attr("images"), channels = s.attr("channels"), batch = s.attr("batch");
  Object route = check("light_route", string(who), mode, images.attr("dtype"), channels);
  c.step(at.filter);  // 2
  Object f = check("warp_filter", string(who), flags);
  c.step(at.border);  // 3
  Object border = check("border_row", string(who), border_mode);
  c.step(at.matrices);  // 4
  Object counted = batch.is_none() ? Object(none()) : tuple(batch, cat({"a batch of ", batch}));
  Object matrices = check("warp_matrices", string(who), M, integer(perspective ? 3 : 2), f.attr("inverse"), counted);
  c.step(at.dsize);  // 5
  Object height, width;
  unpack(check("warp_size", string(who), dsize, images.attr("shape")[1], images.attr("shape")[2]), height, width);
  c.step(at.fill);  // 6
  Object fill = check("fill_values", string(who), border_value, channels);
  c.step(at.dst);  // 7
  Object shape = batch.is_none() ? tuple(height, width) : tuple(batch, height, width);
  if (length(src.attr("shape")) >= 3) shape = add(shape, tuple(channels));
  Object dst = check("warp_destination", string(who), dst_arg, shape, src.attr("dtype"), border, string("dst"), src);
  // Light and alpha (resampling/light.py): converted to float32 and warped as such, or decoded in the
  // kernel's loads, its fill with it.
  Object light = g("arguments").attr("light");
  if (eq(route, "convert"))
    return light.attr("converted_warp")(g(perspective ? Name("warp_perspective") : Name("warp_affine")), src, M,
                                        dsize, flags, border_mode, fill, dst, dst_arg.is_none() ? py_false() : py_true(),
                                        mode);
  if (!route.is_none()) fill = light.attr("decode_values")(fill, src.attr("dtype"));
  c.step(at.grid);  // 8
  Object count = batch.is_none() ? integer(1) : batch;
  Object min = g("min"), max = g("max"), columns = floordiv(add(width, 15), 16), bands = floordiv(add(height, 15), 16);
  Object block = tuple(16, 16, 1), rows = max(1, min(kRowsPerThread, floordiv(mul(mul(columns, bands), count), kBlocksWanted)));
  Object grid = tuple(columns, min(floordiv(sub(add(bands, rows), 1), rows), kGridLimit),
                      max(1, min(count, kGridLimit)));
  c.step(at.launch);  // 9
  const Py_ssize_t ndim = length(dst.attr("shape"));
  Object dst_images = ndim == 2 ? dst[tuple(none(), ellipsis(), none())] : ndim == 3 ? dst[none()] : dst;
  g(perspective ? Name("warp_perspective_kernel") : Name("warp_affine_kernel"))(
      grid, block,
      tuple(images, dst_images, matrices, f.attr("traits"), border_mode, fill, f.attr("p0"), f.attr("p1"), route));
  c.step(at.result);  // 10
  return dst;
}

// A list of images of different sizes goes to warp_list (one launch for all).
// A tensor or another library's device array: the warp runs on CuPy views of
// src and dst, on that library's current stream, and the result comes back as
// its kind (see _handoff). Anything else goes to the warp as it is.
Object dispatched(Call& c, const WarpLines& at, const char* who, bool perspective, Handle src, Handle M, Handle dsize,
                  Handle flags, Handle border_mode, Handle border_value, Handle dst, Handle linear, Handle alpha) {
  Object mode = check("light_mode", string(who), linear, alpha);  // at the def line, with the type tests
  if (is_list(src))
    return g("warp_list")(string(who), perspective ? py_true() : py_false(), src, M, dsize, flags, border_mode,
                          border_value, dst, mode);
  auto run = [&](Handle s, Handle d) {
    return warp(c, at, who, perspective, s, M, dsize, flags, border_mode, border_value, d, mode);
  };
  Object hand = g("handoff")(string(who), src, dst);
  if (hand.is_none()) return run(src, dst);
  Object result;
  with_(hand, [&](const Object& h) { result = h.attr("back")(run(h.attr("src"), h.attr("dst"))); });
  return result;
}

// The signature both warps share, and their docstrings' parameter list and result, which differ only
// in M's shape.
constexpr Function warp_function(const char* name, Line line, const char* doc) {
  return {.name = name,
          .line = line,
          .params = {{"src", "cp.ndarray"},
                     {"M", "cp.ndarray"},
                     {"dsize", "Tuple[int, int]"},
                     {"flags", "Union[int, np.integer]", global_("INTER_LINEAR")},
                     {"border_mode", "Union[int, np.integer]", global_("BORDER_CONSTANT")},
                     {"border_value", "Union[float, Sequence[float]]", 0},
                     {"dst", "Optional[cp.ndarray]", None},
                     {"linear", "bool", false},
                     {"alpha", "Optional[str]", None}},
          .returns = "cp.ndarray",
          .doc = doc,
          .locals = ""};
}

#define WARP_PARAMETERS_DOC(M_SHAPE, M_BATCH_SHAPE)                                                        \
  "    Parameters\n"                                                                                       \
  "    ----------\n"                                                                                       \
  "    src : cp.ndarray\n"                                                                                 \
  "        (H, W), (H, W, C) or a batch (N, H, W, C); C from 1 to 4; uint8, uint16,\n"                     \
  "        float16 or float32.\n"                                                                          \
  "    M : Union[np.ndarray, cp.ndarray]\n"                                                                \
  "        The " M_SHAPE " forward matrix (source to destination), or " M_BATCH_SHAPE ", one per image.\n" \
  "    dsize : Tuple[int, int]\n"                                                                          \
  "        (width, height) of the destination; (0, 0) keeps the source's size.\n"                          \
  "    flags : int\n"                                                                                      \
  "        An INTER_* filter, | WARP_INVERSE_MAP when M maps destination to source.\n"                     \
  "    border_mode : int\n"                                                                                \
  "        One of the BORDER_* modes, applied to every tap of the filter.\n"                               \
  "    border_value : Union[float, Sequence[float]]\n"                                                     \
  "        The fill of BORDER_CONSTANT: one value for every channel, or one per channel.\n"                \
  "    dst : Optional[cp.ndarray]\n"                                                                       \
  "        The output array, written in place; BORDER_TRANSPARENT requires it.\n"                          \
  "    linear : bool\n"                                                                                   \
  "        Take the values as sRGB-encoded and warp in linear light (alpha excepted).\n"                  \
  "    alpha : Optional[str]\n"                                                                           \
  "        \"premultiplied\" (4 channels): colour weighted by alpha; straight alpha in and out.\n"        \
  "\n"                                                                                                     \
  "    Returns\n"                                                                                          \
  "    -------\n"                                                                                          \
  "    cp.ndarray\n"                                                                                       \
  "        dst, or a new array: src's element type and channels, height x width.\n"                        \
  "    "

// ----- warp_affine ----------------------------------------------------------------

Object warp_affine(Call& c, Handle src, Handle M, Handle dsize, Handle flags, Handle border_mode, Handle border_value,
                   Handle dst, Handle linear, Handle alpha) {
  return dispatched(c, affine_lines, "warp_affine", false, src, M, dsize, flags, border_mode, border_value, dst, linear,
                    alpha);
}

constexpr FunctionSpec warp_affine_def = def<warp_affine>(warp_function(
    "warp_affine", L::def_warp_affine,
    "\n"
    "    Warp an image or a batch by an affine matrix, as cv2.warpAffine does. Using CUDA.\n"
    "\n"
    "    dst(x, y) = src(M^-1 (x, y)), with pixel centres at integer coordinates.\n"
    "\n"
    WARP_PARAMETERS_DOC("2 x 3", "(N, 2, 3)")));

// ----- warp_perspective -----------------------------------------------------------

Object warp_perspective(Call& c, Handle src, Handle M, Handle dsize, Handle flags, Handle border_mode,
                        Handle border_value, Handle dst, Handle linear, Handle alpha) {
  return dispatched(c, perspective_lines, "warp_perspective", true, src, M, dsize, flags, border_mode, border_value, dst,
                    linear, alpha);
}

constexpr FunctionSpec warp_perspective_def = def<warp_perspective>(warp_function(
    "warp_perspective", L::def_warp_perspective,
    "\n"
    "    Warp an image or a batch by a 3 x 3 projective matrix, as cv2.warpPerspective does. Using CUDA.\n"
    "\n"
    "    dst(x, y) = src(M^-1 (x, y, 1)) after the division by the third coordinate;\n"
    "    where that is zero or negative the pixel lies outside the source. Reductions\n"
    "    are antialiased from the local stretch of the map at each pixel.\n"
    "\n"
    WARP_PARAMETERS_DOC("3 x 3", "(N, 3, 3)")));
#undef WARP_PARAMETERS_DOC

// ----- module body ------------------------------------------------------------

void body(Body& b) {
  b.step(L::import_arguments);
  b.from_import(".resampling", {"arguments"});
  b.step(L::import_operator);
  b.import("operator");
  b.step(L::import_cupy);
  b.import("cupy", "cp");
  b.step(L::import_numpy);
  b.import("numpy", "np");
  b.step(L::import_handoff);
  b.from_import("._handoff", {"handoff"});
  b.step(L::import_kernels);
  b.from_import(".resampling.warping",
                {"WARP_ACCEPTS", "WARP_BORDERS", "WARP_FILTERS", "warp_affine_kernel", "warp_perspective_kernel"});
  b.step(L::import_schema);
  b.from_import(".schema", {"INTER_AREA", "INTER_AUTO", "INTER_B_SPLINE", "INTER_CATMULL_ROM", "INTER_CUBIC",
                            "INTER_LANCZOS2", "INTER_LANCZOS3", "INTER_LANCZOS4", "INTER_LINEAR", "INTER_MITCHELL",
                            "INTER_NEAREST"});
  // <name> = <value> for each row of the border table, a line each. The
  // lines after them are numbered for kBorderLines rows: a table of another
  // length needs the line table above renumbered.
  if (length(g("WARP_BORDERS")) != kBorderLines)
    raise_(builtin("ValueError"), cat({"the border table has ", integer(length(g("WARP_BORDERS"))),
                                       " rows; the warp module's line table numbers ", integer(kBorderLines)}));
  int line = L::borders.number;
  for (Object row : iterate(g("WARP_BORDERS"))) {
    b.step(Line{line++});
    set_item(b.dict(), row.attr("name"), row.attr("value"));
  }
  b.step(L::warp_inverse_map);
  b.set("WARP_INVERSE_MAP", g("arguments").attr("WARP_INVERSE_MAP"));
  b.step(L::import_lists);
  b.from_import(".resampling._lists", {"warp_list"});
  b.def(warp_affine_def);
  b.def(warp_perspective_def);
}

}  // namespace

ZEMVARA_MODULE(warp, transform, body, "ValueError", "min", "max")
