// Descriptions of module functions and classes, and the per-call context that records the running step.
#pragma once

#include "zemvara/object.hpp"

#include <type_traits>
#include <utility>

namespace zv {

// The most parameters a module function may declare (binding uses a fixed
// array of this size, so a call allocates nothing).
constexpr int kMaxParams = 12;

// One parameter: its name, its annotation as written in the signature (or
// nullptr) and the exact built-in type it is tested against before the body.
struct Param {
  const char* name;
  const char* annotation;
  Check check;
};

// The context of one running call. Module code marks the step it is about
// to run with step(line); when an exception leaves the function, its
// traceback entry carries that line.
class Call {
 public:
  explicit Call(int line) noexcept : line_(line) {}
  void step(int line) noexcept { line_ = line; }
  int line() const noexcept { return line_; }

 private:
  int line_;
};

using Invoke = Object (*)(Call&, PyObject* const* args);

// A module function (or a method: then its first parameter is `self`).
// `first_line` and `locals` describe the function as its source would: they
// fill __code__ (co_firstlineno, co_varnames after the parameters).
struct FunctionSpec {
  const char* name;
  const char* doc;  // nullptr: no docstring
  const Param* params;
  int n_params;
  int n_required;       // leading parameters without a default
  const char* returns;  // return annotation, or nullptr
  Check returns_check;  // typed result, Check::none for none
  const char* const* locals;
  int n_locals;
  int first_line;
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

}  // namespace detail

// Builds the description of function F, an `Object f(Call&, Handle...)` with
// one Handle per parameter.
template <auto F, std::size_t NP, std::size_t NL>
constexpr FunctionSpec function(const char* name, int first_line, const Param (&params)[NP],
                                int n_required, const char* returns, const char* const (&locals)[NL],
                                const char* doc, Check returns_check = Check::none) {
  static_assert(detail::Signature<decltype(F)>::arity == NP, "one Handle per parameter");
  static_assert(NP <= kMaxParams, "too many parameters");
  return FunctionSpec{name, doc, params, int(NP), n_required, returns, returns_check,
                      locals, int(NL), first_line, &detail::invoke<F>};
}

// The same for a function without local names.
template <auto F, std::size_t NP>
constexpr FunctionSpec function(const char* name, int first_line, const Param (&params)[NP],
                                int n_required, const char* returns, const char* doc,
                                Check returns_check = Check::none) {
  static_assert(detail::Signature<decltype(F)>::arity == NP, "one Handle per parameter");
  static_assert(NP <= kMaxParams, "too many parameters");
  return FunctionSpec{name, doc, params, int(NP), n_required, returns, returns_check,
                      nullptr, 0, first_line, &detail::invoke<F>};
}

// The same for a function without parameters or local names.
template <auto F>
constexpr FunctionSpec function(const char* name, int first_line, const char* returns, const char* doc,
                                Check returns_check = Check::none) {
  static_assert(detail::Signature<decltype(F)>::arity == 0, "no parameters");
  return FunctionSpec{name, doc, nullptr, 0, 0, returns, returns_check, nullptr, 0, first_line,
                      &detail::invoke<F>};
}

// A class whose methods are module functions: qualified names
// "Class.method", traceback names "<module>.Class.method".
struct ClassSpec {
  const char* name;
  const char* doc;
  const FunctionSpec* const* methods;
  int n_methods;
};

template <std::size_t NM>
constexpr ClassSpec class_(const char* name, const char* doc, const FunctionSpec* const (&methods)[NM]) {
  return ClassSpec{name, doc, methods, int(NM)};
}

}  // namespace zv
