// Object operations for module code: errors, the name table, calls, builders, operators, unpacking, typed values.
#include "internal.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zv {

void propagate() { throw Error{}; }

void broken(const char* what) {
  std::fprintf(stderr, "zemvara: broken invariant: %s\n", what);
  Py_FatalError("zemvara: broken internal invariant");
}

// ----- names --------------------------------------------------------------

namespace detail {

NameEntry* name_table = nullptr;
std::size_t name_mask = 0;
static std::size_t name_entries = 0;
static NameSlot** slots = nullptr;  // every slot, for the lookup by text
static std::size_t n_slots = 0, slots_capacity = 0;

static void insert_entry(NameEntry* table, std::size_t mask, const char* key, NameSlot* slot) noexcept {
  for (std::size_t i = name_index(key);; ++i) {
    NameEntry& e = table[i & mask];
    if (e.key == nullptr || e.key == key) {
      e.key = key;
      e.slot = slot;
      return;
    }
  }
}

// Finds the slot of a name literal not yet in the address table:
// 1. Look for a slot with the same text (another literal of that name).
// 2. Otherwise intern the text and make a new slot.
// 3. Enter the literal's address into the table, doubling it first when it
//    would become more than half full.
NameSlot& name_slot_slow(const char* text, std::size_t len) {
  NameSlot* slot = nullptr;
  for (std::size_t i = 0; i < n_slots; ++i)  // 1
    if (slots[i]->len == len && std::memcmp(slots[i]->text, text, len) == 0) {
      slot = slots[i];
      break;
    }
  if (slot == nullptr) {  // 2
    if (n_slots == slots_capacity) {
      std::size_t cap = slots_capacity ? 2 * slots_capacity : 128;
      auto** grown = static_cast<NameSlot**>(PyMem_RawRealloc(slots, cap * sizeof(NameSlot*)));
      if (grown == nullptr) {
        PyErr_NoMemory();
        propagate();
      }
      slots = grown;
      slots_capacity = cap;
    }
    PyObject* s = checked(PyUnicode_FromStringAndSize(text, Py_ssize_t(len)));
    PyUnicode_InternInPlace(&s);
    slot = static_cast<NameSlot*>(PyMem_RawCalloc(1, sizeof(NameSlot)));
    if (slot == nullptr) {
      Py_DECREF(s);
      PyErr_NoMemory();
      propagate();
    }
    slot->text = PyUnicode_AsUTF8(s);
    slot->len = len;
    slot->str = s;
    slots[n_slots++] = slot;
  }
  // 3
  if (2 * (name_entries + 1) > name_mask + 1 || name_table == nullptr) {
    std::size_t size = name_table ? 2 * (name_mask + 1) : 512;
    auto* table = static_cast<NameEntry*>(PyMem_RawCalloc(size, sizeof(NameEntry)));
    if (table == nullptr) {
      PyErr_NoMemory();
      propagate();
    }
    if (name_table != nullptr)
      for (std::size_t i = 0; i <= name_mask; ++i)
        if (name_table[i].key) insert_entry(table, size - 1, name_table[i].key, name_table[i].slot);
    PyMem_RawFree(name_table);
    name_table = table;
    name_mask = size - 1;
  }
  bool present = false;
  for (std::size_t i = name_index(text);; ++i) {
    NameEntry& e = name_table[i & name_mask];
    if (e.key == nullptr) break;
    if (e.key == text) {
      present = true;
      break;
    }
  }
  insert_entry(name_table, name_mask, text, slot);
  if (!present) ++name_entries;
  return *slot;
}

void reset_names() noexcept {
  for (std::size_t i = 0; i < n_slots; ++i) {
    slots[i]->value = nullptr;
    slots[i]->from_builtins = false;
    Py_CLEAR(slots[i]->builtin);
  }
}

}  // namespace detail

// ----- calls -------------------------------------------------------------

