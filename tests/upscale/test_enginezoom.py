"""The TensorRT upscaler `EngineZoom` on stand-in engines: construction, bindings, frames, streams."""

import cupy as cp
import numpy as np
import pytest
import tensorrt as trt
from tensorrt import engines

import zemvara.upscale.enginezoom as module
from zemvara.upscale.enginezoom import EngineZoom

SOURCE = "src/zemvara_source/upscale/enginezoom"
INIT_DOC = (
    "\n        Initialize the EngineZoom.\n\n        Args:\n"
    "            model_path (str): Path to the TensorRT engine file or ONNX model.\n"
    "        Raises:\n            FileNotFoundError: If the specified path does not exist.\n        ")
METHODS = {  # name: (parameters, further locals, defaults, annotations, docstring)
    "__init__": (("self", "model_path", "model_bytes", "device_id"), ("f",), (None, None, 0),
                 {"model_path": "Optional[str]", "model_bytes": "Optional[bytes]", "device_id": "int",
                  "return": "None"}, INIT_DOC),
    "initialize": (("self",), ("input_names", "output_names", "name", "shape", "dtype", "shape_list", "d_arr", "dim"),
                   None, {}, "Initialize processing"),
    "pre_process": (("self", "input_frame"), ("input_shape", "channels", "processed_shape"), None,
                    {"input_frame": "cp.ndarray", "return": "cp.ndarray"}, "Execute preprocessing in-place"),
    "post_process": (("self", "output_frame"), ("output_shape",), None,
                     {"output_frame": "cp.ndarray", "return": "cp.ndarray"}, "Optimized post-processing"),
    "get": (("self", "input_frame"), ("processed_input", "in_gpu", "out_gpu"), None,
            {"input_frame": "cp.ndarray", "return": "cp.ndarray"}, None),
}
RNG = np.random.default_rng(13)


def frame(shape, dtype):
    if np.dtype(dtype).kind == "u":
        return RNG.integers(0, 256, shape).astype(dtype)
    return RNG.uniform(-1, 300, shape).astype(dtype)


def rgb_planes(host_frame):
    """What staging should give: red, green, blue planes of a BGR(A) frame, or three copies of a grey one."""
    if host_frame.ndim == 2:
        return np.stack([host_frame] * 3).astype(np.float32)
    return host_frame[:, :, [2, 1, 0]].transpose(2, 0, 1).astype(np.float32)


def entry_names(exc):
    tb, names = exc.tb, []
    while tb is not None:
        names.append((tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename))
        tb = tb.tb_next
    return names


class Recorder:
    """A proxy of the execution context that logs the calls the module makes."""

    def __init__(self, ctx, result=None):
        self._ctx, self._result, self.calls = ctx, result, []

    def __getattr__(self, name):
        def call(*args):
            self.calls.append((name, *args))
            if name == "execute_async_v3":
                self.events_at_enqueue = list(cp._hostdevice.events) if hasattr(cp, "_hostdevice") else []
                if self._result is not None:
                    return self._result
            return getattr(self._ctx, name)(*args)
        return call


def test_module_class_and_methods():
    assert [k for k in vars(module) if not k.startswith("__")] == ["Optional", "cp", "trt", "EngineZoom"]
    assert list(vars(module))[-1] == "__test__" and module.__test__ == {}
    assert (EngineZoom.__bases__, EngineZoom.__doc__, EngineZoom.__module__, EngineZoom.__qualname__) == (
        (object,), None, "zemvara.upscale.enginezoom", "EngineZoom")
    assert [k for k in vars(EngineZoom) if not k.startswith("__") or k == "__init__"] == list(METHODS)
    for name, (params, local_names, defaults, annotations, doc) in METHODS.items():
        f = getattr(EngineZoom, name)
        assert (f.__name__, f.__qualname__, f.__module__) == (name, "EngineZoom." + name, module.__name__)
        assert (f.__defaults__, f.__kwdefaults__, f.__annotations__, f.__doc__) == (defaults, None, annotations, doc)
        code = f.__code__
        assert (code.co_name, code.co_filename, code.co_argcount) == (name, SOURCE, len(params))
        assert code.co_varnames == params + local_names
        assert f.__globals__ is vars(module)


