// zemvara.transform.affine: warps a GPU image by a 2 x 3 affine matrix with one of ten resampling filters.
#include "transform/launch.hpp"
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at.
namespace L {
constexpr Line import_cupy{1};          // import cupy as cp
constexpr Line import_numpy{2};         // import numpy as np
constexpr Line import_call{3};          // from .resampling._affine import affine_call, auto_interpolation
constexpr Line import_area{4};          // from .resampling.area import area_affine_kernel
constexpr Line import_bicubic{5};       // from .resampling.bicubic import bicubic_affine_kernel
constexpr Line import_bilinear{6};      // from .resampling.bilinear import bilinear_affine_kernel
constexpr Line import_lanczos{7};       // from .resampling.lanczos import lanczos_affine_kernel
constexpr Line import_mitchell{8};      // from .resampling.mitchell import mitchell_affine_kernel
constexpr Line import_nearest{9};       // from .resampling.nearest import nearest_affine_kernel
constexpr Line import_schema{10};       // from .schema import (INTER_AREA, ..., INTER_NEAREST)  (to line 22)
constexpr Line def_affine_transform{25};  // def affine_transform(src: cp.ndarray, M: cp.ndarray, dsize: tuple, flags: int = INTER_AUTO) -> cp.ndarray:
constexpr Line cut_test{43};            //     if M.shape[0] == 3:
constexpr Line cut{44};                 //         M = M[:2, :]
constexpr Line auto_test{46};           //     if flags == INTER_AUTO:
constexpr Line scale_x{47};             //         scale_x = cp.sqrt(M[0, 0] ** 2 + M[1, 0] ** 2)
constexpr Line scale_y{48};             //         scale_y = cp.sqrt(M[0, 1] ** 2 + M[1, 1] ** 2)
constexpr Line scale_test{49};          //         if scale_x > 1.0 or scale_y > 1.0:
constexpr Line enlarging{50};           //             interpolation = INTER_MITCHELL
constexpr Line reducing{52};            //         else: interpolation = INTER_AREA
constexpr Line given{54};               //     else: interpolation = flags
constexpr Line unpack_dsize{56};        //     dst_h, dst_w = dsize
constexpr Line zeros{57};               //     output_image = cp.zeros((dst_h, dst_w, 3), dtype=cp.float32)
constexpr Line block{59};               //     block = (16, 16, 1)
constexpr Line grid{60};                //     grid = ((dst_w + block[0] - 1) // block[0], (dst_h + block[1] - 1) // block[1])
constexpr Line inverse{62};             //     inv_M = get_inverse_matrix(M)
constexpr Line flatten{63};             //     inv_M_flat = cp.asarray(inv_M, dtype=cp.float32).ravel()
constexpr Line linear_test{65};         //     if interpolation == INTER_LINEAR:
constexpr Line linear{66};              //         bilinear_affine_kernel(grid, block, (src, output_image, inv_M_flat, src.shape[0], src.shape[1], dst_h, dst_w))
constexpr Line nearest_test{67};        //     elif interpolation == INTER_NEAREST:
constexpr Line nearest{68};             //         nearest_affine_kernel(grid, block, (...))
constexpr Line area_test{69};           //     elif interpolation == INTER_AREA:
constexpr Line area{70};                //         area_affine_kernel(grid, block, (...))
constexpr Line cubic_test{71};          //     elif interpolation == INTER_CUBIC:
constexpr Line cubic{72};               //         bicubic_affine_kernel(grid, block, (...))
constexpr Line mitchell_test{73};       //     elif interpolation == INTER_MITCHELL:
constexpr Line mitchell_b{74};          //         B = cp.float32(1 / 3)
constexpr Line mitchell_c{75};          //         C = cp.float32(1 / 3)
constexpr Line mitchell{76};            //         mitchell_affine_kernel(grid, block, (..., B, C))
constexpr Line catmull_rom_test{77};    //     elif interpolation == INTER_CATMULL_ROM:
constexpr Line catmull_rom_b{78};       //         B = cp.float32(0)
constexpr Line catmull_rom_c{79};       //         C = cp.float32(0.5)
constexpr Line catmull_rom{80};         //         mitchell_affine_kernel(grid, block, (..., B, C))
constexpr Line b_spline_test{81};       //     elif interpolation == INTER_B_SPLINE:
constexpr Line b_spline_b{82};          //         B = cp.float32(1)
constexpr Line b_spline_c{83};          //         C = cp.float32(0)
constexpr Line b_spline{84};            //         mitchell_affine_kernel(grid, block, (..., B, C))
constexpr Line lanczos2_test{85};       //     elif interpolation == INTER_LANCZOS2:
constexpr Line lanczos2_a{86};          //         A = 2
constexpr Line lanczos2{87};            //         lanczos_affine_kernel(grid, block, (..., A))
constexpr Line lanczos3_test{88};       //     elif interpolation == INTER_LANCZOS3:
constexpr Line lanczos3_a{89};          //         A = 3
constexpr Line lanczos3{90};            //         lanczos_affine_kernel(grid, block, (..., A))
constexpr Line lanczos4_test{91};       //     elif interpolation == INTER_LANCZOS4:
constexpr Line lanczos4_a{92};          //         A = 4
constexpr Line lanczos4{93};            //         lanczos_affine_kernel(grid, block, (..., A))
constexpr Line table{94};               //     elif (call := affine_call(interpolation)) is not None: call[0](grid, block, (...) + call[1])
constexpr Line unsupported{95};         //     else: raise ValueError(f"Unsupported interpolation: {interpolation}")
constexpr Line return_output{97};       //     return output_image
constexpr Line def_get_inverse_matrix{106};  // def get_inverse_matrix(M: cp.ndarray) -> cp.ndarray:
constexpr Line inv_cut_test{120};       //     if M.shape[0] == 3:
constexpr Line inv_cut{121};            //         M = M[:2, :]
constexpr Line numpy_test{122};         //     if isinstance(M, np.ndarray):
constexpr Line numpy_3x3{123};          //         M_3x3 = np.concatenate([M, np.array([[0, 0, 1]], dtype=M.dtype)], axis=0)
constexpr Line numpy_inv{124};          //         inverse_M = np.linalg.inv(M_3x3)
constexpr Line cupy_test{125};          //     elif isinstance(M, cp.ndarray):
constexpr Line cupy_3x3{126};           //         M_3x3 = cp.concatenate([M, cp.array([[0, 0, 1]], dtype=M.dtype)], axis=0)
constexpr Line cupy_inv{127};           //         inverse_M = cp.linalg.inv(M_3x3)
constexpr Line unsupported_type{129};   //     else: raise ValueError(f"Unsupported type: {type(M)}")
constexpr Line return_inverse{130};     //     return inverse_M[:2, :]
}  // namespace L

