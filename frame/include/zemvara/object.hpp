// Object handles, the "Python error is set" exception and the object operations module code is written in.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#define ZV_LIKELY(x) __builtin_expect(!!(x), 1)
#define ZV_UNLIKELY(x) __builtin_expect(!!(x), 0)

namespace zv {

// Thrown when an interpreter call has failed and left a Python exception set.
// It carries nothing: the exception itself stays in the interpreter until the
// function boundary returns NULL.
struct Error {};

// Throws Error; the caller has made sure a Python exception is set.
[[noreturn, gnu::cold, gnu::noinline]] void propagate();

// A broken invariant of our own code: report and abort, never continue.
[[noreturn, gnu::cold, gnu::noinline]] void broken(const char* what);

#define ZV_STR2(x) #x
#define ZV_STR1(x) ZV_STR2(x)
#define ZV_ASSERT(cond) \
  (ZV_LIKELY(cond) ? (void)0 : ::zv::broken(#cond " at " __FILE__ ":" ZV_STR1(__LINE__)))

inline PyObject* checked(PyObject* p) {
  if (ZV_UNLIKELY(p == nullptr)) propagate();
  return p;
}
inline int checked(int rc) {
  if (ZV_UNLIKELY(rc < 0)) propagate();
  return rc;
}

class Object;
class Name;
class Arg;

// A borrowed reference: valid while something else owns the object.
// Function parameters arrive as Handles (the caller owns them).
class Handle {
 public:
  constexpr Handle() noexcept = default;
  constexpr explicit Handle(PyObject* p) noexcept : p_(p) {}

  PyObject* ptr() const noexcept { return p_; }
  bool is(Handle other) const noexcept { return p_ == other.p_; }
  bool is_none() const noexcept { return p_ == Py_None; }
  bool is_null() const noexcept { return p_ == nullptr; }
  PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

  Object attr(Name name) const;                // getattr(obj, name)
  void set_attr(Name name, Handle value) const;  // setattr(obj, name, value)
  Object operator[](Handle key) const;         // obj[key]
  Object operator[](Py_ssize_t index) const;   // obj[index], index as a Python int

  // obj(args...): positional Args first, then kw(...) arguments.
  template <class... A>
  Object operator()(A&&... args) const;

 protected:
  PyObject* p_ = nullptr;
};

// An owning reference. Built from a raw pointer only through borrow() or
// steal(); release() hands the reference back to the caller.
class Object : public Handle {
 public:
  constexpr Object() noexcept = default;
  Object(const Object& o) noexcept : Handle(o.p_) { Py_XINCREF(p_); }
  Object(Object&& o) noexcept : Handle(o.p_) { o.p_ = nullptr; }
  explicit Object(Handle h) noexcept : Handle(h.ptr()) { Py_XINCREF(p_); }
  ~Object() { Py_XDECREF(p_); }

  Object& operator=(const Object& o) noexcept {
    Py_XINCREF(o.p_);
    PyObject* old = p_;
    p_ = o.p_;
    Py_XDECREF(old);
    return *this;
  }
  Object& operator=(Object&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }

  static Object borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Object(p, 0);
  }
  static Object steal(PyObject* p) noexcept { return Object(p, 0); }
  // Steals a new reference returned by an interpreter call, throwing Error
  // when the call failed (returned NULL).
  static Object take(PyObject* p) { return Object(checked(p), 0); }

  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  Object(PyObject* p, int) noexcept : Handle(p) {}
};

namespace detail {

// One interned string per distinct name literal, and what is memoised on it:
// the module-global lookup, the builtin taken at initialisation and a
// one-element keyword-names tuple.
struct NameSlot {
  const char* text;
  std::size_t len;
  PyObject* str;          // interned, kept for the life of the process
  std::uint64_t version;  // module dict version the memo was taken at
  std::uint64_t bversion; // builtins dict version, when the memo came from there
  PyObject* value;        // memoised global (borrowed from its dict)
  bool from_builtins;
  PyObject* builtin;      // the builtin taken at module initialisation
  PyObject* kwnames;      // (str,)
};

struct NameEntry {
  const char* key;
  NameSlot* slot;
};

extern NameEntry* name_table;
extern std::size_t name_mask;

inline std::size_t name_index(const char* key) noexcept {
  return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> 32);
}

NameSlot& name_slot_slow(const char* text, std::size_t len);

inline NameSlot& name_slot(const char* text, std::size_t len) {
  if (ZV_LIKELY(name_table != nullptr)) {
    for (std::size_t i = name_index(text);; ++i) {
      NameEntry& e = name_table[i & name_mask];
      if (e.key == text) {
        NameSlot& s = *e.slot;
        if (ZV_LIKELY(s.len == len && std::memcmp(s.text, text, len) == 0)) return s;
        break;
      }
      if (e.key == nullptr) break;
    }
  }
  return name_slot_slow(text, len);
}

}  // namespace detail

// A name written as a string literal in module code: an attribute, a global,
// a builtin, a keyword. Its interned str is made once and cached by the
// literal's address, so repeated use costs a table probe and no allocation.
class Name {
 public:
  template <std::size_t N>
  Name(const char (&text)[N]) noexcept : text_(text), len_(N - 1) {}

