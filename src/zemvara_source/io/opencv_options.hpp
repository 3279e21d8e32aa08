// The per-format preparation shared by writing files and encoding bytes: param's default, the sample conversion, the option list.
#pragma once

#include "zemvara/frame.hpp"

namespace zv::io {

// The formats that OpenCV writes with an option of their own. JPEG always
// takes 8-bit samples; PNG and TIFF keep 8-bit images and take every other
// element type as 16-bit.
enum class Format { jpeg, png, tiff };

// The caller's source lines of one format's branch, so that a failure points
// at the caller's own statement.
struct OptionLines {
  Line param_test;     // if param == -1:
  Line param_default;  //     param = 100 (JPEG), 3 (PNG), 5 (TIFF)
  Line depth_test;     // if image.dtype != np.uint8:    (PNG and TIFF only)
  Line convert;        //     image = to_uint16(image)   (JPEG: image = to_uint8(image), always)
  Line options;        // options = [cv2.IMWRITE_..., param]
};

// Refuses a host image that OpenCV cannot write as a picture: other than
// (height, width) or (height, width, channels). OpenCV encodes some of them
// (TIFF and BMP of four dimensions) into files that nothing can read back.
inline void require_picture_shape(Handle image) {
  Object shape = image.attr("shape");
  const Py_ssize_t rank = length(shape);
  if (rank < 2 || rank > 3)
    raise_(builtin("ValueError"),
           cat({"Image of shape ", shape, " is neither (height, width) nor (height, width, channels)"}));
}

// One format's branch: -1 in `param` becomes the format's default, `image`
// is converted as the format needs (by the module globals to_uint8 and
// to_uint16, read at the call), and the option list [flag, param] is
// returned. `param` and `image` are the caller's locals and are updated in
// place; every other int in `param` passes on unchanged.
inline Object prepare_for_opencv(Call& c, Format format, Object& image, Object& param, const OptionLines& at) {
  c.step(at.param_test);
  if (eq(param, -1)) {
    c.step(at.param_default);
    param = integer(format == Format::jpeg ? 100 : format == Format::png ? 3 : 5);
  }
  if (format == Format::jpeg) {
    c.step(at.convert);
    image = g("to_uint8")(image);
  } else {
    c.step(at.depth_test);
    if (ne(image.attr("dtype"), g("np").attr("uint8"))) {
      c.step(at.convert);
      image = g("to_uint16")(image);
    }
  }
  c.step(at.options);
  Object cv2 = g("cv2");
  List options;
  options.append(cv2.attr(format == Format::jpeg  ? Name("IMWRITE_JPEG_QUALITY")
                          : format == Format::png ? Name("IMWRITE_PNG_COMPRESSION")
                                                  : Name("IMWRITE_TIFF_COMPRESSION")));
  options.append(param);
  return options;
}

}  // namespace zv::io
