// Module descriptions, the module body's statements (imports, values, functions, classes) and global lookup.
#pragma once

#include "zemvara/function.hpp"
#include "zemvara/object.hpp"

#include <initializer_list>

// Module sources are C++20 (designated initialisers, __VA_OPT__).

namespace zv {

class Body;

// What a module is: its names, its source path (shown in tracebacks), the
// builtins it uses (taken once at initialisation; one used but not listed is
// looked up when first needed) and its body. Written once per module by
// ZEMVARA_MODULE below.
struct ModuleSpec {
  const char* short_name;   // "subsample"
  const char* dotted_name;  // "zemvara.transform.subsample"
  const char* source_path;  // "src/zemvara_source/transform/subsample"
  const char* const* builtins;  // ends with nullptr
  void (*body)(Body&);
};

// The module definition for multi-phase initialisation; PyInit_<name> returns
// it and does nothing else. One module per shared library.
PyObject* module_init(const ModuleSpec& spec);

// The statements of a module body, run in source order. step(L::name) marks
// the statement about to run (def and def_class mark their own line): a
// failure gets an "init <module>" traceback entry with that line.
class Body {
 public:
  void step(Line line) noexcept { line_ = line.number; }
  int line() const noexcept { return line_; }

  // import <module> [as <as_name>]; a dotted module binds its top package
  // unless as_name is given.
  void import(const char* module, const char* as_name = nullptr);
  // from <module> import <names...>; leading dots in `module` give the
  // relative level (from ..utils.dtypes import to_float32).
  void from_import(const char* module, std::initializer_list<const char*> names);
  // <name> = <value>
  void set(Name name, Handle value);
  // def ...: at the function's own line, evaluates its defaults, creates the
  // function object and binds it under its name.
  void def(const FunctionSpec& spec);
  // class ...: at the class's line, the methods in order, then
  // type(name, (), namespace) bound under its name.
  void def_class(const ClassSpec& spec);

  Handle dict() const noexcept { return Handle(dict_); }

 private:
  friend struct BodyAccess;
  Body() = default;
  int line_ = 1;
  PyObject* dict_ = nullptr;
};

namespace detail {

extern PyObject* module_dict;    // borrowed from the kept module
extern PyObject* builtins_dict;  // of the builtins module

// The global-lookup cache reads a dictionary's private version tag, which
// every insertion, replacement and deletion changes. Verified on CPython 3.10,
// 3.11, 3.12 and 3.13 (with the GIL) by the suite's global-replacement tests
// under `make test-matrix`. On any other version, or a free-threaded build,
// ZV_DICT_VERSIONS stays undefined and every lookup goes to the dictionaries
// (ZEMVARA_PLAIN_GLOBAL_LOOKUPS asks for that anywhere; the tests build so too).
#if PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED) && \
    !defined(ZEMVARA_PLAIN_GLOBAL_LOOKUPS)
#define ZV_DICT_VERSIONS 1
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
inline std::uint64_t dict_version(PyObject* d) noexcept {
  return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
}
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
#endif

Object global_slow(NameSlot& slot);
Handle builtin_slow(NameSlot& slot);

}  // namespace detail

// The module global `name`, looked up now (falling back to builtins), so that
// replacing a module global changes later calls. Memoised on the version of
// the dictionaries: costs a comparison while they are unchanged.
inline Object g(Name name) {
  detail::NameSlot& s = name.slot();
#ifdef ZV_DICT_VERSIONS
  if (ZV_LIKELY(s.value != nullptr && s.version == detail::dict_version(detail::module_dict) &&
                (!s.from_builtins || s.bversion == detail::dict_version(detail::builtins_dict))))
    return Object::borrow(s.value);
#endif
  return detail::global_slow(s);
}

// The builtin `name`, taken from the builtins module when the module was
// initialised; one not listed in the module's builtins is taken on first
// use (NameError when the builtins module lacks it).
inline Handle builtin(Name name) {
  detail::NameSlot& s = name.slot();
  if (ZV_UNLIKELY(s.builtin == nullptr)) return detail::builtin_slow(s);
  return Handle(s.builtin);
}

}  // namespace zv

// Defines the module: its short name, its subpackage of `zemvara`, its body
// function and the builtins it uses. The dotted name
// ("zemvara.<subpackage>.<name>"), the source path of tracebacks
// ("src/zemvara_source/<subpackage>/<name>") and PyInit_<name> follow.
//   ZEMVARA_MODULE(subsample, transform, body, "ValueError", "range")
#define ZEMVARA_MODULE(name, subpackage, body, ...)                                               \
  ZEMVARA_MODULE_AT(name, "zemvara." #subpackage "." #name, "src/zemvara_source/" #subpackage "/" #name, \
                    body __VA_OPT__(, ) __VA_ARGS__)

// The same with the dotted name and source path spelt out (test modules).
#define ZEMVARA_MODULE_AT(name, dotted, path, body, ...)                                \
  namespace {                                                                           \
  constexpr const char* zv_module_builtins[] = {__VA_ARGS__ __VA_OPT__(, ) nullptr};   \
  constexpr ::zv::ModuleSpec zv_module_spec = {#name, dotted, path, zv_module_builtins, body}; \
  }                                                                                     \
  PyMODINIT_FUNC PyInit_##name() { return ::zv::module_init(zv_module_spec); }