  detail::NameSlot& slot() const { return detail::name_slot(text_, len_); }
  Handle str() const { return Handle(slot().str); }
  const char* text() const noexcept { return text_; }

 private:
  const char* text_;
  std::size_t len_;
};

Object integer(long long value);

// A keyword argument of a call: kw("axis", 0).
struct Kw;

// One argument of a call or a tuple: an object, an integer, a name literal
// (its interned str) or a keyword argument.
class Arg {
 public:
  Arg(Handle h) noexcept : p_(h.ptr()) {}
  Arg(const Object& o) noexcept : p_(o.ptr()) {}
  Arg(Object&& o) noexcept : hold_(std::move(o)) { p_ = hold_.ptr(); }
  template <std::size_t N>
  Arg(const char (&text)[N]) : p_(Name(text).str().ptr()) {}
  Arg(int v) : hold_(integer(v)) { p_ = hold_.ptr(); }
  Arg(long v) : hold_(integer(v)) { p_ = hold_.ptr(); }
  Arg(long long v) : hold_(integer(v)) { p_ = hold_.ptr(); }
  inline Arg(Kw&& k);
  Arg(bool) = delete;  // say py_true()/py_false()

  PyObject* ptr() const noexcept { return p_; }
  detail::NameSlot* keyword() const noexcept { return kw_; }

 private:
  Object hold_;
  PyObject* p_ = nullptr;
  detail::NameSlot* kw_ = nullptr;
};

struct Kw {
  Name name;
  Object value;
};

template <class T>
Kw kw(Name name, T&& value) {
  Arg a(std::forward<T>(value));
  return Kw{name, Object(Handle(a.ptr()))};
}

inline Arg::Arg(Kw&& k) : hold_(std::move(k.value)) {
  p_ = hold_.ptr();
  kw_ = &k.name.slot();
}

namespace detail {
Object call(PyObject* callable, std::initializer_list<Arg> args);
}

template <class... A>
Object Handle::operator()(A&&... args) const {
  return detail::call(p_, {Arg(std::forward<A>(args))...});
}

// ----- constants and builders -------------------------------------------

inline Handle none() noexcept { return Handle(Py_None); }
inline Handle py_true() noexcept { return Handle(Py_True); }
inline Handle py_false() noexcept { return Handle(Py_False); }
inline Handle ellipsis() noexcept { return Handle(Py_Ellipsis); }  // ...
Object floating(double value);             // a float
Handle full_slice();                       // slice(None, None, None), made once
Object string(const char* utf8);           // a new str from UTF-8 text

namespace detail {
Object make_tuple(std::initializer_list<Arg> items);
}
// (a, b, ...)
template <class... A>
Object tuple(A&&... items) {
  return detail::make_tuple({Arg(std::forward<A>(items))...});
}

// A list being built, as by a list display or comprehension.
class List : public Object {
 public:
  List();
  void append(Handle item);
};

// for item in iterable: `for (Object item : iterate(obj))`. An exception
// raised by the iteration is thrown from the increment.
class Iterate {
 public:
  class iterator {
   public:
    Object& operator*() noexcept { return item_; }
    iterator& operator++();
    bool operator!=(const iterator& other) const noexcept { return item_.ptr() != other.item_.ptr(); }

