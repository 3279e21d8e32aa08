// zemvara.io.picstore: writes one GPU or host image (or tensor) to a file, OpenEXR or any format OpenCV writes.
#include "io/file_names.hpp"
#include "io/opencv_options.hpp"
#include "io/whole_file.hpp"
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at.
namespace L {
constexpr Line import_os{1};          // import os
constexpr Line import_cupy{2};        // import cupy as cp
constexpr Line import_cv2{3};         // import cv2
constexpr Line import_imath{4};       // import Imath
constexpr Line import_numpy{5};       // import numpy as np
constexpr Line import_openexr{6};     // import OpenEXR
constexpr Line import_sys{7};         // import sys
constexpr Line import_bgr{9};         // from ..color.bgr import bgr_to_rgb, rgb_to_bgr
constexpr Line import_dlpack{10};     // from ..utils.dlpack import to_numpy
constexpr Line import_dtypes{11};     // from ..utils.dtypes import to_float16, to_uint8, to_uint16
constexpr Line def_picstore{15};      // def picstore(output_path: str, image: cp.ndarray | np.ndarray, param: int = -1, swap_rb: bool = False) -> None:
constexpr Line splitext{16};          //     filename, ext = os.path.splitext(output_path)
constexpr Line device_test{18};       //     if isinstance(image, cp.ndarray):
constexpr Line device_to_host{19};    //         image = to_numpy(image)
constexpr Line tensor_test{20};       //     elif "torch" in sys.modules and isinstance(image, sys.modules["torch"].Tensor):
constexpr Line tensor_to_host{21};    //         image = to_numpy(image)
constexpr Line exr_test{23};          //     if ext == ".exr":
constexpr Line exr_swap_test{24};     //         if not swap_rb:
constexpr Line exr_swap{25};          //             image = bgr_to_rgb(image)
constexpr Line to_half{26};           //         image_rgb = to_float16(image)
constexpr Line header{27};            //         header = {}  (after refusing an image with no pixels)
constexpr Line compression{28};       //         header["compression"] = OpenEXR.DWAA_COMPRESSION
constexpr Line level_test{29};        //         if param == -1:
constexpr Line level_default{30};     //             param = 1
constexpr Line level{31};             //         header["dwaCompressionLevel"] = float(param)
constexpr Line channels{32};          //         channels = {"R": OpenEXR.Channel("R", <plane R>), "G": ..., "B": ...}
                                      //         (lines 39-41 run first: the planes are ready before the file is opened)
constexpr Line output_file{37};       //         output = OpenEXR.File(header, channels)
constexpr Line write_pixels{38};      //         with output: output.write(<the file, in memory>); then the file, whole
constexpr Line pixels_r{39};          //             image_rgb[:, :, 0].astype(np.float16)
constexpr Line pixels_g{40};          //             image_rgb[:, :, 1].astype(np.float16)
constexpr Line pixels_b{41};          //             image_rgb[:, :, 2].astype(np.float16)
constexpr Line opencv_swap_test{44};  //         if swap_rb:
constexpr Line opencv_swap{45};       //             image = rgb_to_bgr(image)
constexpr Line image_bgr{46};         //         image_bgr = image
constexpr Line jpeg_test{47};         //         if ext == ".jpg" or ext == ".jpeg":
constexpr io::OptionLines jpeg = {
    .param_test = {48},               //             if param == -1:
    .param_default = {49},            //                 param = 100
    .depth_test = {50},               //             (none: JPEG always converts)
    .convert = {50},                  //             image_bgr = to_uint8(image_bgr)
    .options = {51},                  //             options = [cv2.IMWRITE_JPEG_QUALITY, param]
};
constexpr Line png_test{52};          //         elif ext == ".png":
constexpr io::OptionLines png = {
    .param_test = {53},               //             if param == -1:
    .param_default = {54},            //                 param = 3
    .depth_test = {55},               //             if image_bgr.dtype != np.uint8:
    .convert = {56},                  //                 image_bgr = to_uint16(image_bgr)
    .options = {57},                  //             options = [cv2.IMWRITE_PNG_COMPRESSION, param]
};
constexpr Line tiff_test{58};         //         elif ext == ".tif" or ext == ".tiff":
constexpr io::OptionLines tiff = {
    .param_test = {59},               //             if param == -1:
    .param_default = {60},            //                 param = 5
    .depth_test = {61},               //             if image_bgr.dtype != np.uint8:
    .convert = {62},                  //                 image_bgr = to_uint16(image_bgr)
    .options = {63},                  //             options = [cv2.IMWRITE_TIFF_COMPRESSION, param]
};
constexpr Line no_options{65};        //         else: options = []
constexpr Line imwrite{66};           //         ok, encoded = cv2.imencode(<extension>, image_bgr, options); then the file, whole
constexpr Line imwrite_raise{67};     //             raise RuntimeError("Failed to write image to " + output_path)
}  // namespace L