class TestConstruction:
    def test_path_wins_over_bytes(self, tmp_path, capsys):
        path = engines.write(tmp_path / "x2.engine", engines.engine((1, 3, 4, 4), factor=2))
        zoom = EngineZoom(model_path=path, model_bytes=engines.identity((1, 3, 9, 9)))
        assert zoom.d_outputs["output"].shape == (1, 3, 8, 8)
        assert isinstance(zoom.logger, trt.Logger) and isinstance(zoom.runtime, trt.Runtime)
        assert zoom.ctx.engine is zoom.engine and zoom.device_id == 0 and zoom.last_input_shape is None
        assert isinstance(zoom.stream, cp.cuda.Stream) and zoom.stream != cp.cuda.Stream.null

    def test_printed_lines(self, capsys):
        zoom = EngineZoom(None, engines.engine((1, 3, -1, -1), output_dtype="float16"))
        assert capsys.readouterr().out.splitlines() == [
            f"engine loaded \u2714  tensors: {zoom.engine}",
            "Tensor input shape: [1, 3, -1, -1], dtype: <class 'numpy.float32'>",
            "Tensor input adjusted shape: [1, 3, 1, 1]",
            "Tensor output shape: [1, 3, -1, -1], dtype: <class 'numpy.float16'>",
            "Tensor output adjusted shape: [1, 3, 1, 1]",
        ]

    @pytest.mark.parametrize("kwargs,message", [
        ({"model_path": b"x.engine"}, "Argument 'model_path' has incorrect type (expected str, got bytes)"),
        ({"model_bytes": bytearray(b"x")}, "Argument 'model_bytes' has incorrect type (expected bytes, got bytearray)"),
        ({"model_bytes": b"", "device_id": None}, "Argument 'device_id' has incorrect type (expected int, got NoneType)"),
        ({"model_bytes": b"", "device_id": True}, "Argument 'device_id' has incorrect type (expected int, got bool). "),
    ])
    def test_type_checks(self, kwargs, message):
        with pytest.raises(TypeError) as e:
            EngineZoom(**kwargs)
        assert str(e.value).startswith(message) and (str(e.value) == message) == (not message.endswith(". "))

    @pytest.mark.parametrize("kwargs,error,text", [
        ({}, ValueError, "model_bytes must be provided if model_path is not specified"),
        ({"model_bytes": None, "model_path": "/nonexistent/x.engine"}, FileNotFoundError, "x.engine"),
        ({"model_bytes": b"not an engine"}, AttributeError, "create_execution_context"),
    ])
    def test_failures_leave_the_device_as_it_was(self, monkeypatch, kwargs, error, text, device):
        if device == "host":
            monkeypatch.setenv("HOSTDEVICE_DEVICES", "2")
        elif cp.cuda.runtime.getDeviceCount() < 2:
            kwargs["device_id"] = 0
        kwargs.setdefault("device_id", 1)
        with pytest.raises(error, match=text) as e:
            EngineZoom(**kwargs)
        assert cp.cuda.Device().id == 0
        assert ("zemvara.upscale.enginezoom.EngineZoom.__init__", SOURCE) in entry_names(e)

    @pytest.mark.host_only
    def test_everything_lives_on_the_chosen_device(self, monkeypatch, capsys):
        monkeypatch.setenv("HOSTDEVICE_DEVICES", "2")
        zoom = EngineZoom(model_bytes=engines.engine((1, 3, 4, 4)), device_id=1)
        for _ in range(2):  # construction, then initialize() called with device 0 current
            assert cp.cuda.Device().id == 0
            assert zoom.stream.device_id == 1
            assert {a.device.id for a in [*zoom.d_inputs.values(), *zoom.d_outputs.values()]} == {1}
            zoom.initialize()