   private:
    friend class Iterate;
    explicit iterator(PyObject* it) : it_(it) {}
    PyObject* it_;
    Object item_;
  };
  explicit Iterate(Handle iterable);
  iterator begin();
  iterator end() noexcept { return iterator(nullptr); }

 private:
  Object it_;
};
inline Iterate iterate(Handle iterable) { return Iterate(iterable); }

// ----- Python semantics of operators --------------------------------------

// Arithmetic with the interpreter's own rules and exceptions (so a modulo by
// zero raises its ZeroDivisionError).
Object add(const Arg& a, const Arg& b);
Object sub(const Arg& a, const Arg& b);
Object mul(const Arg& a, const Arg& b);
Object floordiv(const Arg& a, const Arg& b);
Object mod(const Arg& a, const Arg& b);
Object truediv(const Arg& a, const Arg& b);  // a / b
Object power(const Arg& a, const Arg& b);    // a ** b

// Augmented assignment, `target -= value` and the like: the object's
// in-place operation where it has one (CuPy and NumPy arrays change in
// place), and target rebound to the result, as the interpreter does.
void iadd(Object& target, const Arg& value);
void isub(Object& target, const Arg& value);
void imul(Object& target, const Arg& value);
void itruediv(Object& target, const Arg& value);

// Rich comparison followed by a truth test of its result, as `if a == b:`.
bool eq(const Arg& a, const Arg& b);
bool ne(const Arg& a, const Arg& b);
bool lt(const Arg& a, const Arg& b);
bool le(const Arg& a, const Arg& b);
bool gt(const Arg& a, const Arg& b);
bool ge(const Arg& a, const Arg& b);

bool truth(Handle h);                 // bool(obj)
Object str(Handle h);                 // str(obj)
Py_ssize_t length(Handle h);          // len(obj)
bool is_instance(Handle obj, Handle cls);  // isinstance(obj, cls)
inline bool is_list(Handle h) noexcept { return PyList_Check(h.ptr()); }  // isinstance(obj, list)
bool contains(Handle container, const Arg& item);                  // item in container
void set_item(Handle container, const Arg& key, const Arg& value);  // container[key] = value
Object dict();                                                     // {}
Object slice(Handle start, Handle stop, Handle step);              // slice(start, stop, step)
void del_item(Handle container, const Arg& key);                   // del container[key]
void del_attr(Handle obj, Name name);                              // del obj.name
bool has_attr(Handle obj, Name name);  // hasattr(obj, name): only AttributeError means False

namespace detail {
// The failing exit of a with block, called inside the catch block: the
// exception being handled becomes the pending Python error (a C++ exception
// of our own is translated as at a function boundary), then
// __exit__(type, value, traceback) gets it. A true result suppresses it;
// otherwise it stays pending (or __exit__'s own exception replaces it,
// chained to it) and Error is thrown.
void with_failed(Handle exit);
}

// with manager as entered: block(entered)
// __enter__ and __exit__ are taken before the block runs; a block that
// leaves with any exception calls __exit__ with it (see with_failed), a
// normal end calls __exit__(None, None, None).
template <class Block>
void with_(Handle manager, Block&& block) {
  Object enter = manager.attr("__enter__");
  Object exit = manager.attr("__exit__");
  Object entered = enter();
  try {
    block(static_cast<const Object&>(entered));
  } catch (...) {
    detail::with_failed(exit);
    return;
  }
  exit(none(), none(), none());
}

// The value of an int as a C integer; OverflowError where it does not fit.
long long as_long_long(Handle h);
Py_ssize_t as_ssize(Handle h);

// The writable, C-contiguous buffer of an object (a NumPy array, say),
// released when this goes out of scope.
class WritableBuffer {
 public:
  explicit WritableBuffer(Handle obj);
  ~WritableBuffer();
  WritableBuffer(const WritableBuffer&) = delete;
  WritableBuffer& operator=(const WritableBuffer&) = delete;

