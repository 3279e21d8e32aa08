// zemvara.io.picload: reads one image file (OpenEXR, the NVIDIA image codec or OpenCV) into a GPU image.
#include "zemvara/frame.hpp"

// Line numbers below are those of the module's source as Python would number
// it: the imports on lines 1 to 10, `def picload` on line 14, its docstring
// on lines 15 to 26 and its statements from line 27. Each marks the
// statement that a traceback entry points at.

namespace {

using namespace zv;

// The index of image[:, :, :3]: (slice(None), slice(None), slice(None, 3)).
// Built once, when the module body first runs, and kept for the process.
Object* first_three_channels = nullptr;

void make_constants() {
  if (first_three_channels != nullptr) return;
  Object three = slice(none(), integer(3), none());
  first_three_channels = new Object(tuple(full_slice(), full_slice(), three));
}

// Channel count fix-up of the OpenCV and codec readers: a single plane is
// replicated into three channels, a fourth (alpha) channel is dropped as a
// view; every other shape passes unchanged. `line` is the first of the
// caller's four statements.
Object three_channels(Call& c, Object image, int line) {
  c.step(line);
  if (length(image.attr("shape")) == 2) {
    c.step(line + 1);
    List planes;
    planes.append(image);
    planes.append(image);
    planes.append(image);
    return g("cp").attr("stack")(planes, kw("axis", -1));
  }
  c.step(line + 2);
  if (eq(image.attr("shape")[2], 4)) {
    c.step(line + 3);
    return image[*first_three_channels];
  }
  return image;
}

// Reading a file:
// 1. A path that does not exist is refused before any reader is chosen.
// 2. The extension, lower-cased, chooses the reader: ".exr" OpenEXR, else
//    the NVIDIA codec when is_nvimgcodec is true, else OpenCV.
// 3. OpenEXR: the R channel's description chooses half or float for all
//    three planes, and dtype becomes that type's name, so that step 7 leaves
//    the file's own type. The planes are interleaved B, G, R (or R, G, B for
//    swap_rb) and shaped by the data window; other channels are ignored.
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
  c.step(27);  // 1
  if (!truth(g("os").attr("path").attr("exists")(input_path))) {
    c.step(28);
    raise_(builtin("FileNotFoundError"), cat({"Image not found at ", input_path}));
  }
  c.step(29);  // 2
  Object filename, ext;
  unpack(g("os").attr("path").attr("splitext")(input_path), filename, ext);
  c.step(30);
  ext = ext.attr("lower")();
  c.step(31);
  if (eq(ext, ".exr")) {
    c.step(32);  // 3
    Object image_exr = g("OpenEXR").attr("InputFile")(input_path);
    c.step(33);
    Object r_header = image_exr.attr("header")()[Name("channels").str()][Name("R").str()];
    c.step(34);
    Object pixeltype;
    if (contains(str(r_header), "HALF")) {
      c.step(35);
      Object pixel_type = g("Imath").attr("PixelType");
      pixeltype = pixel_type(pixel_type.attr("HALF"));
      c.step(36);
      dtype = Object(Name("float16").str());
    } else {
      c.step(38);
      Object pixel_type = g("Imath").attr("PixelType");
      pixeltype = pixel_type(pixel_type.attr("FLOAT"));
      c.step(39);
      dtype = Object(Name("float32").str());
    }
    c.step(40);
    Object r_str, g_str, b_str;
    unpack(image_exr.attr("channels")("RGB", pixeltype), r_str, g_str, b_str);
    c.step(41);
    Object red = g("cp").attr("frombuffer")(r_str, kw("dtype", dtype));
    c.step(42);
    Object green = g("cp").attr("frombuffer")(g_str, kw("dtype", dtype));
    c.step(43);
    Object blue = g("cp").attr("frombuffer")(b_str, kw("dtype", dtype));
    c.step(44);
    Object dw = image_exr.attr("header")()[Name("dataWindow").str()];
    c.step(45);
    Object lo = dw.attr("min"), hi = dw.attr("max");
    Object size = tuple(add(sub(hi.attr("x"), lo.attr("x")), 1), add(sub(hi.attr("y"), lo.attr("y")), 1));
    c.step(46);
    List planes;
    if (truth(swap_rb)) {
      c.step(47);
      planes.append(red);
      planes.append(green);
      planes.append(blue);
    } else {
      c.step(49);
      planes.append(blue);
      planes.append(green);
      planes.append(red);
    }
    image = g("cp").attr("dstack")(planes);
    c.step(50);
    image = image.attr("reshape")(size[1], size[0], 3);
  } else {
    c.step(51);
    if (truth(is_nvimgcodec)) {
      c.step(52);  // 4
      Object decoder = g("nvimgcodec").attr("Decoder")();
      c.step(53);
      Object read = decoder.attr("read");
      Object nv_image = read(g("nvimgcodec").attr("DecodeSource")(input_path));
      c.step(54);
      if (nv_image.is_none()) {
        c.step(55);
        raise_(builtin("RuntimeError"), cat({"Failed to read image from ", input_path}));
      }
      c.step(56);
      image = g("cp").attr("asarray")(nv_image);
      image = three_channels(c, std::move(image), 57);
      c.step(61);
      if (!truth(swap_rb)) {
        c.step(62);
        image = g("rgb_to_bgr")(image);
      }
    } else {
      c.step(64);  // 5
      Object cv2 = g("cv2");
      Object cv2_image = cv2.attr("imread")(input_path, cv2.attr("IMREAD_UNCHANGED"));
      c.step(65);
      if (cv2_image.is_none()) {
        c.step(66);
        raise_(builtin("RuntimeError"), cat({"Failed to read image from ", input_path}));
      }
      c.step(67);
      image = g("cp").attr("asarray")(cv2_image);
      image = three_channels(c, std::move(image), 68);
      c.step(72);
      if (truth(swap_rb)) {
        c.step(73);
        image = g("bgr_to_rgb")(image);
      }
    }
  }
  c.step(74);  // 7
  if (eq(dtype, "fp32")) {
    c.step(75);
    image = g("to_float32")(image);
  } else {
    c.step(76);
    if (eq(dtype, "uint8")) {
      c.step(77);
      image = g("to_uint8")(image);
    } else {
      c.step(78);
      if (eq(dtype, "uint16")) {
        c.step(79);
        image = g("to_uint16")(image);
      } else {
        c.step(80);
        if (eq(dtype, "fp16")) {
          c.step(81);
          image = g("to_float16")(image);
        }
      }
    }
  }
  c.step(82);  // 8
  return image;
}

