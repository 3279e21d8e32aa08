// zemvara.transform.warp: affine and perspective warps shaped like OpenCV's, with border modes, fill values and batches.
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at.
namespace L {
constexpr Line import_numbers{1};      // import numbers
constexpr Line import_operator{2};     // import operator
constexpr Line import_cupy{3};         // import cupy as cp
constexpr Line import_numpy{4};        // import numpy as np
constexpr Line import_handoff{5};      // from ._handoff import handoff
constexpr Line import_kernels{6};      // from .resampling.warping import WARP_ACCEPTS, WARP_BORDERS, WARP_FILTERS, warp_affine_kernel, warp_perspective_kernel
constexpr Line import_schema{7};       // from .schema import (INTER_AREA, ..., INTER_NEAREST)  (to line 19)
constexpr Line borders{20};            // BORDER_CONSTANT = 0, one line per row of WARP_BORDERS (to line 25)
constexpr Line warp_inverse_map{26};   // WARP_INVERSE_MAP = 16
constexpr Line import_batched{27};     // from .resampling._batched import warp_list
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

constexpr long long kInverseMap = 16;  // WARP_INVERSE_MAP
constexpr long long kGridLimit = 65535;  // blocks along y and z
constexpr long long kRowsPerThread = 32;  // at most, where the grid keeps kBlocksWanted blocks
constexpr long long kBlocksWanted = 1024;  // eight on each of 128 multiprocessors

// The lines the body gives the border constants: one per row of the border
// table, up to the line of WARP_INVERSE_MAP.
constexpr int kBorderLines = L::warp_inverse_map.number - L::borders.number;

// What the kernels accept, from their tables (WARP_ACCEPTS): "max_axis", the
// largest image axis they index exactly (float32 positions); "flags" and
// "border_mode", the text naming the accepted filters and border modes.
Object accepts(const char* what) { return g("WARP_ACCEPTS")[string(what)]; }

// type(obj).__name__
Object type_name(Handle obj) { return Handle(reinterpret_cast<PyObject*>(obj.type())).attr("__name__"); }

// The function's name and the argument, in front of every message:
// "warp_affine: M has shape (3, 3); ...".
[[noreturn]] void refuse(Name error, const char* who, std::initializer_list<Text> parts) {
  Object message = cat(parts);
  raise_(builtin(error), cat({who, ": ", message}));
}

// An int that is not a bool (operator.index accepts NumPy integers too).
bool is_integer(Handle value) {
  return !is_instance(value, builtin("bool")) && !is_instance(value, g("np").attr("bool_")) &&
         is_instance(value, g("numbers").attr("Integral"));
}
bool is_real(Handle value) {
  return !is_instance(value, builtin("bool")) && !is_instance(value, g("np").attr("bool_")) &&
         is_instance(value, g("numbers").attr("Real"));
}

// An int argument: a Python or NumPy integer, not a bool; the argument type
// test's TypeError otherwise.
void require_int(const char* name, Handle value) {
  if (!is_integer(value))
    raise_(builtin("TypeError"), cat({"Argument '", name, "' has incorrect type (expected int, got ", type_name(value), ")"}));
}

// ----- the steps shared by both warps -------------------------------------------

struct Source {
  Object images;    // src as (N, H, W, C), a view
  Object channels;  // C
  Object batch;     // N, or None for a single image
};

// src: a CuPy array of uint8, uint16, float16 or float32, (H, W), (H, W, C)
// or (N, H, W, C) with 1 to 4 channels and no empty side.
Source source_of(const char* who, Handle src) {
  if (!is_instance(src, g("cp").attr("ndarray")))
    refuse("TypeError", who, {"src must be a CuPy array, got ", type_name(src)});
  Object dtype_name = src.attr("dtype").attr("name");
  if (!contains(tuple("uint8", "uint16", "float16", "float32"), dtype_name))
    refuse("TypeError", who, {"src has element type ", dtype_name, "; accepted: uint8, uint16, float16 or float32"});
  Object shape = src.attr("shape");
  const Py_ssize_t ndim = length(shape);
  Source s;
  if (ndim == 2) {
    s.images = src[tuple(none(), ellipsis(), none())];
    s.batch = Object(none());
  } else if (ndim == 3) {
    s.images = src[none()];
    s.batch = Object(none());
  } else if (ndim == 4) {
    s.images = Object(src);
    s.batch = shape[0];
  }
  if (s.images.is_null() || lt(s.images.attr("shape")[3], 1) || gt(s.images.attr("shape")[3], 4))
    refuse("ValueError", who, {"src has shape ", shape, "; accepted: (H, W), (H, W, C) or (N, H, W, C) with C from 1 to 4"});
  Object h = s.images.attr("shape")[1], w = s.images.attr("shape")[2];
  if (eq(h, 0) || eq(w, 0)) refuse("ValueError", who, {"src of shape ", shape, " is empty"});
  Object max_axis = accepts("max_axis");
  if (gt(h, max_axis) || gt(w, max_axis))
    refuse("ValueError", who, {"src of shape ", shape, " is too large; axes up to ", max_axis});
  s.channels = s.images.attr("shape")[3];
  return s;
}

struct Filter {
  Object traits, p0, p1;  // the filter's traits block and its two parameters
  bool inverse;
};

// flags: one interpolation of the filter table, plus WARP_INVERSE_MAP when M
// already maps destination to source.
Filter filter_of(const char* who, Handle flags) {
  const long long value = as_long_long(flags);
  Filter f;
  f.inverse = value >= 0 && (value & kInverseMap) != 0;
  Object entry = g("WARP_FILTERS").attr("get")(integer(value < 0 ? value : value & ~kInverseMap));
  if (entry.is_none())
    refuse("ValueError", who, {"flags ", flags, " names no warp filter; accepted: ", accepts("flags"),
                               ", optionally | WARP_INVERSE_MAP"});
  unpack(entry, f.traits, f.p0, f.p1);
  return f;
}

// border_mode: the value of a row of the border table.
void check_border(const char* who, Handle border_mode) {
  for (Object row : iterate(g("WARP_BORDERS")))
    if (eq(row.attr("value"), border_mode)) return;
  refuse("ValueError", who, {"border_mode ", border_mode, " is not a border mode; accepted: ", accepts("border_mode")});
}

// M: a rows x 3 matrix, or a stack (K, rows, 3) with K = 1 or the batch size,
// of finite real numbers; NumPy, CuPy or nested sequences. Returns the
// inverse maps (destination to source) as float32 (K, 9) on the device: the
// inverse of M in float64 on the host, or M itself with WARP_INVERSE_MAP.
Object matrices_of(const char* who, Handle M, const Source& s, bool inverse, long long rows) {
  Object cp = g("cp"), np = g("np");
  Object m = is_instance(M, cp.attr("ndarray")) ? cp.attr("asnumpy")(M) : np.attr("asarray")(M);
  if (!contains(string("iuf"), m.attr("dtype").attr("kind")))
    refuse("TypeError", who, {"M must hold real numbers, got element type ", m.attr("dtype")});
  Object shape = m.attr("shape");
  const char* accepted = rows == 2 ? "; accepted: (2, 3) or (K, 2, 3)" : "; accepted: (3, 3) or (K, 3, 3)";
  const Py_ssize_t ndim = length(shape);
  if (!((ndim == 2 || ndim == 3) && eq(shape[ndim - 2], rows) && eq(shape[ndim - 1], 3)))
    refuse("ValueError", who, {"M has shape ", shape, accepted});
  Object count = ndim == 2 ? integer(1) : shape[0];
  if (!eq(count, 1) && !(ndim == 3 && !s.batch.is_none() && eq(count, s.batch)))
    refuse("ValueError", who, {"M holds ", count, " matrices for ", s.batch.is_none() ? Object(string("a single image")) : cat({"a batch of ", s.batch}), "; give one matrix or one per image"});
  if (!truth(np.attr("isfinite")(m).attr("all")()))
    refuse("ValueError", who, {"M holds a non-finite entry: ", m.attr("tolist")()});
  m = m.attr("astype")(np.attr("float64")).attr("reshape")(count, rows, 3);
  if (rows == 2) {  // append the row (0, 0, 1)
    Object bottom = np.attr("broadcast_to")(np.attr("array")(tuple(floating(0.0), floating(0.0), floating(1.0))),
                                            tuple(count, 1, 3));
    List parts;
    parts.append(m);
    parts.append(bottom);
    m = np.attr("concatenate")(parts, kw("axis", 1));
  }
  if (!inverse) {
    Object det = np.attr("linalg").attr("det")(m);
    if (truth(det.attr("__eq__")(0).attr("any")()))
      refuse("ValueError", who, {"M is singular (determinant 0), so it has no inverse; give an invertible map, "
                                 "or the inverse map itself with WARP_INVERSE_MAP"});
    m = np.attr("linalg").attr("inv")(m);
    if (!truth(np.attr("isfinite")(m).attr("all")()))
      refuse("ValueError", who, {"M is too close to singular: its inverse is not finite"});
  }
  return cp.attr("asarray")(m.attr("reshape")(count, 9), kw("dtype", cp.attr("float32")));
}

// dsize: (width, height) of the destination, two ints; (0, 0) is the
// source's size, as in OpenCV.
void dsize_of(const char* who, Handle dsize, const Source& s, Object& width, Object& height) {
  if (!(is_instance(dsize, builtin("tuple")) || is_list(dsize)) || length(dsize) != 2 || !is_integer(dsize[0]) ||
      !is_integer(dsize[1]))
    refuse("TypeError", who, {"dsize must be (width, height), two ints, got ", g("repr")(dsize)});
  width = g("operator").attr("index")(dsize[0]);
  height = g("operator").attr("index")(dsize[1]);
  if (eq(width, 0) && eq(height, 0)) {
    width = s.images.attr("shape")[2];
    height = s.images.attr("shape")[1];
    return;
  }
  Object max_axis = accepts("max_axis");
  if (lt(width, 1) || lt(height, 1) || gt(width, max_axis) || gt(height, max_axis))
    refuse("ValueError", who, {"dsize ", g("repr")(dsize), " is not a size; width and height from 1 to ",
                               max_axis, ", or (0, 0) for the source's size"});
}

// border_value: one real number for every channel (a NumPy array of no
// dimensions counts as its number), or one per channel.
Object fill_of(const char* who, Handle border_value, const Source& s) {
  const long long channels = as_long_long(s.channels);
  List fill;
  Object value(border_value);
  if (is_instance(value, g("np").attr("ndarray")) && eq(value.attr("ndim"), 0)) {
    value = value[tuple()];
    if (!is_real(value)) refuse("TypeError", who, {"border_value holds ", g("repr")(value), ", not a real number"});
  }
  if (is_real(value)) {
    for (long long k = 0; k < channels; ++k) fill.append(value);
    return fill;
  }
  if (!(is_instance(border_value, builtin("tuple")) || is_list(border_value) ||
        is_instance(border_value, g("np").attr("ndarray"))))
    refuse("TypeError", who, {"border_value must be a number or one number per channel, got ", type_name(border_value)});
  if (length(border_value) != channels)
    refuse("ValueError", who, {"border_value holds ", integer(length(border_value)), " values for ", s.channels,
                               " channels; give one number, or one per channel"});
  for (Object v : iterate(border_value)) {
    if (!is_real(v)) refuse("TypeError", who, {"border_value holds ", g("repr")(v), ", not a real number"});
    fill.append(v);
  }
  return fill;
}

// dst: a CuPy array of the result's shape and of src's element type, written
// in place; BORDER_TRANSPARENT needs one (it keeps dst where the position
// lies outside the source). Without it, a new array.
Object destination_of(const char* who, Handle dst, Handle src, const Source& s, Handle height, Handle width,
                      Handle border_mode) {
  Object shape = s.batch.is_none() ? tuple(height, width) : tuple(s.batch, height, width);
  if (length(src.attr("shape")) >= 3) shape = add(shape, tuple(s.channels));
  if (dst.is_none()) {
    if (eq(border_mode, g("BORDER_TRANSPARENT")))
      refuse("ValueError", who, {"BORDER_TRANSPARENT leaves pixels outside the source as dst holds them; pass dst"});
    return g("cp").attr("empty")(shape, kw("dtype", src.attr("dtype")));
  }
  if (!is_instance(dst, g("cp").attr("ndarray")))
    refuse("TypeError", who, {"dst must be a CuPy array, got ", type_name(dst)});
  if (ne(dst.attr("dtype"), src.attr("dtype")))
    refuse("TypeError", who, {"dst has element type ", dst.attr("dtype"), "; the result has src's, ", src.attr("dtype")});
  if (ne(dst.attr("shape"), shape))
    refuse("ValueError", who, {"dst has shape ", dst.attr("shape"), "; the result has shape ", shape});
  return Object(dst);
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
            Handle flags, Handle border_mode, Handle border_value, Handle dst_arg) {
  require_int("flags", flags);  // at the def line, like the frame's argument type test
  require_int("border_mode", border_mode);
  c.step(at.source);  // 1
  Source s = source_of(who, src);
  c.step(at.filter);  // 2
  Filter f = filter_of(who, flags);
  c.step(at.border);  // 3
  check_border(who, border_mode);
  c.step(at.matrices);  // 4
  Object matrices = matrices_of(who, M, s, f.inverse, perspective ? 3 : 2);
  c.step(at.dsize);  // 5
  Object width, height;
  dsize_of(who, dsize, s, width, height);
  c.step(at.fill);  // 6
  Object fill = fill_of(who, border_value, s);
  c.step(at.dst);  // 7
  Object dst = destination_of(who, dst_arg, src, s, height, width, border_mode);
  c.step(at.grid);  // 8
  Object images = s.batch.is_none() ? integer(1) : s.batch;
  Object min = g("min"), max = g("max"), columns = floordiv(add(width, 15), 16), bands = floordiv(add(height, 15), 16);
  Object block = tuple(16, 16, 1), rows = max(1, min(kRowsPerThread, floordiv(mul(mul(columns, bands), images), kBlocksWanted)));
  Object grid = tuple(columns, min(floordiv(sub(add(bands, rows), 1), rows), kGridLimit),
                      max(1, min(images, kGridLimit)));
  c.step(at.launch);  // 9
  const Py_ssize_t ndim = length(dst.attr("shape"));
  Object dst_images = ndim == 2 ? dst[tuple(none(), ellipsis(), none())] : ndim == 3 ? dst[none()] : dst;
  g(perspective ? Name("warp_perspective_kernel") : Name("warp_affine_kernel"))(
      grid, block, tuple(s.images, dst_images, matrices, f.traits, border_mode, fill, f.p0, f.p1));
  c.step(at.result);  // 10
  return dst;
}

// A list of images of different sizes goes to warp_list (one launch for all).
// A tensor or another library's device array: the warp runs on CuPy views of
// src and dst, on that library's current stream, and the result comes back as
// its kind (see _handoff). Anything else goes to the warp as it is.
template <class Warp>
Object handed_off(const char* who, Handle src, Handle dst, Warp&& run) {
  Object hand = g("handoff")(string(who), src, dst);
  if (hand.is_none()) return run(src, dst);
  Object result;
  with_(hand, [&](const Object& h) { result = h.attr("back")(run(h.attr("src"), h.attr("dst"))); });
  return result;
}

// ----- warp_affine ----------------------------------------------------------------

Object warp_affine(Call& c, Handle src, Handle M, Handle dsize, Handle flags, Handle border_mode, Handle border_value,
                   Handle dst) {
  if (is_list(src)) return g("warp_list")(string("warp_affine"), py_false(), src, M, dsize, flags, border_mode, border_value, dst);
  return handed_off("warp_affine", src, dst, [&](Handle s, Handle d) {
    return warp(c, affine_lines, "warp_affine", false, s, M, dsize, flags, border_mode, border_value, d);
  });
}

constexpr FunctionSpec warp_affine_def = def<warp_affine>({
    .name = "warp_affine",
    .line = L::def_warp_affine,
    .params = {{"src", "cp.ndarray"},
               {"M", "cp.ndarray"},
               {"dsize", "Tuple[int, int]"},
               {"flags", "Union[int, np.integer]", global_("INTER_LINEAR")},
               {"border_mode", "Union[int, np.integer]", global_("BORDER_CONSTANT")},
               {"border_value", "Union[float, Sequence[float]]", 0},
               {"dst", "Optional[cp.ndarray]", None}},
    .returns = "cp.ndarray",
    .doc = "\n"
           "    Warp an image or a batch by an affine matrix, as cv2.warpAffine does. Using CUDA.\n"
           "\n"
           "    dst(x, y) = src(M^-1 (x, y)), with pixel centres at integer coordinates.\n"
           "\n"
           "    Parameters\n"
           "    ----------\n"
           "    src : cp.ndarray\n"
           "        (H, W), (H, W, C) or a batch (N, H, W, C); C from 1 to 4; uint8, uint16,\n"
           "        float16 or float32.\n"
           "    M : Union[np.ndarray, cp.ndarray]\n"
           "        The 2 x 3 forward matrix (source to destination), or (N, 2, 3), one per image.\n"
           "    dsize : Tuple[int, int]\n"
           "        (width, height) of the destination; (0, 0) keeps the source's size.\n"
           "    flags : int\n"
           "        An INTER_* filter, | WARP_INVERSE_MAP when M maps destination to source.\n"
           "    border_mode : int\n"
           "        One of the BORDER_* modes, applied to every tap of the filter.\n"
           "    border_value : Union[float, Sequence[float]]\n"
           "        The fill of BORDER_CONSTANT: one value for every channel, or one per channel.\n"
           "    dst : Optional[cp.ndarray]\n"
           "        The output array, written in place; BORDER_TRANSPARENT requires it.\n"
           "\n"
           "    Returns\n"
           "    -------\n"
           "    cp.ndarray\n"
           "        dst, or a new array: src's element type and channels, height x width.\n"
           "    ",
    .locals = "",
});

// ----- warp_perspective -----------------------------------------------------------

Object warp_perspective(Call& c, Handle src, Handle M, Handle dsize, Handle flags, Handle border_mode,
                        Handle border_value, Handle dst) {
  if (is_list(src)) return g("warp_list")(string("warp_perspective"), py_true(), src, M, dsize, flags, border_mode, border_value, dst);
  return handed_off("warp_perspective", src, dst, [&](Handle s, Handle d) {
    return warp(c, perspective_lines, "warp_perspective", true, s, M, dsize, flags, border_mode, border_value, d);
  });
}

constexpr FunctionSpec warp_perspective_def = def<warp_perspective>({
    .name = "warp_perspective",
    .line = L::def_warp_perspective,
    .params = {{"src", "cp.ndarray"},
               {"M", "cp.ndarray"},
               {"dsize", "Tuple[int, int]"},
               {"flags", "Union[int, np.integer]", global_("INTER_LINEAR")},
               {"border_mode", "Union[int, np.integer]", global_("BORDER_CONSTANT")},
               {"border_value", "Union[float, Sequence[float]]", 0},
               {"dst", "Optional[cp.ndarray]", None}},
    .returns = "cp.ndarray",
    .doc = "\n"
           "    Warp an image or a batch by a 3 x 3 projective matrix, as cv2.warpPerspective does. Using CUDA.\n"
           "\n"
           "    dst(x, y) = src(M^-1 (x, y, 1)) after the division by the third coordinate;\n"
           "    where that is zero or negative the pixel lies outside the source. Reductions\n"
           "    are antialiased from the local stretch of the map at each pixel.\n"
           "\n"
           "    Parameters\n"
           "    ----------\n"
           "    src : cp.ndarray\n"
           "        (H, W), (H, W, C) or a batch (N, H, W, C); C from 1 to 4; uint8, uint16,\n"
           "        float16 or float32.\n"
           "    M : Union[np.ndarray, cp.ndarray]\n"
           "        The 3 x 3 forward matrix (source to destination), or (N, 3, 3), one per image.\n"
           "    dsize : Tuple[int, int]\n"
           "        (width, height) of the destination; (0, 0) keeps the source's size.\n"
           "    flags : int\n"
           "        An INTER_* filter, | WARP_INVERSE_MAP when M maps destination to source.\n"
           "    border_mode : int\n"
           "        One of the BORDER_* modes, applied to every tap of the filter.\n"
           "    border_value : Union[float, Sequence[float]]\n"
           "        The fill of BORDER_CONSTANT: one value for every channel, or one per channel.\n"
           "    dst : Optional[cp.ndarray]\n"
           "        The output array, written in place; BORDER_TRANSPARENT requires it.\n"
           "\n"
           "    Returns\n"
           "    -------\n"
           "    cp.ndarray\n"
           "        dst, or a new array: src's element type and channels, height x width.\n"
           "    ",
    .locals = "",
});

// ----- module body ------------------------------------------------------------

void body(Body& b) {
  b.step(L::import_numbers);
  b.import("numbers");
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
  b.set("WARP_INVERSE_MAP", integer(kInverseMap));
  b.step(L::import_batched);
  b.from_import(".resampling._batched", {"warp_list"});
  b.def(warp_affine_def);
  b.def(warp_perspective_def);
}

}  // namespace

ZEMVARA_MODULE(warp, transform, body, "TypeError", "ValueError", "tuple", "bool", "repr", "min", "max")