  void* data() const noexcept { return view_.buf; }
  Py_ssize_t nbytes() const noexcept { return view_.len; }
  Py_ssize_t itemsize() const noexcept { return view_.itemsize; }
  // The struct format of one item ("q" for a 64-bit int, say); "B" if unset.
  const char* format() const noexcept { return view_.format ? view_.format : "B"; }

 private:
  Py_buffer view_;
};

// Concatenation of text parts into one str: a part is UTF-8 text or an object
// (converted with str()).
class Text {
 public:
  Text(const char* utf8) noexcept : utf8_(utf8) {}
  Text(Handle h) noexcept : obj_(h.ptr()) {}
  Text(const Object& o) noexcept : obj_(o.ptr()) {}
  const char* utf8() const noexcept { return utf8_; }
  PyObject* obj() const noexcept { return obj_; }

 private:
  const char* utf8_ = nullptr;
  PyObject* obj_ = nullptr;
};
Object cat(std::initializer_list<Text> parts);

// ----- file system paths ---------------------------------------------------

// A str path as the file system's bytes (os.fsencode).
std::string fs_encode(Handle path);
// The file system's bytes of a path as str (os.fsdecode).
Object fs_decode(const std::string& path);

// ----- raising -----------------------------------------------------------

// raise exc_type(message)
[[noreturn, gnu::cold]] void raise_(Handle exc_type, Handle message);
[[noreturn, gnu::cold]] void raise_(Handle exc_type, const char* utf8_message);
// raise exc_type(cat(parts)) from the pending exception, which becomes its
// __cause__ (the message is built after the pending exception is put aside).
[[noreturn, gnu::cold]] void raise_from_pending(Handle exc_type, std::initializer_list<Text> parts);
// raise OSError(err, strerror(err), path) for a failed system call: the
// subclass that matches err (FileNotFoundError, PermissionError, ...).
[[noreturn, gnu::cold]] void raise_os_error(int err, Handle path);
// raise MemoryError (for a failed allocation of our own)
[[noreturn, gnu::cold]] void raise_no_memory();

// ----- unpacking a, b, c = seq --------------------------------------------

namespace detail {
void unpack(Handle seq, Object* const* targets, Py_ssize_t n);
}
// Unpacks seq into exactly sizeof...(targets) objects, with the messages
// "too many values to unpack (expected N)" and
// "need more than N value(s) to unpack". Nothing is assigned on failure.
template <class... T>
void unpack(Handle seq, T&... targets) {
  Object* const outs[] = {&targets...};
  detail::unpack(seq, outs, sizeof...(T));
}

// ----- typed values ------------------------------------------------------

// Built-in types that annotated parameters, results and locals are tested
// against exactly; `optional` also lets None through (Optional[...]).
enum class Check : unsigned char {
  none = 0,
  int_ = 1,
  str = 2,
  bytes = 3,
  tuple = 4,
  optional = 0x80,
};
constexpr Check optional(Check c) { return Check(static_cast<unsigned>(c) | 0x80u); }

// A typed result or local: value must be exactly of the type or None, else
// TypeError "Expected <type>, got <type>". Returns the value.
Object expect(Object value, Check type);

}  // namespace zv
