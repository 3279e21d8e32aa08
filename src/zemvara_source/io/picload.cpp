// zemvara.io.picload: reads one image file (OpenEXR, the NVIDIA image codec or OpenCV) into a GPU image.
#include "io/element_type.hpp"
#include "io/file_names.hpp"
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// The caller's lines of the channel-count fix-up (three_channels below).
struct ChannelLines {
  Line grey_test;   // if len(image.shape) == 2:
  Line grey;        //     image = cp.stack([image, image, image], axis=-1)
  Line alpha_test;  // elif image.shape[2] == 4:
  Line alpha;       //     image = image[:, :, :3]
};

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
constexpr Line import_nvimgcodec{7};  // from nvidia import nvimgcodec
constexpr Line import_bgr{9};         // from ..color.bgr import bgr_to_rgb, rgb_to_bgr
constexpr Line import_dtypes{10};     // from ..utils.dtypes import to_float16, to_float32, to_uint8, to_uint16
constexpr Line def_picload{14};       // def picload(input_path: str, dtype: str = "fp32", swap_rb=False, is_nvimgcodec=False) -> cp.ndarray:
constexpr Line exists_test{27};       //     if not os.path.exists(input_path):
constexpr Line exists_raise{28};      //         raise FileNotFoundError(f"Image not found at {input_path}")
constexpr Line splitext{29};          //     filename, ext = os.path.splitext(input_path)
constexpr Line lower{30};             //     ext = ext.lower()
constexpr Line exr_test{31};          //     if ext == ".exr":
constexpr Line exr_open{32};          //         image_exr = OpenEXR.File(input_path, separate_channels=True)
constexpr Line exr_r_header{33};      //         r_header = image_exr.channels()["R"]
constexpr Line exr_half_test{34};     //         if r_header.pixels.dtype == np.float16:
constexpr Line exr_half_dtype{36};    //             dtype = pixeltype = "float16"
constexpr Line exr_float_dtype{39};   //             dtype = pixeltype = "float32"
constexpr Line exr_channels{40};      //         r_str, g_str, b_str = (image_exr.channels()[n].pixels for n in "RGB")
constexpr Line exr_red{41};           //         red = r_str.astype(pixeltype, copy=False)
constexpr Line exr_green{42};         //         green = g_str.astype(pixeltype, copy=False)
constexpr Line exr_blue{43};          //         blue = b_str.astype(pixeltype, copy=False)
constexpr Line exr_window{44};        //         dw = image_exr.header()["dataWindow"]
constexpr Line exr_size{45};          //         size = (dw[1][0] - dw[0][0] + 1, dw[1][1] - dw[0][1] + 1)
constexpr Line exr_swap_test{46};     //         if swap_rb:
constexpr Line exr_rgb{47};           //             image = cp.asarray(np.dstack([red, green, blue]))
constexpr Line exr_bgr{49};           //             image = cp.asarray(np.dstack([blue, green, red]))
constexpr Line exr_reshape{50};       //         image = image.reshape(size[1], size[0], 3)
constexpr Line codec_test{51};        //     elif is_nvimgcodec:
constexpr Line codec_decoder{52};     //         decoder = nvimgcodec.Decoder()
constexpr Line codec_read{53};        //         nv_image = decoder.read(nvimgcodec.DecodeSource(input_path))
constexpr Line codec_none_test{54};   //         if nv_image is None:
constexpr Line codec_none_raise{55};  //             raise RuntimeError(f"Failed to read image from {input_path}")
constexpr Line codec_asarray{56};     //         image = cp.asarray(nv_image)
constexpr ChannelLines codec_channels = {
    .grey_test = {57},                //         if len(image.shape) == 2:
    .grey = {58},                     //             image = cp.stack([image, image, image], axis=-1)
    .alpha_test = {59},               //         elif image.shape[2] == 4:
    .alpha = {60},                    //             image = image[:, :, :3]
};
constexpr Line codec_swap_test{61};   //         if not swap_rb:
constexpr Line codec_swap{62};        //             image = rgb_to_bgr(image)
constexpr Line cv2_read{64};          //         cv2_image = cv2.imread(input_path, cv2.IMREAD_UNCHANGED)
constexpr Line cv2_none_test{65};     //         if cv2_image is None:
constexpr Line cv2_none_raise{66};    //             raise RuntimeError(f"Failed to read image from {input_path}")
constexpr Line cv2_asarray{67};       //         image = cp.asarray(cv2_image)
constexpr ChannelLines cv2_channels = {
    .grey_test = {68},                //         if len(image.shape) == 2:
    .grey = {69},                     //             image = cp.stack([image, image, image], axis=-1)
    .alpha_test = {70},               //         elif image.shape[2] == 4:
    .alpha = {71},                    //             image = image[:, :, :3]
};
constexpr Line cv2_swap_test{72};     //         if swap_rb:
constexpr Line cv2_swap{73};          //             image = bgr_to_rgb(image)
constexpr io::ElementTypeLines element_type = {
    .fp32_test = {74},                //     if dtype == "fp32":
    .fp32 = {75},                     //         image = to_float32(image)
    .uint8_test = {76},               //     elif dtype == "uint8":
    .uint8 = {77},                    //         image = to_uint8(image)
    .uint16_test = {78},              //     elif dtype == "uint16":
    .uint16 = {79},                   //         image = to_uint16(image)
    .fp16_test = {80},                //     elif dtype == "fp16":
    .fp16 = {81},                     //         image = to_float16(image)
};
constexpr Line return_image{82};      //     return image
}  // namespace L