// One channel's samples, image_rgb[:, :, c], as a contiguous (height, width)
// half-float plane.
Object half_plane(Handle image_rgb, int channel) {
  Object plane = image_rgb[tuple(full_slice(), full_slice(), channel)];
  return plane.attr("astype")(g("np").attr("float16"));
}

// The extension OpenCV chooses its writer by, as cv2.imwrite would for this
// path: the text from the path's last dot on, of which OpenCV reads the
// letters and digits up to the first other character. A dot in a folder's
// name counts too: "shots.png/a" is written as a PNG, "shots.v2/a" finds no
// writer (cv2.error), as with cv2.imwrite. Passed as opencv_name() gives it.
Object opencv_extension(Handle output_path) {
  Object dot = output_path.attr("rfind")(".");
  if (lt(dot, 0)) return string("");
  return io::opencv_name(output_path[slice(dot, none(), none())]);
}

// Writing a file:
// 1. The extension, exactly as os.path.splitext gives it, chooses the
//    writer (case-sensitive: ".PNG" is not ".png"). A path holding a NUL is
//    refused first.
// 2. CuPy arrays and PyTorch tensors (looked for only once PyTorch is
//    imported) come to the host through to_numpy; what is then not a NumPy
//    array is refused (OpenCV would fail on it with SystemError or worse),
//    and so is an array of other than two or three dimensions (OpenCV writes
//    TIFF and BMP files of them that nothing reads).
// 3. ".exr": OpenEXR, red-green-blue half floats (the image is taken as
//    blue-green-red unless swap_rb), DWAA compression at level param (1 by
//    default); channels beyond the third are not written. Bad input is
//    refused before any file is touched: an image with no pixels (the
//    bindings abort the process on a side of 0) or without three channels
//    (the IndexError of the indexing).
//    OpenEXR.File encodes (the older OutputFile leaks on every call), into
//    memory: the bindings ignore some errors on the final flush of a file,
//    and name the file they write in their errors. A failed encoding raises
//    RuntimeError naming output_path, chained from the bindings' error.
// 4. Any other extension: OpenCV, blue-green-red (swapped from red-green-blue
//    when swap_rb), with the option and conversion of its format (JPEG, PNG,
//    TIFF) or none. OpenCV encodes in memory (cv2.imwrite would drop write
//    errors on the final flush and close); an encoding it reports as failed
//    raises RuntimeError; the bytes are written with every write checked.
// Both writers write the encoded bytes through a WholeFile: the path (or the
// file a symbolic link at it names, created if missing) receives the complete
// file in one rename, or keeps what it held (no partial file, no temporary
// left). Every failure of the file system raises OSError naming output_path.
// 5. Return None.
Object picstore(Call& c, Handle output_path, Handle image_arg, Handle param_arg, Handle swap_rb) {
  Object image(image_arg), param(param_arg);
  c.step(L::splitext);  // 1
  // A path with a NUL in it is refused, as the interpreter's own file
  // functions refuse it: the libraries would cut the path at the NUL and
  // write to another file than the one named.
  if (contains(output_path, "\0")) raise_(builtin("ValueError"), "embedded null byte");
  Object filename, ext;
  unpack(g("os").attr("path").attr("splitext")(output_path), filename, ext);
  c.step(L::device_test);  // 2
  if (is_instance(image, g("cp").attr("ndarray"))) {
    c.step(L::device_to_host);
    image = g("to_numpy")(image);
  } else {
    c.step(L::tensor_test);
    // A tensor exists only once PyTorch is imported: the module does not
    // import it (seconds and hundreds of MB) for a writer that never sees one.
    Object torch = g("sys").attr("modules").attr("get")("torch");
    if (!torch.is_none() && is_instance(image, torch.attr("Tensor"))) {
      c.step(L::tensor_to_host);
      image = g("to_numpy")(image);
    }
  }
  if (!is_instance(image, g("np").attr("ndarray")))
    raise_(builtin("TypeError"), cat({"image must be a NumPy or CuPy array or a PyTorch tensor, not ",
                                      builtin("type")(image).attr("__name__")}));
  io::require_picture_shape(image);
  c.step(L::exr_test);
  if (eq(ext, ".exr")) {
    c.step(L::exr_swap_test);  // 3
    if (!truth(swap_rb)) {
      c.step(L::exr_swap);
      image = g("bgr_to_rgb")(image);
    }
    c.step(L::to_half);
    Object image_rgb = g("to_float16")(image);
    c.step(L::header);
    Object shape = image_rgb.attr("shape");
    Object width = shape[1];
    Object height = shape[0];
    if (le(width, 0) || le(height, 0)) {
      raise_(builtin("ValueError"),
             cat({"Image size (", height, "\xC3\x97", width, ") has no pixels: an OpenEXR file cannot hold it"}));
    }
    Object header = dict();
    c.step(L::compression);
    set_item(header, "compression", g("OpenEXR").attr("DWAA_COMPRESSION"));
    c.step(L::level_test);
    if (eq(param, -1)) {
      c.step(L::level_default);
      param = integer(1);
    }
    c.step(L::level);
    set_item(header, "dwaCompressionLevel", builtin("float")(param));
    // The planes before the file is opened: an image without three channels
    // (or too large to convert) fails here and leaves the path untouched.
    c.step(L::pixels_r);
    Object plane_r = half_plane(image_rgb, 0);
    c.step(L::pixels_g);
    Object plane_g = half_plane(image_rgb, 1);
    c.step(L::pixels_b);
    Object plane_b = half_plane(image_rgb, 2);
    c.step(L::channels);
    Object make_channel = g("OpenEXR").attr("Channel");
    Object channels = dict();
    set_item(channels, "R", make_channel("R", plane_r));
    set_item(channels, "G", make_channel("G", plane_g));
    set_item(channels, "B", make_channel("B", plane_b));
    c.step(L::output_file);
    Object output = g("OpenEXR").attr("File")(header, channels);
    c.step(L::write_pixels);
    Object encoded = builtin("__import__")("io").attr("BytesIO")();
    try {
      with_(output, [&](const Object& f) { f.attr("write")(encoded); });
    } catch (const Error&) {
      raise_from_pending(builtin("RuntimeError"), {"Failed to write image to ", output_path});
    }
    io::WholeFile file(output_path);
    {
      WritableBuffer bytes(encoded.attr("getbuffer")());
      file.write(bytes.data(), static_cast<std::size_t>(bytes.nbytes()));
    }
    file.commit();
  } else {
    c.step(L::opencv_swap_test);  // 4
    if (truth(swap_rb)) {
      c.step(L::opencv_swap);
      image = g("rgb_to_bgr")(image);
    }
    c.step(L::image_bgr);
    Object image_bgr = std::move(image);
    Object options;
    c.step(L::jpeg_test);
    if (eq(ext, ".jpg") || eq(ext, ".jpeg")) {
      options = io::prepare_for_opencv(c, io::Format::jpeg, image_bgr, param, L::jpeg);
    } else {
      c.step(L::png_test);
      if (eq(ext, ".png")) {
        options = io::prepare_for_opencv(c, io::Format::png, image_bgr, param, L::png);
      } else {
        c.step(L::tiff_test);
        if (eq(ext, ".tif") || eq(ext, ".tiff")) {
          options = io::prepare_for_opencv(c, io::Format::tiff, image_bgr, param, L::tiff);
        } else {
          c.step(L::no_options);
          options = List();
        }
      }
    }
    c.step(L::imwrite);
    Object ok, encoded;
    unpack(g("cv2").attr("imencode")(opencv_extension(output_path), image_bgr, options), ok, encoded);
    if (!truth(ok)) {
      c.step(L::imwrite_raise);
      raise_(builtin("RuntimeError"), cat({"Failed to write image to ", output_path}));
    }
    io::WholeFile file(output_path);
    {
      WritableBuffer bytes(encoded);
      file.write(bytes.data(), static_cast<std::size_t>(bytes.nbytes()));
    }
    file.commit();
  }
  return Object(none());  // 5
}