class TestBindings:
    def test_buffers_and_bindings_in_engine_order(self, make):
        data = engines.serialize(
            [{"name": "hi", "mode": "output", "dtype": "FLOAT", "shape": [1, 3, 8, 10]},
             {"name": "lo", "mode": "input", "dtype": "HALF", "shape": [1, 3, 4, 5]},
             {"name": "aux", "mode": "output", "dtype": "INT32", "shape": [-1, 2]},
             {"name": "mask", "mode": "input", "dtype": "UINT8", "shape": [1, 1, 4, 5]}],
            {"op": "upscale", "factor": 2, "filter": "nearest"})
        zoom = make(data)
        assert (zoom.input_tensor, zoom.output_tensor) == ("lo", "hi")
        assert list(zoom.d_inputs) == ["lo", "mask"] and list(zoom.d_outputs) == ["hi", "aux"]
        assert [(a.shape, a.dtype) for a in zoom.d_outputs.values()] == [((1, 3, 8, 10), np.float32), ((1, 2), np.int32)]
        assert zoom.d_inputs["lo"].dtype == np.float16
        assert [a.get().any() for a in zoom.d_inputs.values()] == [False, False]  # no leftover memory for the engine
        for name, a in [*zoom.d_inputs.items(), *zoom.d_outputs.items()]:
            assert zoom.ctx.get_tensor_address(name) == a.data.ptr
        assert zoom.input_buffer is None and zoom.output_buffer is None

    def test_iteration_where_the_engine_has_no_index(self, make):
        """An engine that offers only iteration over its names gets the same buffers in the same order."""
        zoom = make(engines.serialize(
            [{"name": "out", "mode": "output", "dtype": "FLOAT", "shape": [1, 3, 2, 2]},
             {"name": "in", "mode": "input", "dtype": "FLOAT", "shape": [1, 3, 2, 2]}], {"op": "identity"}))

        class IterOnly:
            def __init__(self, engine):
                self.get_tensor_mode, self.get_tensor_dtype = engine.get_tensor_mode, engine.get_tensor_dtype
                self.names = list(engine)

            def __iter__(self):
                return iter(self.names)

        zoom.engine = IterOnly(zoom.engine)
        zoom.initialize()
        assert (list(zoom.d_outputs), list(zoom.d_inputs), zoom.input_tensor) == (["out"], ["in"], "in")

    def test_initialize_again_replaces_everything(self, make):
        zoom = make(shape=(1, 3, 4, 4))
        zoom.get(cp.zeros((4, 4, 3), cp.uint8))
        before = (zoom.stream, zoom.d_inputs["input"], zoom.d_outputs["output"])
        assert zoom.initialize() is None
        assert zoom.input_buffer is None and zoom.output_buffer is None
        assert all(new is not old for new, old in zip((zoom.stream, zoom.d_inputs["input"], zoom.d_outputs["output"]), before))
        assert zoom.ctx.get_tensor_address("input") == zoom.d_inputs["input"].data.ptr
        with pytest.raises(TypeError, match=r"^initialize\(\) takes exactly 1 positional argument \(2 given\)$"):
            zoom.initialize(1)

    def test_engine_without_inputs(self, make):
        zoom = make(engines.serialize([{"name": "o", "mode": "output", "dtype": "FLOAT", "shape": [1, 3, 2, 2]}],
                                      {"op": "identity"}))
        assert (zoom.input_tensor, zoom.output_tensor, zoom.d_inputs) == ("input", "o", {})
        with pytest.raises(KeyError, match="input") as e:
            zoom.get(cp.zeros((2, 2, 3), cp.float32))
        assert ("zemvara.upscale.enginezoom.EngineZoom.get", SOURCE) in entry_names(e)


