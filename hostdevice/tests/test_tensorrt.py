"""The TensorRT stand-in: engine files, tensor queries, shapes, and what enqueuing computes or refuses."""

import json

import numpy as np
import pytest

import cupy as cp
import tensorrt as trt
from tensorrt import engines


def load(data):
    return trt.Runtime(trt.Logger(trt.Logger.WARNING)).deserialize_cuda_engine(data)


class TestEngineFiles:
    @pytest.mark.parametrize("data", [b"", b"not an engine", engines.MAGIC + b"{",
                                      engines.MAGIC + b'{"tensors": []}'])
    def test_unreadable_bytes_log_and_give_none(self, data, capsys):
        assert load(data) is None
        assert "[TRT] [E]" in capsys.readouterr().err

    @pytest.mark.parametrize("change", [
        lambda d: d["tensors"][0].update(profile=[[1, 3, 1, 1], [1, 3, 8, 8], [1, 4, 9, 9]]),  # static dim differs
        lambda d: d["tensors"][0].update(profile=[[1, 3, 9, 9], [1, 3, 8, 8], [1, 3, 9, 9]]),  # min > opt
        lambda d: d["tensors"][0].pop("profile"),
        lambda d: d["tensors"][1].update(shape=[1, 3, -1, 7]),
        lambda d: d["network"].update(factor=0),
        lambda d: d["tensors"][1].update(name="input"),
    ])
    def test_inconsistent_descriptions_are_refused(self, change):
        doc = json.loads(engines.engine()[len(engines.MAGIC):])
        change(doc)
        assert load(engines.MAGIC + json.dumps(doc).encode()) is None

    @pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, np.uint8)])
    def test_any_buffer_deserialises(self, wrap, tmp_path):
        path = engines.write(tmp_path / "m.engine", engines.engine())
        with open(path, "rb") as f:
            assert load(wrap(f.read())).num_io_tensors == 2


class TestQueries:
    def test_tensors_in_engine_order_by_index_and_iteration(self):
        data = engines.serialize(
            [{"name": "out", "mode": "output", "dtype": "HALF", "shape": [1, 3, 8, 8]},
             {"name": "in", "mode": "input", "dtype": "FLOAT", "shape": [1, 3, 4, 4]},
             {"name": "aux", "mode": "output", "dtype": "INT32", "shape": [2]}],
            {"op": "upscale", "factor": 2, "filter": "nearest"})
        e = load(data)
        names = [e.get_tensor_name(i) for i in range(e.num_io_tensors)]
        assert names == list(e) == ["out", "in", "aux"]
        assert e[-1] == "aux"
        assert [e.get_tensor_mode(n) for n in names] == [
            trt.TensorIOMode.OUTPUT, trt.TensorIOMode.INPUT, trt.TensorIOMode.OUTPUT]
        assert e.get_tensor_mode("nothing") == trt.TensorIOMode.NONE
        assert [trt.nptype(e.get_tensor_dtype(n)) for n in names] == [np.float16, np.float32, np.int32]
        assert str(e.get_tensor_shape("aux")) == "(2,)"

    def test_dynamic_shapes_until_set(self, capsys):
        e = load(engines.engine((1, 3, -1, -1), factor=3, profile=[[1, 3, 2, 2], [1, 3, 8, 8], [1, 3, 64, 64]]))
        assert e.get_tensor_profile_shape("input", 0) == [(1, 3, 2, 2), (1, 3, 8, 8), (1, 3, 64, 64)]
        ctx = e.create_execution_context()
        assert str(ctx.get_tensor_shape("input")) == "(1, 3, -1, -1)"
        assert list(ctx.get_tensor_shape("output")) == [1, 3, -1, -1]
        assert not ctx.all_binding_shapes_specified
        assert not ctx.set_input_shape("input", (1, 3, 1, 8))     # below the profile
        assert not ctx.set_input_shape("input", (1, 4, 8, 8))     # a static dimension
        assert not ctx.set_input_shape("output", (1, 3, 8, 8))
        assert capsys.readouterr().err.count("[TRT] [E]") == 3
        assert ctx.set_input_shape("input", trt.Dims((1, 3, 5, 7)))
        assert ctx.get_tensor_shape("output") == (1, 3, 15, 21)
        assert ctx.all_binding_shapes_specified

    def test_static_engine(self):
        e = load(engines.identity((1, 3, 4, 6)))
        ctx = e.create_execution_context()
        assert ctx.get_tensor_shape("output") == (1, 3, 4, 6)
        assert e.get_tensor_profile_shape("input", 0) == [(1, 3, 4, 6)] * 3
        assert ctx.set_input_shape("input", (1, 3, 4, 6))
        assert not ctx.set_input_shape("input", (1, 3, 4, 7))