// The index of image[:, :, :3]: (slice(None), slice(None), slice(None, 3)),
// made where it is used (a tuple of three slices costs less than the call).
Object first_three_channels() { return tuple(full_slice(), full_slice(), slice(none(), integer(3), none())); }

// Channel count fix-up of the OpenCV and codec readers: a single plane is
// replicated into three channels, a fourth (alpha) channel is dropped as a
// view; every other shape passes unchanged.
Object three_channels(Call& c, Object image, const ChannelLines& at) {
  c.step(at.grey_test);
  if (length(image.attr("shape")) == 2) {
    c.step(at.grey);
    List planes;
    planes.append(image);
    planes.append(image);
    planes.append(image);
    return g("cp").attr("stack")(planes, kw("axis", -1));
  }
  c.step(at.alpha_test);
  if (eq(image.attr("shape")[2], 4)) {
    c.step(at.alpha);
    return image[first_three_channels()];
  }
  return image;
}

// Reading a file:
// 1. A path that does not exist is refused before any reader is chosen, and
//    so is one that is not a regular file (a folder, a FIFO, a device, a
//    socket) with the message of a file that cannot be read: no reader is
//    left to block on a FIFO or read a device without end.
//    A name that is not valid UTF-8 (surrogate-escaped in the str) is read
//    too: OpenCV gets the file system's bytes of it, OpenEXR an open file,
//    the NVIDIA codec the file's bytes (see file_names.hpp).
// 2. The extension, lower-cased, chooses the reader: ".exr" OpenEXR, else
//    the NVIDIA codec when is_nvimgcodec is true, else OpenCV.
// 3. OpenEXR, through the bindings' File API (the classic InputFile header
//    crashes the interpreter on files with a preview and on many malformed
//    headers; File reads those or raises): the R channel's element type
//    chooses half or float for all three planes, and dtype becomes that
//    type's name, so that step 7 leaves the file's own type. The planes are
//    interleaved B, G, R (or R, G, B for swap_rb) on the host, uploaded once
//    and shaped by the data window; other channels are ignored.
// 4. NVIDIA codec: RGB from the decoder; fix-up of step 6, then BGR unless
//    swap_rb.
// 5. OpenCV: decoded unchanged on the host and copied to the device; fix-up
//    of step 6, then RGB when swap_rb.
// 6. (three_channels) grey to three channels, alpha dropped.
// 7. The element type by dtype; a name that is none of the four converts
//    nothing.
// 8. Return the image.
Object picload(Call& c, Handle input_path, Handle dtype_arg, Handle swap_rb, Handle is_nvimgcodec) {
  Object dtype(dtype_arg);
  Object image;
  c.step(L::exists_test);  // 1
  if (!truth(g("os").attr("path").attr("exists")(input_path))) {
    c.step(L::exists_raise);
    raise_(builtin("FileNotFoundError"), cat({"Image not found at ", input_path}));
  }
  if (!io::regular_file(input_path)) raise_(builtin("RuntimeError"), cat({"Failed to read image from ", input_path}));
  c.step(L::splitext);  // 2
  Object filename, ext;
  unpack(g("os").attr("path").attr("splitext")(input_path), filename, ext);
  c.step(L::lower);
  ext = ext.attr("lower")();
  c.step(L::exr_test);
  if (eq(ext, ".exr")) {
    c.step(L::exr_open);  // 3
    Object image_exr;
    if (io::utf8_names_file(input_path)) {
      image_exr = g("OpenEXR").attr("File")(input_path, kw("separate_channels", py_true()));
    } else {  // the file is read whole here, the stream closed after
      with_(builtin("open")(input_path, "rb"), [&](const Object& stream) {
        image_exr = g("OpenEXR").attr("File")(stream, kw("separate_channels", py_true()));
      });
    }
    c.step(L::exr_r_header);
    Object r_header = image_exr.attr("channels")()[Name("R").str()];
    c.step(L::exr_half_test);
    Object pixeltype;
    if (eq(r_header.attr("pixels").attr("dtype"), g("np").attr("float16"))) {
      c.step(L::exr_half_dtype);
      dtype = Object(Name("float16").str());
    } else {
      c.step(L::exr_float_dtype);
      dtype = Object(Name("float32").str());
    }
    pixeltype = dtype;
    c.step(L::exr_channels);
    Object channels = image_exr.attr("channels")();
    Object r_str = channels[Name("R").str()].attr("pixels");
    Object g_str = channels[Name("G").str()].attr("pixels");
    Object b_str = channels[Name("B").str()].attr("pixels");
    c.step(L::exr_red);
    Object red = r_str.attr("astype")(pixeltype, kw("copy", py_false()));
    c.step(L::exr_green);
    Object green = g_str.attr("astype")(pixeltype, kw("copy", py_false()));
    c.step(L::exr_blue);
    Object blue = b_str.attr("astype")(pixeltype, kw("copy", py_false()));
    c.step(L::exr_window);
    Object dw = image_exr.attr("header")()[Name("dataWindow").str()];
    c.step(L::exr_size);
    Object lo = dw[0], hi = dw[1];
    Object size = tuple(add(sub(hi[0], lo[0]), 1), add(sub(hi[1], lo[1]), 1));
    c.step(L::exr_swap_test);
    List planes;
    if (truth(swap_rb)) {
      c.step(L::exr_rgb);
      planes.append(red);
      planes.append(green);
      planes.append(blue);
    } else {
      c.step(L::exr_bgr);
      planes.append(blue);
      planes.append(green);
      planes.append(red);
    }
    image = g("cp").attr("asarray")(g("np").attr("dstack")(planes));
    c.step(L::exr_reshape);
    image = image.attr("reshape")(size[1], size[0], 3);
  } else {
    c.step(L::codec_test);
    if (truth(is_nvimgcodec)) {
      c.step(L::codec_decoder);  // 4
      Object decoder = g("nvimgcodec").attr("Decoder")();
      c.step(L::codec_read);
      Object read = decoder.attr("read");
      Object source(input_path);
      if (!io::utf8_names_file(input_path))
        with_(builtin("open")(input_path, "rb"), [&](const Object& stream) { source = stream.attr("read")(); });
      Object nv_image = read(g("nvimgcodec").attr("DecodeSource")(source));
      c.step(L::codec_none_test);
      if (nv_image.is_none()) {
        c.step(L::codec_none_raise);
        raise_(builtin("RuntimeError"), cat({"Failed to read image from ", input_path}));
      }
      c.step(L::codec_asarray);
      image = g("cp").attr("asarray")(nv_image);
      image = three_channels(c, std::move(image), L::codec_channels);
      c.step(L::codec_swap_test);
      if (!truth(swap_rb)) {
        c.step(L::codec_swap);
        image = g("rgb_to_bgr")(image);
      }
    } else {
      c.step(L::cv2_read);  // 5
      Object cv2 = g("cv2");
      Object cv2_image = cv2.attr("imread")(io::opencv_name(input_path), cv2.attr("IMREAD_UNCHANGED"));
      c.step(L::cv2_none_test);
      if (cv2_image.is_none()) {
        c.step(L::cv2_none_raise);
        raise_(builtin("RuntimeError"), cat({"Failed to read image from ", input_path}));
      }
      c.step(L::cv2_asarray);
      image = g("cp").attr("asarray")(cv2_image);
      image = three_channels(c, std::move(image), L::cv2_channels);
      c.step(L::cv2_swap_test);
      if (truth(swap_rb)) {
        c.step(L::cv2_swap);
        image = g("bgr_to_rgb")(image);
      }
    }
  }
  image = io::convert_element_type(c, std::move(image), dtype, L::element_type, io::keep_type);  // 7
  c.step(L::return_image);  // 8
  return image;
}

