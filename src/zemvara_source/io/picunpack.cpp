// zemvara.io.picunpack: decodes an encoded image held in bytes into a GPU array of the requested element type.
#include "zemvara/frame.hpp"

// Line numbers below are those of the module's source as Python would number
// it: the imports on lines 1 to 6, `def picunpack` on line 9, its docstring
// on lines 10 to 19 and its statements from line 20. Each marks the
// statement that a traceback entry points at.

namespace {

using namespace zv;

// Decoding, on the host by OpenCV, then one copy to the device:
// 1. View the bytes as a one-dimensional uint8 array (no copy).
// 2. Decode it unchanged: stored channel count (alpha included), stored
//    depth, colour in blue-green-red order.
// 3. A decoder that returns None could not decode the data.
// 4. Copy the decoded image to the device.
// 5. swap_rb: red-green-blue, swapped in the decoded element type.
// 6. Convert the element type by dtype; a name that is none of the four
//    gives float32, as the default does.
// 7. Return the converted image.
Object picunpack(Call& c, Handle src, Handle dtype, Handle swap_rb) {
  c.step(20);  // 1
  Object np = g("np");
  Object image = np.attr("frombuffer")(src, np.attr("uint8"));
  c.step(21);  // 2
  Object cv2 = g("cv2");
  image = cv2.attr("imdecode")(image, cv2.attr("IMREAD_UNCHANGED"));
  c.step(22);  // 3
  if (image.is_none()) {
    c.step(23);
    raise_(builtin("RuntimeError"), "Failed to decode image from bytes");
  }
  c.step(24);  // 4
  image = g("cp").attr("asarray")(image);
  c.step(25);  // 5
  if (truth(swap_rb)) {
    c.step(26);
    image = g("bgr_to_rgb")(image);
  }
  c.step(27);  // 6
  if (eq(dtype, "fp32")) {
    c.step(28);
    image = g("to_float32")(image);
  } else {
    c.step(29);
    if (eq(dtype, "uint8")) {
      c.step(30);
      image = g("to_uint8")(image);
    } else {
      c.step(31);
      if (eq(dtype, "uint16")) {
        c.step(32);
        image = g("to_uint16")(image);
      } else {
        c.step(33);
        if (eq(dtype, "fp16")) {
          c.step(34);
          image = g("to_float16")(image);
        } else {
          c.step(36);
          image = g("to_float32")(image);
        }
      }
    }
  }
  c.step(37);  // 7
  return image;
}

constexpr Param picunpack_params[] = {
    {"src", "bytes", Check::bytes},
    {"dtype", "str", Check::str},
    {"swap_rb", "bool", Check::none},
};
constexpr const char* picunpack_locals[] = {"image"};
constexpr FunctionSpec picunpack_spec = function<picunpack>(
    "picunpack", 9, picunpack_params, 1, "cp.ndarray", picunpack_locals,
    "\n"
    "    Decode an image from a bytes object into a CuPy array.\n"
    "\n"
    "    Args:\n"
    "        src (bytes): The input image data as bytes.\n"
    "        dtype (str): The desired data type for the output array. Default is \"fp32\".\n"
    "        swap_rb (bool): If True, the image will be converted from BGR to RGB after decoding. "
    "Default is False (BGR).\n"
    "    Returns:\n"
    "        cp.ndarray: The image as a CuPy array.\n"
    "    ");

// ----- module body ----------------------------------------------------------

void body(Body& b) {
  b.step(1);
  b.import("cupy", "cp");
  b.step(2);
  b.import("cv2");
  b.step(3);
  b.import("numpy", "np");
  b.step(5);
  b.from_import("..color.bgr", {"bgr_to_rgb"});
  b.step(6);
  b.from_import("..utils.dtypes", {"to_float16", "to_float32", "to_uint8", "to_uint16"});
  b.step(9);
  b.def(picunpack_spec, tuple("fp32", py_false()));
}

constexpr const char* builtins[] = {"RuntimeError"};

constexpr ModuleSpec picunpack_module = module_spec(
    "picunpack", "zemvara.io.picunpack", "src/zemvara_source/io/picunpack", builtins, body);

}  // namespace

PyMODINIT_FUNC PyInit_picunpack() { return zv::module_init(picunpack_module); }
