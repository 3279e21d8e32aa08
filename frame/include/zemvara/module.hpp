// Module descriptions, the module body's statements (imports, values, functions, classes) and global lookup.
#pragma once

#include "zemvara/function.hpp"
#include "zemvara/object.hpp"

#include <initializer_list>

namespace zv {

class Body;

// What a module is: its names, its source path (shown in tracebacks), the
// builtins it uses (taken once at initialisation) and its body.
struct ModuleSpec {
  const char* short_name;   // "subsample"
  const char* dotted_name;  // "zemvara.transform.subsample"
  const char* source_path;  // "src/zemvara_source/transform/subsample"
  const char* const* builtins;
  int n_builtins;
  void (*body)(Body&);
};

template <std::size_t NB>
constexpr ModuleSpec module_spec(const char* short_name, const char* dotted_name, const char* source_path,
                            const char* const (&builtins)[NB], void (*body)(Body&)) {
  return ModuleSpec{short_name, dotted_name, source_path, builtins, int(NB), body};
}

// The module definition for multi-phase initialisation; PyInit_<name> returns
// it and does nothing else. One module per shared library.
PyObject* module_init(const ModuleSpec& spec);

// The statements of a module body, run in source order. step(line) marks the
// statement about to run: a failure gets an "init <module>" traceback entry
// with that line.
class Body {
 public:
  void step(int line) noexcept { line_ = line; }
  int line() const noexcept { return line_; }

  // import <module> [as <as_name>]; a dotted module binds its top package
  // unless as_name is given.
  void import(const char* module, const char* as_name = nullptr);
  // from <module> import <names...>; leading dots in `module` give the
  // relative level (from ..utils.dtypes import to_float32).
  void from_import(const char* module, std::initializer_list<const char*> names);
  // <name> = <value>
  void set(Name name, Handle value);
  // def ...: creates the function object and binds it under its name.
  // `defaults` is the tuple of defaults of the trailing optional parameters.
  void def(const FunctionSpec& spec, Handle defaults = Handle());
  // class ...: methods in order, with one defaults tuple (or a null Handle)
  // per method.
  void def_class(const ClassSpec& spec, std::initializer_list<Handle> defaults = {});

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

#if PY_VERSION_HEX < 0x030E0000
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
[[noreturn]] void missing_builtin(const NameSlot& slot);

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
// initialised (it must be listed in ModuleSpec::builtins).
inline Handle builtin(Name name) {
  detail::NameSlot& s = name.slot();
  if (ZV_UNLIKELY(s.builtin == nullptr)) detail::missing_builtin(s);
  return Handle(s.builtin);
}

}  // namespace zv
