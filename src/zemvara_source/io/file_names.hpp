// File names as the image libraries take them, and the test that a path names a file that can be read to its end.
#pragma once

#include "zemvara/frame.hpp"

#include <sys/stat.h>

namespace zv::io {

// Whether a library that takes a file name as a str, and reads it as UTF-8
// text, opens the file that `path` names. A name that is not valid UTF-8
// reaches Python surrogate-escaped, and such a str has no UTF-8 form: the
// OpenCV bindings crash the process on one, the OpenEXR bindings refuse it.
// ASCII names always pass; any other passes when its UTF-8 bytes are the
// file system's (os.fsencode, the module global `os` read at the call).
inline bool utf8_names_file(Handle path) {
  if (truth(path.attr("isascii")())) return true;
  return eq(g("os").attr("fsencode")(path), path.attr("encode")("utf-8", "surrogatepass"));
}

// `path` (or a piece of it, such as its extension) as OpenCV should get it:
// the str where its UTF-8 text is the name, else the file system's bytes,
// which OpenCV takes as they are.
inline Object opencv_name(Handle path) {
  if (utf8_names_file(path)) return Object(path);
  return g("os").attr("fsencode")(path);
}

// Whether `path` names a regular file (through symbolic links). Reading a
// FIFO or a device may block for ever or never end; a folder holds no image.
inline bool regular_file(Handle path) {
  struct stat st;
  return stat(fs_encode(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace zv::io
