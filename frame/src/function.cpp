// The native function type of module functions and methods: attributes, argument binding, both call protocols.
#include "internal.hpp"

#include <cstddef>
#include <exception>
#include <new>

namespace zv::detail {
namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* name;              // __name__
  PyObject* qualname;          // __qualname__
  PyObject* module;            // __module__
  PyObject* doc;               // __doc__
  PyObject* defaults;          // __defaults__ as last assigned (null: None)
  PyObject* kwdefaults;        // __kwdefaults__ as last assigned (null: None)
  PyObject* annotations;       // __annotations__ (null: a new empty dict on next read)
  PyObject* code;              // __code__
  PyObject* globals;           // __globals__, the module dictionary
  PyObject* dict;              // __dict__
  PyObject* weakrefs;
  PyObject* initial_defaults;  // what calls use: fixed at creation
  PyObject* tb_name;           // "<module>.<qualname>" of traceback entries
  PyObject* param_names[kMaxParams];  // interned
};

inline FunctionObject* fn(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* note_text = nullptr;  // the subclass note of the type check

// ----- argument binding --------------------------------------------------

[[gnu::cold]] bool count_error(const FunctionSpec& s, Py_ssize_t given, bool too_many) {
  const bool has_optional = s.n_required < s.n_params;
  const char* bound = !has_optional ? "exactly" : too_many ? "at most" : "at least";
  Py_ssize_t expected = (has_optional && !too_many) ? s.n_required : s.n_params;
  PyErr_Format(PyExc_TypeError, msg::arg_count, s.f.name, bound, expected, expected == 1 ? "" : "s", given);
  return false;
}

bool same_name(PyObject* param, PyObject* key) {
  return PyUnicode_GET_LENGTH(param) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(param, key) == 0;
}

// Step 3 for one keyword: see bind().
bool bind_keyword(FunctionObject* f, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** values) {
  const FunctionSpec& s = *f->spec;
  if (ZV_UNLIKELY(!PyUnicode_Check(key))) {
    PyErr_Format(PyExc_TypeError, msg::keywords_not_strings, s.f.name);
    return false;
  }
  int found = -1;
  for (int i = int(nargs); i < s.n_params; ++i)
    if (f->param_names[i] == key) {
      found = i;
      break;
    }
  if (found < 0)
    for (int i = int(nargs); i < s.n_params; ++i)
      if (same_name(f->param_names[i], key)) {
        found = i;
        break;
      }
  if (found >= 0 && values[found] == nullptr) {
    values[found] = value;
    return true;
  }
  bool repeated = found >= 0;  // the same keyword twice (only C callers can do that)
  for (int i = 0; i < nargs && !repeated; ++i)
    repeated = f->param_names[i] == key || same_name(f->param_names[i], key);
  PyErr_Format(PyExc_TypeError, repeated ? msg::multiple_values : msg::unexpected_keyword, s.f.name, key);
  return false;
}

// Argument binding, the same for both call protocols:
// 1. More positional arguments than parameters fail with the count message
//    (count: the number of positional arguments).
// 2. The positional arguments fill the first parameters.
// 3. Each keyword, in the order given, must be a str; it fills the parameter
//    of that name among those not filled positionally (same object first,
//    then equal text). Otherwise it fails: "got multiple values" when it
//    names a parameter filled positionally, "unexpected keyword" else.
// 4. Optional parameters still empty take the defaults fixed at creation.
// 5. A required parameter still empty fails with the count message (count:
//    its position when keywords were given, else the positional count).
// `each_keyword(bind_one)` calls bind_one(key, value) per keyword and stops
// at the first false.
template <class EachKeyword>
bool bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, bool have_keywords,
          EachKeyword&& each_keyword, PyObject** values) {
  const FunctionSpec& s = *f->spec;
  if (ZV_UNLIKELY(nargs > s.n_params)) return count_error(s, nargs, true);  // 1
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];               // 2
  for (int i = int(nargs); i < s.n_params; ++i) values[i] = nullptr;
  if (have_keywords && !each_keyword([&](PyObject* key, PyObject* value) {  // 3
        return bind_keyword(f, key, value, nargs, values);
      }))
    return false;
  for (int i = s.n_required > nargs ? s.n_required : int(nargs); i < s.n_params; ++i)  // 4
    if (values[i] == nullptr) values[i] = PyTuple_GET_ITEM(f->initial_defaults, i - s.n_required);
  for (int i = int(nargs); i < s.n_required; ++i)  // 5
    if (ZV_UNLIKELY(values[i] == nullptr)) return count_error(s, have_keywords ? i : nargs, false);
  return true;
}

