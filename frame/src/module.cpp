// Module initialisation (create and exec steps), the statements of module bodies, and global lookup.
#include "internal.hpp"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#ifndef ZEMVARA_COMPILE_PY_MAJOR
#define ZEMVARA_COMPILE_PY_MAJOR PY_MAJOR_VERSION
#endif
#ifndef ZEMVARA_COMPILE_PY_MINOR
#define ZEMVARA_COMPILE_PY_MINOR PY_MINOR_VERSION
#endif

namespace zv {

namespace detail {
ModuleState state;
PyObject* module_dict = nullptr;
PyObject* builtins_dict = nullptr;
}  // namespace detail

struct BodyAccess {
  static Body make(PyObject* dict) {
    Body b;
    b.dict_ = dict;
    return b;
  }
};

using detail::state;

namespace {

PyModuleDef module_def;
PyModuleDef_Slot module_slots[3];
std::int64_t first_interpreter = -1;

// Forgets the kept module so that a later import starts again from scratch.
void forget() noexcept {
  Py_CLEAR(state.module);
  Py_CLEAR(state.created);
  Py_CLEAR(state.builtins);
  detail::module_dict = nullptr;
  detail::builtins_dict = nullptr;
  detail::reset_names();
}

// Copies spec.<from> into the module dictionary as <to>; an attribute the
// spec lacks is skipped, None is copied unless `skip_none`.
void copy_spec_attr(Handle spec, Handle dict, const char* from, const char* to, bool skip_none) {
  PyObject* value = PyObject_GetAttrString(spec.ptr(), from);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) propagate();
    PyErr_Clear();
    return;
  }
  Object v = Object::steal(value);
  if (skip_none && v.is_none()) return;
  checked(PyDict_SetItemString(dict.ptr(), to, v.ptr()));
}

// Create step:
// 1. The first call records the interpreter; a call from another one fails.
// 2. A module object made by an earlier create is returned again.
// 3. Otherwise a new module named spec.name gets the spec's loader, origin,
//    parent and (when not None) submodule search locations.
PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());  // 1
  if (id == -1) return nullptr;
  if (first_interpreter == -1) {
    first_interpreter = id;
  } else if (first_interpreter != id) {
    PyErr_SetString(PyExc_ImportError, msg::interpreter_change);
    return nullptr;
  }
  if (state.created != nullptr) return Py_NewRef(state.created);  // 2
  try {  // 3
    Object name = Object::take(PyObject_GetAttrString(spec, "name"));
    Object m = Object::take(PyModule_NewObject(name.ptr()));
    Handle dict(PyModule_GetDict(m.ptr()));
    copy_spec_attr(Handle(spec), dict, "loader", "__loader__", false);
    copy_spec_attr(Handle(spec), dict, "origin", "__file__", false);
    copy_spec_attr(Handle(spec), dict, "parent", "__package__", false);
    copy_spec_attr(Handle(spec), dict, "submodule_search_locations", "__path__", true);
    state.created = Py_NewRef(m.ptr());
    return m.release();
  } catch (...) {
    detail::set_error_from_current_exception("module create");
    return nullptr;
  }
}

// The running interpreter's major and minor version, read from the
// version string as up to four dot-separated decimal numbers.
void runtime_version(int& major, int& minor) {
  const char* v = Py_GetVersion();
  int parts[4] = {0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    while (*v >= '0' && *v <= '9') parts[k] = parts[k] * 10 + (*v++ - '0');
    if (*v != '.') break;
    ++v;
  }
  major = parts[0];
  minor = parts[1];
}

void version_check() {
  int major, minor;
  runtime_version(major, minor);
  if (major == ZEMVARA_COMPILE_PY_MAJOR && minor == ZEMVARA_COMPILE_PY_MINOR) return;
  char text[256];
  std::snprintf(text, sizeof text, msg::version_mismatch, ZEMVARA_COMPILE_PY_MAJOR, ZEMVARA_COMPILE_PY_MINOR,
                state.spec->dotted_name, "does not match", major, minor);
  checked(PyErr_WarnEx(PyExc_RuntimeWarning, text, 1));
}

