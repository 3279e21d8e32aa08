// The element-type ladder of the readers: a dtype name chooses one of the four conversion services.
#pragma once

#include "zemvara/frame.hpp"

namespace zv::io {

// The caller's source lines of the ladder, so that a failure points at the
// caller's own statement.
struct ElementTypeLines {
  Line fp32_test;    // if dtype == "fp32":
  Line fp32;         //     image = to_float32(image)
  Line uint8_test;   // elif dtype == "uint8":
  Line uint8;        //     image = to_uint8(image)
  Line uint16_test;  // elif dtype == "uint16":
  Line uint16;       //     image = to_uint16(image)
  Line fp16_test;    // elif dtype == "fp16":
  Line fp16;         //     image = to_float16(image)
};

// What a name that is none of the four does: decoding from bytes gives
// float32 as the default does (else_to_float32(L::line_of_the_else)),
// reading a file keeps the reader's own type (keep_type).
struct Otherwise {
  bool to_float32;
  Line line;  // of the else branch, when it converts
};
constexpr Otherwise else_to_float32(Line line) { return {true, line}; }
inline constexpr Otherwise keep_type{false, {0}};

// The ladder: dtype is compared with "fp32", "uint8", "uint16" and "fp16"
// in that order (==, so str subclasses and objects with their own equality
// take part); the first match converts with the module global of that
// service, read at the call.
inline Object convert_element_type(Call& c, Object image, Handle dtype, const ElementTypeLines& at,
                                   const Otherwise& otherwise) {
  c.step(at.fp32_test);
  if (eq(dtype, "fp32")) {
    c.step(at.fp32);
    return g("to_float32")(image);
  }
  c.step(at.uint8_test);
  if (eq(dtype, "uint8")) {
    c.step(at.uint8);
    return g("to_uint8")(image);
  }
  c.step(at.uint16_test);
  if (eq(dtype, "uint16")) {
    c.step(at.uint16);
    return g("to_uint16")(image);
  }
  c.step(at.fp16_test);
  if (eq(dtype, "fp16")) {
    c.step(at.fp16);
    return g("to_float16")(image);
  }
  if (!otherwise.to_float32) return image;
  c.step(otherwise.line);
  return g("to_float32")(image);
}

}  // namespace zv::io