constexpr Param picload_params[] = {
    {"input_path", "str", Check::str},
    {"dtype", "str", Check::str},
    {"swap_rb", nullptr, Check::none},
    {"is_nvimgcodec", nullptr, Check::none},
};
constexpr const char* picload_locals[] = {
    "filename", "ext", "image_exr", "r_header", "pixeltype", "r_str", "g_str", "b_str", "red",
    "green", "blue", "dw", "size", "image", "decoder", "nv_image", "cv2_image",
};
constexpr FunctionSpec picload_spec = function<picload>(
    "picload", 14, picload_params, 1, "cp.ndarray", picload_locals,
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
    "    ");

// ----- module body ----------------------------------------------------------

void body(Body& b) {
  make_constants();
  b.step(1);
  b.import("os");
  b.step(2);
  b.import("cupy", "cp");
  b.step(3);
  b.import("cv2");
  b.step(4);
  b.import("Imath");
  b.step(5);
  b.import("numpy", "np");
  b.step(6);
  b.import("OpenEXR");
  b.step(7);
  b.from_import("nvidia", {"nvimgcodec"});
  b.step(9);
  b.from_import("..color.bgr", {"bgr_to_rgb", "rgb_to_bgr"});
  b.step(10);
  b.from_import("..utils.dtypes", {"to_float16", "to_float32", "to_uint8", "to_uint16"});
  b.step(14);
  b.def(picload_spec, tuple("fp32", py_false(), py_false()));
}

constexpr const char* builtins[] = {"FileNotFoundError", "RuntimeError"};

constexpr ModuleSpec picload_module =
    module_spec("picload", "zemvara.io.picload", "src/zemvara_source/io/picload", builtins, body);

}  // namespace

PyMODINIT_FUNC PyInit_picload() { return zv::module_init(picload_module); }
