// What the transform modules share to launch their kernels: a CuPy array read through its own fields, the memory test, the one-thread-per-element launch.
#pragma once

#include "zemvara/frame.hpp"

#include <initializer_list>

namespace zv::transform {

// The caller's source lines of a launch.
struct LaunchLines {
  Line block_size;  // block_size = 256
  Line grid_size;   // grid_size = (total_elements + block_size - 1) // block_size
  Line launch;      // <kernel>((grid_size, 1, 1), (block_size, 1, 1), (...))
};

// An array that a kernel reads or writes, and how many bytes from its data
// pointer the kernel touches. `what` names it in the message ("the batch").
struct Touched {
  Handle array;
  Object nbytes;
  const char* what;
  const char* access;  // "reads" or "writes"
};

// One attribute of a CuPy array read through cp.ndarray's own descriptor,
// as CuPy's launcher reads its fields, whatever a subclass's property claims.
inline Object own_field(Handle array, Name name) {
  return g("cp").attr("ndarray").attr(name).attr("__get__")(array);
}

// The memory behind an array as a launch passes it.
inline Object true_data(Handle array) { return own_field(array, "data"); }

// An array as the kernels will see it, read once: a CuPy array of a subclass
// becomes a plain cp.ndarray over the same memory with the shape, strides and
// dtype of its own fields, so that every later test, allocation and launch
// argument derives from that one reading and no property of the subclass
// (which may answer differently at each read) reaches any of them. A plain
// cp.ndarray, and anything that is not a CuPy array, is returned as it is.
inline Object as_plain(Handle array) {
  Object ndarray = g("cp").attr("ndarray");
  if (Py_TYPE(array.ptr()) == reinterpret_cast<PyTypeObject*>(ndarray.ptr()) || !is_instance(array, ndarray))
    return Object(array);
  return ndarray(own_field(array, "shape"), kw("dtype", own_field(array, "dtype")),
                 kw("memptr", own_field(array, "data")), kw("strides", own_field(array, "strides")));
}

// The bytes of device memory from a data pointer to the end of the
// allocation that it lies in (data.mem.size - (data.ptr - data.mem.ptr)),
// 0 for a pointer outside it. It does not depend on what the array's shape
// or dtype attributes say.
inline Object bytes_behind(Handle data) {
  Object mem = data.attr("mem");
  Object offset = sub(data.attr("ptr"), mem.attr("ptr"));
  Object have = sub(mem.attr("size"), offset);
  if (lt(offset, 0) || lt(have, 0)) return integer(0);
  return have;
}

// Refuses a launch in which a kernel would read or write past the memory of
// one of its arrays, or reach into another device's memory (the kernel runs
// on the current device). The sizes a kernel indexes with come from the
// arrays' Python-level shape and dtype, which a subclass may misreport; the
// allocation is what the device really holds. `device`: the current
// device's id when the caller has it already.
inline void require_memory(const Touched& t, Handle device = Handle()) {
  Object current = device.is_null() ? g("cp").attr("cuda").attr("runtime").attr("getDevice")() : Object(device);
  Object data = true_data(t.array);
  Object on = data.attr("device_id");
  if (ne(on, current))
    raise_(builtin("ValueError"), cat({"Array on another device: ", t.what, " is on device ", on,
                                       ", the kernel runs on device ", current}));
  Object have = bytes_behind(data);
  if (ge(have, t.nbytes)) return;
  raise_(builtin("ValueError"), cat({"Array too small for the kernel: ", t.what, " holds ", have,
                                     " bytes, the kernel ", t.access, " ", t.nbytes}));
}

// One thread per element, in blocks of 256:
// 1. grid_size = ceil(total_elements / 256); a grid of 0 launches nothing
//    (CuPy would still run one block).
// 2. Every touched array must lie on the current device and hold the bytes
//    the kernel touches.
// 3. kernel((grid_size, 1, 1), (block_size, 1, 1), args()), the kernel and
//    the arguments taken at the launch line (the 32-bit casts of the sizes
//    fail there).
template <class Args>
void launch_per_element(Call& c, Name kernel, const Object& total_elements, const LaunchLines& at,
                        std::initializer_list<Touched> touched, Args&& args) {
  c.step(at.block_size);  // 1
  Object block_size = integer(256);
  c.step(at.grid_size);
  Object grid_size = floordiv(sub(add(total_elements, block_size), 1), block_size);
  if (!gt(grid_size, 0)) return;
  c.step(at.launch);
  Object device = g("cp").attr("cuda").attr("runtime").attr("getDevice")();  // 2
  for (const Touched& t : touched) require_memory(t, device);
  g(kernel)(tuple(grid_size, 1, 1), tuple(block_size, 1, 1), args());  // 3
}

}  // namespace zv::transform