// Exec step (the body runs at most once per process):
// 1. If the body has run for this module object, succeed at once; if for
//    another one, fail with RuntimeError.
// 2. Keep the module and its dictionary; set __builtins__.
// 3. Warn (RuntimeWarning) when the running Python's major.minor differs
//    from the compile-time one.
// 4. Make the constants: empty tuple, bytes and str, the module's names.
// 5. Enter the module into sys.modules under its dotted name if absent.
// 6. Take the builtins the module uses; a missing one is a NameError.
// 7. Make the remaining constants (the full slice).
// 8. Run the body, then set __test__ = {}.
// A failure after step 1 forgets the module (a later import runs the body
// again) and, after step 4, adds an "init <module>" traceback entry at the
// line of the failing statement.
int module_exec(PyObject* m) noexcept {
  if (state.module != nullptr) {  // 1
    if (state.module == m) return 0;
    PyErr_Format(PyExc_RuntimeError, msg::reinitialisation, state.spec->short_name);
    return -1;
  }
  int step = 2;
  Body body = BodyAccess::make(nullptr);
  try {
    state.module = Py_NewRef(m);  // 2
    PyObject* dict = checked(PyModule_GetDict(m));
    detail::module_dict = dict;
    body = BodyAccess::make(dict);
    state.builtins = checked(PyImport_ImportModule("builtins"));
    detail::builtins_dict = checked(PyModule_GetDict(state.builtins));
    checked(PyObject_SetAttrString(m, "__builtins__", state.builtins));
    step = 3;
    version_check();
    step = 4;
    if (state.empty_tuple == nullptr) state.empty_tuple = checked(PyTuple_New(0));
    if (state.empty_bytes == nullptr) state.empty_bytes = checked(PyBytes_FromStringAndSize("", 0));
    if (state.empty_str == nullptr) state.empty_str = checked(PyUnicode_FromStringAndSize("", 0));
    if (state.dotted == nullptr) state.dotted = checked(PyUnicode_InternFromString(state.spec->dotted_name));
    if (state.init_name == nullptr)
      state.init_name = checked(PyUnicode_FromFormat("init %s", state.spec->dotted_name));
    for (const char* const* b = state.spec->builtins; *b != nullptr; ++b) detail::name_slot(*b, std::strlen(*b));
    step = 5;
    PyObject* modules = PyImport_GetModuleDict();
    if (!checked(PySequence_Contains(modules, state.dotted)))
      checked(PyObject_SetItem(modules, state.dotted, m));
    step = 6;
    for (const char* const* b = state.spec->builtins; *b != nullptr; ++b)
      detail::builtin_slow(detail::name_slot(*b, std::strlen(*b)));
    step = 7;
    full_slice();
    detail::ready_function_type();
    step = 8;
    state.spec->body(body);
    Object test = Object::take(PyDict_New());
    checked(PyDict_SetItemString(dict, "__test__", test.ptr()));
    return 0;
  } catch (...) {
    detail::set_error_from_current_exception("module body");
  }
  ZV_ASSERT(PyErr_Occurred() != nullptr);
  if (step > 4) detail::add_traceback(state.init_name, body.line(), detail::module_dict);
  forget();
  return -1;
}

// Is this module being initialised right now (its __spec__._initializing)?
bool initializing(Handle m) {
  PyObject* spec = PyObject_GetAttrString(m.ptr(), "__spec__");
  if (spec == nullptr) {
    PyErr_Clear();
    return false;
  }
  Object s = Object::steal(spec);
  PyObject* flag = PyObject_GetAttrString(spec, "_initializing");
  if (flag == nullptr) {
    PyErr_Clear();
    return false;
  }
  Object f = Object::steal(flag);
  int t = PyObject_IsTrue(flag);
  if (t < 0) PyErr_Clear();
  return t != 0;
}

