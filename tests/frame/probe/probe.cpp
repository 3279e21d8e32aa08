// Test-only module zvprobe.sub.probe: frame features the deliverables use but subsample does not.
#include <cstdlib>

#include "zemvara/frame.hpp"

// Lines as the module's Python source would number them:
//  1 import os
//  2 from typing import Optional
//  3 from ..sibling import value
//  4 from . import near, ghost
//  5 from ..sibling import missing        (only with ZVPROBE_MISSING set)
//  8 def echo(src: bytes, dtype: str = "fp32", count: Optional[int] = None, out=None) -> bytes:
// 14 def unpack3(seq):
// 18 def call(fn, arg=None):
// 23 def lookup():
// 26 class Counter:
// 27     def __init__(self, start: int = 0):
// 30     def bump(self, by: int = 1) -> int:

namespace {

using namespace zv;

Object echo(Call& c, Handle src, Handle, Handle, Handle out) {
  c.step(9);
  if (out.is_none()) return Object(src);
  c.step(11);
  return Object(out);
}
constexpr Param echo_params[] = {
    {"src", "bytes", Check::bytes},
    {"dtype", "str", Check::str},
    {"count", "Optional[int]", optional(Check::int_)},
    {"out", nullptr, Check::none},
};
constexpr FunctionSpec echo_spec =
    function<echo>("echo", 8, echo_params, 1, "bytes", "Return src, or out when given.", Check::bytes);

Object unpack3(Call& c, Handle seq) {
  Object h, w, ch;
  c.step(15);
  unpack(seq, h, w, ch);
  c.step(16);
  return tuple(h, w, ch);
}
constexpr Param unpack3_params[] = {{"seq", nullptr, Check::none}};
constexpr const char* unpack3_locals[] = {"h", "w", "c"};
constexpr FunctionSpec unpack3_spec =
    function<unpack3>("unpack3", 14, unpack3_params, 1, nullptr, unpack3_locals, nullptr);

Object call(Call& c, Handle fn, Handle arg) {
  c.step(19);
  if (arg.is_none()) return fn();
  c.step(21);
  return fn(arg);
}
constexpr Param call_params[] = {{"fn", nullptr, Check::none}, {"arg", nullptr, Check::none}};
constexpr FunctionSpec call_spec = function<call>("call", 18, call_params, 1, nullptr, nullptr);

Object lookup(Call& c) {
  c.step(24);
  return g("zv_probe_name");
}
constexpr FunctionSpec lookup_spec = function<lookup>("lookup", 23, nullptr, nullptr);

Object counter_init(Call& c, Handle self, Handle start) {
  c.step(28);
  self.set_attr("value", start);
  return Object(none());
}
constexpr Param init_params[] = {{"self", nullptr, Check::none}, {"start", "int", Check::int_}};
constexpr FunctionSpec init_spec = function<counter_init>("__init__", 27, init_params, 1, nullptr, nullptr);

Object counter_bump(Call& c, Handle self, Handle by) {
  c.step(31);
  self.set_attr("value", add(self.attr("value"), by));
  c.step(32);
  return self.attr("value");
}
constexpr Param bump_params[] = {{"self", nullptr, Check::none}, {"by", "int", Check::int_}};
constexpr FunctionSpec bump_spec =
    function<counter_bump>("bump", 30, bump_params, 1, "int", "Add by to value.", Check::int_);

constexpr const FunctionSpec* counter_methods[] = {&init_spec, &bump_spec};
constexpr ClassSpec counter_class = class_("Counter", "Counts.", counter_methods);

void body(Body& b) {
  b.step(1);
  b.import("os");
  b.step(2);
  b.from_import("typing", {"Optional"});
  b.step(3);
  b.from_import("..sibling", {"value"});
  b.step(4);
  b.from_import(".", {"near", "ghost"});
  if (std::getenv("ZVPROBE_MISSING") != nullptr) {
    b.step(5);
    b.from_import("..sibling", {"missing"});
  }
  b.step(8);
  b.def(echo_spec, tuple("fp32", none(), none()));
  b.step(14);
  b.def(unpack3_spec);
  b.step(18);
  b.def(call_spec, tuple(none()));
  b.step(23);
  b.def(lookup_spec);
  b.step(26);
  b.def_class(counter_class, {tuple(0), tuple(1)});
}

constexpr const char* builtins[] = {"ValueError"};
constexpr ModuleSpec probe_module =
    module_spec("probe", "zvprobe.sub.probe", "tests/frame/probe/probe", builtins, body);

}  // namespace

PyMODINIT_FUNC PyInit_probe() { return zv::module_init(probe_module); }