// M[:2, :]: the first two rows of a matrix.
Object first_two_rows(Handle M) { return M[tuple(slice(none(), integer(2), none()), full_slice())]; }

// ----- affine_transform -------------------------------------------------------

// The tallest output one launch covers: a grid has at most 65535 blocks along
// y, each 16 rows high.
constexpr long long kMaxOutputHeight = 65535LL * 16;

// Warp dispatch: this function prepares, one kernel samples.
// 1. A 3 x 3 matrix loses its last row.
// 2. The filter. For INTER_AUTO: Mitchell when the matrix enlarges along
//    either source axis (the image of that axis, a column of the 2 x 2
//    block, is longer than 1), area otherwise, so exactly 1 (the identity, a
//    translation, a mirror) is area. Any other flag is the filter itself.
// 3. dsize is (height, width): exactly two items, used as given. A height
//    beyond what one launch's grid can cover (65535 block rows of 16) is
//    refused before anything is allocated.
// 4. The output: float32 (dst_h, dst_w, 3), zero-filled, so pixels the
//    kernel finds outside the source stay zero.
// 5. 16 x 16 threads per block over a grid that covers the output, x along
//    the width.
// 6. The inverse (destination to source) in the matrix's own precision, on
//    the matrix's side, then six float32 values on the device, row-major.
// 7. One launch of the filter's kernel with the seven common arguments; the
//    Mitchell-Netravali family adds its B and C, Lanczos its window A. A
//    filter of the table that the chain does not name launches its family's
//    kernel with its row's arguments (affine_call, the table lookup). An
//    unknown filter is refused only now, after the allocation and the
//    inverse.
// 8. The output, without waiting for the kernel.
Object affine_transform(Call& c, Handle src, Handle M_arg, Handle dsize, Handle flags) {
  Object M(M_arg), interpolation, dst_h, dst_w;
  c.step(L::cut_test);  // 1
  if (eq(M.attr("shape")[0], 3)) {
    c.step(L::cut);
    M = first_two_rows(M);
  }
  c.step(L::auto_test);  // 2
  if (eq(flags, g("INTER_AUTO"))) {
    c.step(L::scale_x);
    Object scale_x = g("cp").attr("sqrt")(add(power(M[tuple(0, 0)], 2), power(M[tuple(1, 0)], 2)));
    c.step(L::scale_y);
    Object scale_y = g("cp").attr("sqrt")(add(power(M[tuple(0, 1)], 2), power(M[tuple(1, 1)], 2)));
    c.step(L::scale_test);
    const bool enlarges = gt(scale_x, floating(1.0)) || gt(scale_y, floating(1.0));
    c.step(enlarges ? L::enlarging : L::reducing);
    interpolation = g("auto_interpolation")(enlarges ? py_true() : py_false());
  } else {
    c.step(L::given);
    interpolation = Object(flags);
  }
  c.step(L::unpack_dsize);  // 3
  unpack(dsize, dst_h, dst_w);
  if (gt(dst_h, kMaxOutputHeight))
    raise_(builtin("ValueError"), cat({"Output height ", dst_h, " exceeds the launch limit of ",
                                       integer(kMaxOutputHeight), " rows (65535 blocks of 16)"}));
  c.step(L::zeros);  // 4
  Object cp = g("cp");
  Object output_image = cp.attr("zeros")(tuple(dst_h, dst_w, 3), kw("dtype", cp.attr("float32")));
  c.step(L::block);  // 5
  Object block = tuple(16, 16, 1);
  c.step(L::grid);
  Object grid = tuple(floordiv(sub(add(dst_w, block[0]), 1), block[0]),
                      floordiv(sub(add(dst_h, block[1]), 1), block[1]));
  c.step(L::inverse);  // 6
  Object inv_M = g("get_inverse_matrix")(M);
  c.step(L::flatten);
  cp = g("cp");
  Object inv_M_flat = cp.attr("asarray")(inv_M, kw("dtype", cp.attr("float32"))).attr("ravel")();

  // 7: kernel(grid, block, (src, output_image, inv_M_flat, src.shape[0],
  // src.shape[1], dst_h, dst_w[, B, C | , A])), looked up when launched. The
  // shape is read once, and for a CuPy array through cp.ndarray's own field,
  // so the sizes passed are those of the memory the kernel reads.
  auto launch = [&](Name kernel, auto... extra) {
    Object shape = is_instance(src, g("cp").attr("ndarray")) ? transform::own_field(src, "shape") : src.attr("shape");
    g(kernel)(grid, block, tuple(src, output_image, inv_M_flat, shape[0], shape[1], dst_h, dst_w, extra...));
  };
  // cp.float32(value), with the library looked up at the statement.
  auto float32 = [](const Arg& value) { return g("cp").attr("float32")(value); };
  // `interpolation == <constant>`, one test of the elif chain.
  auto is = [&](Line test, Name constant) {
    c.step(test);
    return eq(interpolation, g(constant));
  };
  Object B, C, A, call;
  if (is(L::linear_test, "INTER_LINEAR")) {
    c.step(L::linear);
    launch("bilinear_affine_kernel");
  } else if (is(L::nearest_test, "INTER_NEAREST")) {
    c.step(L::nearest);
    launch("nearest_affine_kernel");
  } else if (is(L::area_test, "INTER_AREA")) {
    c.step(L::area);
    launch("area_affine_kernel");
  } else if (is(L::cubic_test, "INTER_CUBIC")) {
    c.step(L::cubic);
    launch("bicubic_affine_kernel");
  } else if (is(L::mitchell_test, "INTER_MITCHELL")) {
    c.step(L::mitchell_b);
    B = float32(truediv(1, 3));
    c.step(L::mitchell_c);
    C = float32(truediv(1, 3));
    c.step(L::mitchell);
    launch("mitchell_affine_kernel", B, C);
  } else if (is(L::catmull_rom_test, "INTER_CATMULL_ROM")) {
    c.step(L::catmull_rom_b);
    B = float32(0);
    c.step(L::catmull_rom_c);
    C = float32(floating(0.5));
    c.step(L::catmull_rom);
    launch("mitchell_affine_kernel", B, C);
  } else if (is(L::b_spline_test, "INTER_B_SPLINE")) {
    c.step(L::b_spline_b);
    B = float32(1);
    c.step(L::b_spline_c);
    C = float32(0);
    c.step(L::b_spline);
    launch("mitchell_affine_kernel", B, C);
  } else if (is(L::lanczos2_test, "INTER_LANCZOS2")) {
    c.step(L::lanczos2_a);
    A = integer(2);
    c.step(L::lanczos2);
    launch("lanczos_affine_kernel", A);
  } else if (is(L::lanczos3_test, "INTER_LANCZOS3")) {
    c.step(L::lanczos3_a);
    A = integer(3);
    c.step(L::lanczos3);
    launch("lanczos_affine_kernel", A);
  } else if (is(L::lanczos4_test, "INTER_LANCZOS4")) {
    c.step(L::lanczos4_a);
    A = integer(4);
    c.step(L::lanczos4);
    launch("lanczos_affine_kernel", A);
  } else if (c.step(L::table), !(call = g("affine_call")(interpolation)).is_none()) {
    Object kernel, extra;
    unpack(call, kernel, extra);
    Object shape = is_instance(src, g("cp").attr("ndarray")) ? transform::own_field(src, "shape") : src.attr("shape");
    kernel(grid, block, add(tuple(src, output_image, inv_M_flat, shape[0], shape[1], dst_h, dst_w), extra));
  } else {
    c.step(L::unsupported);
    raise_(builtin("ValueError"), cat({"Unsupported interpolation: ", interpolation}));
  }
  c.step(L::return_output);  // 8
  return output_image;
}