Object import_level(Handle name, Handle globals, Handle fromlist, int level) {
  Object locals = Object::take(PyDict_New());
  return Object::take(
      PyImport_ImportModuleLevelObject(name.ptr(), globals.ptr(), locals.ptr(), fromlist.ptr(), level));
}

}  // namespace

// ----- body statements ----------------------------------------------------

// import <module> [as <as_name>]: a module already in sys.modules and not
// being initialised is used as it is; otherwise the interpreter's import
// runs with the module dictionary as globals, empty locals, no from-list
// and level 0.
void Body::import(const char* module, const char* as_name) {
  Object name = Object::take(PyUnicode_InternFromString(module));
  const char* dot = std::strchr(module, '.');
  Object m;
  if (dot != nullptr && as_name == nullptr) {
    // import a.b binds the top package a
    m = import_level(name, Handle(dict_), Handle(), 0);
    Object top = Object::take(PyUnicode_FromStringAndSize(module, dot - module));
    checked(PyDict_SetItem(dict_, top.ptr(), m.ptr()));
    return;
  }
  m = Object::steal(PyImport_GetModule(name.ptr()));
  if (m.is_null() && PyErr_Occurred()) propagate();
  if (m.is_null() || initializing(m)) {
    m = import_level(name, Handle(dict_), Handle(), 0);
    if (dot != nullptr) m = Object::take(PyImport_GetModule(name.ptr()));
  }
  Object bound = Object::take(PyUnicode_InternFromString(as_name ? as_name : module));
  checked(PyDict_SetItem(dict_, bound.ptr(), m.ptr()));
}

// from <module> import <names>: the interpreter's import with the module
// dictionary as globals, empty locals, the names as from-list and the level
// given by the leading dots. Each name is an attribute of the imported
// module, or else the submodule "<its __name__>.<name>" in sys.modules, or
// else ImportError "cannot import name <name>".
void Body::from_import(const char* module, std::initializer_list<const char*> names) {
  int level = 0;
  while (module[level] == '.') ++level;
  Object name = Object::take(PyUnicode_InternFromString(module + level));
  Object fromlist = Object::take(PyList_New(0));
  for (const char* n : names) {
    Object s = Object::take(PyUnicode_InternFromString(n));
    checked(PyList_Append(fromlist.ptr(), s.ptr()));
  }
  Object m = import_level(name, Handle(dict_), fromlist, level);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.ptr()); ++i) {
    Handle n(PyList_GET_ITEM(fromlist.ptr(), i));
    PyObject* value = PyObject_GetAttr(m.ptr(), n.ptr());
    if (value == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) propagate();
      PyErr_Clear();
      Object mod_name = Object::take(PyObject_GetAttrString(m.ptr(), "__name__"));
      Object full = Object::take(PyUnicode_FromFormat("%S.%U", mod_name.ptr(), n.ptr()));
      value = PyImport_GetModule(full.ptr());
      if (value == nullptr) {
        if (PyErr_Occurred()) propagate();
        PyErr_Format(PyExc_ImportError, msg::cannot_import, n.ptr());
        propagate();
      }
    }
    Object v = Object::steal(value);
    checked(PyDict_SetItem(dict_, n.ptr(), v.ptr()));
  }
}

void Body::set(Name name, Handle value) { checked(PyDict_SetItem(dict_, name.str().ptr(), value.ptr())); }

void Body::def(const FunctionSpec& spec) {
  line_ = spec.f.line.number;
  Object qualname = Object::take(PyUnicode_InternFromString(spec.f.name));
  Object f = detail::new_function(spec, qualname, Handle(dict_));
  checked(PyDict_SetItem(dict_, qualname.ptr(), f.ptr()));
}

