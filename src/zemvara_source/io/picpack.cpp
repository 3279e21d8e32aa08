// zemvara.io.picpack: encodes one GPU image into the bytes of a JPEG, PNG or TIFF file.
#include "io/opencv_options.hpp"
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
constexpr Line import_bgr{5};       // from ..color.bgr import rgb_to_bgr
constexpr Line import_dtypes{6};    // from ..utils.dtypes import to_uint8, to_uint16
constexpr Line def_picpack{9};      // def picpack(image: cp.ndarray, ext: str = ".png", param: int = -1, swap_rb: bool = False) -> bytes:
constexpr Line swap_test{21};       //     if swap_rb:
constexpr Line swap{22};            //         image = rgb_to_bgr(image)
constexpr Line to_host{23};         //     image = cp.asnumpy(image)
constexpr Line jpeg_test{25};       //     if "jpg" in ext.lower() or "jpeg" in ext.lower():
constexpr io::OptionLines jpeg = {
    .param_test = {26},             //         if param == -1:
    .param_default = {27},          //             param = 100
    .depth_test = {28},             //         (none: JPEG always converts)
    .convert = {28},                //         image = to_uint8(image)
    .options = {29},                //         options = [cv2.IMWRITE_JPEG_QUALITY, param]
};
constexpr Line png_test{30};        //     elif "png" in ext.lower():
constexpr io::OptionLines png = {
    .param_test = {31},             //         if param == -1:
    .param_default = {32},          //             param = 3
    .depth_test = {33},             //         if image.dtype != np.uint8:
    .convert = {34},                //             image = to_uint16(image)
    .options = {35},                //         options = [cv2.IMWRITE_PNG_COMPRESSION, param]
};
constexpr Line tiff_test{36};       //     elif "tiff" in ext.lower() or "tif" in ext.lower():
constexpr io::OptionLines tiff = {
    .param_test = {37},             //         if param == -1:
    .param_default = {38},          //             param = 5
    .depth_test = {39},             //         if image.dtype != np.uint8:
    .convert = {40},                //             image = to_uint16(image)
    .options = {41},                //         options = [cv2.IMWRITE_TIFF_COMPRESSION, param]
};
constexpr Line unsupported{43};     //     else: raise ValueError("Unsupported image format: " + ext)
constexpr Line imencode{45};        //     success, encoded_image = cv2.imencode("." + ext.lower(), image, options)
constexpr Line success_test{46};    //     if not success:
constexpr Line encode_raise{47};    //         raise RuntimeError("Failed to encode image to " + ext + " format")
constexpr Line return_bytes{48};    //     return encoded_image.tobytes()
}  // namespace L

// `text in ext.lower()`, with ext lowered afresh for each test as the source does.
bool ext_names(Handle ext, const Arg& text) { return contains(ext.attr("lower")(), text); }

// Encoding, on the host by OpenCV:
// 1. swap_rb: the red-green-blue image becomes blue-green-red on the device.
// 2. One copy to the host. An image of other than two or three dimensions
//    is refused there (OpenCV encodes some into bytes that decode to nothing).
// 3. The family by substring of the lower-cased ext, first match winning:
//    "jpg"/"jpeg" JPEG, "png" PNG, "tiff"/"tif" TIFF, each with its option
//    and conversion; anything else is refused (after steps 1 and 2 ran).
// 4. Encode with the extension "." + ext.lower(); OpenCV reads only the text
//    after the last dot, so ".png" (passed as "..png") and "png" agree. Text
//    other than ASCII goes as its UTF-8 bytes, lone surrogates included:
//    OpenCV reads a str as UTF-8 and crashes the process on one that has no
//    UTF-8 form.
// 5. A failed encoding raises.
// 6. Return the encoded file as bytes (checked as bytes on the way out).
Object picpack(Call& c, Handle image_arg, Handle ext, Handle param_arg, Handle swap_rb) {
  Object image(image_arg), param(param_arg);
  c.step(L::swap_test);  // 1
  if (truth(swap_rb)) {
    c.step(L::swap);
    image = g("rgb_to_bgr")(image);
  }
  c.step(L::to_host);  // 2
  image = g("cp").attr("asnumpy")(image);
  io::require_picture_shape(image);
  Object options;
  c.step(L::jpeg_test);  // 3
  if (ext_names(ext, "jpg") || ext_names(ext, "jpeg")) {
    options = io::prepare_for_opencv(c, io::Format::jpeg, image, param, L::jpeg);
  } else {
    c.step(L::png_test);
    if (ext_names(ext, "png")) {
      options = io::prepare_for_opencv(c, io::Format::png, image, param, L::png);
    } else {
      c.step(L::tiff_test);
      if (ext_names(ext, "tiff") || ext_names(ext, "tif")) {
        options = io::prepare_for_opencv(c, io::Format::tiff, image, param, L::tiff);
      } else {
        c.step(L::unsupported);
        raise_(builtin("ValueError"), cat({"Unsupported image format: ", ext}));
      }
    }
  }
  c.step(L::imencode);  // 4
  Object encode = g("cv2").attr("imencode");
  Object success, encoded_image;
  Object extension = cat({".", ext.attr("lower")()});
  if (!truth(extension.attr("isascii")())) extension = extension.attr("encode")("utf-8", "surrogatepass");
  unpack(encode(extension, image, options), success, encoded_image);
  c.step(L::success_test);  // 5
  if (!truth(success)) {
    c.step(L::encode_raise);
    raise_(builtin("RuntimeError"), cat({"Failed to encode image to ", ext, " format"}));
  }
  c.step(L::return_bytes);  // 6
  return encoded_image.attr("tobytes")();
}

constexpr FunctionSpec picpack_def = def<picpack>({
    .name = "picpack",
    .line = L::def_picpack,
    .params = {{"image", "cp.ndarray"}, {"ext", "str", ".png"}, {"param", "int", -1}, {"swap_rb", "bool", false}},
    .returns = "bytes",
    .doc =
        "\n"
        "    Encode an image to a bytes object from a CuPy array.\n"
        "\n"
        "    Args:\n"
        "        image (cp.ndarray): The input image as a CuPy array.\n"
        "        format (str): The image format to encode. Default is \"png\".\n"
        "        param (int): Optional parameter for image encoding.\n"
        "        swap_rb (bool): If True, the image will be encoded with red and blue channels swapped. "
        "Default is False.\n"
        "    Returns:\n"
        "        bytes: The encoded image as bytes.\n"
        "    ",
    .locals = "options success encoded_image",
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
  b.from_import("..color.bgr", {"rgb_to_bgr"});
  b.step(L::import_dtypes);
  b.from_import("..utils.dtypes", {"to_uint8", "to_uint16"});
  b.def(picpack_def);
}

}  // namespace

ZEMVARA_MODULE(picpack, io, body, "ValueError", "RuntimeError")