constexpr FunctionSpec picstore_def = def<picstore>({
    .name = "picstore",
    .line = L::def_picstore,
    .params = {{"output_path", "str"}, {"image", "cp.ndarray | np.ndarray"}, {"param", "int", -1}, {"swap_rb", "bool", false}},
    .returns = "None",
    .doc = nullptr,
    .locals = "filename ext image_rgb header output image_bgr options",
});

// ----- module body ----------------------------------------------------------

void body(Body& b) {
  b.step(L::import_os);
  b.import("os");
  b.step(L::import_cupy);
  b.import("cupy", "cp");
  b.step(L::import_cv2);
  b.import("cv2");
  b.step(L::import_imath);
  b.import("Imath");
  b.step(L::import_numpy);
  b.import("numpy", "np");
  b.step(L::import_openexr);
  b.import("OpenEXR");
  b.step(L::import_sys);
  b.import("sys");
  b.step(L::import_bgr);
  b.from_import("..color.bgr", {"bgr_to_rgb", "rgb_to_bgr"});
  b.step(L::import_dlpack);
  b.from_import("..utils.dlpack", {"to_numpy"});
  b.step(L::import_dtypes);
  b.from_import("..utils.dtypes", {"to_float16", "to_uint8", "to_uint16"});
  b.def(picstore_def);
}

}  // namespace

ZEMVARA_MODULE(picstore, io, body, "RuntimeError", "ValueError", "float", "__import__")