// The exact-type tests of annotated parameters, in parameter order.
void check_arguments(const FunctionSpec& s, PyObject* const* values) {
  for (int i = 0; i < s.n_params; ++i) {
    Check c = s.checks[i];
    if (c == Check::none) continue;
    PyTypeObject* t = check_type(c);
    PyObject* v = values[i];
    if (ZV_LIKELY(Py_TYPE(v) == t)) continue;
    if (v == Py_None && (static_cast<unsigned>(c) & 0x80u)) continue;
    const bool subclass = PyObject_TypeCheck(v, t);
    Object got = type_name(Py_TYPE(v));
    const char* got_text = PyUnicode_AsUTF8(got.ptr());
    if (got_text == nullptr) propagate();
    if (subclass && note_text == nullptr) note_text = checked(PyUnicode_FromString(msg::subclass_note));
    PyErr_Format(PyExc_TypeError, msg::arg_type, s.f.params[i].name, t->tp_name, got_text,
                 subclass ? ". " : "", subclass ? note_text : state.empty_str);
    propagate();
  }
}

// The function boundary: runs the body on bound arguments and turns every
// failure into "NULL with an exception set" plus one traceback entry at the
// line of the running step.
PyObject* run(FunctionObject* f, PyObject* const* values) noexcept {
  const FunctionSpec& s = *f->spec;
  Call c(s.f.line.number);
  try {
    check_arguments(s, values);
    Object result = s.invoke(c, values);
    ZV_ASSERT(!result.is_null());
    if (s.returns_check != Check::none) result = expect(std::move(result), s.returns_check);
    return result.release();
  } catch (...) {
    detail::set_error_from_current_exception("function");
  }
  ZV_ASSERT(PyErr_Occurred() != nullptr);
  add_traceback(f->tb_name, c.line(), f->globals);
  return nullptr;
}

[[gnu::cold]] PyObject* binding_failed(FunctionObject* f) noexcept {
  add_traceback(f->tb_name, f->spec->f.line.number, f->globals);
  return nullptr;
}

// A function the cyclic collector has already cleared (reachable only from a
// finaliser in the same cycle) refuses to run instead of crashing.
[[gnu::cold]] PyObject* cleared(FunctionObject* f) noexcept {
  PyErr_Format(PyExc_RuntimeError, msg::cleared, f->spec->f.name);
  return nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
  FunctionObject* f = fn(self);
  if (ZV_UNLIKELY(f->globals == nullptr)) return cleared(f);
  PyObject* values[kMaxParams];
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  auto each = [&](auto&& bind_one) {
    for (Py_ssize_t j = 0; j < nkw; ++j)
      if (!bind_one(PyTuple_GET_ITEM(kwnames, j), args[nargs + j])) return false;
    return true;
  };
  if (ZV_UNLIKELY(!bind(f, args, nargs, nkw > 0, each, values))) return binding_failed(f);
  return run(f, values);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  FunctionObject* f = fn(self);
  if (ZV_UNLIKELY(f->globals == nullptr)) return cleared(f);
  PyObject* values[kMaxParams];
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const bool have_keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
  auto each = [&](auto&& bind_one) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!bind_one(key, value)) return false;
    return true;
  };
  if (!bind(f, PySequence_Fast_ITEMS(args), nargs, have_keywords, each, values)) return binding_failed(f);
  return run(f, values);
}

// ----- attributes --------------------------------------------------------