constexpr FunctionSpec affine_transform_def = def<affine_transform>({
    .name = "affine_transform",
    .line = L::def_affine_transform,
    .params = {{"src", "cp.ndarray"}, {"M", "cp.ndarray"}, {"dsize", "tuple"}, {"flags", "int", global_("INTER_AUTO")}},
    .returns = "cp.ndarray",
    .doc = "\n"
           "    Apply an affine transformation to the input image. Using CUDA.\n"
           "\n"
           "    Parameters\n"
           "    ----------\n"
           "    src : cp.ndarray\n"
           "        The image in BGR format.\n"
           "    M : cp.ndarray\n"
           "        The transformation matrix. The input matrix. 2 x 3.\n"
           "    dst_shape : cp.ndarray\n"
           "        The shape of the destination image (height, width, channels).\n"
           "\n"
           "    Returns\n"
           "    -------\n"
           "    cp.ndarray\n"
           "        The transformed image in BGR format.\n"
           "    ",
    .locals = "scale_x scale_y interpolation dst_h dst_w output_image block grid inv_M inv_M_flat B C A call",
});

// ----- get_inverse_matrix -----------------------------------------------------

// The inverse of a forward affine matrix, on the side (host or device) where
// the matrix lives:
// 1. A 3 x 3 matrix loses its last row, whatever it holds.
// 2. NumPy: append the row (0, 0, 1) in the matrix's element type and invert
//    the 3 x 3 matrix on the host.
// 3. CuPy: the same on the device.
// 4. Any other array type is refused (one without `shape` already failed in 1).
// 5. The first two rows of the inverse, a view.
Object get_inverse_matrix(Call& c, Handle M_arg) {
  Object M(M_arg), M_3x3, inverse_M;
  // [[0, 0, 1]]
  auto bottom_row = [] {
    List row, rows;
    row.append(integer(0));
    row.append(integer(0));
    row.append(integer(1));
    rows.append(row);
    return rows;
  };
  // [M, <library>.array([[0, 0, 1]], dtype=M.dtype)]
  auto stacked = [&](Handle library) {
    List parts;
    parts.append(M);
    parts.append(library.attr("array")(bottom_row(), kw("dtype", M.attr("dtype"))));
    return parts;
  };
  c.step(L::inv_cut_test);  // 1
  if (eq(M.attr("shape")[0], 3)) {
    c.step(L::inv_cut);
    M = first_two_rows(M);
  }
  c.step(L::numpy_test);  // 2
  if (is_instance(M, g("np").attr("ndarray"))) {
    c.step(L::numpy_3x3);
    Object np = g("np");
    M_3x3 = np.attr("concatenate")(stacked(np), kw("axis", 0));
    c.step(L::numpy_inv);
    inverse_M = g("np").attr("linalg").attr("inv")(M_3x3);
  } else {
    c.step(L::cupy_test);  // 3
    if (is_instance(M, g("cp").attr("ndarray"))) {
      c.step(L::cupy_3x3);
      Object cp = g("cp");
      M_3x3 = cp.attr("concatenate")(stacked(cp), kw("axis", 0));
      c.step(L::cupy_inv);
      inverse_M = g("cp").attr("linalg").attr("inv")(M_3x3);
    } else {
      c.step(L::unsupported_type);  // 4
      raise_(builtin("ValueError"), cat({"Unsupported type: ", Handle(reinterpret_cast<PyObject*>(M.type()))}));
    }
  }
  c.step(L::return_inverse);  // 5
  return first_two_rows(inverse_M);
}