class TestFrames:
    @pytest.mark.parametrize("shape,dtype", [((5, 6, 3), np.uint8), ((5, 6, 4), np.float32), ((5, 6), np.float32),
                                             ((4, 9, 3), np.float16)])
    @pytest.mark.parametrize("factor,filter,out", [(1, "nearest", "float32"), (2, "nearest", "float32"),
                                                   (2, "bilinear", "float32"), (3, "bilinear", "float16")])
    def test_results(self, make, shape, dtype, factor, filter, out):
        zoom = make(factor=factor, filter=filter, output_dtype=out)
        host_frame = frame(shape, dtype)
        staged = rgb_planes(host_frame)
        result = zoom.get(cp.asarray(host_frame))
        assert result is zoom.output_buffer and result.dtype == np.dtype(out)
        np.testing.assert_array_equal(zoom.input_buffer.get()[0], staged)
        expected = engines.upscaled(staged, factor, filter)[::-1].transpose(1, 2, 0)   # BGR, interleaved
        tol = 1e-3 if out == "float32" else 0.3
        np.testing.assert_allclose(result.get(), expected, rtol=1e-3, atol=tol)

    def test_same_size_frames_reuse_everything(self, make, monkeypatch):
        zoom = make(factor=2)
        first = zoom.get(cp.asarray(frame((6, 8, 3), np.uint8)))
        bound = (zoom.input_buffer, zoom.d_inputs["input"], zoom.d_outputs["output"])
        zoom.ctx = recorder = Recorder(zoom.ctx)
        allocations = []
        real_empty = cp.empty
        monkeypatch.setattr(cp, "empty", lambda *a, **k: allocations.append(a) or real_empty(*a, **k))
        second = zoom.get(cp.asarray(frame((6, 8, 4), np.float32)))
        assert second is first and (zoom.input_buffer, zoom.d_inputs["input"], zoom.d_outputs["output"]) == bound
        assert allocations == []
        assert [c[0] for c in recorder.calls if c[0].startswith("set_")] == []

    def test_size_change_reshapes_and_rebinds(self, make):
        zoom = make(factor=2, dtype="float16")  # the new input buffer keeps the type the engine reads
        small = zoom.get(cp.asarray(frame((3, 4, 3), np.uint8)))
        zoom.ctx = recorder = Recorder(zoom.ctx)
        big_frame = frame((5, 7, 3), np.uint8)
        big = zoom.get(cp.asarray(big_frame))
        assert big is not small and big.shape == (10, 14, 3)
        assert [(a.shape, a.dtype) for a in (zoom.d_inputs["input"], zoom.d_outputs["output"])] == [
            ((1, 3, 5, 7), np.float16), ((1, 3, 10, 14), np.float16)]
        assert [c for c in recorder.calls if c[0].startswith("set_")] == [
            ("set_input_shape", "input", (1, 3, 5, 7)),
            ("set_tensor_address", "input", zoom.d_inputs["input"].data.ptr),
            ("set_tensor_address", "output", zoom.d_outputs["output"].data.ptr)]
        expected = engines.upscaled(rgb_planes(big_frame), 2, "nearest")[::-1].transpose(1, 2, 0)
        np.testing.assert_array_equal(big.get(), expected)

    def test_frame_as_small_as_the_placeholder_buffers(self, make):
        """A 1 x 1 frame stages to the shape of the buffers bound at initialisation, which is not yet the engine's."""
        zoom = make(factor=2)
        result = zoom.get(cp.asarray(np.array([[[1, 2, 3]]], np.uint8)))
        np.testing.assert_array_equal(result.get(), np.broadcast_to([1, 2, 3], (2, 2, 3)))

    @pytest.mark.parametrize("kwargs,shape,message", [
        ({"shape": (1, 3, 4, 6)}, (4, 7, 3),
         "frame of shape (4, 7, 3) stages to (1, 3, 4, 7), but the engine input 'input' takes only (1, 3, 4, 6)"),
        ({"shape": (1, 4, -1, -1), "profile": [[1, 4, 1, 1], [1, 4, 2, 2], [1, 4, 9, 9]]}, (2, 2, 4),
         "frame of shape (2, 2, 4) stages to (1, 3, 2, 2), but the engine input 'input' takes shapes "
         "from (1, 4, 1, 1) to (1, 4, 9, 9)"),
        ({"profile": [[1, 3, 2, 2], [1, 3, 4, 4], [1, 3, 8, 8]]}, (9, 5),
         "frame of shape (9, 5) stages to (1, 3, 9, 5), but the engine input 'input' takes shapes "
         "from (1, 3, 2, 2) to (1, 3, 8, 8)"),
    ])
    def test_frames_the_engine_does_not_take(self, make, kwargs, shape, message):
        zoom = make(**kwargs)
        bound = [(k, id(a)) for d in (zoom.d_inputs, zoom.d_outputs) for k, a in d.items()]
        with pytest.raises(ValueError) as e:
            zoom.get(cp.zeros(shape, cp.float32))
        assert str(e.value) == message
        assert [(k, id(a)) for d in (zoom.d_inputs, zoom.d_outputs) for k, a in d.items()] == bound
        assert ("zemvara.upscale.enginezoom.EngineZoom.get", SOURCE) in entry_names(e)

    @pytest.mark.parametrize("shape", [(4, 4, 1), (4, 4, 2), (4, 4, 5), (2, 4, 4, 6)])
    def test_frames_that_would_stage_nothing(self, make, shape):
        zoom = make()
        with pytest.raises(ValueError) as e:
            zoom.pre_process(cp.zeros(shape, cp.float32))
        assert str(e.value) == (f"cannot stage a frame of shape {shape}: "
                                "a frame is (H, W), (H, W, 3) or (H, W, 4)")
        assert zoom.input_buffer is None
        assert ("zemvara.upscale.enginezoom.EngineZoom.pre_process", SOURCE) in entry_names(e)

    def test_a_refused_enqueue_is_an_error(self, make):
        zoom = make(shape=(1, 3, 2, 2))
        zoom.ctx = Recorder(zoom.ctx, result=False)
        with pytest.raises(RuntimeError, match="^TensorRT did not enqueue the inference$"):
            zoom.get(cp.zeros((2, 2, 3), cp.float32))


