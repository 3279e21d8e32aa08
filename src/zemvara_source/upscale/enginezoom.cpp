// zemvara.upscale.enginezoom: EngineZoom, which runs a serialised TensorRT engine on single GPU frames.
#include "zemvara/frame.hpp"

namespace {

using namespace zv;

// ----- source lines -----------------------------------------------------------
// The module's source as Python would number it; each name marks the
// statement that a traceback entry points at.
namespace L {
constexpr Line import_optional{1};   // from typing import Optional
constexpr Line import_cupy{2};       // import cupy as cp
constexpr Line import_tensorrt{3};   // import tensorrt as trt
constexpr Line class_engine_zoom{6};  // class EngineZoom:
constexpr Line def_init{7};          //     def __init__(self, model_path: Optional[str] = None, model_bytes: Optional[bytes] = None, device_id: int = 0) -> None:
constexpr Line store_device{16};     //         self.device_id = device_id
constexpr Line with_device{17};      //         with cp.cuda.Device(self.device_id):
constexpr Line logger{18};           //             self.logger = trt.Logger(trt.Logger.WARNING)
constexpr Line runtime{19};          //             self.runtime = trt.Runtime(self.logger)
constexpr Line path_test{20};        //             if model_path is not None:
constexpr Line with_open{21};        //                 with open(model_path, "rb") as f:
constexpr Line read{22};             //                     model_bytes = f.read()
constexpr Line bytes_test{23};       //             if model_bytes is None:
constexpr Line bytes_raise{24};      //                 raise ValueError("model_bytes must be provided if model_path is not specified")
constexpr Line deserialize{25};      //             self.engine = self.runtime.deserialize_cuda_engine(model_bytes)
constexpr Line context{26};          //             self.ctx = self.engine.create_execution_context()
constexpr Line print_loaded{27};     //             print("engine loaded ✔  tensors:", self.engine)
constexpr Line call_initialize{28};  //             self.initialize()
constexpr Line def_initialize{30};   //     def initialize(self):
constexpr Line initialize_device{32};  //       with cp.cuda.Device(self.device_id):
constexpr Line stream{33};           //             self.stream = cp.cuda.Stream()
constexpr Line d_inputs{34};         //             self.d_inputs = {}
constexpr Line d_outputs{35};        //             self.d_outputs = {}
constexpr Line input_names{36};      //             input_names = []
constexpr Line output_names{37};     //             output_names = []
constexpr Line for_tensors{38};      //             for name in <the engine's IO tensors, in engine order>:
constexpr Line shape{39};            //                 shape = self.ctx.get_tensor_shape(name)
constexpr Line dtype{40};            //                 dtype = trt.nptype(self.engine.get_tensor_dtype(name))
constexpr Line shape_list{41};       //                 shape_list = [int(dim) for dim in shape]
constexpr Line print_shape{42};      //                 print("Tensor " + str(name) + " shape: " + str(shape_list) + ", dtype: " + str(dtype))
constexpr Line adjust{43};           //                 shape_list = [1 if 1 > dim else dim for dim in shape_list]
constexpr Line print_adjusted{44};   //                 print("Tensor " + str(name) + " adjusted shape: " + str(shape_list))
constexpr Line d_arr{45};            //                 d_arr = cp.empty(shape_list, dtype=dtype)
constexpr Line mode_test{46};        //                 if self.engine.get_tensor_mode(name) == trt.TensorIOMode.INPUT:
constexpr Line store_input{47};      //                     self.d_inputs[name] = d_arr
constexpr Line zero_input{48};       //                     <d_arr zeroed on self.stream>
constexpr Line append_input{49};     //                     input_names.append(name)
constexpr Line store_output{51};     //                     self.d_outputs[name] = d_arr
constexpr Line append_output{52};    //                     output_names.append(name)
constexpr Line input_tensor{53};     //             self.input_tensor = input_names[0] if input_names else "input"
constexpr Line output_tensor{54};    //             self.output_tensor = output_names[0] if output_names else "output"
constexpr Line for_bindings{55};     //             for name in <the engine's IO tensors, in engine order>:
constexpr Line bind_mode_test{56};   //                 if self.engine.get_tensor_mode(name) == trt.TensorIOMode.INPUT:
constexpr Line bind_input{57};       //                     self.ctx.set_tensor_address(name, self.d_inputs[name].data.ptr)
constexpr Line bind_output{59};      //                     self.ctx.set_tensor_address(name, self.d_outputs[name].data.ptr)
constexpr Line reset_input{60};      //             self.input_buffer = None
constexpr Line reset_output{61};     //             self.output_buffer = None
constexpr Line reset_last{62};       //             self.last_input_shape = None
constexpr Line def_pre_process{64};  //     def pre_process(self, input_frame: cp.ndarray) -> cp.ndarray:
constexpr Line input_shape{66};      //         input_shape = input_frame.shape
constexpr Line channels{67};         //         channels = 3 if input_shape[-1] >= 3 else input_shape[-1]
constexpr Line processed_shape{68};  //         processed_shape = (1, channels, input_shape[0], input_shape[1])
constexpr Line layout_test{69};      //         if input_frame.shape[-1] not in (3, 4) and input_frame.ndim != 2:
constexpr Line layout_raise{70};     //             raise ValueError(f"cannot stage a frame of shape {input_frame.shape}: ...")
constexpr Line staging_test{71};     //         if self.input_buffer is None or self.input_buffer.shape != processed_shape:
constexpr Line staging_new{72};      //             self.input_buffer = cp.empty(processed_shape, dtype=cp.float32)
constexpr Line bgr_test{73};         //         if input_frame.shape[-1] == 3:
constexpr Line bgr_red{74};          //             self.input_buffer[0, 0] = input_frame[:, :, 2]
constexpr Line bgr_green{75};        //             self.input_buffer[0, 1] = input_frame[:, :, 1]
constexpr Line bgr_blue{76};         //             self.input_buffer[0, 2] = input_frame[:, :, 0]
constexpr Line bgra_test{77};        //         elif input_frame.shape[-1] == 4:
constexpr Line bgra_red{78};         //             self.input_buffer[0, 0] = input_frame[:, :, 2]
constexpr Line bgra_green{79};       //             self.input_buffer[0, 1] = input_frame[:, :, 1]
constexpr Line bgra_blue{80};        //             self.input_buffer[0, 2] = input_frame[:, :, 0]
constexpr Line grey_test{81};        //         elif input_frame.ndim == 2:
constexpr Line grey_red{82};         //             self.input_buffer[0, 0] = input_frame
constexpr Line grey_green{83};       //             self.input_buffer[0, 1] = input_frame
constexpr Line grey_blue{84};        //             self.input_buffer[0, 2] = input_frame
constexpr Line return_staged{85};    //         return self.input_buffer
constexpr Line def_post_process{87};  //     def post_process(self, output_frame: cp.ndarray) -> cp.ndarray:
constexpr Line output_shape{89};     //         output_shape = (output_frame.shape[2], output_frame.shape[3], output_frame.shape[1])
constexpr Line result_test{90};      //         if self.output_buffer is None or self.output_buffer.shape != output_shape:
constexpr Line result_del_test{91};  //             if self.output_buffer is not None:
constexpr Line result_del{92};       //                 del self.output_buffer
constexpr Line result_new{93};       //             self.output_buffer = cp.empty(output_shape, dtype=output_frame.dtype)
constexpr Line blue_plane{94};       //         self.output_buffer[:, :, 0] = output_frame[0, 2]
constexpr Line green_plane{95};      //         self.output_buffer[:, :, 1] = output_frame[0, 1]
constexpr Line red_plane{96};        //         self.output_buffer[:, :, 2] = output_frame[0, 0]
constexpr Line return_result{97};    //         return self.output_buffer
constexpr Line def_get{99};          //     def get(self, input_frame: cp.ndarray) -> cp.ndarray:
constexpr Line wait_previous{100};    //         <the current stream waits for an event recorded on self.stream, on the engine's device>
constexpr Line stage{101};            //         processed_input = self.pre_process(input_frame)
constexpr Line bound_input{102};     //         in_gpu = self.d_inputs[self.input_tensor]
constexpr Line fit_test{103};        //         if in_gpu.shape != processed_input.shape or <the context's input shape> != processed_input.shape:
constexpr Line engine_shape_test{105};  //             if <the context's input shape> != processed_input.shape:
constexpr Line set_input_shape{106};  //                if <a dynamic input whose profile admits it>: self.ctx.set_input_shape(...)
constexpr Line refuse{107};          //                 else: raise ValueError(<the frame's shape, the shapes the engine takes>)
constexpr Line input_realloc_test{108};  //         if in_gpu.shape != processed_input.shape:
constexpr Line input_del{109};       //                 del self.d_inputs[self.input_tensor]
constexpr Line input_new{110};       //                 in_gpu = cp.empty(processed_input.shape, dtype=in_gpu.dtype)
constexpr Line input_store{111};     //                 self.d_inputs[self.input_tensor] = in_gpu
constexpr Line input_bind{112};      //                 self.ctx.set_tensor_address(self.input_tensor, in_gpu.data.ptr)
constexpr Line outputs_fit{113};     //             <re-allocate and re-bind each output whose shape the context now reports otherwise>
constexpr Line copy_in{114};         //         in_gpu[:] = processed_input
constexpr Line wait_staged{115};     //         <record an event on the current stream; self.stream waits for it>
constexpr Line engine_device{116};   //         with cp.cuda.Device(self.device_id):
constexpr Line enqueue{117};         //             if not self.ctx.execute_async_v3(self.stream.ptr):
constexpr Line enqueue_raise{118};   //                 raise RuntimeError("TensorRT did not enqueue the inference")
constexpr Line record_inferred{119};  //            <record an event on self.stream>
constexpr Line wait_inferred{120};   //         <the current stream waits for it>
constexpr Line bound_output{121};    //         out_gpu = self.d_outputs[self.output_tensor]
constexpr Line unstage{122};         //         <result> = self.post_process(out_gpu)
constexpr Line wait_unstaged{123};   //         <record an event on the current stream; self.stream waits for it>
constexpr Line return_unstaged{124};  //        return <result>
}  // namespace L

// ----- shared steps --------------------------------------------------------------

// The engine's input and output tensor names in engine order: get_tensor_name(i)
// for i < num_io_tensors where the engine offers it (current TensorRT), plain
// iteration over the engine otherwise. Both give the same names in the same order.
Object io_tensor_names(Handle engine) {
  if (!has_attr(engine, "num_io_tensors") || !has_attr(engine, "get_tensor_name")) return Object(engine);
  Object get_name = engine.attr("get_tensor_name");
  const long long n = as_long_long(engine.attr("num_io_tensors"));
  List names;
  for (long long i = 0; i < n; ++i) names.append(get_name(i));
  return std::move(names);
}

// ----- EngineZoom.__init__ -----------------------------------------------------
// 1. Store device_id; everything else runs with that device current (the
//    previous device is restored on the way out, also on failure).
// 2. Logger (WARNING) and runtime.
// 3. A path, when given, is read whole and wins over model_bytes.
// 4. No engine bytes at all: ValueError (logger and runtime stay).
// 5. Deserialise (a None result fails at the next step, as the library
//    leaves it), create the execution context, print the engine.
// 6. initialize(), through the attribute.
Object engine_init(Call& c, Handle self, Handle model_path, Handle model_bytes_arg, Handle device_id) {
  Object model_bytes(model_bytes_arg);
  c.step(L::store_device);  // 1
  self.set_attr("device_id", device_id);
  c.step(L::with_device);
  Object cp = g("cp");
  Object device = cp.attr("cuda").attr("Device")(self.attr("device_id"));
  with_(device, [&](const Object&) {
    c.step(L::logger);  // 2
    Object trt = g("trt");
    self.set_attr("logger", trt.attr("Logger")(trt.attr("Logger").attr("WARNING")));
    c.step(L::runtime);
    self.set_attr("runtime", g("trt").attr("Runtime")(self.attr("logger")));
    c.step(L::path_test);  // 3
    if (!model_path.is_none()) {
      c.step(L::with_open);
      Object file = builtin("open")(model_path, "rb");
      with_(file, [&](const Object& f) {
        c.step(L::read);
        model_bytes = f.attr("read")();
      });
    }
    c.step(L::bytes_test);  // 4
    if (model_bytes.is_none()) {
      c.step(L::bytes_raise);
      raise_(builtin("ValueError"), "model_bytes must be provided if model_path is not specified");
    }
    c.step(L::deserialize);  // 5
    self.set_attr("engine", self.attr("runtime").attr("deserialize_cuda_engine")(model_bytes));
    c.step(L::context);
    self.set_attr("ctx", self.attr("engine").attr("create_execution_context")());
    c.step(L::print_loaded);
    builtin("print")("engine loaded \u2714  tensors:", self.attr("engine"));
    c.step(L::call_initialize);  // 6
    self.attr("initialize")();
  });
  return Object(none());
}

constexpr FunctionSpec engine_init_def = def<engine_init>({
    .name = "__init__",
    .line = L::def_init,
    .params = {{"self"},
               {"model_path", "Optional[str]", None},
               {"model_bytes", "Optional[bytes]", None},
               {"device_id", "int", 0}},
    .returns = "None",
    .doc = "\n"
           "        Initialize the EngineZoom.\n"
           "\n"
           "        Args:\n"
           "            model_path (str): Path to the TensorRT engine file or ONNX model.\n"
           "        Raises:\n"
           "            FileNotFoundError: If the specified path does not exist.\n"
           "        ",
    .locals = "f",
});

// ----- EngineZoom.initialize -----------------------------------------------------
// Everything below runs with the engine's device current, also when the caller
// calls initialize() with another device current: the engine reads and writes
// only memory of its own device, and get records events on the stream.
// 1. A new stream for the inference, empty buffer dictionaries.
// 2. First pass over the tensors in engine order: the context's shape and
//    the engine's type, printed; dimensions below 1 (dynamic ones) raised
//    to 1; an uninitialised buffer of that shape, filed as input or output.
//    An input buffer is zeroed (on the instance's stream, so before any
//    inference): a further input that the caller never fills is read by
//    every inference and must not hand the engine leftover device memory.
// 3. The first input and the first output take part in frame processing
//    ("input"/"output" when there is none).
// 4. Second pass: bind every buffer's address to its tensor.
// 5. No staging or result buffer yet.
void initialize_on_device(Call& c, Handle self) {
  c.step(L::stream);  // 1
  self.set_attr("stream", g("cp").attr("cuda").attr("Stream")());
  c.step(L::d_inputs);
  self.set_attr("d_inputs", dict());
  c.step(L::d_outputs);
  self.set_attr("d_outputs", dict());
  c.step(L::input_names);
  List input_names;
  c.step(L::output_names);
  List output_names;
  c.step(L::for_tensors);  // 2
  for (Object name : iterate(io_tensor_names(self.attr("engine")))) {
    c.step(L::shape);
    Object shape = self.attr("ctx").attr("get_tensor_shape")(name);
    c.step(L::dtype);
    Object dtype = g("trt").attr("nptype")(self.attr("engine").attr("get_tensor_dtype")(name));
    c.step(L::shape_list);
    List shape_list;
    for (Object dim : iterate(shape)) shape_list.append(builtin("int")(dim));
    c.step(L::print_shape);
    builtin("print")(cat({"Tensor ", str(name), " shape: ", str(shape_list), ", dtype: ", str(dtype)}));
    c.step(L::adjust);
    List adjusted;
    for (Object dim : iterate(shape_list)) adjusted.append(gt(1, dim) ? integer(1) : dim);
    shape_list = std::move(adjusted);
    c.step(L::print_adjusted);
    builtin("print")(cat({"Tensor ", str(name), " adjusted shape: ", str(shape_list)}));
    c.step(L::d_arr);
    Object d_arr = g("cp").attr("empty")(shape_list, kw("dtype", dtype));
    c.step(L::mode_test);
    if (eq(self.attr("engine").attr("get_tensor_mode")(name), g("trt").attr("TensorIOMode").attr("INPUT"))) {
      c.step(L::store_input);
      set_item(self.attr("d_inputs"), name, d_arr);
      c.step(L::zero_input);
      with_(self.attr("stream"), [&](const Object&) { d_arr.attr("fill")(0); });
      c.step(L::append_input);
      input_names.append(name);
    } else {
      c.step(L::store_output);
      set_item(self.attr("d_outputs"), name, d_arr);
      c.step(L::append_output);
      output_names.append(name);
    }
    c.step(L::for_tensors);
  }
  c.step(L::input_tensor);  // 3
  self.set_attr("input_tensor", truth(input_names) ? input_names[0] : Object(Name("input").str()));
  c.step(L::output_tensor);
  self.set_attr("output_tensor", truth(output_names) ? output_names[0] : Object(Name("output").str()));
  c.step(L::for_bindings);  // 4
  for (Object name : iterate(io_tensor_names(self.attr("engine")))) {
    c.step(L::bind_mode_test);
    if (eq(self.attr("engine").attr("get_tensor_mode")(name), g("trt").attr("TensorIOMode").attr("INPUT"))) {
      c.step(L::bind_input);
      self.attr("ctx").attr("set_tensor_address")(name, self.attr("d_inputs")[name].attr("data").attr("ptr"));
    } else {
      c.step(L::bind_output);
      self.attr("ctx").attr("set_tensor_address")(name, self.attr("d_outputs")[name].attr("data").attr("ptr"));
    }
    c.step(L::for_bindings);
  }
  c.step(L::reset_input);  // 5
  self.set_attr("input_buffer", none());
  c.step(L::reset_output);
  self.set_attr("output_buffer", none());
  c.step(L::reset_last);
  self.set_attr("last_input_shape", none());
}

Object engine_initialize(Call& c, Handle self) {
  c.step(L::initialize_device);
  with_(g("cp").attr("cuda").attr("Device")(self.attr("device_id")),
        [&](const Object&) { initialize_on_device(c, self); });
  return Object(none());
}

constexpr FunctionSpec engine_initialize_def = def<engine_initialize>({
    .name = "initialize",
    .line = L::def_initialize,
    .params = {{"self"}},
    .doc = "Initialize processing",
    .locals = "input_names output_names name shape dtype shape_list d_arr dim",
});

// ----- EngineZoom.pre_process ----------------------------------------------------
// 1. The staged shape: (1, channels, H, W) with at most 3 planes.
// 2. A frame that none of the three layouts below would write (one, two or
//    five and more channels on a third axis, other ranks) is refused before
//    anything is allocated: it would hand the engine uninitialised memory.
// 3. The staging buffer is (re)made only when the staged shape changes.
// 4. Blue-green-red(-alpha) interleaved becomes red, green, blue planes
//    (alpha unused); a grey frame fills all three. Values are copied; the
//    only conversion is assignment's into float32.
Object engine_pre_process(Call& c, Handle self, Handle input_frame) {
  c.step(L::input_shape);  // 1
  Object input_shape = input_frame.attr("shape");
  c.step(L::channels);
  Object last = input_shape[-1];
  Object channels = ge(last, 3) ? integer(3) : last;
  c.step(L::processed_shape);
  Object processed_shape = tuple(1, channels, input_shape[0], input_shape[1]);
  c.step(L::layout_test);  // 2
  if (!contains(tuple(3, 4), input_frame.attr("shape")[-1]) && ne(input_frame.attr("ndim"), 2)) {
    c.step(L::layout_raise);
    raise_(builtin("ValueError"), cat({"cannot stage a frame of shape ", input_frame.attr("shape"),
                                        ": a frame is (H, W), (H, W, 3) or (H, W, 4)"}));
  }
  c.step(L::staging_test);  // 3
  if (self.attr("input_buffer").is_none() || ne(self.attr("input_buffer").attr("shape"), processed_shape)) {
    c.step(L::staging_new);
    Object cp = g("cp");
    self.set_attr("input_buffer", cp.attr("empty")(processed_shape, kw("dtype", cp.attr("float32"))));
  }
  Handle all = full_slice();
  c.step(L::bgr_test);  // 4
  if (eq(input_frame.attr("shape")[-1], 3)) {
    c.step(L::bgr_red);
    set_item(self.attr("input_buffer"), tuple(0, 0), input_frame[tuple(all, all, 2)]);
    c.step(L::bgr_green);
    set_item(self.attr("input_buffer"), tuple(0, 1), input_frame[tuple(all, all, 1)]);
    c.step(L::bgr_blue);
    set_item(self.attr("input_buffer"), tuple(0, 2), input_frame[tuple(all, all, 0)]);
  } else {
    c.step(L::bgra_test);
    if (eq(input_frame.attr("shape")[-1], 4)) {
      c.step(L::bgra_red);
      set_item(self.attr("input_buffer"), tuple(0, 0), input_frame[tuple(all, all, 2)]);
      c.step(L::bgra_green);
      set_item(self.attr("input_buffer"), tuple(0, 1), input_frame[tuple(all, all, 1)]);
      c.step(L::bgra_blue);
      set_item(self.attr("input_buffer"), tuple(0, 2), input_frame[tuple(all, all, 0)]);
    } else {
      c.step(L::grey_test);
      if (eq(input_frame.attr("ndim"), 2)) {
        c.step(L::grey_red);
        set_item(self.attr("input_buffer"), tuple(0, 0), input_frame);
        c.step(L::grey_green);
        set_item(self.attr("input_buffer"), tuple(0, 1), input_frame);
        c.step(L::grey_blue);
        set_item(self.attr("input_buffer"), tuple(0, 2), input_frame);
      }
    }
  }
  c.step(L::return_staged);
  return self.attr("input_buffer");
}

constexpr FunctionSpec engine_pre_process_def = def<engine_pre_process>({
    .name = "pre_process",
    .line = L::def_pre_process,
    .params = {{"self"}, {"input_frame", "cp.ndarray"}},
    .returns = "cp.ndarray",
    .doc = "Execute preprocessing in-place",
    .locals = "input_shape channels processed_shape",
});

// ----- EngineZoom.post_process ---------------------------------------------------
// 1. The result shape (H', W', C') of a (1, C', H', W') engine output.
// 2. The result buffer, in the output's type, is replaced (the old one
//    released first) only when that shape changes.
// 3. Red, green, blue planes become blue-green-red interleaved; channels
//    after the third are not written.
Object engine_post_process(Call& c, Handle self, Handle output_frame) {
  c.step(L::output_shape);  // 1
  Object output_shape = tuple(output_frame.attr("shape")[2], output_frame.attr("shape")[3],
                              output_frame.attr("shape")[1]);
  c.step(L::result_test);  // 2
  if (self.attr("output_buffer").is_none() || ne(self.attr("output_buffer").attr("shape"), output_shape)) {
    c.step(L::result_del_test);
    if (!self.attr("output_buffer").is_none()) {
      c.step(L::result_del);
      del_attr(self, "output_buffer");
    }
    c.step(L::result_new);
    self.set_attr("output_buffer", g("cp").attr("empty")(output_shape, kw("dtype", output_frame.attr("dtype"))));
  }
  Handle all = full_slice();
  c.step(L::blue_plane);  // 3
  set_item(self.attr("output_buffer"), tuple(all, all, 0), output_frame[tuple(0, 2)]);
  c.step(L::green_plane);
  set_item(self.attr("output_buffer"), tuple(all, all, 1), output_frame[tuple(0, 1)]);
  c.step(L::red_plane);
  set_item(self.attr("output_buffer"), tuple(all, all, 2), output_frame[tuple(0, 0)]);
  c.step(L::return_result);
  return self.attr("output_buffer");
}

constexpr FunctionSpec engine_post_process_def = def<engine_post_process>({
    .name = "post_process",
    .line = L::def_post_process,
    .params = {{"self"}, {"output_frame", "cp.ndarray"}},
    .returns = "cp.ndarray",
    .doc = "Optimized post-processing",
    .locals = "output_shape",
});

// ----- EngineZoom.get --------------------------------------------------------------

// The context's current shape of a tensor, as a tuple (a dynamic dimension is -1).
Object context_shape(Handle self, Handle name) {
  return builtin("tuple")(self.attr("ctx").attr("get_tensor_shape")(name));
}

// Whether every dimension of `shape` lies between those of lo and hi.
bool within(Handle lo, Handle shape, Handle hi) {
  const Py_ssize_t n = length(shape);
  if (length(lo) != n || length(hi) != n) return false;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (gt(lo[i], shape[i]) || gt(shape[i], hi[i])) return false;
  return true;
}

// The engine's input is made to take the staged shape, or the frame is refused:
// 1. When the context's input shape differs from the staged one, a dynamic
//    input whose profile admits it gets that shape set on the context; a
//    static input, or a shape outside the profile, raises ValueError naming
//    the frame's shape and the shapes the engine takes.
// 2. The bound input array is replaced by one of the staged shape (in the
//    type the engine reads) and re-bound.
// 3. Each output whose shape the context now reports otherwise is
//    re-allocated and re-bound, so that the engine never writes past a
//    buffer.
Object fit_engine(Call& c, Handle self, Handle input_frame, Handle processed_input, Object in_gpu) {
  Object name = self.attr("input_tensor");
  Object staged = processed_input.attr("shape");
  c.step(L::engine_shape_test);  // 1
  if (ne(context_shape(self, name), staged)) {
    c.step(L::set_input_shape);
    Object engine = self.attr("engine");
    Object declared = builtin("tuple")(engine.attr("get_tensor_shape")(name));
    Object refused;
    if (!contains(declared, -1)) {
      refused = cat({"frame of shape ", input_frame.attr("shape"), " stages to ", staged,
                     ", but the engine input '", name, "' takes only ", declared});
    } else {
      Object lo, opt, hi;
      unpack(engine.attr("get_tensor_profile_shape")(name, 0), lo, opt, hi);
      lo = builtin("tuple")(lo);
      hi = builtin("tuple")(hi);
      if (!within(lo, staged, hi) || !truth(self.attr("ctx").attr("set_input_shape")(name, staged)))
        refused = cat({"frame of shape ", input_frame.attr("shape"), " stages to ", staged,
                       ", but the engine input '", name, "' takes shapes from ", lo, " to ", hi});
    }
    if (!refused.is_null()) {
      c.step(L::refuse);
      raise_(builtin("ValueError"), refused);
    }
  }
  c.step(L::input_realloc_test);  // 2
  if (ne(in_gpu.attr("shape"), staged)) {
    c.step(L::input_del);
    del_item(self.attr("d_inputs"), self.attr("input_tensor"));
    c.step(L::input_new);
    in_gpu = g("cp").attr("empty")(staged, kw("dtype", in_gpu.attr("dtype")));
    c.step(L::input_store);
    set_item(self.attr("d_inputs"), self.attr("input_tensor"), in_gpu);
    c.step(L::input_bind);
    self.attr("ctx").attr("set_tensor_address")(self.attr("input_tensor"), in_gpu.attr("data").attr("ptr"));
  }
  c.step(L::outputs_fit);  // 3
  Object d_outputs = self.attr("d_outputs");
  for (Object out : iterate(builtin("list")(d_outputs))) {
    Object shape = context_shape(self, out);
    Object old = d_outputs[out];
    if (contains(shape, -1) || eq(old.attr("shape"), shape)) continue;
    del_item(d_outputs, out);
    Object fresh = g("cp").attr("empty")(shape, kw("dtype", old.attr("dtype")));
    set_item(d_outputs, out, fresh);
    self.attr("ctx").attr("set_tensor_address")(out, fresh.attr("data").attr("ptr"));
  }
  return in_gpu;
}

// A new event (timing off), recorded now on `stream`. CUDA records an event
// only on a stream of the device the event was made on, so it is made while
// that stream's device is current.
Object recorded(Handle cuda, Handle stream) {
  Object event = cuda.attr("Event")(kw("disable_timing", py_true()));
  event.attr("record")(stream);
  return event;
}

// 1. The caller's current stream waits for everything queued so far on the
//    instance's stream: the previous inference and, through step 6, the
//    previous frame's unstaging. So a frame staged on another stream than the
//    previous one never overwrites the staging buffer, the bound input or the
//    result buffer while the previous frame still uses them (no host wait).
// 2. Stage the frame (through the attribute, so an override is used).
// 3. The bound input array; when the staged shape is not the engine's
//    current input, fit the engine to it (fit_engine). Same-size frames
//    allocate and bind nothing.
// 4. Copy the staged frame into the bound input, on the caller's stream.
// 5. The instance's stream waits for that copy, runs the inference with the
//    engine's device current (the caller may have another one current), and
//    the caller's stream waits for the inference before unstaging reads the
//    output. An enqueue the runtime refuses is an error, not a stale result.
// 6. Unstage the first output into the reused result buffer; the instance's
//    stream waits for that before the next inference may rewrite the output.
Object engine_get(Call& c, Handle self, Handle input_frame) {
  c.step(L::wait_previous);  // 1
  Object cuda = g("cp").attr("cuda");
  Object current = cuda.attr("get_current_stream")();
  Object previous;
  with_(cuda.attr("Device")(self.attr("device_id")),
        [&](const Object&) { previous = recorded(cuda, self.attr("stream")); });
  current.attr("wait_event")(previous);
  c.step(L::stage);  // 2
  Object processed_input = self.attr("pre_process")(input_frame);
  c.step(L::bound_input);  // 3
  Object in_gpu = self.attr("d_inputs")[self.attr("input_tensor")];
  c.step(L::fit_test);
  if (ne(in_gpu.attr("shape"), processed_input.attr("shape")) ||
      ne(context_shape(self, self.attr("input_tensor")), processed_input.attr("shape")))
    in_gpu = fit_engine(c, self, input_frame, processed_input, std::move(in_gpu));
  c.step(L::copy_in);  // 4
  set_item(in_gpu, full_slice(), processed_input);
  c.step(L::wait_staged);  // 5
  self.attr("stream").attr("wait_event")(recorded(cuda, current));
  c.step(L::engine_device);
  Object inferred;
  with_(cuda.attr("Device")(self.attr("device_id")), [&](const Object&) {
    c.step(L::enqueue);
    if (!truth(self.attr("ctx").attr("execute_async_v3")(self.attr("stream").attr("ptr")))) {
      c.step(L::enqueue_raise);
      raise_(builtin("RuntimeError"), "TensorRT did not enqueue the inference");
    }
    c.step(L::record_inferred);
    inferred = recorded(cuda, self.attr("stream"));
  });
  c.step(L::wait_inferred);
  current.attr("wait_event")(inferred);
  c.step(L::bound_output);  // 6
  Object out_gpu = self.attr("d_outputs")[self.attr("output_tensor")];
  c.step(L::unstage);
  Object result = self.attr("post_process")(out_gpu);
  c.step(L::wait_unstaged);
  self.attr("stream").attr("wait_event")(recorded(cuda, current));
  c.step(L::return_unstaged);
  return result;
}

constexpr FunctionSpec engine_get_def = def<engine_get>({
    .name = "get",
    .line = L::def_get,
    .params = {{"self"}, {"input_frame", "cp.ndarray"}},
    .returns = "cp.ndarray",
    .locals = "processed_input in_gpu out_gpu",
});

constexpr ClassSpec engine_zoom_class = class_({
    .name = "EngineZoom",
    .line = L::class_engine_zoom,
    .methods = {&engine_init_def, &engine_initialize_def, &engine_pre_process_def, &engine_post_process_def,
                &engine_get_def},
});

// ----- module body ------------------------------------------------------------

void body(Body& b) {
  b.step(L::import_optional);
  b.from_import("typing", {"Optional"});
  b.step(L::import_cupy);
  b.import("cupy", "cp");
  b.step(L::import_tensorrt);
  b.import("tensorrt", "trt");
  b.def_class(engine_zoom_class);
}

}  // namespace

ZEMVARA_MODULE(enginezoom, upscale, body, "ValueError", "RuntimeError", "print", "int", "tuple", "list", "open")
