// Descriptions of module functions and classes (one block each, checked when compiled), and the per-call context.
#pragma once

#include "zemvara/object.hpp"

#include <type_traits>
#include <utility>

namespace zv {

// The most parameters a module function may declare (binding uses a fixed
// array of this size, so a call allocates nothing), and the most methods of
// a class.
constexpr int kMaxParams = 12;
constexpr int kMaxMethods = 16;

// A line of the module's source as Python would number it. Modules name
// every line they use in one table at the top of the file
// (`constexpr Line ndim_test{14};  // if image.ndim == 2:`) and pass those
// names; a bare number does not convert.
struct Line {
  int number;
};

// ----- parameter defaults ----------------------------------------------------

// The `None` default: {"count", "Optional[int]", None}.
struct NoneDefault {};
inline constexpr NoneDefault None{};

// A parameter's default as the source writes it: absent (required), None,
// False/True, an int, a str, or the value that a module global holds when the
// function is defined (global_("INTER_AUTO")).
class Default {
 public:
  enum class Kind : unsigned char { required, none, boolean, integer, string, global };
  constexpr Default() noexcept = default;
  constexpr Default(NoneDefault) noexcept : kind_(Kind::none) {}
  constexpr Default(bool v) noexcept : kind_(Kind::boolean), i_(v) {}
  constexpr Default(int v) noexcept : kind_(Kind::integer), i_(v) {}
  constexpr Default(long long v) noexcept : kind_(Kind::integer), i_(v) {}
  constexpr Default(const char* text) noexcept : kind_(Kind::string), s_(text) {}

  static constexpr Default global(const char* name) noexcept {
    Default d;
    d.kind_ = Kind::global;
    d.s_ = name;
    return d;
  }

  constexpr Kind kind() const noexcept { return kind_; }
  constexpr bool is_required() const noexcept { return kind_ == Kind::required; }
  constexpr long long integer() const noexcept { return i_; }
  constexpr const char* text() const noexcept { return s_; }

 private:
  Kind kind_ = Kind::required;
  long long i_ = 0;
  const char* s_ = nullptr;
};

// The default `= NAME`: the module global's value when the def runs.
constexpr Default global_(const char* name) noexcept { return Default::global(name); }

// ----- descriptions ----------------------------------------------------------

// One parameter: its name, its annotation as written in the signature (or
// nullptr) and its default. Whether it is type-checked follows from the
// annotation (see check_of).
struct Param {
  const char* name = nullptr;
  const char* annotation = nullptr;
  Default default_{};
};

// What a module function's source says about it, written with designated
// initialisers in the source's order:
//   def <name>(<params>) -> <returns>:    at <line>
//       """<doc>"""
//       <locals: the local names, space-separated, in order of first use>
struct Function {
  const char* name = nullptr;
  Line line{0};
  Param params[kMaxParams];
  const char* returns = nullptr;  // return annotation, or nullptr
  const char* doc = nullptr;      // nullptr: no docstring
  const char* locals = "";
};

// The context of one running call. Module code marks the step it is about
// to run with step(L::name); when an exception leaves the function, its
// traceback entry carries that line.
class Call {
 public:
  explicit Call(int line) noexcept : line_(line) {}
  void step(Line line) noexcept { line_ = line.number; }
  int line() const noexcept { return line_; }