def launch_order(log):
    """For each copy in a log of copies, event records and stream waits, the earlier copies
    that the device must finish first: stream order, joined across streams by events."""
    before, streams, events = [], {}, {}
    for kind, a, b, *_ in log:
        if kind == "launch":  # ("launch", stream, _)
            before.append(set(streams.get(a, ())))
            streams.setdefault(a, set()).add(len(before) - 1)
        elif kind == "record":  # ("record", event, stream, device)
            events[a] = set(streams.get(b, ()))
        else:  # ("wait", stream, event, device)
            streams.setdefault(a, set()).update(events[b])
    return before


@pytest.mark.host_only
@pytest.mark.parametrize("streams", ["one", "two", "null then one"])
def test_frames_run_in_issue_order_on_any_streams(make, monkeypatch, streams):
    """Staging, inference and unstaging of consecutive frames never overlap, also when the caller's
    stream changes between frames (events only: nothing waits on the host)."""
    zoom = make(factor=2)
    log, setitem = cp._hostdevice.events, cp.ndarray.__setitem__  # every copy here is an assignment
    monkeypatch.setattr(cp.ndarray, "__setitem__", lambda *args: (
        log.append(("launch", cp.cuda.get_current_stream().ptr, None)), setitem(*args)))
    a, b = cp.cuda.Stream(), cp.cuda.Stream()
    first, second = {"one": (a, a), "two": (a, b), "null then one": (cp.cuda.Stream.null, b)}[streams]
    log.clear()
    for stream, shape in ((first, (3, 4, 3)), (second, (3, 5))):
        with stream:
            zoom.get(cp.ones(shape, cp.float32))
    assert {e[1] for e in log if e[0] == "launch"} == {first.ptr, second.ptr, zoom.stream.ptr}
    assert launch_order(log) == [set(range(i)) for i in range(len(launch_order(log)))]


@pytest.mark.host_only
def test_get_with_another_device_current(monkeypatch, capsys):
    """The engine's device is current while the inference is enqueued and its events recorded; the caller's
    device is current again afterwards."""
    monkeypatch.setenv("HOSTDEVICE_DEVICES", "2")
    zoom = EngineZoom(model_bytes=engines.engine(factor=2), device_id=1)
    devices, run = [], zoom.ctx.execute_async_v3
    zoom.ctx.execute_async_v3 = lambda handle: devices.append(cp.cuda.Device().id) or run(handle)
    result = zoom.get(cp.ones((2, 3, 3), cp.float32))
    assert devices == [1] and cp.cuda.Device().id == 0
    np.testing.assert_array_equal(result.get(), np.ones((4, 6, 3)))