namespace detail {

constexpr std::size_t kMaxCallArgs = 16;

PyObject* guarded_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept {
  if (PyFunction_Check(callable) || PyMethod_Check(callable))
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
  if (Py_EnterRecursiveCall(msg::recursion_where)) return nullptr;
  PyObject* r = PyObject_Vectorcall(callable, args, nargsf, kwnames);
  Py_LeaveRecursiveCall();
  return r;
}

Object call(PyObject* callable, std::initializer_list<Arg> args) {
  PyObject* stack[kMaxCallArgs + 1];
  PyObject* names[kMaxCallArgs];
  ZV_ASSERT(args.size() <= kMaxCallArgs);
  PyObject** argv = stack + 1;
  std::size_t n = 0, nkw = 0;
  NameSlot* first_kw = nullptr;
  for (const Arg& a : args) {
    ZV_ASSERT(nkw == 0 || a.keyword() != nullptr);  // keywords come last
    argv[n++] = a.ptr();
    if (NameSlot* k = a.keyword()) {
      if (nkw == 0) first_kw = k;
      names[nkw++] = k->str;
    }
  }
  Object kwnames;
  if (nkw == 1) {
    if (first_kw->kwnames == nullptr) first_kw->kwnames = checked(PyTuple_Pack(1, first_kw->str));
    kwnames = Object::borrow(first_kw->kwnames);
  } else if (nkw > 1) {
    kwnames = Object::take(PyTuple_New(Py_ssize_t(nkw)));
    for (std::size_t i = 0; i < nkw; ++i) {
      Py_INCREF(names[i]);
      PyTuple_SET_ITEM(kwnames.ptr(), Py_ssize_t(i), names[i]);
    }
  }
  return Object::take(guarded_vectorcall(callable, argv, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames.ptr()));
}

Object make_tuple(std::initializer_list<Arg> items) {
  Object t = Object::take(PyTuple_New(Py_ssize_t(items.size())));
  Py_ssize_t i = 0;
  for (const Arg& a : items) {
    ZV_ASSERT(a.keyword() == nullptr);
    Py_INCREF(a.ptr());
    PyTuple_SET_ITEM(t.ptr(), i++, a.ptr());
  }
  return t;
}

}  // namespace detail

Object Handle::attr(Name name) const { return Object::take(PyObject_GetAttr(p_, name.str().ptr())); }

void Handle::set_attr(Name name, Handle value) const {
  checked(PyObject_SetAttr(p_, name.str().ptr(), value.ptr()));
}

Object Handle::operator[](Handle key) const { return Object::take(PyObject_GetItem(p_, key.ptr())); }

Object Handle::operator[](Py_ssize_t index) const {
  Object key = Object::take(PyLong_FromSsize_t(index));
  return Object::take(PyObject_GetItem(p_, key.ptr()));
}

// ----- builders ----------------------------------------------------------

Object integer(long long value) { return Object::take(PyLong_FromLongLong(value)); }

Object string(const char* utf8) { return Object::take(PyUnicode_FromString(utf8)); }
Object floating(double value) { return Object::take(PyFloat_FromDouble(value)); }

Handle full_slice() {
  static PyObject* s = nullptr;
  if (s == nullptr) s = checked(PySlice_New(nullptr, nullptr, nullptr));
  return Handle(s);
}

List::List() : Object(Object::take(PyList_New(0))) {}

void List::append(Handle item) { checked(PyList_Append(p_, item.ptr())); }

Iterate::Iterate(Handle iterable) : it_(Object::take(PyObject_GetIter(iterable.ptr()))) {}

Iterate::iterator Iterate::begin() {
  iterator i(it_.ptr());
  ++i;
  return i;
}

Iterate::iterator& Iterate::iterator::operator++() {
  item_ = Object::steal(PyIter_Next(it_));
  if (item_.is_null() && PyErr_Occurred()) propagate();
  return *this;
}

Object cat(std::initializer_list<Text> parts) {
  Object pieces = Object::take(PyTuple_New(Py_ssize_t(parts.size())));
  Py_ssize_t i = 0;
  for (const Text& t : parts) {
    PyObject* s = t.utf8() ? PyUnicode_FromString(t.utf8()) : PyObject_Str(t.obj());
    PyTuple_SET_ITEM(pieces.ptr(), i++, checked(s));
  }
  Object empty = Object::take(PyUnicode_FromStringAndSize("", 0));
  return Object::take(PyUnicode_Join(empty.ptr(), pieces.ptr()));
}

// ----- operators ---------------------------------------------------------