 private:
  int line_;
};

using Invoke = Object (*)(Call&, PyObject* const* args);

// A checked description with what the frame derives from it: parameter
// counts, the type checks, the number of locals and the entry point.
struct FunctionSpec {
  Function f;
  int n_params;
  int n_required;  // leading parameters without a default
  int n_locals;
  Check checks[kMaxParams];
  Check returns_check;  // typed result, Check::none for none
  Invoke invoke;
};

namespace detail {

template <class F>
struct Signature;
template <class... H>
struct Signature<Object (*)(Call&, H...)> {
  static constexpr int arity = sizeof...(H);
  static_assert((std::is_same_v<H, Handle> && ...), "parameters are passed as zv::Handle");
};

template <auto F, std::size_t... I>
Object invoke_with(Call& c, PyObject* const* a, std::index_sequence<I...>) {
  return F(c, Handle(a[I])...);
}

template <auto F>
Object invoke(Call& c, PyObject* const* a) {
  return invoke_with<F>(c, a, std::make_index_sequence<Signature<decltype(F)>::arity>{});
}

constexpr bool same_text(const char* a, const char* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}

// The rest of `text` after `prefix`, or nullptr when it does not start so.
constexpr const char* after(const char* text, const char* prefix) {
  for (; *prefix != 0; ++prefix, ++text)
    if (*text != *prefix) return nullptr;
  return text;
}

// The exact-type test an annotation asks for: "int", "str", "bytes",
// "tuple", or Optional[...] of one of them; anything else is not checked.
constexpr Check check_of(const char* annotation) {
  if (annotation == nullptr) return Check::none;
  constexpr const char* names[] = {"int", "str", "bytes", "tuple"};
  constexpr Check checks[] = {Check::int_, Check::str, Check::bytes, Check::tuple};
  const char* inner = after(annotation, "Optional[");
  for (int i = 0; i < 4; ++i) {
    if (same_text(annotation, names[i])) return checks[i];
    const char* rest = inner ? after(inner, names[i]) : nullptr;
    if (rest != nullptr && same_text(rest, "]")) return optional(checks[i]);
  }
  return Check::none;
}

constexpr int count_words(const char* text) {
  int n = 0;
  for (bool in_word = false; *text != 0; ++text) {
    const bool space = *text == ' ';
    if (!space && !in_word) ++n;
    in_word = !space;
  }
  return n;
}

// A description that cannot be right stops the compilation at the call of
// one of these (they are never defined): its name says what is wrong.
void function_without_name();
void function_without_line();
void parameter_listed_after_an_empty_entry();
void required_parameter_after_one_with_a_default();
void not_one_Handle_per_parameter();
void str_default_of_a_parameter_checked_as_another_type();
void bool_or_int_default_of_a_parameter_not_checked_as_int();
void None_default_of_a_parameter_checked_without_Optional();
void method_without_self_first();
void class_without_name();

}  // namespace detail

// def: checks a description and derives the rest. Use as
//   constexpr FunctionSpec subsample_image_def = def<subsample_image>({
//       .name = "subsample_image", .line = L::def_subsample_image,
//       .params = {{"image", "cp.ndarray"}, {"dim", "int"}}, ...});
// where subsample_image is `Object (Call&, Handle image, Handle dim)`.
template <auto F>
consteval FunctionSpec def(Function f) {
  FunctionSpec s{f, 0, 0, detail::count_words(f.locals ? f.locals : ""), {}, detail::check_of(f.returns), &detail::invoke<F>};
  if (f.name == nullptr) detail::function_without_name();
  if (f.line.number <= 0) detail::function_without_line();
  bool ended = false, defaulted = false;
  for (int i = 0; i < kMaxParams; ++i) {
    const Param& p = f.params[i];
    if (p.name == nullptr) {
      ended = true;
      continue;
    }
    if (ended) detail::parameter_listed_after_an_empty_entry();
    ++s.n_params;
    if (p.default_.is_required()) {
      if (defaulted) detail::required_parameter_after_one_with_a_default();
      ++s.n_required;
    } else {
      defaulted = true;
    }
    const Check c = detail::check_of(p.annotation);
    const Check base = Check(static_cast<unsigned>(c) & 0x7Fu);
    s.checks[i] = c;
    using K = Default::Kind;
    if (p.default_.kind() == K::string && base != Check::none && base != Check::str)
      detail::str_default_of_a_parameter_checked_as_another_type();
    if ((p.default_.kind() == K::boolean && base != Check::none) ||
        (p.default_.kind() == K::integer && base != Check::none && base != Check::int_))
      detail::bool_or_int_default_of_a_parameter_not_checked_as_int();
    // The argument check lets None through only for Optional[...], so such a
    // default would fail every call that relies on it.
    if (p.default_.kind() == K::none && base != Check::none && c == base)
      detail::None_default_of_a_parameter_checked_without_Optional();
  }
  if (detail::Signature<decltype(F)>::arity != s.n_params) detail::not_one_Handle_per_parameter();
  return s;
}

// A class whose methods are module functions, each described with def<>
// and taking `self` first: qualified names "Class.method", traceback names
// "<module>.Class.method". The class is made by type(name, (), namespace)
// when the body reaches b.def_class(...).
struct Class {
  const char* name = nullptr;
  Line line{0};
  const char* doc = nullptr;  // nullptr: no class docstring
  const FunctionSpec* methods[kMaxMethods] = {};
};

struct ClassSpec {
  Class c;
  int n_methods;
};

consteval ClassSpec class_(Class c) {
  ClassSpec s{c, 0};
  if (c.name == nullptr) detail::class_without_name();
  if (c.line.number <= 0) detail::function_without_line();
  for (const FunctionSpec* m : c.methods) {
    if (m == nullptr) break;
    if (m->n_params == 0 || !detail::same_text(m->f.params[0].name, "self")) detail::method_without_self_first();
    ++s.n_methods;
  }
  return s;
}

}  // namespace zv
