// Traceback entries for exceptions leaving module functions and module bodies, with their code objects cached by line.
#include "internal.hpp"

#include <frameobject.h>

#include <exception>
#include <new>

namespace zv::detail {
namespace {

// One code object per (line, entry name), sorted by line then by name, so
// that repeated failures at one step allocate nothing new. The table grows
// 64 entries at a time.
struct CodeEntry {
  int line;
  PyObject* name;  // interned or kept alive by its owner for the process
  PyCodeObject* code;
};
CodeEntry* codes = nullptr;
int n_codes = 0, codes_capacity = 0;

bool before(const CodeEntry& e, int line, PyObject* name) {
  return e.line < line || (e.line == line && e.name < name);
}

PyCodeObject* code_for(PyObject* name, int line) {
  int lo = 0, hi = n_codes;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (before(codes[mid], line, name))
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo < n_codes && codes[lo].line == line && codes[lo].name == name) return codes[lo].code;
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) return nullptr;
  PyCodeObject* code = PyCode_NewEmpty(state.spec->source_path, text, line);
  if (code == nullptr) return nullptr;
  if (n_codes == codes_capacity) {
    auto* grown = static_cast<CodeEntry*>(PyMem_Realloc(codes, sizeof(CodeEntry) * (codes_capacity + 64)));
    if (grown == nullptr) {
      Py_DECREF(code);
      PyErr_NoMemory();
      return nullptr;
    }
    codes = grown;
    codes_capacity += 64;
  }
  for (int i = n_codes; i > lo; --i) codes[i] = codes[i - 1];
  Py_INCREF(name);
  codes[lo] = CodeEntry{line, name, code};
  ++n_codes;
  return code;
}

}  // namespace

// Adding a traceback entry to the pending exception:
// 1. Put the exception aside, so that building the entry runs clean.
// 2. Find or build the code object for (name, line) and a frame over it
//    with the module globals.
// 3. Restore the exception, then add the frame's entry. If 2 failed, the
//    exception goes on without the entry.
void add_traceback(PyObject* name, int line, PyObject* globals) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* pending = PyErr_GetRaisedException();  // 1
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);  // 1
#endif
  PyFrameObject* frame = nullptr;
  if (PyCodeObject* code = code_for(name, line))  // 2
    frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
  if (frame == nullptr) PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(pending);  // 3
#else
  PyErr_Restore(type, value, tb);  // 3
#endif
  if (frame != nullptr) {
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
}

void set_error_from_current_exception(const char* where) noexcept {
  try {
    throw;
  } catch (const Error&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "unknown C++ exception in a zemvara %s", where);
  }
}

}  // namespace zv::detail
