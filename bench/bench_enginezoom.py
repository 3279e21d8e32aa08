"""Per-frame cost of `EngineZoom.get` around a 1080p identity engine, split into its parts.

staging:   pre_process (BGR frame to RGB float32 planes) and the copy into the bound input
enqueue:   the two stream events and execute_async_v3 (the stand-in engine's own copy included)
unstaging: post_process (RGB planes to the interleaved BGR result)
glue:      get with an engine that enqueues nothing, less staging and unstaging: what the
           method itself adds (attribute lookups, the fit test, the four events that order a
           frame after the previous one and the inference between the copies, the engine's
           device made current around the enqueue)
On a GPU each copy is also set against a plain device copy of the same bytes.
"""

import os

import cupy as cp
import numpy as np

from timing import best_of, table

HEIGHT, WIDTH = 1080, 1920
ROUNDS = 7


class NoEnqueue:
    """An execution context that accepts everything and runs nothing."""

    def __init__(self, ctx):
        self._ctx = ctx

    def get_tensor_shape(self, name):
        return self._ctx.get_tensor_shape(name)

    def execute_async_v3(self, stream_handle):
        return True


def main():
    import contextlib
    import io

    from tensorrt import engines  # the stand-in: bench/run.py puts hostdevice/ on the path

    from zemvara.upscale.enginezoom import EngineZoom

    with contextlib.redirect_stdout(io.StringIO()):
        zoom = EngineZoom(model_bytes=engines.identity((1, 3, HEIGHT, WIDTH)))
    frame = cp.asarray(np.random.default_rng(0).integers(0, 256, (HEIGHT, WIDTH, 3), dtype=np.uint8))
    sync = cp.cuda.Device().synchronize
    zoom.get(frame)
    in_gpu, out_gpu = zoom.d_inputs["input"], zoom.d_outputs["output"]
    staged = zoom.pre_process(frame)
    current = cp.cuda.get_current_stream()

    def staging():
        in_gpu[:] = zoom.pre_process(frame)
        sync()

    def enqueue():
        ev = cp.cuda.Event(disable_timing=True)
        ev.record(current)
        zoom.stream.wait_event(ev)
        zoom.ctx.execute_async_v3(zoom.stream.ptr)
        ev = cp.cuda.Event(disable_timing=True)
        ev.record(zoom.stream)
        current.wait_event(ev)
        sync()

    def unstaging():
        zoom.post_process(out_gpu)
        sync()

    def whole():
        zoom.get(frame)
        sync()

    real_ctx = zoom.ctx
    nothing = NoEnqueue(real_ctx)

    def whole_without_engine():
        zoom.ctx = nothing
        try:
            zoom.get(frame)
            sync()
        finally:
            zoom.ctx = real_ctx

    parts = {name: float("inf") for name in ("get", "get, no enqueue", "staging", "enqueue", "unstaging")}
    fns = dict(zip(parts, (whole, whole_without_engine, staging, enqueue, unstaging)))
    for _ in range(ROUNDS):  # alternate, so that every part sees the same machine load
        for name, fn in fns.items():
            parts[name] = min(parts[name], best_of(fn, repeat=1, number=3))
    parts["glue"] = parts["get, no enqueue"] - parts["staging"] - parts["unstaging"]
    device = os.environ.get("ZEMVARA_DEVICE", "host")
    rows = [(name, f"{t * 1e3:.3f}") for name, t in parts.items()]
    table(f"EngineZoom.get, 1080p uint8 BGR frame, identity engine, ms per frame ({device} device)",
          ["part", "ms"], rows)

    if device == "gpu":
        plain_in = cp.empty_like(staged)
        plain_out = cp.empty_like(zoom.output_buffer)
        src_in, src_out = cp.empty_like(staged), cp.empty_like(zoom.output_buffer)

        def copy_in():
            plain_in[...] = src_in
            sync()

        def copy_out():
            plain_out[...] = src_out
            sync()

        rows = [("staging", f"{best_of(staging, ROUNDS, 10) * 1e3:.3f}", f"{best_of(copy_in, ROUNDS, 10) * 1e3:.3f}"),
                ("unstaging", f"{best_of(unstaging, ROUNDS, 10) * 1e3:.3f}",
                 f"{best_of(copy_out, ROUNDS, 10) * 1e3:.3f}")]
        table("staging and unstaging against a plain device copy of the same bytes, ms",
              ["part", "ours", "plain copy"], rows)


if __name__ == "__main__":
    main()
