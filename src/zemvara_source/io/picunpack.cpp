// zemvara.io.picunpack: decodes an encoded image held in bytes into a GPU array of the requested element type.
#include "io/element_type.hpp"
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at.
namespace L {
constexpr Line import_cupy{1};      // import cupy as cp
constexpr Line import_cv2{2};       // import cv2
constexpr Line import_numpy{3};     // import numpy as np
constexpr Line import_bgr{5};       // from ..color.bgr import bgr_to_rgb
constexpr Line import_dtypes{6};    // from ..utils.dtypes import to_float16, to_float32, to_uint8, to_uint16
constexpr Line def_picunpack{9};    // def picunpack(src: bytes, dtype: str = "fp32", swap_rb: bool = False) -> cp.ndarray:
constexpr Line frombuffer{20};      //     image = np.frombuffer(src, np.uint8)
constexpr Line imdecode{21};        //     image = cv2.imdecode(image, cv2.IMREAD_UNCHANGED)
constexpr Line decoded_test{22};    //     if image is None:
constexpr Line decoded_raise{23};   //         raise RuntimeError("Failed to decode image from bytes")
constexpr Line to_device{24};       //     image = cp.asarray(image)
constexpr Line swap_test{25};       //     if swap_rb:
constexpr Line swap{26};            //         image = bgr_to_rgb(image)
constexpr io::ElementTypeLines element_type = {
    .fp32_test = {27},              //     if dtype == "fp32":
    .fp32 = {28},                   //         image = to_float32(image)
    .uint8_test = {29},             //     elif dtype == "uint8":
    .uint8 = {30},                  //         image = to_uint8(image)
    .uint16_test = {31},            //     elif dtype == "uint16":
    .uint16 = {32},                 //         image = to_uint16(image)
    .fp16_test = {33},              //     elif dtype == "fp16":
    .fp16 = {34},                   //         image = to_float16(image)
};
constexpr Line otherwise_float32{36};  //     else: image = to_float32(image)
constexpr Line return_image{37};    //     return image
}  // namespace L

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
  c.step(L::frombuffer);  // 1
  Object np = g("np");
  Object image = np.attr("frombuffer")(src, np.attr("uint8"));
  c.step(L::imdecode);  // 2
  Object cv2 = g("cv2");
  image = cv2.attr("imdecode")(image, cv2.attr("IMREAD_UNCHANGED"));
  c.step(L::decoded_test);  // 3
  if (image.is_none()) {
    c.step(L::decoded_raise);
    raise_(builtin("RuntimeError"), "Failed to decode image from bytes");
  }
  c.step(L::to_device);  // 4
  image = g("cp").attr("asarray")(image);
  c.step(L::swap_test);  // 5
  if (truth(swap_rb)) {
    c.step(L::swap);
    image = g("bgr_to_rgb")(image);
  }
  image = io::convert_element_type(c, std::move(image), dtype, L::element_type,  // 6
                                   io::else_to_float32(L::otherwise_float32));
  c.step(L::return_image);  // 7
  return image;
}

constexpr FunctionSpec picunpack_def = def<picunpack>({
    .name = "picunpack",
    .line = L::def_picunpack,
    .params = {{"src", "bytes"}, {"dtype", "str", "fp32"}, {"swap_rb", "bool", false}},
    .returns = "cp.ndarray",
    .doc =
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
        "    ",
    .locals = "image",
});

// ----- module body ----------------------------------------------------------

void body(Body& b) {
  b.step(L::import_cupy);
  b.import("cupy", "cp");
  b.step(L::import_cv2);
  b.import("cv2");
  b.step(L::import_numpy);
  b.import("numpy", "np");
  b.step(L::import_bgr);
  b.from_import("..color.bgr", {"bgr_to_rgb"});
  b.step(L::import_dtypes);
  b.from_import("..utils.dtypes", {"to_float16", "to_float32", "to_uint8", "to_uint16"});
  b.def(picunpack_def);
}

}  // namespace

ZEMVARA_MODULE(picunpack, io, body, "RuntimeError")