// class <name>: a class made by type(name, (), namespace) whose namespace
// holds __module__, __qualname__, __doc__ (when the class has one) and the
// methods, created in order.
void Body::def_class(const ClassSpec& spec) {
  line_ = spec.c.line.number;
  Object name = Object::take(PyUnicode_InternFromString(spec.c.name));
  Object ns = Object::take(PyDict_New());
  checked(PyDict_SetItemString(ns.ptr(), "__module__", state.dotted));
  checked(PyDict_SetItemString(ns.ptr(), "__qualname__", name.ptr()));
  if (spec.c.doc != nullptr) checked(PyDict_SetItemString(ns.ptr(), "__doc__", string(spec.c.doc).ptr()));
  for (int i = 0; i < spec.n_methods; ++i) {
    const FunctionSpec& m = *spec.c.methods[i];
    Object qualname = Object::take(PyUnicode_FromFormat("%s.%s", spec.c.name, m.f.name));
    Object f = detail::new_function(m, qualname, Handle(dict_));
    checked(PyDict_SetItemString(ns.ptr(), m.f.name, f.ptr()));
  }
  Object cls = Handle(reinterpret_cast<PyObject*>(&PyType_Type))(name, Handle(state.empty_tuple), ns);
  checked(PyDict_SetItem(dict_, name.ptr(), cls.ptr()));
}

// ----- global lookup ------------------------------------------------------

namespace detail {

// A global not memoised (or changed since): the module dictionary, then the
// builtins; the result is memoised against the versions of both.
Object global_slow(NameSlot& s) {
  if (module_dict == nullptr) {
    PyErr_Format(PyExc_NameError, msg::not_defined, s.str);
    propagate();
  }
  PyObject* v = PyDict_GetItemWithError(module_dict, s.str);
  bool from_builtins = false;
  if (v == nullptr) {
    if (PyErr_Occurred()) propagate();
    v = PyDict_GetItemWithError(builtins_dict, s.str);
    if (v == nullptr) {
      if (PyErr_Occurred()) propagate();
      PyErr_Format(PyExc_NameError, msg::not_defined, s.str);
      propagate();
    }
    from_builtins = true;
  }
#ifdef ZV_DICT_VERSIONS
  s.value = v;
  s.version = dict_version(module_dict);
  s.from_builtins = from_builtins;
  if (from_builtins) s.bversion = dict_version(builtins_dict);
#else
  (void)from_builtins;
#endif
  return Object::borrow(v);
}

// A builtin taken from the builtins module (at initialisation for those the
// module lists, else at first use) and kept until the module is forgotten;
// NameError when the builtins module lacks it.
Handle builtin_slow(NameSlot& s) {
  if (state.builtins == nullptr) {
    PyErr_Format(PyExc_NameError, msg::not_defined, s.str);
    propagate();
  }
  PyObject* value = PyObject_GetAttr(state.builtins, s.str);
  if (value == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_NameError, msg::not_defined, s.str);
    }
    propagate();
  }
  Py_XSETREF(s.builtin, value);
  return Handle(value);
}

}  // namespace detail

// ----- entry point --------------------------------------------------------

// PyInit_<name> may run again when an import is retried after a failure;
// the definition is filled once.
PyObject* module_init(const ModuleSpec& spec) {
  if (state.spec != nullptr) {
    ZV_ASSERT(state.spec == &spec);
    return PyModuleDef_Init(&module_def);
  }
  state.spec = &spec;
  module_slots[0] = PyModuleDef_Slot{Py_mod_create, reinterpret_cast<void*>(module_create)};
  module_slots[1] = PyModuleDef_Slot{Py_mod_exec, reinterpret_cast<void*>(module_exec)};
  module_slots[2] = PyModuleDef_Slot{0, nullptr};
  module_def = PyModuleDef{PyModuleDef_HEAD_INIT, spec.dotted_name, nullptr, 0, nullptr,
                           module_slots, nullptr, nullptr, nullptr};
  return PyModuleDef_Init(&module_def);
}

}  // namespace zv