PyObject* or_none(PyObject* p) { return Py_NewRef(p ? p : Py_None); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(fn(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(fn(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return or_none(fn(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return or_none(fn(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return or_none(fn(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) { return or_none(fn(self)->kwdefaults); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(fn(self)->code); }
PyObject* get_globals(PyObject* self, void*) { return or_none(fn(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_dict(PyObject* self, void*) {
  FunctionObject* f = fn(self);
  if (f->dict == nullptr && (f->dict = PyDict_New()) == nullptr) return nullptr;
  return Py_NewRef(f->dict);
}

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* f = fn(self);
  if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) return nullptr;
  return Py_NewRef(f->annotations);
}

int set_string(PyObject** slot, PyObject* value, const char* attr) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, msg::must_be_string, attr);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}
int set_name(PyObject* self, PyObject* v, void*) { return set_string(&fn(self)->name, v, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*) { return set_string(&fn(self)->qualname, v, "__qualname__"); }

int set_any(PyObject** slot, PyObject* value) {
  Py_XSETREF(*slot, value ? Py_NewRef(value) : nullptr);
  return 0;
}
int set_module(PyObject* self, PyObject* v, void*) { return set_any(&fn(self)->module, v); }
int set_doc(PyObject* self, PyObject* v, void*) { return set_any(&fn(self)->doc, v); }

// __defaults__ and __kwdefaults__: the new value is stored and reported back,
// but calls keep the defaults fixed at creation, which the warning says.
int set_reported_defaults(FunctionObject* f, PyObject** slot, PyObject* value, bool is_tuple,
                          const char* attr) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && (is_tuple ? !PyTuple_Check(value) : !PyDict_Check(value))) {
    if (is_tuple)
      PyErr_SetString(PyExc_TypeError, msg::must_be_tuple);
    else
      PyErr_Format(PyExc_TypeError, msg::must_be_dict, attr);
    return -1;
  }
  PyObject* text = PyUnicode_FromFormat(msg::defaults_ignored, attr, f->qualname);
  if (text == nullptr) return -1;
  const char* utf8 = PyUnicode_AsUTF8(text);
  int rc = utf8 ? PyErr_WarnEx(PyExc_RuntimeWarning, utf8, 1) : -1;
  Py_DECREF(text);
  if (rc < 0) return -1;
  return set_any(slot, value);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
  return set_reported_defaults(fn(self), &fn(self)->defaults, v, true, "__defaults__");
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
  return set_reported_defaults(fn(self), &fn(self)->kwdefaults, v, false, "__kwdefaults__");
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_Format(PyExc_TypeError, msg::must_be_dict, "__annotations__");
    return -1;
  }
  return set_any(&fn(self)->annotations, value);
}

int set_dict(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, msg::dict_deleted);
    return -1;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, msg::dict_not_dict);
    return -1;
  }
  Py_SETREF(fn(self)->dict, Py_NewRef(value));
  return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference: the qualified name, found again in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(fn(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Binds to an instance as a Python function does; from the class (no
// instance) it is the function itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  FunctionObject* f = fn(self);
  if (f->module != nullptr && PyUnicode_Check(f->module))
    return PyUnicode_FromFormat("<function %U.%U>", f->module, f->qualname);
  return PyUnicode_FromFormat("<function %U>", f->qualname);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = fn(self);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->globals);
  Py_VISIT(f->dict);
  Py_VISIT(f->initial_defaults);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = fn(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->initial_defaults);
  return 0;
}

void function_dealloc(PyObject* self) {
  FunctionObject* f = fn(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->code);
  Py_CLEAR(f->tb_name);
  for (PyObject*& p : f->param_names) Py_CLEAR(p);
  PyObject_GC_Del(self);
}

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// The code object of __code__: the parameters and locals as variable names,
// the source path, the name and the first line, as the function's source
// would give them (so that inspect reads the true signature from it).
Object make_code(const FunctionSpec& s, Handle qualname) {
  PyCodeObject* empty = PyCode_NewEmpty(state.spec->source_path, s.f.name, s.f.line.number);
  Object base = Object::take(reinterpret_cast<PyObject*>(empty));
  const int n = s.n_params + s.n_locals;
  Object varnames = Object::take(PyTuple_New(n));
  for (int i = 0; i < s.n_params; ++i)
    PyTuple_SET_ITEM(varnames.ptr(), i, checked(PyUnicode_InternFromString(s.f.params[i].name)));
  const char* p = s.f.locals ? s.f.locals : "";
  for (int i = s.n_params; i < n; ++i) {  // the locals, space-separated
    while (*p == ' ') ++p;
    const char* end = p;
    while (*end != 0 && *end != ' ') ++end;
    PyObject* v = checked(PyUnicode_FromStringAndSize(p, end - p));
    PyUnicode_InternInPlace(&v);
    PyTuple_SET_ITEM(varnames.ptr(), i, v);
    p = end;
  }
  Object replace = base.attr("replace");
#if PY_VERSION_HEX >= 0x030B0000
  return replace(kw("co_argcount", s.n_params), kw("co_nlocals", n), kw("co_varnames", varnames),
                 kw("co_flags", CO_OPTIMIZED | CO_NEWLOCALS), kw("co_qualname", qualname));
#else
  (void)qualname;
  return replace(kw("co_argcount", s.n_params), kw("co_nlocals", n), kw("co_varnames", varnames),
                 kw("co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
#endif
}

Object make_annotations(const FunctionSpec& s) {
  Object d = Object::take(PyDict_New());
  for (int i = 0; i < s.n_params; ++i)
    if (s.f.params[i].annotation != nullptr)
      checked(PyDict_SetItemString(d.ptr(), s.f.params[i].name, string(s.f.params[i].annotation).ptr()));
  if (s.f.returns != nullptr) checked(PyDict_SetItemString(d.ptr(), "return", string(s.f.returns).ptr()));
  return d;
}

// The value of one default as the def statement evaluates it; a module
// global is read from `globals` now. A checked parameter's default must pass
// the same test as a typed value ("Expected int, got ...").
Object default_value(const Param& p, Check check, Handle globals) {
  const Default& d = p.default_;
  Object v;
  switch (d.kind()) {
    case Default::Kind::none:
      return Object(none());
    case Default::Kind::boolean:
      return Object(d.integer() ? py_true() : py_false());
    case Default::Kind::integer:
      return integer(d.integer());
    case Default::Kind::string:
      v = Object::take(PyUnicode_InternFromString(d.text()));
      break;
    case Default::Kind::global: {
      Object name = Object::take(PyUnicode_InternFromString(d.text()));
      PyObject* found = PyDict_GetItemWithError(globals.ptr(), name.ptr());
      if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::not_defined, name.ptr());
        propagate();
      }
      v = Object::borrow(found);
      break;
    }
    case Default::Kind::required:
      broken("default of a required parameter");
  }
  if (check != Check::none) v = expect(std::move(v), check);
  return v;
}

// The __defaults__ tuple of the trailing optional parameters, or null.
Object make_defaults(const FunctionSpec& s, Handle globals) {
  if (s.n_required == s.n_params) return Object();
  Object t = Object::take(PyTuple_New(s.n_params - s.n_required));
  for (int i = s.n_required; i < s.n_params; ++i)
    PyTuple_SET_ITEM(t.ptr(), i - s.n_required, default_value(s.f.params[i], s.checks[i], globals).release());
  return t;
}

}  // namespace

void ready_function_type() {
  if (function_type.tp_flags & Py_TPFLAGS_READY) return;
  function_type.tp_name = "zemvara_function";
  function_type.tp_basicsize = sizeof(FunctionObject);
  function_type.tp_dealloc = function_dealloc;
  function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  function_type.tp_repr = function_repr;
  function_type.tp_call = function_call;
  function_type.tp_getattro = PyObject_GenericGetAttr;
  function_type.tp_setattro = PyObject_GenericSetAttr;
  function_type.tp_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  function_type.tp_doc = "Function of a zemvara extension module.";
  function_type.tp_traverse = function_traverse;
  function_type.tp_clear = function_clear;
  function_type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  function_type.tp_methods = function_methods;
  function_type.tp_getset = function_getset;
  function_type.tp_descr_get = function_descr_get;
  function_type.tp_dictoffset = offsetof(FunctionObject, dict);
  checked(PyType_Ready(&function_type));
}

// Creating a function object:
// 1. Build everything that can fail (names, defaults, code object,
//    annotations, dictionary) into owning handles.
// 2. Allocate the object; from here on nothing can fail, and the fields
//    take over the references.
Object new_function(const FunctionSpec& s, Handle qualname, Handle globals) {
  ZV_ASSERT(s.n_params <= kMaxParams);
  // 1
  Object name = Object::take(PyUnicode_InternFromString(s.f.name));
  Object module = Object::borrow(state.dotted);
  Object tb_name = Object::take(PyUnicode_FromFormat("%U.%U", state.dotted, qualname.ptr()));
  Object doc = s.f.doc ? string(s.f.doc) : Object();
  Object code = make_code(s, qualname);
  Object annotations = make_annotations(s);
  Object dict = Object::take(PyDict_New());
  Object params[kMaxParams];
  for (int i = 0; i < s.n_params; ++i) params[i] = Object::take(PyUnicode_InternFromString(s.f.params[i].name));
  Object defaults = make_defaults(s, globals);
  Object initial = defaults.is_null() ? Object::borrow(state.empty_tuple) : defaults;
  // 2
  FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
  if (f == nullptr) propagate();
  f->vectorcall = function_vectorcall;
  f->spec = &s;
  f->name = name.release();
  f->qualname = Py_NewRef(qualname.ptr());
  f->module = module.release();
  f->doc = doc.release();
  f->defaults = defaults.release();
  f->kwdefaults = nullptr;
  f->annotations = annotations.release();
  f->code = code.release();
  f->globals = Py_NewRef(globals.ptr());
  f->dict = dict.release();
  f->weakrefs = nullptr;
  f->initial_defaults = initial.release();
  f->tb_name = tb_name.release();
  for (int i = 0; i < kMaxParams; ++i) f->param_names[i] = i < s.n_params ? params[i].release() : nullptr;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  return Object::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace zv::detail