constexpr FunctionSpec picload_def = def<picload>({
    .name = "picload",
    .line = L::def_picload,
    .params = {{"input_path", "str"}, {"dtype", "str", "fp32"}, {"swap_rb", nullptr, false},
               {"is_nvimgcodec", nullptr, false}},
    .returns = "cp.ndarray",
    .doc =
        "\n"
        "    Read an image from a file into a CuPy array.\n"
        "\n"
        "    Args:\n"
        "        input_path (str): Path to the image file.\n"
        "        swap_rb (bool): If True, the image will be read with red and blue channels swapped. Default is False.\n"
        "        is_nvimgcodec (bool): If True, use NVIDIA's nvimgcodec for reading the image. Default is False.\n"
        "    Returns:\n"
        "        cp.ndarray: The image as a CuPy array.\n"
        "    Raises:\n"
        "        FileNotFoundError: If the image file does not exist.\n"
        "    ",
    .locals = "filename ext image_exr r_header pixeltype r_str g_str b_str red green blue dw size image decoder "
              "nv_image cv2_image",
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
  b.step(L::import_nvimgcodec);
  b.from_import("nvidia", {"nvimgcodec"});
  b.step(L::import_bgr);
  b.from_import("..color.bgr", {"bgr_to_rgb", "rgb_to_bgr"});
  b.step(L::import_dtypes);
  b.from_import("..utils.dtypes", {"to_float16", "to_float32", "to_uint8", "to_uint16"});
  b.def(picload_def);
}

}  // namespace

ZEMVARA_MODULE(picload, io, body, "FileNotFoundError", "RuntimeError", "open")