Object add(const Arg& a, const Arg& b) { return Object::take(PyNumber_Add(a.ptr(), b.ptr())); }
Object sub(const Arg& a, const Arg& b) { return Object::take(PyNumber_Subtract(a.ptr(), b.ptr())); }
Object mul(const Arg& a, const Arg& b) { return Object::take(PyNumber_Multiply(a.ptr(), b.ptr())); }
Object floordiv(const Arg& a, const Arg& b) { return Object::take(PyNumber_FloorDivide(a.ptr(), b.ptr())); }
Object mod(const Arg& a, const Arg& b) { return Object::take(PyNumber_Remainder(a.ptr(), b.ptr())); }
Object truediv(const Arg& a, const Arg& b) { return Object::take(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
Object power(const Arg& a, const Arg& b) { return Object::take(PyNumber_Power(a.ptr(), b.ptr(), Py_None)); }

void iadd(Object& target, const Arg& value) { target = Object::take(PyNumber_InPlaceAdd(target.ptr(), value.ptr())); }
void isub(Object& target, const Arg& value) {
  target = Object::take(PyNumber_InPlaceSubtract(target.ptr(), value.ptr()));
}
void imul(Object& target, const Arg& value) {
  target = Object::take(PyNumber_InPlaceMultiply(target.ptr(), value.ptr()));
}
void itruediv(Object& target, const Arg& value) {
  target = Object::take(PyNumber_InPlaceTrueDivide(target.ptr(), value.ptr()));
}

static bool compare(const Arg& a, const Arg& b, int op) {
  Object r = Object::take(PyObject_RichCompare(a.ptr(), b.ptr(), op));
  if (r.ptr() == Py_True) return true;
  if (r.ptr() == Py_False) return false;
  return truth(r);
}
bool eq(const Arg& a, const Arg& b) { return compare(a, b, Py_EQ); }
bool ne(const Arg& a, const Arg& b) { return compare(a, b, Py_NE); }
bool lt(const Arg& a, const Arg& b) { return compare(a, b, Py_LT); }
bool le(const Arg& a, const Arg& b) { return compare(a, b, Py_LE); }
bool gt(const Arg& a, const Arg& b) { return compare(a, b, Py_GT); }
bool ge(const Arg& a, const Arg& b) { return compare(a, b, Py_GE); }

bool truth(Handle h) { return checked(PyObject_IsTrue(h.ptr())) != 0; }

Object str(Handle h) { return Object::take(PyObject_Str(h.ptr())); }

Py_ssize_t length(Handle h) {
  Py_ssize_t n = PyObject_Length(h.ptr());
  if (n < 0) propagate();
  return n;
}

bool is_instance(Handle obj, Handle cls) { return checked(PyObject_IsInstance(obj.ptr(), cls.ptr())) != 0; }

bool contains(Handle container, const Arg& item) {
  return checked(PySequence_Contains(container.ptr(), item.ptr())) != 0;
}

void set_item(Handle container, const Arg& key, const Arg& value) {
  checked(PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()));
}

Object dict() { return Object::take(PyDict_New()); }

Object slice(Handle start, Handle stop, Handle step) {
  return Object::take(PySlice_New(start.ptr(), stop.ptr(), step.ptr()));
}

void del_item(Handle container, const Arg& key) { checked(PyObject_DelItem(container.ptr(), key.ptr())); }

void del_attr(Handle obj, Name name) { checked(PyObject_DelAttr(obj.ptr(), name.str().ptr())); }

bool has_attr(Handle obj, Name name) {
  PyObject* v = PyObject_GetAttr(obj.ptr(), name.str().ptr());
  if (v != nullptr) {
    Py_DECREF(v);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) propagate();
  PyErr_Clear();
  return false;
}

namespace detail {

// 1. Make the exception being handled the pending one (zv::Error already is)
//    and take it (normalised) out of the interpreter.
// 2. Call exit(type, value, traceback).
// 3. If __exit__ raised, its exception gets the original as __context__
//    (unless it is the original itself, re-raised) and stays pending; if it
//    returned a true value, the original is dropped; otherwise the original
//    is restored. Error is thrown unless suppressed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // PyErr_Fetch/Restore: kept for 3.10 and 3.11
void with_failed(Handle exit) {
  set_error_from_current_exception("with block");  // 1
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Object t = Object::steal(type), v = Object::steal(value), b = Object::steal(tb);
  PyObject* args[] = {t.ptr(), v.ptr(), b.is_null() ? Py_None : b.ptr()};
  PyObject* r = PyObject_Vectorcall(exit.ptr(), args, 3, nullptr);  // 2
  if (r == nullptr) {  // 3
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (tb2 != nullptr) PyException_SetTraceback(v2, tb2);
    if (v2 != v.ptr()) PyException_SetContext(v2, v.release());
    PyErr_Restore(t2, v2, tb2);
    propagate();
  }
  Object result = Object::steal(r);
  if (truth(result)) return;
  PyErr_Restore(t.release(), v.release(), b.release());
  propagate();
}
#pragma GCC diagnostic pop

}  // namespace detail

long long as_long_long(Handle h) {
  const long long v = PyLong_AsLongLong(h.ptr());
  if (v == -1 && PyErr_Occurred()) propagate();
  return v;
}

Py_ssize_t as_ssize(Handle h) {
  const Py_ssize_t v = PyNumber_AsSsize_t(h.ptr(), PyExc_OverflowError);
  if (v == -1 && PyErr_Occurred()) propagate();
  return v;
}

WritableBuffer::WritableBuffer(Handle obj) {
  checked(PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
}

WritableBuffer::~WritableBuffer() { PyBuffer_Release(&view_); }

// ----- raising -----------------------------------------------------------

void raise_no_memory() {
  PyErr_NoMemory();
  propagate();
}

void raise_(Handle exc_type, Handle message) {
  Object exc = exc_type(message);
  if (PyExceptionInstance_Check(exc.ptr()))
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  else
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  propagate();
}

void raise_(Handle exc_type, const char* utf8_message) { raise_(exc_type, string(utf8_message)); }

void raise_os_error(int err, Handle path) {
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
  propagate();
}

// ----- file system paths ---------------------------------------------------

std::string fs_encode(Handle path) {
  Object encoded = Object::take(PyUnicode_EncodeFSDefault(path.ptr()));
  return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

Object fs_decode(const std::string& path) {
  return Object::take(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // PyErr_Fetch: kept for 3.10 and 3.11
void raise_from_pending(Handle exc_type, std::initializer_list<Text> parts) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  Object cause = value != nullptr ? Object::take(value) : Object(none());
  Object exc = exc_type(cat(parts));
  if (!PyExceptionInstance_Check(exc.ptr())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    propagate();
  }
  if (!cause.is_none()) PyException_SetCause(exc.ptr(), cause.release());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  propagate();
}
#pragma GCC diagnostic pop

// ----- unpacking ---------------------------------------------------------

namespace detail {

constexpr Py_ssize_t kMaxUnpack = 8;

[[noreturn, gnu::cold]] static void too_many(Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, msg::too_many_values, expected);
  propagate();
}

[[noreturn, gnu::cold]] static void need_more(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, msg::need_more_values, got, got == 1 ? "" : "s");
  propagate();
}

// Unpacking a, b, ... = seq:
// 1. An exact tuple or list: its length must equal the number of targets.
// 2. Anything else is iterated: too few items, or an item left after the
//    last target, fails with the matching message.
// 3. The targets are assigned only once every item has been taken.
void unpack(Handle seq, Object* const* targets, Py_ssize_t n) {
  ZV_ASSERT(n <= kMaxUnpack);
  Object items[kMaxUnpack];
  PyObject* s = seq.ptr();
  if (PyTuple_CheckExact(s) || PyList_CheckExact(s)) {  // 1
    Py_ssize_t size = Py_SIZE(s);
    if (size != n) {
      if (size > n) too_many(n);
      need_more(size);
    }
    PyObject** src = PySequence_Fast_ITEMS(s);
    for (Py_ssize_t i = 0; i < n; ++i) items[i] = Object::borrow(src[i]);
  } else {  // 2
    Object it = Object::take(PyObject_GetIter(s));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyIter_Next(it.ptr());
      if (item == nullptr) {
        if (PyErr_Occurred()) propagate();
        need_more(i);
      }
      items[i] = Object::steal(item);
    }
    Object extra = Object::steal(PyIter_Next(it.ptr()));
    if (!extra.is_null()) too_many(n);
    if (PyErr_Occurred()) propagate();
  }
  for (Py_ssize_t i = 0; i < n; ++i) *targets[i] = std::move(items[i]);  // 3
}

PyTypeObject* check_type(Check c) noexcept {
  switch (Check(static_cast<unsigned>(c) & 0x7fu)) {
    case Check::int_: return &PyLong_Type;
    case Check::str: return &PyUnicode_Type;
    case Check::bytes: return &PyBytes_Type;
    case Check::tuple: return &PyTuple_Type;
    default: return nullptr;
  }
}

Object type_name(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030B0000
  return Object::take(PyType_GetName(t));
#else
  return Object::take(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__name__"));
#endif
}

}  // namespace detail

Object expect(Object value, Check type) {
  PyTypeObject* t = detail::check_type(type);
  ZV_ASSERT(t != nullptr);
  if (ZV_LIKELY(Py_TYPE(value.ptr()) == t || value.is_none())) return value;
  Object got = detail::type_name(Py_TYPE(value.ptr()));
  const char* got_text = PyUnicode_AsUTF8(got.ptr());
  if (got_text == nullptr) propagate();
  PyErr_Format(PyExc_TypeError, msg::expected_type, t->tp_name, got_text);
  propagate();
}

}  // namespace zv
