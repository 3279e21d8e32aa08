// Test-only module zvprobe.sub.probe: frame features the deliverables use but subsample does not.
#include <cstdlib>
#include <stdexcept>

#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// The module's source as Python would number it.
namespace L {
constexpr Line import_os{1};         // import os
constexpr Line import_optional{2};   // from typing import Optional
constexpr Line import_value{3};      // from ..sibling import value
constexpr Line import_near{4};       // from . import near, ghost
constexpr Line import_missing{5};    // from ..sibling import missing        (only with ZVPROBE_MISSING set)
constexpr Line def_echo{8};          // def echo(src: bytes, dtype: str = "fp32", count: Optional[int] = None, out=None) -> bytes:
constexpr Line echo_test{9};         //     if out is None: return src
constexpr Line echo_out{11};         //     return out
constexpr Line def_unpack3{14};      // def unpack3(seq):
constexpr Line unpack3_unpack{15};   //     h, w, c = seq
constexpr Line unpack3_return{16};   //     return h, w, c
constexpr Line def_call{18};         // def call(fn, arg=None):
constexpr Line call_test{19};        //     if arg is None: return fn()
constexpr Line call_arg{21};         //     return fn(arg)
constexpr Line def_lookup{23};       // def lookup():
constexpr Line lookup_return{24};    //     return zv_probe_name
constexpr Line class_counter{26};    // class Counter:
constexpr Line def_init{27};         //     def __init__(self, start: int = 0):
constexpr Line init_store{28};       //         self.value = start
constexpr Line def_bump{30};         //     def bump(self, by: int = 1) -> int:
constexpr Line bump_add{31};         //         self.value = self.value + by
constexpr Line bump_return{32};      //         return self.value
constexpr Line bad_value{33};        // value = "x"                          (only with ZVPROBE_BAD_DEFAULT set)
constexpr Line def_pick{34};         // def pick(n: int = value, fail: bool = False) -> int:
constexpr Line pick_test{35};        //     if fail:
constexpr Line pick_raise{36};       //         raise LookupError(n)          (LookupError is not listed)
constexpr Line pick_return{37};      //     return n
constexpr Line def_guarded{39};      // def guarded(manager, fail=False):
constexpr Line guarded_with{40};     //     with manager as entered:
constexpr Line guarded_raise{42};    //             raise ValueError(entered)      (when fail; fail == "c++": a C++ exception)
constexpr Line guarded_return{43};   //     return entered, hasattr(manager, "entered")
}  // namespace L

Object echo(Call& c, Handle src, Handle, Handle, Handle out) {
  c.step(L::echo_test);
  if (out.is_none()) return Object(src);
  c.step(L::echo_out);
  return Object(out);
}
constexpr FunctionSpec echo_def = def<echo>({
    .name = "echo",
    .line = L::def_echo,
    .params = {{"src", "bytes"}, {"dtype", "str", "fp32"}, {"count", "Optional[int]", None}, {"out", nullptr, None}},
    .returns = "bytes",
    .doc = "Return src, or out when given.",
});

Object unpack3(Call& c, Handle seq) {
  Object h, w, ch;
  c.step(L::unpack3_unpack);
  unpack(seq, h, w, ch);
  c.step(L::unpack3_return);
  return tuple(h, w, ch);
}
constexpr FunctionSpec unpack3_def = def<unpack3>({
    .name = "unpack3", .line = L::def_unpack3, .params = {{"seq"}}, .locals = "h w c"});

Object call(Call& c, Handle fn, Handle arg) {
  c.step(L::call_test);
  if (arg.is_none()) return fn();
  c.step(L::call_arg);
  return fn(arg);
}
constexpr FunctionSpec call_def = def<call>({.name = "call", .line = L::def_call, .params = {{"fn"}, {"arg", nullptr, None}}});

Object lookup(Call& c) {
  c.step(L::lookup_return);
  return g("zv_probe_name");
}
constexpr FunctionSpec lookup_def = def<lookup>({.name = "lookup", .line = L::def_lookup});

Object counter_init(Call& c, Handle self, Handle start) {
  c.step(L::init_store);
  self.set_attr("value", start);
  return Object(none());
}
constexpr FunctionSpec init_def = def<counter_init>({
    .name = "__init__", .line = L::def_init, .params = {{"self"}, {"start", "int", 0}}});

Object counter_bump(Call& c, Handle self, Handle by) {
  c.step(L::bump_add);
  self.set_attr("value", add(self.attr("value"), by));
  c.step(L::bump_return);
  return self.attr("value");
}
constexpr FunctionSpec bump_def = def<counter_bump>({
    .name = "bump",
    .line = L::def_bump,
    .params = {{"self"}, {"by", "int", 1}},
    .returns = "int",
    .doc = "Add by to value.",
});

constexpr ClassSpec counter_class = class_({
    .name = "Counter", .line = L::class_counter, .doc = "Counts.", .methods = {&init_def, &bump_def}});

Object pick(Call& c, Handle n, Handle fail) {
  c.step(L::pick_test);
  if (truth(fail)) {
    c.step(L::pick_raise);
    raise_(builtin("LookupError"), str(n));
  }
  c.step(L::pick_return);
  return Object(n);
}
constexpr FunctionSpec pick_def = def<pick>({
    .name = "pick",
    .line = L::def_pick,
    .params = {{"n", "int", global_("value")}, {"fail", "bool", false}},
    .returns = "int",
});

// with_, raising inside the block (a Python or a C++ exception), and has_attr/del_attr on the manager.
Object guarded(Call& c, Handle manager, Handle fail) {
  c.step(L::guarded_with);
  Object kept;
  with_(manager, [&](const Object& entered) {
    kept = entered;
    manager.set_attr("entered", entered);
    if (eq(fail, "c++")) throw std::runtime_error("a C++ exception");
    if (truth(fail)) {
      c.step(L::guarded_raise);
      raise_(builtin("ValueError"), str(entered));
    }
    del_attr(manager, "entered");
  });
  c.step(L::guarded_return);
  return tuple(kept, has_attr(manager, "entered") ? py_true() : py_false());
}
constexpr FunctionSpec guarded_def = def<guarded>({
    .name = "guarded", .line = L::def_guarded, .params = {{"manager"}, {"fail", nullptr, false}}, .locals = "entered"});

void body(Body& b) {
  b.step(L::import_os);
  b.import("os");
  b.step(L::import_optional);
  b.from_import("typing", {"Optional"});
  b.step(L::import_value);
  b.from_import("..sibling", {"value"});
  b.step(L::import_near);
  b.from_import(".", {"near", "ghost"});
  if (std::getenv("ZVPROBE_MISSING") != nullptr) {
    b.step(L::import_missing);
    b.from_import("..sibling", {"missing"});
  }
  b.def(echo_def);
  b.def(unpack3_def);
  b.def(call_def);
  b.def(lookup_def);
  b.def_class(counter_class);
  if (std::getenv("ZVPROBE_BAD_DEFAULT") != nullptr) {
    b.step(L::bad_value);
    b.set("value", string("x"));
  }
  b.def(pick_def);
  b.def(guarded_def);
}

}  // namespace

ZEMVARA_MODULE_AT(probe, "zvprobe.sub.probe", "tests/frame/probe/probe", body, "ValueError")