def bind(ctx, **arrays):
    for name, a in arrays.items():
        assert ctx.set_tensor_address(name, a.data.ptr)


class TestExecution:
    @pytest.mark.parametrize("factor,filter,out_dtype", [
        (1, "nearest", np.float32), (2, "nearest", np.float32), (3, "nearest", np.float16),
        (2, "bilinear", np.float32), (4, "bilinear", np.float16)])
    def test_values(self, factor, filter, out_dtype):
        e = load(engines.engine((1, 3, -1, -1), factor=factor, filter=filter, output_dtype=out_dtype.__name__))
        ctx = e.create_execution_context()
        host = np.random.default_rng(1).uniform(0, 255, (1, 3, 5, 7)).astype(np.float32)
        x = cp.asarray(host)
        y = cp.empty((1, 3, 5 * factor, 7 * factor), out_dtype)
        assert ctx.set_input_shape("input", x.shape)
        bind(ctx, input=x, output=y)
        assert ctx.execute_async_v3(cp.cuda.Stream().ptr) is True
        # float32 arithmetic against float64 interpolation; float16 keeps ~3 digits
        tol = 1e-4 if out_dtype is np.float32 else 0.5
        np.testing.assert_allclose(y.get(), engines.upscaled(host, factor, filter), rtol=1e-3, atol=tol)
        np.testing.assert_array_equal(x.get(), host)

    def test_refusals_leave_the_output_alone(self, capsys):
        e = load(engines.engine((1, 3, -1, -1)))
        ctx = e.create_execution_context()
        x = cp.zeros((1, 3, 4, 4), cp.float32)
        y = cp.full((1, 3, 8, 8), 7, cp.float32)
        bind(ctx, input=x, output=y)
        assert ctx.execute_async_v3(0) is False               # input shape unset
        ctx.set_input_shape("input", (1, 3, 4, 5))
        assert ctx.execute_async_v3(0) is False               # the bound arrays are too small for this shape
        ctx.set_input_shape("input", (1, 3, 4, 4))
        fresh = e.create_execution_context()
        fresh.set_input_shape("input", (1, 3, 4, 4))
        assert fresh.execute_async_v3(0) is False             # no addresses
        assert capsys.readouterr().err.count("[TRT] [E]") == 3
        assert (y.get() == 7).all()
        assert ctx.execute_async_v3(0) is True
        assert (y.get() == 0).all()

    def test_runs_on_the_given_stream_and_engine_device(self, monkeypatch):
        monkeypatch.setenv("HOSTDEVICE_DEVICES", "2")
        try:
            with cp.cuda.Device(1):
                e = load(engines.identity((1, 1, 2, 2)))
                x = cp.ones((1, 1, 2, 2), cp.float32)
                y = cp.zeros((1, 1, 2, 2), cp.float32)
            seen = []
            real = cp.ndarray.__setitem__
            monkeypatch.setattr(cp.ndarray, "__setitem__", lambda a, k, v: (
                seen.append((cp.cuda.get_current_stream().ptr, cp.cuda.Device().id)), real(a, k, v))[1])
            ctx = e.create_execution_context()
            bind(ctx, input=x, output=y)
            s = cp.cuda.Stream()
            assert ctx.execute_async_v3(s.ptr)
            assert seen == [(s.ptr, 1)] and cp.cuda.Device().id == 0
            assert cp.cuda.get_current_stream() == cp.cuda.Stream.null
        finally:
            cp.cuda.runtime.setDevice(0)