constexpr FunctionSpec get_inverse_matrix_def = def<get_inverse_matrix>({
    .name = "get_inverse_matrix",
    .line = L::def_get_inverse_matrix,
    .params = {{"M", "cp.ndarray"}},
    .returns = "cp.ndarray",
    .doc = "\n"
           "    Get the inverse of the affine matrix.\n"
           "\n"
           "    Parameters\n"
           "    ----------\n"
           "    M : Union[np.ndarray, cp.ndarray]\n"
           "        The input matrix. 2 x 3.\n"
           "\n"
           "    Returns\n"
           "    -------\n"
           "    Union[np.ndarray, cp.ndarray]\n"
           "        The inverse matrix. 2 x 3.\n"
           "    ",
    .locals = "M_3x3 inverse_M",
});

// ----- module body ------------------------------------------------------------

void body(Body& b) {
  b.step(L::import_cupy);
  b.import("cupy", "cp");
  b.step(L::import_numpy);
  b.import("numpy", "np");
  b.step(L::import_call);
  b.from_import(".resampling._affine", {"affine_call", "auto_interpolation"});
  b.step(L::import_area);
  b.from_import(".resampling.area", {"area_affine_kernel"});
  b.step(L::import_bicubic);
  b.from_import(".resampling.bicubic", {"bicubic_affine_kernel"});
  b.step(L::import_bilinear);
  b.from_import(".resampling.bilinear", {"bilinear_affine_kernel"});
  b.step(L::import_lanczos);
  b.from_import(".resampling.lanczos", {"lanczos_affine_kernel"});
  b.step(L::import_mitchell);
  b.from_import(".resampling.mitchell", {"mitchell_affine_kernel"});
  b.step(L::import_nearest);
  b.from_import(".resampling.nearest", {"nearest_affine_kernel"});
  b.step(L::import_schema);
  b.from_import(".schema", {"INTER_AREA", "INTER_AUTO", "INTER_B_SPLINE", "INTER_CATMULL_ROM", "INTER_CUBIC",
                            "INTER_LANCZOS2", "INTER_LANCZOS3", "INTER_LANCZOS4", "INTER_LINEAR", "INTER_MITCHELL",
                            "INTER_NEAREST"});
  b.def(affine_transform_def);  // flags defaults to INTER_AUTO as it is now, checked as an int
  b.def(get_inverse_matrix_def);
}

}  // namespace

ZEMVARA_MODULE(affine, transform, body, "ValueError")
